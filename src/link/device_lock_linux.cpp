// The machine-wide lock on Linux: an open-file-description write lock
// (F_OFD_SETLK) on a file of the device's, its node or a file in its folder.
// Taking it needs the file opened for writing, so only a user who may use
// the device can take or hold its lock; the kernel lets go of it when its
// holder's process dies. Threads of one process first take turns on a
// robust mutex of the process, which hands the lock on at once inside the
// process, also from a thread that ended holding it.
//
// Beside the lock a small shared state (a count of acquisitions, whether a
// holder is in its turn, the transfer owed to the device) is read and
// written only by the holder: in the lock file itself for a folder's lock,
// in a /dev/shm object named after the lock for a node's. It is used only
// where no user who may not use the device can have made or changed it;
// without it every turn counts as after another holder's, nothing is taken
// as owed and no dead holder is told, and the lock itself works all the same.
#include "link/device_lock.h"
#include "base/platform_text.h"

#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

namespace zqk {

bool ClassicProgramsRunHere()
{
    return false;
}

namespace {

constexpr const char* kLockFileName = ".zqk-lock";
// Where a lock with no place of its own keeps its file, and a node's lock
// its state.
constexpr const char* kSharedFolder = "/dev/shm";
constexpr const char* kStateSuffix = ".state";

class UniqueFd {
public:
    explicit UniqueFd(int Fd = -1) : fd_(Fd) {}
    ~UniqueFd()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    UniqueFd(UniqueFd&& Other) noexcept : fd_(std::exchange(Other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& Other) noexcept
    {
        std::swap(fd_, Other.fd_);
        return *this;
    }
    int Get() const { return fd_; }
    bool Valid() const { return fd_ >= 0; }

private:
    int fd_;
};

// Changed only by the holder of the lock.
struct SharedState {
    uint32_t acquisitions;  // wraps; only compared for equality
    uint32_t holding;       // set from a holder's acquisition to its release
    OwedRecord owed;
};

// Who may use the thing a file belongs to (the device's node, or its
// folder): its owner, and the members of its group when the group may.
struct Access {
    uid_t owner = 0;
    gid_t group = 0;
    bool groupMayUse = false;
};

Access AccessOf(const struct stat& Thing, mode_t GroupNeeds)
{
    return {Thing.st_uid, Thing.st_gid, (Thing.st_mode & GroupNeeds) == GroupNeeds};
}

// A file beside the lock that only users who may use the device can have
// made or changed: a plain file of one name, written by nobody else, whose
// owner is this user, root or the thing's owner, or whose group is the
// thing's where that group may use it (a user cannot give a file a group
// he is not in) and whom others may not touch.
bool Trusted(const struct stat& File, const Access& Thing)
{
    if (!S_ISREG(File.st_mode) || File.st_nlink != 1 || (File.st_mode & 0002) != 0)
        return false;
    if (File.st_uid == ::geteuid() || File.st_uid == 0 || File.st_uid == Thing.owner)
        return true;
    return File.st_gid == Thing.group && Thing.groupMayUse && (File.st_mode & 0007) == 0;
}

// A file this process just made gets the thing's group where it can, and
// lets that group in only when the group may use the thing.
void GiveAccess(int Fd, const Access& Thing)
{
    struct stat st {};
    if (::fstat(Fd, &st) != 0)
        return;
    if (st.st_gid != Thing.group && ::fchown(Fd, static_cast<uid_t>(-1), Thing.group) == 0)
        st.st_gid = Thing.group;
    ::fchmod(Fd, st.st_gid == Thing.group && Thing.groupMayUse ? 0660 : 0600);
}

// Opens Name in the folder open on Dir for reading and writing, making it
// with the access of Thing when it is not there; never through a symbolic
// link.
UniqueFd OpenIn(int Dir, const std::string& Name, const Access& Thing, std::string& Problem)
{
    constexpr int kFlags = O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    UniqueFd fd(::openat(Dir, Name.c_str(), kFlags | O_CREAT | O_EXCL, 0600));
    if (fd.Valid())
        GiveAccess(fd.Get(), Thing);
    else if (errno == EEXIST)
        fd = UniqueFd(::openat(Dir, Name.c_str(), kFlags));
    if (!fd.Valid())
        Problem = PlatformErrorText(errno);
    return fd;
}

// The state mapped from Fd, made long enough; null when it cannot be.
SharedState* MapState(int Fd)
{
    struct stat st {};
    if (::fstat(Fd, &st) != 0 ||
        (st.st_size < static_cast<off_t>(sizeof(SharedState)) && ::ftruncate(Fd, sizeof(SharedState)) != 0))
        return nullptr;
    void* map = ::mmap(nullptr, sizeof(SharedState), PROT_READ | PROT_WRITE, MAP_SHARED, Fd, 0);
    return map == MAP_FAILED ? nullptr : static_cast<SharedState*>(map);
}

SharedState* MapIfTrusted(int Fd, const Access& Thing)
{
    struct stat st {};
    return ::fstat(Fd, &st) == 0 && Trusted(st, Thing) ? MapState(Fd) : nullptr;
}

// ThreadSanitizer's runtime knows pthread_mutex_timedlock but not
// pthread_mutex_clocklock: in its builds the turn is taken the way it sees,
// against the real-time clock, so that it learns which thread holds it. gcc
// says it builds with it by __SANITIZE_THREAD__, clang by __has_feature.
#if defined(__SANITIZE_THREAD__)
#define ZQK_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define ZQK_THREAD_SANITIZER 1
#endif
#endif

#if defined(ZQK_THREAD_SANITIZER)
constexpr clockid_t kTurnClock = CLOCK_REALTIME;
int TakeTurnBefore(pthread_mutex_t* m, const timespec* deadline) { return pthread_mutex_timedlock(m, deadline); }
#else
// A deadline on the monotonic clock does not move when the wall clock is set.
constexpr clockid_t kTurnClock = CLOCK_MONOTONIC;
int TakeTurnBefore(pthread_mutex_t* m, const timespec* deadline)
{
    return pthread_mutex_clocklock(m, CLOCK_MONOTONIC, deadline);
}
#endif

int64_t NowUs(clockid_t Clock)
{
    timespec t {};
    clock_gettime(Clock, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
}

// The end of a wait of TimeoutMs (negative: none), on both clocks it is
// measured by.
class Deadline {
public:
    explicit Deadline(int32_t TimeoutMs)
        : unlimited_(TimeoutMs < 0),
          turnEndUs_(NowUs(kTurnClock) + int64_t {TimeoutMs} * 1000),
          endUs_(NowUs(CLOCK_MONOTONIC) + int64_t {TimeoutMs} * 1000)
    {
    }
    bool Unlimited() const { return unlimited_; }
    timespec TurnEnd() const
    {
        return {static_cast<time_t>(turnEndUs_ / 1000000), static_cast<long>(turnEndUs_ % 1000000) * 1000};
    }
    int64_t LeftUs() const { return endUs_ - NowUs(CLOCK_MONOTONIC); }

private:
    const bool unlimited_;
    const int64_t turnEndUs_;
    const int64_t endUs_;
};

// One file's lock as this process has it, shared by every object of the
// same file. The thread whose turn it is takes the file's lock, which then
// belongs to this process's one open of the file.
struct LockFile {
    UniqueFd fd;
    pthread_mutex_t turn;
    SharedState* state = nullptr;  // null: none to be trusted
    bool holderEnded = false;      // a thread ended in its turn; told to the next

    ~LockFile()
    {
        if (state)
            ::munmap(state, sizeof(SharedState));
        pthread_mutex_destroy(&turn);
    }
};

// A robust, error-checking mutex of the process: a thread that ended
// holding it hands it on (EOWNERDEAD), and a thread that holds it through
// one object of the file is refused (EDEADLK) through another.
int InitialiseTurn(pthread_mutex_t* Turn)
{
    pthread_mutexattr_t attr;
    int rc = pthread_mutexattr_init(&attr);
    if (rc != 0)
        return rc;
    rc = pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
    if (rc == 0)
        rc = pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_ERRORCHECK);
    if (rc == 0)
        rc = pthread_mutex_init(Turn, &attr);
    pthread_mutexattr_destroy(&attr);
    return rc;
}

// EOWNERDEAD counts as the turn taken; the news goes to the taker.
int TakeTurn(LockFile& File, const Deadline& Until)
{
    int rc;
    if (Until.Unlimited()) {
        rc = pthread_mutex_lock(&File.turn);
    } else {
        const timespec end = Until.TurnEnd();
        rc = TakeTurnBefore(&File.turn, &end);
    }
    if (rc == EOWNERDEAD) {
        pthread_mutex_consistent(&File.turn);
        File.holderEnded = true;
        rc = 0;
    }
    return rc;
}

struct flock WholeFile(short Type)
{
    struct flock whole {};
    whole.l_type = Type;
    whole.l_whence = SEEK_SET;
    return whole;  // start 0, length 0: the whole file; pid 0, as OFD locks want
}

bool IsHeldElsewhere(int Error)
{
    return Error == EAGAIN || Error == EACCES || Error == EINTR;
}

// Tries, then tries again after pauses that grow from 200 us to 2 ms, until
// the deadline; without one, waits in the kernel. False with Problem set when
// the file cannot be locked at all.
bool LockWholeFile(int Fd, const Deadline& Until, std::string& Problem)
{
    struct flock whole = WholeFile(F_WRLCK);
    if (Until.Unlimited()) {
        while (::fcntl(Fd, F_OFD_SETLKW, &whole) != 0) {
            if (errno != EINTR) {
                Problem = "cannot lock its file: " + PlatformErrorText(errno);
                return false;
            }
        }
        return true;
    }
    int64_t pauseUs = 200;
    for (;;) {
        if (::fcntl(Fd, F_OFD_SETLK, &whole) == 0)
            return true;
        if (!IsHeldElsewhere(errno)) {
            Problem = "cannot lock its file: " + PlatformErrorText(errno);
            return false;
        }
        const int64_t leftUs = Until.LeftUs();
        if (leftUs <= 0)
            return false;
        const int64_t us = std::min(pauseUs, leftUs);
        const timespec pause {static_cast<time_t>(us / 1000000), static_cast<long>(us % 1000000) * 1000};
        nanosleep(&pause, nullptr);
        pauseUs = std::min<int64_t>(pauseUs * 2, 2000);
    }
}

void UnlockWholeFile(int Fd)
{
    struct flock whole = WholeFile(F_UNLCK);
    ::fcntl(Fd, F_OFD_SETLK, &whole);
}

// The lock files this process has open, by the file's identity, so that
// every object of one file shares its open and its turns.
using FileKey = std::pair<dev_t, ino_t>;

struct OpenFiles {
    std::mutex guard;
    std::map<FileKey, std::weak_ptr<LockFile>> files;
};

OpenFiles& TheOpenFiles()
{
    static auto* open = new OpenFiles;  // still there for objects destroyed at exit
    return *open;
}

// What was opened for a lock: the file to lock, whether it holds the
// state itself, and whose the thing it belongs to is.
struct Opened {
    UniqueFd fd;
    bool isNode = false;
    Access thing;
};

}  // namespace

struct MachineLock::Impl {
    std::string name;
    LockPlace place;
    mutable std::mutex setup;
    std::shared_ptr<LockFile> file;  // set once, under setup
    std::atomic<LockFile*> opened {nullptr};  // the same, for the holder's questions
    std::string problem;             // under setup

