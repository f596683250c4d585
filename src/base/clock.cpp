#include "base/clock.h"

#include <chrono>
#include <thread>

namespace zqk {

uint64_t SystemClock::NowMs()
{
    using namespace std::chrono;
    return static_cast<uint64_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

void SystemClock::SleepMs(uint32_t Ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(Ms));
}

uint64_t SystemClock::NowUs()
{
    using namespace std::chrono;
    return static_cast<uint64_t>(duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count());
}

void SystemClock::SleepUs(uint64_t Us)
{
    std::this_thread::sleep_for(std::chrono::microseconds(Us));
}

SystemClock& SystemClock::Instance()
{
    static SystemClock clock;
    return clock;
}

}  // namespace zqk
