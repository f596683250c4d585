#include "api/buffer_return.h"

#include <cstring>
#include <limits>

namespace zqk {

int32_t BufferReturn(const std::string& Text, char* Buffer, int32_t Size)
{
    constexpr size_t kMaxText = std::numeric_limits<int32_t>::max() - 1;
    if (Text.size() > kMaxText)  // cannot be described by the result
        return -std::numeric_limits<int32_t>::max();
    const auto needed = static_cast<int32_t>(Text.size() + 1);
    if (Buffer == nullptr || Size < needed)
        return -needed;
    std::memcpy(Buffer, Text.data(), Text.size());
    Buffer[Text.size()] = '\0';
    return needed - 1;
}

}  // namespace zqk
