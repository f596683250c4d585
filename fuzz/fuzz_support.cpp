#include "fuzz/fuzz_support.h"

namespace zqk::fuzz {

const rig::ScratchFolder& Scratch()
{
    static const rig::ScratchFolder folder("fuzz", "/tmp");
    return folder;
}

bool ReportData(const std::string& Report, uint8_t& Channel, std::string& Data)
{
    if (Report.size() < static_cast<size_t>(kPacketSize))
        return false;
    const auto* bytes = reinterpret_cast<const uint8_t*>(Report.data());
    if (bytes[0] >= kChannelCount)
        return false;
    Channel = bytes[0];
    Data.assign(Report, kPacketHeaderSize, PacketDataLength(bytes));
    return true;
}

}  // namespace zqk::fuzz
