// Incoming reports of any size, channel and length byte into the channel
// link, mixed with polls, receives, sends and clears. A model of the channel
// buffers checks that every packet's data comes out once, whole or in the
// pieces asked for, in order, and only on its own channel.
#include <fuzzer/FuzzedDataProvider.h>

#include <deque>
#include <memory>
#include <string>

#include "fuzz/fuzz_support.h"
#include "link/comms.h"
#include "sim/sim_report_device.h"

namespace zqk::fuzz {
namespace {

constexpr size_t kModelPacketCap = TzqComms::kRxBufferCap / kPacketSize;

int32_t FuzzedTimeout(FuzzedDataProvider& Fuzz)
{
    static const int32_t kTimeouts[] = {0, 0, 1, 5, 50, 250, 499, 500, 501, 1000, 2000, 8000, -1, -500};
    const auto pick = Fuzz.ConsumeIntegralInRange<size_t>(0, sizeof kTimeouts / sizeof kTimeouts[0]);
    return pick < sizeof kTimeouts / sizeof kTimeouts[0] ? kTimeouts[pick] : Fuzz.ConsumeIntegralInRange(-1000, 20000);
}

int32_t FuzzedChannel(FuzzedDataProvider& Fuzz)
{
    return Fuzz.ConsumeIntegralInRange<int32_t>(-1, kChannelCount);
}

class LinkModel : public FuzzedLink {
public:
    LinkModel() : FuzzedLink("link")
    {
        ZQK_FUZZ_CHECK(comms_->Open());
    }

    void Run(FuzzedDataProvider& Fuzz)
    {
        for (int step = 0; step < 512 && Fuzz.remaining_bytes() > 0; ++step) {
            switch (Fuzz.ConsumeIntegralInRange(0, 9)) {
            case 0:
            case 1: InjectReport(Fuzz); break;
            case 2: Flood(Fuzz); break;
            case 3: Poll(Fuzz); break;
            case 4:
            case 5: Receive(Fuzz); break;
            case 6: HasData(Fuzz); break;
            case 7: Clear(Fuzz); break;
            case 8: Send(Fuzz); break;
            case 9: TogglePlug(); break;
            }
            CheckBuffers();
        }
    }

private:
    void InjectReport(FuzzedDataProvider& Fuzz)
    {
        const auto delay = Fuzz.ConsumeIntegralInRange<uint32_t>(0, 3000);
        size_t size = Fuzz.ConsumeIntegralInRange<size_t>(0, 3);
        size = size == 0 ? Fuzz.ConsumeIntegralInRange<size_t>(0, 200) : kPacketSize;
        std::string report = Fuzz.ConsumeBytesAsString(size);
        report.resize(size, '\0');
        Queue(std::move(report), delay);
    }

    // Enough packets on one channel to reach the link's buffer cap.
    void Flood(FuzzedDataProvider& Fuzz)
    {
        const auto channel = Fuzz.ConsumeIntegral<uint8_t>();
        const auto count = Fuzz.ConsumeIntegralInRange<size_t>(1, kModelPacketCap + 64);
        const std::string data = Fuzz.ConsumeRandomLengthString(kMaxPacketData);
        const Packet packet = MakePacket(channel, 0, data.data(), data.size());
        for (size_t i = 0; i < count; ++i)
            Queue(std::string(packet.begin(), packet.end()), 0);
    }

    // Reports the device handed over since the last look go into the model.
    bool TakeDelivered()
    {
        bool arrived = false;
        const size_t left = device_.QueuedInputs();
        ZQK_FUZZ_CHECK(left <= queued_.size());
        while (queued_.size() > left) {
            uint8_t channel = 0;
            std::string data;
            if (ReportData(queued_.front(), channel, data)) {
                arrived = true;
                if (packets_[channel].size() < kModelPacketCap)
                    packets_[channel].push_back(data);
            }
            queued_.pop_front();
        }
        return arrived;
    }

