// Linux HID transport on hidraw: the open node and its reader thread.
// Devices are found through sysfs and their strings come from sysfs and
// usbfs (hidraw_sysfs.cpp); reports move through /dev/hidrawN.
//
// hidraw keeps only 64 input reports per open node, where the Windows driver
// is asked for 1024. So while a device is open one reader thread (the only
// thread the library starts) drains the node into a queue of 1024 reports,
// and ReadReport takes from that queue. Everything else runs on the caller's
// thread.
#include "hid/raw_hid.h"

#include <fcntl.h>
#include <linux/hidraw.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "hid/hid_descriptors.h"
#include "hid/hidraw_sysfs.h"
#include "hid/report_queue.h"
#include "hid/unique_fd.h"

namespace zqk {

namespace {

using hidraw::Roots;
using hid::UniqueFd;

constexpr int32_t kDefaultTimeoutMs = 0;

// ------------------------------------------------------------- handles ----

// Blocks every signal in the calling thread while it lives, so that a thread
// started meanwhile takes no signal meant for the caller's threads.
class AllSignalsBlocked {
public:
    AllSignalsBlocked()
    {
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &previous_);
    }
    ~AllSignalsBlocked() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
    AllSignalsBlocked(const AllSignalsBlocked&) = delete;
    AllSignalsBlocked& operator=(const AllSignalsBlocked&) = delete;

private:
    sigset_t previous_ {};
};

// Held around every report write, by every TRawHid of the process.
std::mutex& WriteLock()
{
    static std::mutex lock;
    return lock;
}

// ------------------------------------------------------------- reports ----

// Numbered reports arrive from hidraw with their number in front, and the
// Windows transport drops the first byte of every input; unnumbered ones
// arrive bare. The node's own descriptor tells which.
bool ReportsAreNumbered(int Fd)
{
    int size = 0;
    if (::ioctl(Fd, HIDIOCGRDESCSIZE, &size) < 0 || size <= 0)
        return false;
    hidraw_report_descriptor descriptor {};
    descriptor.size = static_cast<uint32_t>(std::min(size, HID_MAX_DESCRIPTOR_SIZE));
    if (::ioctl(Fd, HIDIOCGRDESC, &descriptor) < 0)
        return false;
    return hid::ParseReportDescriptor(descriptor.value, descriptor.size).NumberedReports;
}

// Waits for Events on Fd for up to TimeoutMs, across signals. The revents,
// 0 on time-out, -1 on failure (errno set).
int WaitFor(int Fd, short Events, int32_t TimeoutMs)
{
    using namespace std::chrono;
    const auto deadline = steady_clock::now() + milliseconds(TimeoutMs);
    for (;;) {
        const auto left = duration_cast<milliseconds>(deadline - steady_clock::now()).count();
        pollfd entry {Fd, Events, 0};
        const int n = ::poll(&entry, 1, static_cast<int>(std::max<long long>(left, 0)));
        if (n > 0)
            return entry.revents;
        if (n == 0)
            return 0;
        if (errno != EINTR)
            return -1;
    }
}

// Requests to throw input away, made by the caller and carried out by the
// reader thread. Only the reader reads the node, so only it can take every
// report that reached the node before a request: those are the ones it finds
// there when it takes the request up.
class DiscardRequests {
public:
    // The caller: wakes the reader through WakeFd and waits, at most
    // TimeoutMs, until it has carried this request out or has ended.
    void Await(int WakeFd, int32_t TimeoutMs)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        const uint64_t wanted = ++requested_;
        const uint64_t one = 1;
        if (::write(WakeFd, &one, sizeof one) != sizeof one)
            return;
        done_.wait_for(lock, std::chrono::milliseconds(TimeoutMs),
                       [&] { return readerEnded_ || carriedOut_ >= wanted; });
    }

