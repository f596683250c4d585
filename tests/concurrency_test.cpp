// Several threads of one process calling the exports at once. The device
// lock serialises conversations; what the exports touch without it (raw
// channel traffic, identity, the directory list, the prompt, the callback,
// open and close) must stay whole. Built with ThreadSanitizer as well.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "api/library.h"
#include "support/library_fixture.h"
#include "zqkAPI.h"

namespace zqk {
namespace {

namespace fs = std::filesystem;

// The simulated device is a model of one device, not a thread-safe
// transport: a real transport serialises what reaches the device, so here
// one mutex does.
class SerialReportDevice final : public ReportDevice {
    template <typename Body>
    auto Locked(Body&& Run) const
    {
        const std::lock_guard<std::mutex> guard(mutex_);
        return Run();
    }

public:
    explicit SerialReportDevice(std::unique_ptr<ReportDevice> Inner) : inner_(std::move(Inner)) {}

    bool Open(int32_t V, int32_t P, int32_t UP, int32_t U) override { return Locked([&] { return inner_->Open(V, P, UP, U); }); }
    void Close() override { Locked([&] { inner_->Close(); return 0; }); }
    bool IsOpen() const override { return Locked([&] { return inner_->IsOpen(); }); }
    bool Gone() const override { return Locked([&] { return inner_->Gone(); }); }
    int32_t ReadReport(uint8_t* B, int32_t C, int32_t T) override { return Locked([&] { return inner_->ReadReport(B, C, T); }); }
    int32_t WriteReport(const uint8_t* B, int32_t C, int32_t T) override { return Locked([&] { return inner_->WriteReport(B, C, T); }); }
    std::u16string GetManufacturerString() override { return Locked([&] { return inner_->GetManufacturerString(); }); }
    std::u16string GetProductString() override { return Locked([&] { return inner_->GetProductString(); }); }
    std::u16string GetSerialNumberString() override { return Locked([&] { return inner_->GetSerialNumberString(); }); }
    std::u16string GetIndexedString(int32_t I) override { return Locked([&] { return inner_->GetIndexedString(I); }); }
    std::string DevicePath() const override { return Locked([&] { return inner_->DevicePath(); }); }
    int32_t LastError() const override { return Locked([&] { return inner_->LastError(); }); }
    bool ReadPending() const override { return Locked([&] { return inner_->ReadPending(); }); }

private:
    mutable std::mutex mutex_;
    std::unique_ptr<ReportDevice> inner_;
};

class ConcurrencyTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        keeper_.Device.SetPacing(0);
        keeper_.Device.SetWriteDuration(0);
        rig::UseDevice(SerialSimDevice(keeper_), clock_, testing::TestLockName("threads"));
        ASSERT_EQ(zqkOpen(), 1);
    }

    void TearDown() override { rig::UsePlatformDevice(testing::TestLockName("threads")); }

    std::unique_ptr<ReportDevice> SerialSimDevice(sim::SimKeeper& Keeper)
    {
        return std::make_unique<SerialReportDevice>(std::make_unique<sim::SimReportDevice>(Keeper.Device, clock_));
    }

    // Runs Body(i) on Count threads at once and waits for all of them.
    static void OnThreads(int Count, const std::function<void(int)>& Body)
    {
        std::atomic<int> ready {0};
        std::vector<std::thread> threads;
        for (int i = 0; i < Count; ++i) {
            threads.emplace_back([&, i] {
                ++ready;
                while (ready < Count)
                    std::this_thread::yield();
                Body(i);
            });
        }
        for (std::thread& t : threads)
            t.join();
    }

    static std::string Command(const std::string& Line, int32_t& Result)
    {
        std::vector<char> buffer(256);
        Result = zqkCommand(Line.c_str(), buffer.data(), static_cast<int32_t>(buffer.size()), 1000);
        return Result >= 0 ? std::string(buffer.data(), static_cast<size_t>(Result)) : std::string();
    }

