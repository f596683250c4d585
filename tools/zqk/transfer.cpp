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
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "local_files.h"
#include "tool.h"
#include "zqkAPI.h"

namespace zqktool {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kDeepest = 64;                 // folder levels followed; a device that lies goes no deeper
constexpr int64_t kNoDeviceTime = 2085805696;  // zqkGetDirEntry's time of an entry without a date

// A file of a job that the library refused (a name the device cannot take,
// for one) is a failed transfer, not a wrong argument of the tool's.
ExitCode StepExitCode(int32_t status)
{
    return status == ZQK_STATUS_ARGUMENT ? kFailed : ExitCodeOf(status);
}

bool KnownTime(int64_t deviceTime)
{
    return deviceTime != kNoDeviceTime;
}

bool SameTime(int64_t localUnix, int64_t deviceTime)
{
    return SameDeviceTime(DeviceTimeOf(localUnix), deviceTime);
}

// ---- names and paths ----

std::string Folded(const std::string& name)
{
    std::string folded = name;
    for (char& c : folded)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return folded;
}

bool IsSeparator(char c)
{
    return c == '/' || c == '\\';
}

std::string Trimmed(std::string path)
{
    while (path.size() > 1 && IsSeparator(path.back()))
        path.pop_back();
    return path;
}

std::string LastPart(const std::string& path)
{
    const std::string trimmed = Trimmed(path);
    const size_t cut = trimmed.find_last_of("/\\");
    return cut == std::string::npos ? trimmed : trimmed.substr(cut + 1);
}

std::string DeviceParent(const std::string& path)
{
    const std::string trimmed = Trimmed(path);
    const size_t cut = trimmed.find_last_of("/\\");
    return cut == std::string::npos || cut == 0 ? "/" : trimmed.substr(0, cut);
}

bool IsDeviceRoot(const std::string& path)
{
    return path.empty() || path.find_first_not_of("/\\") == std::string::npos;
}

bool IsBelow(const std::string& path, const std::string& folder)
{
    return path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 && IsSeparator(path[folder.size()]);
}

bool IsLocalSeparator(char c)
{
    return std::strchr(LocalSeparators(), c) != nullptr && c != '\0';
}

// How much of a local path names where it starts: "/", or a drive ("C:", "C:\\").
size_t RootLength(const std::string& path)
{
    if (!path.empty() && IsLocalSeparator(path[0]))
        return 1;
    if (path.size() >= 2 && path[1] == ':' && IsLocalSeparator('\\'))
        return path.size() >= 3 && IsLocalSeparator(path[2]) ? 3 : 2;
    return 0;
}

std::string LocalTrimmed(std::string path)
{
    while (path.size() > std::max<size_t>(RootLength(path), 1) && IsLocalSeparator(path.back()))
        path.pop_back();
    return path;
}

// The folder a local path is in ("." for a name alone; a root is its own),
// and its last part.
std::string LocalParent(const std::string& given)
{
    const std::string path = LocalTrimmed(given);
    const size_t root = RootLength(path);
    size_t cut = path.size();
    while (cut > root && !IsLocalSeparator(path[cut - 1]))
        --cut;
    if (cut == path.size())
        return path;  // a root
    if (cut == 0)
        return ".";
    while (cut > std::max<size_t>(root, 1) && IsLocalSeparator(path[cut - 1]))
        --cut;
    return path.substr(0, cut);
}

std::string LocalLeaf(const std::string& given)
{
    const std::string path = LocalTrimmed(given);
    size_t cut = path.size();
    while (cut > RootLength(path) && !IsLocalSeparator(path[cut - 1]))
        --cut;
    return path.substr(cut);
}

std::string Joined(const std::string& folder, const std::string& name)
{
    if (name.empty())
        return folder;
    if (folder == ".")
        return name;
    return folder.empty() || IsSeparator(folder.back()) ? folder + name : folder + "/" + name;
}

}  // namespace