    // Of this object, touched by the thread whose turn it is.
    uint32_t acquisitionsAfterOurs = 0;
    bool countKnown = false;  // false: the first acquisition counts as after another holder
    bool heldElsewhere = true;
    bool previousHolderDied = false;

    std::string FilePath() const
    {
        if (!place.Node.empty())
            return place.Node;
        return (place.Folder.empty() ? std::string(kSharedFolder) + "/" + name : place.Folder + "/" + kLockFileName);
    }

    // The node is opened as talking to the device opens it: whoever may do
    // that may lock it, and nobody else.
    Opened OpenNode()
    {
        Opened opened;
        opened.isNode = true;
        opened.fd = UniqueFd(::open(place.Node.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
        struct stat st {};
        if (!opened.fd.Valid() || ::fstat(opened.fd.Get(), &st) != 0) {
            problem = "cannot open the device's node " + place.Node + " for its lock: " + PlatformErrorText(errno);
            opened.fd = UniqueFd();
            return opened;
        }
        opened.thing = AccessOf(st, 0060);
        return opened;
    }

    // The folder is opened once, and the file made and opened in it.
    Opened OpenInFolder()
    {
        Opened opened;
        const std::string folder = place.Folder.empty() ? kSharedFolder : place.Folder;
        const UniqueFd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        struct stat st {};
        if (!dir.Valid() || ::fstat(dir.Get(), &st) != 0) {
            problem = "cannot open the folder " + folder + " of the device lock: " + PlatformErrorText(errno);
            return opened;
        }
        opened.thing = AccessOf(st, 0030);
        std::string why;
        opened.fd = OpenIn(dir.Get(), place.Folder.empty() ? name : kLockFileName, opened.thing, why);
        if (!opened.fd.Valid())
            problem = "cannot open the device lock " + FilePath() + ": " + why;
        return opened;
    }

    // A node's state is an object named after the lock, trusted only when
    // only users who may use the device can have made it.
    static SharedState* NodeState(const std::string& Name, const Access& Node)
    {
        const UniqueFd dir(::open(kSharedFolder, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        std::string why;
        const UniqueFd fd = dir.Valid() ? OpenIn(dir.Get(), Name + kStateSuffix, Node, why) : UniqueFd();
        return fd.Valid() ? MapIfTrusted(fd.Get(), Node) : nullptr;
    }

    // This process's open of the lock's file, shared with the other objects
    // of the same file; null (problem set) when it cannot be had. Setup held.
    std::shared_ptr<LockFile> Open()
    {
        if (file)
            return file;
        Opened opened = place.Node.empty() ? OpenInFolder() : OpenNode();
        struct stat st {};
        if (!opened.fd.Valid() || ::fstat(opened.fd.Get(), &st) != 0)
            return nullptr;
        OpenFiles& open = TheOpenFiles();
        const std::lock_guard<std::mutex> guard(open.guard);
        for (auto entry = open.files.begin(); entry != open.files.end();)
            entry = entry->second.expired() ? open.files.erase(entry) : std::next(entry);
        std::weak_ptr<LockFile>& known = open.files[{st.st_dev, st.st_ino}];
        problem.clear();
        if (std::shared_ptr<LockFile> shared = known.lock())
            return Keep(std::move(shared));
        auto made = std::make_shared<LockFile>();
        if (const int rc = InitialiseTurn(&made->turn); rc != 0) {
            problem = "cannot set up the device lock: " + PlatformErrorText(rc);
            return nullptr;
        }
        made->state = opened.isNode ? NodeState(name, opened.thing) : MapIfTrusted(opened.fd.Get(), opened.thing);
        made->fd = std::move(opened.fd);
        known = made;
        return Keep(std::move(made));
    }

    std::shared_ptr<LockFile> Keep(std::shared_ptr<LockFile> Opened)
    {
        file = std::move(Opened);
        opened = file.get();
        return file;
    }

    std::shared_ptr<LockFile> File()
    {
        const std::lock_guard<std::mutex> guard(setup);
        return Open();
    }

    void NoteProblem(const std::string& Text)
    {
        const std::lock_guard<std::mutex> guard(setup);
        problem = Text;
    }

    // The count as it stands between two holders' turns. An object made
    // during a turn cannot tell that turn from its own past, so it counts it
    // as another holder's.
    void NoteStartingCount(LockFile& File)
    {
        if (!File.state || TakeTurn(File, Deadline(0)) != 0)
            return;
        struct flock whole = WholeFile(F_WRLCK);
        if (!File.holderEnded && ::fcntl(File.fd.Get(), F_OFD_SETLK, &whole) == 0) {
            acquisitionsAfterOurs = __atomic_load_n(&File.state->acquisitions, __ATOMIC_RELAXED);
            countKnown = true;
            UnlockWholeFile(File.fd.Get());
        }
        pthread_mutex_unlock(&File.turn);
    }

    void CountAcquisition(LockFile& File)
    {
        SharedState* state = File.state;
        previousHolderDied = std::exchange(File.holderEnded, false) || (state && state->holding != 0);
        if (!state) {
            heldElsewhere = true;
            return;
        }
        const uint32_t before = state->acquisitions;
        state->acquisitions = before + 1;
        state->holding = 1;
        heldElsewhere = previousHolderDied || !countKnown || before != acquisitionsAfterOurs;
        acquisitionsAfterOurs = before + 1;
        countKnown = true;
    }
};

// The lock's file is opened (made where it is the lock's own) now, so that
// the count of acquisitions is known from here on.
MachineLock::MachineLock(const std::string& Name, const LockPlace& Place) : impl_(std::make_unique<Impl>())
{
    impl_->name = Name;
    impl_->place = Place;
    if (const std::shared_ptr<LockFile> file = impl_->File())
        impl_->NoteStartingCount(*file);
}

MachineLock::~MachineLock() = default;

bool MachineLock::Guards(const LockPlace& Place) const
{
    const std::lock_guard<std::mutex> guard(impl_->setup);
    if (!(Place == impl_->place))
        return false;
    if (!impl_->file)
        return true;  // opened when next taken
    struct stat now {}, held {};
    return ::stat(impl_->FilePath().c_str(), &now) == 0 && ::fstat(impl_->file->fd.Get(), &held) == 0 &&
           now.st_dev == held.st_dev && now.st_ino == held.st_ino;
}

std::string MachineLock::Problem() const
{
    const std::lock_guard<std::mutex> guard(impl_->setup);
    return impl_->problem;
}

bool MachineLock::Acquire(int32_t TimeoutMs)
{
    const std::shared_ptr<LockFile> file = impl_->File();
    if (!file)
        return false;
    const Deadline until(TimeoutMs);
    if (TakeTurn(*file, until) != 0)
        return false;
    std::string problem;
    if (!LockWholeFile(file->fd.Get(), until, problem)) {
        pthread_mutex_unlock(&file->turn);
        if (!problem.empty())
            impl_->NoteProblem(problem);
        return false;
    }
    impl_->CountAcquisition(*file);
    return true;
}

// The holder's record goes before the lock, for the next holder to find.
void MachineLock::Release()
{
    LockFile* file = impl_->opened.load();
    if (!file)
        return;
    if (file->state)
        __atomic_store_n(&file->state->holding, 0, __ATOMIC_RELEASE);
    UnlockWholeFile(file->fd.Get());
    pthread_mutex_unlock(&file->turn);
}

void MachineLock::RecordOwed(const OwedTransfer& Owed)
{
    if (LockFile* file = impl_->opened.load(); file && file->state)
        file->state->owed.Store(Owed);
}

void MachineLock::RecordOwedBytes(uint32_t Bytes)
{
    if (LockFile* file = impl_->opened.load(); file && file->state)
        file->state->owed.Bytes = Bytes;
}

OwedTransfer MachineLock::Owed() const
{
    const LockFile* file = impl_->opened.load();
    return file && file->state ? file->state->owed.Load() : OwedTransfer {};
}

bool MachineLock::HeldElsewhereMeanwhile() const
{
    return impl_->heldElsewhere;
}

bool MachineLock::PreviousHolderDied() const
{
    return impl_->previousHolderDied;
}

}  // namespace zqk