    // The reader: the requests made so far, before it drains the node ...
    uint64_t Requested()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return requested_;
    }
    // ... and, once drained, that they are carried out.
    void CarriedOut(uint64_t UpTo)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        carriedOut_ = std::max(carriedOut_, UpTo);
        done_.notify_all();
    }
    void ReaderEnded()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        readerEnded_ = true;
        done_.notify_all();
    }
    void Reset()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        requested_ = carriedOut_ = 0;
        readerEnded_ = false;
    }

private:
    std::mutex mutex_;
    std::condition_variable done_;
    uint64_t requested_ = 0;
    uint64_t carriedOut_ = 0;
    bool readerEnded_ = false;
};

// Reads and drops what the node holds now. False when the node failed; Error
// then says why. Bounded, for a device that sends as fast as it is read.
bool DrainNode(int Node, int& Error)
{
    constexpr int kMaxDrained = 4096;
    uint8_t report[hid::ReportQueue::kMaxReportSize + 1];
    for (int i = 0; i < kMaxDrained; ++i) {
        const ssize_t n = ::read(Node, report, sizeof report);
        if (n > 0)
            continue;
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN)
            return true;
        Error = n < 0 ? errno : ENODEV;
        return false;
    }
    return true;
}

// The reader's side of a discard: everything in the node and the queue goes.
bool CarryOutDiscards(int Node, int Wake, hid::ReportQueue& Queue, DiscardRequests& Requests)
{
    uint64_t count = 0;
    if (::read(Wake, &count, sizeof count) < 0 && errno != EAGAIN)
        return true;  // cannot happen for an eventfd; the poll will tell again
    const uint64_t upTo = Requests.Requested();
    int error = 0;
    if (!DrainNode(Node, error)) {
        Queue.End(error);
        return false;
    }
    Queue.Clear();
    Requests.CarriedOut(upTo);
    return true;
}

// The reader thread: moves every input report from the node into the queue
// until told to stop or the node fails (a device that vanished reads EIO),
// and throws input away when asked.
void ReadLoop(int Node, int Stop, int Discard, bool Numbered, hid::ReportQueue& Queue, DiscardRequests& Requests)
{
    struct Ended {
        DiscardRequests& requests;
        ~Ended() { requests.ReaderEnded(); }
    } ended {Requests};
    uint8_t report[hid::ReportQueue::kMaxReportSize + 1];
    const size_t skip = Numbered ? 1 : 0;
    for (;;) {
        pollfd entries[3] = {{Node, POLLIN, 0}, {Stop, POLLIN, 0}, {Discard, POLLIN, 0}};
        if (::poll(entries, 3, -1) < 0) {
            if (errno == EINTR)
                continue;
            Queue.End(errno);
            return;
        }
        if (entries[1].revents != 0)
            return;
        if (entries[2].revents != 0) {
            if (!CarryOutDiscards(Node, Discard, Queue, Requests))
                return;
            continue;
        }
        if (entries[0].revents == 0)
            continue;
        const ssize_t n = ::read(Node, report, sizeof report);
        if (n > 0) {
            const size_t size = static_cast<size_t>(n);
            if (!Queue.Push(report + std::min(skip, size), size - std::min(skip, size)))
                return;
            continue;
        }
        // Readable but nothing to read: fine unless the node reports an
        // error, which would make every later poll return at once.
        if (n < 0 && (errno == EAGAIN || errno == EINTR) && (entries[0].revents & (POLLERR | POLLHUP | POLLNVAL)) == 0)
            continue;
        // End of file: the node gives no more reports.
        Queue.End(n < 0 && errno != EAGAIN && errno != EINTR ? errno : ENODEV);
        return;
    }
}

}  // namespace

// ---------------------------------------------------------- start-up ----

// hidraw is part of the kernel: there is nothing to load or bind, and a
// machine without HID devices (or without sysfs) simply lists none. The
// write lock is made here so that it exists before any device does.
bool HidStartUp()
{
    WriteLock();
    return true;
}

void HidBindAgain() {}

// -------------------------------------------------------------- TRawHid ----

