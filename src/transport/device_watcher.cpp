// The device watcher: a thread of the library's own per watch tells the
// caller's callback of each matching device present when the watch starts,
// then of each arrival and departure, once per path, in the order the
// platform told them. Which devices match is zqkFindDevices' rule: what is
// present is always an enumeration's (FindDevices); the platform's part
// (hid/device_events.h) only says when to look and which path left.
#include "transport/device_watcher.h"

#include <atomic>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "base/failure_note.h"
#include "hid/device_events.h"
#include "transport/hid_transport.h"

namespace zqk {

namespace {

struct Watch {
    zqkDeviceCallback Callback = nullptr;
    intptr_t UserData = 0;
    MatchValues Match {};
    std::atomic<bool> Stopping {false};
    std::unique_ptr<DeviceEvents> Events;  // made and dropped on the thread; woken under State
    std::thread Thread;                    // joined by whoever stops it, or detached
    // The watch started before this one: it ends before this one's first
    // callback, so that callbacks never run on two threads at once.
    std::shared_future<void> Predecessor;
    std::promise<void> Finished;
    std::map<std::string, std::string> Told;  // the devices told as present: path, serial number
};

// What the thread says once it listens to the platform, or could not.
struct Start {
    bool Listening = false;
    FailureNote Why;
};

// Never destroyed: a detached watch's thread may outlive the statics.
struct Watches {
    std::mutex Setters;  // one caller at a time, of the threads that are no watch's
    std::mutex State;    // Current and LastFinished
    std::shared_ptr<Watch> Current;
    std::shared_future<void> LastFinished;
};

Watches& TheWatches()
{
    static Watches* const watches = new Watches;
    return *watches;
}

// The watch whose thread this is; null on every other thread. No destructor
// (see StoredNote).
thread_local Watch* t_watch = nullptr;

void Tell(Watch& W, bool Arrived, const std::string& Path, const std::string& Serial)
{
    if (W.Stopping)
        return;
    try {
        W.Callback(W.UserData, Arrived ? 1 : 0, Path.c_str(), Serial.c_str());
    } catch (...) {
        // A failing callback must not end the watch, nor cross into C.
    }
}

void TellGone(Watch& W, const std::string& Path)
{
    const auto told = W.Told.find(Path);
    if (told == W.Told.end())
        return;
    const std::string serial = told->second;
    W.Told.erase(told);
    Tell(W, false, Path, serial);
}

bool IsAmong(const std::vector<FoundDevice>& Found, const std::string& Path)
{
    for (const FoundDevice& found : Found) {
        if (found.Path == Path)
            return true;
    }
    return false;
}

// Looks at every matching device: the new ones arrived; for an unknown
// change, those told before and no longer there left (first, since a node's
// name may be taken again at once).
void LookAgain(Watch& W, bool TellDepartures)
{
    std::vector<FoundDevice> found;
    const bool enumerated = FindDevices(W.Match, found) >= 0;
    TakeFailure();  // a failed enumeration is looked at again at the next change
    if (!enumerated)
        return;
    std::vector<std::string> gone;
    for (const auto& told : W.Told) {
        if (TellDepartures && !IsAmong(found, told.first))
            gone.push_back(told.first);
    }
    for (const std::string& path : gone)
        TellGone(W, path);
    for (const FoundDevice& device : found) {
        if (W.Told.emplace(device.Path, device.SerialNumber).second)
            Tell(W, true, device.Path, device.SerialNumber);
    }
}

void Apply(Watch& W, const DeviceChange& Change)
{
    switch (Change.What) {
    case DeviceChange::Kind::Removed: TellGone(W, Change.Path); return;
    case DeviceChange::Kind::Added: LookAgain(W, false); return;
    case DeviceChange::Kind::Unknown: LookAgain(W, true); return;
    }
}

void Report(Watch& W)
{
    std::vector<DeviceChange> changes = {{DeviceChange::Kind::Unknown, {}}};  // what is present, first
    do {
        for (const DeviceChange& change : changes) {
            if (W.Stopping)
                return;
            Apply(W, change);
        }
        changes.clear();
    } while (!W.Stopping && W.Events->Wait(changes));
}

void Run(const std::shared_ptr<Watch>& W, std::promise<Start>& Started)
{
    t_watch = W.get();
    bool listening = false;
    try {
        W->Events = ListenForDeviceChanges();
        listening = W->Events != nullptr;
        Started.set_value({listening, TakeFailure()});
    } catch (...) {
        Started.set_value({false, {Failure::NoDevice, "cannot watch for devices: not enough memory"}});
        return;
    }
    if (!listening)
        return;
    try {
        if (W->Predecessor.valid())
            W->Predecessor.wait();
        Report(*W);
    } catch (...) {
        // Not enough memory to go on: the watch ends, as a platform that stopped telling ends it.
    }
    // On this thread, which made it (a window must be destroyed by its own
    // thread), and under State, under which others wake it.
    const std::lock_guard<std::mutex> state(TheWatches().State);
    W->Events.reset();
}

// With State held.
void Stop(Watch& W)
{
    W.Stopping = true;
    if (W.Events)
        W.Events->Wake();
}

// Starts a watch and makes it the current one; with State held.
bool BeginLocked(Watches& All, zqkDeviceCallback Callback, intptr_t UserData, const MatchValues& Match)
{
    auto watch = std::make_shared<Watch>();
    watch->Callback = Callback;
    watch->UserData = UserData;
    watch->Match = Match;
    watch->Predecessor = All.LastFinished;
    std::shared_future<void> finished = watch->Finished.get_future().share();
    std::promise<Start> started;
    std::future<Start> start = started.get_future();
    watch->Thread = std::thread([watch, started = std::move(started)]() mutable {
        Run(watch, started);
        watch->Finished.set_value();
    });
    Start outcome = start.get();
    if (!outcome.Listening) {
        watch->Thread.join();  // it waited for nothing
        RestoreFailure(std::move(outcome.Why));
        return false;
    }
    All.Current = std::move(watch);
    All.LastFinished = std::move(finished);
    return true;
}

// From a callback: the thread cannot wait for itself, nor for a watch that
// waits for it, so the watch that stops is left to end by itself.
bool SetFromCallback(Watches& All, zqkDeviceCallback Callback, intptr_t UserData, const MatchValues& Match)
{
    const std::lock_guard<std::mutex> state(All.State);
    if (Callback != nullptr && t_watch->Stopping) {
        NoteFailure(Failure::Busy, "this callback's watch was stopped or replaced meanwhile: it starts no other");
        return false;
    }
    if (All.Current) {
        Stop(*All.Current);
        All.Current->Thread.detach();
        All.Current = nullptr;
    }
    return Callback == nullptr || BeginLocked(All, Callback, UserData, Match);
}

}  // namespace

bool SetDeviceWatch(zqkDeviceCallback Callback, intptr_t UserData, const MatchValues& Match)
{
    Watches& all = TheWatches();
    if (t_watch != nullptr)
        return SetFromCallback(all, Callback, UserData, Match);
    const std::lock_guard<std::mutex> setter(all.Setters);
    std::shared_ptr<Watch> stopped;
    {
        const std::lock_guard<std::mutex> state(all.State);
        stopped = std::exchange(all.Current, nullptr);
        if (stopped)
            Stop(*stopped);
    }
    // Outside State, which the callback may need for a call of its own.
    if (stopped)
        stopped->Thread.join();
    if (Callback == nullptr)
        return true;
    const std::lock_guard<std::mutex> state(all.State);
    return BeginLocked(all, Callback, UserData, Match);
}

}  // namespace zqk
