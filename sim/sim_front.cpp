#include "sim/sim_front.h"

#include <sched.h>
#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace zqk::sim::front {

namespace {

volatile sig_atomic_t g_stop = 0;

void OnStopSignal(int)
{
    g_stop = 1;
}

}  // namespace

std::string ReportDescriptor(int32_t UsagePage, int32_t Usage)
{
    const uint8_t bytes[] = {0x06, static_cast<uint8_t>(UsagePage), static_cast<uint8_t>(UsagePage >> 8),
                             0x09, static_cast<uint8_t>(Usage), 0xA1, 0x01,  // collection (application)
                             0x09, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x40,
                             0x81, 0x02,  // input: 64 bytes
                             0x09, 0x01, 0x95, 0x40,
                             0x91, 0x02,  // output: 64 bytes
                             0xC0};
    return std::string(reinterpret_cast<const char*>(bytes), sizeof bytes);
}

void CatchStopSignals()
{
    struct sigaction action {};
    action.sa_handler = OnStopSignal;  // no SA_RESTART: poll returns at once
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
}

bool StopAsked()
{
    return g_stop != 0;
}

void AskForRealTimePriority(const char* Program)
{
    sched_param parameters {};
    parameters.sched_priority = sched_get_priority_min(SCHED_FIFO) + 10;
    if (sched_setscheduler(0, SCHED_FIFO, &parameters) != 0)
        std::fprintf(stderr, "%s: no real-time priority (%s); reports may come late or be dropped\n", Program,
                     std::strerror(errno));
}

}  // namespace zqk::sim::front