    // A handle of a device of its own, on the test clock.
    int32_t OpenHandle(sim::SimKeeper& Keeper)
    {
        Keeper.Device.SetPacing(0);
        Keeper.Device.SetWriteDuration(0);
        auto device = rig::OpenedHandleDevice(SerialSimDevice(Keeper), clock_, testing::TestLockName("threads"));
        return device ? TheLibrary()->Handles.Add(std::move(device)) : 0;
    }

    // Writes a file of its own to the device behind Handle, reads it back,
    // lists and runs a command there: how many of these went wrong.
    int RoundOnHandle(int32_t Handle, const std::string& Tag, int Round)
    {
        const std::string contents(5000 + 100 * static_cast<size_t>(Round), Tag[0]);
        const fs::path source = folder_ / (Tag + "in");
        const fs::path target = folder_ / (Tag + "out");
        std::ofstream(source, std::ios::binary) << contents;
        const std::string devicePath = "/" + Tag + ".dat";
        const auto size = static_cast<int32_t>(contents.size());
        int wrong = 0;
        wrong += zqkDevFileWrite(Handle, source.string().c_str(), devicePath.c_str()) != size;
        wrong += zqkDevFileRead(Handle, devicePath.c_str(), target.string().c_str()) != size;
        std::ifstream in(target, std::ios::binary);
        wrong += std::string(std::istreambuf_iterator<char>(in), {}) != contents;
        // Each device holds only its own file: a listing never shows the other's.
        const int32_t count = zqkDevDir(Handle, "/");
        char name[64];
        for (int32_t i = 0; i < count; ++i) {
            if (zqkDevGetDirEntry(Handle, i, name, sizeof name, nullptr, nullptr, nullptr) > 0 &&
                std::string(name).find(".dat") != std::string::npos)
                wrong += std::string(name) != Tag + ".dat";
        }
        wrong += count < 1;
        std::vector<char> output(64);
        const std::string word = Tag + std::to_string(Round);
        const int32_t n = zqkDevCommand(Handle, ("echo " + word).c_str(), output.data(), 64, 1000);
        wrong += n < 0 || std::string(output.data(), static_cast<size_t>(n)) != word + "\r\n";
        return wrong;
    }

    sim::ManualClock clock_;
    sim::SimKeeper keeper_ {clock_};
    // Named after the process: test processes run side by side, and an
    // object's address can be the same in each.
    rig::ScratchFolder scratch_ {"threads"};
    const fs::path& folder_ = scratch_.Path();
};

TEST_F(ConcurrencyTest, TwoDevicesThroughHandlesBesideTheClassicFunctions)
{
    sim::SimKeeper first {clock_}, second {clock_};
    const int32_t handles[2] = {OpenHandle(first), OpenHandle(second)};
    ASSERT_GT(handles[0], 0);
    ASSERT_GT(handles[1], handles[0]);
    std::atomic<int> wrong {0};
    OnThreads(3, [&](int thread) {
        for (int round = 0; round < 6; ++round) {
            if (thread < 2) {
                wrong += RoundOnHandle(handles[thread], thread ? "b" : "a", round);
                continue;
            }
            int32_t result = 0;
            wrong += Command("echo classic", result) != "classic\r\n";
        }
    });
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(first.Files.Find("/b.dat"), nullptr) << "a file reached the other device";
    EXPECT_NE(first.Files.Find("/a.dat"), nullptr);
    EXPECT_NE(second.Files.Find("/b.dat"), nullptr);
    EXPECT_EQ(keeper_.Files.Find("/a.dat"), nullptr) << "a file reached the classic functions' device";
    for (const int32_t handle : handles)
        EXPECT_EQ(zqkDevClose(handle), 0);
}

