// Device changes on Linux: the kernel's uevents over netlink, read directly
// so that no udev daemon is needed. Only hidraw nodes count; their identity
// is read from sysfs by enumeration, as zqkFindDevices reads it.
#include "hid/device_events.h"

#include <linux/netlink.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/failure_note.h"
#include "base/platform_text.h"
#include "hid/hidraw_sysfs.h"
#include "hid/unique_fd.h"

namespace zqk {

namespace {

using hid::UniqueFd;

constexpr unsigned kKernelUeventGroup = 1;  // what the kernel sends; udev's re-sent copies are group 2
constexpr int kReceiveRoom = 1 << 20;       // room for a burst of uevents, e.g. a hub with many devices

// "KEY=value" fields of one uevent: "ACTION@DEVPATH\0KEY=value\0...".
struct Uevent {
    std::string Action, Subsystem, DevName;
};

Uevent ParseUevent(const char* Message, size_t Length)
{
    Uevent event;
    for (size_t at = 0; at < Length;) {
        const std::string field(Message + at, strnlen(Message + at, Length - at));
        at += field.size() + 1;
        const size_t equals = field.find('=');
        if (equals == std::string::npos)
            continue;  // the "ACTION@DEVPATH" header
        const std::string key = field.substr(0, equals), value = field.substr(equals + 1);
        if (key == "ACTION")
            event.Action = value;
        else if (key == "SUBSYSTEM")
            event.Subsystem = value;
        else if (key == "DEVNAME")
            event.DevName = value;
    }
    return event;
}

// A hidraw node's arrival or departure; false for any other uevent.
bool ChangeOf(const Uevent& Event, DeviceChange& Change)
{
    if (Event.Subsystem != "hidraw" || Event.DevName.empty() || Event.DevName.find('/') != std::string::npos)
        return false;
    if (Event.Action == "add")
        Change.What = DeviceChange::Kind::Added;
    else if (Event.Action == "remove")
        Change.What = DeviceChange::Kind::Removed;
    else
        return false;
    Change.Path = hidraw::CurrentRoots().Dev + "/" + Event.DevName;
    return true;
}

class UeventListener final : public DeviceEvents {
public:
    UeventListener(UniqueFd Socket, UniqueFd WakeUp) : socket_(std::move(Socket)), wakeUp_(std::move(WakeUp)) {}

    bool Wait(std::vector<DeviceChange>& Changes) override
    {
        pollfd fds[2] = {{socket_.Get(), POLLIN, 0}, {wakeUp_.Get(), POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0)
            return errno == EINTR;
        if (fds[1].revents != 0) {
            uint64_t count = 0;
            (void)!::read(wakeUp_.Get(), &count, sizeof count);
            return true;
        }
        if (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL))
            return false;
        return ReadAll(Changes);
    }

    void Wake() override
    {
        const uint64_t one = 1;
        (void)!::write(wakeUp_.Get(), &one, sizeof one);
    }

private:
    // Every uevent waiting in the socket. Lost ones (the socket's room ran
    // out) make the watcher look at every device again.
    bool ReadAll(std::vector<DeviceChange>& Changes)
    {
        for (;;) {
            char message[8192];
            sockaddr_nl sender {};
            iovec part {message, sizeof message};
            msghdr header {};
            header.msg_name = &sender;
            header.msg_namelen = sizeof sender;
            header.msg_iov = &part;
            header.msg_iovlen = 1;
            const ssize_t n = ::recvmsg(socket_.Get(), &header, MSG_DONTWAIT);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && errno == ENOBUFS) {
                Changes.push_back({DeviceChange::Kind::Unknown, {}});
                continue;
            }
            if (n < 0)
                return errno == EAGAIN || errno == EWOULDBLOCK;
            // Only the kernel's own: any process may send to a netlink socket.
            if (sender.nl_pid != 0 || (header.msg_flags & MSG_TRUNC) != 0)
                continue;
            DeviceChange change;
            if (ChangeOf(ParseUevent(message, static_cast<size_t>(n)), change))
                Changes.push_back(change);
        }
    }

    UniqueFd socket_;
    UniqueFd wakeUp_;
};

void NoteCannotListen(const char* What)
{
    NoteFailure(Failure::NoDevice, std::string("cannot watch for devices: ") + What + ": " + PlatformErrorText(errno));
}

}  // namespace

std::unique_ptr<DeviceEvents> ListenForDeviceChanges()
{
    UniqueFd socket(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT));
    if (!socket.Valid()) {
        NoteCannotListen("no kernel uevent socket");
        return nullptr;
    }
    (void)::setsockopt(socket.Get(), SOL_SOCKET, SO_RCVBUF, &kReceiveRoom, sizeof kReceiveRoom);
    sockaddr_nl address {};
    address.nl_family = AF_NETLINK;
    address.nl_groups = kKernelUeventGroup;
    if (::bind(socket.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        NoteCannotListen("the kernel's uevents");
        return nullptr;
    }
    UniqueFd wakeUp(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!wakeUp.Valid()) {
        NoteCannotListen("no eventfd");
        return nullptr;
    }
    return std::make_unique<UeventListener>(std::move(socket), std::move(wakeUp));
}

}  // namespace zqk
