#include "link/channel_packet.h"

#include <algorithm>
#include <cstring>

namespace zqk {

Packet MakePacket(uint8_t Channel, uint8_t Tag, const char* Data, size_t Count)
{
    Packet packet {};
    const size_t n = std::min<size_t>(Count, kMaxPacketData);
    packet[0] = Channel;
    packet[1] = Tag;
    packet[2] = static_cast<uint8_t>(n);
    if (n > 0)
        std::memcpy(packet.data() + kPacketHeaderSize, Data, n);
    return packet;
}

void ChannelBuffer::Append(const uint8_t* Data, size_t Count)
{
    bytes_.insert(bytes_.end(), Data, Data + Count);
}

void ChannelBuffer::Consume(size_t Count)
{
    head_ += std::min(Count, Size());
    if (head_ == bytes_.size()) {
        Clear();
    } else if (head_ >= 4096 && head_ >= Size()) {
        bytes_.erase(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(head_));
        head_ = 0;
    }
}

void ChannelBuffer::Clear()
{
    bytes_.clear();
    head_ = 0;
}

}  // namespace zqk
