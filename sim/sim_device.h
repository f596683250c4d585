#pragma once
#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "link/channel_packet.h"
#include "base/clock.h"

namespace zqk::sim {

// What the device shows of itself on USB.
struct UsbIdentity {
    int32_t VendorID = 0x16D0;
    int32_t ProductID = 0x064E;
    int32_t UsagePage = 0xFFB2;
    int32_t Usage = 0x0001;
    std::string Path = "sim:zq.keeper";
    std::u16string SerialNumber = u"ZQK-0001";
    std::u16string Manufacturer = u"Vorlund";
    std::u16string Product = u"zq.keeper";
    std::map<int32_t, std::u16string> Indexed = {
        {201, u"zq.keeper data buffer"}, {202, u"hw 3"}, {203, u"fw 2.4.1"},
        {204, u"fs.nfi.2"}, {210, u"flash 64M"}, {211, u"sim"}};
};

enum class WriteFault { None, Fail, Timeout };

// A model of a zq.keeper device at the report level: it takes the host's
// output reports as channel packets, hands the data of each channel to the
// service attached to it, and queues input reports with the times at which
// they become readable. Transports built on it: the in-process report device
// (tests and the tool) and the uhid front end (a real kernel HID device).
class SimDevice {
public:
    explicit SimDevice(Clock& TimeSource);

    UsbIdentity Identity;

    // Matching as the platform transport does it: a negative value matches
    // anything; an ID of 0 is not compared.
    bool Matches(int32_t VendorID, int32_t ProductID, int32_t UsagePage, int32_t Usage) const;

    // ---- host side ----
    // One output report from the host (the 64 bytes without a report number).
    void HostWrite(const uint8_t* Report, size_t Size);
    // The time at which the oldest queued input report becomes readable.
    bool NextInputDue(uint64_t& DueMs) const;
    bool NextInputDueUs(uint64_t& DueUs) const;
    std::vector<uint8_t> TakeInput();
    // Takes the oldest input report into Buffer (at most Size bytes of it);
    // the report's own size.
    size_t TakeInput(uint8_t* Buffer, size_t Size);
    size_t QueuedInputs() const;

    // ---- device side ----
    // Sends bytes to the host on a channel, cut into packets (at most 61
    // bytes each, or as CutNext says) and paced as SetPacing says; the first
    // packet no sooner than DelayMs from now.
    void Send(uint8_t Channel, std::string_view Data, uint32_t DelayMs = 0);
    // Queues one raw input report of any size and content.
    void InjectReport(std::vector<uint8_t> Report);
    // Data the host sends on a channel goes to its handler.
    void OnChannelData(uint8_t Channel, std::function<void(const std::string&)> Handler);

    // ---- behaviour ----
    // No input reports at all while silent (what would be sent is dropped).
    void SetSilent(bool Silent) { silent_ = Silent; }
    // One input report per IntervalMs (0: all at once).
    void SetPacing(uint32_t IntervalMs) { pacingUs_ = IntervalMs * 1000; }
    // The same in microseconds: 125 is a high-speed endpoint.
    void SetPacingUs(uint32_t IntervalUs) { pacingUs_ = IntervalUs; }
    // The next packets carry these many data bytes (each at most 61); later
    // packets carry 61 again. Cuts output across reports at chosen points.
    void CutNext(std::vector<size_t> ChunkSizes);
    // Delay between a host report and the reports it causes.
    void SetLatency(uint32_t Ms) { latencyMs_ = Ms; }
    // Time one output report takes to reach the device (a full-speed
    // interrupt endpoint takes one every millisecond).
    void SetWriteDuration(uint32_t Ms) { writeDurationUs_ = Ms * 1000; }
    void SetWriteDurationUs(uint32_t Us) { writeDurationUs_ = Us; }
    uint32_t WriteDurationUs() const { return writeDurationUs_; }
    // Output reports fail (or time out) once this many more have succeeded.
    void SetWriteFault(WriteFault Fault, uint32_t AfterWrites = 0);
    WriteFault WriteFaultNow();
    void Unplug() { unplugged_ = true; }
    void Replug() { unplugged_ = false; }
    bool Unplugged() const { return unplugged_; }
    // Unplugged once Reports more reports have crossed the bus, either way:
    // the last of them still gets through (0: unplugged now).
    void UnplugAfterReports(uint64_t Reports);
    // Output stops for good once Bytes more data bytes have been sent: the
    // packet that carries the last of them is cut short there, and the device
    // is silent from then on (0: silent now).
    void SilenceAfterBytes(uint64_t Bytes);

    // ---- observation ----
    const std::vector<Packet>& HostPackets() const { return hostPackets_; }
    std::string HostData(uint8_t Channel) const;
    void ForgetHostPackets() { hostPackets_.clear(); }
    // Whether host packets are kept for HostPackets (on unless a long run,
    // such as a benchmark, would have them pile up).
    void KeepHostPackets(bool Keep) { keepHostPackets_ = Keep; }
    // Reports that crossed the bus so far, both ways, and data bytes the
    // device has sent on its channels.
    uint64_t ReportsMoved() const { return reportsMoved_; }
    uint64_t BytesSent() const { return bytesSent_; }
    // The most reports of one output that had come and waited at once when
    // the host took one: what the host's input buffer had to hold.
    size_t MostWaiting() const { return mostWaiting_; }

    Clock& Time() { return clock_; }

private:
    // The packets of one Send, cut as they are taken, so that a long output
    // costs the device no more memory than its data; or one raw report.
    struct Input {
        uint64_t firstDueUs = 0;
        uint32_t pacingUs = 0;
        uint8_t channel = 0;
        bool raw = false;
        std::string data;              // a raw report's bytes, or the data still to send
        size_t offset = 0;             // of data, where the next packet starts
        size_t taken = 0;              // packets taken so far
        size_t count = 0;              // packets in all
        std::deque<size_t> chunkSizes; // of the next packets, when cut short

        uint64_t NextDueUs() const { return firstDueUs + taken * pacingUs; }
    };
    void Queue(Input Report, size_t Packets, uint32_t DelayMs);
    size_t NextChunkSize(size_t Remaining);
    void CountReport();
    size_t WaitingOf(const Input& Output) const;
    void QueueOutput(uint8_t Channel, std::string_view Data, uint32_t DelayMs);
    size_t TakeOutputBudget(size_t Wanted);

    Clock& clock_;
    std::deque<Input> inputs_;
    size_t mostWaiting_ = 0;
    uint64_t lastDueUs_ = 0;
    std::deque<size_t> cuts_;
    bool silent_ = false;
    uint32_t pacingUs_ = 0;
    uint32_t latencyMs_ = 0;
    uint32_t writeDurationUs_ = 0;
    WriteFault writeFault_ = WriteFault::None;
    uint32_t writesBeforeFault_ = 0;
    bool unplugged_ = false;
    static constexpr uint64_t kNoLimit = UINT64_MAX;
    uint64_t reportsBeforeUnplug_ = kNoLimit;
    uint64_t bytesBeforeSilence_ = kNoLimit;
    uint64_t reportsMoved_ = 0;
    uint64_t bytesSent_ = 0;
    std::vector<Packet> hostPackets_;
    bool keepHostPackets_ = true;
    std::array<std::function<void(const std::string&)>, kChannelCount> handlers_;
};

}  // namespace zqk::sim
