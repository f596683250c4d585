#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "sim/sim_device.h"
#include "sim/sim_terminal.h"

namespace zqk::sim {

// Names compare without regard to ASCII case, as on a FAT volume (the case
// given at creation is kept), unless the file system is made case-sensitive.
struct NameLess {
    bool CaseSensitive = false;
    bool operator()(const std::string& a, const std::string& b) const;
};

struct SimNode;
using SimChildren = std::map<std::string, SimNode, NameLess>;

struct SimNode {
    bool IsDir = false;
    std::string Data;
    uint8_t Attributes = 0x20;
    uint32_t Times[3] = {0, 0, 0};  // DOS packed: modified, created, accessed
    SimChildren Children;
};

// The child of that name, made when missing; its children compare names as
// its parent's do.
SimNode& ChildNamed(SimNode& Parent, const std::string& Name);

// The device's file system and its NF commands on the terminal:
//   NFDIR @path              "Directory of ..." header, tab-separated entries, empty line
//   NFMKDIR / NFWIPEDIR / NFDEL path, NFRENAME old new
//                            "0:No error" or another "code:text" answer
//   NFTYPE @path             header "name<TAB>size", then the raw bytes
//   NFWRITE path<TAB>size[<TAB>packed time]<TAB>w
//                            "Send file", then size raw bytes from the host
//   LOAD size name           "Send file", then the firmware image
// Names are in double quotes when the device says so in string 204
// (".nfi."), otherwise bare words.
class SimFileSystem {
public:
    SimFileSystem(SimDevice& Device, SimTerminal& Terminal);

    // Names that differ only in case name different entries (default: the
    // same one, as on FAT). Empties the file system.
    void SetCaseSensitiveNames(bool CaseSensitive);

    SimNode& Root() { return root_; }
    const SimNode& Root() const { return root_; }
    // Paths use "/" or "\"; "" and "/" are the root.
    const SimNode* Find(const std::string& Path) const;
    SimNode* Find(const std::string& Path);
    bool MakeDir(const std::string& Path);
    bool PutFile(const std::string& Path, const std::string& Data, uint8_t Attributes = 0x20);

    // The device clock as a DOS packed date-time; the host's local time
    // unless a test sets it.
    std::function<uint32_t()> PackedNow;
    // Called after every change, for keeping the file system elsewhere.
    std::function<void()> OnChange;

    // The last firmware image loaded and its name.
    std::string FirmwareName;
    std::string FirmwareImage;
    int32_t FirmwareLoads = 0;

    // ---- faults on demand ----
    // Every answer comes after this much silence.
    void SetAnswerDelay(uint32_t Ms) { answerDelayMs_ = Ms; }
    // NFTYPE sends AfterBytes of the data, then falls silent for SilenceMs
    // (0: for good) before the rest.
    void SetReadStall(size_t AfterBytes, uint32_t SilenceMs);
    // NFWRITE prints Text once AfterBytes of data have come, and drops the rest.
    void SetWriteBreakOff(size_t AfterBytes, std::string Text);
    // LOAD prints one byte once AfterBytes of the image have come.
    void SetLoadBreakOff(size_t AfterBytes);
    void ClearFaults();

    static uint32_t PackTime(int Year, int Month, int Day, int Hour, int Minute, int Second);

private:
    bool QuotedNames() const;
    std::string TakeName(std::string& Arguments, char Terminator) const;
    void Answer(const std::string& Text);
    void AnswerCode(const std::string& Code);
    void Changed();
    SimNode* ParentOf(const std::string& Path, std::string& Leaf);
    static SimNode* ChildOf(SimNode* Parent, const std::string& Name);
    static bool Contains(const SimNode& Tree, const SimNode* Node);

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
    SimNode root_;
    uint32_t answerDelayMs_ = 0;
    size_t readStallAfter_ = SIZE_MAX;
    uint32_t readStallMs_ = 0;
    size_t writeBreakAfter_ = SIZE_MAX;
    std::string writeBreakText_;
    size_t loadBreakAfter_ = SIZE_MAX;
};

}  // namespace zqk::sim
