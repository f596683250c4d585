// Device paths: see device_path.h.
#include "device_path.h"

#include <cstdio>
#include <cstring>

namespace zqktool {

namespace {

bool IsOneOf(char C, const char* Separators)
{
    return C != '\0' && std::strchr(Separators, C) != nullptr;
}

}  // namespace

std::string FoldedCase(const std::string& Text)
{
    std::string folded = Text;
    for (char& c : folded)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return folded;
}

bool IsDeviceSeparator(char C)
{
    return IsOneOf(C, kDeviceSeparators);
}

bool IsDeviceRoot(const std::string& Path)
{
    return Path.find_first_not_of(kDeviceSeparators) == std::string::npos;
}

std::string TrimmedDevicePath(std::string Path, const char* Separators)
{
    while (Path.size() > 1 && IsOneOf(Path.back(), Separators))
        Path.pop_back();
    return Path;
}

std::string DeviceLeaf(const std::string& Path, const char* Separators)
{
    const std::string trimmed = TrimmedDevicePath(Path, Separators);
    const size_t cut = trimmed.find_last_of(Separators);
    return cut == std::string::npos ? trimmed : trimmed.substr(cut + 1);
}

std::string DeviceParent(const std::string& Path, const char* Separators)
{
    const std::string trimmed = TrimmedDevicePath(Path, Separators);
    const size_t cut = trimmed.find_last_of(Separators);
    return cut == std::string::npos || cut == 0 ? "/" : trimmed.substr(0, cut);
}

bool IsBelow(const std::string& Path, const std::string& Folder, const char* Separators)
{
    return Path.size() > Folder.size() && Path.compare(0, Folder.size(), Folder) == 0 &&
           IsOneOf(Path[Folder.size()], Separators);
}

std::string Joined(const std::string& Folder, const std::string& Name)
{
    if (Name.empty())
        return Folder;
    if (Folder == ".")
        return Name;
    return Folder.empty() || IsDeviceSeparator(Folder.back()) ? Folder + Name : Folder + "/" + Name;
}

std::string DeviceNameProblem(const std::string& Name)
{
    if (Name.empty())
        return "the device gave an empty name";
    if (Name == "." || Name == "..")
        return "\"" + Name + "\" is not the name of an entry";
    if (Name.find_first_of(kDeviceSeparators) != std::string::npos)
        return std::string("it holds \"") + Name[Name.find_first_of(kDeviceSeparators)] +
               "\" and would be taken as a path";
    for (const char c : Name) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            char text[64];
            std::snprintf(text, sizeof text, "it holds the control byte 0x%02X", byte);
            return text;
        }
    }
    return std::string();
}

}  // namespace zqktool
