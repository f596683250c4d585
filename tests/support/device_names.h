// How the library must name things to the device, as the hostile-input
// table and the conversation fuzz target expect it: a copy of the rule of
// their own, kept apart from the library's, so that a change to either shows.
#pragma once
#include <algorithm>
#include <string>

namespace zqk::testing {

// A name refused before anything is sent, with the call's failure result: a
// control byte (below 0x20, or 0x7F) would end or change the command line,
// and where the device takes names in double quotes a quote would end the
// name early. Firmware images go unquoted (QuotedNames false).
inline bool NameRefused(const std::string& Name, bool QuotedNames)
{
    return std::any_of(Name.begin(), Name.end(), [QuotedNames](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte < 0x20 || byte == 0x7F || (QuotedNames && c == '"');
    });
}

// A name as it reaches the device: bare words where names are not quoted,
// so blanks go as underscores.
inline std::string NameAsSent(std::string Name, bool QuotedNames)
{
    if (!QuotedNames)
        std::replace(Name.begin(), Name.end(), ' ', '_');
    return Name;
}

}  // namespace zqk::testing
