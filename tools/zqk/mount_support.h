#pragma once
// What the parts of zqk mount share: its limits and waits, its messages,
// the device's times and names as the mount shows them, and the mount's
// paths (FUSE's: "/" only parts them).
#include <sys/types.h>

#include <chrono>
#include <climits>
#include <cstdint>
#include <ctime>
#include <string>

#include "device_path.h"
#include "tool.h"

namespace zqktool::mounting {

constexpr std::chrono::seconds kListingLife {2};
constexpr size_t kCachedBytes = 64 << 20;  // contents of closed files kept for reading again
constexpr int64_t kMaxFileSize = INT32_MAX;
constexpr int32_t kFirstDeviceTime = 315532800;  // 1980-01-01, the first date the device can keep
constexpr uint8_t kDirectoryBit = 0x10;
constexpr uint8_t kReadOnlyBit = 0x01;
constexpr uint8_t kArchiveBit = 0x20;  // what a file written gets
// What another program's hold on the device costs: a close (flush) or fsync
// waits this long for the device before it fails with EBUSY, the contents
// kept; those are sent again this often, and at unmount the mount waits this
// long for the device before it leaves them in a local folder.
constexpr std::chrono::seconds kCloseWait {5};
constexpr std::chrono::seconds kResendEvery {2};
constexpr std::chrono::seconds kUnmountWait {60};
// Between tries that found the device held (each waits a second for it).
constexpr std::chrono::milliseconds kBusyPause {100};

// Under -b the messages go to syslog as well: standard error is then
// /dev/null unless it is a file (Detach).
extern bool messagesToSyslog;

// One line on standard error, and to syslog under -b.
void Say(const std::string& Text);

// ---- times: the device keeps its local time, given as Unix seconds of it ----

time_t HostTime(int64_t DeviceTime);
int64_t DeviceTime(time_t HostTime);
// The device keeps times to two seconds.
time_t KeptTime(time_t Time);

// ---- paths ----

inline std::string ParentOf(const std::string& Path)
{
    return DeviceParent(Path, kMountSeparators);
}

inline std::string LeafOf(const std::string& Path)
{
    return DeviceLeaf(Path, kMountSeparators);
}

inline bool IsUnder(const std::string& Path, const std::string& Dir)
{
    return IsBelow(Path, Dir, kMountSeparators);
}

// Names from the device that a local folder cannot show are hidden.
bool IsLocalName(const std::string& Name);

// ---- names as the device matches and stores them ----

// Paths and names are kept under their Key: two with one key are one entry
// to the device. StoredKey is the key of the name the device keeps when it
// is sent a name (firmware without quoted names keeps blanks as "_").
struct DeviceNames {
    bool caseBlind = true;
    bool quoted = true;

    std::string Key(const std::string& PathOrName) const { return caseBlind ? FoldedCase(PathOrName) : PathOrName; }
    std::string StoredKey(const std::string& Name) const { return Key(StoredName(Name, quoted)); }
};

// Whether the chosen device tells case apart. The device has no word for
// it: a simulated device's path says so (names=case, the last names= option
// counting, as the library reads it); units are taken to match names as FAT
// does.
bool TellsCaseApart(const std::string& Chosen);

// The flash size that the device's string 210 states ("flash 64M": K, M and
// G count in powers of 1024); 0 when it states none.
uint64_t StatedFlashBytes(const std::string& Text);

struct Entry {
    std::string name;  // as the mount shows it
    int32_t size = 0;
    int32_t attributes = 0;
    int64_t time = 0;  // DeviceSeconds
    bool IsDir() const { return attributes & kDirectoryBit; }
    bool ReadOnly() const { return attributes & kReadOnlyBit; }
};

}  // namespace zqktool::mounting
