#pragma once
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "link/channel_packet.h"
#include "base/clock.h"
#include "link/device_lock.h"
#include "link/report_pace.h"
#include "link/trace_file.h"
#include "transport/report_device.h"

namespace zqk {

// Name of the device lock shared by every process that uses the device.
extern const char* const kDeviceLockName;

// The channel link: 32 logical byte channels over the device's 64-byte
// reports, one receive buffer per channel, and the device lock.
//
// The device lock serialises conversations, but some exports use the link
// without it (raw channel traffic, identity strings, open and close), so the
// link guards its own state against threads of one process: the transport
// is opened and closed only while no report moves, one thread at a time
// reads reports, and the receive buffers have a lock of their own that no
// wait is made under.
class TzqComms {
public:
    static constexpr size_t kRxBufferCap = 131072;  // 2048 packets per channel

    // Owns Hid, the report device it starts with (closed until Open).
    // Device locks are named after LockName: each device opened has a lock of
    // its own, LockName + "_" + its serial number (or path), kept where the
    // device says (LockedAt: on Linux its node or its folder); with
    // TakeClassicLock the lock named LockName itself is taken as well,
    // outermost, as programs of the classic library do, where they can run
    // (Windows). Clock and LockName are for tests; the library uses the
    // system clock and kDeviceLockName.
    explicit TzqComms(std::unique_ptr<ReportDevice> Hid, Clock& TimeSource = SystemClock::Instance(),
                      const std::string& LockName = kDeviceLockName, bool TakeClassicLock = true);
    virtual ~TzqComms();
    TzqComms(const TzqComms&) = delete;
    TzqComms& operator=(const TzqComms&) = delete;

    virtual bool IsChannel(int32_t Channel) const;
    virtual bool Open();
    // Takes another report device (usually one that is open already) in
    // place of the one held, which is closed and freed.
    void Attach(std::unique_ptr<ReportDevice> Opened);
    // Whether Open would find the report device held again by the match
    // values (see ReportDevice::FoundByMatching).
    bool HoldsDeviceFoundByMatching() const;
    virtual void Close();
    virtual bool IsOpen() const;
    virtual bool HasSerialNumber();
    // Cuts Data into packets of at most 61 bytes and writes each with
    // Timeout. A failed write closes the device.
    virtual bool Send(const std::string& Data, int32_t Channel, uint8_t Tag, int32_t Timeout);
    // Reads reports into the channel buffers: waits up to Timeout (in waits
    // of at most 500 ms) for the first, then takes what is waiting.
    virtual bool Poll(int32_t Timeout);
    // The data of the oldest whole packet of Channel (at most MaxCount bytes
    // of it when MaxCount >= 0), waiting up to Timeout. False when no report
    // came at all (silence, a closed device or a channel above 31); the
    // outcome is the caller's own, whatever other threads receive meanwhile.
    // ExpectedBytes: how many more bytes the caller waits for on Channel.
    // When they span several reports and the device sends at a steady pace,
    // the link sleeps until some of them wait (see ReportPace).
    virtual bool Receive(int32_t Channel, int32_t Timeout, int32_t MaxCount, std::string& Data,
                         size_t ExpectedBytes = 0);
    virtual void ClearChannel(int32_t Channel);
    virtual int32_t PollTimeout() const;
    virtual int32_t ExtraTimeout() const;
    // The clock the link measures its waits with.
    Clock& TimeSource() const { return clock_; }
    virtual std::string SerialNumber();
    virtual std::string Manufacturer();
    virtual std::string Product();
    virtual std::string DeviceString204();
    virtual std::string DeviceString210();
    virtual std::string DeviceString211();
    virtual std::string DeviceString201();
    virtual std::string DeviceString202();
    virtual std::string DeviceString203();

    // The device's string descriptor with that index, as 8-bit text.
    std::string IndexedString(int32_t Index);
    // Why the last indexed string could not be asked for (see ReportDevice).
    std::string IndexedStringProblem() const;

    // Taking the device lock after another process held it throws away all
    // input received so far: every process receives every report the device
    // sends, and what came meanwhile answered the other process. After a
    // holder that died, what the device still sends for it is awaited and
    // thrown away too.
    // Recursive for the thread that holds it; another thread's Unlock, or
    // one too many, is ignored. A thread that holds the same device's lock
    // through another link (from a progress callback, say) is refused, BUSY.
    bool Lock(int32_t Timeout);
    void Unlock();
    // The link's own turn, which every Lock takes first: what a change of the
    // transport has to wait for is a conversation of this process on this
    // link, not another program's with the device (which goes on undisturbed
    // whatever transport this link holds). Recursive for the thread that has
    // it, also through Lock. False (BUSY noted) when it was not had in time.
    bool LockLink(int32_t Timeout);
    void UnlockLink();
    // The name of the opened device's own lock; empty before a device was opened.
    std::string DeviceLockName() const;
    bool HasData(int32_t Channel);
    // How often input was thrown away, so that data taken from the channels
    // earlier can be dropped too.
    uint32_t InputDiscards() const { return inputDiscards_; }

    // A transfer's data owed to the device, kept in the device lock's shared
    // state while this thread holds the lock. Every byte this thread then
    // sends on channel 0 pays off one; when none is owed any more the record
    // goes. A holder that leaves bytes owed (killed, or the device closed
    // under it) leaves them to whoever takes the lock next.
    void OweTransfer(const OwedTransfer& Owed);
    // The transfer ended otherwise: the device waits for nothing more.
    void SettleTransfer();
    // What the holder before this turn left owed, once per turn of the named
    // mutex; kept for a later turn while the device is closed. Holder only;
    // the question alone costs next to nothing, for the terminal takes the
    // lock for every byte it reads.
    bool AbandonedTransferWaits() const { return abandoned_.has_value(); }
    std::optional<OwedTransfer> TakeAbandonedTransfer();

