#pragma once
#include <cerrno>
#include <cstddef>
#include <sys/types.h>

namespace zqk {

// Repeats Move (a write, send or receive of the bytes from offset Done on)
// until Size bytes have moved: a signal's interruption tries again, an error
// or an end of the stream is false.
template <typename Step>
bool MoveWhole(size_t Size, Step&& Move)
{
    size_t done = 0;
    while (done < Size) {
        const ssize_t n = Move(done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace zqk
