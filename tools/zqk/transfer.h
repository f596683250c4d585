#pragma once
// The parts of get, put, pull and push (transfer.cpp): the job that carries
// out a plan (transfer_job.cpp) and the planning of it (transfer_plan.cpp).
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "device_path.h"
#include "local_files.h"
#include "tool.h"
#include "zqkAPI.h"

namespace zqktool::transfer {

using Clock = std::chrono::steady_clock;

// ---- names ----

// A name as a line shows it, in quotes.
std::string Quoted(const std::string& Name);
std::string Plural(int64_t N, const char* One, const char* Many);
// Why a name from the device cannot be a local file's name.
std::string LocalNameProblem(const std::string& Name);
// Whether both paths name one existing entry (as two spellings of a name
// do in a folder that does not tell case apart).
bool SameLocalEntry(const std::string& A, const std::string& B);

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

Step MakeFolderStep(const std::string& To);
Step DeleteStep(const std::string& To, bool Folder);
Step CopyStep(const std::string& From, const std::string& To, int64_t Size);

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
    LocalIdentity PlannedIdentity(const std::string& path);
    void UpToDate() { ++upToDate_; }
    // A failure found while planning: one line, and the job goes on.
    void Fail(ExitCode code, const std::string& message);
    void Fail(const Failure& failure) { Fail(failure.code, failure.what()); }

    int Run();

private:
    bool DeviceGone() const { return lastStatus_ == ZQK_STATUS_GONE || lastStatus_ == ZQK_STATUS_NOT_OPEN; }

    bool UnderFailedFolder(const std::string& path) const;

    void Tell(const Step& step);

    void Line(const std::string& text);

    // Carries out one step: false, with one line on why, when it failed.
    bool Carry(const Step& step);

    bool Failed(ExitCode code, const std::string& message);

    // What the library said of the call just made, before another call replaces it.
    void Heard();

    bool DeviceStepFailed(const std::string& what, const std::string& path, PathKind kind = PathKind::Entry);

    // The local folder at a path of the job, opened once: from an anchor (a
    // folder the user named, opened by its path) down, each folder in the
    // one above it without following a link.
    LocalFolder* FolderAt(const std::string& path, std::string& error);

    // A folder removed by the job is opened afresh if it is made again.
    void Forget(const std::string& path);

    bool MakeFolder(const Step& step);

    bool Delete(const Step& step);

    // A device file into memory with the job's progress, Label starting its lines.
    bool ReadWithProgress(const std::string& label, const std::string& path, int64_t size, std::string& data);

    bool CopyDown(const Step& step);

    // get DEVICE-FILE -: the file's bytes to standard output.
    bool CopyToStandardOutput(const Step& step);

    bool CopyUp(const Step& step);

    // --verify: the copy read back is what was received (Down) or sent (Up).
    bool VerifiedLocal(const LocalFolder& folder, const Step& step, const std::string& data);
    bool VerifiedOnDevice(const Step& step, const std::string& data);

    void Copied(const Step& step, int32_t n);

    // A line of the job's report: on standard output, unless the copied
    // bytes go there.
    void Report(const std::string& text);

    void Summary(double seconds);

    // --json (transfer_report.cpp): each step with its outcome, the bytes
    // it copied (stepBytes_) and the failure line that said why not.
    void Record(const Step& step, bool ok, const std::string& error = std::string());
    std::string JsonSummary(double seconds) const;

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
    int64_t stepBytes_ = -1;  // -1: the step copied nothing; 0: an empty file, not sent
    std::vector<std::string> items_;   // --json: each step as an object
    std::vector<std::string> errors_;  // every failure line, in order
    ExitCode worst_ = kOk;
    bool dataOnStdout_ = false;
    int32_t lastStatus_ = ZQK_STATUS_OK;
    std::string lastText_;
};

// ---- planning (transfer_plan.cpp) ----

// What a tree is copied from and to.
struct Tree {
    std::string from, to;
    bool mirror = false;  // pull, push: compare, stamp, and --delete
};

// Whether the device gave a time for an entry (one without a date has a
// time of its own); a copy gets only a known time.
bool KnownDeviceTime(int64_t DeviceTime);

// Why a name from the device's listing cannot be sent back to it: firmware
// without quoted names reads every blank as "_", so the name would address
// another entry (or none).
std::string UnsendableProblem(const Job& job, const std::string& Name);

// The entry at a device path, found in its folder's listing (the root is a
// folder); false when there is none. Throws Failure when the folder cannot
// be listed.
bool DeviceEntryAt(Unit& unit, const std::string& path, Entry& found);
// Throws Failure when the device could not tell: silent, gone, or a
// listing cut short is no answer that the folder is missing.
bool DeviceFolderExists(Unit& U, const std::string& Path);
// Makes a device folder and the missing ones above it.
void PlanDeviceFolders(Job& job, const std::string& Path);

// Where the job's own part of a local path begins: the folder above the
// first part of it that is missing (or above the path itself), which is
// the user's and is opened by its path.
void AnchorAbove(Job& job, const std::string& Path);
// Makes a local folder and the missing ones above it; false when one of
// them is something else.
bool PlanLocalFolders(Job& job, const std::string& Path);
// The missing folders above a local path.
bool PlanLocalParents(Job& job, const std::string& Path);
// Whether a local folder (or, while it is still to be made, the nearest one
// above it) tells case apart.
bool CaseBlind(std::string Folder);

void PlanDownTree(Job& job, const Tree& tree, int Depth);
void PlanUpTree(Job& job, const Tree& tree, bool Exists, int Depth);

// The key of a local name among the device's names: the name the device
// stores for it, without regard to case.
std::string DeviceKey(const Job& job, const std::string& Name);
// Why two local names would be one entry on the device.
std::string RivalProblem(const std::string& Name, const std::string& Keeper, const std::string& Stored);

}  // namespace zqktool::transfer