// A handle closed while another thread is inside a call on it: that call
// ends as it may, the next ones fail cleanly, and nothing touches freed
// memory (ThreadSanitizer and AddressSanitizer builds run this too).
TEST_F(ConcurrencyTest, AHandleClosedUnderAnotherThreadsCalls)
{
    sim::SimKeeper unit {clock_};
    const int32_t handle = OpenHandle(unit);
    ASSERT_GT(handle, 0);
    std::atomic<bool> closed {false};
    std::atomic<int> afterClose {0}, statusWrong {0};
    OnThreads(2, [&](int thread) {
        if (thread == 1) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            EXPECT_EQ(zqkDevClose(handle), 0);
            closed = true;
            return;
        }
        while (!closed)
            RoundOnHandle(handle, "c", 0);
        for (int n = 0; n < 3; ++n) {
            afterClose += zqkDevDir(handle, "/") == -1;
            statusWrong += zqkLastStatus() != ZQK_STATUS_ARGUMENT;
        }
    });
    EXPECT_EQ(afterClose, 3);
    EXPECT_EQ(statusWrong, 0);
}

TEST_F(ConcurrencyTest, EveryThreadGetsTheAnswerToItsOwnCommand)
{
    constexpr int kThreads = 4;
    constexpr int kCommands = 60;
    std::atomic<int> answered {0};
    std::atomic<int> wrong {0};
    OnThreads(kThreads, [&](int thread) {
        for (int n = 0; n < kCommands; ++n) {
            const std::string word = "t" + std::to_string(thread) + "-" + std::to_string(n);
            int32_t result = 0;
            const std::string output = Command("echo " + word, result);
            if (result < 0)
                continue;  // the device stayed busy for a whole second: allowed
            ++answered;
            if (output != word + "\r\n")
                ++wrong;
        }
    });
    EXPECT_EQ(wrong, 0);
    EXPECT_GT(answered, kThreads * kCommands / 2);
    EXPECT_EQ(TheLibrary()->Default().Comms.LockCount(), 0);
}

TEST_F(ConcurrencyTest, EntriesAreReadWhileAnotherThreadLists)
{
    keeper_.Files.MakeDir("/few");
    keeper_.Files.MakeDir("/many");
    std::set<std::string> names;
    for (int i = 0; i < 3; ++i)
        keeper_.Files.PutFile("/few/f" + std::to_string(i) + ".txt", "x");
    for (int i = 0; i < 40; ++i)
        keeper_.Files.PutFile("/many/m" + std::to_string(i) + ".bin", std::string(static_cast<size_t>(i), 'y'));

    // Both folders have at least three entries, so a reader of the first
    // three always finds a listing: the last one until the next has come.
    ASSERT_EQ(zqkDir("/few"), 3);
    std::atomic<bool> listing {true};
    std::atomic<int> strange {0};
    std::atomic<int> missing {0};
    std::atomic<int> reading {0};
    std::thread lister([&] {
        while (reading < 3)
            std::this_thread::yield();
        for (int n = 0; n < 200; ++n)
            zqkDir(n % 2 ? "/few" : "/many");
        listing = false;
    });
    OnThreads(3, [&](int) {
        char name[64];
        int32_t size = 0, attributes = 0, time = 0;
        char text[64];
        ++reading;
        while (listing) {
            for (int32_t i = 0; i < 3; ++i) {
                const int32_t n = zqkGetDirEntry(i, name, sizeof name, &size, &attributes, &time);
                if (n < 0) {
                    ++missing;
                    continue;
                }
                const std::string got(name, static_cast<size_t>(n));
                if (got.rfind("f", 0) != 0 && got.rfind("m", 0) != 0)
                    ++strange;
                zqkAttrToText(attributes, text, sizeof text);
                zqkDateToText(time, text, sizeof text);
            }
        }
    });
    lister.join();
    EXPECT_EQ(missing, 0) << "an entry of the kept listing was missing while another thread listed";
    EXPECT_EQ(strange, 0);
}

std::atomic<int> g_progressCalls {0};
void ZQK_CALL CountProgress(int32_t, int32_t, int32_t) { ++g_progressCalls; }

