// Whole local files, in binary.
#pragma once
#include <filesystem>
#include <string>

namespace zqk::rig {

// The file's bytes; empty when it cannot be read.
std::string ReadFile(const std::filesystem::path& Path);
// False when it cannot be read.
bool ReadFile(const std::filesystem::path& Path, std::string& Contents);
// Replaces the file's contents; false when not all of Data was written.
bool WriteFile(const std::filesystem::path& Path, const std::string& Data);

}  // namespace zqk::rig
