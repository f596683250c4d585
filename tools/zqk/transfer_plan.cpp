// Planning a transfer: what folders to make, files to copy and entries to
// delete, from the device down (get, pull) and from local files up (put,
// push).
#include "transfer.h"

#include <algorithm>
#include <cstdlib>

namespace zqktool::transfer {

namespace {


constexpr int kDeepest = 64;  // folder levels followed; a device that lies goes no deeper
constexpr int32_t kDefaultModifyWindowMs = 2000;

// A mirror's file is up to date when its size is the same and its time is
// (as the device keeps it, and within --modify-window: a time zone's or
// summer time's change moves every local time as the device reads it).
bool UpToDate(const Job& job, const LocalStat& local, const Entry& device)
{
    if (local.size != device.size)
        return false;
    if (!KnownDeviceTime(device.time))
        return true;
    const int32_t windowMs = job.Opts().modifyWindowMs < 0 ? kDefaultModifyWindowMs : job.Opts().modifyWindowMs;
    const int64_t localTime = DeviceTimeOf(local.modified);
    const int64_t apart = localTime - localTime % 2 - device.time;  // in the device's steps of 2 s
    return SameDeviceTime(localTime, device.time) || std::abs(apart) * 1000 <= windowMs;
}

}  // namespace

bool KnownDeviceTime(int64_t deviceTime)
{
    constexpr int64_t kNoDeviceTime = 2085805696;  // zqkGetDirEntry's time of an entry without a date
    return deviceTime != kNoDeviceTime;
}

// Why a name from the device's listing cannot be sent back to it: firmware
// without quoted names reads every blank as "_", so the name would address
// another entry (or none).
std::string UnsendableProblem(const Job& job, const std::string& name)
{
    const std::string stored = job.Stored(name);
    return stored == name ? std::string()
                          : "this firmware reads blanks in names as \"_\", so it would take it for " + Quoted(stored);
}

// --delete judges what a folder lacks only when its listings are whole: a
// line of the device's that is no entry may be the very entry that looks
// missing.
bool FullyKnown(Job& job, const std::string& folder, int32_t unreadable)
{
    if (unreadable == 0)
        return true;
    job.Fail(kFailed, "nothing deleted in " + Shown(folder) + ": the device's listing of it has " +
                          Plural(unreadable, "line that is", "lines that are") + " no entry, so it is not fully known");
    return false;
}

// ---- the device side ----

// The entry at a device path, found in its folder's listing (the root is a
// folder); false when there is none. Throws Failure when the folder cannot
// be listed.
bool DeviceEntryAt(Unit& unit, const std::string& path, Entry& found)
{
    if (IsDeviceRoot(path)) {
        found = Entry {};
        found.attributes = 0x10;
        return true;
    }
    const std::string leaf = DeviceLeaf(path);
    const std::vector<Entry> entries = Listing(unit.handle, DeviceParent(path));
    const Entry* folded = nullptr;
    for (const Entry& e : entries) {
        if (e.name == leaf) {
            found = e;
            return true;
        }
        if (!folded && FoldedCase(e.name) == FoldedCase(leaf))
            folded = &e;
    }
    if (folded)
        found = *folded;
    return folded != nullptr;
}

// Throws Failure when the device could not tell: silent, gone, or a
// listing cut short is no answer that the folder is missing.
bool DeviceFolderExists(Unit& unit, const std::string& path)
{
    Entry e;
    try {
        return DeviceEntryAt(unit, path, e) && e.IsDir();
    } catch (const Failure& failure) {
        if (failure.status == ZQK_STATUS_REFUSED)
            return false;  // the device says its folder is missing too
        throw;
    }
}

// Makes a device folder and the missing ones above it.
void PlanDeviceFolders(Job& job, const std::string& path)
{
    if (IsDeviceRoot(path) || DeviceFolderExists(job.Of(), path))
        return;
    PlanDeviceFolders(job, DeviceParent(path));
    job.Add(MakeFolderStep(TrimmedDevicePath(path)));
}

// ---- the local side ----

// Where the job's own part of a local path begins: the folder above the
// first part of it that is missing (or above the path itself), which is
// the user's and is opened by its path.
void AnchorAbove(Job& job, const std::string& path)
{
    std::string top = LocalTrimmed(path);
    while (LocalParent(top) != top && StatLocal(LocalParent(top)).kind == LocalKind::Missing)
        top = LocalParent(top);
    job.Anchor(LocalParent(top));
}

// Makes a local folder and the missing ones above it; false when one of
// them is something else.
bool PlanLocalFolders(Job& job, const std::string& path)
{
    const LocalStat stat = StatLocal(path);
    if (stat.kind == LocalKind::Folder)
        return true;
    if (stat.kind != LocalKind::Missing) {
        job.Fail(kLocalFile, Shown(path) + " is not a folder");
        return false;
    }
    const std::string trimmed = TrimmedDevicePath(path);
    const size_t cut = trimmed.find_last_of("/\\");
    if (cut != std::string::npos && cut > 0 && !PlanLocalFolders(job, trimmed.substr(0, cut)))
        return false;
    job.Add(MakeFolderStep(trimmed));
    return true;
}

// The missing folders above a local path.
bool PlanLocalParents(Job& job, const std::string& path)
{
    const std::string trimmed = TrimmedDevicePath(path);
    const size_t cut = trimmed.find_last_of("/\\");
    return cut == std::string::npos || cut == 0 || PlanLocalFolders(job, trimmed.substr(0, cut));
}

bool ContainsName(const std::vector<LocalEntry>& entries, const std::string& name)
{
    return std::any_of(entries.begin(), entries.end(), [&](const LocalEntry& e) { return e.name == name; });
}

std::string SwappedCase(const std::string& name)
{
    std::string swapped = name;
    for (char& c : swapped) {
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
        else if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return swapped;
}

// Whether a local folder (or, while it is still to be made, the nearest one
// above it) tells case apart: an entry of it looked up with its letters'
// case swapped answers, without writing anything.
bool CaseBlind(std::string folder)
{
    for (;;) {
        std::vector<LocalEntry> entries;
        std::string error;
        if (ListLocal(folder, entries, error)) {
            for (const LocalEntry& e : entries) {
                const std::string swapped = SwappedCase(e.name);
                if (swapped != e.name && !ContainsName(entries, swapped))
                    return StatLocal(Joined(folder, swapped)).kind != LocalKind::Missing;
            }
        }
        const std::string trimmed = TrimmedDevicePath(folder);
        const size_t cut = trimmed.find_last_of("/\\");
        if (cut == std::string::npos)
            return folder == "." ? CaseBlindByDefault() : CaseBlind(".");
        if (cut == 0)
            return CaseBlindByDefault();
        folder = trimmed.substr(0, cut);
    }
}

// ---- planning: from the device down ----

bool WillDelete(const Job& job, const Tree& tree)
{
    return tree.mirror && job.Opts().deleteExtra;
}

void PlanDownTree(Job& job, const Tree& tree, int depth);

// The device's entries that can be local names here and can be sent back
// to the device, each refused one said; of names that differ only in case, in a folder that does not tell
// case apart, the one already there (else the first) and the others
// refused. Rivals: for each kept name, the others of its case group.
std::vector<Entry> LocalNamesOf(Job& job, const Tree& tree, const std::vector<Entry>& entries,
                                const std::vector<LocalEntry>& local, std::map<std::string, std::vector<std::string>>& rivals)
{
    std::map<std::string, std::vector<const Entry*>> groups;
    std::vector<const Entry*> named;
    for (const Entry& e : entries) {
        std::string problem = LocalNameProblem(e.name);
        if (problem.empty())
            problem = UnsendableProblem(job, e.name);
        if (!problem.empty()) {
            job.Fail(kFailed, "refused " + Quoted(e.name) + " in " + Shown(tree.from) + ": " + problem);
            continue;
        }
        named.push_back(&e);
        groups[FoldedCase(e.name)].push_back(&e);
    }
    int blind = -1;  // not known yet
    std::vector<Entry> kept;
    for (const Entry* e : named) {
        const std::vector<const Entry*>& group = groups[FoldedCase(e->name)];
        if (group.size() > 1) {
            if (blind < 0)
                blind = CaseBlind(tree.to) ? 1 : 0;
            const Entry* keeper = group.front();
            for (const Entry* g : group)
                if (ContainsName(local, g->name))
                    keeper = g;
            if (blind && e != keeper) {
                job.Fail(kFailed, "refused " + Quoted(e->name) + " in " + Shown(tree.from) + ": it differs only in case from " +
                                      Quoted(keeper->name) + ", which " + Shown(tree.to) +
                                      " does not tell apart; not copied");
                continue;
            }
            for (const Entry* g : group)  // to look at again before each copy
                if (g != e && !blind)
                    rivals[e->name].push_back(Joined(tree.to, g->name));
        }
        kept.push_back(*e);
    }
    return kept;
}

void PlanDownFile(Job& job, const Tree& tree, const Entry& e, const std::vector<std::string>& rivals)
{
    const std::string from = Joined(tree.from, e.name), to = Joined(tree.to, e.name);
    const LocalStat local = StatLocal(to);
    if (local.kind == LocalKind::Folder && WillDelete(job, tree)) {
        job.Add(DeleteStep(to, true));
    } else if (local.kind == LocalKind::Folder || local.kind == LocalKind::Other) {
        job.Fail(kLocalFile, Shown(to) + (local.kind == LocalKind::Folder ? " is a folder" : " is a link or special file") +
                                 "; not replaced by " + Shown(from));
        return;
    }
    if (tree.mirror && local.kind == LocalKind::File && UpToDate(job, local, e)) {
        job.UpToDate();
        return;
    }
    Step copy = CopyStep(from, to, e.size);
    copy.stamp = KnownDeviceTime(e.time);
    copy.time = e.time;
    copy.caseRivals = rivals;
    if (local.kind != LocalKind::Folder)  // a folder in the way is deleted first
        copy.expected = job.PlannedIdentity(to);
    job.Add(copy);
}

// --delete: what the local folder has that the device's does not.
void PlanLocalDeletions(Job& job, const Tree& tree, const std::vector<Entry>& entries,
                        const std::vector<LocalEntry>& local)
{
    for (const LocalEntry& l : local) {
        bool keep = false;
        for (const Entry& e : entries)
            keep = keep || e.name == l.name ||
                   (FoldedCase(e.name) == FoldedCase(l.name) && SameLocalEntry(Joined(tree.to, l.name), Joined(tree.to, e.name)));
        if (!keep)
            job.Add(DeleteStep(Joined(tree.to, l.name), l.stat.kind == LocalKind::Folder));
    }
}

void PlanDownTree(Job& job, const Tree& tree, int depth)
{
    if (depth > kDeepest) {
        job.Fail(kFailed, Shown(tree.from) + " lies deeper than " + std::to_string(kDeepest) + " folders; not followed");
        return;
    }
    const LocalStat target = StatLocal(tree.to);
    if (target.kind == LocalKind::Other) {
        job.Fail(kLocalFile, Shown(tree.to) + " is a link or special file; not followed");
        return;
    }
    if (target.kind == LocalKind::File) {
        if (!WillDelete(job, tree)) {
            job.Fail(kLocalFile, Shown(tree.to) + " is a file; not replaced by the folder " + Shown(tree.from));
            return;
        }
        job.Add(DeleteStep(tree.to, false));
    }
    if (target.kind != LocalKind::Folder)
        job.Add(MakeFolderStep(tree.to));
    std::vector<Entry> entries;
    int32_t unreadable = 0;
    try {
        entries = Listing(job.Of().handle, tree.from, &unreadable);
    } catch (const Failure& failure) {
        job.Fail(failure);
        return;
    }
    std::vector<LocalEntry> local;
    std::string error;
    if (target.kind == LocalKind::Folder && !ListLocal(tree.to, local, error)) {
        job.Fail(kLocalFile, "cannot list " + Shown(tree.to) + ": " + error);
        return;
    }
    std::map<std::string, std::vector<std::string>> rivals;
    for (const Entry& e : LocalNamesOf(job, tree, entries, local, rivals)) {
        if (e.IsDir())
            PlanDownTree(job, {Joined(tree.from, e.name), Joined(tree.to, e.name), tree.mirror}, depth + 1);
        else
            PlanDownFile(job, tree, e, rivals[e.name]);
    }
    if (WillDelete(job, tree) && FullyKnown(job, tree.to, unreadable))
        PlanLocalDeletions(job, tree, entries, local);
}

// ---- planning: from local files up ----

void PlanUpTree(Job& job, const Tree& tree, bool exists, int depth);
void PlanDeviceDeletions(Job& job, const Tree& tree, const std::vector<Entry>& entries,
                         const std::vector<LocalEntry>& local);

// The key of a local name among the device's names: the name the device
// stores for it, without regard to case.
std::string DeviceKey(const Job& job, const std::string& name)
{
    return FoldedCase(job.Stored(name));
}

// Why two local names would be one entry on the device.
std::string RivalProblem(const std::string& name, const std::string& keeper, const std::string& stored)
{
    if (FoldedCase(name) == FoldedCase(keeper))
        return "it differs only in case from " + Quoted(keeper) + ", which the device does not tell apart";
    return "the device would store it as " + Quoted(stored) + ", as it would " + Quoted(keeper);
}

// The local names that can go up as they are. A name the device would read
// as a path ("\\", "." or "..", a control byte) is refused; of names that
// the device would store as one (names that differ only in case, and on
// firmware without quotes "a b" and "a_b"), the one the device has already
// (else the first) goes, the others are refused.
std::vector<LocalEntry> DeviceNamesOf(Job& job, const Tree& tree, std::vector<LocalEntry> local,
                                      const std::vector<Entry>& entries)
{
    std::sort(local.begin(), local.end(), [](const LocalEntry& a, const LocalEntry& b) { return a.name < b.name; });
    std::vector<LocalEntry> named;
    for (const LocalEntry& l : local) {
        const std::string problem = DeviceNameProblem(l.name);
        if (problem.empty())
            named.push_back(l);
        else
            job.Fail(kFailed, "refused " + Quoted(l.name) + " in " + Shown(tree.from) + ": " + problem + "; not sent");
    }
    std::map<std::string, std::string> keepers;
    for (const LocalEntry& l : named) {
        std::string& keeper = keepers[DeviceKey(job, l.name)];
        if (keeper.empty())
            keeper = l.name;
        for (const Entry& e : entries)
            if (e.name == l.name)
                keeper = l.name;
    }
    std::vector<LocalEntry> kept;
    for (const LocalEntry& l : named) {
        const std::string& keeper = keepers[DeviceKey(job, l.name)];
        if (keeper != l.name)
            job.Fail(kFailed, "refused " + Quoted(l.name) + " in " + Shown(tree.from) + ": " +
                                  RivalProblem(l.name, keeper, job.Stored(l.name)) + "; not sent");
        else if (l.stat.kind == LocalKind::Other)
            job.Fail(kLocalFile, Shown(Joined(tree.from, l.name)) + " is a link or special file; not followed");
        else
            kept.push_back(l);
    }
    return kept;
}

// The device's entry that a local name goes onto: the one named as the
// device stores the local name.
const Entry* DeviceEntryNamed(const Job& job, const std::vector<Entry>& entries, const std::string& name)
{
    for (const Entry& e : entries)
        if (DeviceNameProblem(e.name).empty() && FoldedCase(e.name) == DeviceKey(job, name))
            return &e;
    return nullptr;
}

void PlanUpEntry(Job& job, const Tree& tree, const LocalEntry& l, const Entry* d, int depth)
{
    const std::string from = Joined(tree.from, l.name);
    const std::string to = Joined(tree.to, d ? d->name : job.Stored(l.name));
    const bool folder = l.stat.kind == LocalKind::Folder;
    bool exists = d != nullptr;
    if (d && d->IsDir() != folder) {
        if (!WillDelete(job, tree)) {
            job.Fail(kFailed, Shown(to) + " is a " + (d->IsDir() ? "folder" : "file") + " on the device; not replaced by " +
                                  Shown(from));
            return;
        }
        job.Add(DeleteStep(to, d->IsDir()));
        exists = false;
    }
    if (folder) {
        PlanUpTree(job, {from, to, tree.mirror}, exists, depth + 1);
        return;
    }
    if (tree.mirror && exists && UpToDate(job, l.stat, *d)) {
        job.UpToDate();
        return;
    }
    Step copy = CopyStep(from, to, l.stat.size);
    copy.stamp = true;  // get and put keep times as pull and push do
    copy.time = l.stat.modified;
    job.Add(copy);
}

void PlanUpTree(Job& job, const Tree& tree, bool exists, int depth)
{
    if (depth > kDeepest) {
        job.Fail(kFailed, Shown(tree.from) + " lies deeper than " + std::to_string(kDeepest) + " folders; not followed");
        return;
    }
    std::vector<LocalEntry> local;
    std::string error;
    if (!ListLocal(tree.from, local, error)) {
        job.Fail(kLocalFile, "cannot list " + Shown(tree.from) + ": " + error);
        return;
    }
    std::vector<Entry> entries;
    int32_t unreadable = 0;
    if (!exists) {
        job.Add(MakeFolderStep(tree.to));
    } else {
        try {
            entries = Listing(job.Of().handle, tree.to, &unreadable);
        } catch (const Failure& failure) {
            job.Fail(failure);
            return;
        }
    }
    const std::vector<LocalEntry> kept = DeviceNamesOf(job, tree, local, entries);
    for (const LocalEntry& l : kept)
        PlanUpEntry(job, tree, l, DeviceEntryNamed(job, entries, l.name), depth);
    if (WillDelete(job, tree) && FullyKnown(job, tree.to, unreadable))
        PlanDeviceDeletions(job, tree, entries, local);
}

// --delete: what the device's folder has that the local one does not. A
// local name that was refused still keeps its device entry.
void PlanDeviceDeletions(Job& job, const Tree& tree, const std::vector<Entry>& entries,
                         const std::vector<LocalEntry>& local)
{
    for (const Entry& e : entries) {
        std::string problem = DeviceNameProblem(e.name);
        if (problem.empty())
            problem = UnsendableProblem(job, e.name);
        bool keep = false;
        for (const LocalEntry& l : local)
            keep = keep || DeviceKey(job, l.name) == FoldedCase(e.name);
        if (keep)
            continue;
        if (!problem.empty())
            job.Fail(kFailed, "refused " + Quoted(e.name) + " in " + Shown(tree.to) + ": " + problem + "; left on the device");
        else
            job.Add(DeleteStep(Joined(tree.to, e.name), e.IsDir()));
    }
}

}  // namespace zqktool::transfer
