// The device lock: recursive for its thread, shared by all processes, handed
// on when its owner dies, and on Linux a lock on a file of the device's that
// only its users can take, beside state only its users can have made. These
// tests wait for real: the waits are the point.
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
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

#include "files/files.h"
#include "link/comms.h"
#include "link/device_lock.h"
#include "sim/sim_path_device.h"
#include "support/library_fixture.h"
#include "support/lock_probe.h"
#include "terminal/terminal.h"

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
std::string TempPath(const std::string& Name)
{
    return (std::filesystem::temp_directory_path() / Name).string();
}

// A stand-in for the device's node: a file of that owner, group and mode.
std::string NodeLike(const std::string& Name, uid_t Owner, gid_t Group, mode_t Mode)
{
    const std::string path = TempPath(Name);
    std::ofstream(path) << "";
    EXPECT_EQ(::chown(path.c_str(), Owner, Group), 0);
    EXPECT_EQ(::chmod(path.c_str(), Mode), 0);
    return path;
}

// Body on a thread of its own without root's power over files, as a
// program of a user who is no root.
template <typename Body>
void AsPlainUser(Body&& Run)
{
    std::thread([&] {
        __user_cap_header_struct header {_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct caps[2] {};
        if (::syscall(SYS_capget, &header, caps) == 0) {
            caps[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH) | (1u << CAP_FOWNER));
            ASSERT_EQ(::syscall(SYS_capset, &header, caps), 0);
        }
        Run();
    }).join();
}

constexpr uid_t kOtherUser = 65534;
constexpr gid_t kOtherGroup = 65533;
constexpr gid_t kDeviceGroup = 4242;

TEST(DeviceLockFile, ALockThatCannotBeSetUpFailsAndSaysWhy)
{
    DeviceLock lock("zqk_test/no such name");  // a slash: no file of that name in /dev/shm
    EXPECT_FALSE(lock.Lock(0));
    EXPECT_NE(lock.Problem(), "");
    const std::string name = testing::TestLockName("unreadable");
    const int fd = ::open(("/dev/shm/" + name).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0400);
    ASSERT_GE(fd, 0);
    ::close(fd);
    bool taken = true;
    std::string problem;
    AsPlainUser([&] {
        DeviceLock other(name);
        taken = other.Lock(0);
        problem = other.Problem();
    });
    EXPECT_FALSE(taken);
    EXPECT_EQ(problem, "cannot open the device lock /dev/shm/" + name + ": Permission denied");
}

// Taking a node's lock needs what talking to the device needs.
TEST(DeviceLockFile, ANodesLockIsTakenOnlyByWhoeverMayWriteToTheNode)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "makes files of other users";
    const std::string name = testing::TestLockName("node");
    const std::string node = NodeLike(name + ".node", kOtherUser, kDeviceGroup, 0644);
    bool taken = true;
    std::string problem;
    AsPlainUser([&] {
        DeviceLock reader(name, {node, {}});
        taken = reader.Lock(0);
        problem = reader.Problem();
    });
    EXPECT_FALSE(taken) << "a user who may only read the node";
    EXPECT_EQ(problem, "cannot open the device's node " + node + " for its lock: Permission denied");

    DeviceLock one(name, {node, {}});
    DeviceLock other(testing::TestLockName("node-other"), {node, {}});
    ASSERT_TRUE(one.Lock(0)) << one.Problem();
    EXPECT_FALSE(TakenByAnotherThread(other, 0)) << "the node is the lock, whatever its name";
    one.Unlock();
    EXPECT_TRUE(TakenByAnotherThread(other, 0));
    EXPECT_TRUE(one.Guards({node, {}}));
    ::unlink(node.c_str());
    NodeLike(name + ".node", 0, kDeviceGroup, 0660);  // plugged in again: another node
    EXPECT_FALSE(one.Guards({node, {}}));
    ::unlink(node.c_str());
}

