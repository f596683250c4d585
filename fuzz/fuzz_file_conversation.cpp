// Whole file-services conversations through the exports, with the device's
// answers fuzzed. A complete simulated device runs behind a filter: every
// answer it gives passes the filter, which may let it through as it is, cut
// it across reports at fuzzed points, delay it, drop it, cut it short, change
// or replace its bytes. The fuzz input chooses the exports called, their
// arguments and what the filter does to each answer.
//
// Whatever the answers, no export may crash, hang or leak, each gives a
// result of its documented set and gives the device lock back, and a local
// file is either untouched or complete. While every answer so far went
// through unchanged and without delay, the results must be the true ones. A
// device name the library must refuse (tests/support/device_names.h) gives
// the call's failure result whatever the answers, with nothing sent, and the
// device's tree and the last listing as they were.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "api/library.h"
#include "fuzz/fuzz_support.h"
#include "sim/sim_keeper.h"
#include "tests/support/device_names.h"
#include "zqkAPI.h"

namespace zqk::fuzz {
namespace {

const std::string kOldContents = "old local contents";

bool Tracing()
{
    static const bool tracing = std::getenv("ZQK_FUZZ_TRACE") != nullptr;
    return tracing;
}

// Text for a trace line: control and 8-bit bytes as \xNN, at most 80 shown.
std::string Shown(const std::string& Bytes)
{
    std::string text;
    for (size_t i = 0; i < Bytes.size() && i < 80; ++i) {
        const auto c = static_cast<unsigned char>(Bytes[i]);
        char hex[8];
        std::snprintf(hex, sizeof hex, "\\x%02X", c);
        text += c >= 0x20 && c < 0x7F ? std::string(1, static_cast<char>(c)) : std::string(hex);
    }
    return Bytes.size() > 80 ? text + "... (" + std::to_string(Bytes.size()) + " bytes)" : text;
}

// Between the library's link (Outer) and a whole simulated device (Inner):
// host reports go to the device unchanged, its answers come back filtered.
class AnswerFilter {
public:
    AnswerFilter(sim::SimDevice& Outer, sim::SimKeeper& Inner, FuzzedDataProvider& Fuzz)
        : outer_(Outer), inner_(Inner), fuzz_(Fuzz)
    {
        outer_.OnChannelData(0, [this](const std::string& data) { Forward(data); });
    }

    // No answer so far was changed, dropped or delayed.
    bool Genuine() const { return genuine_; }
    void SpoilGenuine() { genuine_ = false; }
    // What the device itself answered since the last call.
    std::string TakeAnswers() { return std::exchange(answers_, {}); }

private:
    void Forward(const std::string& Data)
    {
        const Packet packet = MakePacket(0, 0, Data.data(), Data.size());
        inner_.Device.HostWrite(packet.data(), packet.size());
        std::string answer;
        while (inner_.Device.QueuedInputs() > 0) {
            const std::vector<uint8_t> report = inner_.Device.TakeInput();
            uint8_t channel = 0;
            std::string data;
            if (ReportData(std::string(report.begin(), report.end()), channel, data) && channel == 0)
                answer += data;
        }
        if (Tracing())
            std::fprintf(stderr, "  %llu ms host %s -> device %s\n",
                         static_cast<unsigned long long>(outer_.Time().NowMs()), Shown(Data).c_str(),
                         Shown(answer).c_str());
        if (answer.empty())
            return;
        answers_ += answer;
        Filter(answer);
    }

    void Filter(const std::string& Original)
    {
        std::string answer = Original;
        uint32_t delay = 0;
        const int kind = fuzz_.ConsumeIntegralInRange(0, 9);
        if (Tracing())
            std::fprintf(stderr, "  answer treatment %d\n", kind);
        switch (kind) {
        case 0:  // as it is
        case 1:
            break;
        case 2:  // cut across reports, still genuine
            CutAnswer(answer.size());
            break;
        case 3:
            delay = fuzz_.ConsumeIntegralInRange<uint32_t>(1, 9000);
            break;
        case 4:
            answer.resize(fuzz_.ConsumeIntegralInRange<size_t>(0, answer.size()));
            break;
        case 5:
            for (int n = fuzz_.ConsumeIntegralInRange(1, 4); n > 0 && !answer.empty(); --n)
                answer[fuzz_.ConsumeIntegralInRange<size_t>(0, answer.size() - 1)] = fuzz_.ConsumeIntegral<char>();
            break;
        case 6:
            answer = fuzz_.ConsumeRandomLengthString(256);
            break;
        case 7:
            answer.insert(fuzz_.ConsumeIntegralInRange<size_t>(0, answer.size()), fuzz_.ConsumeRandomLengthString(64));
            break;
        case 8:
            answer.clear();
            break;
        case 9: {  // a stall in the middle
            const size_t at = fuzz_.ConsumeIntegralInRange<size_t>(0, answer.size());
            genuine_ = false;
            outer_.Send(0, answer.substr(0, at));
            outer_.Send(0, answer.substr(at), fuzz_.ConsumeIntegralInRange<uint32_t>(1, 9000));
            return;
        }
        }
        if (answer != Original || delay > 0)
            genuine_ = false;
        outer_.Send(0, answer, delay);
    }

