// The named mutex on Linux: a robust, process-shared pthread mutex in a POSIX
// shared-memory object named after the lock. The kernel hands a robust mutex
// whose owner died to the next waiter (EOWNERDEAD), as Windows does with an
// abandoned mutex. Beside it, a count of acquisitions, changed only by the
// holder, tells a holder whether anyone else had the mutex between its turns.
#include "link/device_lock.h"

#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zqk {

namespace {

constexpr uint32_t kInitialised = 0x7A714D58;  // "zqMX"

struct SharedMutex {
    uint32_t magic;
    uint32_t acquisitions;  // wraps; only compared for equality
    pthread_mutex_t mutex;
};

void InitialiseMutex(SharedMutex* shared)
{
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_ERRORCHECK);
    pthread_mutex_init(&shared->mutex, &attr);
    pthread_mutexattr_destroy(&attr);
    __atomic_store_n(&shared->magic, kInitialised, __ATOMIC_RELEASE);
}

// Maps the shared object, initialising it when this process is the first.
// The flock serialises first-time initialisation between processes.
SharedMutex* MapSharedMutex(const std::string& name)
{
    const std::string shmName = "/" + name;
    const int fd = shm_open(shmName.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0)
        return nullptr;
    fchmod(fd, 0666);  // every user of the device shares the lock, whatever the umask
    SharedMutex* shared = nullptr;
    if (flock(fd, LOCK_EX) == 0) {
        struct stat st {};
        const bool sized = fstat(fd, &st) == 0 &&
                           (st.st_size >= static_cast<off_t>(sizeof(SharedMutex)) ||
                            ftruncate(fd, sizeof(SharedMutex)) == 0);
        if (sized) {
            void* map = mmap(nullptr, sizeof(SharedMutex), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
            if (map != MAP_FAILED) {
                shared = static_cast<SharedMutex*>(map);
                if (__atomic_load_n(&shared->magic, __ATOMIC_ACQUIRE) != kInitialised)
                    InitialiseMutex(shared);
            }
        }
        flock(fd, LOCK_UN);
    }
    close(fd);
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
    SharedMutex* shared = nullptr;
    uint32_t acquisitionsAfterOurs = 0;
    bool countKnown = false;  // false: the first acquisition counts as after another holder
    bool heldElsewhere = false;
    bool previousHolderDied = false;

    // The count as it stands between two holders' turns. An object made
    // during a turn cannot tell that turn from its own past, so it counts it
    // as another holder's.
    void NoteStartingCount()
    {
        pthread_mutex_t* m = &shared->mutex;
        const int rc = pthread_mutex_trylock(m);
        if (rc == EOWNERDEAD)
            pthread_mutex_consistent(m);
        if (rc != 0 && rc != EOWNERDEAD)
            return;
        acquisitionsAfterOurs = __atomic_load_n(&shared->acquisitions, __ATOMIC_RELAXED);
        countKnown = rc == 0;
        pthread_mutex_unlock(m);
    }

    void CountAcquisition(bool OwnerDied)
    {
        previousHolderDied = OwnerDied;
        const uint32_t before = __atomic_load_n(&shared->acquisitions, __ATOMIC_RELAXED);
        __atomic_store_n(&shared->acquisitions, before + 1, __ATOMIC_RELAXED);
        heldElsewhere = OwnerDied || !countKnown || before != acquisitionsAfterOurs;
        acquisitionsAfterOurs = before + 1;
        countKnown = true;
    }
};

NamedMutex::NamedMutex(const std::string& Name) : impl_(std::make_unique<Impl>())
{
    impl_->shared = MapSharedMutex(Name);
    if (impl_->shared)
        impl_->NoteStartingCount();
}

NamedMutex::~NamedMutex()
{
    if (impl_->shared)
        munmap(impl_->shared, sizeof(SharedMutex));
}

bool NamedMutex::Acquire(int32_t TimeoutMs)
{
    if (!impl_->shared)
        return false;
    pthread_mutex_t* m = &impl_->shared->mutex;
    int rc;
    if (TimeoutMs < 0) {
        rc = pthread_mutex_lock(m);
    } else {
        const timespec deadline = DeadlineAfter(TimeoutMs);
        rc = LockBefore(m, &deadline);
    }
    if (rc == EOWNERDEAD)
        pthread_mutex_consistent(m);
    if (rc != 0 && rc != EOWNERDEAD)
        return false;
    impl_->CountAcquisition(rc == EOWNERDEAD);
    return true;
}

void NamedMutex::Release()
{
    if (impl_->shared)
        pthread_mutex_unlock(&impl_->shared->mutex);
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
