#include "api/time_separator.h"

#include <langinfo.h>

namespace zqk {

namespace {

// The text between the hour and the minute conversions of a strftime time
// format such as "%H:%M:%S" or "%I.%M.%S %p".
std::string SeparatorAfterHour(const std::string& format)
{
    for (const char* hour : {"%H", "%I", "%k", "%l"}) {
        const size_t at = format.find(hour);
        if (at == std::string::npos)
            continue;
        const size_t start = at + 2;
        const size_t end = format.find('%', start);
        if (end != std::string::npos && end > start)
            return format.substr(start, end - start);
    }
    return {};
}

}  // namespace

std::string UserTimeSeparator()
{
    const char* format = nl_langinfo(T_FMT);
    const std::string separator = format ? SeparatorAfterHour(format) : std::string();
    return separator.empty() ? ":" : separator;
}

}  // namespace zqk