TEST_F(ConcurrencyTest, TransfersFromSeveralThreadsKeepTheirContents)
{
    constexpr int kThreads = 3;
    std::atomic<int> mismatched {0};
    std::atomic<int> transferred {0};
    std::atomic<bool> running {true};
    std::thread callbackSwitcher([&] {
        for (int n = 0; running; ++n)
            zqkSetCallback(n % 2 ? CountProgress : nullptr, n);
    });
    OnThreads(kThreads, [&](int thread) {
        const std::string contents(9000 + 1000 * static_cast<size_t>(thread), static_cast<char>('a' + thread));
        const fs::path source = folder_ / ("in" + std::to_string(thread));
        const fs::path target = folder_ / ("out" + std::to_string(thread));
        std::ofstream(source, std::ios::binary) << contents;
        const std::string devicePath = "/t" + std::to_string(thread) + ".dat";
        for (int n = 0; n < 8; ++n) {
            if (zqkFileWrite(source.string().c_str(), devicePath.c_str()) != static_cast<int32_t>(contents.size()))
                continue;
            if (zqkFileRead(devicePath.c_str(), target.string().c_str()) != static_cast<int32_t>(contents.size()))
                continue;
            ++transferred;
            std::ifstream in(target, std::ios::binary);
            if (std::string(std::istreambuf_iterator<char>(in), {}) != contents)
                ++mismatched;
        }
    });
    running = false;
    callbackSwitcher.join();
    EXPECT_EQ(mismatched, 0);
    EXPECT_GT(transferred, 0);
}

TEST_F(ConcurrencyTest, RawTrafficIdentityAndSettingsBesideConversations)
{
    std::atomic<bool> running {true};
    std::thread conversation([&] {
        for (int n = 0; n < 20; ++n) {
            int32_t result = 0;
            Command("echo side", result);
            zqkDirMake("/side");
            zqkDir("/");
        }
        running = false;
    });
    OnThreads(4, [&](int thread) {
        char buffer[128];
        while (running) {
            std::this_thread::sleep_for(std::chrono::microseconds(200));  // leave the lock free now and then
            switch (thread) {
            case 0:
                zqkTermTx("ver\r", 4, 100);
                zqkTermRx(buffer, sizeof buffer, 5);
                zqkPoll(0);
                break;
            case 1:
                for (int32_t type : {0, 1, 2, 201, 204})
                    zqkUsbDetail(type, buffer, sizeof buffer);
                zqkUsbPath(buffer, sizeof buffer);
                zqkLastError();
                zqkDebug();
                break;
            case 2:
                zqkSetPrompt(testing::kPrompt.c_str());
                zqkSetVidPid(0, zqkGetVidPid(0));
                zqkIsRunningApp();
                zqkIsOpen();
                break;
            default:
                zqkFlushPrompt(buffer, sizeof buffer, 5);
                zqkIsPrompt("zq.keeper");
                break;
            }
        }
    });
    conversation.join();
    EXPECT_EQ(TheLibrary()->Default().Comms.LockCount(), 0);
    // Whatever the raw traffic took from the conversations, the device
    // still answers a command in turn.
    char stale[4096];
    zqkFlushPrompt(stale, sizeof stale, 50);
    int32_t result = 0;
    EXPECT_EQ(Command("echo after", result), "after\r\n");
}

TEST_F(ConcurrencyTest, OpenAndCloseWhileOthersUseTheDevice)
{
    std::atomic<bool> running {true};
    const std::string trace = (folder_ / "racing.pcapng").string();
    std::thread opener([&] {
        for (int n = 0; n < 200; ++n) {
            if (n % 20 == 0)  // a trace that starts and stops between the others' reports
                zqkSetTrace(n % 40 == 0 ? trace.c_str() : "");
            if (n % 2)
                zqkClose();
            else
                zqkOpen();
        }
        running = false;
    });
    OnThreads(3, [&](int thread) {
        char buffer[128];
        while (running) {
            int32_t result = 0;
            if (thread == 0)
                Command("echo racing", result);
            else if (thread == 1)
                zqkTermRx(buffer, sizeof buffer, 1);
            else
                zqkUsbDetail(2, buffer, sizeof buffer);
        }
    });
    opener.join();
    ASSERT_EQ(zqkOpen(), 1);
    char stale[4096];
    zqkFlushPrompt(stale, sizeof stale, 50);
    int32_t result = 0;
    EXPECT_EQ(Command("echo after", result), "after\r\n");
    EXPECT_EQ(TheLibrary()->Default().Comms.LockCount(), 0);
    EXPECT_EQ(zqkSetTrace(""), 0) << "every trace was written whole";
}

