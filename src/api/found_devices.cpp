#include "api/found_devices.h"

#include <vector>

#include "base/failure_note.h"
#include "transport/hid_transport.h"

namespace zqk {

namespace {

// Made at a thread's first zqkFindDevices and left at its end: a thread's
// objects with destructors hung a Windows process whose threads ended
// together (see StoredNote). What is left is the list of one thread.
thread_local std::vector<FoundDevice>* t_found = nullptr;

std::vector<FoundDevice>& FoundForThisThread()
{
    if (!t_found)
        t_found = new std::vector<FoundDevice>;
    return *t_found;
}

}  // namespace

int32_t FindDevicesForThisThread(const MatchValues& Match)
{
    return FindDevices(Match, FoundForThisThread());
}

bool FoundDeviceField(int32_t Index, int32_t Type, std::string& Field)
{
    const std::vector<FoundDevice>& list = FoundForThisThread();
    if (Index < 0 || static_cast<size_t>(Index) >= list.size()) {
        NoteFailure(Failure::Argument, "no found device has index " + std::to_string(Index) + " (zqkFindDevices found " +
                                           std::to_string(list.size()) + ")");
        return false;
    }
    const FoundDevice& found = list[static_cast<size_t>(Index)];
    switch (Type) {
    case -1: Field = found.Path; return true;
    case 0: Field = found.SerialNumber; return true;
    case 1: Field = found.Manufacturer; return true;
    case 2: Field = found.Product; return true;
    default: break;
    }
    NoteFailure(Failure::Argument, "a found device has no field of type " + std::to_string(Type) + " (-1 to 2)");
    return false;
}

}  // namespace zqk
