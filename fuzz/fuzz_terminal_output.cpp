// Arbitrary device output into the terminal: reports on any channel, cut and
// paced at will, while the terminal reads characters, lines, prompts and
// escapes. The terminal channel's bytes form one stream; every read must
// hand back the next bytes of that stream (trimmed where it says so), never
// skip, repeat or invent any, and every wait must end.
#include <fuzzer/FuzzedDataProvider.h>

#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "link/comms.h"
#include "sim/sim_report_device.h"
#include "terminal/terminal.h"

namespace zqk::fuzz {
namespace {


int32_t FuzzedTimeout(FuzzedDataProvider& Fuzz)
{
    static const int32_t kTimeouts[] = {0, 1, 5, 50, 100, 250, 500, 1000, 2000, 8000, -1};
    const auto pick = Fuzz.ConsumeIntegralInRange<size_t>(0, sizeof kTimeouts / sizeof kTimeouts[0]);
    return pick < sizeof kTimeouts / sizeof kTimeouts[0] ? kTimeouts[pick] : Fuzz.ConsumeIntegralInRange(-100, 10000);
}

std::string FuzzedMarker(FuzzedDataProvider& Fuzz)
{
    switch (Fuzz.ConsumeIntegralInRange(0, 4)) {
    case 0: return "\r\n";
    case 1: return "\xBB";
    case 2: return kPrompt;
    case 3: return "";
    default: return Fuzz.ConsumeRandomLengthString(16);
    }
}

bool EndsWith(const std::string& Text, const std::string& End)
{
    return Text.size() >= End.size() && Text.compare(Text.size() - End.size(), End.size(), End) == 0;
}

// What one ReadUntil may give for the bytes Read it consumed.
bool IsReadUntilResult(const std::string& Read, const std::string& Text, const std::string& EndMarker,
                       const std::string& TrimMarker)
{
    if (Text == Read)
        return true;
    if (EndMarker.empty() || TrimMarker.empty() || !EndsWith(Read, EndMarker))
        return false;
    const size_t at = Read.rfind(TrimMarker);
    return at != std::string::npos && Text == Read.substr(0, at);
}

class TerminalModel : public FuzzedLink {
public:
    TerminalModel() : FuzzedLink("terminal")
    {
        terminal_ = std::make_unique<TzqTerminal>(*comms_);
        terminal_->SetPrompt(kPrompt);
        device_.SetPacing(1);
        ZQK_FUZZ_CHECK(comms_->Open());
    }

    void Run(FuzzedDataProvider& Fuzz)
    {
        for (int step = 0; step < 256 && Fuzz.remaining_bytes() > 0; ++step) {
            switch (Fuzz.ConsumeIntegralInRange(0, 12)) {
            case 0:
            case 1: DeviceOutput(Fuzz); break;
            case 2: OtherReport(Fuzz); break;
            case 3: ReadChars(Fuzz); break;
            case 4: ReadUntil(Fuzz); break;
            case 5: FlushPrompt(Fuzz); break;
            case 6:
            case 7: WaitPrompt(Fuzz); break;
            case 8: PromptTest(Fuzz); break;
            case 9: SendLine(Fuzz); break;
            case 10: SetPrompt(Fuzz); break;
            case 11: HasData(); break;
            case 12: TogglePlug(); break;
            }
        }
    }

private:
    // Terminal output cut into packets of fuzzed sizes, after a fuzzed
    // silence, with now and then a length byte that claims too much.
    void DeviceOutput(FuzzedDataProvider& Fuzz)
    {
        const std::string text = Fuzz.ConsumeRandomLengthString(400);
        auto delay = Fuzz.ConsumeIntegralInRange<uint32_t>(0, 3000);
        for (size_t at = 0; at < text.size();) {
            const size_t n = std::min(text.size() - at, Fuzz.ConsumeIntegralInRange<size_t>(1, kMaxPacketData));
            Packet packet = MakePacket(0, 0, text.data() + at, n);
            if (Fuzz.ConsumeIntegralInRange(0, 15) == 0)
                packet[2] = Fuzz.ConsumeIntegral<uint8_t>();
            Queue(std::string(packet.begin(), packet.end()), delay);
            delay = Fuzz.ConsumeIntegralInRange(0, 7) == 0 ? Fuzz.ConsumeIntegralInRange<uint32_t>(0, 3000) : 0;
            at += n;
        }
    }

    // A raw report of any size and content, mostly not for the terminal.
    void OtherReport(FuzzedDataProvider& Fuzz)
    {
        const auto size = Fuzz.ConsumeIntegralInRange<size_t>(0, 100);
        std::string report = Fuzz.ConsumeBytesAsString(size);
        report.resize(size, '\0');
        Queue(report, Fuzz.ConsumeIntegralInRange<uint32_t>(0, 600));
    }

