// Faults injected through the simulated device into every export that talks
// to it: the device unplugged after its k-th report, silent after the k-th
// byte of its output, a report write that fails or times out at the k-th
// report, for every k of the operation. Every run must end with a result the
// export's contract allows, the device lock given back (another thread and
// another process take it at once), the file services' bracket left, local
// files as they were or complete, and in bounded time on the test clock.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "api/library.h"
#include "link/device_lock.h"
#include "sim/manual_clock.h"
#include "sim/sim_keeper.h"
#include "sim/sim_report_device.h"
#include "support/library_fixture.h"
#include "support/lock_probe.h"
#include "zqkAPI.h"

namespace zqk {
namespace {

namespace fs = std::filesystem;

using testing::kPrompt;
const std::string kOldContents = "what was there before";
// A transfer of two blocks, the second short, so that faults fall between
// blocks, inside them and in the device's answers around them.
const std::string kDeviceFile = sim::BytesOfLength(4100);
const std::string kSmallDeviceFile = sim::BytesOfLength(130);
const std::string kLocalFile = sim::BytesOfLength(5000);
const std::string kFirmwareImage = sim::TextOfLength(4200);
// Far more than any operation below may wait in all, however it fails.
constexpr uint64_t kTestClockBoundMs = 120000;

using rig::ReadFile;
using rig::WriteFile;

bool StartsWith(const std::string& text, const std::string& start)
{
    return text.compare(0, start.size(), start) == 0;
}

// A simulated zq.keeper on a test clock of its own, made the library's device.
class Rig {
public:
    explicit Rig(const std::string& LockName)
    {
        keeper.Files.PackedNow = [] { return sim::SimFileSystem::PackTime(2024, 3, 15, 10, 20, 30); };
        rig::UseSimDevice(keeper.Device, clock, LockName);
    }

