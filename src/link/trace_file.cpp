// The pcapng capture of a link's reports (see trace_file.h). Blocks are
// built in memory and written whole, in little-endian order, which the
// section header's byte-order magic declares.
#include "link/trace_file.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <initializer_list>
#include <system_error>
#include <utility>

#include "zqkAPI.h"

namespace zqk {
namespace {

// Block types.
constexpr uint32_t kSectionHeader = 0x0A0D0D0A, kInterfaceDescription = 1, kEnhancedPacket = 6;
constexpr uint16_t kLinkTypeUser0 = 147;
constexpr uint32_t kSnapLength = 65535;
// Option codes: of every block, of the section header, of the interface, of a packet.
constexpr uint16_t kOptionEnd = 0, kOptionComment = 1;
constexpr uint16_t kShbUserApplication = 4;
constexpr uint16_t kIfName = 2, kIfDescription = 3;
constexpr uint16_t kEpbFlags = 2;
// epb_flags' direction bits.
constexpr uint32_t kInbound = 1, kOutbound = 2;
// A hand-over wakes the writer, which costs more than many reports on a
// virtual machine: they are few.
constexpr size_t kBufferSize = 1 << 20;
// What may wait for a writer that is still busy before the link waits too.
constexpr size_t kMaxPending = 4 * kBufferSize;

void Put16(std::string& Out, uint16_t Value)
{
    Out.push_back(static_cast<char>(Value & 0xFF));
    Out.push_back(static_cast<char>(Value >> 8));
}

void Put32(std::string& Out, uint32_t Value)
{
    Put16(Out, static_cast<uint16_t>(Value & 0xFFFF));
    Put16(Out, static_cast<uint16_t>(Value >> 16));
}

void PadTo4(std::string& Out)
{
    while (Out.size() % 4 != 0)
        Out.push_back('\0');
}

void PutOption(std::string& Out, uint16_t Code, const std::string& Value)
{
    if (Value.empty())
        return;  // an empty option says nothing, and readers may refuse one
    const size_t length = Value.size() < 0xFFFF ? Value.size() : 0xFFFC;
    Put16(Out, Code);
    Put16(Out, static_cast<uint16_t>(length));
    Out.append(Value, 0, length);
    PadTo4(Out);
}

void EndOptions(std::string& Out)
{
    Put16(Out, kOptionEnd);
    Put16(Out, 0);
}

// A block is its type, its total length, its body and the total length
// again: begun with a length to be filled in when it ends.
void BeginBlock(std::string& Out, uint32_t Type)
{
    Out.clear();
    Put32(Out, Type);
    Put32(Out, 0);
}

void EndBlock(std::string& Out)
{
    const uint32_t total = static_cast<uint32_t>(Out.size() + 4);
    for (size_t i = 0; i < 4; ++i)
        Out[4 + i] = static_cast<char>((total >> (8 * i)) & 0xFF);
    Put32(Out, total);
}

std::string SectionHeader()
{
    std::string body;
    BeginBlock(body, kSectionHeader);
    Put32(body, 0x1A2B3C4D);  // byte-order magic
    Put16(body, 1);           // version 1.0
    Put16(body, 0);
    Put32(body, 0xFFFFFFFF);  // section length not known: -1 as 64 bits
    Put32(body, 0xFFFFFFFF);
    PutOption(body, kShbUserApplication, "zqkAPI " ZQK_VERSION_STR);
    EndOptions(body);
    EndBlock(body);
    return body;
}

std::string InterfaceDescription(const std::string& DevicePath, const std::string& Serial)
{
    std::string body;
    BeginBlock(body, kInterfaceDescription);
    Put16(body, kLinkTypeUser0);
    Put16(body, 0);
    Put32(body, kSnapLength);
    PutOption(body, kIfName, DevicePath);
    PutOption(body, kIfDescription, Serial.empty() ? std::string() : "serial number " + Serial);
    EndOptions(body);  // microseconds: the default time-stamp resolution
    EndBlock(body);
    return body;
}

uint64_t MicrosecondsNow()
{
    using namespace std::chrono;
    return static_cast<uint64_t>(duration_cast<microseconds>(system_clock::now().time_since_epoch()).count());
}

}  // namespace

char* TraceBuffer::Append(size_t Count)
{
    if (size_ + Count > capacity_) {
        const size_t capacity = std::max(size_ + Count, std::max<size_t>(2 * capacity_, 4096));
        std::unique_ptr<char[]> bytes(new char[capacity]);
        if (size_ > 0)
            std::memcpy(bytes.get(), bytes_.get(), size_);
        bytes_ = std::move(bytes);
        capacity_ = capacity;
    }
    char* room = bytes_.get() + size_;
    size_ += Count;
    return room;
}

void TraceBuffer::Swap(TraceBuffer& Other) noexcept
{
    std::swap(bytes_, Other.bytes_);
    std::swap(size_, Other.size_);
    std::swap(capacity_, Other.capacity_);
}

TraceFile::~TraceFile()
{
    Stop();
}

bool TraceFile::Start(const std::string& Path, const std::string& DevicePath, const std::string& Serial,
                      std::string& Problem)
{
    std::unique_lock<std::mutex> held(guard_);
    FinishHeld(held);
    writeProblem_.clear();
    FILE* file = std::fopen(Path.c_str(), "wb");
    if (!file) {
        Problem = "the trace file " + Path + " could not be made: " + std::strerror(errno);
        return false;
    }
    std::setvbuf(file, nullptr, _IONBF, 0);  // pending_ is the buffer: whole ones go out, copied once
    const int64_t wallOffsetUs = static_cast<int64_t>(MicrosecondsNow()) - static_cast<int64_t>(clock_.NowUs());
    // The head is written here, so that a file that takes nothing fails the start.
    const std::string head = SectionHeader() + InterfaceDescription(DevicePath, Serial);
    if (std::fwrite(head.data(), 1, head.size(), file) != head.size()) {
        Problem = "the trace file " + Path + " could not be written: " + std::strerror(errno);
        std::fclose(file);
        return false;
    }
    try {
        writer_ = std::thread([this] { WriteLoop(); });
    } catch (const std::system_error& e) {
        Problem = std::string("the trace could not start its writer: ") + e.what();
        std::fclose(file);
        return false;
    }
    file_ = file;
    path_ = Path;
    open_ = true;
    failed_ = false;
    {
        // The start's record is the first: a report that races it comes after.
        const std::lock_guard<StoreLock> filling(filling_);
        wallOffsetUs_ = wallOffsetUs;
        recording_ = true;
        StoreBlock(clock_.NowUs(), nullptr, 0, 0, "trace started");
    }
    active_ = true;
    return true;
}

void TraceFile::Stop()
{
    std::unique_lock<std::mutex> held(guard_);
    FinishHeld(held);
}

void TraceFile::Report(const uint8_t* Data, size_t Count, bool Inbound, uint64_t ClockUs)
{
    if (!Active())
        return;
    if (ClockUs == 0)
        ClockUs = clock_.NowUs();  // before the lock, which so is held the shorter
    const size_t pending = AddPacket(ClockUs, Data, Count, Inbound ? kInbound : kOutbound, std::string());
    // Past kMaxPending the disk is slower than the link: the link waits for
    // the writer rather than the memory grows.
    if (pending >= kMaxPending || (pending >= kBufferSize && !writing_.load(std::memory_order_relaxed))) {
        std::unique_lock<std::mutex> held(guard_);
        HandOffHeld(held, false);
    }
}

void TraceFile::Event(const std::string& What)
{
    if (!Active())
        return;
    std::unique_lock<std::mutex> held(guard_);
    AddPacket(clock_.NowUs(), nullptr, 0, 0, What);
    HandOffHeld(held, true);
}

void TraceFile::Flush()
{
    if (!Active())
        return;
    std::unique_lock<std::mutex> held(guard_);
    HandOffHeld(held, true);
}

std::string TraceFile::TakeWriteProblem()
{
    const std::lock_guard<std::mutex> held(guard_);
    std::string problem;
    problem.swap(writeProblem_);
    return problem;
}

void TraceFile::WaitForWriterHeld(std::unique_lock<std::mutex>& Held)
{
    written_.wait(Held, [this] { return !writing_; });
}

void TraceFile::HandOffHeld(std::unique_lock<std::mutex>& Held, bool Wait)
{
    if (!open_)
        return;
    // Another thread may have handed over since a report found the buffer
    // full: the report waits for the writer only past kMaxPending.
    if (!Wait && writing_ && PendingBytes() < kMaxPending)
        return;
    WaitForWriterHeld(Held);
    bool handed = false;
    {
        const std::lock_guard<StoreLock> filling(filling_);
        if (failed_) {
            pending_.Clear();  // nothing more goes to a file that takes nothing
        } else if (!pending_.Empty()) {
            toWrite_.Swap(pending_);  // pending_ takes the written buffer's room
            handed = true;
        }
    }
    if (!handed)
        return;
    writing_ = true;
    handed_.notify_one();
    if (Wait)
        WaitForWriterHeld(Held);
}

void TraceFile::WriteLoop()
{
    std::unique_lock<std::mutex> held(guard_);
    for (;;) {
        handed_.wait(held, [this] { return writing_ || ending_; });
        if (!writing_)
            return;
        held.unlock();
        const bool written = std::fwrite(toWrite_.Data(), 1, toWrite_.Size(), file_) == toWrite_.Size();
        const int error = errno;
        toWrite_.Clear();
        held.lock();
        if (!written && !failed_) {
            failed_ = true;
            active_ = false;
            const std::lock_guard<StoreLock> filling(filling_);
            recording_ = false;
            writeProblem_ = "the trace file " + path_ + " could not be written: " + std::strerror(error);
        }
        writing_ = false;
        written_.notify_all();
    }
}

void TraceFile::FinishHeld(std::unique_lock<std::mutex>& Held)
{
    written_.wait(Held, [this] { return !finishing_; });  // one that ends meanwhile ends whole
    if (!open_)
        return;
    active_ = false;
    {
        // The stop's record is the last: a report that races it is left out.
        const std::lock_guard<StoreLock> filling(filling_);
        if (recording_)
            StoreBlock(clock_.NowUs(), nullptr, 0, 0, "trace stopped");
        recording_ = false;
    }
    HandOffHeld(Held, true);
    open_ = false;
    finishing_ = true;
    ending_ = true;
    handed_.notify_one();
    std::thread writer = std::move(writer_);
    FILE* file = std::exchange(file_, nullptr);  // the idle writer touches it no more
    Held.unlock();
    writer.join();
    const bool closed = std::fclose(file) == 0;
    const int error = errno;
    Held.lock();
    if (!closed && !failed_)
        writeProblem_ = "the trace file " + path_ + " could not be written: " + std::strerror(error);
    ending_ = false;
    finishing_ = false;
    {
        const std::lock_guard<StoreLock> filling(filling_);
        pending_.Clear();
    }
    written_.notify_all();
}

namespace {

// The file is little-endian whatever the host, as its section header says.
// Each field is one store of its own: built byte by byte, the compiler
// gathered the fields on the stack and read them back as one, which stalled.
template <typename Word>
void Store(char* At, Word Value)
{
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    Value = sizeof(Word) == 2 ? static_cast<Word>(__builtin_bswap16(static_cast<uint16_t>(Value)))
                              : static_cast<Word>(__builtin_bswap32(static_cast<uint32_t>(Value)));
#endif
    std::memcpy(At, &Value, sizeof Value);
}

void Store16(char* At, uint16_t Value) { Store(At, Value); }
void Store32(char* At, uint32_t Value) { Store(At, Value); }

// The buffer's room ahead of the one being filled is asked for before it is
// needed: the buffer is too large for the cache, and the writer's core had
// it last.
void PrepareForWriting(const char* From, size_t Ahead)
{
    const uintptr_t at = reinterpret_cast<uintptr_t>(From) + Ahead;  // may lie past the room: a hint never faults
    for (const uintptr_t line : {at, at + 64}) {
#if defined(__GNUC__) && defined(__x86_64__)  // every 64-bit x86 takes it, as a hint or as no operation
        __asm__ volatile("prefetchw %0" : : "m"(*reinterpret_cast<const char*>(line)));
#elif defined(__GNUC__)
        __builtin_prefetch(reinterpret_cast<const void*>(line), 1);
#else
        (void)line;
#endif
    }
}

constexpr size_t Padded(size_t Count)
{
    return (Count + 3) & ~size_t {3};
}

}  // namespace

size_t TraceFile::PendingBytes()
{
    const std::lock_guard<StoreLock> filling(filling_);
    return pending_.Size();
}

size_t TraceFile::AddPacket(uint64_t ClockUs, const uint8_t* Data, size_t Count, uint32_t Flags,
                           const std::string& Comment)
{
    const std::lock_guard<StoreLock> filling(filling_);
    if (!recording_)
        return 0;
    StoreBlock(ClockUs, Data, Count, Flags, Comment);
    return pending_.Size();
}

// The block goes straight into the room at the end of pending_, its fields
// stored in place: a report costs a few stores and one copy of its bytes.
void TraceFile::StoreBlock(uint64_t ClockUs, const uint8_t* Data, size_t Count, uint32_t Flags,
                           const std::string& Comment)
{
    const uint64_t now = static_cast<uint64_t>(static_cast<int64_t>(ClockUs) + wallOffsetUs_);
    const size_t commentLength = Comment.size() < 0xFFFF ? Comment.size() : 0xFFFC;
    const size_t options = (Flags != 0 ? 8 : 0) + (commentLength > 0 ? 4 + Padded(commentLength) : 0) + 4;
    const size_t total = 28 + Padded(Count) + options + 4;
    char* block = pending_.Append(total);
    PrepareForWriting(block, 1024);
    Store32(block, kEnhancedPacket);
    Store32(block + 4, static_cast<uint32_t>(total));
    Store32(block + 8, 0);  // the one interface
    Store32(block + 12, static_cast<uint32_t>(now >> 32));
    Store32(block + 16, static_cast<uint32_t>(now & 0xFFFFFFFF));
    Store32(block + 20, static_cast<uint32_t>(Count));
    Store32(block + 24, static_cast<uint32_t>(Count));
    if (Count > 0)
        std::memcpy(block + 28, Data, Count);
    std::memset(block + 28 + Count, 0, Padded(Count) - Count);
    char* option = block + 28 + Padded(Count);
    if (Flags != 0) {
        Store16(option, kEpbFlags);
        Store16(option + 2, 4);
        Store32(option + 4, Flags);
        option += 8;
    }
    if (commentLength > 0) {
        Store16(option, kOptionComment);
        Store16(option + 2, static_cast<uint16_t>(commentLength));
        std::memcpy(option + 4, Comment.data(), commentLength);
        std::memset(option + 4 + commentLength, 0, Padded(commentLength) - commentLength);
        option += 4 + Padded(commentLength);
    }
    Store32(option, 0);  // the end of options
    Store32(block + total - 4, static_cast<uint32_t>(total));
}

}  // namespace zqk
