#include "sim/sim_tree.h"

#include <algorithm>
#include <cctype>

namespace zqk::sim {

namespace {

SimEntry EntryOf(const std::string& Name, const SimNode& Node)
{
    SimEntry entry;
    entry.Name = Name;
    entry.IsDir = Node.IsDir;
    entry.Size = Node.IsDir ? 0 : Node.Data.size();
    entry.Stamp.Attributes = Node.Attributes;
    std::copy(Node.Times, Node.Times + 3, entry.Stamp.Times);
    return entry;
}

void SetStamp(SimNode& Node, const SimStamp& Stamp)
{
    Node.Attributes = Stamp.Attributes;
    std::copy(Stamp.Times, Stamp.Times + 3, Node.Times);
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

SimTree::SimTree()
{
    root_.IsDir = true;
    root_.Attributes = 0x10;
}

void SimTree::SetCaseSensitiveNames(bool CaseSensitive)
{
    root_.Children = SimChildren(NameLess {CaseSensitive});
}

const SimNode* SimTree::Find(const SimPath& Path) const
{
    const SimNode* node = &root_;
    for (const std::string& name : Path) {
        if (!node->IsDir)
            return nullptr;
        const auto child = node->Children.find(name);
        if (child == node->Children.end())
            return nullptr;
        node = &child->second;
    }
    return node;
}

SimNode* SimTree::Find(const SimPath& Path)
{
    return const_cast<SimNode*>(static_cast<const SimTree*>(this)->Find(Path));
}

SimNode* SimTree::ParentOf(const SimPath& Path)
{
    if (Path.empty())
        return nullptr;
    SimNode* parent = Find(SimPath(Path.begin(), Path.end() - 1));
    return parent && parent->IsDir ? parent : nullptr;
}

// Nothing but this program's own calls reaches the tree.
std::unique_ptr<SimStore::Hold> SimTree::HoldFor(bool)
{
    return std::make_unique<Hold>();
}

std::optional<SimEntry> SimTree::Look(const SimPath& Path)
{
    const SimNode* node = Find(Path);
    if (!node)
        return std::nullopt;
    if (Path.empty())
        return EntryOf("", *node);
    return EntryOf(ParentOf(Path)->Children.find(Path.back())->first, *node);
}

bool SimTree::List(const SimPath& Dir, std::vector<SimEntry>& Entries)
{
    const SimNode* dir = Find(Dir);
    if (!dir || !dir->IsDir)
        return false;
    Entries.clear();
    Entries.reserve(dir->Children.size());
    for (const auto& [name, node] : dir->Children)
        Entries.push_back(EntryOf(name, node));
    return true;
}

bool SimTree::Read(const SimPath& File, const std::function<void(std::string_view)>& Use)
{
    const SimNode* file = Find(File);
    if (!file || file->IsDir)
        return false;
    Use(file->Data);
    return true;
}

bool SimTree::MakeDir(const SimPath& Dir, uint32_t Time)
{
    SimNode* parent = ParentOf(Dir);
    if (!parent)
        return false;
    SimNode& dir = ChildNamed(*parent, Dir.back());
    dir.IsDir = true;
    SetStamp(dir, SimStamp {0x10, {Time, Time, Time}});
    return true;
}

bool SimTree::Remove(const SimPath& Path)
{
    SimNode* parent = ParentOf(Path);
    return parent && parent->Children.erase(Path.back()) == 1;
}

bool SimTree::Move(const SimPath& From, const SimPath& To)
{
    SimNode* fromParent = ParentOf(From);
    SimNode* toParent = ParentOf(To);
    if (!fromParent || !toParent)
        return false;
    const auto entry = fromParent->Children.find(From.back());
    if (entry == fromParent->Children.end())
        return false;
    SimNode moved = std::move(entry->second);
    fromParent->Children.erase(entry);
    toParent->Children.emplace(To.back(), std::move(moved));
    return true;
}

bool SimTree::Write(const SimPath& File, const std::string& Data, const SimStamp& Stamp)
{
    SimNode* parent = ParentOf(File);
    if (!parent)
        return false;
    SimNode& file = ChildNamed(*parent, File.back());  // an existing entry keeps its name
    if (file.IsDir)
        return false;
    file.Data = Data;
    SetStamp(file, Stamp);
    return true;
}

}  // namespace zqk::sim