struct TRawHid::Impl {
    UniqueFd node;
    UniqueFd stop;     // eventfd that ends the reader's wait
    UniqueFd discard;  // eventfd that asks the reader to throw input away
    hid::ReportQueue queue;
    DiscardRequests discards;
    std::thread reader;
    Roots roots;
    hidraw::DeviceDirs dirs;
    std::string indexedStringProblem;

    bool StartReader(bool Numbered);
    void StopReader();
};

bool TRawHid::Impl::StartReader(bool Numbered)
{
    stop.Reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    discard.Reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!stop.Valid() || !discard.Valid()) {
        stop.Reset();
        discard.Reset();
        node.Reset();
        return false;
    }
    queue.Reset();
    discards.Reset();
    try {
        const AllSignalsBlocked blocked;
        reader = std::thread(ReadLoop, node.Get(), stop.Get(), discard.Get(), Numbered, std::ref(queue),
                             std::ref(discards));
    } catch (const std::system_error&) {
        stop.Reset();
        discard.Reset();
        node.Reset();
        return false;
    }
    return true;
}

void TRawHid::Impl::StopReader()
{
    if (reader.joinable()) {
        const uint64_t one = 1;
        if (::write(stop.Get(), &one, sizeof one) < 0) {
            // Cannot happen for a fresh eventfd; Stop below still ends a
            // reader that waits for room, and the node is closed after.
        }
        queue.Stop();
        reader.join();
    }
    stop.Reset();
    discard.Reset();
    node.Reset();
    queue.Reset();
}

TRawHid::TRawHid() : impl_(std::make_unique<Impl>()) {}

TRawHid::~TRawHid()
{
    Close();
}

int32_t TRawHid::EnumerateDevices(std::vector<std::string>& List, int32_t VendorID, int32_t ProductID,
                                  int32_t UsagePage, int32_t Usage)
{
    return hidraw::Enumerate(hidraw::CurrentRoots(), List, VendorID, ProductID, UsagePage, Usage);
}

bool TRawHid::IsHidInterface(const std::string& Path)
{
    return hidraw::IsHidNode(hidraw::CurrentRoots(), Path);
}

bool TRawHid::IsAccessError(int32_t Error)
{
    return Error == EACCES || Error == EPERM;
}

std::string TRawHid::AccessAdvice()
{
    return "install the udev rule 70-zqkapi.rules to lib/udev/rules.d and plug the device in again, or run as root";
}

int32_t TRawHid::FindInterfaces(std::vector<FoundInterface>& List, int32_t VendorID, int32_t ProductID,
                                int32_t UsagePage, int32_t Usage, int32_t& Seen)
{
    return hidraw::FindInterfaces(hidraw::CurrentRoots(), List, VendorID, ProductID, UsagePage, Usage, Seen);
}

// One node has one reader, so opening again first closes what is open.
bool TRawHid::OpenPath(const std::string& Path)
{
    Close();
    state_.devicePath = Path;
    UniqueFd node(::open(Path.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK));
    if (!node.Valid()) {
        state_.openError = errno;
        return false;
    }
    state_.openError = 0;
    const bool numbered = ReportsAreNumbered(node.Get());
    impl_->roots = hidraw::CurrentRoots();
    impl_->dirs = hidraw::FindDeviceDirs(impl_->roots, Path);
    impl_->indexedStringProblem.clear();
    impl_->node = std::move(node);
    return impl_->StartReader(numbered);
}

void TRawHid::Close()
{
    impl_->StopReader();
    state_.gone = false;
}

bool TRawHid::IsOpen() const
{
    return impl_->node.Valid() && !state_.gone;
}

