// A folder of local files for one test, fuzz run or benchmark.
#pragma once
#include <cstddef>
#include <filesystem>
#include <string>

namespace zqk::rig {

// Made empty as "zqk_PURPOSE_PID" below Base (the temporary folder unless
// given), removed with all it holds when the object ends or by Remove. The
// process ID in the name keeps processes running side by side apart.
class ScratchFolder {
public:
    explicit ScratchFolder(const std::string& Purpose,
                           const std::filesystem::path& Base = std::filesystem::temp_directory_path());
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    const std::filesystem::path& Path() const { return path_; }
    // A file's path in the folder, as the exports take it.
    std::string Local(const std::string& Name) const;
    // How many entries the folder holds (an operation must leave no stray file).
    size_t Entries() const;
    void Remove();

private:
    std::filesystem::path path_;
};

}  // namespace zqk::rig
