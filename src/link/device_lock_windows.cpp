// The machine-wide lock on Windows: a named kernel mutex, and beside it a named
// shared section with a count of acquisitions, changed only by the holder,
// that tells a holder whether anyone else had the mutex between its turns,
// and the transfer a holder left owed to the device.
#include "link/device_lock.h"

#include <windows.h>

#include <string>

namespace zqk {

bool ClassicProgramsRunHere()
{
    return true;
}

namespace {

struct SharedState {
    LONG acquisitions;
    OwedRecord owed;
};

}  // namespace

struct MachineLock::Impl {
    HANDLE handle = nullptr;
    DWORD createError = 0;
    HANDLE section = nullptr;
    void* view = nullptr;
    volatile LONG* acquisitions = nullptr;  // null when the section could not be had
    OwedRecord* owed = nullptr;             // null, too, in an older version's shorter section
    LONG acquisitionsAfterOurs = 0;
    bool countKnown = false;  // false: the first acquisition counts as after another holder
    bool heldElsewhere = false;
    bool previousHolderDied = false;

    void MapAcquisitions(const std::string& Name)
    {
        section = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(SharedState),
                                     (Name + "_Acquisitions").c_str());
        if (!section)
            return;
        view = MapViewOfFile(section, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(SharedState));
        if (view) {
            auto* state = static_cast<SharedState*>(view);
            acquisitions = &state->acquisitions;
            owed = &state->owed;
            return;
        }
        // An older version made the section with the count alone.
        view = MapViewOfFile(section, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(LONG));
        if (view)
            acquisitions = static_cast<volatile LONG*>(view);
    }

    // The count as it stands between two holders' turns. An object made
    // during a turn cannot tell that turn from its own past, so it counts it
    // as another holder's. Waits not at all: this runs at library load.
    void NoteStartingCount()
    {
        if (!handle || !acquisitions)
            return;
        const DWORD result = WaitForSingleObject(handle, 0);
        if (result != WAIT_OBJECT_0 && result != WAIT_ABANDONED)
            return;
        acquisitionsAfterOurs = *acquisitions;
        countKnown = result == WAIT_OBJECT_0;
        ReleaseMutex(handle);
    }

    // Without the count only a holder that died is known.
    void CountAcquisition(bool OwnerDied)
    {
        previousHolderDied = OwnerDied;
        heldElsewhere = OwnerDied;
        if (!acquisitions)
            return;
        const LONG before = *acquisitions;
        *acquisitions = before + 1;
        heldElsewhere = heldElsewhere || !countKnown || before != acquisitionsAfterOurs;
        acquisitionsAfterOurs = before + 1;
        countKnown = true;
    }
};

// The lock is named: a place in the file system is not needed.
MachineLock::MachineLock(const std::string& Name, const LockPlace&) : impl_(std::make_unique<Impl>())
{
    // Default security, not initially owned; opens the mutex when another
    // process made it already.
    impl_->handle = CreateMutexA(nullptr, FALSE, Name.c_str());
    if (!impl_->handle)
        impl_->createError = GetLastError();
    impl_->MapAcquisitions(Name);
    impl_->NoteStartingCount();
}

MachineLock::~MachineLock()
{
    if (impl_->view)
        UnmapViewOfFile(impl_->view);
    if (impl_->section)
        CloseHandle(impl_->section);
    if (impl_->handle)
        CloseHandle(impl_->handle);
}

bool MachineLock::Acquire(int32_t TimeoutMs)
{
    if (!impl_->handle)
        return false;
    const DWORD wait = TimeoutMs < 0 ? INFINITE : static_cast<DWORD>(TimeoutMs);
    const DWORD result = WaitForSingleObject(impl_->handle, wait);
    if (result != WAIT_OBJECT_0 && result != WAIT_ABANDONED)
        return false;
    impl_->CountAcquisition(result == WAIT_ABANDONED);
    return true;
}

void MachineLock::Release()
{
    if (impl_->handle)
        ReleaseMutex(impl_->handle);
}

// A name is the same lock whatever device node it is opened for.
bool MachineLock::Guards(const LockPlace&) const
{
    return true;
}

std::string MachineLock::Problem() const
{
    return impl_->handle ? std::string() : "cannot create the device lock: error " + std::to_string(impl_->createError);
}

void MachineLock::RecordOwed(const OwedTransfer& Owed)
{
    if (impl_->owed)
        impl_->owed->Store(Owed);
}

void MachineLock::RecordOwedBytes(uint32_t Bytes)
{
    if (impl_->owed)
        impl_->owed->Bytes = Bytes;
}

OwedTransfer MachineLock::Owed() const
{
    return impl_->owed ? impl_->owed->Load() : OwedTransfer {};
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
