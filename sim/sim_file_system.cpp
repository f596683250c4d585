#include "sim/sim_file_system.h"

#include <cctype>
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
    const std::time_t now = std::time(nullptr);
    std::tm local {};
#ifdef _WIN32
    localtime_s(&local, &now);
#else
    localtime_r(&now, &local);
#endif
    return SimFileSystem::PackTime(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                                   local.tm_min, local.tm_sec);
}

std::string EntryLine(const std::string& name, const SimNode& node)
{
    return name + "\t" + std::to_string(node.IsDir ? 0 : node.Data.size()) + "\t" +
           std::to_string(node.Attributes) + "\t" + std::to_string(node.Times[0]) + "\t" +
           std::to_string(node.Times[1]) + "\t" + std::to_string(node.Times[2]);
}

bool ParseSize(const std::string& text, size_t& size)
{
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || text.size() > 10)
        return false;
    size = static_cast<size_t>(std::strtoull(text.c_str(), nullptr, 10));
    return true;
}

}  // namespace

bool NameLess::operator()(const std::string& a, const std::string& b) const
{
    if (CaseSensitive)
        return a < b;
    const size_t n = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < n; ++i) {
        const int ca = std::tolower(static_cast<unsigned char>(a[i]));
        const int cb = std::tolower(static_cast<unsigned char>(b[i]));
        if (ca != cb)
            return ca < cb;
    }
    return a.size() < b.size();
}

SimNode& ChildNamed(SimNode& Parent, const std::string& Name)
{
    const auto [child, added] = Parent.Children.try_emplace(Name);
    if (added)
        child->second.Children = SimChildren(Parent.Children.key_comp());
    return child->second;
}

uint32_t SimFileSystem::PackTime(int Year, int Month, int Day, int Hour, int Minute, int Second)
{
    return (static_cast<uint32_t>(Year - 1980) << 25) | (static_cast<uint32_t>(Month) << 21) |
           (static_cast<uint32_t>(Day) << 16) | (static_cast<uint32_t>(Hour) << 11) |
           (static_cast<uint32_t>(Minute) << 5) | static_cast<uint32_t>(Second / 2);
}

