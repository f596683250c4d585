// zqk-sim-usbip: simulated devices as real USB devices over USB/IP. Each
// DEVICE is a sim:DIR[?options] name as zqkDevOpen takes it, exported as bus
// ID 1-1, 1-2, ... in the order given: a full-speed device with one HID
// interface whose 64-byte interrupt endpoints carry the device's reports.
//
//   zqk-sim-usbip [--listen ADDR:PORT | --attach] [--latency MS] DEVICE...
//     --listen ADDR:PORT  a USB/IP server there (default 127.0.0.1:3240):
//                         "usbip list -r HOST" lists the devices and
//                         "usbip attach -r HOST -b 1-1" attaches one
//     --attach            attaches every device to this machine's vhci-hcd
//                         directly, with no server (Linux, as root)
//     --latency MS        every URB completes MS milliseconds late, as over
//                         a slow link
//
// It runs until SIGTERM or SIGINT, which detach every device; with --attach
// also until every device has been unplugged (unplug=N) or detached.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "sim/sim_folder.h"
#include "sim/sim_front.h"
#include "sim/sim_keeper.h"
#include "sim/sim_path_device.h"
#include "sim/usb_descriptors.h"
#include "sim/usbip_protocol.h"
#include "sim/usbip_session.h"
#include "sim/vhci_attach.h"

namespace {

using namespace zqk::sim;

struct Options {
    std::string ListenAddress = "127.0.0.1";
    uint16_t ListenPort = 3240;
    bool Attach = false;
    uint32_t LatencyMs = 0;
    std::vector<std::string> Devices;
};

// One simulated device with what USB shows of it; served by one connection
// at a time.
struct ServedDevice {
    std::unique_ptr<SimFolder> folder;
    std::unique_ptr<SimKeeper> keeper;
    std::unique_ptr<usb::UsbDescriptors> descriptors;
    usbip::ExportedDevice exported;
    std::atomic<bool> busy {false};
};

bool ParseListen(const std::string& Text, Options& Out)
{
    const size_t colon = Text.rfind(':');
    if (colon == std::string::npos)
        return false;
    char* end = nullptr;
    const long port = std::strtol(Text.c_str() + colon + 1, &end, 10);
    Out.ListenAddress = Text.substr(0, colon);
    Out.ListenPort = static_cast<uint16_t>(port);
    return *end == '\0' && port > 0 && port < 65536;
}

// Up to a minute: past that, every report write of the library has timed out long before.
bool ParseLatency(const char* Text, Options& Out)
{
    char* end = nullptr;
    const unsigned long ms = std::strtoul(Text, &end, 10);
    Out.LatencyMs = static_cast<uint32_t>(ms);
    return end != Text && *end == '\0' && ms <= 60000;
}

bool ParseOptions(int argc, char** argv, Options& Out)
{
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        const bool hasValue = i + 1 < argc;
        if (option == "--attach")
            Out.Attach = true;
        else if (option == "--listen" && hasValue && ParseListen(argv[i + 1], Out))
            ++i;
        else if (option == "--latency" && hasValue && ParseLatency(argv[i + 1], Out))
            ++i;
        else if (IsSimPath(option))
            Out.Devices.push_back(option);
        else
            return false;
    }
    return !Out.Devices.empty();
}

std::unique_ptr<ServedDevice> MakeDevice(const std::string& Path, size_t Number, std::string& Problem)
{
    SimPathOptions options;
    if (!ParseSimPath(Path, options, Problem))
        return nullptr;
    auto served = std::make_unique<ServedDevice>();
    served->folder = std::make_unique<SimFolder>(options.Folder, NameLess {options.CaseSensitiveNames});
    if (!served->folder->Prepare(Problem))
        return nullptr;
    served->keeper = std::make_unique<SimKeeper>(zqk::SystemClock::Instance());
    ApplySimPathOptions(options, *served->keeper);
    served->keeper->Files.UseStore(*served->folder);
    const UsbIdentity& identity = served->keeper->Device.Identity;
    served->descriptors = std::make_unique<usb::UsbDescriptors>(identity);
    usbip::ExportedDevice& exported = served->exported;
    exported.BusId = "1-" + std::to_string(Number);
    exported.DeviceNumber = static_cast<uint32_t>(Number);
    exported.Path = "/sys/devices/platform/zqk-sim-usbip/usb1/" + exported.BusId;
    exported.Vendor = static_cast<uint16_t>(identity.VendorID);
    exported.Product = static_cast<uint16_t>(identity.ProductID);
    return served;
}

// Serves Device on Socket until it is detached, unplugged or the program
// stops; then closes the socket (which detaches it on the other side).
void Serve(ServedDevice& Device, int Socket, uint32_t LatencyMs)
{
    usbip::UrbSession session(Socket, Device.keeper->Device, *Device.descriptors, LatencyMs);
    session.Run([] { return front::StopAsked(); });
    ::close(Socket);
    Device.busy = false;
}

