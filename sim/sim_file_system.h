#pragma once
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim/sim_device.h"
#include "sim/sim_store.h"
#include "sim/sim_terminal.h"
#include "sim/sim_tree.h"

namespace zqk::sim {

// The device's file system and its NF commands on the terminal:
//   NFDIR @path              "Directory of ..." header, tab-separated entries, empty line
//   NFMKDIR / NFWIPEDIR / NFDEL path, NFRENAME old new
//                            "0:No error" or another "code:text" answer
//   NFTYPE @path             header "name<TAB>size", then the raw bytes
//   NFWRITE path<TAB>size[<TAB>packed time]<TAB>w
//                            "Send file", then size raw bytes from the host
//   LOAD size name           "Send file", then the firmware image
// Names are in double quotes when the device says so in string 204
// (".nfi."), otherwise bare words. Each command looks at and changes its
// store with the store held, so that it acts on what it found; a store that
// fails under it is answered "1:Disk error".
class SimFileSystem {
public:
    SimFileSystem(SimDevice& Device, SimTerminal& Terminal);

    // The files are kept in Store (a host folder, say; it must outlive this
    // object) instead of the tree in memory.
    void UseStore(SimStore& Store) { store_ = &Store; }
    SimStore& Store() { return *store_; }

    // The tree in memory, which holds the files unless UseStore chose
    // another store. Paths use "/" or "\"; "" and "/" are the root.
    SimTree& Tree() { return tree_; }
    SimNode& Root() { return tree_.Root(); }
    const SimNode& Root() const { return tree_.Root(); }
    const SimNode* Find(const std::string& Path) const;
    SimNode* Find(const std::string& Path);
    // Names that differ only in case name different entries in the tree
    // (default: the same one, as on FAT). Empties the tree.
    void SetCaseSensitiveNames(bool CaseSensitive) { tree_.SetCaseSensitiveNames(CaseSensitive); }

    // In the store in use, as the device's commands make them: stamped now
    // unless Time says when. False where the command would fail.
    bool MakeDir(const std::string& Path, std::optional<uint32_t> Time = std::nullopt);
    bool PutFile(const std::string& Path, const std::string& Data, uint8_t Attributes = 0x20,
                 std::optional<uint32_t> Time = std::nullopt);

    // The device clock as a DOS packed date-time; the host's local time
    // unless a test sets it.
    std::function<uint32_t()> PackedNow;

    // The last firmware image loaded and its name.
    std::string FirmwareName;
    std::string FirmwareImage;
    int32_t FirmwareLoads = 0;

    // ---- faults on demand ----
    // Every answer comes after this much silence.
    void SetAnswerDelay(uint32_t Ms) { answerDelayMs_ = Ms; }
    // A flash that keeps other bytes than it was sent: each file written is
    // stored with its first byte inverted, for tests of read-back checks.
    void SetGarbledWrites(bool Garbled) { garbledWrites_ = Garbled; }
    // NFTYPE sends AfterBytes of the data, then falls silent for SilenceMs
    // (0: for good) before the rest.
    void SetReadStall(size_t AfterBytes, uint32_t SilenceMs);
    // NFWRITE prints Text once AfterBytes of data have come, and drops the rest.
    void SetWriteBreakOff(size_t AfterBytes, std::string Text);
    // LOAD prints one byte once AfterBytes of the image have come.
    void SetLoadBreakOff(size_t AfterBytes);
    void ClearFaults();

    static uint32_t PackTime(int Year, int Month, int Day, int Hour, int Minute, int Second);
    // A host time in the host's local time, as the device keeps times.
    static uint32_t PackLocalTime(std::time_t Time);

private:
    bool QuotedNames() const;
    std::string TakeName(std::string& Arguments, char Terminator) const;
    void Answer(const std::string& Text);
    void AnswerCode(const std::string& Code);
    // Run's answer code, found with the store held for changing (a failing
    // disk's when it cannot be held).
    std::string Changing(const std::function<std::string()>& Run);
    // With the store held: whether Path is a folder, and each command's
    // answer code.
    bool IsDir(const SimPath& Path);
    std::string MakeDirHeld(const SimPath& Dir, uint32_t Time);
    std::string WipeDirectoryHeld(const SimPath& Dir);
    std::string DeleteFileHeld(const SimPath& File);
    std::string RenameHeld(const SimPath& From, const SimPath& To);
    std::string WriteHeld(const SimPath& File, const std::string& Data, const SimStamp& Stamp);
    void SendFile(const std::string& Name, std::string_view Data);

    void ListDirectory(std::string Arguments);
    void MakeDirectory(std::string Arguments);
    void WipeDirectory(std::string Arguments);
    void DeleteFile(std::string Arguments);
    void RenameEntry(std::string Arguments);
    void TypeFile(std::string Arguments);
    void WriteFile(std::string Arguments);
    void LoadFirmware(std::string Arguments);
    void ReceiveData(size_t Size, size_t BreakAfter, const std::string& BreakText,
                     std::function<void(const std::string&)> Done);

    SimDevice& device_;
    SimTerminal& terminal_;
    SimTree tree_;
    SimStore* store_ = &tree_;
    uint32_t answerDelayMs_ = 0;
    bool garbledWrites_ = false;
    size_t readStallAfter_ = SIZE_MAX;
    uint32_t readStallMs_ = 0;
    size_t writeBreakAfter_ = SIZE_MAX;
    std::string writeBreakText_;
    size_t loadBreakAfter_ = SIZE_MAX;
};

}  // namespace zqk::sim