std::string DeviceNameProblem(const std::string& name)
{
    if (name.empty())
        return "the device gave an empty name";
    if (name == "." || name == "..")
        return "\"" + name + "\" is not the name of an entry";
    if (name.find_first_of("/\\") != std::string::npos)
        return std::string("it holds \"") + name[name.find_first_of("/\\")] + "\" and would be taken as a path";
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            char text[64];
            std::snprintf(text, sizeof text, "it holds the control byte 0x%02X", byte);
            return text;
        }
    }
    return std::string();
}

namespace {

// Whether both paths name one existing entry (as two spellings of a name
// do in a folder that does not tell case apart).
bool SameLocalEntry(const std::string& a, const std::string& b)
{
    const LocalIdentity identity = IdentityLocal(a);
    return identity.exists && identity == IdentityLocal(b);
}

// Why a name from the device cannot be a local file's name.
std::string LocalNameProblem(const std::string& name)
{
    const std::string problem = DeviceNameProblem(name);
    return problem.empty() ? PlatformNameProblem(name) : problem;
}

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
        if (!*name || (*pattern != '?' && Folded(std::string(1, *pattern)) != Folded(std::string(1, *name))))
            return false;
    }
    return !*name;
}

std::string Quoted(const std::string& name)
{
    return "\"" + Shown(name) + "\"";
}