// Whether the device answered is each export's own: another thread's read
// that ends meanwhile, as soon as the device lock is free, does not change it.
TEST_F(ConcurrencyTest, TerminalExportsTellTheirOwnSilence)
{
    constexpr int kRounds = 2000;
    std::atomic<int> wrong {0};
    std::atomic<int> busy {0};
    OnThreads(3, [&](int thread) {
        char buffer[64];
        for (int n = 0; n < kRounds; ++n) {
            bool right = false;
            if (thread == 0) {  // the device answers an escape with its prompt
                right = zqkEscape() == 1 && zqkLastStatus() == ZQK_STATUS_OK;
            } else if (thread == 1) {
                right = zqkIsPrompt("zq.keeper") == 1 && zqkLastStatus() == ZQK_STATUS_OK;
            } else {  // and says nothing more (the silence costs no time on the test clock)
                const int32_t got = zqkFlushPrompt(buffer, sizeof buffer, 1000);
                right = got == 0 && zqkLastStatus() == ZQK_STATUS_TIMEOUT;
            }
            // The wait for another thread's turn is real time (1000 ms): on a
            // loaded machine a call may be refused as busy, which tells
            // nothing of the silence; that round is done again, a few times.
            if (!right && zqkLastStatus() == ZQK_STATUS_BUSY && ++busy <= 10)
                --n;
            else
                wrong += !right;
        }
    });
    EXPECT_EQ(wrong, 0);
}

// A progress callback that, at a transfer's first block, runs a change of the
// default device's transport: on another thread, which gets the time to come
// in the transfer's way (the change waits for the device lock, so it returns
// only once the transfer has ended), or on the transfer's own thread.
struct TransportChangeInTransfer {
    std::function<int32_t()> Change;
    bool OnTheTransfersThread = false;
    std::atomic<bool> started {false};
    std::atomic<bool> transferEnded {false};  // told by its completion, still in its turn
    std::atomic<bool> returned {false};
    std::atomic<bool> returnedInTheTransfer {false};
    std::atomic<int32_t> result {INT32_MIN};
    std::atomic<int32_t> status {-1};
    std::thread other;

    void Run()
    {
        result = Change();
        status = zqkLastStatus();
        returnedInTheTransfer = !transferEnded;
        returned = true;
    }
};
TransportChangeInTransfer* g_change = nullptr;

