// Copies between the device and local folders. get and put copy what they
// are given (-r: folders with everything in them); pull and push mirror one
// tree onto another, copying only files whose size or time differ and giving
// each copy its source's time, so that a second run copies nothing. Each
// command first plans the whole job (folders to make, files to copy, entries
// to delete), then carries it out under one progress display, going on past
// a file that fails.
//
// Names from the device are never taken as local paths as they are: a name
// that holds a separator or a control byte, is "." or "..", or cannot be a
// file name here is refused for that entry, so that nothing is written
// outside the target folder, and a local link is never followed. The
// device's names do not tell case apart (FAT); names that differ only in
// case are one entry on the device, and one in a local folder that does not
// tell case apart either: the second is reported, never copied over the
// first.
#include <map>
#include <string>
#include <vector>

#include "transfer.h"

namespace zqktool {

namespace {

using namespace transfer;

bool HasPattern(const std::string& text)
{
    return text.find_first_of("*?") != std::string::npos;
}

// "*" matches any run of characters, "?" one; without regard to case, as
// the device's names.
bool Matches(const char* pattern, const char* name)
{
    for (; *pattern; ++pattern, ++name) {
        if (*pattern == '*') {
            for (const char* rest = name;; ++rest) {
                if (Matches(pattern + 1, rest))
                    return true;
                if (!*rest)
                    return false;
            }
        }
        if (!*name || (*pattern != '?' && FoldedCase(std::string(1, *pattern)) != FoldedCase(std::string(1, *name))))
            return false;
    }
    return !*name;
}

// ---- get and put: what the arguments name ----

struct Source {
    std::string path, name;  // name: what it is called in a target folder ("" for the target itself)
    bool folder = false;
    Entry entry;              // get: its device entry
    LocalStat local;          // put: its local state
};

Source DeviceSource(const std::string& path, const std::string& name, const Entry& entry)
{
    Source s;
    s.path = path;
    s.name = name;
    s.folder = entry.IsDir();
    s.entry = entry;
    return s;
}

std::string CopyName(const std::string& path);

Source LocalSource(const std::string& path, const LocalStat& local)
{
    Source s;
    s.path = path;
    s.name = CopyName(path);
    s.folder = local.kind == LocalKind::Folder;
    s.local = local;
    return s;
}

struct Sources {
    std::vector<Source> items;
    std::string target;
    bool intoFolder = false;  // the target is a folder the sources go into by name
};

std::vector<std::string> SourceArgs(const Options& opts)
{
    if (opts.args.size() == 1)
        return opts.args;
    return std::vector<std::string>(opts.args.begin(), opts.args.end() - 1);
}

// A name for the copy in a target folder: "" when the source is a folder
// named by "." or the like, whose contents then go into the target itself.
std::string CopyName(const std::string& path)
{
    const std::string name = DeviceLeaf(path);
    return name == "." || name == ".." || IsDeviceRoot(name) ? std::string() : name;
}

Sources DeviceSources(Job& job)
{
    const Options& opts = job.Opts();
    Sources s;
    bool many = opts.args.size() > 2;
    for (const std::string& given : SourceArgs(opts)) {
        const std::string arg = job.Stored(given);
        if (HasPattern(DeviceParent(arg)))
            throw Failure(kUsage, "only the last part of a device path takes * and ?: " + Shown(arg));
        try {
            if (HasPattern(DeviceLeaf(arg))) {
                many = true;
                size_t matched = 0;
                for (const Entry& e : Listing(job.Of().handle, DeviceParent(arg)))
                    if (Matches(DeviceLeaf(arg).c_str(), e.name.c_str()))
                        s.items.push_back(DeviceSource(Joined(DeviceParent(arg), e.name), e.name, e)), ++matched;
                if (matched == 0)
                    job.Fail(kFailed, "nothing on the device matches " + Shown(arg));
                continue;
            }
            // "DIR/." is the folder itself, whose contents then go into the target.
            const std::string at = DeviceLeaf(arg) == "." ? DeviceParent(arg) : arg;
            Entry e;
            if (!DeviceEntryAt(job.Of(), at, e) || (at != arg && !e.IsDir()))
                job.Fail(kFailed, "no such file or folder: " + Shown(arg));
            else
                s.items.push_back(DeviceSource(IsDeviceRoot(at) ? "/" : TrimmedDevicePath(at), CopyName(arg), e));
        } catch (const Failure& failure) {
            job.Fail(kFailed, failure.what());  // it names the path
        }
    }
    s.target = opts.args.size() == 1 ? "." : opts.args.back();
    if (s.target == kStandardStream && many)
        throw Failure(kUsage, "standard output (-) takes one device file; zqk cat prints several");
    // As cp -r: a file or a folder goes into a folder that is there, and else becomes the target.
    const bool one = s.items.size() == 1, oneFile = one && !s.items[0].folder;
    s.intoFolder = many || opts.args.size() == 1 ||
                   (one && (StatLocal(s.target).kind == LocalKind::Folder ||
                            (oneFile && IsDeviceSeparator(s.target.back()))));
    return s;
}

// put -: standard input stands for one file, its size known once read.
LocalStat StandardInput(const Options& opts)
{
    if (opts.args.size() != 2)
        throw Failure(kUsage, "standard input (-) goes to one device file: put - DEVICE-PATH");
    LocalStat in;
    in.kind = LocalKind::File;
    return in;
}

Sources LocalSources(Job& job)
{
    const Options& opts = job.Opts();
    Sources s;
    for (const std::string& arg : SourceArgs(opts)) {
        const LocalStat local = arg == kStandardStream ? StandardInput(opts) : StatLocal(arg);
        if (local.kind == LocalKind::Missing)
            job.Fail(kLocalFile, "no such file or folder: " + Shown(arg));
        else if (local.kind == LocalKind::Other)
            job.Fail(kLocalFile, Shown(arg) + " is a link or special file; not followed");
        else
            s.items.push_back(LocalSource(arg, local));
    }
    s.target = opts.args.size() == 1 ? "/" : job.Stored(opts.args.back());
    // As for get: into a device folder that is there, else the copy becomes the target.
    const bool one = s.items.size() == 1, oneFile = one && !s.items[0].folder;
    s.intoFolder = opts.args.size() != 2 ||
                   (one && ((oneFile && IsDeviceSeparator(s.target.back())) || DeviceFolderExists(job.Of(), s.target)));
    if (s.intoFolder && one && s.items[0].path == kStandardStream)
        throw Failure(kUsage, "standard input (-) wants a device file to go to, not the folder " + Shown(s.target));
    return s;
}

std::string Destination(const Sources& s, const Source& item)
{
    return s.intoFolder ? Joined(s.target, item.name) : s.target;
}

bool FolderWithoutRecursion(Job& job, const Source& item)
{
    if (item.folder && !job.Opts().recursive)
        job.Fail(kFailed, Shown(item.path) + " is a folder; -r copies folders");
    return item.folder && !job.Opts().recursive;
}

}  // namespace

int Get(Unit& U, const Options& Opts)
{
    Job job(U, Opts, Way::Down);
    const Sources s = DeviceSources(job);
    if (s.intoFolder)
        AnchorAbove(job, s.target);
    if (s.intoFolder && !s.items.empty() && !PlanLocalFolders(job, s.target))
        return job.Run();
    // Local target (without regard to case where the folder does not tell
    // it apart): the device path copied there.
    std::map<std::string, std::string> copies;
    const bool caseBlind = s.intoFolder && s.items.size() > 1 && CaseBlind(s.target);
    for (const Source& item : s.items) {
        if (FolderWithoutRecursion(job, item))
            continue;
        std::string problem = UnsendableProblem(job, item.path);
        if (problem.empty() && s.intoFolder && !item.name.empty())
            problem = LocalNameProblem(item.name);
        if (!problem.empty()) {
            const std::string name = item.name.empty() ? DeviceLeaf(item.path) : item.name;
            job.Fail(kFailed, "refused " + Quoted(name) + " in " + Shown(DeviceParent(item.path)) + ": " + problem);
            continue;
        }
        const std::string to = Destination(s, item);
        const auto copy = copies.emplace(caseBlind ? FoldedCase(to) : to, item.path);
        if (!copy.second) {
            if (copy.first->second != item.path)  // the same file matched twice goes once
                job.Fail(kFailed, "refused " + Shown(item.path) + ": " + Shown(to) + " is the copy of " +
                                      Shown(copy.first->second) + " already" +
                                      (caseBlind ? " (" + Shown(s.target) + " does not tell case apart)" : "") +
                                      "; not copied");
            continue;
        }
        if (to == kStandardStream && item.folder) {
            job.Fail(kFailed, Shown(item.path) + " is a folder; standard output takes one file");
            continue;
        }
        if (!s.intoFolder && to != kStandardStream)
            AnchorAbove(job, to);
        if (item.folder) {
            if (!s.intoFolder && !PlanLocalParents(job, to))
                continue;
            PlanDownTree(job, {item.path, to, false}, 0);
        } else {
            Step copy = CopyStep(item.path, to, item.entry.size);
            copy.stamp = to != kStandardStream && KnownDeviceTime(item.entry.time);
            copy.time = item.entry.time;
            if (to != kStandardStream)
                copy.expected = job.PlannedIdentity(to);
            job.Add(copy);
        }
    }
    return job.Run();
}

int Put(Unit& U, const Options& Opts)
{
    Job job(U, Opts, Way::Up);
    const Sources s = LocalSources(job);
    if (s.intoFolder && !s.items.empty())
        PlanDeviceFolders(job, s.target);
    std::map<std::string, std::string> sent;  // by device name in the target folder: the name that goes there
    for (const Source& item : s.items) {
        if (FolderWithoutRecursion(job, item))
            continue;
        if (s.intoFolder && !item.name.empty()) {
            std::string problem = DeviceNameProblem(item.name);
            if (problem.empty()) {
                const auto goes = sent.emplace(DeviceKey(job, item.name), item.name);
                if (!goes.second)
                    problem = RivalProblem(item.name, goes.first->second, job.Stored(item.name));
            }
            if (!problem.empty()) {
                job.Fail(kFailed, "refused " + Shown(item.path) + ": " + problem + "; not sent");
                continue;
            }
        }
        const std::string to = Destination(s, item);
        job.Anchor(LocalParent(item.path));
        if (item.folder) {
            const bool exists = DeviceFolderExists(U, to);
            if (!exists && !s.intoFolder)
                PlanDeviceFolders(job, DeviceParent(to));
            PlanUpTree(job, {item.path, TrimmedDevicePath(to), false}, exists, 0);
        } else {
            Step copy = CopyStep(item.path, to, item.local.size);
            copy.stamp = item.path != kStandardStream;
            copy.time = item.local.modified;
            job.Add(copy);
        }
    }
    return job.Run();
}

int Pull(Unit& U, const Options& Opts)
{
    Job job(U, Opts, Way::Down);
    const std::string from = job.Stored(Opts.args[0]), to = Opts.args[1];
    Entry e;
    bool found = false;
    try {
        found = DeviceEntryAt(U, from, e);
    } catch (const Failure& failure) {
        throw Failure(failure.code, Because("cannot pull " + Shown(from), failure.what()), failure.status);
    }
    if (!found)
        throw Failure(kFailed, "no such folder: " + Shown(from));
    if (!e.IsDir())
        throw Failure(kFailed, "cannot pull " + Shown(from) + ": it is a file, not a folder");
    AnchorAbove(job, to);
    if (PlanLocalParents(job, to))
        PlanDownTree(job, {IsDeviceRoot(from) ? "/" : TrimmedDevicePath(from), TrimmedDevicePath(to), true}, 0);
    return job.Run();
}

int Push(Unit& U, const Options& Opts)
{
    const std::string from = Opts.args[0], to = Opts.args[1];
    if (StatLocal(from).kind != LocalKind::Folder)
        throw Failure(kLocalFile, "cannot push " + Shown(from) + ": it is not a folder");
    Job job(U, Opts, Way::Up);
    job.Anchor(LocalParent(from));
    const std::string target = IsDeviceRoot(to) ? "/" : TrimmedDevicePath(job.Stored(to));
    const bool exists = DeviceFolderExists(U, target);
    if (!exists && !IsDeviceRoot(target))
        PlanDeviceFolders(job, DeviceParent(target));
    PlanUpTree(job, {TrimmedDevicePath(from), target, true}, exists, 0);
    return job.Run();
}

}  // namespace zqktool