std::string Plural(int64_t n, const char* one, const char* many)
{
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string Seconds(double s)
{
    char text[32];
    if (s < 60)
        std::snprintf(text, sizeof text, "%.1f s", s);
    else
        std::snprintf(text, sizeof text, "%ld:%02ld", static_cast<long>(s) / 60, static_cast<long>(s) % 60);
    return text;
}

// ---- the job ----

enum class Way { Down, Up };  // Down: from the device to local files

struct Step {
    enum Kind { MakeFolder, Copy, Delete } kind = Copy;
    std::string from, to;  // Copy: source and target; the others: to
    bool folder = false;   // Delete: a folder and all in it
    int64_t size = 0;
    bool stamp = false;    // give the copy its source's time
    int64_t time = 0;      // the source's time: the device's (Down) or the local file's (Up)
    std::vector<std::string> caseRivals;  // Down: local paths that differ from "to" only in case
    LocalIdentity expected;  // Down: the local file that the copy replaces, as planned (or none)
};

Step MakeFolderStep(const std::string& to)
{
    Step step;
    step.kind = Step::MakeFolder;
    step.to = to;
    return step;
}

Step DeleteStep(const std::string& to, bool folder)
{
    Step step;
    step.kind = Step::Delete;
    step.to = to;
    step.folder = folder;
    return step;
}

Step CopyStep(const std::string& from, const std::string& to, int64_t size)
{
    Step step;
    step.from = from;
    step.to = to;
    step.size = size;
    return step;
}

class Job {
public:
    Job(Unit& U, const Options& Opts, Way W) : unit_(U), opts_(Opts), way_(W), quoted_(QuotesNames(U.handle)) {}

    Way Direction() const { return way_; }
    const Options& Opts() const { return opts_; }
    Unit& Of() { return unit_; }
    // The name the device stores when it is sent Name: mirrors compare
    // that, not the name as sent.
    std::string Stored(const std::string& name) const { return StoredName(name, quoted_); }

    void Add(Step step) { steps_.push_back(std::move(step)); }
    // A local folder the user named, that the job works in or below: opened
    // by its path, as the user's own; all below it, folder by folder.
    void Anchor(const std::string& folder) { anchors_.insert(folder); }
    // The local file that a copy to path will replace, as the folder shows
    // it now: the entry of that name (or, where the folder does not tell
    // case apart, of that name in other case), none when it has no such
    // entry. A name that opens another entry (an 8.3 alias, a case fold the
    // folder makes beyond ASCII) is then told apart when the copy comes.
    LocalIdentity PlannedIdentity(const std::string& path)
    {
        const std::string folder = LocalParent(path), name = LocalLeaf(path);
        auto listed = listed_.find(folder);
        if (listed == listed_.end()) {
            std::string error;
            listed = listed_.emplace(folder, std::vector<LocalEntry>()).first;
            ListLocal(folder, listed->second, error);  // none: the folder is still to be made
        }
        for (const LocalEntry& e : listed->second)
            if (e.name == name)
                return IdentityLocal(Joined(folder, e.name));
        const LocalIdentity answering = IdentityLocal(path);
        for (const LocalEntry& e : listed->second)
            if (Folded(e.name) == Folded(name) && IdentityLocal(Joined(folder, e.name)) == answering)
                return answering;
        return LocalIdentity {};
    }
    void UpToDate() { ++upToDate_; }
    // A failure found while planning: one line, and the job goes on.
    void Fail(ExitCode code, const std::string& message)
    {
        unit_.console.Failed(message);
        ++failed_;
        worst_ = std::max(worst_, code);
    }
    void Fail(const Failure& failure) { Fail(failure.code, failure.what()); }

    int Run()
    {
        int64_t files = 0, bytes = 0;
        for (const Step& step : steps_)
            if (step.kind == Step::Copy)
                ++files, bytes += step.size;
        if (!opts_.dryRun && !opts_.quiet)
            PlanProgress(files, bytes);
        const Clock::time_point start = Clock::now();
        for (size_t i = 0; i < steps_.size(); ++i) {
            const Step& step = steps_[i];
            if (UnderFailedFolder(step.to)) {
                ++failed_;  // its folder's failure said why
                continue;
            }
            if (opts_.dryRun) {
                Tell(step);
                continue;
            }
            if (!Carry(step) && DeviceGone()) {
                const auto left = static_cast<int64_t>(steps_.size() - i - 1);
                if (left > 0) {
                    unit_.console.Failed("the device went away; " + Plural(left, "step", "steps") +
                                         " of the job not done");
                    failed_ += left;
                }
                break;
            }
        }
        Summary(std::chrono::duration<double>(Clock::now() - start).count());
        return worst_;
    }

private:
    bool DeviceGone() const { return lastStatus_ == ZQK_STATUS_GONE || lastStatus_ == ZQK_STATUS_NOT_OPEN; }

    bool UnderFailedFolder(const std::string& path) const
    {
        return std::any_of(failedFolders_.begin(), failedFolders_.end(),
                           [&](const std::string& folder) { return IsBelow(path, folder); });
    }

    void Tell(const Step& step)
    {
        switch (step.kind) {
        case Step::MakeFolder: Line("would make " + Shown(step.to) + "\n"); break;
        case Step::Copy:
            Line("would copy " + Shown(step.from) + " -> " + Shown(step.to) + " (" + std::to_string(step.size) +
                 " bytes)\n");
            ++copied_, bytes_ += step.size;
            break;
        case Step::Delete:
            Line("would delete " + Shown(step.to) + (step.folder ? " and all in it\n" : "\n"));
            ++deleted_;
            break;
        }
    }

    void Line(const std::string& text)
    {
        if (!opts_.quiet)
            unit_.console.Out(text);
    }

    // Carries out one step: false, with one line on why, when it failed.
    bool Carry(const Step& step)
    {
        lastStatus_ = ZQK_STATUS_OK;
        const bool done = step.kind == Step::MakeFolder ? MakeFolder(step)
                          : step.kind == Step::Delete   ? Delete(step)
                          : way_ == Way::Down           ? CopyDown(step)
                                                        : CopyUp(step);
        if (!done && step.kind == Step::MakeFolder)
            failedFolders_.push_back(step.to);
        return done;
    }

    bool Failed(ExitCode code, const std::string& message)
    {
        Fail(code, message);
        return false;
    }

    // What the library said of the call just made, before another call replaces it.
    void Heard()
    {
        lastStatus_ = zqkLastStatus();
        lastText_ = StatusText();
    }

    bool DeviceStepFailed(const std::string& what)
    {
        Heard();
        return Failed(StepExitCode(lastStatus_), what + ": " + lastText_);
    }

    // The local folder at a path of the job, opened once: from an anchor (a
    // folder the user named, opened by its path) down, each folder in the
    // one above it without following a link.
    LocalFolder* FolderAt(const std::string& path, std::string& error)
    {
        const auto open = folders_.find(path);
        if (open != folders_.end())
            return open->second.get();
        std::unique_ptr<LocalFolder> folder;
        const std::string parent = LocalParent(path);
        if (anchors_.count(path) != 0 || parent == path)
            folder = LocalFolder::Open(path, error);
        else if (LocalFolder* above = FolderAt(parent, error))
            folder = above->OpenFolder(LocalLeaf(path), error);
        if (!folder)
            return nullptr;
        return (folders_[path] = std::move(folder)).get();
    }

    // A folder removed by the job is opened afresh if it is made again.
    void Forget(const std::string& path)
    {
        for (auto it = folders_.begin(); it != folders_.end();)
            it = it->first == path || IsBelow(it->first, path) ? folders_.erase(it) : std::next(it);
    }

    bool MakeFolder(const Step& step)
    {
        std::string error;
        if (way_ == Way::Down) {
            LocalFolder* parent = FolderAt(LocalParent(step.to), error);
            return (parent && parent->MakeFolder(LocalLeaf(step.to), error)) ||
                   Failed(kLocalFile, "cannot make folder " + Shown(step.to) + ": " + error);
        }
        return zqkDevDirMake(unit_.handle, step.to.c_str()) == 0 ||
               DeviceStepFailed("cannot make folder " + Shown(step.to) + " on the device");
    }

    bool Delete(const Step& step)
    {
        bool done = false;
        if (way_ == Way::Down) {
            std::string error;
            Forget(step.to);
            LocalFolder* parent = FolderAt(LocalParent(step.to), error);
            done = (parent && parent->Remove(LocalLeaf(step.to), error)) ||
                   Failed(kLocalFile, "cannot delete " + Shown(step.to) + ": " + error);
        } else {
            const int32_t result = step.folder ? zqkDevDirRemove(unit_.handle, step.to.c_str())
                                               : zqkDevFileDelete(unit_.handle, step.to.c_str());
            done = result == 0 || DeviceStepFailed("cannot delete " + Shown(step.to) + " on the device");
        }
        if (done) {
            ++deleted_;
            Line("deleted " + Shown(step.to) + "\n");
        }
        return done;
    }

    // The device file into memory, with the job's progress: room for the
    // size the listing gave, and once more with room for what it holds when
    // it grew since (the library keeps it for that call).
    bool ReadDeviceFile(const Step& step, std::string& data)
    {
        FileProgress progress(unit_, opts_.command + " " + step.from, step.from, opts_.quiet);
        std::vector<char> buffer(static_cast<size_t>(std::max<int64_t>(step.size, 0)) + 1);
        int32_t n = -1;
        for (int tries = 0; tries < 2; ++tries) {
            n = zqkDevFileReadBuffer(unit_.handle, step.from.c_str(), buffer.data(), static_cast<int32_t>(buffer.size()));
            Heard();
            if (n >= 0 || lastStatus_ != ZQK_STATUS_BUFFER || n > -2)
                break;
            buffer.resize(static_cast<size_t>(-static_cast<int64_t>(n)));
        }
        progress.Done();
        if (n < 0)
            return false;
        data.assign(buffer.data(), static_cast<size_t>(n));
        return true;
    }

    bool CopyDown(const Step& step)
    {
        // The folder tells case apart after all, or a rival came in: keep what is there.
        for (const std::string& rival : step.caseRivals)
            if (SameLocalEntry(rival, step.to))
                return Failed(kFailed, "refused " + Shown(step.from) + ": its name differs only in case from " +
                                           Shown(rival) + ", which this folder does not tell apart; not copied");
        std::string error, data;
        LocalFolder* folder = FolderAt(LocalParent(step.to), error);
        if (!folder)
            return Failed(kLocalFile, "cannot write " + Shown(step.to) + ": " + error);
        if (!ReadDeviceFile(step, data))
            return Failed(StepExitCode(lastStatus_), "cannot read " + Shown(step.from) + " from the device: " + lastText_);
        const int64_t modified = UnixTimeOf(step.time);
        if (!folder->WriteFile(LocalLeaf(step.to), data, step.stamp ? &modified : nullptr, step.expected, error))
            return Failed(kLocalFile, "cannot write " + Shown(step.to) + ": " + error);
        Copied(step, static_cast<int32_t>(data.size()));
        return true;
    }

    bool CopyUp(const Step& step)
    {
        std::string error, data;
        LocalFolder* folder = FolderAt(LocalParent(step.from), error);
        if (!folder || !folder->ReadFile(LocalLeaf(step.from), data, error))
            return Failed(kLocalFile, "cannot read " + Shown(step.from) + ": " + error);
        int32_t n = 0;
        {
            FileProgress progress(unit_, opts_.command + " " + step.to, step.to, opts_.quiet);
            n = zqkDevFileWriteBuffer(unit_.handle, data.data(), static_cast<int32_t>(data.size()), step.to.c_str(),
                                      step.stamp ? DeviceTimeArgument(DeviceTimeOf(step.time)) : 0);
            Heard();
            progress.Done();
        }
        if (n < 0)
            return Failed(StepExitCode(lastStatus_), "cannot write " + Shown(step.to) + " on the device: " + lastText_);
        if (n == 0) {
            ++skipped_;  // the protocol sends no empty file
            unit_.console.Err("zqk: " + Shown(step.from) + " is empty; nothing was sent\n");
            return true;
        }
        Copied(step, n);
        return true;
    }

    void Copied(const Step& step, int32_t n)
    {
        ++copied_;
        bytes_ += n;
        Line(Shown(step.from) + " -> " + Shown(step.to) + ": " + std::to_string(n) + " bytes\n");
    }

    void Summary(double seconds)
    {
        if (opts_.quiet)
            return;
        std::string line = opts_.command;
        if (opts_.dryRun) {
            line += " (dry run): " + Plural(copied_, "file", "files") + " to copy (" +
                    HumanSize(static_cast<double>(bytes_)) + ")";
        } else {
            line += ": " + Plural(copied_, "file", "files") + " copied (" + HumanSize(static_cast<double>(bytes_)) +
                    ") in " + Seconds(seconds);
            if (seconds > 0 && bytes_ > 0)
                line += " (" + HumanSize(static_cast<double>(bytes_) / seconds) + "/s)";
        }
        if (upToDate_ > 0)
            line += ", " + std::to_string(upToDate_) + " up to date";
        if (deleted_ > 0)
            line += ", " + std::to_string(deleted_) + (opts_.dryRun ? " to delete" : " deleted");
        if (skipped_ > 0)
            line += ", " + std::to_string(skipped_) + " empty, not sent";
        line += ", " + std::to_string(failed_) + " failed";
        if (opts_.dryRun)
            line += "; nothing was changed";
        unit_.console.Out(line + "\n");
    }

    Unit& unit_;
    const Options& opts_;
    const Way way_;
    const bool quoted_;  // the firmware takes names in quotes; else it stores blanks as "_"
    std::vector<Step> steps_;
    std::vector<std::string> failedFolders_;
    std::set<std::string> anchors_;
    std::map<std::string, std::vector<LocalEntry>> listed_;  // local folders as planning found them
    std::map<std::string, std::unique_ptr<LocalFolder>> folders_;
    int64_t copied_ = 0, bytes_ = 0, upToDate_ = 0, deleted_ = 0, skipped_ = 0, failed_ = 0;
    ExitCode worst_ = kOk;
    int32_t lastStatus_ = ZQK_STATUS_OK;
    std::string lastText_;
};

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
    const std::string leaf = LastPart(path);
    const std::vector<Entry> entries = Listing(unit.handle, DeviceParent(path));
    const Entry* folded = nullptr;
    for (const Entry& e : entries) {
        if (e.name == leaf) {
            found = e;
            return true;
        }
        if (!folded && Folded(e.name) == Folded(leaf))
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
    job.Add(MakeFolderStep(Trimmed(path)));
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
    const std::string trimmed = Trimmed(path);
    const size_t cut = trimmed.find_last_of("/\\");
    if (cut != std::string::npos && cut > 0 && !PlanLocalFolders(job, trimmed.substr(0, cut)))
        return false;
    job.Add(MakeFolderStep(trimmed));
    return true;
}

// The missing folders above a local path.
bool PlanLocalParents(Job& job, const std::string& path)
{
    const std::string trimmed = Trimmed(path);
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
        const std::string trimmed = Trimmed(folder);
        const size_t cut = trimmed.find_last_of("/\\");
        if (cut == std::string::npos)
            return folder == "." ? CaseBlindByDefault() : CaseBlind(".");
        if (cut == 0)
            return CaseBlindByDefault();
        folder = trimmed.substr(0, cut);
    }
}

