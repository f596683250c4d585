// The device lock: recursive for its thread, shared by all processes, handed
// on when its owner dies. These tests wait for real: the waits are the point.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <thread>

#ifndef _WIN32
#include <fcntl.h>
#include <linux/capability.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

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

// What the next holder finds in the shared state was written by another
// process: only a record of the form the library writes is taken.
OwedRecord Stored(const OwedTransfer& Owed)
{
    OwedRecord record {};
    record.Store(Owed);
    return record;
}

OwedRecord Raw(uint32_t What, uint32_t Bytes, const std::string& Undo, uint32_t UndoLength)
{
    OwedRecord record {};
    record.What = What;
    record.Bytes = Bytes;
    record.UndoLength = UndoLength;
    Undo.copy(record.Undo, std::min<size_t>(Undo.size(), OwedRecord::kUndoRoom));
    return record;
}

TEST(OwedRecordTest, OnlyARecordOfTheFormTheLibraryWritesIsTaken)
{
    using Kind = OwedTransfer::Kind;
    const auto write = static_cast<uint32_t>(Kind::Write);
    const auto firmware = static_cast<uint32_t>(Kind::Firmware);
    const struct {
        const char* why;
        OwedRecord record;
        bool taken;
    } rows[] = {
        {"a write, its name quoted", Stored({Kind::Write, 5904, "NFDEL \"/cut short.bin\""}), true},
        {"a write, its name bare", Stored({Kind::Write, 61, "NFDEL /cut_short.bin"}), true},
        {"a bare name holding a quote", Stored({Kind::Write, 61, "NFDEL /a\"b.bin"}), true},
        {"a firmware image", Stored({Kind::Firmware, 9000, ""}), true},
        {"nothing owed", Stored({}), false},
        {"2 GiB or more", Stored({Kind::Write, 0x80000000u, "NFDEL \"/x\""}), false},
        {"an unknown kind", Raw(3, 61, "", 0), false},
        {"another command", Stored({Kind::Write, 61, "NFFORMAT"}), false},
        {"a second line", Stored({Kind::Write, 61, "NFDEL \"/x\"\r\x1BNFFORMAT"}), false},
        {"two names", Stored({Kind::Write, 61, "NFDEL \"/x\" \"/y\""}), false},
        {"two bare names", Stored({Kind::Write, 61, "NFDEL /x /y"}), false},
        {"no name", Stored({Kind::Write, 61, "NFDEL "}), false},
        {"an undo for a firmware image", Stored({Kind::Firmware, 61, "NFDEL /x"}), false},
        {"a length past its room", Raw(write, 61, "NFDEL /x", OwedRecord::kUndoRoom + 1), false},
        {"a length past its room, firmware", Raw(firmware, 61, "", OwedRecord::kUndoRoom + 1), false},
    };
    for (const auto& row : rows) {
        const OwedTransfer owed = row.record.Load();
        EXPECT_EQ(owed.What != OwedTransfer::Kind::None, row.taken) << row.why;
        if (!row.taken) {
            EXPECT_TRUE(owed.Bytes == 0 && owed.Undo.empty()) << row.why << ": nothing of it";
        }
    }
}

#ifndef _WIN32
// The lock's shared memory as the file system shows it.
struct stat LockMemory(const std::string& Name)
{
    struct stat st {};
    EXPECT_EQ(::stat(("/dev/shm/" + Name).c_str(), &st), 0) << Name;
    return st;
}

// A stand-in for the device's node: a file of that group and mode.
std::string NodeLike(const std::string& Name, gid_t Group, mode_t Mode)
{
    const std::string path = (std::filesystem::temp_directory_path() / Name).string();
    std::ofstream(path) << "";
    EXPECT_EQ(::chown(path.c_str(), static_cast<uid_t>(-1), Group), 0);
    EXPECT_EQ(::chmod(path.c_str(), Mode), 0);
    return path;
}

TEST(DeviceLockAccess, ItsMemoryHasTheAccessOfTheDeviceAndNoMore)
{
    const std::string name = testing::TestLockName("access");
    DeviceLock lock(name);
    ASSERT_TRUE(lock.Lock(0));
    lock.Unlock();
    EXPECT_EQ(LockMemory(name).st_mode & 07777, 0660u) << "before a device was opened";
    EXPECT_EQ(LockMemory(name).st_gid, ::getegid());

    const std::string node = NodeLike(name + ".node", 4242, 0660);
    lock.AccessLike(node);
    EXPECT_EQ(LockMemory(name).st_mode & 07777, 0660u);
    EXPECT_EQ(LockMemory(name).st_gid, 4242u) << "the device's group";
    ::chmod(node.c_str(), 0666);
    lock.AccessLike(node);
    EXPECT_EQ(LockMemory(name).st_mode & 07777, 0666u) << "a device everyone may open";
    ::unlink(node.c_str());
    EXPECT_TRUE(lock.Lock(0));
    lock.Unlock();
    EXPECT_EQ(lock.Problem(), "");
}

TEST(DeviceLockAccess, LockMemoryOpenToEveryoneFromAnOlderVersionIsClosedDown)
{
    const std::string name = testing::TestLockName("older");
    const int fd = ::shm_open(("/" + name).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    ASSERT_GE(fd, 0);
    ::fchmod(fd, 0666);
    ::close(fd);
    const std::string node = NodeLike(name + ".node", 4243, 0660);
    DeviceLock lock(name);
    lock.AccessLike(node);
    ::unlink(node.c_str());
    EXPECT_EQ(LockMemory(name).st_mode & 07777, 0660u);
    EXPECT_EQ(LockMemory(name).st_gid, 4243u);
    EXPECT_TRUE(lock.Lock(0)) << lock.Problem();
    lock.Unlock();
}

TEST(DeviceLockAccess, ALockThatCannotBeSetUpFailsAndSaysWhy)
{
    DeviceLock lock("zqk_test/no such name");  // a slash: no shared memory can have it
    EXPECT_FALSE(lock.Lock(0));
    EXPECT_NE(lock.Problem(), "");
    const std::string name = testing::TestLockName("unreadable");
    const int fd = ::shm_open(("/" + name).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    ::close(fd);
    // Memory this user may not write, as another user's that denies it:
    // looked at from a thread without root's file capabilities.
    ASSERT_EQ(::chmod(("/dev/shm/" + name).c_str(), 0400), 0);
    bool taken = true;
    std::string problem;
    std::thread([&] {
        __user_cap_header_struct header {_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct caps[2] {};
        if (::syscall(SYS_capget, &header, caps) == 0) {
            caps[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH) | (1u << CAP_FOWNER));
            ASSERT_EQ(::syscall(SYS_capset, &header, caps), 0);
        }
        DeviceLock other(name);
        taken = other.Lock(0);
        problem = other.Problem();
    }).join();
    EXPECT_FALSE(taken);
    EXPECT_EQ(problem, "cannot open the device lock /dev/shm/" + name + ": Permission denied");
}
#endif

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