    void CutAnswer(size_t Size)
    {
        std::vector<size_t> cuts;
        for (size_t covered = 0; covered < Size && cuts.size() < 64;) {
            cuts.push_back(fuzz_.ConsumeIntegralInRange<size_t>(1, kMaxPacketData));
            covered += cuts.back();
        }
        outer_.CutNext(cuts);
    }

    sim::SimDevice& outer_;
    sim::SimKeeper& inner_;
    FuzzedDataProvider& fuzz_;
    bool genuine_ = true;
    std::string answers_;
};

std::string Pattern(size_t Size, uint8_t Seed)
{
    std::string data(Size, '\0');
    for (size_t i = 0; i < Size; ++i)
        data[i] = static_cast<char>((i * 31 + Seed + i / 251) & 0xFF);
    return data;
}

class Conversation {
public:
    explicit Conversation(FuzzedDataProvider& Fuzz)
        : fuzz_(Fuzz), outer_(clock_), keeper_(clock_), filter_(outer_, keeper_, Fuzz), library_(outer_, clock_)
    {
        outer_.SetPacing(1);
        outer_.SetWriteDuration(1);
        keeper_.Files.PackedNow = [] { return sim::SimFileSystem::PackTime(2024, 3, 15, 10, 20, 30); };
        keeper_.Files.MakeDir("/logs");
        keeper_.Files.MakeDir("/docs");
        keeper_.Files.PutFile("/README.TXT", "Files on this device are kept in /logs.\r\n", 0x21);
        keeper_.Files.PutFile("/logs/day.log", Pattern(5000, 1));
        keeper_.Files.PutFile("/logs/empty.bin", "");
        keeper_.Files.PutFile("/docs/a b.txt", "hello");
        // Now and then firmware that takes no quoted names: blanks go as underscores.
        quoted_ = fuzz_.ConsumeIntegralInRange(0, 3) != 3;
        keeper_.SetQuotedNames(quoted_);
        outer_.Identity = keeper_.Device.Identity;  // the library sees the device's strings
        ZQK_FUZZ_CHECK(zqkOpen() == 1);
    }

    void Run()
    {
        for (int step = 0; step < 8 && fuzz_.remaining_bytes() > 0; ++step) {
            filter_.TakeAnswers();
            switch (fuzz_.ConsumeIntegralInRange(0, 11)) {
            case 0: Dir(); break;
            case 1:
            case 2: FileRead(); break;
            case 3: FileWrite(); break;
            case 4: Firmware(); break;
            case 5: Change(zqkDirMake); break;
            case 6: Change(zqkDirRemove); break;
            case 7: Change(zqkFileDelete); break;
            case 8: Rename(); break;
            case 9: Command(); break;
            case 10: Escape(); break;
            case 11: Silence(); break;
            }
            if (Tracing())
                std::fprintf(stderr, "step %d: %s, answers %s\n", step, lastCall_.c_str(),
                             filter_.Genuine() ? "genuine" : "changed");
            ZQK_FUZZ_CHECK(TheLibrary()->Default().Comms.LockCount() == 0);
            ZQK_FUZZ_CHECK(!TheLibrary()->Default().Files.Busy());
            ZQK_FUZZ_CHECK(Scratch().Entries() == 3);
        }
    }

private:
    // A path of the device's tree, or now and then a made-up one.
    std::string Path()
    {
        static const char* const kPaths[] = {"/README.TXT", "/logs/day.log", "/logs/empty.bin", "/docs/a b.txt",
                                             "/logs", "/docs", "/new", "/logs/new.bin", "/nothing/here", "/"};
        const auto pick = fuzz_.ConsumeIntegralInRange<size_t>(0, std::size(kPaths));
        if (pick < std::size(kPaths))
            return kPaths[pick];
        return fuzz_.ConsumeRandomLengthString(40).c_str();
    }

    bool Refused(const std::string& Path) const { return testing::NameRefused(Path, quoted_); }

