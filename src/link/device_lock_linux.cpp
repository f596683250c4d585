// The named mutex on Linux: a robust, process-shared pthread mutex in a POSIX
// shared-memory object named after the lock. The kernel hands a robust mutex
// whose owner died to the next waiter (EOWNERDEAD), as Windows does with an
// abandoned mutex. Beside it, a count of acquisitions, changed only by the
// holder, tells a holder whether anyone else had the mutex between its turns.
#include "link/device_lock.h"
#include "link/platform_text.h"

#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mutex>

namespace zqk {

namespace {

constexpr uint32_t kInitialised = 0x7A714D58;  // "zqMX"

// Memory an older version made ends after the mutex; it is made longer, and
// the part that is new reads as zeros, nothing owed.
struct SharedMutex {
    uint32_t magic;
    uint32_t acquisitions;  // wraps; only compared for equality
    pthread_mutex_t mutex;
    OwedRecord owed;
};

// The access a lock gets: that of the device's node when it is known.
struct Access {
    bool known = false;
    gid_t group = 0;
    mode_t mode = 0660;
};

Access AccessOf(const std::string& Path)
{
    Access access;
    struct stat st {};
    if (Path.empty() || stat(Path.c_str(), &st) != 0)
        return access;
    access.known = true;
    access.group = st.st_gid;
    access.mode = (st.st_mode & 0006) == 0006 ? 0666 : 0660;
    return access;
}

// Memory this process made, or owns from an older version that made it
// open to everyone, gets the access; another user's is left as it is. Where
// it cannot be given (this user is not in the device's group, say), the
// memory keeps what it has, at most 0660 and this process's group: the lock
// works for this user all the same.
void GiveAccess(int Fd, const Access& Wanted, bool Made)
{
    struct stat st {};
    if (fstat(Fd, &st) != 0 || st.st_uid != geteuid() || (!Made && !Wanted.known))
        return;
    if (Wanted.known && st.st_gid != Wanted.group && fchown(Fd, static_cast<uid_t>(-1), Wanted.group) != 0)
        return;
    if ((st.st_mode & 07777) != Wanted.mode && fchmod(Fd, Wanted.mode) != 0)
        return;
}

// A robust, process-shared, error-checking mutex: 0, or the error of the
// step that failed (nothing is set up then).
int InitialiseMutex(SharedMutex* Shared)
{
    pthread_mutexattr_t attr;
    int rc = pthread_mutexattr_init(&attr);
    if (rc != 0)
        return rc;
    rc = pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
    if (rc == 0)
        rc = pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
    if (rc == 0)
        rc = pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_ERRORCHECK);
    if (rc == 0)
        rc = pthread_mutex_init(&Shared->mutex, &attr);
    pthread_mutexattr_destroy(&attr);
    if (rc == 0)
        __atomic_store_n(&Shared->magic, kInitialised, __ATOMIC_RELEASE);
    return rc;
}

// Sizes and maps the object open on Fd, initialising the mutex when this
// process is the first. The flock serialises that between processes.
SharedMutex* MapShared(int Fd, std::string& Problem)
{
    if (flock(Fd, LOCK_EX) != 0) {
        Problem = "cannot lock the device lock's shared memory: " + PlatformErrorText(errno);
        return nullptr;
    }
    SharedMutex* shared = nullptr;
    struct stat st {};
    if (fstat(Fd, &st) != 0 ||
        (st.st_size < static_cast<off_t>(sizeof(SharedMutex)) && ftruncate(Fd, sizeof(SharedMutex)) != 0)) {
        Problem = "cannot size the device lock's shared memory: " + PlatformErrorText(errno);
    } else if (void* map = mmap(nullptr, sizeof(SharedMutex), PROT_READ | PROT_WRITE, MAP_SHARED, Fd, 0);
               map == MAP_FAILED) {
        Problem = "cannot map the device lock's shared memory: " + PlatformErrorText(errno);
    } else {
        shared = static_cast<SharedMutex*>(map);
        if (__atomic_load_n(&shared->magic, __ATOMIC_ACQUIRE) != kInitialised) {
            if (const int rc = InitialiseMutex(shared); rc != 0) {
                Problem = "cannot set up the device lock's mutex: " + PlatformErrorText(rc);
                munmap(map, sizeof(SharedMutex));
                shared = nullptr;
            }
        }
    }
    flock(Fd, LOCK_UN);
    return shared;
}

// ThreadSanitizer's runtime knows pthread_mutex_timedlock but not
// pthread_mutex_clocklock: in its builds the lock is taken the way it sees,
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
constexpr clockid_t kDeadlineClock = CLOCK_REALTIME;
int LockBefore(pthread_mutex_t* m, const timespec* deadline) { return pthread_mutex_timedlock(m, deadline); }
#else
// A deadline on the monotonic clock does not move when the wall clock is set.
constexpr clockid_t kDeadlineClock = CLOCK_MONOTONIC;
int LockBefore(pthread_mutex_t* m, const timespec* deadline) { return pthread_mutex_clocklock(m, CLOCK_MONOTONIC, deadline); }
#endif

timespec DeadlineAfter(int32_t ms)
{
    timespec t {};
    clock_gettime(kDeadlineClock, &t);
    t.tv_sec += ms / 1000;
    t.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
    if (t.tv_nsec >= 1000000000L) {
        t.tv_sec += 1;
        t.tv_nsec -= 1000000000L;
    }
    return t;
}

}  // namespace

