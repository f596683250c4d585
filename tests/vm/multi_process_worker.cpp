// One of several processes that share one device through its hidraw node,
// run by tests/vm/multi-process-session inside the virtual machine. Every
// process receives every input report the device sends, so each check here
// is one that a neighbour's answer would fail: a command whose output names
// this worker and round, a listing of a folder only this worker touches, and
// files whose bytes are this worker's own.
//
//   multi_process_worker run ID ROUNDS WORKDIR
//       ROUNDS rounds of a command, a file written, read back and compared,
//       and a listing; prints what came of each operation and fails on any
//       wrong answer or error, or when busy returns are not a minority.
//   multi_process_worker after-kill PID
//       PID holds the device lock: an operation is refused as busy; then PID
//       is killed with SIGKILL and the next operation must get the lock and
//       its own answer at once.
//   multi_process_worker victim WORKDIR
//       writes a large file, starts reading it back and stops for good in the
//       first progress report, holding the device lock while the device
//       goes on sending; prints "holding" then.
//   multi_process_worker after-kill-mid-transfer PID
//       PID is such a victim: it is killed, and the next command must get
//       its own answer, not the rest of the victim's file.
//   multi_process_worker write-victim
//       starts writing a large file to the device and stops for good in the
//       first progress report, holding the device lock while the device
//       waits for the rest of the data; prints "holding" then.
//   multi_process_worker after-kill-mid-write PID
//       PID is such a victim: it is killed, and the next command must get
//       its own answer (not be stored as the rest of the file), and the
//       partial file must be gone.
#include <signal.h>
#include <unistd.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <thread>

#include "api/library.h"
#include "link/comms.h"
#include "zqkAPI.h"

namespace {

using Clock = std::chrono::steady_clock;

// Well under the 1000 ms that an export waits for the device lock.
constexpr long long kPromptAfterKillMs = 500;
// The rest of the dead holder's file comes first: some 500 reports at one
// per ms, slower in the emulated machine.
constexpr long long kAnswerAfterKillMidTransferMs = 4000;
constexpr int32_t kCommandTimeout = 3000;

long long MsSince(Clock::time_point Start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - Start).count();
}

int32_t LockFailures()
{
    return zqk::TheLibrary()->Default().Comms.LockFailures();
}

enum class Outcome { Ok, Busy, Wrong, Failed };

// What came of one kind of operation over the whole run.
struct Tally {
    int Ok = 0, Busy = 0, Wrong = 0, Failed = 0;

    void Add(Outcome What)
    {
        switch (What) {
        case Outcome::Ok: ++Ok; break;
        case Outcome::Busy: ++Busy; break;
        case Outcome::Wrong: ++Wrong; break;
        case Outcome::Failed: ++Failed; break;
        }
    }
    int Total() const { return Ok + Busy + Wrong + Failed; }
};

// A failure value counts as busy only when the export could not get the
// device lock; the library counts those refusals.
template <typename Call>
Outcome Run(Call&& Operation)
{
    const int32_t refusedBefore = LockFailures();
    const bool answered = Operation();
    if (LockFailures() != refusedBefore)
        return Outcome::Busy;
    return answered ? Outcome::Ok : Outcome::Failed;
}

class Worker {
public:
    Worker(int Id, std::string WorkDir) : id_(Id), dir_(std::move(WorkDir)), folder_("/w" + std::to_string(Id)) {}

    bool Start()
    {
        ::mkdir(dir_.c_str(), 0755);
        for (int attempt = 0; attempt < 5; ++attempt) {
            if (zqkDirMake(folder_.c_str()) == 0)
                return true;
        }
        Complain("could not make " + folder_);
        return false;
    }

    void Round(int N)
    {
        commands_.Add(Command(N));
        transfers_.Add(Transfer(N));
        listings_.Add(Listing());
    }

