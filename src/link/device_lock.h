#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

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

// OwedTransfer as the shared state beside the mutex holds it, the same on
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

// A mutex shared by every process of the machine under one name. A lock whose
// owner died is handed to the next waiter. Implemented once per platform.
class NamedMutex {
public:
    explicit NamedMutex(const std::string& Name);
    ~NamedMutex();
    NamedMutex(const NamedMutex&) = delete;
    NamedMutex& operator=(const NamedMutex&) = delete;

    // Waits at most TimeoutMs (negative: no limit). True when obtained, also
    // when the previous owner died holding it.
    bool Acquire(int32_t TimeoutMs);
    void Release();
    // After an Acquire: whether the mutex had another holder since this
    // object last held it (since it was made, before its first Acquire):
    // another object of the same name, in practice another process, or a
    // holder that died with it.
    bool HeldElsewhereMeanwhile() const;
    // After an Acquire: whether the holder before died holding the mutex.
    bool PreviousHolderDied() const;
    // Gives the mutex the access of the file at Path, the device's node: on
    // Linux its shared memory gets the node's group and mode 0660 (0666 when
    // the node lets everyone read and write it), so that whoever may open
    // the device may take its lock and nobody else may touch it. Only memory
    // this process owns is changed; another user's is used as it is. Until
    // then memory this process makes has its own group and mode 0660.
    void AccessLike(const std::string& Path);
    // Why the mutex could not be set up (then every Acquire fails), or empty.
    std::string Problem() const;
    // The transfer owed to the device, in the state shared beside the mutex:
    // written and read only by its holder. Where that state could not be had
    // nothing is kept and None is read.
    void RecordOwed(const OwedTransfer& Owed);
    void RecordOwedBytes(uint32_t Bytes);
    OwedTransfer Owed() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// The device lock: the named mutex, recursive for the thread that holds it.
// A thread that already holds it takes it again without a system call, which
// matters because the terminal takes it once for every byte it reads.
class DeviceLock {
public:
    explicit DeviceLock(const std::string& Name);

    const std::string& Name() const { return name_; }
    bool Lock(int32_t TimeoutMs);
    // Gives back one Lock of this thread; ignored when this thread holds none.
    void Unlock();
    bool HeldByThisThread() const;
    // After the Lock that took the named mutex: whether someone outside this
    // process held it between this process's turns.
    bool HeldElsewhereMeanwhile() const { return mutex_.HeldElsewhereMeanwhile(); }
    bool PreviousHolderDied() const { return mutex_.PreviousHolderDied(); }
    void AccessLike(const std::string& Path) { mutex_.AccessLike(Path); }
    std::string Problem() const { return mutex_.Problem(); }
    void RecordOwed(const OwedTransfer& Owed) { mutex_.RecordOwed(Owed); }
    void RecordOwedBytes(uint32_t Bytes) { mutex_.RecordOwedBytes(Bytes); }
    OwedTransfer Owed() const { return mutex_.Owed(); }

private:
    const std::string name_;
    NamedMutex mutex_;
    std::atomic<uint64_t> owner_{0};  // 0: no thread of this process holds it
    uint32_t depth_ = 0;              // touched only by the owner
};

}  // namespace zqk
