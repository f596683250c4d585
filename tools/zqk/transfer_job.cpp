// The job of a transfer: its steps carried out under one progress display,
// going on past a step that fails, and the summary.
#include "transfer.h"

#include <algorithm>
#include <cstdio>

namespace zqktool::transfer {

namespace {

// A file of a job that the library refused (a name the device cannot take,
// for one) is a failed transfer, not a wrong argument of the tool's.
ExitCode StepExitCode(int32_t status)
{
    return status == ZQK_STATUS_ARGUMENT ? kFailed : ExitCodeOf(status);
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

}  // namespace

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

std::string Quoted(const std::string& name)
{
    return "\"" + Shown(name) + "\"";
}

std::string Plural(int64_t n, const char* one, const char* many)
{
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

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

// The local file that a copy to path will replace, as the folder shows
// it now: the entry of that name (or, where the folder does not tell
// case apart, of that name in other case), none when it has no such
// entry. A name that opens another entry (an 8.3 alias, a case fold the
// folder makes beyond ASCII) is then told apart when the copy comes.
LocalIdentity Job::PlannedIdentity(const std::string& path)
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
        if (FoldedCase(e.name) == FoldedCase(name) && IdentityLocal(Joined(folder, e.name)) == answering)
            return answering;
    return LocalIdentity {};
}

// A failure found while planning: one line, and the job goes on.
void Job::Fail(ExitCode code, const std::string& message)
{
    unit_.console.Failed(message);
    errors_.push_back(message);
    ++failed_;
    worst_ = std::max(worst_, code);
}

int Job::Run()
{
    int64_t files = 0, bytes = 0;
    for (const Step& step : steps_)
        if (step.kind == Step::Copy) {
            ++files, bytes += step.size;
            dataOnStdout_ = dataOnStdout_ || (way_ == Way::Down && step.to == kStandardStream);
        }
    if (!opts_.dryRun && !opts_.quiet)
        PlanProgress(files, bytes);
    const Clock::time_point start = Clock::now();
    for (size_t i = 0; i < steps_.size(); ++i) {
        const Step& step = steps_[i];
        if (UnderFailedFolder(step.to)) {
            ++failed_;  // its folder's failure said why
            Record(step, false, "its folder could not be made");
            continue;
        }
        if (opts_.dryRun) {
            Tell(step);
            Record(step, true);
            continue;
        }
        const size_t said = errors_.size();
        stepBytes_ = -1;
        const bool done = Carry(step);
        Record(step, done, errors_.size() > said ? errors_.back() : std::string());
        if (!done && DeviceGone()) {
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

bool Job::UnderFailedFolder(const std::string& path) const
{
    return std::any_of(failedFolders_.begin(), failedFolders_.end(),
                       [&](const std::string& folder) { return IsBelow(path, folder); });
}

void Job::Tell(const Step& step)
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

void Job::Line(const std::string& text)
{
    if (!opts_.quiet && !opts_.json)
        Report(text);
}

void Job::Report(const std::string& text)
{
    if (dataOnStdout_)
        unit_.console.Err(text);
    else
        unit_.console.Out(text);
}

// Carries out one step: false, with one line on why, when it failed.
bool Job::Carry(const Step& step)
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

bool Job::Failed(ExitCode code, const std::string& message)
{
    Fail(code, message);
    return false;
}

// What the library said of the call just made, before another call replaces it.
void Job::Heard()
{
    lastStatus_ = zqkLastStatus();
    lastText_ = StatusText();
}

bool Job::DeviceStepFailed(const std::string& what, const std::string& path, PathKind kind)
{
    Heard();
    return Failed(StepExitCode(lastStatus_), FailureMessage(what, path, lastStatus_, lastText_, kind));
}

// The local folder at a path of the job, opened once: from an anchor (a
// folder the user named, opened by its path) down, each folder in the
// one above it without following a link.
LocalFolder* Job::FolderAt(const std::string& path, std::string& error)
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
void Job::Forget(const std::string& path)
{
    for (auto it = folders_.begin(); it != folders_.end();)
        it = it->first == path || IsBelow(it->first, path) ? folders_.erase(it) : std::next(it);
}

bool Job::MakeFolder(const Step& step)
{
    std::string error;
    if (way_ == Way::Down) {
        LocalFolder* parent = FolderAt(LocalParent(step.to), error);
        return (parent && parent->MakeFolder(LocalLeaf(step.to), error)) ||
               Failed(kLocalFile, Because("cannot make folder " + Shown(step.to), error));
    }
    return zqkDevDirMake(unit_.handle, step.to.c_str()) == 0 ||
           DeviceStepFailed("cannot make folder", Shown(step.to));
}

bool Job::Delete(const Step& step)
{
    bool done = false;
    if (way_ == Way::Down) {
        std::string error;
        Forget(step.to);
        LocalFolder* parent = FolderAt(LocalParent(step.to), error);
        done = (parent && parent->Remove(LocalLeaf(step.to), error)) ||
               Failed(kLocalFile, Because("cannot delete " + Shown(step.to), error));
    } else {
        const int32_t result = step.folder ? zqkDevDirRemove(unit_.handle, step.to.c_str())
                                           : zqkDevFileDelete(unit_.handle, step.to.c_str());
        done = result == 0 || DeviceStepFailed("cannot delete", Shown(step.to), step.folder ? PathKind::Folder : PathKind::Entry);
    }
    if (done) {
        ++deleted_;
        Line("deleted " + Shown(step.to) + "\n");
    }
    return done;
}

bool Job::ReadWithProgress(const std::string& label, const std::string& path, int64_t size, std::string& data)
{
    FileProgress progress(unit_, label, path, opts_.quiet);
    const bool read = ReadDeviceFile(unit_.handle, path, size, data);
    Heard();
    progress.Done();
    return read;
}

bool Job::CopyDown(const Step& step)
{
    // The folder tells case apart after all, or a rival came in: keep what is there.
    for (const std::string& rival : step.caseRivals)
        if (SameLocalEntry(rival, step.to))
            return Failed(kFailed, "refused " + Shown(step.from) + ": its name differs only in case from " +
                                       Shown(rival) + ", which this folder does not tell apart; not copied");
    if (step.to == kStandardStream)
        return CopyToStandardOutput(step);
    // The local side is looked at before a byte crosses the link: a folder
    // that is missing or cannot take the file fails at once, not after the
    // whole file has come.
    std::string error, data;
    LocalFolder* folder = FolderAt(LocalParent(step.to), error);
    if (!folder || !folder->CanWriteFile(LocalLeaf(step.to), step.expected, error))
        return Failed(kLocalFile, Because("cannot write " + Shown(step.to), error));
    if (!ReadWithProgress(opts_.command + " " + step.from, step.from, step.size, data))
        return Failed(StepExitCode(lastStatus_), FailureMessage("cannot read", Shown(step.from), lastStatus_, lastText_));
    const int64_t modified = UnixTimeOf(step.time);
    if (!folder->WriteFile(LocalLeaf(step.to), data, step.stamp ? &modified : nullptr, step.expected, error))
        return Failed(kLocalFile, Because("cannot write " + Shown(step.to), error));
    if (opts_.verify && !VerifiedLocal(*folder, step, data))
        return false;
    Copied(step, static_cast<int32_t>(data.size()));
    return true;
}

bool Job::CopyToStandardOutput(const Step& step)
{
    std::string data;
    if (!ReadWithProgress(opts_.command + " " + step.from, step.from, step.size, data))
        return Failed(StepExitCode(lastStatus_), FailureMessage("cannot read", Shown(step.from), lastStatus_, lastText_));
    std::string error;
    if (!WriteStandardOutput(data, error))
        return Failed(kLocalFile, Because("cannot write standard output", error));
    Copied(step, static_cast<int32_t>(data.size()));
    return true;
}

bool Job::VerifiedLocal(const LocalFolder& folder, const Step& step, const std::string& data)
{
    std::string error, back;
    if (!folder.ReadFile(LocalLeaf(step.to), back, error))
        return Failed(kLocalFile, Because("cannot read back " + Shown(step.to) + " to verify it", error));
    return back == data ||
           Failed(kFailed, Shown(step.to) + " does not hold what the device sent (" + std::to_string(back.size()) +
                               " bytes read back of " + std::to_string(data.size()) + ", or other bytes)");
}

bool Job::VerifiedOnDevice(const Step& step, const std::string& data)
{
    std::string back;
    if (!ReadWithProgress("verify " + step.to, step.to, static_cast<int64_t>(data.size()), back))
        return Failed(StepExitCode(lastStatus_),
                      FailureMessage("cannot read back", Shown(step.to), lastStatus_, lastText_));
    return back == data || Failed(kFailed, Shown(step.to) + " on the device does not hold what was sent (" +
                                               std::to_string(back.size()) + " bytes read back of " +
                                               std::to_string(data.size()) + ", or other bytes)");
}

bool Job::CopyUp(const Step& step)
{
    std::string error, data;
    if (step.from == kStandardStream) {
        if (!ReadStandardInput(data, error))
            return Failed(kLocalFile, Because("cannot read standard input", error));
    } else {
        LocalFolder* folder = FolderAt(LocalParent(step.from), error);
        if (!folder || !folder->ReadFile(LocalLeaf(step.from), data, error))
            return Failed(kLocalFile, Because("cannot read " + Shown(step.from), error));
    }
    int32_t n = 0;
    {
        FileProgress progress(unit_, opts_.command + " " + step.to, step.to, opts_.quiet);
        n = zqkDevFileWriteBuffer(unit_.handle, data.data(), static_cast<int32_t>(data.size()), step.to.c_str(),
                                  step.stamp ? DeviceTimeArgument(DeviceTimeOf(step.time)) : 0);
        Heard();
        progress.Done();
    }
    if (n < 0)
        return Failed(StepExitCode(lastStatus_), FailureMessage("cannot write", Shown(step.to), lastStatus_, lastText_));
    if (n == 0) {
        ++skipped_;  // the protocol sends no empty file
        stepBytes_ = 0;
        unit_.console.Err("zqk: " + Shown(step.from) + " is empty; nothing was sent\n");
        return true;
    }
    if (opts_.verify && !VerifiedOnDevice(step, data))
        return false;
    Copied(step, n);
    return true;
}

void Job::Copied(const Step& step, int32_t n)
{
    ++copied_;
    bytes_ += n;
    stepBytes_ = n;
    const bool verified = opts_.verify && step.to != kStandardStream;
    Line(Shown(step.from) + " -> " + Shown(step.to) + ": " + std::to_string(n) + " bytes" +
         (verified ? ", verified" : "") + "\n");
}

void Job::Summary(double seconds)
{
    if (opts_.json) {
        unit_.console.Json(unit_.serial, JsonSummary(seconds));
        return;
    }
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
    Report(line + "\n");
}

}  // namespace zqktool::transfer
