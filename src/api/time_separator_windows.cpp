#include "api/time_separator.h"

#include <windows.h>

namespace zqk {

std::string UserTimeSeparator()
{
    char separator[8] = {};
    const int n = GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_STIME, separator, sizeof separator);
    if (n <= 1)
        return ":";
    return std::string(separator);
}

}  // namespace zqk
