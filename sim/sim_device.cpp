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
    if (keepHostPackets_)
        hostPackets_.push_back(packet);
    const uint8_t channel = packet[0];
    if (channel < kChannelCount && handlers_[channel]) {
        const std::string data(reinterpret_cast<const char*>(packet.data() + kPacketHeaderSize),
                               PacketDataLength(packet.data()));
        handlers_[channel](data);
    }
    CountReport();  // the device acts on a report before it can be pulled out
}

bool SimDevice::NextInputDueUs(uint64_t& DueUs) const
{
    if (inputs_.empty())
        return false;
    DueUs = inputs_.front().NextDueUs();
    return true;
}

bool SimDevice::NextInputDue(uint64_t& DueMs) const
{
    uint64_t dueUs = 0;
    if (!NextInputDueUs(dueUs))
        return false;
    DueMs = (dueUs + 999) / 1000;
    return true;
}

size_t SimDevice::QueuedInputs() const
{
    size_t queued = 0;
    for (const Input& input : inputs_)
        queued += input.count - input.taken;
    return queued;
}

size_t SimDevice::WaitingOf(const Input& Output) const
{
    const uint64_t now = clock_.NowUs();
    if (Output.pacingUs == 0 || now < Output.NextDueUs())
        return 0;
    return std::min<size_t>(Output.count - Output.taken, (now - Output.NextDueUs()) / Output.pacingUs + 1);
}

size_t SimDevice::TakeInput(uint8_t* Buffer, size_t Size)
{
    if (inputs_.empty())
        return 0;
    Input& input = inputs_.front();
    mostWaiting_ = std::max(mostWaiting_, WaitingOf(input));
    size_t reportSize = 0;
    if (input.raw) {
        reportSize = input.data.size();
        std::copy_n(input.data.data(), std::min(Size, reportSize), Buffer);
    } else {
        size_t n = std::min<size_t>(kMaxPacketData, input.data.size() - input.offset);
        if (!input.chunkSizes.empty()) {
            n = input.chunkSizes.front();
            input.chunkSizes.pop_front();
        }
        reportSize = kPacketSize;
        if (Size >= reportSize) {
            Buffer[0] = input.channel;
            Buffer[1] = 0;
            Buffer[2] = static_cast<uint8_t>(n);
            std::copy_n(input.data.data() + input.offset, n, Buffer + kPacketHeaderSize);
            std::fill(Buffer + kPacketHeaderSize + n, Buffer + reportSize, 0);
        } else {
            const Packet packet = MakePacket(input.channel, 0, input.data.data() + input.offset, n);
            std::copy_n(packet.data(), Size, Buffer);
        }
        input.offset += n;
    }
    if (++input.taken == input.count)
        inputs_.pop_front();
    CountReport();
    return reportSize;
}

std::vector<uint8_t> SimDevice::TakeInput()
{
    if (inputs_.empty())
        return {};
    const Input& input = inputs_.front();
    std::vector<uint8_t> bytes(input.raw ? input.data.size() : static_cast<size_t>(kPacketSize));
    bytes.resize(TakeInput(bytes.data(), bytes.size()));
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
    // Output that reaches the silence limit is cut short there, mid-packet.
    const size_t allowed = TakeOutputBudget(Data.size());
    const bool fallsSilent = allowed < Data.size() || bytesBeforeSilence_ == 0;
    QueueOutput(Channel, Data.substr(0, allowed), DelayMs);
    if (fallsSilent) {
        bytesBeforeSilence_ = kNoLimit;
        silent_ = true;
    }
}

void SimDevice::QueueOutput(uint8_t Channel, std::string_view Data, uint32_t DelayMs)
{
    if (Data.empty())
        return;
    bytesSent_ += Data.size();
    Input input;
    input.channel = Channel;
    input.data.assign(Data);
    // Cuts asked for apply to the packets in the order they are queued; the
    // rest carry 61 bytes each.
    size_t offset = 0;
    size_t packets = 0;
    while (!cuts_.empty() && offset < Data.size()) {
        const size_t n = NextChunkSize(Data.size() - offset);
        input.chunkSizes.push_back(n);
        offset += n;
        ++packets;
    }
    packets += (Data.size() - offset + kMaxPacketData - 1) / kMaxPacketData;
    Queue(std::move(input), packets, DelayMs);
}

void SimDevice::InjectReport(std::vector<uint8_t> Report)
{
    Input input;
    input.raw = true;
    input.data.assign(Report.begin(), Report.end());
    Queue(std::move(input), 1, 0);
}

// Packet k of a Send is due one interval after packet k-1, and not before
// the Send (plus latency, plus DelayMs for the first).
void SimDevice::Queue(Input Report, size_t Packets, uint32_t DelayMs)
{
    if (silent_)
        return;
    const uint64_t earliest = clock_.NowUs() + (uint64_t {latencyMs_} + DelayMs) * 1000;
    const uint64_t due =
        inputs_.empty() && pacingUs_ == 0 ? earliest : std::max(earliest, lastDueUs_ + pacingUs_);
    Report.firstDueUs = due;
    Report.pacingUs = pacingUs_;
    Report.count = Packets;
    lastDueUs_ = due + (Packets - 1) * pacingUs_;
    inputs_.push_back(std::move(Report));
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