// ---- planning: from the device down ----

struct Tree {
    std::string from, to;
    bool mirror = false;  // pull, push: compare, stamp, and --delete
};

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
        groups[Folded(e.name)].push_back(&e);
    }
    int blind = -1;  // not known yet
    std::vector<Entry> kept;
    for (const Entry* e : named) {
        const std::vector<const Entry*>& group = groups[Folded(e->name)];
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
    if (tree.mirror && local.kind == LocalKind::File && local.size == e.size &&
        (!KnownTime(e.time) || SameTime(local.modified, e.time))) {
        job.UpToDate();
        return;
    }
    Step copy = CopyStep(from, to, e.size);
    copy.stamp = tree.mirror && KnownTime(e.time);
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
                   (Folded(e.name) == Folded(l.name) && SameLocalEntry(Joined(tree.to, l.name), Joined(tree.to, e.name)));
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
    return Folded(job.Stored(name));
}

// Why two local names would be one entry on the device.
std::string RivalProblem(const std::string& name, const std::string& keeper, const std::string& stored)
{
    if (Folded(name) == Folded(keeper))
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
        if (DeviceNameProblem(e.name).empty() && Folded(e.name) == DeviceKey(job, name))
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
    if (tree.mirror && exists && d->size == l.stat.size && (!KnownTime(d->time) || SameTime(l.stat.modified, d->time))) {
        job.UpToDate();
        return;
    }
    Step copy = CopyStep(from, to, l.stat.size);
    copy.stamp = tree.mirror;
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
            keep = keep || DeviceKey(job, l.name) == Folded(e.name);
        if (keep)
            continue;
        if (!problem.empty())
            job.Fail(kFailed, "refused " + Quoted(e.name) + " in " + Shown(tree.to) + ": " + problem + "; left on the device");
        else
            job.Add(DeleteStep(Joined(tree.to, e.name), e.IsDir()));
    }
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
    const std::string name = LastPart(path);
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
            if (HasPattern(LastPart(arg))) {
                many = true;
                size_t matched = 0;
                for (const Entry& e : Listing(job.Of().handle, DeviceParent(arg)))
                    if (Matches(LastPart(arg).c_str(), e.name.c_str()))
                        s.items.push_back(DeviceSource(Joined(DeviceParent(arg), e.name), e.name, e)), ++matched;
                if (matched == 0)
                    job.Fail(kFailed, "nothing on the device matches " + Shown(arg));
                continue;
            }
            Entry e;
            if (!DeviceEntryAt(job.Of(), arg, e))
                job.Fail(kFailed, "cannot read " + Shown(arg) + " from the device: there is no such file or folder");
            else
                s.items.push_back(DeviceSource(Trimmed(arg), CopyName(arg), e));
        } catch (const Failure& failure) {
            job.Fail(kFailed, "cannot read " + Shown(arg) + " from the device: " + failure.what());
        }
    }
    s.target = opts.args.size() == 1 ? "." : opts.args.back();
    const bool oneFile = s.items.size() == 1 && !s.items[0].folder;
    s.intoFolder = many || opts.args.size() == 1 ||
                   (oneFile && (IsSeparator(s.target.back()) || StatLocal(s.target).kind == LocalKind::Folder));
    return s;
}