SimFileSystem::SimFileSystem(SimDevice& Device, SimTerminal& Terminal)
    : PackedNow(HostPackedNow), device_(Device), terminal_(Terminal)
{
    root_.IsDir = true;
    root_.Attributes = 0x10;
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

void SimFileSystem::SetCaseSensitiveNames(bool CaseSensitive)
{
    root_.Children = SimChildren(NameLess {CaseSensitive});
}

const SimNode* SimFileSystem::Find(const std::string& Path) const
{
    const SimNode* node = &root_;
    for (const std::string& part : SplitPath(Path)) {
        if (!node->IsDir)
            return nullptr;
        const auto child = node->Children.find(part);
        if (child == node->Children.end())
            return nullptr;
        node = &child->second;
    }
    return node;
}

SimNode* SimFileSystem::Find(const std::string& Path)
{
    return const_cast<SimNode*>(static_cast<const SimFileSystem*>(this)->Find(Path));
}

SimNode* SimFileSystem::ParentOf(const std::string& Path, std::string& Leaf)
{
    std::vector<std::string> parts = SplitPath(Path);
    if (parts.empty())
        return nullptr;
    Leaf = parts.back();
    parts.pop_back();
    std::string parentPath;
    for (const std::string& part : parts)
        parentPath += "/" + part;
    SimNode* parent = Find(parentPath);
    return parent && parent->IsDir ? parent : nullptr;
}

bool SimFileSystem::Contains(const SimNode& Tree, const SimNode* Node)
{
    if (&Tree == Node)
        return true;
    for (const auto& child : Tree.Children) {
        if (Contains(child.second, Node))
            return true;
    }
    return false;
}

SimNode* SimFileSystem::ChildOf(SimNode* Parent, const std::string& Name)
{
    if (!Parent)
        return nullptr;
    const auto child = Parent->Children.find(Name);
    return child == Parent->Children.end() ? nullptr : &child->second;
}

bool SimFileSystem::MakeDir(const std::string& Path)
{
    std::string leaf;
    SimNode* parent = ParentOf(Path, leaf);
    if (!parent || parent->Children.count(leaf))
        return false;
    SimNode& dir = ChildNamed(*parent, leaf);
    dir.IsDir = true;
    dir.Attributes = 0x10;
    dir.Times[0] = dir.Times[1] = dir.Times[2] = PackedNow();
    return true;
}

bool SimFileSystem::PutFile(const std::string& Path, const std::string& Data, uint8_t Attributes)
{
    std::string leaf;
    SimNode* parent = ParentOf(Path, leaf);
    if (!parent)
        return false;
    SimNode& file = ChildNamed(*parent, leaf);
    if (file.IsDir)
        return false;
    file.Data = Data;
    file.Attributes = Attributes;
    file.Times[0] = file.Times[1] = file.Times[2] = PackedNow();
    return true;
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

void SimFileSystem::Changed()
{
    if (OnChange)
        OnChange();
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
    const SimNode* dir = Find(path);
    if (!dir || !dir->IsDir) {
        AnswerCode("5:No path");
        return;
    }
    std::string listing = "Directory of " + DisplayPath(path) + "\r\n";
    for (const auto& [name, node] : dir->Children)
        listing += EntryLine(name, node) + "\r\n";
    Answer(listing + "\r\n");
}

void SimFileSystem::MakeDirectory(std::string Arguments)
{
    const std::string path = TakeName(Arguments, '\0');
    std::string leaf;
    SimNode* parent = ParentOf(path, leaf);
    if (!parent) {
        AnswerCode(SplitPath(path).empty() ? "6:Invalid name" : "5:No path");
    } else if (parent->Children.count(leaf)) {
        AnswerCode("8:Exist");
    } else {
        MakeDir(path);
        Changed();
        AnswerCode("0:No error");
    }
}

void SimFileSystem::WipeDirectory(std::string Arguments)
{
    const std::string path = TakeName(Arguments, '\0');
    std::string leaf;
    SimNode* parent = ParentOf(path, leaf);
    const SimNode* dir = ChildOf(parent, leaf);
    if (!dir || !dir->IsDir) {
        AnswerCode("5:No path");
        return;
    }
    parent->Children.erase(leaf);
    Changed();
    AnswerCode("0:No error");
}

void SimFileSystem::DeleteFile(std::string Arguments)
{
    const std::string path = TakeName(Arguments, '\0');
    std::string leaf;
    SimNode* parent = ParentOf(path, leaf);
    const SimNode* file = ChildOf(parent, leaf);
    if (!file) {
        AnswerCode("4:No file");
    } else if (file->IsDir || (file->Attributes & 0x01)) {
        AnswerCode("7:Denied");
    } else {
        parent->Children.erase(leaf);
        Changed();
        AnswerCode("0:No error");
    }
}

void SimFileSystem::RenameEntry(std::string Arguments)
{
    const std::string from = TakeName(Arguments, ' ');
    const std::string to = TakeName(Arguments, '\0');
    std::string fromLeaf, toLeaf;
    SimNode* fromParent = ParentOf(from, fromLeaf);
    SimNode* toParent = ParentOf(to, toLeaf);
    SimNode* entry = ChildOf(fromParent, fromLeaf);
    if (!entry) {
        AnswerCode("4:No file");
    } else if (!toParent) {
        AnswerCode("5:No path");
    } else if (toParent->Children.count(toLeaf)) {
        AnswerCode("8:Exist");
    } else if (Contains(*entry, toParent)) {
        AnswerCode("7:Denied");  // a directory cannot move into itself
    } else {
        SimNode moved = std::move(*entry);
        fromParent->Children.erase(fromLeaf);
        toParent->Children.emplace(toLeaf, std::move(moved));
        Changed();
        AnswerCode("0:No error");
    }
}

void SimFileSystem::TypeFile(std::string Arguments)
{
    if (!Arguments.empty() && Arguments[0] == '@')
        Arguments.erase(0, 1);
    const std::string path = TakeName(Arguments, '\0');
    const SimNode* file = Find(path);
    if (!file || file->IsDir) {
        AnswerCode("4:No file");
        return;
    }
    const std::vector<std::string> parts = SplitPath(path);
    terminal_.Print(parts.back() + "\t" + std::to_string(file->Data.size()) + "\r\n", answerDelayMs_);
    if (readStallAfter_ >= file->Data.size()) {
        terminal_.Print(file->Data);
        terminal_.ShowPrompt();
        return;
    }
    terminal_.Print(file->Data.substr(0, readStallAfter_));
    if (readStallMs_ == 0)
        return;  // silent for good
    terminal_.Print(file->Data.substr(readStallAfter_), readStallMs_);
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
    const std::string path = TakeName(Arguments, '\t');
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
    std::string leaf;
    SimNode* parent = ParentOf(path, leaf);
    if (!wellFormed) {
        AnswerCode("9:Invalid parameter");
        return;
    }
    const SimNode* existing = ChildOf(parent, leaf);
    if (!parent || (existing && existing->IsDir)) {
        AnswerCode("5:No path");
        return;
    }
    const uint32_t time = fields.size() == 3 ? static_cast<uint32_t>(std::strtoul(fields[1].c_str(), nullptr, 10))
                                             : PackedNow();
    terminal_.Print("Send file\r\n", answerDelayMs_);
    ReceiveData(size, writeBreakAfter_, writeBreakText_, [this, path, time](const std::string& data) {
        std::string leafName;
        SimNode* dir = ParentOf(path, leafName);
        SimNode& file = ChildNamed(*dir, leafName);
        file.Data = data;
        file.Attributes = 0x20;
        file.Times[0] = file.Times[1] = time;
        file.Times[2] = PackedNow();
        Changed();
        terminal_.PrintLine("0:No error");
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
