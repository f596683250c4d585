#include "sim/sim_device.h"

#include <algorithm>

#include "hid/hid_match.h"

namespace zqk::sim {

SimDevice::SimDevice(Clock& TimeSource) : clock_(TimeSource) {}

bool SimDevice::Matches(int32_t VendorID, int32_t ProductID, int32_t UsagePage, int32_t Usage) const
{
    return AttributesMatch(static_cast<uint16_t>(Identity.VendorID), static_cast<uint16_t>(Identity.ProductID),
                           VendorID, ProductID) &&
           CollectionMatches(static_cast<uint16_t>(Identity.UsagePage), static_cast<uint16_t>(Identity.Usage),
                             UsagePage, Usage);
}

void SimDevice::HostWrite(const uint8_t* Report, size_t Size)
{
    if (Size < static_cast<size_t>(kPacketSize))
        return;
    Packet packet {};
    std::copy(Report, Report + kPacketSize, packet.begin());
    hostPackets_.push_back(packet);
    const uint8_t channel = packet[0];
    if (channel >= kChannelCount || !handlers_[channel])
        return;
    const std::string data(reinterpret_cast<const char*>(packet.data() + kPacketHeaderSize),
                           PacketDataLength(packet.data()));
    handlers_[channel](data);
}

bool SimDevice::NextInputDue(uint64_t& DueMs) const
{
    if (inputs_.empty())
        return false;
    DueMs = inputs_.front().due;
    return true;
}

std::vector<uint8_t> SimDevice::TakeInput()
{
    if (inputs_.empty())
        return {};
    std::vector<uint8_t> bytes = std::move(inputs_.front().bytes);
    inputs_.pop_front();
    return bytes;
}

size_t SimDevice::NextChunkSize(size_t Remaining)
{
    size_t size = kMaxPacketData;
    if (!cuts_.empty()) {
        size = std::min<size_t>(std::max<size_t>(cuts_.front(), 1), kMaxPacketData);
        cuts_.pop_front();
    }
    return std::min(size, Remaining);
}

void SimDevice::Send(uint8_t Channel, std::string_view Data, uint32_t DelayMs)
{
    for (size_t offset = 0; offset < Data.size();) {
        const size_t n = NextChunkSize(Data.size() - offset);
        const Packet packet = MakePacket(Channel, 0, Data.data() + offset, n);
        Queue(std::vector<uint8_t>(packet.begin(), packet.end()), offset == 0 ? DelayMs : 0);
        offset += n;
    }
}

void SimDevice::InjectReport(std::vector<uint8_t> Report)
{
    Queue(std::move(Report));
}

void SimDevice::Queue(std::vector<uint8_t> Report, uint32_t DelayMs)
{
    if (silent_)
        return;
    const uint64_t earliest = clock_.NowMs() + latencyMs_ + DelayMs;
    const uint64_t due = inputs_.empty() && pacingMs_ == 0 ? earliest : std::max(earliest, lastDue_ + pacingMs_);
    lastDue_ = due;
    inputs_.push_back({due, std::move(Report)});
}

void SimDevice::OnChannelData(uint8_t Channel, std::function<void(const std::string&)> Handler)
{
    if (Channel < kChannelCount)
        handlers_[Channel] = std::move(Handler);
}

void SimDevice::CutNext(std::vector<size_t> ChunkSizes)
{
    cuts_.assign(ChunkSizes.begin(), ChunkSizes.end());
}

void SimDevice::SetWriteFault(WriteFault Fault, uint32_t AfterWrites)
{
    writeFault_ = Fault;
    writesBeforeFault_ = AfterWrites;
}

WriteFault SimDevice::WriteFaultNow()
{
    if (writeFault_ == WriteFault::None)
        return WriteFault::None;
    if (writesBeforeFault_ > 0) {
        --writesBeforeFault_;
        return WriteFault::None;
    }
    return writeFault_;
}

std::string SimDevice::HostData(uint8_t Channel) const
{
    std::string data;
    for (const Packet& packet : hostPackets_) {
        if (packet[0] == Channel)
            data.append(reinterpret_cast<const char*>(packet.data() + kPacketHeaderSize), PacketDataLength(packet.data()));
    }
    return data;
}

}  // namespace zqk::sim
