#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "transport/lock_place.h"

namespace zqk {

// What a holder of the device lock leaves owed to the device when the data
// of a transfer stops short (the holder was killed, or the device closed
// under it): the device still waits for Bytes of data, and would store
// whatever the next holder sends as such. Once they are sent (zero bytes
// will do) it answers as to a whole transfer; Undo is then the command line
// that takes back what it made, as the device reads it (empty: nothing).
struct OwedTransfer {
    enum class Kind : uint32_t { None, Write, Firmware };
    Kind What = Kind::None;
    uint32_t Bytes = 0;
    std::string Undo;
};

// OwedTransfer as the shared state beside the lock holds it, the same on
// every platform. An Undo longer than the room is not kept.
struct OwedRecord {
    static constexpr uint32_t kUndoRoom = 2048;
    uint32_t What;
    uint32_t Bytes;
    uint32_t UndoLength;
    char Undo[kUndoRoom];

    void Store(const OwedTransfer& Owed);
    // The record is another process's writing: only one of the form the
    // library writes is taken (a known kind, less than 2 GiB, an Undo that
    // is empty or deletes one named file); anything else reads as None.
    OwedTransfer Load() const;
};

// Whether programs of the classic library, which know only the classic
// system-wide lock, can run on this platform (Windows). Elsewhere that lock
// would exclude nobody and is not taken.
bool ClassicProgramsRunHere();

// A lock shared by every process of the machine: on Windows a named mutex,
// on Linux a lock on the file of its place. A lock whose holder died is
// handed to the next waiter. Implemented once per platform.
class MachineLock {
public:
    MachineLock(const std::string& Name, const LockPlace& Place);
    ~MachineLock();
    MachineLock(const MachineLock&) = delete;
    MachineLock& operator=(const MachineLock&) = delete;

    // Waits at most TimeoutMs (negative: no limit). True when obtained, also
    // when the previous holder died holding it.
    bool Acquire(int32_t TimeoutMs);
    void Release();
    // After an Acquire: whether the lock had another holder since this
    // object last held it (since it was made, before its first Acquire):
    // another object of the same lock, in practice another process, or a
    // holder that died with it. Always true where the shared state beside
    // the lock cannot be trusted.
    bool HeldElsewhereMeanwhile() const;
    // After an Acquire: whether the holder before died holding the lock.
    bool PreviousHolderDied() const;
    // Whether the lock is still the one of the device at Place (a device
    // unplugged and plugged in again has another node).
    bool Guards(const LockPlace& Place) const;
    // Why the lock could not be set up (then every Acquire fails), or empty.
    std::string Problem() const;
    // The transfer owed to the device, in the state shared beside the lock:
    // written and read only by its holder. Where that state could not be
    // had or is not to be trusted nothing is kept and None is read.
    void RecordOwed(const OwedTransfer& Owed);
    void RecordOwedBytes(uint32_t Bytes);
    OwedTransfer Owed() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// The device lock: the machine-wide lock, recursive for the thread that
// holds it. A thread that already holds it takes it again without a system
// call, which matters because the terminal takes it once for every byte it
// reads.
class DeviceLock {
public:
    explicit DeviceLock(const std::string& Name, const LockPlace& Place = {});

    const std::string& Name() const { return name_; }
    bool Lock(int32_t TimeoutMs);
    // Gives back one Lock of this thread; ignored when this thread holds none.
    void Unlock();
    bool HeldByThisThread() const;
    // After the Lock that took the machine-wide lock: whether someone outside
    // this process held it between this process's turns.
    bool HeldElsewhereMeanwhile() const { return lock_.HeldElsewhereMeanwhile(); }
    bool PreviousHolderDied() const { return lock_.PreviousHolderDied(); }
    bool Guards(const LockPlace& Place) const { return lock_.Guards(Place); }
    std::string Problem() const { return lock_.Problem(); }
    void RecordOwed(const OwedTransfer& Owed) { lock_.RecordOwed(Owed); }
    void RecordOwedBytes(uint32_t Bytes) { lock_.RecordOwedBytes(Bytes); }
    OwedTransfer Owed() const { return lock_.Owed(); }

private:
    const std::string name_;
    MachineLock lock_;
    std::atomic<uint64_t> owner_{0};  // 0: no thread of this process holds it
    uint32_t depth_ = 0;              // touched only by the owner
};

}  // namespace zqk
