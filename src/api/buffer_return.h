#pragma once
#include <cstdint>
#include <string>

namespace zqk {

// Copies Text and one zero byte into Buffer and returns the text's length;
// when Buffer is null or Size is smaller than length + 1, writes nothing and
// returns -(length + 1).
int32_t BufferReturn(const std::string& Text, char* Buffer, int32_t Size);

// Text argument of an export: a null pointer counts as the empty text.
inline std::string TextArg(const char* Text)
{
    return Text ? std::string(Text) : std::string();
}

}  // namespace zqk