    sim::ManualClock clock;
    sim::SimKeeper keeper {clock};
    sim::SimDevice& device = keeper.Device;
    sim::SimFileSystem& files = keeper.Files;
};

struct Outcome {
    int32_t Result = 0;
    std::string Text;                // what a buffer-return export handed back
    std::vector<std::string> Lines;  // the listing after zqkDir
};

// Where the fault struck: Complete when it came after all of the clean run's
// traffic, so that nothing the operation needed was lost.
struct FaultedRun {
    Rig& rig;
    const Outcome& clean;
    bool Complete;
};

struct Operation {
    const char* Name;
    int32_t CleanResult;
    std::function<void(Rig&)> Prepare;  // after the device is opened and the fault armed
    std::function<Outcome(const fs::path& Local)> Start;
    // Whether a faulted run's outcome is one the export's contract allows.
    std::function<void(const FaultedRun&, const Outcome&, const fs::path& Local)> Judge;
};

void PrintTo(const Operation& op, std::ostream* out)
{
    *out << op.Name;
}

Outcome ResultOnly(int32_t Result)
{
    return Outcome {Result, {}, {}};
}

Outcome TextResult(int32_t Result, const char* Buffer)
{
    return Outcome {Result, Result >= 0 ? std::string(Buffer, static_cast<size_t>(Result)) : std::string(), {}};
}

// Exports without a failure value of their own hand back what came before
// the fault: a beginning of what the device sent in the clean run.
void JudgeTextSoFar(const Outcome& got, const std::string& deviceSent)
{
    EXPECT_GE(got.Result, 0);
    EXPECT_TRUE(StartsWith(deviceSent, got.Text)) << "handed back: " << got.Text;
}

// Exports whose answer comes only from a whole answer of the device: their
// failure value unless the fault came after everything.
std::function<void(const FaultedRun&, const Outcome&, const fs::path&)> FailureUnlessComplete(int32_t Failure)
{
    return [Failure](const FaultedRun& run, const Outcome& got, const fs::path&) {
        if (!run.Complete) {
            EXPECT_EQ(got.Result, Failure);
        }
    };
}

// The four changes: a success must be a change the device made. The device
// may have made it and the answer been lost, which is a failure all the same.
std::function<void(const FaultedRun&, const Outcome&, const fs::path&)> ChangeMadeIfReported(
    std::function<bool(sim::SimFileSystem&)> Made)
{
    return [Made](const FaultedRun& run, const Outcome& got, const fs::path&) {
        EXPECT_TRUE(got.Result == 0 || got.Result == -1) << got.Result;
        if (got.Result == 0) {
            EXPECT_TRUE(Made(run.rig.files)) << "success reported for a change the device did not make";
        }
    };
}

std::vector<std::string> ListingLines()
{
    return TheLibrary()->Default().DirLines.Lines();
}

const std::vector<Operation>& Operations()
{
    static const std::vector<Operation> operations = {
        {"Command", 7, nullptr,
         [](const fs::path&) {
             char buffer[256];
             return TextResult(zqkCommand("echo hello", buffer, sizeof buffer, 1000), buffer);
         },
         [](const FaultedRun& run, const Outcome& got, const fs::path&) {
             JudgeTextSoFar(got, run.clean.Text + kPrompt);
         }},
        {"Escape", 0, [](Rig& rig) { rig.keeper.Terminal.RequirePassword("secret"); },
         [](const fs::path&) { return ResultOnly(zqkEscape()); }, FailureUnlessComplete(1)},
        {"IsPrompt", 1, nullptr, [](const fs::path&) { return ResultOnly(zqkIsPrompt("zq.keeper>")); },
         FailureUnlessComplete(0)},
        {"FlushPrompt", 150, [](Rig& rig) { rig.device.Send(0, sim::TextOfLength(150) + "\xBB" "after"); },
         [](const fs::path&) {
             char buffer[256];
             return TextResult(zqkFlushPrompt(buffer, sizeof buffer, 100), buffer);
         },
         [](const FaultedRun& run, const Outcome& got, const fs::path&) { JudgeTextSoFar(got, run.clean.Text); }},
        {"TermTx", 1, nullptr,
         [](const fs::path&) {
             const std::string data = sim::TextOfLength(150).substr(0, 50) + std::string(100, 'k');
             return ResultOnly(zqkTermTx(data.data(), static_cast<int32_t>(data.size()), 100));
         },
         [](const FaultedRun& run, const Outcome& got, const fs::path&) {
             // A failed write closes the device; all written means all arrived.
             if (got.Result == 0) {
                 EXPECT_EQ(zqkIsOpen(), 0);
             } else {
                 EXPECT_EQ(run.rig.device.HostData(0).size(), 150u);
             }
         }},
        {"TermRx", 20, [](Rig& rig) { rig.device.Send(0, "one packet of output"); },
         [](const fs::path&) {
             char buffer[64];
             return TextResult(zqkTermRx(buffer, sizeof buffer, 100), buffer);
         },
         [](const FaultedRun& run, const Outcome& got, const fs::path&) { JudgeTextSoFar(got, run.clean.Text); }},
        {"Poll", 0, [](Rig& rig) { rig.device.Send(5, "x"); },
         [](const fs::path&) { return ResultOnly(zqkPoll(100)); }, FailureUnlessComplete(-1)},
        {"Dir", 4, nullptr,
         [](const fs::path&) {
             Outcome outcome = ResultOnly(zqkDir("/docs"));
             outcome.Lines = ListingLines();
             return outcome;
         },
         [](const FaultedRun& run, const Outcome& got, const fs::path&) {
             // A listing is the whole folder or a failure: entries that end
             // early would pass for a folder that lacks the rest.
             if (got.Result == -1) {
                 EXPECT_TRUE(got.Lines.empty());
                 return;
             }
             EXPECT_EQ(got.Lines, run.clean.Lines);
             EXPECT_EQ(static_cast<size_t>(got.Result), got.Lines.size());
         }},
        {"DirMake", 0, nullptr, [](const fs::path&) { return ResultOnly(zqkDirMake("/made")); },
         ChangeMadeIfReported([](sim::SimFileSystem& files) { return files.Find("/made") != nullptr; })},
        {"DirRemove", 0, nullptr, [](const fs::path&) { return ResultOnly(zqkDirRemove("/trash")); },
         ChangeMadeIfReported([](sim::SimFileSystem& files) { return files.Find("/trash") == nullptr; })},
        {"FileDelete", 0, nullptr, [](const fs::path&) { return ResultOnly(zqkFileDelete("/docs/d.txt")); },
         ChangeMadeIfReported([](sim::SimFileSystem& files) { return files.Find("/docs/d.txt") == nullptr; })},
        {"Rename", 0, nullptr, [](const fs::path&) { return ResultOnly(zqkRename("/docs/c.txt", "/moved.txt")); },
         ChangeMadeIfReported([](sim::SimFileSystem& files) {
             return files.Find("/docs/c.txt") == nullptr && files.Find("/moved.txt") != nullptr;
         })},
        {"FileRead", static_cast<int32_t>(kDeviceFile.size()), nullptr,
         [](const fs::path& local) {
             return ResultOnly(zqkFileRead("/data.bin", (local / "out.bin").string().c_str()));
         },
         [](const FaultedRun&, const Outcome& got, const fs::path& local) {
             if (got.Result == static_cast<int32_t>(kDeviceFile.size())) {
                 EXPECT_TRUE(ReadFile(local / "out.bin") == kDeviceFile) << "the local file is not complete";
             } else {
                 EXPECT_EQ(got.Result, -2);
                 EXPECT_EQ(ReadFile(local / "out.bin"), kOldContents);
             }
         }},
        {"FileReadToANewFile", static_cast<int32_t>(kSmallDeviceFile.size()), nullptr,
         [](const fs::path& local) {
             return ResultOnly(zqkFileRead("/small.bin", (local / "new.bin").string().c_str()));
         },
         [](const FaultedRun&, const Outcome& got, const fs::path& local) {
             if (got.Result == static_cast<int32_t>(kSmallDeviceFile.size())) {
                 EXPECT_TRUE(ReadFile(local / "new.bin") == kSmallDeviceFile) << "the local file is not complete";
             } else {
                 EXPECT_EQ(got.Result, -2);
                 EXPECT_FALSE(fs::exists(local / "new.bin")) << "a partial file was left";
             }
         }},
        {"FileWrite", static_cast<int32_t>(kLocalFile.size()), nullptr,
         [](const fs::path& local) {
             return ResultOnly(zqkFileWrite((local / "in.bin").string().c_str(), "/docs/w.bin"));
         },
         [](const FaultedRun& run, const Outcome& got, const fs::path& local) {
             EXPECT_TRUE(ReadFile(local / "in.bin") == kLocalFile) << "the local file was changed";
             if (got.Result == -2)
                 return;
             EXPECT_EQ(got.Result, static_cast<int32_t>(kLocalFile.size()));
             const sim::SimNode* written = run.rig.files.Find("/docs/w.bin");
             EXPECT_TRUE(written && written->Data == kLocalFile) << "success reported for a file the device lacks";
         }},
        {"FirmwareUpdate", static_cast<int32_t>(kFirmwareImage.size()), nullptr,
         [](const fs::path& local) { return ResultOnly(zqkFirmwareUpdate((local / "fw.bin").string().c_str())); },
         [](const FaultedRun& run, const Outcome& got, const fs::path& local) {
             EXPECT_TRUE(ReadFile(local / "fw.bin") == kFirmwareImage) << "the local file was changed";
             if (got.Result == -2)
                 return;
             EXPECT_EQ(got.Result, static_cast<int32_t>(kFirmwareImage.size()));
             EXPECT_EQ(run.rig.files.FirmwareLoads, 1);
             EXPECT_TRUE(run.rig.files.FirmwareImage == kFirmwareImage) << "success reported for a lost image";
         }},
        // The identity exports read USB strings, no reports: unplugged before
        // they run, they give their empty answers.
        {"UsbDetail", 8, nullptr,
         [](const fs::path&) {
             char buffer[64];
             return TextResult(zqkUsbDetail(204, buffer, sizeof buffer), buffer);
         },
         FailureUnlessComplete(0)},
        {"UsbPath", 13, nullptr,
         [](const fs::path&) {
             char buffer[64];
             return TextResult(zqkUsbPath(buffer, sizeof buffer), buffer);
         },
         FailureUnlessComplete(-1)},
        {"IsRunningApp", 1, nullptr, [](const fs::path&) { return ResultOnly(zqkIsRunningApp()); },
         FailureUnlessComplete(0)},
    };
    return operations;
}

enum class Fault { None, Unplug, Silence, WriteFail, WriteTimeout };

const char* FaultName(Fault fault)
{
    switch (fault) {
    case Fault::None: return "none";
    case Fault::Unplug: return "unplugged after report";
    case Fault::Silence: return "silent after byte";
    case Fault::WriteFail: return "write fails at report";
    case Fault::WriteTimeout: return "write times out at report";
    }
    return "?";
}

// What one clean run of an operation moved.
struct Traffic {
    uint64_t Reports = 0;
    uint64_t Bytes = 0;
    uint64_t Writes = 0;
};

class FaultInjection : public ::testing::TestWithParam<Operation> {
protected:
    void SetUp() override
    {
        lockName_ = testing::TestLockName("faults");
        WriteFile(local_ / "in.bin", kLocalFile);
        WriteFile(local_ / "fw.bin", kFirmwareImage);
    }