void Send(int Socket, const usbip::Bytes& Data)
{
    if (!usbip::SendAll(Socket, Data.data(), Data.size()))
        std::fprintf(stderr, "zqk-sim-usbip: a reply went unsent: %s\n", std::strerror(errno));
}

// One connection's OP_ request: the device list, or an import, after which the
// connection carries that device's URBs (on a thread of its own).
void Answer(int Socket, std::vector<std::unique_ptr<ServedDevice>>& Devices, const Options& Chosen,
            std::vector<std::thread>& Sessions)
{
    uint8_t header[usbip::kOpHeaderSize];
    uint8_t busId[usbip::kBusIdSize];
    const bool read = usbip::ReceiveAll(Socket, header, sizeof header);
    const usbip::OpHeader request = usbip::ParseOpHeader(header);
    if (read && request.Code == usbip::kRequestDeviceList) {
        std::vector<usbip::ExportedDevice> listed;
        for (const auto& device : Devices)
            if (!device->busy && !device->keeper->Device.Unplugged())
                listed.push_back(device->exported);
        Send(Socket, usbip::DeviceListReply(listed));
    } else if (read && request.Code == usbip::kRequestImport && usbip::ReceiveAll(Socket, busId, sizeof busId)) {
        const std::string wanted = usbip::ParseBusId(busId);
        for (auto& device : Devices) {
            if (device->exported.BusId != wanted || device->keeper->Device.Unplugged() || device->busy.exchange(true))
                continue;
            Send(Socket, usbip::ImportReply(&device->exported));
            Sessions.emplace_back(Serve, std::ref(*device), Socket, Chosen.LatencyMs);
            return;
        }
        Send(Socket, usbip::ImportReply(nullptr));
    }
    ::close(Socket);
}

int OpenListener(const Options& Chosen)
{
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(Chosen.ListenPort);
    if (listener < 0 || ::inet_pton(AF_INET, Chosen.ListenAddress.c_str(), &address.sin_addr) != 1 ||
        ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(listener, 8) != 0) {
        std::fprintf(stderr, "zqk-sim-usbip: cannot listen on %s:%u: %s\n", Chosen.ListenAddress.c_str(),
                     Chosen.ListenPort, std::strerror(errno));
        return -1;
    }
    return listener;
}

int Listen(std::vector<std::unique_ptr<ServedDevice>>& Devices, const Options& Chosen)
{
    const int listener = OpenListener(Chosen);
    if (listener < 0)
        return 1;
    std::vector<std::thread> sessions;
    while (!front::StopAsked()) {
        pollfd entry {listener, POLLIN, 0};
        if (::poll(&entry, 1, 100) <= 0)
            continue;
        const int connection = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0)
            continue;
        const int on = 1;  // a report is a round trip: no waiting to fill a segment
        ::setsockopt(connection, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        Answer(connection, Devices, Chosen, sessions);
    }
    for (std::thread& session : sessions)
        session.join();
    ::close(listener);
    return 0;
}

// Each device on a port of this machine's vhci-hcd, served through a socket
// pair; detached again when its session ends.
int AttachHere(std::vector<std::unique_ptr<ServedDevice>>& Devices, const Options& Chosen)
{
    std::vector<std::thread> sessions;
    for (auto& device : Devices) {
        int socket = -1;
        const int port = vhci::Attach(device->exported.DeviceId(), usbip::kFullSpeed, socket);
        if (port < 0)
            break;
        device->busy = true;
        sessions.emplace_back([&device, socket, port, &Chosen] {
            Serve(*device, socket, Chosen.LatencyMs);
            vhci::Detach(port);
        });
    }
    for (std::thread& session : sessions)
        session.join();
    return sessions.size() == Devices.size() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv)
{
    Options chosen;
    if (!ParseOptions(argc, argv, chosen)) {
        std::fprintf(stderr, "usage: zqk-sim-usbip [--listen ADDR:PORT | --attach] [--latency MS] sim:DIR[?options]...\n");
        return 2;
    }
    front::CatchStopSignals();
    front::AskForRealTimePriority("zqk-sim-usbip");
    std::vector<std::unique_ptr<ServedDevice>> devices;
    for (const std::string& path : chosen.Devices) {
        std::string problem;
        devices.push_back(MakeDevice(path, devices.size() + 1, problem));
        if (!devices.back()) {
            std::fprintf(stderr, "zqk-sim-usbip: %s: %s\n", path.c_str(), problem.c_str());
            return 1;
        }
    }
    return chosen.Attach ? AttachHere(devices, chosen) : Listen(devices, chosen);
}
