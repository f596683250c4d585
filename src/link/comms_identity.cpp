// What the link says of its device: its strings, path and errors, asked
// of the transport beside other threads' traffic, and the match values by
// which it is found.
#include "base/platform_text.h"
#include "link/comms.h"

namespace zqk {

// The writing lock keeps the transport from being replaced or closed while
// it is asked; one thread writes reports or asks at a time.
template <typename Question>
auto TzqComms::Asked(Question&& Ask) const
{
    const std::lock_guard<std::mutex> guard(writing_);
    return Ask(*hid_);
}

std::string TzqComms::SerialNumber()
{
    return Asked([](ReportDevice& Hid) { return AnsiFromUtf16(Hid.GetSerialNumberString()); });
}

std::string TzqComms::Manufacturer()
{
    return Asked([](ReportDevice& Hid) { return AnsiFromUtf16(Hid.GetManufacturerString()); });
}

std::string TzqComms::Product()
{
    return Asked([](ReportDevice& Hid) { return AnsiFromUtf16(Hid.GetProductString()); });
}

std::string TzqComms::IndexedString(int32_t Index)
{
    return Asked([Index](ReportDevice& Hid) { return AnsiFromUtf16(Hid.GetIndexedString(Index)); });
}

std::string TzqComms::IndexedStringProblem() const
{
    return Asked([](const ReportDevice& Hid) { return Hid.IndexedStringProblem(); });
}

std::string TzqComms::DevicePath() const
{
    return Asked([](const ReportDevice& Hid) { return Hid.DevicePath(); });
}

int32_t TzqComms::LastError() const
{
    return Asked([](const ReportDevice& Hid) { return Hid.LastError(); });
}

bool TzqComms::ReadPending() const
{
    return Asked([](const ReportDevice& Hid) { return Hid.ReadPending(); });
}

std::string TzqComms::DeviceString204() { return IndexedString(204); }
std::string TzqComms::DeviceString210() { return IndexedString(210); }
std::string TzqComms::DeviceString211() { return IndexedString(211); }
std::string TzqComms::DeviceString201() { return IndexedString(201); }
std::string TzqComms::DeviceString202() { return IndexedString(202); }
std::string TzqComms::DeviceString203() { return IndexedString(203); }

int32_t TzqComms::MatchValue(int32_t Index) const
{
    return Index >= 0 && Index < 4 ? match_[Index].load() : 0;
}

void TzqComms::SetMatchValue(int32_t Index, int32_t Value)
{
    if (Index >= 0 && Index < 4)
        match_[Index] = Value;
}

}  // namespace zqk
