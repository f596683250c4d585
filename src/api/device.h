#pragma once
#include <cstdint>
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

// What an open device is built on. The report device is chosen where
// devices are opened; the clock and the lock's name are for tests.
struct DeviceOptions {
    std::unique_ptr<ReportDevice> Device;  // the platform HID transport when null
    Clock* TimeSource = nullptr;
    std::string LockName = kDeviceLockName;
    // The classic functions' device also takes the system-wide lock.
    bool TakeClassicLock = true;
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

// The last file a handle read into memory for a caller whose buffer was too
// small, kept so that the call that brings a big enough one needs no second
// transfer.
class KeptRead {
public:
    void Keep(std::string Path, std::string Contents);
    // The contents kept for Path, which are given up; none for another path.
    std::optional<std::string> Take(const std::string& Path);

private:
    std::mutex guard_;
    std::string path_;
    std::optional<std::string> contents_;
};

// An open device: its link, terminal, file services, last listing and
// progress callback. The classic functions' device is one, made at load;
// each handle owns another.
class TzqkDevice {
public:
    explicit TzqkDevice(DeviceOptions Options);
    TzqkDevice(const TzqkDevice&) = delete;
    TzqkDevice& operator=(const TzqkDevice&) = delete;

    TzqComms Comms;
    TzqTerminal Terminal;
    TzqkFiles Files;
    // Lines of the last directory listing; parsed when an entry is asked for.
    DirList DirLines;
    TCallbackShim CallbackShim;
    TCommandLog CommandLog;
    KeptRead LastRead;

    // Takes a report device that was just opened, and learns from its string
    // 204 whether its firmware understands quoted names.
    void UseOpened(std::unique_ptr<ReportDevice> Opened);
    // The same for the report device held, once it is open.
    void LearnNameQuoting();
};

// Throws away terminal output that is still waiting from earlier, up to the
// end of the next prompt, before a command is sent.
void FlushBeforeCommand(TzqTerminal& Terminal);

// Nothing came: a device that is not open, told apart from one that was
// silent (TimeoutText says for how long or for what).
void NoteSilenceOf(TzqkDevice& Dev, const std::string& TimeoutText);

}  // namespace zqk
