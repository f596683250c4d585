// The device's answer to NFTYPE, from its header line on: the input is what
// the device sends after the command ("name<TAB>size" CR LF, then the data),
// read into a local file through zqkFileRead. The result and the local file
// must be what the header and the bytes after it call for: the named number
// of bytes, exactly, or a failure with the old local file untouched.
#include <cstring>
#include <memory>
#include <string>

#include "files/date_time.h"
#include "files/dir_entry.h"
#include "fuzz/fuzz_support.h"
#include "zqkAPI.h"

namespace zqk::fuzz {
namespace {

const std::string kOldContents = "old local contents";

// Answers an escape with a fresh prompt and a command line with Answer.
void ServeTerminal(sim::SimDevice& Device, const std::string& Answer)
{
    auto line = std::make_shared<std::string>();
    Device.OnChannelData(0, [&Device, Answer, line](const std::string& data) {
        for (const char c : data) {
            if (c == '\x1B') {
                line->clear();
                Device.Send(0, "\r\n" + kPrompt);
            } else if (c == '\r') {
                Device.Send(0, Answer);
                line->clear();
            } else {
                *line += c;
            }
        }
    });
}

// What zqkFileRead must return for that answer: the size the header gives
// when the data holds that many bytes, else the transfer's failure (-2).
int32_t ExpectedResult(const std::string& Answer, std::string& Contents)
{
    const size_t lineEnd = Answer.find("\r\n");
    std::string header = lineEnd == std::string::npos ? Answer : Answer.substr(0, lineEnd);
    const bool hasTab = header.find('\t') != std::string::npos;
    std::string field;
    NextField(header, field);
    NextField(header, field);
    int32_t size = 0;
    if (!hasTab || !ParseInt32(field, size))
        return -2;
    if (size <= 0)
        return 0;
    const size_t dataStart = lineEnd == std::string::npos ? Answer.size() : lineEnd + 2;
    if (Answer.size() - dataStart < static_cast<size_t>(size))
        return -2;
    Contents = Answer.substr(dataStart, static_cast<size_t>(size));
    return size;
}

}  // namespace
}  // namespace zqk::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size)
{
    using namespace zqk::fuzz;
    const std::string answer(reinterpret_cast<const char*>(Data), Size);
    zqk::sim::ManualClock clock;
    zqk::sim::SimDevice device(clock);
    device.SetPacing(1);
    ServeTerminal(device, answer);
    SimLibrary library(device, clock);
    ZQK_FUZZ_CHECK(zqkOpen() == 1);

    const std::string local = ScratchPath("nftype.out");
    WriteFile(local, kOldContents);
    std::string expectedContents;
    const int32_t expected = ExpectedResult(answer, expectedContents);
    const int32_t result = zqkFileRead("/logs/file.bin", local.c_str());
    std::string contents;
    ZQK_FUZZ_CHECK(ReadFile(local, contents));
    if (result != expected) {
        std::fprintf(stderr, "zqkFileRead gave %d where %d was due\n", result, expected);
        std::abort();
    }
    ZQK_FUZZ_CHECK(contents == (result >= 0 ? expectedContents : kOldContents));
    ZQK_FUZZ_CHECK(Scratch().Entries() == 1);
    return 0;
}
