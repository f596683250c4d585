// The pcapng capture of a link's reports (see trace_file.h). Blocks are
// built in memory and written whole, in little-endian order, which the
// section header's byte-order magic declares.
#include "link/trace_file.h"

#include <cerrno>
#include <chrono>
#include <cstring>
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
constexpr size_t kBufferSize = 1 << 16;

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

TraceFile::~TraceFile()
{
    Stop();
}

bool TraceFile::Start(const std::string& Path, const std::string& DevicePath, const std::string& Serial,
                      std::string& Problem)
{
    const std::lock_guard<std::mutex> held(guard_);
    CloseHeld();
    writeProblem_.clear();
    FILE* file = std::fopen(Path.c_str(), "wb");
    if (!file) {
        Problem = "the trace file " + Path + " could not be made: " + std::strerror(errno);
        return false;
    }
    std::setvbuf(file, nullptr, _IONBF, 0);  // pending_ is the buffer: whole ones go out, copied once
    file_ = file;
    path_ = Path;
    WriteHeld(SectionHeader() + InterfaceDescription(DevicePath, Serial));
    WritePacketHeld(MicrosecondsNow(), nullptr, 0, 0, "trace started");
    FlushHeld();
    if (!file_) {
        Problem.swap(writeProblem_);  // this call's own failure, not one for the next
        return false;
    }
    active_ = true;
    return true;
}

void TraceFile::Stop()
{
    const std::lock_guard<std::mutex> held(guard_);
    if (file_)
        WritePacketHeld(MicrosecondsNow(), nullptr, 0, 0, "trace stopped");
    CloseHeld();
}

void TraceFile::Report(const uint8_t* Data, size_t Count, bool Inbound)
{
    if (!Active())
        return;
    const uint64_t now = MicrosecondsNow();  // before the lock, which so is held the shorter
    const std::lock_guard<std::mutex> held(guard_);
    WritePacketHeld(now, Data, Count, Inbound ? kInbound : kOutbound, std::string());
}

void TraceFile::Event(const std::string& What)
{
    if (!Active())
        return;
    const std::lock_guard<std::mutex> held(guard_);
    WritePacketHeld(MicrosecondsNow(), nullptr, 0, 0, What);
    FlushHeld();
}

void TraceFile::Flush()
{
    if (!Active())
        return;
    const std::lock_guard<std::mutex> held(guard_);
    FlushHeld();
}

std::string TraceFile::TakeWriteProblem()
{
    const std::lock_guard<std::mutex> held(guard_);
    std::string problem;
    problem.swap(writeProblem_);
    return problem;
}

namespace {

void Store16(char* At, uint16_t Value)
{
    At[0] = static_cast<char>(Value & 0xFF);
    At[1] = static_cast<char>(Value >> 8);
}

void Store32(char* At, uint32_t Value)
{
    Store16(At, static_cast<uint16_t>(Value & 0xFFFF));
    Store16(At + 2, static_cast<uint16_t>(Value >> 16));
}

constexpr size_t Padded(size_t Count)
{
    return (Count + 3) & ~size_t {3};
}

}  // namespace

// The block goes straight into the room at the end of pending_, its fields
// stored in place: a report costs a few stores and one copy of its bytes,
// and the file gets whole buffers.
void TraceFile::WritePacketHeld(uint64_t Now, const uint8_t* Data, size_t Count, uint32_t Flags,
                                const std::string& Comment)
{
    if (!file_)
        return;
    const size_t commentLength = Comment.size() < 0xFFFF ? Comment.size() : 0xFFFC;
    const size_t options = (Flags != 0 ? 8 : 0) + (commentLength > 0 ? 4 + Padded(commentLength) : 0) + 4;
    const size_t total = 28 + Padded(Count) + options + 4;
    const size_t at = pending_.size();
    pending_.resize(at + total);  // zero fill: the padding
    char* block = &pending_[at];
    Store32(block, kEnhancedPacket);
    Store32(block + 4, static_cast<uint32_t>(total));
    Store32(block + 8, 0);  // the one interface
    Store32(block + 12, static_cast<uint32_t>(Now >> 32));
    Store32(block + 16, static_cast<uint32_t>(Now & 0xFFFFFFFF));
    Store32(block + 20, static_cast<uint32_t>(Count));
    Store32(block + 24, static_cast<uint32_t>(Count));
    if (Count > 0)
        std::memcpy(block + 28, Data, Count);
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
    }
    Store32(block + total - 4, static_cast<uint32_t>(total));  // after the end of options, left zero
    if (pending_.size() >= kBufferSize)
        WritePendingHeld();
}

void TraceFile::WriteHeld(const std::string& Block)
{
    pending_ += Block;
    WritePendingHeld();
}

void TraceFile::WritePendingHeld()
{
    if (!file_ || pending_.empty())
        return;
    const bool written = std::fwrite(pending_.data(), 1, pending_.size(), file_) == pending_.size();
    pending_.clear();  // its room stays for the next blocks
    if (!written)
        GiveUpHeld();
}

void TraceFile::FlushHeld()
{
    WritePendingHeld();
    if (file_ && std::fflush(file_) != 0)
        GiveUpHeld();
}

void TraceFile::GiveUpHeld()
{
    if (writeProblem_.empty())
        writeProblem_ = "the trace file " + path_ + " could not be written: " + std::strerror(errno);
    CloseHeld();
}

void TraceFile::CloseHeld()
{
    active_ = false;
    WritePendingHeld();  // one that fails closes the file itself
    pending_.clear();
    if (!file_)
        return;
    FILE* file = std::exchange(file_, nullptr);
    if (std::fclose(file) != 0)
        GiveUpHeld();
}

}  // namespace zqk