int32_t TRawHid::ReadReport(uint8_t* Buffer, int32_t Count, int32_t TimeoutMs)
{
    const int32_t timeout = TimeoutMs < 0 ? kDefaultTimeoutMs : TimeoutMs;
    const int32_t count = Buffer == nullptr ? 0 : std::clamp(Count, 0, kMaxReportReadCount);
    state_.lastError = 0;
    if (!impl_->node.Valid()) {
        state_.lastError = EBADF;
        return -1;
    }
    const hid::ReportQueue::Result taken = impl_->queue.Take(Buffer, static_cast<size_t>(count), timeout);
    // EAGAIN stands where Windows reports "I/O pending": a new read had to wait.
    if (taken.Waited)
        state_.lastError = EAGAIN;
    switch (taken.What) {
    case hid::ReportQueue::Outcome::Report: return static_cast<int32_t>(taken.Size);
    case hid::ReportQueue::Outcome::TimedOut: return -1;
    case hid::ReportQueue::Outcome::EndedEmpty: return 0;
    case hid::ReportQueue::Outcome::Refused: break;
    }
    // The node stays as it is: a write of another thread may be using it.
    state_.lastError = taken.Error;
    state_.gone = true;
    return -1;
}

// Every open node receives every input report, so what the device sent to
// another program's conversation waits here too. The queue is emptied first
// so that a reader waiting for room can take the request up.
void TRawHid::DiscardInput()
{
    constexpr int32_t kDiscardTimeoutMs = 500;
    if (!IsOpen())
        return;
    impl_->queue.Clear();
    impl_->discards.Await(impl_->discard.Get(), kDiscardTimeoutMs);
}

// hidraw takes an unnumbered output report with report number 0 in front.
// It reports the node writable at once and the kernel bounds the transfer
// itself (5 s on USB), so the time-out only guards a node that is not.
int32_t TRawHid::WriteReport(const uint8_t* Buffer, int32_t Count, int32_t TimeoutMs)
{
    const int32_t timeout = TimeoutMs < 0 ? kDefaultTimeoutMs : TimeoutMs;
    if (Count < 0 || Count > kMaxReportWriteCount || (Buffer == nullptr && Count > 0)) {
        state_.lastError = EINVAL;
        return -1;
    }
    if (!IsOpen()) {
        state_.lastError = state_.gone ? ENODEV : EBADF;
        return -1;
    }
    const std::lock_guard<std::mutex> lock(WriteLock());
    uint8_t report[kMaxReportWriteCount + 1] = {0};
    if (Count > 0)
        std::memcpy(report + 1, Buffer, static_cast<size_t>(Count));
    const int ready = WaitFor(impl_->node.Get(), POLLOUT, timeout);
    if (ready == 0) {
        state_.lastError = ETIMEDOUT;
        return 0;
    }
    const ssize_t n = ready < 0 ? -1 : ::write(impl_->node.Get(), report, static_cast<size_t>(Count) + 1);
    if (n < 0 && errno == EAGAIN) {
        state_.lastError = EAGAIN;
        return 0;
    }
    if (n <= 0) {
        state_.lastError = n < 0 ? errno : EIO;
        if (state_.lastError == ENODEV)
            state_.gone = true;
        return -1;
    }
    state_.lastError = 0;
    return static_cast<int32_t>(n - 1);
}

std::u16string TRawHid::GetManufacturerString()
{
    return IsOpen() ? hidraw::DeviceString(impl_->dirs, "manufacturer", nullptr) : std::u16string();
}

std::u16string TRawHid::GetProductString()
{
    return IsOpen() ? hidraw::DeviceString(impl_->dirs, "product", "HID_NAME") : std::u16string();
}

std::u16string TRawHid::GetSerialNumberString()
{
    return IsOpen() ? hidraw::DeviceString(impl_->dirs, "serial", "HID_UNIQ") : std::u16string();
}

std::u16string TRawHid::GetIndexedString(int32_t Index)
{
    if (!IsOpen())
        return {};
    return hidraw::UsbIndexedString(impl_->roots, impl_->dirs.Usb, Index, impl_->indexedStringProblem);
}

std::string TRawHid::IndexedStringProblem() const
{
    return impl_->indexedStringProblem;
}

bool TRawHid::ReadPending() const
{
    return IsOpen() && impl_->queue.Pending();
}

}  // namespace zqk
