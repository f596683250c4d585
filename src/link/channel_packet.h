#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace zqk {

// One report is one channel packet:
//   byte 0 channel (0..31), byte 1 tag (0 from this library, ignored on
//   receipt), byte 2 length (0..61), then the data and zero fill to 64 bytes.
constexpr int kPacketSize = 64;
constexpr int kPacketHeaderSize = 3;
constexpr int kMaxPacketData = kPacketSize - kPacketHeaderSize;  // 61
constexpr int kChannelCount = 32;

using Packet = std::array<uint8_t, kPacketSize>;

Packet MakePacket(uint8_t Channel, uint8_t Tag, const char* Data, size_t Count);

// The data length of a packet. A length byte above 61 would point past the
// packet, so it counts as 61.
inline uint8_t PacketDataLength(const uint8_t* packet)
{
    return packet[2] > kMaxPacketData ? static_cast<uint8_t>(kMaxPacketData) : packet[2];
}

// Received packets of one channel, oldest first. Taking a packet from the
// front moves an offset instead of the remaining bytes; the consumed front is
// reclaimed once it outweighs what is left, so draining stays linear.
class ChannelBuffer {
public:
    size_t Size() const { return bytes_.size() - head_; }
    bool Empty() const { return Size() == 0; }
    void Append(const uint8_t* Data, size_t Count);
    uint8_t* Front() { return bytes_.data() + head_; }
    void Consume(size_t Count);
    void Clear();

private:
    std::vector<uint8_t> bytes_;
    size_t head_ = 0;
};

}  // namespace zqk
