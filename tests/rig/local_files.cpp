#include "rig/local_files.h"

#include <fstream>
#include <iterator>

namespace zqk::rig {

std::string ReadFile(const std::filesystem::path& Path)
{
    std::string contents;
    ReadFile(Path, contents);
    return contents;
}

bool ReadFile(const std::filesystem::path& Path, std::string& Contents)
{
    std::ifstream in(Path, std::ios::binary);
    if (!in)
        return false;
    Contents.assign(std::istreambuf_iterator<char>(in), {});
    return true;
}

bool WriteFile(const std::filesystem::path& Path, const std::string& Data)
{
    std::ofstream out(Path, std::ios::binary | std::ios::trunc);
    out.write(Data.data(), static_cast<std::streamsize>(Data.size()));
    return static_cast<bool>(out);
}

}  // namespace zqk::rig