void ZQK_CALL ChangeTheTransportAtTheFirstBlock(int32_t, int32_t Position, int32_t)
{
    if (Position == -1)
        g_change->transferEnded = true;
    if (Position <= 0 || g_change->started.exchange(true))
        return;
    if (g_change->OnTheTransfersThread) {
        g_change->Run();
        return;
    }
    g_change->other = std::thread([] { g_change->Run(); });
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(100);
    while (!g_change->returned && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

struct TransportChangeCase {
    const char* Name;
    std::function<int32_t(const std::string& OtherDevice)> Change;
    int32_t AfterTheTransfer;  // its result on another thread, once the transfer has ended
    // Its result from the transfer's own callback, refused; none for zqkClose,
    // which ends the caller's own transfer there (see the hostile input tests).
    std::optional<int32_t> InTheTransfersWay;
};

void PrintTo(const TransportChangeCase& c, std::ostream* out)
{
    *out << c.Name;
}

const std::vector<TransportChangeCase>& TransportChangeCases()
{
    static const std::vector<TransportChangeCase> cases = {
        {"zqkOpenPath", [](const std::string& other) { return zqkOpenPath(other.c_str()); }, 1, 0},
        {"zqkOpenSerial", [](const std::string&) { return zqkOpenSerial("NONE-1"); }, 0, 0},
        {"zqkUsbPath",
         [](const std::string&) {
             char path[256];
             return zqkUsbPath(path, sizeof path) > 0 ? 1 : -1;
         },
         1, -1},
        {"zqkClose", [](const std::string&) { return zqkClose(); }, 0, std::nullopt},
    };
    return cases;
}

class TransportChange : public ConcurrencyTest, public ::testing::WithParamInterface<TransportChangeCase> {
protected:
    // Writes a file whose later blocks hold a command line, while Change runs
    // as the callback says: what the write returned.
    int32_t WriteWhileTheTransportChanges(TransportChangeInTransfer& Change)
    {
        std::ofstream(folder_ / "in.bin", std::ios::binary) << contents_;
        Change.Change = [this] { return GetParam().Change("sim:" + OtherDevice().string()); };
        g_change = &Change;
        zqkSetCallback(ChangeTheTransportAtTheFirstBlock, 0);
        const int32_t written = zqkFileWrite((folder_ / "in.bin").string().c_str(), "/big.bin");
        zqkSetCallback(nullptr, 0);
        if (Change.other.joinable())
            Change.other.join();
        g_change = nullptr;
        return written;
    }

    fs::path OtherDevice() const { return folder_ / "other"; }

    void ExpectEveryByteOnTheFirstDevice()
    {
        EXPECT_FALSE(fs::exists(OtherDevice() / "x")) << "the file's data ran as a command on the other device";
        EXPECT_FALSE(fs::exists(OtherDevice() / "big.bin"));
        EXPECT_EQ(keeper_.Files.Find("/x"), nullptr);
        const sim::SimNode* file = keeper_.Files.Find("/big.bin");
        EXPECT_TRUE(file && file->Data == contents_) << "the first device did not get the whole file";
    }

    const std::string contents_ = std::string(5000, 'a') + "\x1B" "NFMKDIR /x\r" + std::string(7000, 'b');
};

TEST_P(TransportChange, WaitsForAnotherThreadsTransfer)
{
    TransportChangeInTransfer change;
    EXPECT_EQ(WriteWhileTheTransportChanges(change), static_cast<int32_t>(contents_.size()));
    ExpectEveryByteOnTheFirstDevice();
    EXPECT_FALSE(change.returnedInTheTransfer) << "it did not wait for the transfer";
    EXPECT_EQ(change.result, GetParam().AfterTheTransfer);
    EXPECT_NE(change.status, ZQK_STATUS_BUSY) << "it waits up to 1000 ms, longer than the transfer";
    EXPECT_EQ(TheLibrary()->Default().Comms.LockCount(), 0);
}

INSTANTIATE_TEST_SUITE_P(Exports, TransportChange, ::testing::ValuesIn(TransportChangeCases()),
                         [](const ::testing::TestParamInfo<TransportChangeCase>& info) { return info.param.Name; });

class TransportChangeFromTheCallback : public TransportChange {};

std::vector<TransportChangeCase> RefusedInTheTransfersWay()
{
    std::vector<TransportChangeCase> refused;
    for (const TransportChangeCase& c : TransportChangeCases()) {
        if (c.InTheTransfersWay)
            refused.push_back(c);
    }
    return refused;
}

TEST_P(TransportChangeFromTheCallback, IsRefusedInTheTransfersWay)
{
    TransportChangeInTransfer change;
    change.OnTheTransfersThread = true;
    EXPECT_EQ(WriteWhileTheTransportChanges(change), static_cast<int32_t>(contents_.size()));
    ExpectEveryByteOnTheFirstDevice();
    EXPECT_EQ(change.result, *GetParam().InTheTransfersWay);
    EXPECT_EQ(change.status, ZQK_STATUS_IN_TRANSFER);
    EXPECT_EQ(zqkIsOpen(), 1);
    EXPECT_EQ(TheLibrary()->Default().Comms.DevicePath(), keeper_.Device.Identity.Path)
        << "the device was left as it was";
}

INSTANTIATE_TEST_SUITE_P(Exports, TransportChangeFromTheCallback, ::testing::ValuesIn(RefusedInTheTransfersWay()),
                         [](const ::testing::TestParamInfo<TransportChangeCase>& info) { return info.param.Name; });

}  // namespace
}  // namespace zqk