    bool Report() const
    {
        Print("commands", commands_);
        Print("transfers", transfers_);
        Print("listings", listings_);
        const Tally* all[] = {&commands_, &transfers_, &listings_};
        bool good = true;
        for (const Tally* t : all) {
            if (t->Wrong != 0 || t->Failed != 0 || t->Ok == 0 || 2 * t->Busy >= t->Total())
                good = false;
        }
        return good;
    }

private:
    // The answer spans several reports, so a neighbour's packets in between
    // would show.
    Outcome Command(int N)
    {
        const std::string words = "w" + std::to_string(id_) + "-" + std::to_string(N) + " " +
                                  std::string(static_cast<size_t>(40 + 13 * id_ + N % 7), static_cast<char>('a' + id_));
        char answer[1024];
        int32_t length = -1;
        const Outcome outcome = Run(
            [&] {
                length = zqkCommand(("echo " + words).c_str(), answer, sizeof answer, kCommandTimeout);
                return length >= 0;
            });
        if (outcome != Outcome::Ok)
            return outcome;
        const std::string got(answer, static_cast<size_t>(length));
        if (got != words + "\r\n") {
            Complain("command " + std::to_string(N) + " answered \"" + got + "\"");
            return Outcome::Wrong;
        }
        return Outcome::Ok;
    }

    // Every byte value, in an order only this worker and round give.
    std::string Contents(int N) const
    {
        std::string bytes(static_cast<size_t>(1500 + 311 * id_ + 97 * N), '\0');
        uint32_t state = static_cast<uint32_t>(id_ * 7919 + N * 104729 + 1);
        for (char& c : bytes) {
            state = state * 1664525u + 1013904223u;
            c = static_cast<char>(state >> 24);
        }
        return bytes;
    }

    std::string DeviceName(int N) const { return "f" + std::to_string(N % 3) + ".bin"; }

