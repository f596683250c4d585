#pragma once
#include <string>

#include "sim/sim_file_system.h"

namespace zqk::sim {

// Keeps the simulated device's file system in a folder of the host, so that
// successive processes see each other's changes: entries are files and
// folders there, and their attribute bytes and time stamps go to an index
// file beside them. A name that a host folder cannot hold as it is (one
// holding a separator, a control byte or a character Windows refuses, or
// ending in a dot or blank) is kept with each such byte, and every "%",
// written as %XX.
class SimFolder {
public:
    static const char* const kIndexName;

    static std::string HostName(const std::string& DeviceName);
    static std::string DeviceName(const std::string& HostName);

    explicit SimFolder(std::string Folder) : folder_(std::move(Folder)) {}

    // Replaces the file system's contents with the folder's. A folder that
    // does not exist yet is created and seeded with a small demo tree.
    // False when the folder cannot be read or created.
    bool Load(SimFileSystem& Files);
    // Mirrors the file system into the folder. False when it cannot be written.
    bool Save(const SimFileSystem& Files) const;

    static void SeedDemoTree(SimFileSystem& Files);

private:
    std::string folder_;
};

}  // namespace zqk::sim