    void TearDown() override
    {
        rig::UsePlatformDevice(lockName_);
        rig_.reset();
        probe_.reset();
    }

    // A new device in the state every run starts from, open. It waits for no
    // data: a transfer that an earlier run left owed in its lock is not its.
    Rig& FreshRig()
    {
        if (!ownLockName_.empty()) {
            DeviceLock lock(ownLockName_);
            EXPECT_TRUE(lock.Lock(1000));  // under Wine a process just ended may hold it a moment longer
            lock.RecordOwed(OwedTransfer {});
            lock.Unlock();
        }
        auto rig = std::make_unique<Rig>(lockName_);  // the library lets go of the old one
        rig_ = std::move(rig);
        sim::SimFileSystem& files = rig_->files;
        files.MakeDir("/docs");
        files.PutFile("/docs/a.txt", "alpha");
        files.PutFile("/docs/b b.txt", "bravo");
        files.PutFile("/docs/c.txt", "charlie");
        files.PutFile("/docs/d.txt", "delta");
        files.MakeDir("/trash");
        files.PutFile("/trash/old.txt", "old");
        files.PutFile("/data.bin", kDeviceFile);
        files.PutFile("/small.bin", kSmallDeviceFile);
        fs::remove(local_ / "new.bin");
        if (ReadFile(local_ / "out.bin") != kOldContents)  // rewriting it every run costs disk writes
            WriteFile(local_ / "out.bin", kOldContents);
        EXPECT_EQ(zqkOpen(), 1);
        // Every rig's device has the same serial number, and so the same lock.
        ownLockName_ = TheLibrary()->Default().Comms.DeviceLockName();
        if (!probe_)
            probe_ = std::make_unique<testing::LockProbe>(ownLockName_);
        return *rig_;
    }