// The state beside the lock as another user may have made it first: used
// only where nobody but users of the device can have made or changed it.
// Untrusted, it steers nothing (nothing owed is taken, every turn counts as
// after another holder's) and stops nothing (the lock works all the same).
TEST(DeviceLockFile, ItsStateIsUsedOnlyWhereNoUserOutsideTheDeviceCanHaveMadeIt)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "makes files of other users";
    enum class Place { Node, Folder, StandIn };
    const struct {
        const char* why;
        Place place;
        uid_t owner;
        gid_t group;
        mode_t mode;
        mode_t nodeMode;  // the node's, or the folder's
        uid_t folderOwner;
        bool linked;
        bool trusted;
    } rows[] = {
        {"this user's", Place::Node, 0, 0, 0660, 0660, 0, false, true},
        {"another user's", Place::Node, kOtherUser, kOtherGroup, 0600, 0660, 0, false, false},
        {"another user's, open to all", Place::Node, kOtherUser, kOtherGroup, 0666, 0660, 0, false, false},
        {"read-only", Place::Node, kOtherUser, kOtherGroup, 0444, 0660, 0, false, false},
        {"the device's group's", Place::Node, kOtherUser, kDeviceGroup, 0660, 0660, 0, false, true},
        {"the device's group's, others may read", Place::Node, kOtherUser, kDeviceGroup, 0664, 0660, 0, false, false},
        {"a group that may not write to the node", Place::Node, kOtherUser, kDeviceGroup, 0660, 0640, 0, false, false},
        {"this user's, but anyone may write", Place::Node, 0, 0, 0666, 0660, 0, false, false},
        {"in the folder: another user's", Place::Folder, kOtherUser, kOtherGroup, 0666, 0777, 0, false, false},
        {"in the folder: its owner's", Place::Folder, kOtherUser, kOtherGroup, 0600, 0755, kOtherUser, false, true},
        {"in the folder: a second name of a file", Place::Folder, 0, 0, 0600, 0755, 0, true, false},
        {"no place: another user's", Place::StandIn, kOtherUser, kOtherGroup, 0666, 0, 0, false, false},
    };
    int n = 0;
    for (const auto& row : rows) {
        const std::string name = testing::TestLockName("trust" + std::to_string(++n));
        const std::string folder = TempPath(name + ".folder");
        const std::string node = NodeLike(name + ".node", 0, kDeviceGroup, row.nodeMode);
        LockPlace place;
        std::string stateFile = "/dev/shm/" + name;
        if (row.place == Place::Node) {
            place.Node = node;
            stateFile += ".state";
        } else if (row.place == Place::Folder) {
            std::filesystem::create_directory(folder);
            ::chmod(folder.c_str(), row.nodeMode);
            place.Folder = folder;
            stateFile = folder + "/.zqk-lock";
        }
        {
            DeviceLock first(name, place);
            ASSERT_TRUE(first.Lock(0)) << row.why << ": " << first.Problem();
            first.RecordOwed({OwedTransfer::Kind::Write, 61, "NFDEL \"/theirs.bin\""});
            first.Unlock();
        }
        ASSERT_EQ(::chown(stateFile.c_str(), row.owner, row.group), 0) << row.why;
        ASSERT_EQ(::chmod(stateFile.c_str(), row.mode), 0) << row.why;
        ASSERT_EQ(::chown(folder.c_str(), row.folderOwner, 0) == 0, row.place == Place::Folder) << row.why;
        if (row.linked) {
            ASSERT_EQ(::link(stateFile.c_str(), (folder + "/second name").c_str()), 0);
        }

        DeviceLock lock(name, place);
        ASSERT_TRUE(lock.Lock(0)) << row.why << ": " << lock.Problem();
        EXPECT_EQ(lock.Owed().What == OwedTransfer::Kind::Write, row.trusted) << row.why;
        EXPECT_EQ(lock.HeldElsewhereMeanwhile(), !row.trusted) << row.why;
        EXPECT_FALSE(lock.PreviousHolderDied()) << row.why;
        EXPECT_FALSE(TakenByAnotherThread(lock, 0)) << row.why << ": the lock still excludes";
        lock.Unlock();
        std::filesystem::remove_all(folder);
        ::unlink(node.c_str());
    }
}

// A state object of a node's lock that this process makes gets the node's
// group, and lets it in only where the group may use the device.
TEST(DeviceLockFile, TheStateMadeForANodeHasTheAccessOfTheNodeAndNoMore)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "makes files of other users";
    const struct {
        mode_t nodeMode;
        mode_t stateMode;
    } rows[] = {{0660, 0660}, {0640, 0600}, {0666, 0660}};
    for (const auto& row : rows) {
        const std::string name = testing::TestLockName("made");
        const std::string node = NodeLike(name + ".node", 0, kDeviceGroup, row.nodeMode);
        ::unlink(("/dev/shm/" + name + ".state").c_str());
        DeviceLock lock(name, {node, {}});
        struct stat st {};
        ASSERT_EQ(::stat(("/dev/shm/" + name + ".state").c_str(), &st), 0);
        EXPECT_EQ(st.st_gid, kDeviceGroup) << std::oct << row.nodeMode;
        EXPECT_EQ(st.st_mode & 07777, row.stateMode) << std::oct << row.nodeMode;
        ::unlink(node.c_str());
    }
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

#ifndef _WIN32
// A simulated device's lock is a file in its folder, which whoever may
// change the device's files may take; nothing of it is kept elsewhere.
TEST_F(DeviceLockProcessTest, ASimulatedDevicesLockIsAFileInItsFolderThatOtherProcessesTake)
{
    const std::string base = testing::TestLockName("folder");  // of this device's locks alone
    const std::string folder = TempPath(base + ".sim");
    sim::SimPathOptions options;
    options.Folder = folder;
    std::string problem;
    std::unique_ptr<sim::SimPathDevice> device = sim::SimPathDevice::Open(options, problem);
    ASSERT_TRUE(device) << problem;
    TzqComms comms(std::move(device), SystemClock::Instance(), base);
    TzqTerminal terminal(comms);
    TzqkFiles files(terminal);
    const std::string other = "--device sim:" + folder;
    ASSERT_TRUE(comms.Lock(0)) << comms.LockProblem();
    EXPECT_FALSE(testing::TakenAtOnceByAnotherProcess(LOCK_HOLDER_PATH, other));
    ASSERT_TRUE(files.DirMake("/made"));  // the device's files are saved to the folder
    EXPECT_FALSE(testing::TakenAtOnceByAnotherProcess(LOCK_HOLDER_PATH, other)) << "and its lock stays";
    comms.Unlock();
    EXPECT_TRUE(testing::TakenAtOnceByAnotherProcess(LOCK_HOLDER_PATH, other));
    EXPECT_TRUE(std::filesystem::is_regular_file(folder + "/.zqk-lock"));
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/dev/shm", ec))
        EXPECT_NE(entry.path().filename().string().rfind(base, 0), 0u) << entry.path() << " left behind";
    std::filesystem::remove_all(folder);
}
#endif

}  // namespace
}  // namespace zqk
