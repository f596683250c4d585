#pragma once
// The packets of a capture file, pcap or pcapng, as zqk trace and -v read
// them: each packet's time, interface (its link type, name and
// description), bytes, comment and direction flags. Read from bytes in
// memory, so that a file that grows (a trace being written) can be taken a
// piece at a time; a packet is never copied out of the bytes it came in.
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace zqktool {

// Bytes that are no capture this reader can take: wrong magic, a block or
// record whose length cannot be, a packet that does not fit in its block.
struct CaptureError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct CaptureInterface {
    uint32_t linkType = 0;
    uint64_t unitsPerSecond = 1000000;  // of its packets' time stamps
    std::string name, description;
};

struct CapturePacket {
    size_t interfaceIndex = 0;
    uint64_t microseconds = 0;  // since 1970
    const uint8_t* data = nullptr;  // into the bytes given to Take
    size_t size = 0;
    uint32_t flags = 0;  // pcapng's epb_flags, 0 where none are given
    std::string comment;
};

class CaptureReader {
public:
    // Takes the packets of Bytes[0..Size), the capture's next bytes (the
    // first call's begin with the file's), into Packets, whose data points
    // into Bytes. Returns how many bytes it used: a block or record that is
    // not whole yet is left for the next call, with its bytes and those
    // after it. Throws CaptureError on bytes that are no capture.
    size_t Take(const uint8_t* Bytes, size_t Size, std::vector<CapturePacket>& Packets);
    // "pcap" or "pcapng", empty before the first bytes.
    const char* Format() const;
    const std::vector<CaptureInterface>& Interfaces() const { return interfaces_; }
    // The program that wrote a pcapng section, where its header says.
    const std::string& Application() const { return application_; }
    // The byte order of the bytes last taken, which is that of the headers
    // a capturing host writes in its own (usbmon's).
    bool BigEndian() const { return bigEndian_; }

private:
    bool TakeFileHeader(const uint8_t* Bytes, size_t Size, size_t& Used);
    size_t TakePcapRecord(const uint8_t* Bytes, size_t Size, std::vector<CapturePacket>& Packets);
    size_t TakeBlock(const uint8_t* Bytes, size_t Size, std::vector<CapturePacket>& Packets);
    void TakeSectionHeader(const uint8_t* Body, size_t Size);
    void TakeInterface(const uint8_t* Body, size_t Size);
    void TakePacketBlock(uint32_t Type, const uint8_t* Body, size_t Size, std::vector<CapturePacket>& Packets);
    uint16_t U16(const uint8_t* At) const;
    uint32_t U32(const uint8_t* At) const;

    enum class Kind { Unknown, Pcap, Pcapng } kind_ = Kind::Unknown;
    bool bigEndian_ = false;
    bool nanoseconds_ = false;  // pcap only
    std::vector<CaptureInterface> interfaces_;
    size_t sectionInterfaces_ = 0;  // the interfaces of sections before this one
    std::string application_;
};

}  // namespace zqktool