struct NamedMutex::Impl {
    std::string shmName;
    // Among this process's threads: the mapping, made once, and what is
    // known of the access it is to have.
    mutable std::mutex setup;
    std::atomic<SharedMutex*> shared {nullptr};
    int fd = -1;
    bool made = false;  // this object made the shared memory
    Access access;
    std::string problem;

    uint32_t acquisitionsAfterOurs = 0;
    bool countKnown = false;  // false: the first acquisition counts as after another holder
    bool heldElsewhere = false;
    bool previousHolderDied = false;

    // Opens the shared memory, making it when MayMake and nobody has; null
    // (Problem set) when it cannot be had. Setup held.
    SharedMutex* OpenShared(bool MayMake)
    {
        if (SharedMutex* mapped = shared.load())
            return mapped;
        fd = shm_open(shmName.c_str(), O_RDWR | O_CLOEXEC, 0);
        if (fd < 0 && errno == ENOENT && MayMake) {
            fd = shm_open(shmName.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0660);
            made = fd >= 0;
            if (fd < 0 && errno == EEXIST)  // made meanwhile by another process
                fd = shm_open(shmName.c_str(), O_RDWR | O_CLOEXEC, 0);
        }
        if (fd < 0) {
            if (errno == ENOENT)
                return nullptr;  // made when first needed
            problem = "cannot open the device lock /dev/shm" + shmName + ": " + PlatformErrorText(errno);
            return nullptr;
        }
        GiveAccess(fd, access, made);
        SharedMutex* mapped = MapShared(fd, problem);
        if (!mapped) {
            close(fd);
            fd = -1;
            return nullptr;
        }
        problem.clear();
        shared = mapped;
        return mapped;
    }

    SharedMutex* Shared()
    {
        if (SharedMutex* mapped = shared.load())
            return mapped;
        const std::lock_guard<std::mutex> guard(setup);
        return OpenShared(true);
    }

    // The count as it stands between two holders' turns. An object made
    // during a turn cannot tell that turn from its own past, so it counts it
    // as another holder's.
    void NoteStartingCount(SharedMutex* Mapped)
    {
        pthread_mutex_t* m = &Mapped->mutex;
        const int rc = pthread_mutex_trylock(m);
        if (rc == EOWNERDEAD && pthread_mutex_consistent(m) != 0) {
            pthread_mutex_unlock(m);
            return;
        }
        if (rc != 0 && rc != EOWNERDEAD)
            return;
        acquisitionsAfterOurs = __atomic_load_n(&Mapped->acquisitions, __ATOMIC_RELAXED);
        countKnown = rc == 0;
        pthread_mutex_unlock(m);
    }

