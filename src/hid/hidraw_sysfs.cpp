// Where the hidraw transport finds its devices and their strings: the nodes
// and their HID and USB devices in sysfs, and the string descriptors that
// only usbfs gives.
#include "hid/hidraw_sysfs.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <system_error>
#include <utility>

#include "hid/hid_descriptors.h"
#include "hid/hid_match.h"
#include "hid/unique_fd.h"

namespace zqk::hidraw {

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


namespace {

using hid::UniqueFd;

// Kernels cap report descriptors at 4 KiB; more room costs nothing.
constexpr size_t kMaxDescriptorBytes = 65536;
constexpr size_t kMaxAttributeBytes = 4096;
constexpr unsigned kControlTimeoutMs = 1000;
constexpr uint16_t kEnglishUs = 0x0409;

struct DirCloser {
    void operator()(DIR* Dir) const { ::closedir(Dir); }
};

struct FreeDeleter {
    void operator()(char* Text) const { std::free(Text); }
};

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

// -------------------------------------------------------------- strings ----

std::u16string SysfsString(const std::string& Dir, const char* Attribute)
{
    return hid::Utf16FromUtf8(ReadAttribute(Dir + "/" + Attribute));
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

}  // namespace

Roots CurrentRoots()
{
    std::lock_guard<std::mutex> lock(RootsMutex());
    return ActiveRoots();
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

// The node itself, or a link to it, of a HID device in sysfs: not any other
// file that reports would be written into.
bool IsHidNode(const Roots& Where, const std::string& Path)
{
    const std::string node = RealPath(Path);
    return !node.empty() && node == RealPath(Where.Dev + "/" + BaseName(node)) &&
           !FindDeviceDirs(Where, Path).Hid.empty();
}

int32_t FindInterfaces(const Roots& Where, std::vector<FoundInterface>& List, int32_t VendorID, int32_t ProductID,
                       int32_t UsagePage, int32_t Usage, int32_t& Seen)
{
    List.clear();
    ForEachCandidate(Where, VendorID, ProductID, Seen, [&](const std::string& hidDir, const std::string& node) {
        if (!IdentityMatches(hidDir, VendorID, ProductID, UsagePage, Usage))
            return;
        const DeviceDirs dirs = FindDeviceDirs(Where, node);
        List.push_back({node, DeviceString(dirs, "serial", "HID_UNIQ"), DeviceString(dirs, "manufacturer", nullptr),
                        DeviceString(dirs, "product", "HID_NAME")});
    });
    return static_cast<int32_t>(List.size());
}

}  // namespace zqk::hidraw
