// pcap and pcapng, as read for zqk trace (see capture_file.h). Every length
// in the file is checked against what is there before it is used, so that
// a damaged or hostile file ends in a CaptureError, never past its bytes.
#include "capture_file.h"

#include <cstdio>

namespace zqktool {

namespace {

constexpr uint32_t kPcapMicro = 0xA1B2C3D4, kPcapNano = 0xA1B23C4D;
constexpr uint32_t kSectionHeader = 0x0A0D0D0A, kByteOrderMagic = 0x1A2B3C4D;
constexpr uint32_t kInterfaceBlock = 1, kOldPacketBlock = 2, kSimplePacketBlock = 3, kEnhancedPacketBlock = 6;
constexpr size_t kPcapHeaderSize = 24, kPcapRecordHeaderSize = 16;
// No reader makes a packet or block this big; a length past it is damage,
// and is refused before anything waits for that many bytes.
constexpr size_t kMaxBlock = size_t {16} << 20;
constexpr uint16_t kOptionEnd = 0, kOptionComment = 1;
constexpr uint16_t kShbUserApplication = 4, kIfName = 2, kIfDescription = 3, kIfTimeResolution = 9;
constexpr uint16_t kEpbFlags = 2;

uint16_t Raw16(const uint8_t* At, bool BigEndian)
{
    return static_cast<uint16_t>(BigEndian ? (At[0] << 8) | At[1] : (At[1] << 8) | At[0]);
}

uint32_t Raw32(const uint8_t* At, bool BigEndian)
{
    return BigEndian ? (uint32_t {At[0]} << 24) | (uint32_t {At[1]} << 16) | (uint32_t {At[2]} << 8) | At[3]
                     : (uint32_t {At[3]} << 24) | (uint32_t {At[2]} << 16) | (uint32_t {At[1]} << 8) | At[0];
}

std::string Hex32(uint32_t Value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(Value));
    return text;
}

uint64_t Microseconds(uint64_t Stamp, uint64_t UnitsPerSecond)
{
    if (UnitsPerSecond == 1000000)
        return Stamp;
    return Stamp / UnitsPerSecond * 1000000 + Stamp % UnitsPerSecond * 1000000 / UnitsPerSecond;
}

// if_tsresol: a power of ten, or of two where its top bit is set; one that
// no 64 bits hold is refused.
uint64_t UnitsPerSecond(uint8_t Resolution)
{
    const unsigned exponent = Resolution & 0x7F;
    const bool binary = (Resolution & 0x80) != 0;
    if (exponent > (binary ? 63u : 19u))
        throw CaptureError("an interface's time resolution (" + std::to_string(Resolution) + ") cannot be read");
    uint64_t units = 1;
    for (unsigned i = 0; i < exponent; ++i)
        units *= binary ? 2 : 10;
    return units;
}

}  // namespace

uint16_t CaptureReader::U16(const uint8_t* At) const
{
    return Raw16(At, bigEndian_);
}

uint32_t CaptureReader::U32(const uint8_t* At) const
{
    return Raw32(At, bigEndian_);
}

const char* CaptureReader::Format() const
{
    return kind_ == Kind::Pcap ? "pcap" : kind_ == Kind::Pcapng ? "pcapng" : "";
}

size_t CaptureReader::Take(const uint8_t* Bytes, size_t Size, std::vector<CapturePacket>& Packets)
{
    size_t used = 0;
    if (kind_ == Kind::Unknown && !TakeFileHeader(Bytes, Size, used))
        return 0;
    for (;;) {
        const size_t n = kind_ == Kind::Pcap ? TakePcapRecord(Bytes + used, Size - used, Packets)
                                             : TakeBlock(Bytes + used, Size - used, Packets);
        if (n == 0)
            return used;
        used += n;
    }
}