    static void Arm(Rig& rig, Fault fault, uint64_t k)
    {
        switch (fault) {
        case Fault::None: break;
        case Fault::Unplug: rig.device.UnplugAfterReports(k); break;
        case Fault::Silence: rig.device.SilenceAfterBytes(k); break;
        case Fault::WriteFail: rig.device.SetWriteFault(sim::WriteFault::Fail, static_cast<uint32_t>(k)); break;
        case Fault::WriteTimeout:
            rig.device.SetWriteFault(sim::WriteFault::Timeout, static_cast<uint32_t>(k));
            break;
        }
    }

    Outcome RunOnce(const Operation& op, Fault fault, uint64_t k, Traffic* traffic = nullptr)
    {
        Rig& rig = FreshRig();
        const uint64_t reports = rig.device.ReportsMoved();
        const uint64_t bytes = rig.device.BytesSent();
        const size_t writes = rig.device.HostPackets().size();
        const uint64_t start = rig.clock.NowMs();
        Arm(rig, fault, k);
        if (op.Prepare)
            op.Prepare(rig);
        Outcome outcome = op.Start(local_);
        if (traffic) {
            traffic->Reports = rig.device.ReportsMoved() - reports;
            traffic->Bytes = rig.device.BytesSent() - bytes;
            traffic->Writes = rig.device.HostPackets().size() - writes;
        }
        EXPECT_LT(rig.clock.NowMs() - start, kTestClockBoundMs) << "waited without end";
        ExpectEverythingGivenBack();
        return outcome;
    }