    int32_t LockCount() const { return lockCount_; }
    int32_t LockFailures() const { return lockFailures_; }
    // Why the device lock cannot be had at all, for the status text; empty
    // when it can (a lock held elsewhere is no problem).
    std::string LockProblem() const;
    // What the transport says of itself, safe beside other threads' traffic.
    std::string DevicePath() const;
    int32_t LastError() const;
    bool ReadPending() const;
    // The transport itself, for tests: no guard.
    ReportDevice& Hid() { return *hid_; }
    const ReportDevice& Hid() const { return *hid_; }
    size_t Buffered(int32_t Channel) const;

    // The four values by which the device is found: 0 vendor ID, 1 product
    // ID, 2 usage page, 3 usage. Out-of-range indexes read as 0 and are
    // ignored when written.
    int32_t MatchValue(int32_t Index) const;
    void SetMatchValue(int32_t Index, int32_t Value);

    // A pcapng capture of every report that crosses the link from now on,
    // in Path (see TraceFile); an empty Path stops it. False, LOCAL_FILE
    // noted, when the file cannot be made, or when the trace before stopped
    // by itself because its file could not be written (the new request is
    // carried out all the same).
    bool SetTrace(const std::string& Path);
    // The trace written out up to now (at each command line: see TraceFile::Flush).
    void FlushTrace() { trace_.Flush(); }

private:
    // What Ask gives of the transport, asked under the writing lock.
    template <typename Question>
    auto Asked(Question&& Ask) const;
    uint32_t Ticks() const;
    enum class ReadOutcome { Nothing, NotAPacket, Packet };
    bool WriteOne(const Packet& Report, int32_t Timeout);
    void NoteWriteFailure() const;
    DeviceLock* OwnLockHeld() const;
    // One report read into its channel's buffer, input_ held (beyond the cap a
    // packet is dropped, but it still counts as arrived).
    // StampUs: the link's clock when the report was taken, for the trace (0: now).
    ReadOutcome ReadOne(uint8_t* Report, int32_t Timeout, uint64_t StampUs);
    // Also tells the pace what came.
    ReadOutcome ReadBurstHeld(int32_t Timeout, uint64_t StampUs);
    // Sleeps, input_ let go meanwhile, when the pace says at NowUs that
    // ExpectedBytes come in several reports over more than the sleep, and
    // Timeout leaves room for it; whether it did, and when it had the input
    // again, in StampUs.
    bool SleepForMoreHeld(std::unique_lock<std::mutex>& Input, size_t ExpectedBytes, int32_t Timeout, uint64_t NowUs,
                          uint64_t& StampUs);
    // input_ held: a transport that found the device gone is closed, the
    // writing lock taken too. True when it was.
    bool CloseIfGoneHeld();
    void ClearChannelBuffersHeld();  // input_ held
    bool PollHeld(std::unique_lock<std::mutex>& Input, int32_t Timeout);
    bool TakeWholePacket(int32_t Channel, int32_t MaxCount, std::string& Data);
    void TakeFront(ChannelBuffer& Buffer, int32_t MaxCount, std::string& Data);
    void ClearBuffer(int32_t Channel);
    void PayOwed(size_t Bytes);
    // A device that went away forgets what it waited for.
    void ForgetOwedTransfers();
    void DiscardInput();
    void DiscardUntilSilent();
    void UseLockOfOpenedDevice();
    std::shared_ptr<DeviceLock> CurrentDeviceLock() const;
    bool TakeLocks(int32_t Timeout, DeviceLock* Classic, DeviceLock* Own);
    bool TakeTurn(int32_t Timeout);
    void GiveTurn();

    // A mutex and a condition rather than a timed mutex: the sanitizers of
    // this toolchain do not see a timed mutex's timed lock.
    std::mutex turnGuard_;
    std::condition_variable turnGiven_;
    const void* turnOwner_ = nullptr;  // the thread that has the turn; under turnGuard_
    uint32_t turnDepth_ = 0;           // under turnGuard_
    const std::string lockBase_;
    const std::unique_ptr<DeviceLock> classicLock_;  // null when not taken
    std::atomic<bool> classicApplies_ {true};  // the opened device takes the classic lock
    mutable std::mutex deviceLockGuard_;
    std::shared_ptr<DeviceLock> deviceLock_;  // the opened device's own; null before one was
    // Every lock made, kept while the link lives: a conversation may still
    // hold the lock of a device opened before.
    std::vector<std::shared_ptr<DeviceLock>> deviceLocks_;
    const int32_t pollTimeout_ = 0;
    const int32_t extraTimeout_ = 0;
    std::atomic<int32_t> lockFailures_ {0};
    std::atomic<int32_t> lockCount_ {0};
    std::atomic<uint32_t> inputDiscards_ {0};
    // Touched only by the thread that holds the device lock.
    uint32_t owedBytes_ = 0;
    std::optional<OwedTransfer> abandoned_;
    std::unique_ptr<ReportDevice> hid_;
    // One thread at a time reads reports and works on the receive buffers,
    // and one writes reports or asks for strings; Open and Close hold both,
    // so that nothing moves on a handle being replaced.
    mutable std::mutex input_;
    mutable std::mutex writing_;
    std::array<ChannelBuffer, kChannelCount> rxBuffers_;
    ReportPace pace_;  // under input_
    TraceFile trace_;
    std::array<std::atomic<int32_t>, 4> match_ {0x16D0, 0x064E, 0xFFB2, -1};
    Clock& clock_;
};

}  // namespace zqk
