// Linux HID transport on hidraw: devices are found through sysfs, reports
// move through /dev/hidrawN, and the USB strings come from sysfs and usbfs.
//
// hidraw keeps only 64 input reports per open node, where the Windows driver
// is asked for 1024. So while a device is open one reader thread (the only
// thread the library starts) drains the node into a queue of 1024 reports,
// and ReadReport takes from that queue. Everything else runs on the caller's
// thread.
#include "hid/raw_hid.h"
#include "hid/hid_match.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/hidraw.h>
#include <linux/usbdevice_fs.h>
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
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "hid/hid_descriptors.h"
#include "hid/raw_hid_linux.h"
#include "hid/report_queue.h"

namespace zqk {

// ---------------------------------------------------------------- roots ----

namespace hidraw {
namespace {

std::mutex& RootsMutex()
{
    static std::mutex mutex;
    return mutex;
}

Roots& ActiveRoots()
{
    static Roots roots;
    return roots;
}

Roots CurrentRoots()
{
    std::lock_guard<std::mutex> lock(RootsMutex());
    return ActiveRoots();
}

}  // namespace

ScopedRoots::ScopedRoots(Roots Replacement)
{
    std::lock_guard<std::mutex> lock(RootsMutex());
    previous_ = std::exchange(ActiveRoots(), std::move(Replacement));
}

ScopedRoots::~ScopedRoots()
{
    std::lock_guard<std::mutex> lock(RootsMutex());
    ActiveRoots() = std::move(previous_);
}

}  // namespace hidraw

namespace {

using hidraw::Roots;

constexpr int32_t kMaxReadCount = static_cast<int32_t>(hid::ReportQueue::kMaxReportSize);  // 516
constexpr int32_t kMaxWriteCount = 515;  // with the report number, 516 bytes
constexpr int32_t kDefaultTimeoutMs = 0;
// Kernels cap report descriptors at 4 KiB; more room costs nothing.
constexpr size_t kMaxDescriptorBytes = 65536;
constexpr size_t kMaxAttributeBytes = 4096;
constexpr unsigned kControlTimeoutMs = 1000;
constexpr uint16_t kEnglishUs = 0x0409;

// ------------------------------------------------------------- handles ----

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int Fd) : fd_(Fd) {}
    ~UniqueFd() { Reset(); }
    UniqueFd(UniqueFd&& Other) noexcept : fd_(std::exchange(Other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& Other) noexcept
    {
        if (this != &Other)
            Reset(std::exchange(Other.fd_, -1));
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int Get() const { return fd_; }
    bool Valid() const { return fd_ >= 0; }
    void Reset(int Fd = -1)
    {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = Fd;
    }

private:
    int fd_ = -1;
};

struct DirCloser {
    void operator()(DIR* Dir) const { ::closedir(Dir); }
};

struct FreeDeleter {
    void operator()(char* Text) const { std::free(Text); }
};

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

// ---------------------------------------------------------------- files ----

bool ReadWholeFile(const std::string& Path, size_t Limit, std::string& Out)
{
    Out.clear();
    UniqueFd fd(::open(Path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.Valid())
        return false;
    char chunk[4096];
    while (Out.size() < Limit) {
        const ssize_t n = ::read(fd.Get(), chunk, std::min(sizeof chunk, Limit - Out.size()));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            break;
        Out.append(chunk, static_cast<size_t>(n));
    }
    return true;
}

// A one-line sysfs attribute without its line end; empty when unreadable.
std::string ReadAttribute(const std::string& Path)
{
    std::string text;
    if (!ReadWholeFile(Path, kMaxAttributeBytes, text))
        return {};
    return text.substr(0, text.find('\n'));
}

// The value of KEY=value in a device's uevent file; empty when absent.
std::string UeventValue(const std::string& DeviceDir, const std::string& Key)
{
    std::string text;
    if (!ReadWholeFile(DeviceDir + "/uevent", kMaxAttributeBytes, text))
        return {};
    const std::string wanted = Key + "=";
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        if (text.compare(start, wanted.size(), wanted) == 0)
            return text.substr(start + wanted.size(), end - start - wanted.size());
        start = end + 1;
    }
    return {};
}

std::string RealPath(const std::string& Path)
{
    std::unique_ptr<char, FreeDeleter> resolved(::realpath(Path.c_str(), nullptr));
    return resolved ? std::string(resolved.get()) : std::string();
}

std::string BaseName(const std::string& Path)
{
    const size_t slash = Path.find_last_of('/');
    return slash == std::string::npos ? Path : Path.substr(slash + 1);
}

std::string ParentDir(const std::string& Path)
{
    const size_t slash = Path.find_last_of('/');
    return slash == std::string::npos || slash == 0 ? std::string("/") : Path.substr(0, slash);
}

bool IsBelow(const std::string& Path, const std::string& Top)
{
    return Path.size() > Top.size() && Path.compare(0, Top.size(), Top) == 0 && Path[Top.size()] == '/';
}

// ---------------------------------------------------------- enumeration ----

// hidrawN names in node order (hidraw2 before hidraw10), which is the order
// in which the kernel made the nodes.
std::vector<std::string> HidrawNames(const Roots& Where)
{
    std::vector<std::string> names;
    std::unique_ptr<DIR, DirCloser> dir(::opendir((Where.Sysfs + "/class/hidraw").c_str()));
    if (!dir)
        return names;
    while (const dirent* entry = ::readdir(dir.get())) {
        if (entry->d_name[0] != '.')
            names.emplace_back(entry->d_name);
    }
    auto number = [](const std::string& name) {
        const size_t digits = name.find_first_of("0123456789");
        return digits == std::string::npos ? ULONG_MAX : std::strtoul(name.c_str() + digits, nullptr, 10);
    };
    std::sort(names.begin(), names.end(), [&](const std::string& a, const std::string& b) {
        return std::make_pair(number(a), a) < std::make_pair(number(b), b);
    });
    return names;
}

// The HID device's sysfs name, BBBB:VVVV:PPPP.NNNN, carries its IDs the way
// a Windows interface path does, so the path test looks there: a vendor or
// product ID of 0 or more must appear in it.
bool PathTestPasses(const std::string& HidName, int32_t VendorID, int32_t ProductID)
{
    if (VendorID < 0 && ProductID < 0)
        return true;
    unsigned bus = 0, vendor = 0, product = 0, sequence = 0;
    if (std::sscanf(HidName.c_str(), "%4x:%4x:%4x.%x", &bus, &vendor, &product, &sequence) != 4)
        return false;
    return (VendorID < 0 || vendor == static_cast<unsigned>(VendorID)) &&
           (ProductID < 0 || product == static_cast<unsigned>(ProductID));
}

// The device's own identity, HID_ID=BBBB:VVVVVVVV:PPPPPPPP.
bool HidIds(const std::string& HidDir, uint32_t& Vendor, uint32_t& Product)
{
    const std::string id = UeventValue(HidDir, "HID_ID");
    unsigned bus = 0, vendor = 0, product = 0;
    if (std::sscanf(id.c_str(), "%x:%x:%x", &bus, &vendor, &product) != 3)
        return false;
    Vendor = vendor;
    Product = product;
    return true;
}

// A hidraw node stands for all the device's top-level collections (Windows
// makes one interface of each), so it matches when any one of them has the
// usage page and usage asked for.
bool CollectionsMatch(const std::string& HidDir, int32_t UsagePage, int32_t Usage)
{
    std::string bytes;
    if (!ReadWholeFile(HidDir + "/report_descriptor", kMaxDescriptorBytes, bytes))
        return false;
    const auto summary = hid::ParseReportDescriptor(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    return std::any_of(summary.TopLevel.begin(), summary.TopLevel.end(), [&](const hid::CollectionUsage& c) {
        return CollectionMatches(c.UsagePage, c.Usage, UsagePage, Usage);
    });
}

// The IDs of the HID device and the collections of its report descriptor,
// all read from sysfs without opening the node.
bool IdentityMatches(const std::string& HidDir, int32_t VendorID, int32_t ProductID, int32_t UsagePage,
                     int32_t Usage)
{
    uint32_t vendor = 0, product = 0;
    // USB and Bluetooth IDs are 16 bits; wider ones cannot be the device.
    if (!HidIds(HidDir, vendor, product) || vendor > 0xFFFF || product > 0xFFFF ||
        !AttributesMatch(static_cast<uint16_t>(vendor), static_cast<uint16_t>(product), VendorID, ProductID))
        return false;
    return CollectionsMatch(HidDir, UsagePage, Usage);
}

// A node that this process cannot open for reading and writing is of no use
// to it, so it does not match; neither does one whose identity is unreadable.
bool DeviceTestPasses(const std::string& HidDir, const std::string& Node, int32_t VendorID, int32_t ProductID,
                      int32_t UsagePage, int32_t Usage)
{
    const UniqueFd fd(::open(Node.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK));
    return fd.Valid() && IdentityMatches(HidDir, VendorID, ProductID, UsagePage, Usage);
}

// Every node in node order whose HID device passes the path test, with its
// sysfs directory; Seen counts all nodes.
template <typename Visit>
void ForEachCandidate(const Roots& Where, int32_t VendorID, int32_t ProductID, int32_t& Seen, Visit&& Visit_)
{
    const std::vector<std::string> names = HidrawNames(Where);
    Seen = static_cast<int32_t>(names.size());
    for (const std::string& name : names) {
        const std::string hidDir = RealPath(Where.Sysfs + "/class/hidraw/" + name + "/device");
        if (!hidDir.empty() && PathTestPasses(BaseName(hidDir), VendorID, ProductID))
            Visit_(hidDir, Where.Dev + "/" + name);
    }
}

int32_t Enumerate(const Roots& Where, std::vector<std::string>& List, int32_t VendorID, int32_t ProductID,
                  int32_t UsagePage, int32_t Usage)
{
    List.clear();
    int32_t seen = 0;
    ForEachCandidate(Where, VendorID, ProductID, seen, [&](const std::string& hidDir, const std::string& node) {
        if (DeviceTestPasses(hidDir, node, VendorID, ProductID, UsagePage, Usage))
            List.push_back(node);
    });
    return static_cast<int32_t>(List.size());
}

// -------------------------------------------------------------- strings ----

// The sysfs directories of the devices behind an open node.
struct DeviceDirs {
    std::string Hid;
    std::string Usb;  // empty when no USB device is above it (uhid, Bluetooth, I2C)
};

DeviceDirs FindDeviceDirs(const Roots& Where, const std::string& NodePath)
{
    // A udev symlink to the node leads to the same hidrawN.
    const std::string node = RealPath(NodePath);
    DeviceDirs dirs;
    dirs.Hid = RealPath(Where.Sysfs + "/class/hidraw/" + BaseName(node.empty() ? NodePath : node) + "/device");
    if (dirs.Hid.empty())
        return dirs;
    const std::string top = RealPath(Where.Sysfs);
    for (std::string dir = ParentDir(dirs.Hid); IsBelow(dir, top); dir = ParentDir(dir)) {
        if (UeventValue(dir, "DEVTYPE") == "usb_device") {
            dirs.Usb = dir;
            break;
        }
    }
    return dirs;
}

std::u16string SysfsString(const std::string& Dir, const char* Attribute)
{
    return hid::Utf16FromUtf8(ReadAttribute(Dir + "/" + Attribute));
}

// A string of the USB device, read when asked so that a vanished device reads
// empty. A uhid device has no USB device above it: its product and serial
// number are then the name and unique id its creator gave the HID device.
std::u16string DeviceString(const DeviceDirs& Dirs, const char* UsbAttribute, const char* HidKey)
{
    if (!Dirs.Usb.empty())
        return SysfsString(Dirs.Usb, UsbAttribute);
    if (HidKey == nullptr || Dirs.Hid.empty())
        return {};
    return hid::Utf16FromUtf8(UeventValue(Dirs.Hid, HidKey));
}

// GET_DESCRIPTOR for a string, on the device's default control pipe. usbfs
// allows this standard request without claiming an interface, so it works
// beside the kernel's HID driver.
int StringDescriptor(int Fd, uint8_t Index, uint16_t Language, uint8_t (&Buffer)[255])
{
    usbdevfs_ctrltransfer transfer {};
    transfer.bRequestType = 0x80;  // device to host, standard, device
    transfer.bRequest = 0x06;      // GET_DESCRIPTOR
    transfer.wValue = static_cast<uint16_t>(0x0300 | Index);
    transfer.wIndex = Language;
    transfer.wLength = sizeof Buffer;
    transfer.timeout = kControlTimeoutMs;
    transfer.data = Buffer;
    int n = 0;
    do
        n = ::ioctl(Fd, USBDEVFS_CONTROL, &transfer);
    while (n < 0 && errno == EINTR);
    return n;
}

// What failed of a system call on Path, as "permission denied on PATH".
std::string ProblemOn(int Error, const std::string& Path)
{
    std::string text = std::error_code(Error, std::generic_category()).message();
    if (!text.empty() && text[0] >= 'A' && text[0] <= 'Z')
        text[0] = static_cast<char>(text[0] - 'A' + 'a');
    return text + " on " + Path;
}

// The usbfs node needs write access as well; a node that cannot be opened
// (a udev rule that grants the hidraw node only) is the Problem, kept for the
// caller to show, since every indexed string then reads empty.
std::u16string UsbIndexedString(const Roots& Where, const std::string& UsbDir, int32_t Index, std::string& Problem)
{
    if (UsbDir.empty() || Index < 1 || Index > 255)
        return {};
    const unsigned long bus = std::strtoul(ReadAttribute(UsbDir + "/busnum").c_str(), nullptr, 10);
    const unsigned long device = std::strtoul(ReadAttribute(UsbDir + "/devnum").c_str(), nullptr, 10);
    if (bus == 0 || device == 0 || bus > 999 || device > 999)
        return {};
    char relative[32];
    std::snprintf(relative, sizeof relative, "/bus/usb/%03lu/%03lu", bus, device);
    const std::string node = Where.Dev + relative;
    UniqueFd fd(::open(node.c_str(), O_RDWR | O_CLOEXEC));
    if (!fd.Valid()) {
        Problem = ProblemOn(errno, node);
        return {};
    }
    Problem.clear();
    uint8_t buffer[255];
    uint16_t language = kEnglishUs;
    if (StringDescriptor(fd.Get(), 0, 0, buffer) >= 4 && buffer[1] == 3)
        language = static_cast<uint16_t>(buffer[2] | (buffer[3] << 8));
    const int n = StringDescriptor(fd.Get(), static_cast<uint8_t>(Index), language, buffer);
    return n > 0 ? hid::TextOfStringDescriptor(buffer, static_cast<size_t>(n)) : std::u16string();
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
    std::string devicePath;
    std::atomic<int32_t> lastError {0};
    int32_t openError = 0;
    std::atomic<bool> gone {false};  // the reader met the node's end, or a write found it gone
    UniqueFd node;
    UniqueFd stop;     // eventfd that ends the reader's wait
    UniqueFd discard;  // eventfd that asks the reader to throw input away
    hid::ReportQueue queue;
    DiscardRequests discards;
    std::thread reader;
    Roots roots;
    DeviceDirs dirs;
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
    gone = false;
}

TRawHid::TRawHid() : impl_(std::make_unique<Impl>()) {}

TRawHid::~TRawHid()
{
    Close();
}

int32_t TRawHid::EnumerateDevices(std::vector<std::string>& List, int32_t VendorID, int32_t ProductID,
                                  int32_t UsagePage, int32_t Usage)
{
    return Enumerate(hidraw::CurrentRoots(), List, VendorID, ProductID, UsagePage, Usage);
}

bool TRawHid::IsHidInterface(const std::string& Path)
{
    const Roots where = hidraw::CurrentRoots();
    const std::string node = RealPath(Path);
    return !node.empty() && node == RealPath(where.Dev + "/" + BaseName(node)) &&
           !FindDeviceDirs(where, Path).Hid.empty();
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
    List.clear();
    const Roots where = hidraw::CurrentRoots();
    ForEachCandidate(where, VendorID, ProductID, Seen, [&](const std::string& hidDir, const std::string& node) {
        if (!IdentityMatches(hidDir, VendorID, ProductID, UsagePage, Usage))
            return;
        const DeviceDirs dirs = FindDeviceDirs(where, node);
        List.push_back({node, DeviceString(dirs, "serial", "HID_UNIQ"), DeviceString(dirs, "manufacturer", nullptr),
                        DeviceString(dirs, "product", "HID_NAME")});
    });
    return static_cast<int32_t>(List.size());
}

bool TRawHid::Open(int32_t VendorID, int32_t ProductID, int32_t UsagePage, int32_t Usage)
{
    std::vector<std::string> paths;
    if (EnumerateDevices(paths, VendorID, ProductID, UsagePage, Usage) == 0)
        return false;
    return OpenPath(paths.front());
}

// One node has one reader, so opening again first closes what is open.
bool TRawHid::OpenPath(const std::string& Path)
{
    Close();
    impl_->devicePath = Path;
    UniqueFd node(::open(Path.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK));
    if (!node.Valid()) {
        impl_->openError = errno;
        return false;
    }
    impl_->openError = 0;
    const bool numbered = ReportsAreNumbered(node.Get());
    impl_->roots = hidraw::CurrentRoots();
    impl_->dirs = FindDeviceDirs(impl_->roots, Path);
    impl_->indexedStringProblem.clear();
    impl_->node = std::move(node);
    return impl_->StartReader(numbered);
}

void TRawHid::Close()
{
    impl_->StopReader();
}

bool TRawHid::IsOpen() const
{
    return impl_->node.Valid() && !impl_->gone;
}

bool TRawHid::Gone() const
{
    return impl_->gone;
}

int32_t TRawHid::ReadReport(uint8_t* Buffer, int32_t Count, int32_t TimeoutMs)
{
    const int32_t timeout = TimeoutMs < 0 ? kDefaultTimeoutMs : TimeoutMs;
    const int32_t count = Buffer == nullptr ? 0 : std::clamp(Count, 0, kMaxReadCount);
    impl_->lastError = 0;
    if (!impl_->node.Valid()) {
        impl_->lastError = EBADF;
        return -1;
    }
    const hid::ReportQueue::Result taken = impl_->queue.Take(Buffer, static_cast<size_t>(count), timeout);
    // EAGAIN stands where Windows reports "I/O pending": a new read had to wait.
    if (taken.Waited)
        impl_->lastError = EAGAIN;
    switch (taken.What) {
    case hid::ReportQueue::Outcome::Report: return static_cast<int32_t>(taken.Size);
    case hid::ReportQueue::Outcome::TimedOut: return -1;
    case hid::ReportQueue::Outcome::EndedEmpty: return 0;
    case hid::ReportQueue::Outcome::Refused: break;
    }
    // The node stays as it is: a write of another thread may be using it.
    impl_->lastError = taken.Error;
    impl_->gone = true;
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
    if (Count < 0 || Count > kMaxWriteCount || (Buffer == nullptr && Count > 0)) {
        impl_->lastError = EINVAL;
        return -1;
    }
    if (!IsOpen()) {
        impl_->lastError = impl_->gone ? ENODEV : EBADF;
        return -1;
    }
    const std::lock_guard<std::mutex> lock(WriteLock());
    uint8_t report[kMaxWriteCount + 1] = {0};
    if (Count > 0)
        std::memcpy(report + 1, Buffer, static_cast<size_t>(Count));
    const int ready = WaitFor(impl_->node.Get(), POLLOUT, timeout);
    if (ready == 0) {
        impl_->lastError = ETIMEDOUT;
        return 0;
    }
    const ssize_t n = ready < 0 ? -1 : ::write(impl_->node.Get(), report, static_cast<size_t>(Count) + 1);
    if (n < 0 && errno == EAGAIN) {
        impl_->lastError = EAGAIN;
        return 0;
    }
    if (n <= 0) {
        impl_->lastError = n < 0 ? errno : EIO;
        if (impl_->lastError == ENODEV)
            impl_->gone = true;
        return -1;
    }
    impl_->lastError = 0;
    return static_cast<int32_t>(n - 1);
}

std::u16string TRawHid::GetManufacturerString()
{
    return IsOpen() ? DeviceString(impl_->dirs, "manufacturer", nullptr) : std::u16string();
}

std::u16string TRawHid::GetProductString()
{
    return IsOpen() ? DeviceString(impl_->dirs, "product", "HID_NAME") : std::u16string();
}

std::u16string TRawHid::GetSerialNumberString()
{
    return IsOpen() ? DeviceString(impl_->dirs, "serial", "HID_UNIQ") : std::u16string();
}

std::u16string TRawHid::GetIndexedString(int32_t Index)
{
    if (!IsOpen())
        return {};
    return UsbIndexedString(impl_->roots, impl_->dirs.Usb, Index, impl_->indexedStringProblem);
}

std::string TRawHid::IndexedStringProblem() const
{
    return impl_->indexedStringProblem;
}

std::string TRawHid::DevicePath() const
{
    return impl_->devicePath;
}

int32_t TRawHid::OpenError() const
{
    return impl_->openError;
}

int32_t TRawHid::LastError() const
{
    return impl_->lastError;
}

bool TRawHid::ReadPending() const
{
    return IsOpen() && impl_->queue.Pending();
}

}  // namespace zqk
