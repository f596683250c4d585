#include "sim/sim_file_system.h"

#include <cstdlib>
#include <ctime>

namespace zqk::sim {

namespace {

std::vector<std::string> SplitPath(const std::string& path)
{
    std::vector<std::string> parts;
    std::string part;
    for (const char c : path + "/") {
        if (c != '/' && c != '\\') {
            part += c;
            continue;
        }
        if (part == "..") {
            if (!parts.empty())
                parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        part.clear();
    }
    return parts;
}

std::string DisplayPath(const std::string& path)
{
    std::string shown;
    for (const std::string& part : SplitPath(path))
        shown += "/" + part;
    return shown.empty() ? "/" : shown;
}

uint32_t HostPackedNow()
{
    return SimFileSystem::PackLocalTime(std::time(nullptr));
}

std::string EntryLine(const SimEntry& Entry)
{
    return Entry.Name + "\t" + std::to_string(Entry.Size) + "\t" + std::to_string(Entry.Stamp.Attributes) + "\t" +
           std::to_string(Entry.Stamp.Times[0]) + "\t" + std::to_string(Entry.Stamp.Times[1]) + "\t" +
           std::to_string(Entry.Stamp.Times[2]);
}

SimPath ParentPath(const SimPath& Path)
{
    return Path.empty() ? Path : SimPath(Path.begin(), Path.end() - 1);
}

// Whether Path is Ancestor or lies inside it, names compared as the store does.
bool IsWithin(const SimPath& Path, const SimPath& Ancestor, const NameLess& Names)
{
    if (Path.size() < Ancestor.size())
        return false;
    for (size_t i = 0; i < Ancestor.size(); ++i) {
        if (!Names.Same(Path[i], Ancestor[i]))
            return false;
    }
    return true;
}

const char* const kNoError = "0:No error";
// The answer of a device whose storage fails under it.
const char* const kDiskError = "1:Disk error";

bool ParseSize(const std::string& text, size_t& size)
{
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || text.size() > 10)
        return false;
    size = static_cast<size_t>(std::strtoull(text.c_str(), nullptr, 10));
    return true;
}

}  // namespace

uint32_t SimFileSystem::PackTime(int Year, int Month, int Day, int Hour, int Minute, int Second)
{
    return (static_cast<uint32_t>(Year - 1980) << 25) | (static_cast<uint32_t>(Month) << 21) |
           (static_cast<uint32_t>(Day) << 16) | (static_cast<uint32_t>(Hour) << 11) |
           (static_cast<uint32_t>(Minute) << 5) | static_cast<uint32_t>(Second / 2);
}

uint32_t SimFileSystem::PackLocalTime(std::time_t Time)
{
    std::tm local {};
#ifdef _WIN32
    localtime_s(&local, &Time);
#else
    localtime_r(&Time, &local);
#endif
    return PackTime(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
                    local.tm_sec);
}

SimFileSystem::SimFileSystem(SimDevice& Device, SimTerminal& Terminal)
    : PackedNow(HostPackedNow), device_(Device), terminal_(Terminal)
{
    terminal_.AddCommand("NFDIR", [this](const std::string& a) { ListDirectory(a); });
    terminal_.AddCommand("NFMKDIR", [this](const std::string& a) { MakeDirectory(a); });
    terminal_.AddCommand("NFWIPEDIR", [this](const std::string& a) { WipeDirectory(a); });
    terminal_.AddCommand("NFDEL", [this](const std::string& a) { DeleteFile(a); });
    terminal_.AddCommand("NFRENAME", [this](const std::string& a) { RenameEntry(a); });
    terminal_.AddCommand("NFTYPE", [this](const std::string& a) { TypeFile(a); });
    terminal_.AddCommand("NFWRITE", [this](const std::string& a) { WriteFile(a); });
    terminal_.AddCommand("LOAD", [this](const std::string& a) { LoadFirmware(a); });
}

// ---- the model ----

const SimNode* SimFileSystem::Find(const std::string& Path) const
{
    return tree_.Find(SplitPath(Path));
}

SimNode* SimFileSystem::Find(const std::string& Path)
{
    return tree_.Find(SplitPath(Path));
}

bool SimFileSystem::IsDir(const SimPath& Path)
{
    const std::optional<SimEntry> entry = store_->Look(Path);
    return entry && entry->IsDir;
}

bool SimFileSystem::MakeDir(const std::string& Path, std::optional<uint32_t> Time)
{
    return Changing([&] { return MakeDirHeld(SplitPath(Path), Time ? *Time : PackedNow()); }) == kNoError;
}

bool SimFileSystem::PutFile(const std::string& Path, const std::string& Data, uint8_t Attributes,
                            std::optional<uint32_t> Time)
{
    const uint32_t when = Time ? *Time : PackedNow();
    return Changing([&] { return WriteHeld(SplitPath(Path), Data, SimStamp {Attributes, {when, when, when}}); }) ==
           kNoError;
}

std::string SimFileSystem::Changing(const std::function<std::string()>& Run)
{
    const auto hold = store_->HoldFor(true);
    return hold ? Run() : kDiskError;
}

// A folder where the parent says, under a free name.
std::string SimFileSystem::MakeDirHeld(const SimPath& Dir, uint32_t Time)
{
    if (Dir.empty())
        return "6:Invalid name";
    if (!IsDir(ParentPath(Dir)))
        return "5:No path";
    if (store_->Look(Dir))
        return "8:Exist";
    return store_->MakeDir(Dir, Time) ? kNoError : kDiskError;
}

// A file made or replaced in an existing folder; a folder is not replaced.
std::string SimFileSystem::WriteHeld(const SimPath& File, const std::string& Data, const SimStamp& Stamp)
{
    if (File.empty() || !IsDir(ParentPath(File)) || IsDir(File))
        return "5:No path";
    if (garbledWrites_ && !Data.empty()) {
        std::string garbled = Data;
        garbled[0] = static_cast<char>(~garbled[0]);
        return store_->Write(File, garbled, Stamp) ? kNoError : kDiskError;
    }
    return store_->Write(File, Data, Stamp) ? kNoError : kDiskError;
}

void SimFileSystem::SetReadStall(size_t AfterBytes, uint32_t SilenceMs)
{
    readStallAfter_ = AfterBytes;
    readStallMs_ = SilenceMs;
}

void SimFileSystem::SetWriteBreakOff(size_t AfterBytes, std::string Text)
{
    writeBreakAfter_ = AfterBytes;
    writeBreakText_ = std::move(Text);
}

void SimFileSystem::SetLoadBreakOff(size_t AfterBytes)
{
    loadBreakAfter_ = AfterBytes;
}

void SimFileSystem::ClearFaults()
{
    answerDelayMs_ = 0;
    readStallAfter_ = writeBreakAfter_ = loadBreakAfter_ = SIZE_MAX;
}

// ---- the command language ----

bool SimFileSystem::QuotedNames() const
{
    const auto found = device_.Identity.Indexed.find(204);
    return found != device_.Identity.Indexed.end() && found->second.find(u".nfi.") != std::u16string::npos;
}

// The next name of a command's arguments: in double quotes when the device
// quotes names, else up to Terminator (or the end).
std::string SimFileSystem::TakeName(std::string& Arguments, char Terminator) const
{
    std::string name;
    size_t end = 0;
    if (QuotedNames() && !Arguments.empty() && Arguments[0] == '"') {
        const size_t close = Arguments.find('"', 1);
        name = Arguments.substr(1, close == std::string::npos ? std::string::npos : close - 1);
        end = close == std::string::npos ? Arguments.size() : close + 1;
    } else {
        end = Arguments.find(Terminator);
        if (end == std::string::npos)
            end = Arguments.size();
        name = Arguments.substr(0, end);
    }
    Arguments.erase(0, end);
    if (!Arguments.empty() && Arguments[0] == Terminator)
        Arguments.erase(0, 1);
    return name;
}

void SimFileSystem::Answer(const std::string& Text)
{
    terminal_.Print(Text, answerDelayMs_);
    terminal_.ShowPrompt();
}

void SimFileSystem::AnswerCode(const std::string& Code)
{
    Answer(Code + "\r\n");
}

void SimFileSystem::ListDirectory(std::string Arguments)
{
    if (!Arguments.empty() && Arguments[0] == '@')
        Arguments.erase(0, 1);
    const std::string path = TakeName(Arguments, '\0');
    std::vector<SimEntry> entries;
    bool listed = false;
    {
        const auto hold = store_->HoldFor(false);
        if (!hold) {
            AnswerCode(kDiskError);
            return;
        }
        listed = store_->List(SplitPath(path), entries);
    }
    if (!listed) {
        AnswerCode("5:No path");
        return;
    }
    std::string listing = "Directory of " + DisplayPath(path) + "\r\n";
    for (const SimEntry& entry : entries)
        listing += EntryLine(entry) + "\r\n";
    Answer(listing + "\r\n");
}

void SimFileSystem::MakeDirectory(std::string Arguments)
{
    const SimPath dir = SplitPath(TakeName(Arguments, '\0'));
    AnswerCode(Changing([&] { return MakeDirHeld(dir, PackedNow()); }));
}

std::string SimFileSystem::WipeDirectoryHeld(const SimPath& Dir)
{
    if (Dir.empty() || !IsDir(Dir))
        return "5:No path";  // the root is no folder that can go
    return store_->Remove(Dir) ? kNoError : kDiskError;
}

void SimFileSystem::WipeDirectory(std::string Arguments)
{
    const SimPath dir = SplitPath(TakeName(Arguments, '\0'));
    AnswerCode(Changing([&] { return WipeDirectoryHeld(dir); }));
}

std::string SimFileSystem::DeleteFileHeld(const SimPath& File)
{
    const std::optional<SimEntry> file = File.empty() ? std::nullopt : store_->Look(File);
    if (!file)
        return "4:No file";
    if (file->IsDir || (file->Stamp.Attributes & 0x01))
        return "7:Denied";
    return store_->Remove(File) ? kNoError : kDiskError;
}

void SimFileSystem::DeleteFile(std::string Arguments)
{
    const SimPath file = SplitPath(TakeName(Arguments, '\0'));
    AnswerCode(Changing([&] { return DeleteFileHeld(file); }));
}

std::string SimFileSystem::RenameHeld(const SimPath& From, const SimPath& To)
{
    if (From.empty() || !store_->Look(From))
        return "4:No file";
    if (To.empty() || !IsDir(ParentPath(To)))
        return "5:No path";
    if (store_->Look(To))
        return "8:Exist";
    if (IsWithin(ParentPath(To), From, store_->Names()))
        return "7:Denied";  // a directory cannot move into itself
    return store_->Move(From, To) ? kNoError : kDiskError;
}

void SimFileSystem::RenameEntry(std::string Arguments)
{
    const SimPath from = SplitPath(TakeName(Arguments, ' '));
    const SimPath to = SplitPath(TakeName(Arguments, '\0'));
    AnswerCode(Changing([&] { return RenameHeld(from, to); }));
}

void SimFileSystem::TypeFile(std::string Arguments)
{
    if (!Arguments.empty() && Arguments[0] == '@')
        Arguments.erase(0, 1);
    const SimPath file = SplitPath(TakeName(Arguments, '\0'));
    const auto hold = store_->HoldFor(false);
    if (!hold) {
        AnswerCode(kDiskError);
        return;
    }
    const bool sent = !file.empty() && store_->Read(file, [&](std::string_view data) { SendFile(file.back(), data); });
    if (!sent)
        AnswerCode("4:No file");
}

// NFTYPE's answer: the header line, the data (stalled where a test says) and
// the prompt.
void SimFileSystem::SendFile(const std::string& Name, std::string_view Data)
{
    terminal_.Print(Name + "\t" + std::to_string(Data.size()) + "\r\n", answerDelayMs_);
    if (readStallAfter_ >= Data.size()) {
        terminal_.Print(Data);
        terminal_.ShowPrompt();
        return;
    }
    terminal_.Print(Data.substr(0, readStallAfter_));
    if (readStallMs_ == 0)
        return;  // silent for good
    terminal_.Print(Data.substr(readStallAfter_), readStallMs_);
    terminal_.ShowPrompt();
}

// Takes Size bytes of data from the host. When BreakAfter comes first, the
// device prints BreakText there and ignores the host until its next escape.
void SimFileSystem::ReceiveData(size_t Size, size_t BreakAfter, const std::string& BreakText,
                                std::function<void(const std::string&)> Done)
{
    if (BreakAfter >= Size) {
        terminal_.ReceiveRaw(Size, std::move(Done));
        return;
    }
    terminal_.ReceiveRaw(BreakAfter, [this, BreakText](const std::string&) {
        terminal_.Print(BreakText);
        terminal_.IgnoreUntilEscape();
    });
}

void SimFileSystem::WriteFile(std::string Arguments)
{
    const SimPath file = SplitPath(TakeName(Arguments, '\t'));
    std::vector<std::string> fields;
    for (size_t start = 0; start <= Arguments.size();) {
        const size_t tab = Arguments.find('\t', start);
        fields.push_back(Arguments.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
        if (tab == std::string::npos)
            break;
        start = tab + 1;
    }
    size_t size = 0;
    const bool wellFormed = (fields.size() == 2 || fields.size() == 3) && fields.back() == "w" &&
                            ParseSize(fields[0], size);
    if (!wellFormed) {
        AnswerCode("9:Invalid parameter");
        return;
    }
    bool writable = false;
    {
        const auto hold = store_->HoldFor(false);
        writable = hold && !file.empty() && IsDir(ParentPath(file)) && !IsDir(file);
    }
    if (!writable) {
        AnswerCode("5:No path");
        return;
    }
    const uint32_t time = fields.size() == 3 ? static_cast<uint32_t>(std::strtoul(fields[1].c_str(), nullptr, 10))
                                             : PackedNow();
    terminal_.Print("Send file\r\n", answerDelayMs_);
    // Other programs may change the folder while the data comes, so the
    // file's place is checked again when it is stored.
    ReceiveData(size, writeBreakAfter_, writeBreakText_, [this, file, time](const std::string& data) {
        terminal_.PrintLine(Changing([&] { return WriteHeld(file, data, SimStamp {0x20, {time, time, PackedNow()}}); }));
        terminal_.ShowPrompt();
    });
}

void SimFileSystem::LoadFirmware(std::string Arguments)
{
    const size_t blank = Arguments.find(' ');
    size_t size = 0;
    if (blank == std::string::npos || !ParseSize(Arguments.substr(0, blank), size)) {
        AnswerCode("9:Invalid parameter");
        return;
    }
    const std::string name = Arguments.substr(blank + 1);
    terminal_.Print("Send file\r\n", answerDelayMs_);
    ReceiveData(size, loadBreakAfter_, "!", [this, name](const std::string& image) {
        FirmwareName = name;
        FirmwareImage = image;
        ++FirmwareLoads;
        terminal_.PrintLine("Firmware image " + name + " received");
        terminal_.ShowPrompt();
    });
}

}  // namespace zqk::sim
