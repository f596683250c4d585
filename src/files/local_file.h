#pragma once
#include <string>

namespace zqk {

// Files of the host, named by 8-bit paths as the caller gives them (the ANSI
// code page on Windows, bytes on Linux). One implementation per platform.

// Reads a whole file. False when it cannot be opened or read, or is larger
// than a 32-bit length can describe.
bool ReadLocalFile(const std::string& Path, std::string& Contents);

// Creates or replaces a file with Contents. The data goes to a new file
// beside it first, which takes the old one's place only once it is complete:
// a failure leaves the old file as it was and no partial file behind.
bool ReplaceLocalFile(const std::string& Path, const std::string& Contents);

}  // namespace zqk
