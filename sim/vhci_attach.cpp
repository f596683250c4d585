#include "sim/vhci_attach.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

namespace zqk::sim::vhci {

namespace {

const std::string kController = "/sys/devices/platform/vhci_hcd.0/";
constexpr int kFreePort = 4;  // VDEV_ST_NULL in the status file

// The first USB 2 ("hs") port that holds no device. Lines of the status file:
// "hub port sta spd dev sockfd local_busid".
int FreePort()
{
    std::ifstream status(kController + "status");
    std::string line;
    std::getline(status, line);  // the heading
    while (std::getline(status, line)) {
        std::istringstream fields(line);
        std::string hub;
        int port = -1, state = -1;
        if (fields >> hub >> port >> state && hub == "hs" && state == kFreePort)
            return port;
    }
    return -1;
}

bool WriteControl(const std::string& File, const std::string& Text)
{
    std::ofstream out(kController + File);
    out << Text;
    out.flush();
    return static_cast<bool>(out);
}

}  // namespace

int Attach(uint32_t DeviceId, uint32_t Speed, int& Socket)
{
    int pair[2];
    const int port = FreePort();
    if (port < 0) {
        std::fprintf(stderr, "zqk-sim-usbip: no free port in %sstatus (is vhci-hcd loaded?)\n", kController.c_str());
        return -1;
    }
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
        std::perror("zqk-sim-usbip: socketpair");
        return -1;
    }
    const std::string request = std::to_string(port) + " " + std::to_string(pair[1]) + " " +
                                std::to_string(DeviceId) + " " + std::to_string(Speed);
    const bool attached = WriteControl("attach", request);
    ::close(pair[1]);  // the kernel keeps its own reference
    if (!attached) {
        std::fprintf(stderr, "zqk-sim-usbip: cannot attach to port %d: %s\n", port, std::strerror(errno));
        ::close(pair[0]);
        return -1;
    }
    Socket = pair[0];
    return port;
}

void Detach(int Port)
{
    WriteControl("detach", std::to_string(Port));
}

}  // namespace zqk::sim::vhci