Sources LocalSources(Job& job)
{
    const Options& opts = job.Opts();
    Sources s;
    for (const std::string& arg : SourceArgs(opts)) {
        const LocalStat local = StatLocal(arg);
        if (local.kind == LocalKind::Missing)
            job.Fail(kLocalFile, "cannot read " + Shown(arg) + ": there is no such file or folder");
        else if (local.kind == LocalKind::Other)
            job.Fail(kLocalFile, Shown(arg) + " is a link or special file; not followed");
        else
            s.items.push_back(LocalSource(arg, local));
    }
    s.target = opts.args.size() == 1 ? "/" : job.Stored(opts.args.back());
    const bool oneFile = s.items.size() == 1 && !s.items[0].folder;
    s.intoFolder = opts.args.size() != 2 ||
                   (oneFile && (IsSeparator(s.target.back()) || DeviceFolderExists(job.Of(), s.target)));
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
            const std::string name = item.name.empty() ? LastPart(item.path) : item.name;
            job.Fail(kFailed, "refused " + Quoted(name) + " in " + Shown(DeviceParent(item.path)) + ": " + problem);
            continue;
        }
        const std::string to = Destination(s, item);
        const auto copy = copies.emplace(caseBlind ? Folded(to) : to, item.path);
        if (!copy.second) {
            if (copy.first->second != item.path)  // the same file matched twice goes once
                job.Fail(kFailed, "refused " + Shown(item.path) + ": " + Shown(to) + " is the copy of " +
                                      Shown(copy.first->second) + " already" +
                                      (caseBlind ? " (" + Shown(s.target) + " does not tell case apart)" : "") +
                                      "; not copied");
            continue;
        }
        if (!s.intoFolder)
            AnchorAbove(job, to);
        if (item.folder) {
            if (!s.intoFolder && !PlanLocalParents(job, to))
                continue;
            PlanDownTree(job, {item.path, to, false}, 0);
        } else {
            Step copy = CopyStep(item.path, to, item.entry.size);
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
            PlanUpTree(job, {item.path, Trimmed(to), false}, exists, 0);
        } else {
            job.Add(CopyStep(item.path, to, item.local.size));
        }
    }
    return job.Run();
}

