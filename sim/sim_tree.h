#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "sim/sim_store.h"

namespace zqk::sim {

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

// The device's files in memory, where no other program sees them: what the
// simulated device keeps unless it is given a host folder.
class SimTree final : public SimStore {
public:
    SimTree();

    // Names that differ only in case name different entries (default: the
    // same one, as on FAT). Empties the tree.
    void SetCaseSensitiveNames(bool CaseSensitive);

    SimNode& Root() { return root_; }
    const SimNode& Root() const { return root_; }
    const SimNode* Find(const SimPath& Path) const;
    SimNode* Find(const SimPath& Path);

    std::unique_ptr<Hold> HoldFor(bool Changing) override;
    NameLess Names() const override { return root_.Children.key_comp(); }
    std::optional<SimEntry> Look(const SimPath& Path) override;
    bool List(const SimPath& Dir, std::vector<SimEntry>& Entries) override;
    bool Read(const SimPath& File, const std::function<void(std::string_view)>& Use) override;
    bool MakeDir(const SimPath& Dir, uint32_t Time) override;
    bool Remove(const SimPath& Path) override;
    bool Move(const SimPath& From, const SimPath& To) override;
    bool Write(const SimPath& File, const std::string& Data, const SimStamp& Stamp) override;

private:
    SimNode* ParentOf(const SimPath& Path);

    SimNode root_;
};

}  // namespace zqk::sim
