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
    if (channel < kChannelCount && handlers_[channel]) {
        const std::string data(reinterpret_cast<const char*>(packet.data() + kPacketHeaderSize),
                               PacketDataLength(packet.data()));
        handlers_[channel](data);
    }
    CountReport();  // the device acts on a report before it can be pulled out
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
    CountReport();
    return bytes;
}

void SimDevice::CountReport()
{
    ++reportsMoved_;
    if (reportsBeforeUnplug_ == kNoLimit)
        return;
    if (reportsBeforeUnplug_ > 0)
        --reportsBeforeUnplug_;
    if (reportsBeforeUnplug_ == 0) {
        reportsBeforeUnplug_ = kNoLimit;
        Unplug();
    }
}

void SimDevice::UnplugAfterReports(uint64_t Reports)
{
    reportsBeforeUnplug_ = Reports;
    if (Reports == 0) {
        reportsBeforeUnplug_ = kNoLimit;
        Unplug();
    }
}

void SimDevice::SilenceAfterBytes(uint64_t Bytes)
{
    bytesBeforeSilence_ = Bytes;
    if (Bytes == 0) {
        bytesBeforeSilence_ = kNoLimit;
        silent_ = true;
    }
}

// How many of Wanted bytes still go out before the device falls silent.
size_t SimDevice::TakeOutputBudget(size_t Wanted)
{
    if (silent_)
        return 0;
    if (bytesBeforeSilence_ == kNoLimit)
        return Wanted;
    const auto n = static_cast<size_t>(std::min<uint64_t>(Wanted, bytesBeforeSilence_));
    bytesBeforeSilence_ -= n;
    return n;
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
        const size_t chunk = NextChunkSize(Data.size() - offset);
        const size_t n = TakeOutputBudget(chunk);
        if (n > 0) {
            const Packet packet = MakePacket(Channel, 0, Data.data() + offset, n);
            Queue(std::vector<uint8_t>(packet.begin(), packet.end()), offset == 0 ? DelayMs : 0);
            bytesSent_ += n;
        }
        if (n < chunk || bytesBeforeSilence_ == 0) {
            bytesBeforeSilence_ = kNoLimit;
            silent_ = true;
        }
        offset += chunk;
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
