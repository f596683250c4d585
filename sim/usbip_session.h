#pragma once
#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

#include "sim/sim_device.h"
#include "sim/usb_descriptors.h"
#include "sim/usbip_protocol.h"

namespace zqk::sim::usbip {

// All of Size bytes, across short transfers and signals; false once the
// connection fails or closes.
bool SendAll(int Socket, const uint8_t* Data, size_t Size);
bool ReceiveAll(int Socket, uint8_t* Buffer, size_t Size);

// One imported device's URB traffic on its connection: control transfers
// answered from the descriptors, interrupt OUT URBs handed to the model as
// output reports, interrupt IN URBs held until the model has input due and
// completed at most one per frame of the endpoint's interval (vhci-hcd
// schedules nothing, so the device does). Every reply waits LatencyMs before
// it goes, as over a slow link.
class UrbSession {
public:
    UrbSession(int Socket, SimDevice& Device, const usb::UsbDescriptors& Descriptors, uint32_t LatencyMs);

    // Serves until the connection closes or fails, the device is unplugged,
    // or Stop says so (asked at least every few milliseconds).
    void Run(const std::function<bool()>& Stop);

private:
    struct Reply {
        uint64_t dueUs = 0;
        Bytes bytes;
    };
    bool Receive();
    bool HandleCommands();
    void Handle(const UrbCommand& Command, const Bytes& OutData);
    void Submit(const UrbCommand& Command, const Bytes& OutData);
    void Unlink(const UrbCommand& Command);
    void CompleteInput();
    bool SendDueReplies();
    void Queue(Bytes Bytes, uint64_t ReadyUs = 0);
    int64_t WaitUs() const;
    bool InputReady(uint64_t NowUs) const;

    const int socket_;
    SimDevice& device_;
    const usb::UsbDescriptors& descriptors_;
    const uint64_t latencyUs_;
    Bytes inbox_;
    std::deque<UrbCommand> pendingInput_;
    std::deque<Reply> replies_;
    uint64_t lastInputUs_ = 0;
    bool tookInput_ = false;
    uint64_t lastOutputUs_ = 0;
    bool tookOutput_ = false;
};

}  // namespace zqk::sim::usbip