// A pcapng file's first block is its section header, taken as any block;
// a pcap file's header says the byte order and link type of all it holds.
bool CaptureReader::TakeFileHeader(const uint8_t* Bytes, size_t Size, size_t& Used)
{
    if (Size < 4)
        return false;
    const uint32_t little = Raw32(Bytes, false), big = Raw32(Bytes, true);
    if (little == kSectionHeader) {
        kind_ = Kind::Pcapng;
        return true;
    }
    for (const bool bigEndian : {false, true}) {
        const uint32_t magic = bigEndian ? big : little;
        if (magic != kPcapMicro && magic != kPcapNano)
            continue;
        if (Size < kPcapHeaderSize)
            return false;
        kind_ = Kind::Pcap;
        bigEndian_ = bigEndian;
        nanoseconds_ = magic == kPcapNano;
        CaptureInterface pcap;
        pcap.linkType = U32(Bytes + 20) & 0xFFFF;  // the bits above say FCS lengths
        pcap.unitsPerSecond = nanoseconds_ ? 1000000000 : 1000000;
        interfaces_.push_back(pcap);
        Used = kPcapHeaderSize;
        return true;
    }
    throw CaptureError("not a pcap or pcapng capture (it starts with " + Hex32(big) + ")");
}

size_t CaptureReader::TakePcapRecord(const uint8_t* Bytes, size_t Size, std::vector<CapturePacket>& Packets)
{
    if (Size < kPcapRecordHeaderSize)
        return 0;
    const uint32_t captured = U32(Bytes + 8);
    if (captured > kMaxBlock)
        throw CaptureError("a record claims " + std::to_string(captured) + " bytes, more than any capture holds");
    if (Size < kPcapRecordHeaderSize + captured)
        return 0;
    CapturePacket packet;
    const uint64_t fraction = U32(Bytes + 4);
    packet.microseconds = uint64_t {U32(Bytes)} * 1000000 + (nanoseconds_ ? fraction / 1000 : fraction);
    packet.data = Bytes + kPcapRecordHeaderSize;
    packet.size = captured;
    Packets.push_back(packet);
    return kPcapRecordHeaderSize + captured;
}

// A block: its type, its total length (a multiple of 4, at least 12), the
// body, and the total length again. A section header says the byte order of
// its section: its length is read only once that is known.
size_t CaptureReader::TakeBlock(const uint8_t* Bytes, size_t Size, std::vector<CapturePacket>& Packets)
{
    if (Size < 12)
        return 0;
    const bool section = Raw32(Bytes, false) == kSectionHeader;
    if (section) {
        const uint32_t magic = Raw32(Bytes + 8, false);
        if (magic != kByteOrderMagic && Raw32(Bytes + 8, true) != kByteOrderMagic)
            throw CaptureError("a section header with no byte-order magic (" + Hex32(magic) + ")");
        bigEndian_ = magic != kByteOrderMagic;
    }
    const uint32_t type = U32(Bytes), length = U32(Bytes + 4);
    if (length < 12 || length % 4 != 0 || length > kMaxBlock)
        throw CaptureError("a block of type " + Hex32(type) + " claims a length of " + std::to_string(length) +
                           " bytes, which no block has");
    if (Size < length)
        return 0;
    if (U32(Bytes + length - 4) != length)
        throw CaptureError("a block of type " + Hex32(type) + " ends with another length than it starts with");
    const uint8_t* body = Bytes + 8;
    const size_t bodySize = length - 12;
    if (section)
        TakeSectionHeader(body, bodySize);
    else if (type == kInterfaceBlock)
        TakeInterface(body, bodySize);
    else if (type == kEnhancedPacketBlock || type == kSimplePacketBlock || type == kOldPacketBlock)
        TakePacketBlock(type, body, bodySize, Packets);
    return length;  // other blocks (statistics, name resolution...) say nothing of the reports
}

