// The device lock: recursive for its thread, shared by all processes, handed
// on when its owner dies. These tests wait for real: the waits are the point.
#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <thread>

#include "link/device_lock.h"
#include "support/child_process.h"
#include "support/library_fixture.h"

namespace zqk {
namespace {

using Ms = std::chrono::milliseconds;
using SteadyClock = std::chrono::steady_clock;

long long ElapsedMs(SteadyClock::time_point since)
{
    return std::chrono::duration_cast<Ms>(SteadyClock::now() - since).count();
}

bool TakenByAnotherThread(DeviceLock& lock, int32_t timeout)
{
    bool taken = false;
    std::thread other([&] {
        taken = lock.Lock(timeout);
        if (taken)
            lock.Unlock();
    });
    other.join();
    return taken;
}

TEST(DeviceLockTest, IsRecursiveForTheHoldingThread)
{
    DeviceLock lock(testing::TestLockName("recursive"));
    ASSERT_TRUE(lock.Lock(0));
    ASSERT_TRUE(lock.Lock(0));
    EXPECT_TRUE(lock.HeldByThisThread());
    lock.Unlock();
    EXPECT_FALSE(TakenByAnotherThread(lock, 0)) << "one Unlock per Lock";
    lock.Unlock();
    EXPECT_FALSE(lock.HeldByThisThread());
    EXPECT_TRUE(TakenByAnotherThread(lock, 0));
}

TEST(DeviceLockTest, UnlockWithoutLockIsIgnored)
{
    DeviceLock lock(testing::TestLockName("stray"));
    lock.Unlock();
    ASSERT_TRUE(lock.Lock(0));
    std::thread other([&] { lock.Unlock(); });  // not the owner
    other.join();
    EXPECT_TRUE(lock.HeldByThisThread());
    lock.Unlock();
}

TEST(DeviceLockTest, AnotherThreadTimesOut)
{
    DeviceLock lock(testing::TestLockName("thread"));
    ASSERT_TRUE(lock.Lock(0));
    const auto start = SteadyClock::now();
    EXPECT_FALSE(TakenByAnotherThread(lock, 100));
    EXPECT_GE(ElapsedMs(start), 90);
    lock.Unlock();
}

TEST(DeviceLockTest, LockOfAThreadThatEndedIsHandedOn)
{
    DeviceLock lock(testing::TestLockName("thread_died"));
    std::thread owner([&] { ASSERT_TRUE(lock.Lock(0)); });  // ends holding it
    owner.join();
    EXPECT_TRUE(lock.Lock(2000));
    lock.Unlock();
}

TEST(DeviceLockTest, TwoNamesAreTwoLocks)
{
    DeviceLock first(testing::TestLockName("first"));
    DeviceLock second(testing::TestLockName("second"));
    ASSERT_TRUE(first.Lock(0));
    EXPECT_TRUE(TakenByAnotherThread(second, 0));
    first.Unlock();
}

TEST(DeviceLockTest, SameNameIsOneLockAcrossObjects)
{
    const std::string name = testing::TestLockName("shared");
    DeviceLock one(name);
    DeviceLock two(name);
    ASSERT_TRUE(one.Lock(0));
    bool taken = true;
    std::thread other([&] { taken = two.Lock(50); });
    other.join();
    EXPECT_FALSE(taken);
    one.Unlock();
}

// Every process receives all the device sends; a holder must know whether
// someone else had the device between its turns, whose output it then holds.
TEST(DeviceLockTest, TellsWhetherAnotherHolderHadItBetweenThisOnesTurns)
{
    const std::string name = testing::TestLockName("turns");
    DeviceLock one(name);
    DeviceLock other(name);
    ASSERT_TRUE(one.Lock(0));
    EXPECT_FALSE(one.HeldElsewhereMeanwhile()) << "nobody had it since the object was made";
    one.Unlock();
    ASSERT_TRUE(TakenByAnotherThread(one, 0));
    ASSERT_TRUE(one.Lock(0));
    EXPECT_FALSE(one.HeldElsewhereMeanwhile()) << "a thread of the same object is no other holder";
    one.Unlock();

    ASSERT_TRUE(other.Lock(0));
    EXPECT_TRUE(other.HeldElsewhereMeanwhile()) << "one had it since other was made";
    other.Unlock();
    ASSERT_TRUE(one.Lock(0));
    EXPECT_TRUE(one.HeldElsewhereMeanwhile());
    one.Unlock();
    ASSERT_TRUE(one.Lock(0));
    EXPECT_FALSE(one.HeldElsewhereMeanwhile());
    one.Unlock();
}

TEST(DeviceLockTest, ALockMadeDuringAnotherHoldersTurnCountsThatTurnAsAnothers)
{
    const std::string name = testing::TestLockName("made-during");
    DeviceLock one(name);
    ASSERT_TRUE(one.Lock(0));
    std::optional<DeviceLock> other;
    std::thread([&] { other.emplace(name); }).join();  // not the holding thread, as another process
    one.Unlock();
    ASSERT_TRUE(other->Lock(0));
    EXPECT_TRUE(other->HeldElsewhereMeanwhile());
    other->Unlock();
}

class DeviceLockProcessTest : public ::testing::Test {
protected:
    const std::string name_ = testing::TestLockName("process");
};

TEST_F(DeviceLockProcessTest, HeldByAnotherProcessTimesOutThenIsObtained)
{
    testing::ChildProcess holder(LOCK_HOLDER_PATH, name_ + " hold 700");
    ASSERT_EQ(holder.ReadLine(), "locked");
    DeviceLock lock(name_);
    auto start = SteadyClock::now();
    EXPECT_FALSE(lock.Lock(150));
    EXPECT_GE(ElapsedMs(start), 140);
    start = SteadyClock::now();
    EXPECT_TRUE(lock.Lock(-1)) << "no limit: waits until the holder gives it back";
    lock.Unlock();
    EXPECT_EQ(holder.Wait(), 0);
}

TEST_F(DeviceLockProcessTest, LockOfAProcessThatDiedIsObtainedByTheNextWaiter)
{
    DeviceLock lock(name_);  // made first, so that a Windows mutex outlives its holder
    testing::ChildProcess holder(LOCK_HOLDER_PATH, name_ + " abandon");
    ASSERT_EQ(holder.ReadLine(), "locked");
    EXPECT_EQ(holder.Wait(), 0);
    EXPECT_TRUE(lock.Lock(3000));
    EXPECT_TRUE(lock.HeldElsewhereMeanwhile()) << "its holder died with it";
    lock.Unlock();
    EXPECT_TRUE(TakenByAnotherThread(lock, 0)) << "and it is healthy afterwards";
}

TEST_F(DeviceLockProcessTest, ProcessWaitsWhileThisOneHoldsIt)
{
    DeviceLock lock(name_);
    ASSERT_TRUE(lock.Lock(0));
    testing::ChildProcess waiter(LOCK_HOLDER_PATH, name_ + " hold 0");
    std::this_thread::sleep_for(Ms(200));
    lock.Unlock();
    EXPECT_EQ(waiter.ReadLine(), "locked");
    EXPECT_EQ(waiter.Wait(), 0);
}

}  // namespace
}  // namespace zqk
