#include "sim/usbip_session.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

#include "base/clock.h"
#include "base/whole_transfer_posix.h"

namespace zqk::sim::usbip {

namespace {

constexpr uint64_t kFrameUs = uint64_t {usb::kIntervalMs} * 1000;
constexpr int64_t kLongestWaitUs = 20000;      // how often Stop is asked
constexpr uint32_t kLargestTransfer = 65536;    // a command asking more ends the connection

uint64_t NowUs()
{
    return SystemClock::Instance().NowUs();
}

}  // namespace

bool SendAll(int Socket, const uint8_t* Data, size_t Size)
{
    return MoveWhole(Size, [&](size_t Done) { return ::send(Socket, Data + Done, Size - Done, MSG_NOSIGNAL); });
}

bool ReceiveAll(int Socket, uint8_t* Buffer, size_t Size)
{
    return MoveWhole(Size, [&](size_t Done) { return ::recv(Socket, Buffer + Done, Size - Done, 0); });
}

UrbSession::UrbSession(int Socket, SimDevice& Device, const usb::UsbDescriptors& Descriptors, uint32_t LatencyMs)
    : socket_(Socket), device_(Device), descriptors_(Descriptors), latencyUs_(uint64_t {LatencyMs} * 1000)
{
}

void UrbSession::Run(const std::function<bool()>& Stop)
{
    while (!Stop() && !device_.Unplugged()) {
        pollfd entry {socket_, POLLIN, 0};
        const int64_t waitUs = WaitUs();
        const timespec wait {static_cast<time_t>(waitUs / 1000000), static_cast<long>(waitUs % 1000000) * 1000};
        const int ready = ::ppoll(&entry, 1, &wait, nullptr);
        if (ready < 0 && errno != EINTR)
            return;
        if (ready > 0 && !Receive())
            return;
        if (!HandleCommands())
            return;
        CompleteInput();
        if (!SendDueReplies())
            return;
    }
}

// Until the next reply is due, the next input report can go, or Stop is
// asked again.
int64_t UrbSession::WaitUs() const
{
    const uint64_t now = NowUs();
    uint64_t at = now + kLongestWaitUs;
    if (!replies_.empty())
        at = std::min(at, replies_.front().dueUs);
    uint64_t due = 0;
    if (!pendingInput_.empty() && device_.NextInputDueUs(due))
        at = std::min(at, std::max(due, tookInput_ ? lastInputUs_ + kFrameUs : 0));
    return at > now ? static_cast<int64_t>(at - now) : 0;
}

bool UrbSession::Receive()
{
    uint8_t chunk[4096];
    const ssize_t n = ::recv(socket_, chunk, sizeof chunk, MSG_DONTWAIT);
    if (n < 0)
        return errno == EAGAIN || errno == EINTR;
    inbox_.insert(inbox_.end(), chunk, chunk + n);
    return n > 0;  // zero: the host closed the connection
}

// Every whole command in what has come so far; false for one that makes no sense.
bool UrbSession::HandleCommands()
{
    size_t at = 0;
    while (inbox_.size() - at >= kUrbHeaderSize) {
        const UrbCommand command = ParseUrbCommand(inbox_.data() + at);
        if ((command.Command != kCmdSubmit && command.Command != kCmdUnlink) || command.BufferLength > kLargestTransfer)
            return false;
        const size_t size = kUrbHeaderSize + command.OutDataSize();
        if (inbox_.size() - at < size)
            break;
        const auto data = inbox_.begin() + static_cast<std::ptrdiff_t>(at + kUrbHeaderSize);
        Handle(command, Bytes(data, data + static_cast<std::ptrdiff_t>(command.OutDataSize())));
        at += size;
    }
    inbox_.erase(inbox_.begin(), inbox_.begin() + static_cast<std::ptrdiff_t>(at));
    return true;
}

void UrbSession::Handle(const UrbCommand& Command, const Bytes& OutData)
{
    if (Command.Command == kCmdUnlink)
        Unlink(Command);
    else
        Submit(Command, OutData);
}

void UrbSession::Submit(const UrbCommand& Command, const Bytes& OutData)
{
    if (Command.Endpoint == 0) {
        Bytes output;
        const usb::ControlAnswer answer = descriptors_.Answer(usb::ParseSetup(Command.Setup), OutData, output);
        if (!output.empty())
            device_.HostWrite(output.data(), output.size());
        Queue(SubmitReply(Command, answer.Stalled ? kStatusStall : 0, answer.Data,
                          answer.Stalled ? 0 : static_cast<uint32_t>(OutData.size())));
    } else if (Command.Direction == kDirectionIn) {
        pendingInput_.push_back(Command);
    } else {
        // An interrupt OUT endpoint takes one report per frame as well.
        device_.HostWrite(OutData.data(), OutData.size());
        lastOutputUs_ = std::max(NowUs(), tookOutput_ ? lastOutputUs_ + kFrameUs : 0);
        tookOutput_ = true;
        Queue(SubmitReply(Command, 0, {}, static_cast<uint32_t>(OutData.size())), lastOutputUs_);
    }
}

// A URB still held is given back unlinked and never completes; one that has
// completed already (its reply may still be on its way) is answered so.
void UrbSession::Unlink(const UrbCommand& Command)
{
    const auto held = std::find_if(pendingInput_.begin(), pendingInput_.end(), [&](const UrbCommand& pending) {
        return pending.SequenceNumber == Command.UnlinkSequenceNumber;
    });
    const bool wasHeld = held != pendingInput_.end();
    if (wasHeld)
        pendingInput_.erase(held);
    Queue(UnlinkReply(Command, wasHeld ? kStatusUnlinked : 0));
}

bool UrbSession::InputReady(uint64_t NowUs) const
{
    uint64_t due = 0;
    return !pendingInput_.empty() && device_.NextInputDueUs(due) && due <= NowUs &&
           (!tookInput_ || NowUs >= lastInputUs_ + kFrameUs);
}

// At most one input report per frame, into the oldest IN URB held.
void UrbSession::CompleteInput()
{
    const uint64_t now = NowUs();
    if (!InputReady(now))
        return;
    const UrbCommand command = pendingInput_.front();
    pendingInput_.pop_front();
    Bytes report = device_.TakeInput();
    if (report.size() > command.BufferLength)
        report.resize(command.BufferLength);
    // The frame the report went in, so that pacing does not drift with the loop's delays.
    lastInputUs_ = tookInput_ && now < lastInputUs_ + 2 * kFrameUs ? lastInputUs_ + kFrameUs : now;
    tookInput_ = true;
    Queue(SubmitReply(command, 0, report, 0));
}

// In the order of their times: an OUT URB's reply may wait for its frame.
void UrbSession::Queue(Bytes Bytes, uint64_t ReadyUs)
{
    const uint64_t due = std::max(ReadyUs, NowUs()) + latencyUs_;
    const auto after = std::find_if(replies_.begin(), replies_.end(), [&](const Reply& r) { return r.dueUs > due; });
    replies_.insert(after, {due, std::move(Bytes)});
}

bool UrbSession::SendDueReplies()
{
    const uint64_t now = NowUs();
    while (!replies_.empty() && replies_.front().dueUs <= now) {
        const Bytes& reply = replies_.front().bytes;
        if (!SendAll(socket_, reply.data(), reply.size()))
            return false;
        replies_.pop_front();
    }
    return true;
}

}  // namespace zqk::sim::usbip
