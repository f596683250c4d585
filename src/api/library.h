#pragma once
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "api/callback_shim.h"
#include "files/files.h"
#include "link/comms.h"
#include "terminal/terminal.h"

namespace zqk {

// What the process-wide objects are built on. The defaults are the
// product's: the platform HID device, the system clock and the device lock's
// real name. Tests and the tool's simulated device give their own.
struct LibraryOptions {
    std::unique_ptr<ReportDevice> Device;
    Clock* TimeSource = nullptr;
    std::string LockName = kDeviceLockName;
};

// Lines of the last directory listing. A listing replaces them while other
// threads may be reading entries, which take no device lock.
class DirList {
public:
    std::vector<std::string> Lines() const;
    void Replace(std::vector<std::string> NewLines);
    std::optional<std::string> Line(int32_t Index) const;

private:
    mutable std::mutex guard_;
    std::vector<std::string> lines_;
};

// The process-wide objects, created in this order when the library is loaded
// and shared by every caller in the process.
class Library {
public:
    explicit Library(LibraryOptions Options);

    TzqComms Comms;
    TzqTerminal Terminal;
    TzqkFiles Files;
    // Lines of the last directory listing; parsed when an entry is asked for.
    DirList DirLines;
    TCallbackShim CallbackShim;
};

// Throws away terminal output that is still waiting from earlier, up to the
// end of the next prompt, before a command is sent.
void FlushBeforeCommand(TzqTerminal& Terminal);

// Library start-up: binds the platform's HID access, then creates the
// process-wide objects. False when the HID access cannot be had ("Could not
// load HID"); the library is then unusable. Repeated calls do nothing.
bool StartLibrary();

// The process-wide objects; null before start-up and after it failed.
Library* TheLibrary();

// Replaces the process-wide objects, for tests and the command-line tool's
// simulated device. Only while no export is running.
void RestartLibrary(LibraryOptions Options);

}  // namespace zqk
