#pragma once
#include <string>

namespace zqk {

// The user's time separator (":" in most locales), or ":" when none can be
// had. One implementation per platform.
std::string UserTimeSeparator();

}  // namespace zqk