    // Call, with a name the library must refuse: its result must be Failure,
    // with nothing sent, and the device's tree and the last listing as they
    // were.
    int32_t CallRefused(int32_t Failure, const std::function<int32_t()>& Call)
    {
        const size_t packets = outer_.HostPackets().size();
        const std::string tree = TreeText(keeper_.Files.Root());
        const std::vector<std::string> listing = TheLibrary()->Default().DirLines.Lines();
        const int32_t result = Call();
        ZQK_FUZZ_CHECK(result == Failure);
        ZQK_FUZZ_CHECK(outer_.HostPackets().size() == packets);
        ZQK_FUZZ_CHECK(TreeText(keeper_.Files.Root()) == tree);
        ZQK_FUZZ_CHECK(TheLibrary()->Default().DirLines.Lines() == listing);
        return result;
    }

    // Every name, size, attribute byte, time and byte of data under Node.
    static std::string TreeText(const sim::SimNode& Node)
    {
        std::string text = std::to_string(Node.IsDir) + " " + std::to_string(Node.Attributes);
        for (const uint32_t time : Node.Times)
            text += " " + std::to_string(time);
        text += " " + std::to_string(Node.Data.size()) + ":" + Node.Data + "{";
        for (const auto& [name, child] : Node.Children)
            text += std::to_string(name.size()) + ":" + name + " " + TreeText(child) + ";";
        return text + "}";
    }

    // Name, size and attribute byte of each entry, one line each.
    void Dir()
    {
        const std::string path = Path();
        if (Refused(path)) {
            Trace("zqkDir(" + path + ")", CallRefused(-1, [&] { return zqkDir(path.c_str()); }));
            return;
        }
        const int32_t count = zqkDir(path.c_str());
        Trace("zqkDir(" + path + ")", count);
        ZQK_FUZZ_CHECK(count >= -1);
        std::vector<std::string> entries;
        for (int32_t i = 0; i < count; ++i) {
            char name[300];
            int32_t size = 0, attributes = 0, time = 0;
            const int32_t length = zqkGetDirEntry(i, name, sizeof name, &size, &attributes, &time);
            if (length >= 0)
                entries.push_back(EntryText(std::string(name, static_cast<size_t>(length)), size, attributes));
        }
        if (!filter_.Genuine())
            return;
        const sim::SimNode* dir = Found(path);
        if (!dir || !dir->IsDir) {
            ZQK_FUZZ_CHECK(count == -1);
            return;
        }
        std::vector<std::string> expected;
        for (const auto& [name, node] : dir->Children)
            expected.push_back(EntryText(name, node.IsDir ? 0 : static_cast<int32_t>(node.Data.size()), node.Attributes));
        ZQK_FUZZ_CHECK(entries == expected);
    }

    static std::string EntryText(const std::string& Name, int32_t Size, int32_t Attributes)
    {
        return Name + " " + std::to_string(Size) + " " + std::to_string(Attributes);
    }

    void FileRead()
    {
        const std::string path = Path();
        const std::string local = ScratchPath("read.out");
        WriteFile(local, kOldContents);
        const auto read = [&] { return zqkFileRead(path.c_str(), local.c_str()); };
        const int32_t result = Refused(path) ? CallRefused(-2, read) : read();
        Trace("zqkFileRead(" + path + ")", result);
        ZQK_FUZZ_CHECK(result >= -2);
        std::string contents;
        ZQK_FUZZ_CHECK(ReadFile(local, contents));
        if (result < 0) {
            ZQK_FUZZ_CHECK(contents == kOldContents);
        } else {
            ZQK_FUZZ_CHECK(contents.size() == static_cast<size_t>(result));
        }
        if (Refused(path) || !filter_.Genuine())
            return;
        const sim::SimNode* file = Found(path);
        if (!file || file->IsDir) {
            ZQK_FUZZ_CHECK(result == -2);
            return;
        }
        ZQK_FUZZ_CHECK(result == static_cast<int32_t>(file->Data.size()) && contents == file->Data);
    }

    // The device's node for a path as the library names it to the device.
    const sim::SimNode* Found(const std::string& Path) const
    {
        return keeper_.Files.Find(testing::NameAsSent(Path, quoted_));
    }

    std::string LocalPayload(const std::string& Name)
    {
        static const size_t kSizes[] = {0, 1, 61, 4096, 4097, 9000};
        const std::string data = Pattern(kSizes[fuzz_.ConsumeIntegralInRange<size_t>(0, std::size(kSizes) - 1)],
                                         fuzz_.ConsumeIntegral<uint8_t>());
        WriteFile(ScratchPath(Name), data);
        return data;
    }