    void Poll(FuzzedDataProvider& Fuzz)
    {
        const bool arrived = comms_->Poll(FuzzedTimeout(Fuzz));
        ZQK_FUZZ_CHECK(arrived == TakeDelivered());
    }

    void Receive(FuzzedDataProvider& Fuzz)
    {
        const int32_t channel = FuzzedChannel(Fuzz);
        const int32_t timeout = FuzzedTimeout(Fuzz);
        const auto maxCount = Fuzz.ConsumeIntegralInRange<int32_t>(-1, kMaxPacketData + 2);
        const auto expected = Fuzz.ConsumeIntegralInRange<size_t>(0, 8192);  // a long read sleeps ahead
        std::string data = "untouched";
        comms_->Receive(channel, timeout, maxCount, data, expected);
        TakeDelivered();
        if (!comms_->IsChannel(channel)) {
            ZQK_FUZZ_CHECK(data == "untouched");
            return;
        }
        ZQK_FUZZ_CHECK(data.size() <= static_cast<size_t>(kMaxPacketData));
        ZQK_FUZZ_CHECK(maxCount < 0 || data.size() <= static_cast<size_t>(maxCount));
        std::deque<std::string>& packets = packets_[channel];
        const size_t buffered = comms_->Buffered(channel) / kPacketSize;
        if (buffered + 1 == packets.size()) {  // a whole packet was taken
            ZQK_FUZZ_CHECK(data == packets.front());
            packets.pop_front();
            return;
        }
        ZQK_FUZZ_CHECK(buffered == packets.size());
        if (data.empty())
            return;
        // Part of the oldest packet; the rest stays for the next receive.
        ZQK_FUZZ_CHECK(!packets.empty() && data.size() == static_cast<size_t>(maxCount));
        ZQK_FUZZ_CHECK(data.size() < packets.front().size());
        ZQK_FUZZ_CHECK(packets.front().compare(0, data.size(), data) == 0);
        packets.front().erase(0, data.size());
    }

    void HasData(FuzzedDataProvider& Fuzz)
    {
        const int32_t channel = FuzzedChannel(Fuzz);
        const bool hadPackets = comms_->IsChannel(channel) && !packets_[channel].empty();
        const bool has = comms_->HasData(channel);
        TakeDelivered();
        ZQK_FUZZ_CHECK(!hadPackets || has);
    }

    void Clear(FuzzedDataProvider& Fuzz)
    {
        const int32_t channel = FuzzedChannel(Fuzz);
        comms_->ClearChannel(channel);
        if (comms_->IsChannel(channel))
            packets_[channel].clear();
    }

    void Send(FuzzedDataProvider& Fuzz)
    {
        const int32_t channel = FuzzedChannel(Fuzz);
        const std::string data = Fuzz.ConsumeRandomLengthString(300);
        // Nothing to send needs no report, so it succeeds on a closed device too.
        const bool canWrite =
            comms_->IsChannel(channel) && (data.empty() || (comms_->IsOpen() && !device_.Unplugged()));
        device_.ForgetHostPackets();
        const bool sent = comms_->Send(data, channel, 0, FuzzedTimeout(Fuzz));
        ZQK_FUZZ_CHECK(sent == canWrite);
        if (!sent)
            return;
        ZQK_FUZZ_CHECK(device_.HostPackets().size() == (data.size() + kMaxPacketData - 1) / kMaxPacketData);
        ZQK_FUZZ_CHECK(device_.HostData(static_cast<uint8_t>(channel)) == data);
    }

    void CheckBuffers()
    {
        for (int32_t channel = 0; channel < kChannelCount; ++channel) {
            const size_t bytes = comms_->Buffered(channel);
            ZQK_FUZZ_CHECK(bytes % kPacketSize == 0);
            ZQK_FUZZ_CHECK(bytes / kPacketSize == packets_[channel].size());
        }
    }

    std::deque<std::string> packets_[kChannelCount];
};

}  // namespace
}  // namespace zqk::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size)
{
    FuzzedDataProvider fuzz(Data, Size);
    zqk::fuzz::LinkModel model;
    model.Run(fuzz);
    return 0;
}