    // Bytes of the terminal stream the terminal took from the link so far,
    // less those still pending in it.
    size_t Consumed()
    {
        const size_t left = device_.QueuedInputs();
        ZQK_FUZZ_CHECK(left <= queued_.size());
        while (queued_.size() > left) {
            uint8_t channel = 0;
            std::string data;
            if (ReportData(queued_.front(), channel, data) && channel == 0)
                linkPackets_.push_back(data);
            queued_.pop_front();
        }
        const size_t buffered = comms_->Buffered(0) / kPacketSize;
        ZQK_FUZZ_CHECK(buffered <= linkPackets_.size());
        while (linkPackets_.size() > buffered) {
            stream_ += linkPackets_.front();
            linkPackets_.pop_front();
        }
        ZQK_FUZZ_CHECK(terminal_->PendingSize() <= stream_.size());
        const size_t consumed = stream_.size() - terminal_->PendingSize();
        ZQK_FUZZ_CHECK(consumed >= consumed_);
        return consumed;
    }

    // The stream bytes consumed since the last call.
    std::string NewlyRead()
    {
        const size_t consumed = Consumed();
        std::string read = stream_.substr(consumed_, consumed - consumed_);
        consumed_ = consumed;
        return read;
    }

    void ReadChars(FuzzedDataProvider& Fuzz)
    {
        const auto count = Fuzz.ConsumeIntegralInRange<int32_t>(-2, 300);
        std::string text = "stale";
        terminal_->ReadChars(count, FuzzedTimeout(Fuzz), text);
        const std::string read = NewlyRead();
        ZQK_FUZZ_CHECK(text == read);
        ZQK_FUZZ_CHECK(text.empty() || text.size() == static_cast<size_t>(count));
    }

    void ReadUntil(FuzzedDataProvider& Fuzz)
    {
        const std::string end = FuzzedMarker(Fuzz);
        const std::string trim = FuzzedMarker(Fuzz);
        std::string text;
        terminal_->ReadUntil(end, trim, FuzzedTimeout(Fuzz), text);
        ZQK_FUZZ_CHECK(IsReadUntilResult(NewlyRead(), text, end, trim));
    }

    void FlushPrompt(FuzzedDataProvider& Fuzz)
    {
        std::string text;
        terminal_->FlushPrompt(FuzzedTimeout(Fuzz), text);
        ZQK_FUZZ_CHECK(IsReadUntilResult(NewlyRead(), text, "\xBB", "\xBB"));
    }

    // Whole prompts with nothing in front of them are skipped; what is left
    // is one ReadUntil's worth.
    void WaitPrompt(FuzzedDataProvider& Fuzz)
    {
        std::string text;
        terminal_->WaitPrompt(FuzzedTimeout(Fuzz), text);
        const std::string read = NewlyRead();
        const std::string prompt = terminal_->Prompt();
        bool explained = IsReadUntilResult(read, text, prompt, prompt);
        for (size_t skipped = prompt.size(); !explained && !prompt.empty() && skipped <= read.size();
             skipped += prompt.size()) {
            if (read.compare(skipped - prompt.size(), prompt.size(), prompt) != 0)
                break;
            explained = IsReadUntilResult(read.substr(skipped), text, prompt, prompt);
        }
        ZQK_FUZZ_CHECK(explained);
    }

    void PromptTest(FuzzedDataProvider& Fuzz)
    {
        device_.ForgetHostPackets();
        const bool open = comms_->IsOpen() && !device_.Unplugged();
        if (Fuzz.ConsumeBool())
            terminal_->Escape();
        else
            terminal_->IsPrompt(Fuzz.ConsumeRandomLengthString(12));
        NewlyRead();
        if (open)
            ZQK_FUZZ_CHECK(device_.HostData(0) == "\x1B");
    }

    void SendLine(FuzzedDataProvider& Fuzz)
    {
        const std::string line = Fuzz.ConsumeRandomLengthString(200);
        const bool open = comms_->IsOpen() && !device_.Unplugged();
        device_.ForgetHostPackets();
        terminal_->SendLine(line);
        ZQK_FUZZ_CHECK(device_.HostData(0) == (open ? line + "\r" : ""));
        NewlyRead();
    }

    void SetPrompt(FuzzedDataProvider& Fuzz)
    {
        terminal_->SetPrompt(Fuzz.ConsumeBool() ? kPrompt : Fuzz.ConsumeRandomLengthString(16));
    }

    void HasData()
    {
        terminal_->HasData();
        NewlyRead();
    }

    std::unique_ptr<TzqTerminal> terminal_;
    std::deque<std::string> linkPackets_;  // terminal packets taken by the link, oldest first
    std::string stream_;                   // terminal bytes that reached the terminal
    size_t consumed_ = 0;
};

}  // namespace
}  // namespace zqk::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size)
{
    FuzzedDataProvider fuzz(Data, Size);
    zqk::fuzz::TerminalModel model;
    model.Run(fuzz);
    return 0;
}
