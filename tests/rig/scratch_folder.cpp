#include "rig/scratch_folder.h"

#include <iterator>

#include "rig/lock_names.h"

namespace zqk::rig {

namespace fs = std::filesystem;

ScratchFolder::ScratchFolder(const std::string& Purpose, const fs::path& Base)
    : path_(Base / ("zqk_" + Purpose + "_" + std::to_string(ProcessId())))
{
    fs::remove_all(path_);  // what a crashed process of the same ID left
    fs::create_directories(path_);
}

ScratchFolder::~ScratchFolder()
{
    Remove();
}

std::string ScratchFolder::Local(const std::string& Name) const
{
    return (path_ / Name).string();
}

size_t ScratchFolder::Entries() const
{
    std::error_code ec;
    const fs::directory_iterator entries(path_, ec);
    return ec ? 0 : static_cast<size_t>(std::distance(begin(entries), end(entries)));
}

void ScratchFolder::Remove()
{
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

}  // namespace zqk::rig
