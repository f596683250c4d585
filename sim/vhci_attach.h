#pragma once
#include <cstdint>

// This machine's vhci-hcd (the kernel's USB/IP client side), through sysfs.
namespace zqk::sim::vhci {

// Attaches a device to a free USB 2 port: Socket is this program's end of a
// socket pair whose other end the kernel now holds. The port, or -1 (with a
// message on standard error).
int Attach(uint32_t DeviceId, uint32_t Speed, int& Socket);
// Unplugs the device on Port; a port freed already is no fault.
void Detach(int Port);

}  // namespace zqk::sim::vhci