int Pull(Unit& U, const Options& Opts)
{
    Job job(U, Opts, Way::Down);
    const std::string from = job.Stored(Opts.args[0]), to = Opts.args[1];
    Entry e;
    bool folder = false;
    try {
        folder = DeviceEntryAt(U, from, e) && e.IsDir();
    } catch (const Failure& failure) {
        throw Failure(failure.code, "cannot pull " + Shown(from) + ": " + failure.what());
    }
    if (!folder)
        throw Failure(kFailed, "cannot pull " + Shown(from) + ": the device has no such folder");
    AnchorAbove(job, to);
    if (PlanLocalParents(job, to))
        PlanDownTree(job, {IsDeviceRoot(from) ? "/" : Trimmed(from), Trimmed(to), true}, 0);
    return job.Run();
}

int Push(Unit& U, const Options& Opts)
{
    const std::string from = Opts.args[0], to = Opts.args[1];
    if (StatLocal(from).kind != LocalKind::Folder)
        throw Failure(kLocalFile, "cannot push " + Shown(from) + ": it is not a folder");
    Job job(U, Opts, Way::Up);
    job.Anchor(LocalParent(from));
    const std::string target = IsDeviceRoot(to) ? "/" : Trimmed(job.Stored(to));
    const bool exists = DeviceFolderExists(U, target);
    if (!exists && !IsDeviceRoot(target))
        PlanDeviceFolders(job, DeviceParent(target));
    PlanUpTree(job, {Trimmed(from), target, true}, exists, 0);
    return job.Run();
}

}  // namespace zqktool
