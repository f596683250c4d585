#pragma once
// Where the hidraw transport finds its devices: sysfs for the nodes, their
// identities and strings, usbfs for the string descriptors sysfs lacks.
// Read on the caller's thread; nothing here opens a node for long.
#include <cstdint>
#include <string>
#include <vector>

#include "hid/raw_hid.h"
#include "hid/raw_hid_linux.h"

namespace zqk::hidraw {

// The roots that enumeration and opens use now (see ScopedRoots).
Roots CurrentRoots();

// The sysfs directories of the devices behind a node.
struct DeviceDirs {
    std::string Hid;
    std::string Usb;  // empty when no USB device is above it (uhid, Bluetooth, I2C)
};
DeviceDirs FindDeviceDirs(const Roots& Where, const std::string& NodePath);

// The nodes that match and that this process can open, in node order.
int32_t Enumerate(const Roots& Where, std::vector<std::string>& List, int32_t VendorID, int32_t ProductID,
                  int32_t UsagePage, int32_t Usage);
// The matching nodes with their strings, without opening them; Seen counts
// every node looked at.
int32_t FindInterfaces(const Roots& Where, std::vector<FoundInterface>& List, int32_t VendorID, int32_t ProductID,
                       int32_t UsagePage, int32_t Usage, int32_t& Seen);
bool IsHidNode(const Roots& Where, const std::string& Path);

// A USB string by its sysfs attribute, or for a device with no USB device
// above it the HID device's uevent key (null: none).
std::u16string DeviceString(const DeviceDirs& Dirs, const char* UsbAttribute, const char* HidKey);
// A string descriptor by its index, asked through usbfs; Problem says why
// the device could not be asked, and is cleared when it could.
std::u16string UsbIndexedString(const Roots& Where, const std::string& UsbDir, int32_t Index, std::string& Problem);

}  // namespace zqk::hidraw