    void FileWrite()
    {
        const std::string data = LocalPayload("write.in");
        const std::string path = Path();
        const auto write = [&] { return zqkFileWrite(ScratchPath("write.in").c_str(), path.c_str()); };
        // An empty local file gives 0 before the name is looked at.
        const int32_t result = Refused(path) ? CallRefused(data.empty() ? 0 : -2, write) : write();
        Trace("zqkFileWrite(" + std::to_string(data.size()) + " bytes, " + path + ")", result);
        ZQK_FUZZ_CHECK(result == -2 || result == static_cast<int32_t>(data.size()));
        std::string after;
        ZQK_FUZZ_CHECK(ReadFile(ScratchPath("write.in"), after) && after == data);
        if (Refused(path) || !filter_.Genuine() || data.empty())
            return;
        const sim::SimNode* file = Found(path);
        const bool written = file && !file->IsDir && file->Data == data;
        ZQK_FUZZ_CHECK(written == (result == static_cast<int32_t>(data.size())));
    }

    void Firmware()
    {
        const std::string data = LocalPayload("FW.BIN");
        const int32_t loadsBefore = keeper_.Files.FirmwareLoads;
        const int32_t result = zqkFirmwareUpdate(ScratchPath("FW.BIN").c_str());
        Trace("zqkFirmwareUpdate(" + std::to_string(data.size()) + " bytes)", result);
        ZQK_FUZZ_CHECK(result == -2 || result == static_cast<int32_t>(data.size()));
        if (!filter_.Genuine() || data.empty())
            return;
        ZQK_FUZZ_CHECK(result == static_cast<int32_t>(data.size()));
        ZQK_FUZZ_CHECK(keeper_.Files.FirmwareLoads == loadsBefore + 1 && keeper_.Files.FirmwareImage == data &&
                       keeper_.Files.FirmwareName == "fw.bin");
    }

    void Change(const std::function<int32_t(const char*)>& Export)
    {
        const std::string path = Path();
        Changed(Refused(path), [&] { return Export(path.c_str()); });
    }

    void Rename()
    {
        const std::string from = Path();
        const std::string to = Path();
        Changed(Refused(from) || Refused(to), [&] { return zqkRename(from.c_str(), to.c_str()); });
    }

    // A change succeeds exactly when the device said "0:No error".
    void Changed(bool NameRefused, const std::function<int32_t()>& Call)
    {
        const int32_t result = NameRefused ? CallRefused(-1, Call) : Call();
        Trace("change", result);
        ZQK_FUZZ_CHECK(result == 0 || result == -1);
        const std::string answers = filter_.TakeAnswers();
        if (filter_.Genuine())
            ZQK_FUZZ_CHECK((result == 0) == (answers.find("0:No error") != std::string::npos));
    }

    // A command given less time than the device's pauses returns before the
    // prompt; what it leaves behind is stale output that the transfers, which
    // flush nothing first, may take for their answer.
    void Command()
    {
        char output[512];
        const int32_t timeout = fuzz_.ConsumeIntegralInRange(0, 3000);
        const int32_t result = zqkCommand("ver", output, sizeof output, timeout);
        Trace("zqkCommand(ver, " + std::to_string(timeout) + " ms)", result);
        ZQK_FUZZ_CHECK(result < static_cast<int32_t>(sizeof output));
        const bool whole =
            result >= 0 && std::string(output, static_cast<size_t>(result)) == "zq.keeper firmware 2.4.1 (simulated)\r\n";
        if (filter_.Genuine() && timeout >= 50)
            ZQK_FUZZ_CHECK(whole);
        if (!whole)
            filter_.SpoilGenuine();
    }

    void Escape()
    {
        const int32_t result = fuzz_.ConsumeBool() ? zqkEscape() : zqkIsPrompt("zq.keeper");
        Trace("escape or prompt test", result);
        ZQK_FUZZ_CHECK(result == 0 || result == 1);
        if (filter_.Genuine())
            ZQK_FUZZ_CHECK(result == 1);
    }

    void Trace(const std::string& Call, int32_t Result) { lastCall_ = Shown(Call) + " = " + std::to_string(Result); }

    // Time passes without the host: late answers arrive meanwhile.
    void Silence()
    {
        lastCall_ = "silence";
        clock_.Advance(fuzz_.ConsumeIntegralInRange<uint64_t>(0, 10000));
    }

    FuzzedDataProvider& fuzz_;
    sim::ManualClock clock_;
    sim::SimDevice outer_;
    sim::SimKeeper keeper_;
    AnswerFilter filter_;
    SimLibrary library_;
    std::string lastCall_;
    bool quoted_ = true;
};

}  // namespace
}  // namespace zqk::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size)
{
    using namespace zqk::fuzz;
    FuzzedDataProvider fuzz(Data, Size);
    WriteFile(ScratchPath("read.out"), kOldContents);
    WriteFile(ScratchPath("write.in"), "");
    WriteFile(ScratchPath("FW.BIN"), "");
    Conversation conversation(fuzz);
    conversation.Run();
    return 0;
}