    Outcome Transfer(int N)
    {
        const std::string contents = Contents(N);
        const std::string out = dir_ + "/out.bin", back = dir_ + "/back.bin";
        const std::string device = folder_ + "/" + DeviceName(N);
        std::ofstream(out, std::ios::binary | std::ios::trunc) << contents;
        const Outcome write = Run(
            [&] { return zqkFileWrite(out.c_str(), device.c_str()) == static_cast<int32_t>(contents.size()); });
        if (write != Outcome::Ok) {
            // A write that never started leaves the old file; one that failed
            // part-way leaves the listing's size unknown.
            if (write == Outcome::Failed)
                expected_.erase(DeviceName(N));
            return write;
        }
        expected_[DeviceName(N)] = static_cast<int32_t>(contents.size());
        std::remove(back.c_str());
        const Outcome readBack = Run(
            [&] { return zqkFileRead(device.c_str(), back.c_str()) == static_cast<int32_t>(contents.size()); });
        if (readBack != Outcome::Ok)
            return readBack;
        std::ifstream in(back, std::ios::binary);
        const std::string got((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (got != contents) {
            Complain("file " + device + " came back changed (" + std::to_string(got.size()) + " bytes)");
            return Outcome::Wrong;
        }
        return Outcome::Ok;
    }

    Outcome Listing()
    {
        int32_t count = -1;
        const Outcome outcome = Run(
            [&] {
                count = zqkDir(folder_.c_str());
                return count >= 0;
            });
        if (outcome != Outcome::Ok)
            return outcome;
        std::map<std::string, int32_t> seen;
        for (int32_t i = 0; i < count; ++i) {
            char name[256];
            int32_t size = -1, attributes = 0, time = 0;
            if (zqkGetDirEntry(i, name, sizeof name, &size, &attributes, &time) < 0) {
                Complain("listing entry " + std::to_string(i) + " unreadable");
                return Outcome::Wrong;
            }
            seen[name] = size;
        }
        for (const auto& [name, size] : expected_) {
            const auto found = seen.find(name);
            if (found == seen.end() || found->second != size) {
                Complain("listing of " + folder_ + " lacks " + name + " of " + std::to_string(size) + " bytes");
                return Outcome::Wrong;
            }
        }
        for (const auto& entry : seen) {
            if (entry.first.rfind('f', 0) != 0 || entry.first.size() != 6) {
                Complain("listing of " + folder_ + " shows a stranger: " + entry.first);
                return Outcome::Wrong;
            }
        }
        return Outcome::Ok;
    }

    void Complain(const std::string& What) const { std::printf("worker %d: WRONG: %s\n", id_, What.c_str()); }

    void Print(const char* What, const Tally& T) const
    {
        std::printf("worker %d: %-9s %3d ok %3d busy %3d wrong %3d failed\n", id_, What, T.Ok, T.Busy, T.Wrong,
                    T.Failed);
    }

    const int id_;
    const std::string dir_;
    const std::string folder_;
    std::map<std::string, int32_t> expected_;  // file name -> size last written
    Tally commands_, transfers_, listings_;
};

// The kernel may list the device a moment before its node can be opened.
bool Open()
{
    if (zqk::StartLibrary()) {
        for (int attempt = 0; attempt < 20; ++attempt) {
            if (zqkOpen())
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }
    std::printf("no device\n");
    return false;
}

int RunRounds(int Id, int Rounds, const std::string& WorkDir)
{
    if (!Open())
        return 1;
    Worker worker(Id, WorkDir);
    if (!worker.Start())
        return 1;
    const auto start = Clock::now();
    for (int n = 0; n < Rounds; ++n)
        worker.Round(n);
    const bool good = worker.Report();
    std::printf("worker %d: %d rounds in %lld ms: %s\n", Id, Rounds, MsSince(start), good ? "good" : "FAILED");
    zqkClose();
    return good ? 0 : 1;
}

// Reads a large file and, at its first progress report, stops for good in
// the callback: it holds the device lock while the device goes on sending
// the rest of the file, until it is killed.
void ZQK_CALL StopForGood(int32_t, int32_t, int32_t)
{
    std::printf("holding\n");
    for (;;)
        ::pause();
}

int Victim(const std::string& WorkDir)
{
    if (!Open())
        return 1;
    ::mkdir(WorkDir.c_str(), 0755);
    const std::string local = WorkDir + "/victim.bin";
    std::string bytes(30000, '\0');
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>((i * 131 + i / 7) & 0xFF);  // 0xBB included
    std::ofstream(local, std::ios::binary | std::ios::trunc) << bytes;
    if (zqkFileWrite(local.c_str(), "/victim.bin") != static_cast<int32_t>(bytes.size())) {
        std::printf("victim: could not write its file\n");
        return 1;
    }
    zqkSetCallback(StopForGood, 0);
    zqkFileRead("/victim.bin", (local + ".back").c_str());
    return 1;  // not reached
}

const char* const kCutShortFile = "/cut-short.bin";

// Writes a large file and, at its first progress report, stops for good in
// the callback: it holds the device lock while the device waits for the
// rest of the data, until it is killed.
int WriteVictim()
{
    if (!Open())
        return 1;
    const std::string local = "/tmp/zqk-write-victim.bin";
    std::ofstream(local, std::ios::binary | std::ios::trunc) << std::string(30000, 'v');
    zqkSetCallback(StopForGood, 0);
    zqkFileWrite(local.c_str(), kCutShortFile);
    return 1;  // not reached
}

// The device's own lock as another process would find it, without an
// export's wait.
bool LockIsHeldElsewhere()
{
    zqk::TzqComms& comms = zqk::TheLibrary()->Default().Comms;
    if (!comms.Lock(0))
        return true;
    comms.Unlock();
    return false;
}

// Kills Holder, then runs one command and reports what came and when.
bool CommandAfterKilling(pid_t Holder, long long WithinMs)
{
    if (::kill(Holder, SIGKILL) != 0) {
        std::printf("after-kill: FAILED: could not kill %d\n", static_cast<int>(Holder));
        return false;
    }
    const auto killed = Clock::now();
    char answer[256];
    const int32_t length = zqkCommand("echo after the kill", answer, sizeof answer, kCommandTimeout);
    const long long ms = MsSince(killed);
    const std::string got = length >= 0 ? std::string(answer, static_cast<size_t>(length)) : std::string();
    std::printf("after-kill: %lld ms after the kill the answer was \"%s\"\n", ms,
                got.substr(0, got.find('\r')).c_str());
    if (got != "after the kill\r\n" || ms >= WithinMs) {
        std::printf("after-kill: FAILED (wanted its own answer within %lld ms)\n", WithinMs);
        return false;
    }
    return true;
}

int AfterKill(pid_t Holder)
{
    if (!Open())
        return 1;
    char answer[256];
    const int32_t refusedBefore = LockFailures();
    const int32_t held = zqkCommand("echo while held", answer, sizeof answer, kCommandTimeout);
    if (held >= 0 || LockFailures() == refusedBefore) {
        std::printf("after-kill: FAILED: the command ran while the lock was held (%d)\n", held);
        return 1;
    }
    std::printf("after-kill: busy while the holder lives\n");
    const bool good = CommandAfterKilling(Holder, kPromptAfterKillMs);
    zqkClose();
    return good ? 0 : 1;
}

// The holder died in the middle of a file the device is still sending: the
// rest of it must not be taken for the answer of the next command.
int AfterKillMidTransfer(pid_t Holder)
{
    if (!Open())
        return 1;
    if (!LockIsHeldElsewhere()) {
        std::printf("after-kill: FAILED: the victim does not hold the lock\n");
        return 1;
    }
    const bool good = CommandAfterKilling(Holder, kAnswerAfterKillMidTransferMs);
    zqkClose();
    return good ? 0 : 1;
}

}  // namespace

// The holder died in the middle of a file's data that the device still
// waits for: the next command must not be stored as the rest of it, and the
// file it left must go.
int AfterKillMidWrite(pid_t Holder)
{
    if (!Open())
        return 1;
    if (!LockIsHeldElsewhere()) {
        std::printf("after-kill: FAILED: the victim does not hold the lock\n");
        return 1;
    }
    bool good = CommandAfterKilling(Holder, kAnswerAfterKillMidTransferMs);
    std::printf("after-kill: %s\n", zqk::TheLibrary()->Default().Terminal.RecoveryNote().c_str());
    const int32_t count = zqkDir("/");
    for (int32_t i = 0; i < count; ++i) {
        char name[256];
        if (zqkGetDirEntry(i, name, sizeof name, nullptr, nullptr, nullptr) >= 0 && kCutShortFile + 1 == std::string(name)) {
            std::printf("after-kill: FAILED: the cut-short file %s is still there\n", kCutShortFile);
            good = false;
        }
    }
    if (count < 0) {
        std::printf("after-kill: FAILED: no listing after the recovery\n");
        good = false;
    }
    zqkClose();
    return good ? 0 : 1;
}

int main(int argc, char** argv)
{
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "run" && argc == 5)
        return RunRounds(std::atoi(argv[2]), std::atoi(argv[3]), argv[4]);
    if (mode == "after-kill" && argc == 3)
        return AfterKill(static_cast<pid_t>(std::atol(argv[2])));
    if (mode == "victim" && argc == 3)
        return Victim(argv[2]);
    if (mode == "after-kill-mid-transfer" && argc == 3)
        return AfterKillMidTransfer(static_cast<pid_t>(std::atol(argv[2])));
    if (mode == "write-victim" && argc == 2)
        return WriteVictim();
    if (mode == "after-kill-mid-write" && argc == 3)
        return AfterKillMidWrite(static_cast<pid_t>(std::atol(argv[2])));
    std::fprintf(stderr, "usage: multi_process_worker run ID ROUNDS WORKDIR | after-kill PID | victim WORKDIR |\n"
                         "       after-kill-mid-transfer PID | write-victim | after-kill-mid-write PID\n");
    return 2;
}
