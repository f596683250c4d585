// zqk-sim-uhid: the simulated device as a real kernel HID device. It creates
// a HID device through /dev/uhid, hands every output report the kernel
// passes on to the device model, and writes the model's input reports back as
// input reports, at most one per pacing interval as an interrupt endpoint
// would. Other programs then find the device in sysfs and talk to it through
// its /dev/hidrawN node, exactly as to a plugged-in device.
//
//   zqk-sim-uhid [options]
//     --pace MS            at most one input report per MS milliseconds (default 1)
//     --echo               every channel answers each packet with its data
//                          (instead of the terminal on channel 0)
//     --destroy-after N    remove the device after N input reports (unplugging)
//     --destroy-delay MS   ... MS milliseconds after the N-th one (default 0)
//     --vendor ID --product ID --usage-page PAGE   another identity (hex or decimal)
//     --name TEXT --serial TEXT                    the HID name and unique id (UTF-8)
//     --big-file BYTES     a file /big.bin of that many bytes on the device
//     --dir DIR            the device's files in folder DIR, shared with the
//                          sim:DIR devices of other programs (default: the
//                          demo tree, in memory)
//
// It runs until the device has been removed or it gets SIGTERM or SIGINT.
// The kernel keeps at most 32 output reports for a uhid device and drops
// what comes beyond, so the program asks for real-time priority and reads
// /dev/uhid before anything else.
#include <fcntl.h>
#include <linux/uhid.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "hid/hid_descriptors.h"
#include "base/clock.h"
#include "sim/sim_device.h"
#include "sim/sim_front.h"
#include "sim/sim_folder.h"
#include "sim/sim_keeper.h"

namespace {

using zqk::sim::SimDevice;
using zqk::sim::SimKeeper;

struct Options {
    uint32_t PaceMs = 1;
    bool Echo = false;
    long DestroyAfter = -1;  // input reports; negative: never
    uint32_t DestroyDelayMs = 0;
    long Vendor = -1, Product = -1, UsagePage = -1;
    std::string Name, Serial, Folder;
    long BigFile = 0;
};

bool ParseNumber(const char* Text, long& Value)
{
    char* end = nullptr;
    errno = 0;
    Value = std::strtol(Text, &end, 0);
    return errno == 0 && end != Text && *end == '\0' && Value >= 0;
}

bool ParseOptions(int argc, char** argv, Options& Out)
{
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--help")
            return false;
        if (option == "--echo") {
            Out.Echo = true;
            continue;
        }
        if (i + 1 >= argc)
            return false;
        const char* value = argv[++i];
        long number = 0;
        if (option == "--name")
            Out.Name = value;
        else if (option == "--serial")
            Out.Serial = value;
        else if (option == "--dir")
            Out.Folder = value;
        else if (!ParseNumber(value, number))
            return false;
        else if (option == "--pace")
            Out.PaceMs = static_cast<uint32_t>(number);
        else if (option == "--destroy-after")
            Out.DestroyAfter = number;
        else if (option == "--destroy-delay")
            Out.DestroyDelayMs = static_cast<uint32_t>(number);
        else if (option == "--vendor")
            Out.Vendor = number;
        else if (option == "--product")
            Out.Product = number;
        else if (option == "--usage-page")
            Out.UsagePage = number;
        else if (option == "--big-file")
            Out.BigFile = number;
        else
            return false;
    }
    return true;
}

