#pragma once
// Paths on the device, as the tool takes them and as the mount shows them.
// The device takes "/" and "\\" alike between the parts of a path, and so
// do the commands that are given device paths. The mount's paths come from
// the local file system, where only "/" parts them and "\\" is a byte of a
// name (one that the mount does not show): its calls pass kMountSeparators.
// The device's names do not tell ASCII case apart (FAT).
#include <string>

namespace zqktool {

constexpr const char* kDeviceSeparators = "/\\";
constexpr const char* kMountSeparators = "/";

// ASCII letters in lower case, as FAT matches names.
std::string FoldedCase(const std::string& Text);

bool IsDeviceSeparator(char C);
// The root: empty, or separators only.
bool IsDeviceRoot(const std::string& Path);
// Without separators at the end (the root keeps its one).
std::string TrimmedDevicePath(std::string Path, const char* Separators = kDeviceSeparators);
// The last part of a path ("" for the root), and the folder it is in ("/"
// for a part of the root, and for the root itself).
std::string DeviceLeaf(const std::string& Path, const char* Separators = kDeviceSeparators);
std::string DeviceParent(const std::string& Path, const char* Separators = kDeviceSeparators);
// Whether Path lies in Folder or deeper (not Folder itself).
bool IsBelow(const std::string& Path, const std::string& Folder, const char* Separators = kDeviceSeparators);
// Name in Folder; "." stands for no folder, and an empty Name for Folder
// itself. Also for local paths: every platform takes "/" between parts.
std::string Joined(const std::string& Folder, const std::string& Name);

// Why a name from the device cannot name an entry in a device path ("/" or
// "\\" in it, a control byte, "." or ".."); empty when it can.
std::string DeviceNameProblem(const std::string& Name);

}  // namespace zqktool
