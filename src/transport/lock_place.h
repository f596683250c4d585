#pragma once
#include <string>

namespace zqk {

// Where a device's lock is kept where locks are files' (Linux; Windows names
// its locks and ignores this). Both empty: a file named after the lock in
// /dev/shm stands in (devices of tests).
struct LockPlace {
    // The device's node, locked but never written: its lock needs the node
    // opened for reading and writing, as talking to the device does, so a
    // user who may not use the device cannot take or hold it.
    std::string Node;
    // Or a folder of the device's own, whose file ".zqk-lock" is the lock and
    // holds the state beside it (a simulated device's).
    std::string Folder;

    bool operator==(const LockPlace& Other) const { return Node == Other.Node && Folder == Other.Folder; }
};

}  // namespace zqk