    void ExpectEverythingGivenBack()
    {
        EXPECT_EQ(TheLibrary()->Default().Comms.LockCount(), 0) << "a device lock taken and not given back";
        EXPECT_FALSE(TheLibrary()->Default().Files.Busy()) << "the operation bracket was not left";
        EXPECT_TRUE(probe_->TakenAtOnce()) << "another thread cannot take the device lock";
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator(local_))
            names.insert(entry.path().filename().string());
        names.erase("new.bin");  // there or not: its operation judges it
        EXPECT_EQ(names, (std::set<std::string> {"fw.bin", "in.bin", "out.bin"})) << "a stray local file";
    }

    // Runs the operation with the fault at every k up to Last; stops at the
    // first run that fails, which says all there is to say.
    void EveryK(const Operation& op, const Outcome& clean, Fault fault, uint64_t First, uint64_t Last,
                uint64_t CompleteFrom)
    {
        for (uint64_t k = First; k <= Last && !HasFailure(); ++k) {
            SCOPED_TRACE(::testing::Message() << op.Name << ": " << FaultName(fault) << " " << k);
            const Outcome got = RunOnce(op, fault, k);
            const FaultedRun run {*rig_, clean, k >= CompleteFrom};
            if (run.Complete) {
                EXPECT_EQ(got.Result, clean.Result) << "a fault after the last report changed the result";
            }
            op.Judge(run, got, local_);
        }
    }

    std::string lockName_;
    std::string ownLockName_;  // the device's own lock, which every program takes
    rig::ScratchFolder scratch_ {"faults"};
    const fs::path& local_ = scratch_.Path();
    std::unique_ptr<Rig> rig_;
    std::unique_ptr<testing::LockProbe> probe_;
};

TEST_P(FaultInjection, EveryFaultAtEveryStepGivesADefinedResultAndLeavesNothingHeld)
{
    const Operation& op = GetParam();
    Traffic traffic;
    const Outcome clean = RunOnce(op, Fault::None, 0, &traffic);
    ASSERT_EQ(clean.Result, op.CleanResult) << "the operation without a fault";
    ASSERT_FALSE(HasFailure());

    // Unplugged before the first report, after each, and after the last:
    // the last run loses nothing the operation needed.
    EveryK(op, clean, Fault::Unplug, 0, traffic.Reports, traffic.Reports == 0 ? 1 : traffic.Reports);
    EveryK(op, clean, Fault::Silence, 0, traffic.Bytes, traffic.Bytes);
    if (traffic.Writes > 0) {
        EveryK(op, clean, Fault::WriteFail, 0, traffic.Writes - 1, UINT64_MAX);
        EveryK(op, clean, Fault::WriteTimeout, 0, traffic.Writes - 1, UINT64_MAX);
    }

    EXPECT_TRUE(testing::TakenAtOnceByAnotherProcess(LOCK_HOLDER_PATH, ownLockName_))
        << "another process cannot take the device lock at once";
}

INSTANTIATE_TEST_SUITE_P(Exports, FaultInjection, ::testing::ValuesIn(Operations()),
                         [](const ::testing::TestParamInfo<Operation>& info) { return info.param.Name; });

}  // namespace
}  // namespace zqk
