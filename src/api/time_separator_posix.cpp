#include "api/time_separator.h"

#include <langinfo.h>

#include "files/date_time.h"

namespace zqk {

std::string UserTimeSeparator()
{
    const char* format = nl_langinfo(T_FMT);
    const std::string separator = format ? TimeSeparatorOfFormat(format) : std::string();
    return separator.empty() ? ":" : separator;
}

}  // namespace zqk
