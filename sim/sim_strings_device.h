#pragma once
#include <cstdint>
#include <optional>
#include <string>

#include "transport/report_device.h"
#include "sim/sim_device.h"

namespace zqk::sim {

// A simulated device's USB strings as a report device gives them: what its
// identity holds while it can be read, empty once it is closed or unplugged
// (as a platform getter that fails leaves the caller's empty string).
class SimStringsDevice : public ReportDevice {
public:
    std::u16string GetManufacturerString() final { return Text(&UsbIdentity::Manufacturer); }
    std::u16string GetProductString() final { return Text(&UsbIdentity::Product); }
    std::u16string GetSerialNumberString() final { return Text(&UsbIdentity::SerialNumber); }
    std::u16string GetIndexedString(int32_t Index) final
    {
        const std::optional<UsbIdentity> identity = ReadableIdentity();
        if (!identity)
            return {};
        const auto found = identity->Indexed.find(Index);
        return found == identity->Indexed.end() ? std::u16string() : found->second;
    }

protected:
    // The identity, taken as one whole under the device's own guard, while
    // the device can be read; nothing otherwise.
    virtual std::optional<UsbIdentity> ReadableIdentity() const = 0;

private:
    std::u16string Text(std::u16string UsbIdentity::*Field) const
    {
        const std::optional<UsbIdentity> identity = ReadableIdentity();
        return identity ? (*identity).*Field : std::u16string();
    }
};

}  // namespace zqk::sim