std::string Utf8FromUtf16(const std::u16string& Text)
{
    std::string out;
    for (const char16_t unit : Text) {
        if (unit < 0x80) {
            out += static_cast<char>(unit);
        } else if (unit < 0x800) {
            out += static_cast<char>(0xC0 | (unit >> 6));
            out += static_cast<char>(0x80 | (unit & 0x3F));
        } else {
            out += static_cast<char>(0xE0 | (unit >> 12));
            out += static_cast<char>(0x80 | ((unit >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (unit & 0x3F));
        }
    }
    return out;
}

// The device the front end serves: the whole simulated zq.keeper (terminal
// and file system: the demo tree, or Folder's files when there is one), or in
// echo mode its report level alone with every channel answering each packet
// with its data. This is the one place that decides what stands behind the
// HID device.
std::unique_ptr<SimKeeper> MakeDevice(zqk::Clock& TimeSource, const Options& Chosen, zqk::sim::SimFolder* Folder)
{
    auto keeper = std::make_unique<SimKeeper>(TimeSource);
    // A uhid device has no string descriptors, so hosts read string 204 as
    // empty and send names bare: the device must take them so.
    keeper->SetQuotedNames(false);
    if (Folder)
        keeper->Files.UseStore(*Folder);
    else
        zqk::sim::SimFolder::SeedDemoTree(keeper->Files.Store());
    if (Chosen.BigFile > 0) {
        std::string data(static_cast<size_t>(Chosen.BigFile), '\0');
        for (size_t i = 0; i < data.size(); ++i)
            data[i] = static_cast<char>((i * 31 + i / 4096) & 0xFF);
        keeper->Files.PutFile("/big.bin", data);
    }
    SimDevice& device = keeper->Device;
    if (Chosen.Echo) {
        for (uint8_t channel = 0; channel < zqk::kChannelCount; ++channel)
            device.OnChannelData(channel, [&device, channel](const std::string& data) { device.Send(channel, data); });
    }
    zqk::sim::UsbIdentity& identity = device.Identity;
    if (Chosen.Vendor >= 0)
        identity.VendorID = static_cast<int32_t>(Chosen.Vendor);
    if (Chosen.Product >= 0)
        identity.ProductID = static_cast<int32_t>(Chosen.Product);
    if (Chosen.UsagePage >= 0)
        identity.UsagePage = static_cast<int32_t>(Chosen.UsagePage);
    if (!Chosen.Name.empty())
        identity.Product = zqk::hid::Utf16FromUtf8(Chosen.Name);
    if (!Chosen.Serial.empty())
        identity.SerialNumber = zqk::hid::Utf16FromUtf8(Chosen.Serial);
    return keeper;
}

// The HID device made through /dev/uhid; removed when this object goes.
class UhidDevice {
public:
    bool Create(const zqk::sim::UsbIdentity& Identity)
    {
        fd_ = ::open("/dev/uhid", O_RDWR | O_CLOEXEC | O_NONBLOCK);
        if (fd_ < 0) {
            std::perror("zqk-sim-uhid: /dev/uhid");
            return false;
        }
        uhid_event event {};
        event.type = UHID_CREATE2;
        auto& create = event.u.create2;
        CopyText(Utf8FromUtf16(Identity.Product), create.name, sizeof create.name);
        CopyText("zqk-sim-uhid", create.phys, sizeof create.phys);
        CopyText(Utf8FromUtf16(Identity.SerialNumber), create.uniq, sizeof create.uniq);
        const std::string descriptor = zqk::sim::front::ReportDescriptor(Identity.UsagePage, Identity.Usage);
        create.rd_size = static_cast<uint16_t>(descriptor.size());
        std::memcpy(create.rd_data, descriptor.data(), descriptor.size());
        create.bus = 0x03;  // USB
        create.vendor = static_cast<uint32_t>(Identity.VendorID);
        create.product = static_cast<uint32_t>(Identity.ProductID);
        if (!Send(event)) {
            std::perror("zqk-sim-uhid: create");
            return false;
        }
        return true;
    }

    void Destroy()
    {
        if (fd_ < 0)
            return;
        uhid_event event {};
        event.type = UHID_DESTROY;
        Send(event);
        ::close(fd_);
        fd_ = -1;
    }

    ~UhidDevice() { Destroy(); }

    int Fd() const { return fd_; }

    bool Input(const std::vector<uint8_t>& Report)
    {
        uhid_event event {};
        event.type = UHID_INPUT2;
        event.u.input2.size = static_cast<uint16_t>(std::min(Report.size(), sizeof event.u.input2.data));
        std::memcpy(event.u.input2.data, Report.data(), event.u.input2.size);
        return Send(event);
    }

    // The kernel waits for an answer to these; the device has no feature
    // reports, so it refuses them at once.
    void Refuse(const uhid_event& Request)
    {
        uhid_event reply {};
        if (Request.type == UHID_GET_REPORT) {
            reply.type = UHID_GET_REPORT_REPLY;
            reply.u.get_report_reply.id = Request.u.get_report.id;
            reply.u.get_report_reply.err = EIO;
        } else {
            reply.type = UHID_SET_REPORT_REPLY;
            reply.u.set_report_reply.id = Request.u.set_report.id;
            reply.u.set_report_reply.err = EIO;
        }
        Send(reply);
    }

private:
    static void CopyText(const std::string& Text, uint8_t* Field, size_t Size)
    {
        std::memcpy(Field, Text.data(), std::min(Text.size(), Size - 1));
    }

    bool Send(const uhid_event& Event)
    {
        ssize_t n = 0;
        do
            n = ::write(fd_, &Event, sizeof Event);
        while (n < 0 && errno == EINTR);
        return n == static_cast<ssize_t>(sizeof Event);
    }

    int fd_ = -1;
};

// Hands every waiting kernel event to the model. False when /dev/uhid failed.
bool DrainEvents(UhidDevice& Uhid, SimDevice& Device)
{
    for (;;) {
        uhid_event event {};
        const ssize_t n = ::read(Uhid.Fd(), &event, sizeof event);
        if (n < 0)
            return errno == EAGAIN || errno == EINTR;
        if (n == 0)
            return false;
        if (event.type == UHID_OUTPUT) {
            // hidraw passes the report number 0 in front of an unnumbered report.
            const auto& output = event.u.output;
            const size_t skip = output.size == zqk::kPacketSize + 1 && output.data[0] == 0 ? 1 : 0;
            Device.HostWrite(output.data + skip, output.size - skip);
        } else if (event.type == UHID_GET_REPORT || event.type == UHID_SET_REPORT) {
            Uhid.Refuse(event);
        }
    }
}

int Serve(UhidDevice& Uhid, SimDevice& Device, const Options& Chosen, zqk::Clock& Time)
{
    uint64_t nextSend = 0;
    long sent = 0;
    while (!zqk::sim::front::StopAsked()) {
        const uint64_t now = Time.NowMs();
        uint64_t due = 0;
        int waitMs = -1;
        if (Device.NextInputDue(due)) {
            const uint64_t at = std::max(due, nextSend);
            waitMs = at > now ? static_cast<int>(at - now) : 0;
        }
        pollfd entry {Uhid.Fd(), POLLIN, 0};
        if (waitMs != 0 && ::poll(&entry, 1, waitMs) < 0 && errno != EINTR)
            return 1;
        if (!DrainEvents(Uhid, Device))
            return 1;
        if (!Device.NextInputDue(due) || std::max(due, nextSend) > Time.NowMs())
            continue;
        if (!Uhid.Input(Device.TakeInput()))
            return 1;
        nextSend = Time.NowMs() + Chosen.PaceMs;
        if (++sent == Chosen.DestroyAfter) {
            Time.SleepMs(Chosen.DestroyDelayMs);
            Uhid.Destroy();
            return 0;
        }
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    Options chosen;
    if (!ParseOptions(argc, argv, chosen)) {
        std::fprintf(stderr,
                     "usage: zqk-sim-uhid [--pace MS] [--echo] [--destroy-after N] [--destroy-delay MS]\n"
                     "                    [--vendor ID] [--product ID] [--usage-page PAGE] [--name TEXT] [--serial TEXT]\n"
                     "                    [--big-file BYTES] [--dir DIR]\n");
        return 2;
    }
    zqk::sim::front::CatchStopSignals();
    zqk::sim::front::AskForRealTimePriority("zqk-sim-uhid");
    zqk::Clock& time = zqk::SystemClock::Instance();
    std::unique_ptr<zqk::sim::SimFolder> folder;
    if (!chosen.Folder.empty()) {
        folder = std::make_unique<zqk::sim::SimFolder>(chosen.Folder);
        std::string problem;
        if (!folder->Prepare(problem)) {
            std::fprintf(stderr, "zqk-sim-uhid: %s\n", problem.c_str());
            return 1;
        }
    }
    const std::unique_ptr<SimKeeper> keeper = MakeDevice(time, chosen, folder.get());
    UhidDevice uhid;
    if (!uhid.Create(keeper->Device.Identity))
        return 1;
    return Serve(uhid, keeper->Device, chosen, time);
}