    void CountAcquisition(SharedMutex* Mapped, bool OwnerDied)
    {
        previousHolderDied = OwnerDied;
        const uint32_t before = __atomic_load_n(&Mapped->acquisitions, __ATOMIC_RELAXED);
        __atomic_store_n(&Mapped->acquisitions, before + 1, __ATOMIC_RELAXED);
        heldElsewhere = OwnerDied || !countKnown || before != acquisitionsAfterOurs;
        acquisitionsAfterOurs = before + 1;
        countKnown = true;
    }
};

// Shared memory that is there already is opened now, so that the count of
// acquisitions is known from here on. Memory nobody has made yet is made
// when first needed, with the device's access when it is known by then;
// every acquisition of it is then after this object was made.
NamedMutex::NamedMutex(const std::string& Name) : impl_(std::make_unique<Impl>())
{
    impl_->shmName = "/" + Name;
    const std::lock_guard<std::mutex> guard(impl_->setup);
    if (SharedMutex* mapped = impl_->OpenShared(false))
        impl_->NoteStartingCount(mapped);
    else
        impl_->countKnown = impl_->problem.empty();
}

NamedMutex::~NamedMutex()
{
    if (SharedMutex* mapped = impl_->shared.load())
        munmap(mapped, sizeof(SharedMutex));
    if (impl_->fd >= 0)
        close(impl_->fd);
}

void NamedMutex::AccessLike(const std::string& Path)
{
    const Access access = AccessOf(Path);
    if (!access.known)
        return;
    const std::lock_guard<std::mutex> guard(impl_->setup);
    impl_->access = access;
    if (impl_->fd >= 0)
        GiveAccess(impl_->fd, access, impl_->made);
}

std::string NamedMutex::Problem() const
{
    const std::lock_guard<std::mutex> guard(impl_->setup);
    return impl_->problem;
}

bool NamedMutex::Acquire(int32_t TimeoutMs)
{
    SharedMutex* shared = impl_->Shared();
    if (!shared)
        return false;
    pthread_mutex_t* m = &shared->mutex;
    int rc;
    if (TimeoutMs < 0) {
        rc = pthread_mutex_lock(m);
    } else {
        const timespec deadline = DeadlineAfter(TimeoutMs);
        rc = LockBefore(m, &deadline);
    }
    if (rc == EOWNERDEAD && pthread_mutex_consistent(m) != 0) {
        pthread_mutex_unlock(m);  // unusable from now on: every later lock fails
        rc = ENOTRECOVERABLE;
    }
    if (rc == ENOTRECOVERABLE) {
        const std::lock_guard<std::mutex> guard(impl_->setup);
        impl_->problem = "the device lock's mutex cannot be used since a holder died: " + PlatformErrorText(rc);
    }
    if (rc != 0 && rc != EOWNERDEAD)
        return false;
    impl_->CountAcquisition(shared, rc == EOWNERDEAD);
    return true;
}

void NamedMutex::Release()
{
    if (SharedMutex* shared = impl_->shared.load())
        pthread_mutex_unlock(&shared->mutex);  // fails only for a mutex this thread does not hold
}

void NamedMutex::RecordOwed(const OwedTransfer& Owed)
{
    if (SharedMutex* shared = impl_->shared.load())
        shared->owed.Store(Owed);
}

void NamedMutex::RecordOwedBytes(uint32_t Bytes)
{
    if (SharedMutex* shared = impl_->shared.load())
        shared->owed.Bytes = Bytes;
}

OwedTransfer NamedMutex::Owed() const
{
    SharedMutex* shared = impl_->shared.load();
    return shared ? shared->owed.Load() : OwedTransfer {};
}

bool NamedMutex::HeldElsewhereMeanwhile() const
{
    return impl_->heldElsewhere;
}

bool NamedMutex::PreviousHolderDied() const
{
    return impl_->previousHolderDied;
}

}  // namespace zqk
