#pragma once
#include <cstdint>
#include <string>


// What the programs that serve the simulated device to a real kernel (the
// uhid and the USB/IP fronts) do alike.
namespace zqk::sim::front {

// One top-level collection on the device's usage page of unnumbered 64-byte
// input and output reports: what both fronts give the kernel's HID driver.
std::string ReportDescriptor(int32_t UsagePage, int32_t Usage);

// SIGTERM and SIGINT set a flag that StopAsked reads; a blocked poll or
// read returns at once with EINTR.
void CatchStopSignals();
bool StopAsked();

// A front answers the kernel within a frame, on a machine shared with other
// work: it asks for real-time priority and says so when it cannot have it.
void AskForRealTimePriority(const char* Program);

}  // namespace zqk::sim::front