namespace {

// The options that end a block's body: code, length, value padded to 4.
template <typename Each>
void ForEachOption(const uint8_t* At, size_t Size, bool BigEndian, Each&& each)
{
    size_t offset = 0;
    while (offset + 4 <= Size) {
        const uint16_t code = Raw16(At + offset, BigEndian), length = Raw16(At + offset + 2, BigEndian);
        if (code == kOptionEnd)
            return;
        if (offset + 4 + length > Size)
            throw CaptureError("an option of a block runs past the block's end");
        each(code, At + offset + 4, length);
        offset += 4 + (length + 3u) / 4 * 4;
    }
}

std::string Text(const uint8_t* At, size_t Size)
{
    return std::string(reinterpret_cast<const char*>(At), Size);
}

}  // namespace

void CaptureReader::TakeSectionHeader(const uint8_t* Body, size_t Size)
{
    if (Size < 16)
        throw CaptureError("a section header too short to be one");
    sectionInterfaces_ = interfaces_.size();  // a section's interfaces count from 0 again
    ForEachOption(Body + 16, Size - 16, bigEndian_, [&](uint16_t Code, const uint8_t* Value, size_t Length) {
        if (Code == kShbUserApplication)
            application_ = Text(Value, Length);
    });
}

void CaptureReader::TakeInterface(const uint8_t* Body, size_t Size)
{
    if (Size < 8)
        throw CaptureError("an interface description too short to be one");
    CaptureInterface interface;
    interface.linkType = U16(Body);
    ForEachOption(Body + 8, Size - 8, bigEndian_, [&](uint16_t Code, const uint8_t* Value, size_t Length) {
        if (Code == kIfName)
            interface.name = Text(Value, Length);
        else if (Code == kIfDescription)
            interface.description = Text(Value, Length);
        else if (Code == kIfTimeResolution && Length >= 1)
            interface.unitsPerSecond = UnitsPerSecond(Value[0]);
    });
    interfaces_.push_back(interface);
}

// Enhanced packets (interface, time, captured and original length, data,
// options), simple ones (original length and data, on interface 0, no
// time) and the obsolete packet block (a 16-bit interface and drop count).
void CaptureReader::TakePacketBlock(uint32_t Type, const uint8_t* Body, size_t Size,
                                    std::vector<CapturePacket>& Packets)
{
    const size_t fixed = Type == kSimplePacketBlock ? 4 : 20;
    if (Size < fixed)
        throw CaptureError("a packet block too short to be one");
    CapturePacket packet;
    uint64_t stamp = 0;
    size_t captured = Size - 4;
    if (Type != kSimplePacketBlock) {
        packet.interfaceIndex = Type == kOldPacketBlock ? U16(Body) : U32(Body);
        stamp = (uint64_t {U32(Body + 4)} << 32) | U32(Body + 8);
        captured = U32(Body + 12);
    } else if (U32(Body) < captured) {
        captured = U32(Body);  // the original length, where less than the block holds
    }
    const size_t padded = (captured + 3) / 4 * 4;
    if (captured > Size - fixed || padded > Size - fixed)
        throw CaptureError("a packet claims " + std::to_string(captured) + " bytes, more than its block holds");
    if (sectionInterfaces_ + packet.interfaceIndex >= interfaces_.size())
        throw CaptureError("a packet of interface " + std::to_string(packet.interfaceIndex) +
                           ", which the capture does not describe");
    packet.interfaceIndex += sectionInterfaces_;
    packet.microseconds = Microseconds(stamp, interfaces_[packet.interfaceIndex].unitsPerSecond);
    packet.data = Body + fixed;
    packet.size = captured;
    if (Type == kEnhancedPacketBlock)
        ForEachOption(Body + fixed + padded, Size - fixed - padded, bigEndian_,
                      [&](uint16_t Code, const uint8_t* Value, size_t Length) {
                          if (Code == kOptionComment)
                              packet.comment = Text(Value, Length);
                          else if (Code == kEpbFlags && Length == 4)
                              packet.flags = U32(Value);
                      });
    Packets.push_back(packet);
}

}  // namespace zqktool
