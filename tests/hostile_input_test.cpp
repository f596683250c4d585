// Hostile arguments at every export: null pointers, negative and huge sizes,
// counts, indexes and time-outs, buffers one byte short of the terminator,
// device names with quotes, tabs, line ends, control bytes and 0xBB, and
// local paths that are empty, folders or lead nowhere. Each call must give
// a defined result, write nothing outside the caller's buffer (guard bytes on
// both sides prove it), and send the device no second command line.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "api/library.h"
#include "support/device_names.h"
#include "support/library_fixture.h"
#include "zqkAPI.h"

#ifndef _WIN32
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace zqk {
namespace {

namespace fs = std::filesystem;

using testing::kPrompt;
const std::vector<int32_t> kHostileTimeouts = {INT32_MIN, -1, 0, INT32_MAX};
const std::vector<int32_t> kHostileIntegers = {INT32_MIN, -65536, -1, 0, 1, 255, 256, 65536, INT32_MAX};

using rig::ReadFile;
using rig::WriteFile;

// A caller's buffer of Size bytes with guard bytes on both sides.
class GuardedBuffer {
public:
    explicit GuardedBuffer(size_t Size) : bytes_(Size + 2 * kGuard, kCanary), size_(Size) {}

    char* Data() { return bytes_.data() + kGuard; }
    int32_t Size() const { return static_cast<int32_t>(size_); }

    // The buffer-return convention from the buffer's side: a text and its
    // zero byte and nothing after them, or nothing at all.
    void ExpectBufferReturn(int32_t Result) const
    {
        const size_t written = Result >= 0 ? static_cast<size_t>(Result) + 1 : 0;
        ASSERT_LE(written, size_) << "the result claims more than the buffer holds";
        if (Result >= 0) {
            EXPECT_EQ(bytes_[kGuard + written - 1], '\0') << "no zero byte after the text";
        }
        for (size_t i = 0; i < bytes_.size(); ++i) {
            if (i >= kGuard && i < kGuard + written)
                continue;
            if (bytes_[i] != kCanary) {
                ADD_FAILURE() << "byte " << static_cast<long>(i) - static_cast<long>(kGuard)
                              << " written, outside the text and its zero byte (result " << Result << ")";
                return;
            }
        }
    }

private:
    static constexpr size_t kGuard = 64;
    static constexpr char kCanary = static_cast<char>(0xA5);
    std::vector<char> bytes_;
    size_t size_;
};

// Calls a buffer-return export with every hostile buffer: none, sizes that
// are negative, zero, one short of the text and its terminator, exact, and
// larger than the buffer really is (the export must still write only the
// text and its zero byte). Call gets the buffer and the size to claim.
void EveryHostileBuffer(const std::function<int32_t(char*, int32_t)>& Call)
{
    const int32_t length = Call(nullptr, 0);
    ASSERT_LT(length, 0) << "a null buffer takes nothing";
    const int32_t needed = -length;
    EXPECT_EQ(Call(nullptr, INT32_MAX), length) << "a null buffer of any size takes nothing";
    for (const int32_t size : {INT32_MIN, -1, 0, needed - 1}) {
        GuardedBuffer buffer(static_cast<size_t>(needed));
        EXPECT_EQ(Call(buffer.Data(), size), length) << "size " << size;
        buffer.ExpectBufferReturn(-1);
    }
    for (const int32_t size : {needed, needed + 1, INT32_MAX}) {
        GuardedBuffer buffer(static_cast<size_t>(needed));
        const int32_t result = Call(buffer.Data(), size);
        EXPECT_EQ(result, needed - 1) << "size " << size;
        buffer.ExpectBufferReturn(result);
    }
}

class HostileInput : public testing::SimLibraryTest {
public:
    void SetUp() override
    {
        SimLibraryTest::SetUp();
        fs::create_directories(local_ / "folder");
        WriteFile(local_ / "in.bin", "local data");
        keeper_.Files.PackedNow = [] { return sim::SimFileSystem::PackTime(2024, 3, 15, 10, 20, 30); };
        keeper_.Files.MakeDir("/docs");
        keeper_.Files.PutFile("/docs/a.txt", "alpha");
        keeper_.Files.PutFile("/readme.txt", "read me");
        ASSERT_EQ(zqkOpen(), 1);
    }

    std::string Local(const std::string& name) const { return scratch_.Local(name); }
    int32_t Handle() { return OpenHandle(keeper_); }

    // The local folder's files, so that no stray file goes unseen.
    std::set<std::string> LocalNames() const
    {
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator(local_))
            names.insert(entry.path().filename().string());
        return names;
    }

    // Command lines the device has run since the last call.
    std::vector<std::string> NewLines()
    {
        const std::vector<std::string>& all = terminal_.Lines();
        std::vector<std::string> fresh(all.begin() + static_cast<std::ptrdiff_t>(linesSeen_), all.end());
        linesSeen_ = all.size();
        return fresh;
    }

    // Runs Call with the device silent: every wait is the whole time-out, on
    // the test clock.
    template <typename Call>
    auto OnSilentDevice(Call&& call)
    {
        device_.SetSilent(true);
        auto result = call();
        device_.SetSilent(false);
        return result;
    }

    sim::SimDevice& Device() { return device_; }
    sim::SimKeeper& Keeper() { return keeper_; }
    sim::ManualClock& TestClock() { return clock_; }

private:
    rig::ScratchFolder scratch_ {"hostile"};
    const fs::path& local_ = scratch_.Path();
    size_t linesSeen_ = 0;
};

// Device names that a terminal would take for more than a name, and names
// that are merely unusual. Each is sent as one whole command line or not at
// all.
const std::vector<std::string> kLineBreakingNames = {
    "/a\rNFWIPEDIR /docs", "/a\nb", "/a\r\nb", "/a\x1B" "b", "/a\tb", "/a\tb\t5\tw", "/a\x01" "b", "/a\x7F" "b",
    "\r", "\x08\x08\x08\x08NFWIPEDIR /docs", "/a\"\r",
};
const std::vector<std::string> kQuoteBreakingNames = {"/docs\" x", "\"", "/\"\"/docs"};
const std::vector<std::string> kUnusualNames = {
    "", "/", "/with blank", "/caf\xE9", "/\xBB", "/a\xBB" "b\xAB", "/\xAB" "zq.keeper>\xBB", std::string(2000, 'n'),
};

// A file-system export called with every hostile name, on firmware with
// and without quoted names (where a quote is just a character of the name).
// The names the rule of support/device_names.h refuses, which the
// conversation fuzz target's model shares, must send nothing and fail; the
// others must run as exactly one command line holding the name.
void EveryHostileName(HostileInput& test, int32_t Failure, const std::function<int32_t(const std::string&)>& Call)
{
    for (const bool quoted : {true, false}) {
        zqkClose();
        test.Keeper().SetQuotedNames(quoted);
        ASSERT_EQ(zqkOpen(), 1);
        test.NewLines();
        for (const auto* names : {&kLineBreakingNames, &kQuoteBreakingNames, &kUnusualNames}) {
            for (const std::string& name : *names) {
                SCOPED_TRACE(::testing::PrintToString(name) + (quoted ? " quoted" : " unquoted"));
                const bool refused = testing::NameRefused(name, quoted);
                ASSERT_EQ(refused, names == &kLineBreakingNames || (quoted && names == &kQuoteBreakingNames))
                    << "the rule disagrees with the name's list";
                const size_t packets = test.Device().HostPackets().size();
                const int32_t result = Call(name);
                const std::vector<std::string> lines = test.NewLines();
                if (refused) {
                    EXPECT_EQ(result, Failure);
                    EXPECT_EQ(test.Device().HostPackets().size(), packets) << "sent to the device";
                    EXPECT_TRUE(lines.empty());
                } else {
                    ASSERT_EQ(lines.size(), 1u);
                    EXPECT_NE(lines[0].find(testing::NameAsSent(name, quoted)), std::string::npos)
                        << ::testing::PrintToString(lines[0]);
                }
            }
        }
    }
    zqkClose();
    test.Keeper().SetQuotedNames(true);
    ASSERT_EQ(zqkOpen(), 1);
}

void ZQK_CALL CloseTheDevice(int32_t, int32_t, int32_t)
{
    zqkClose();
}

// A command log that keeps each line in the vector its user data points at.
void ZQK_CALL LogLine(intptr_t Lines, const char* Line)
{
    reinterpret_cast<std::vector<std::string>*>(Lines)->push_back(Line);
}

// What a pcapng trace holds: its block types in order, the texts of its
// section and interface blocks, and its packets' directions (epb_flags:
// 1 inbound, 2 outbound, 0 an event) with their data.
struct TraceContents {
    std::vector<uint32_t> BlockTypes;
    std::string Headers;
    std::vector<std::pair<uint32_t, std::string>> Packets;
};

uint32_t Le32(const std::string& Bytes, size_t At)
{
    uint32_t value = 0;
    for (size_t i = 4; i-- > 0;)
        value = value << 8 | static_cast<uint8_t>(Bytes.at(At + i));
    return value;
}

uint32_t FlagsOfPacket(const std::string& Block, size_t OptionsAt)
{
    for (size_t at = OptionsAt; at + 4 <= Block.size();) {
        const uint32_t head = Le32(Block, at);
        const uint32_t code = head & 0xFFFF, length = head >> 16;
        if (code == 0)
            break;
        if (code == 2 && length == 4)
            return Le32(Block, at + 4);
        at += 4 + (length + 3) / 4 * 4;
    }
    return 0;
}

TraceContents ReadTrace(const std::string& Path)
{
    const std::string bytes = ReadFile(Path);
    TraceContents trace;
    for (size_t at = 0; at + 12 <= bytes.size();) {
        const uint32_t type = Le32(bytes, at), length = Le32(bytes, at + 4);
        EXPECT_EQ(Le32(bytes, at + length - 4), length) << "block lengths agree";
        const std::string block = bytes.substr(at + 8, length - 12);
        trace.BlockTypes.push_back(type);
        if (type == 6) {
            const uint32_t captured = Le32(block, 12);
            trace.Packets.emplace_back(FlagsOfPacket(block, 20 + (captured + 3) / 4 * 4), block.substr(20, captured));
        } else {
            trace.Headers += block;
        }
        at += length;
    }
    return trace;
}

// A device callback that keeps "+PATH SERIAL" or "-PATH SERIAL" in the
// vector its user data points at.
void ZQK_CALL TellDevice(intptr_t Told, int32_t Arrived, const char* Path, const char* Serial)
{
    reinterpret_cast<std::vector<std::string>*>(Told)->push_back((Arrived ? "+" : "-") + std::string(Path) + " " +
                                                                 Serial);
}

std::string LastStatusText()
{
    char text[512];
    return zqkStatusText(text, sizeof text) >= 0 ? text : "";
}

struct ExportCase {
    const char* Name;
    std::function<void(HostileInput&)> Body;
};

void PrintTo(const ExportCase& c, std::ostream* out)
{
    *out << c.Name;
}

const std::vector<ExportCase>& ExportCases()
{
    static const std::vector<ExportCase> cases = {
        // ---- connection, raw link and identity ----
        {"zqkOpen",
         [](HostileInput& t) {
             EXPECT_EQ(zqkOpen(), 1);
             EXPECT_EQ(zqkOpen(), 1);
             zqkClose();
             t.Device().Unplug();
             EXPECT_EQ(zqkOpen(), 0);
             EXPECT_EQ(zqkIsOpen(), 0);
         }},
        {"zqkClose",
         [](HostileInput&) {
             EXPECT_EQ(zqkClose(), 0);
             EXPECT_EQ(zqkClose(), 0);
             EXPECT_EQ(zqkIsOpen(), 0);
         }},
        {"zqkIsOpen",
         [](HostileInput& t) {
             EXPECT_EQ(zqkIsOpen(), 1);
             t.Device().Unplug();
             EXPECT_EQ(zqkIsOpen(), 1) << "open until a read fails";
             zqkPoll(0);
             zqkPoll(0);
             EXPECT_EQ(zqkIsOpen(), 0);
         }},
        {"zqkPoll",
         [](HostileInput& t) {
             for (const int32_t timeout : kHostileTimeouts) {
                 const uint64_t start = t.TestClock().NowMs();
                 EXPECT_EQ(t.OnSilentDevice([&] { return zqkPoll(timeout); }), -1) << timeout;
                 const uint64_t waited = t.TestClock().NowMs() - start;
                 EXPECT_EQ(waited, timeout > 0 ? static_cast<uint64_t>(timeout) : 0u) << timeout;
             }
             t.Device().Send(3, "x");
             EXPECT_EQ(zqkPoll(INT32_MAX), 0) << "what is waiting ends the longest wait";
         }},
        {"zqkTermTx",
         [](HostileInput& t) {
             for (const int32_t count : {INT32_MIN, -1, 0})
                 EXPECT_EQ(zqkTermTx(nullptr, count, 100), 1) << count;
             for (const int32_t count : {1, 61, INT32_MAX})
                 EXPECT_EQ(zqkTermTx(nullptr, count, 100), 0) << count;
             EXPECT_TRUE(t.Device().HostPackets().empty());
             for (const int32_t timeout : kHostileTimeouts)
                 EXPECT_EQ(zqkTermTx("x", 1, timeout), 1) << timeout;
             EXPECT_EQ(t.Device().HostData(0), "xxxx");
             t.Device().SetWriteFault(sim::WriteFault::Timeout);
             const uint64_t start = t.TestClock().NowMs();
             EXPECT_EQ(zqkTermTx("x", 1, INT32_MAX), 0);
             EXPECT_EQ(t.TestClock().NowMs() - start, static_cast<uint64_t>(INT32_MAX));
         }},
        {"zqkTermRx",
         [](HostileInput& t) {
             for (const int32_t timeout : kHostileTimeouts) {
                 GuardedBuffer buffer(64);
                 const int32_t result = t.OnSilentDevice([&] { return zqkTermRx(buffer.Data(), 64, timeout); });
                 EXPECT_EQ(result, 0) << timeout;
                 buffer.ExpectBufferReturn(result);
             }
             EveryHostileBuffer([&](char* buffer, int32_t size) {
                 t.Device().Send(0, std::string("\0packet\xBB\r\n", 10));
                 return zqkTermRx(buffer, size, 100);
             });
         }},
        {"zqkUsbPath", [](HostileInput&) { EveryHostileBuffer(zqkUsbPath); }},
        {"zqkUsbDetail",
         [](HostileInput&) {
             for (const int32_t type : kHostileIntegers) {
                 SCOPED_TRACE(type);
                 EveryHostileBuffer([type](char* buffer, int32_t size) { return zqkUsbDetail(type, buffer, size); });
             }
         }},
        {"zqkSetVidPid",
         [](HostileInput&) {
             for (const int32_t index : {INT32_MIN, -1, 4, INT32_MAX})
                 zqkSetVidPid(index, 1);
             for (int32_t index = 0; index < 4; ++index)
                 EXPECT_NE(zqkGetVidPid(index), 1) << "index " << index;
             // Values beyond 16 bits match no device: they are not cut to 16 bits.
             for (const int32_t value : {0x116D0, 0x7FFF16D0, INT32_MAX}) {
                 zqkClose();
                 zqkSetVidPid(0, value);
                 EXPECT_EQ(zqkGetVidPid(0), value);
                 EXPECT_EQ(zqkOpen(), 0) << value;
             }
             for (const int32_t value : {INT32_MIN, -1}) {
                 zqkClose();
                 zqkSetVidPid(0, value);
                 EXPECT_EQ(zqkOpen(), 1) << "a negative value matches anything";
             }
         }},
        {"zqkGetVidPid",
         [](HostileInput&) {
             for (const int32_t index : {INT32_MIN, -1, 4, 256, INT32_MAX})
                 EXPECT_EQ(zqkGetVidPid(index), 0) << index;
         }},
        {"zqkSetCallback",
         [](HostileInput& t) {
             EXPECT_EQ(zqkSetCallback(nullptr, INT32_MIN), 0);
             EXPECT_EQ(zqkFileWrite(t.Local("in.bin").c_str(), "/cb.bin"), 10) << "no callback, no call";
             // A callback that closes the device under a transfer ends it.
             WriteFile(t.Local("big.bin"), std::string(10000, 'b'));
             EXPECT_EQ(zqkSetCallback(CloseTheDevice, INT32_MAX), 0);
             EXPECT_EQ(zqkFileWrite(t.Local("big.bin").c_str(), "/big.bin"), -2);
             EXPECT_EQ(zqkIsOpen(), 0);
             EXPECT_EQ(TheLibrary()->Default().Comms.LockCount(), 0);
             EXPECT_FALSE(TheLibrary()->Default().Files.Busy());
             EXPECT_EQ(zqkSetCallback(nullptr, 0), 0);
         }},
        {"zqkLastError", [](HostileInput&) { EXPECT_EQ(zqkLastError(), 0); }},
        {"zqkDebug",
         [](HostileInput&) {
             EXPECT_EQ(zqkDebug() & ~1, 0x8000);
             zqkClose();
             EXPECT_EQ(zqkDebug(), 0x8000);
         }},
        {"zqkVersion",
         [](HostileInput&) {
             const int32_t header = (ZQK_VERSION_MAJOR << 16) | (ZQK_VERSION_MINOR << 8) | ZQK_VERSION_PATCH;
             EXPECT_EQ(zqkVersion(), header);
             zqkClose();
             EXPECT_EQ(zqkVersion(), header);
         }},

        // ---- statuses ----
        {"zqkLastStatus",
         [](HostileInput&) {
             EXPECT_EQ(zqkDir("/no such folder"), -1);
             EXPECT_EQ(zqkLastStatus(), ZQK_STATUS_REFUSED);
             EXPECT_EQ(zqkLastStatus(), ZQK_STATUS_REFUSED) << "asking changes nothing";
             EXPECT_EQ(zqkStatusText(nullptr, 0), zqkStatusText(nullptr, 0));
             EXPECT_EQ(zqkLastStatus(), ZQK_STATUS_REFUSED) << "nor does asking for the text";
         }},
        {"zqkStatusText",
         [](HostileInput&) {
             EXPECT_EQ(zqkSetCallback(nullptr, 0), 0);
             EXPECT_EQ(zqkStatusText(nullptr, 0), -1) << "empty after success";
             EXPECT_EQ(zqkFileDelete("/no such file"), -1);
             EveryHostileBuffer(zqkStatusText);
         }},

        // ---- finding and opening devices ----
        {"zqkFindDevices",
         [](HostileInput&) {
             const int32_t found = zqkFindDevices();
             EXPECT_GE(found, 0) << "no simulated device is ever found";
             EXPECT_EQ(zqkFindDevices(), found);
         }},
        {"zqkFoundDevice",
         [](HostileInput&) {
             const int32_t found = zqkFindDevices();
             for (const int32_t index : {INT32_MIN, -1, found, INT32_MAX}) {
                 GuardedBuffer buffer(64);
                 EXPECT_EQ(zqkFoundDevice(index, 0, buffer.Data(), 64), -1) << index;
                 buffer.ExpectBufferReturn(-1);
             }
             for (const int32_t type : {INT32_MIN, -2, 3, 200, INT32_MAX})
                 EXPECT_EQ(zqkFoundDevice(0, type, nullptr, 0), -1) << type;
         }},
        {"zqkOpenPath",
         [](HostileInput& t) {
             for (const char* path : {static_cast<const char*>(nullptr), "", "sim:", "sim:x?mode=none",
                                      "sim:x?pace=-1", "sim:x?frobnicate", "/no/such/hidraw", "\r\n"}) {
                 EXPECT_EQ(zqkOpenPath(path), 0) << (path ? path : "null");
                 EXPECT_EQ(zqkIsOpen(), 0);
             }
             EXPECT_EQ(zqkOpenPath(t.Local("in.bin").c_str()), 0) << "a file is no device";
             const std::string folder = t.Local("device");
             ASSERT_EQ(zqkOpenPath(("sim:" + folder + "?unquoted=1&pace=0").c_str()), 1);
             EXPECT_EQ(zqkDir("/logs"), 2) << "the demo tree";
             EXPECT_EQ(zqkOpenPath(("sim:" + t.Local("in.bin")).c_str()), 0) << "a file is no folder";
         }},
        {"zqkOpenSerial",
         [](HostileInput&) {
             for (const char* serial : {static_cast<const char*>(nullptr), "", "ZQK-0001", "sim:x", "\xBB\r"})
                 EXPECT_EQ(zqkOpenSerial(serial), 0) << "simulated devices are not found by serial number";
             EXPECT_EQ(zqkOpenSerial(std::string(100000, 's').c_str()), 0);
         }},
        {"zqkWaitForDevice",
         [](HostileInput&) {
             EXPECT_EQ(zqkWaitForDevice("sim:anything", INT32_MIN), 1);
             for (const int32_t timeout : {INT32_MIN + 1, -1000000, 0})
                 EXPECT_EQ(zqkWaitForDevice(timeout < 0 ? "sim:x" : "no such serial", timeout), timeout < 0 ? 1 : 0);
             EXPECT_EQ(zqkWaitForDevice(std::string(100000, 'w').c_str(), 0), 0);
             for (const char* malformed : {"sim:", "sim:x?mode=none", "sim:x?frobnicate"})
                 EXPECT_EQ(zqkWaitForDevice(malformed, 0), 0) << malformed << " is never opened, so never there";
         }},
        {"zqkDevOpen",
         [](HostileInput& t) {
             for (const char* name : {"sim:", "sim:x?serial=", "sim:x?password=", "sim:x?password=a\rb", "no such serial",
                                      "/no/such/node", "\x1B"})
                 EXPECT_EQ(zqkDevOpen(name), 0) << name;
             const int32_t first = zqkDevOpen(("sim:" + t.Local("a")).c_str());
             const int32_t second = zqkDevOpen(("sim:" + t.Local("a")).c_str());
             ASSERT_GT(first, 0);
             EXPECT_GT(second, first) << "handles are never given twice";
             EXPECT_EQ(TheLibrary()->Handles.Find(first)->Comms.DeviceLockName(),
                       TheLibrary()->Handles.Find(second)->Comms.DeviceLockName())
                 << "one device, one lock";
             EXPECT_NE(TheLibrary()->Handles.Find(first)->Comms.DeviceLockName(), "");
             EXPECT_EQ(zqkDevClose(first), 0);
             EXPECT_EQ(zqkDevClose(second), 0);
             EXPECT_GT(zqkDevOpen(("sim:" + t.Local("a")).c_str()), second);
         }},
        {"zqkDevClose",
         [](HostileInput& t) {
             const int32_t handle = zqkDevOpen(("sim:" + t.Local("b")).c_str());
             ASSERT_GT(handle, 0);
             EXPECT_EQ(zqkDevClose(handle), 0);
             for (const int32_t bad : {INT32_MIN, -1, 0, handle, INT32_MAX}) {
                 EXPECT_EQ(zqkDevClose(bad), -1) << bad;
                 EXPECT_EQ(zqkLastStatus(), ZQK_STATUS_ARGUMENT);
             }
         }},

        // ---- terminal ----
        {"zqkCommand",
         [](HostileInput& t) {
             EveryHostileBuffer([](char* buffer, int32_t size) { return zqkCommand("echo hi", buffer, size, 1000); });
             for (const int32_t timeout : kHostileTimeouts) {
                 GuardedBuffer buffer(64);
                 const uint64_t start = t.TestClock().NowMs();
                 const int32_t result =
                     t.OnSilentDevice([&] { return zqkCommand("echo x", buffer.Data(), 64, timeout); });
                 EXPECT_EQ(result, 0) << timeout;
                 buffer.ExpectBufferReturn(result);
                 // The whole wait is one silence of the given length (and the
                 // few milliseconds of the stale-output flush before it).
                 const uint64_t waited = t.TestClock().NowMs() - start;
                 EXPECT_GE(waited, timeout > 0 ? static_cast<uint64_t>(timeout) : 0u) << timeout;
                 EXPECT_LE(waited, (timeout > 0 ? static_cast<uint64_t>(timeout) : 0u) + 1000) << timeout;
                 zqkFlushPrompt(nullptr, 0, 100);  // what the silent device owed
             }
             GuardedBuffer buffer(64);
             EXPECT_EQ(zqkCommand(nullptr, buffer.Data(), 64, 1000), 0);
             buffer.ExpectBufferReturn(0);
             const std::string answer = "Unknown command: " + std::string(100000, 'z') + "\r\n";
             EXPECT_EQ(zqkCommand(std::string(100000, 'z').c_str(), nullptr, 0, 1000),
                       -static_cast<int32_t>(answer.size() + 1))
                 << "a long line runs as one";
         }},
        {"zqkEscape",
         [](HostileInput& t) {
             EXPECT_EQ(t.OnSilentDevice([] { return zqkEscape(); }), 1);
             zqkClose();
             EXPECT_EQ(zqkEscape(), 1);
         }},
        {"zqkFlushPrompt",
         [](HostileInput& t) {
             EveryHostileBuffer([&](char* buffer, int32_t size) {
                 t.Device().Send(0, std::string("odd\0\xAB text\r\n\xBB", 13));
                 return zqkFlushPrompt(buffer, size, 100);
             });
             for (const int32_t timeout : kHostileTimeouts) {
                 GuardedBuffer buffer(16);
                 const uint64_t start = t.TestClock().NowMs();
                 const int32_t result = t.OnSilentDevice([&] { return zqkFlushPrompt(buffer.Data(), 16, timeout); });
                 EXPECT_EQ(result, 0) << timeout;
                 buffer.ExpectBufferReturn(result);
                 EXPECT_EQ(t.TestClock().NowMs() - start, timeout > 0 ? static_cast<uint64_t>(timeout) : 0u);
             }
         }},
        {"zqkIsPrompt",
         [](HostileInput& t) {
             EXPECT_EQ(zqkIsPrompt(nullptr), 0);
             EXPECT_EQ(zqkIsPrompt(""), 0);
             EXPECT_EQ(zqkIsPrompt("\xBB"), 0) << "the closing byte is never part of the text tested";
             EXPECT_EQ(zqkIsPrompt(std::string(1 << 20, 'p').c_str()), 0);
             EXPECT_EQ(zqkIsPrompt("\xAB"), 1);
             EXPECT_EQ(t.OnSilentDevice([] { return zqkIsPrompt("zq"); }), 0);
         }},
        {"zqkIsRunningBootloader",
         [](HostileInput& t) {
             t.Device().Identity.Product = std::u16string(4096, u'\xFFFF') + u"BootLoader";
             EXPECT_EQ(zqkIsRunningBootloader(), 1);
             t.Device().Identity.Product = u"";
             EXPECT_EQ(zqkIsRunningBootloader(), 0);
         }},
        {"zqkIsRunningApp",
         [](HostileInput& t) {
             t.Device().Identity.Product = std::u16string(u"zq.\0keeper", 10);
             EXPECT_EQ(zqkIsRunningApp(), 0);
             zqkClose();
             EXPECT_EQ(zqkIsRunningApp(), 0);
         }},
        {"zqkIsRunningATE",
         [](HostileInput& t) {
             t.Device().Identity.Product = u"\xD800 ATE";  // a lone surrogate
             EXPECT_EQ(zqkIsRunningATE(), 1);
         }},
        {"zqkSetPrompt",
         [](HostileInput&) {
             char buffer[64];
             zqkSetPrompt(std::string(1 << 16, '>').c_str());
             EXPECT_GE(zqkCommand("echo a", buffer, sizeof buffer, 100), 0) << "a prompt that never comes";
             zqkSetPrompt("\xBB");
             EXPECT_GE(zqkCommand("echo b", buffer, sizeof buffer, 100), 0);
             zqkSetPrompt(nullptr);
             EXPECT_GE(zqkCommand("echo c", buffer, sizeof buffer, 100), 0);
             zqkSetPrompt(kPrompt.c_str());
             zqkFlushPrompt(nullptr, 0, 100);
             EXPECT_EQ(zqkCommand("echo d", buffer, sizeof buffer, 1000), 3);
             EXPECT_STREQ(buffer, "d\r\n");
         }},

        // ---- device file system ----
        {"zqkDir",
         [](HostileInput& t) {
             ASSERT_EQ(zqkDir("/docs"), 1);
             EveryHostileName(t, -1, [](const std::string& name) { return zqkDir(name.c_str()); });
             EXPECT_EQ(zqkDir(nullptr), 2) << "null is the root";
             ASSERT_EQ(zqkDir("/docs"), 1);
             EXPECT_EQ(zqkDir("/docs\r"), -1);
             EXPECT_EQ(zqkGetDirEntry(0, nullptr, 0, nullptr, nullptr, nullptr), -6)
                 << "a name refused before the device answered keeps the listing";
         }},
        {"zqkGetDirEntry",
         [](HostileInput& t) {
             t.Keeper().Files.PutFile("/docs/long name of a file.txt", std::string(300, 'l'), 0xFF);
             ASSERT_EQ(zqkDir("/docs"), 2);
             for (const int32_t index : {INT32_MIN, -1, 2, INT32_MAX}) {
                 GuardedBuffer buffer(64);
                 int32_t size = 7, attributes = 7, time = 7;
                 EXPECT_EQ(zqkGetDirEntry(index, buffer.Data(), 64, &size, &attributes, &time), -1) << index;
                 buffer.ExpectBufferReturn(-1);
                 EXPECT_EQ(size + attributes + time, 21) << "nothing written for a missing entry";
             }
             EXPECT_EQ(zqkGetDirEntry(0, nullptr, 0, nullptr, nullptr, nullptr), -6);
             EveryHostileBuffer([](char* buffer, int32_t size) {
                 int32_t fileSize = 0, attributes = 0, time = 0;
                 const int32_t result = zqkGetDirEntry(1, buffer, size, &fileSize, &attributes, &time);
                 EXPECT_EQ(fileSize, 300);
                 EXPECT_EQ(attributes, 0xFF);
                 return result;
             });
         }},
        {"zqkAttrToText",
         [](HostileInput&) {
             for (const int32_t attributes : kHostileIntegers) {
                 SCOPED_TRACE(attributes);
                 EveryHostileBuffer(
                     [attributes](char* buffer, int32_t size) { return zqkAttrToText(attributes, buffer, size); });
             }
         }},
        {"zqkDateToText",
         [](HostileInput&) {
             for (const int32_t time : {INT32_MIN, -86401, -1, 0, 1, 2085805696, INT32_MAX}) {
                 SCOPED_TRACE(time);
                 EveryHostileBuffer([time](char* buffer, int32_t size) { return zqkDateToText(time, buffer, size); });
             }
         }},
        {"zqkFileDelete",
         [](HostileInput& t) {
             EveryHostileName(t, -1, [](const std::string& name) { return zqkFileDelete(name.c_str()); });
             EXPECT_EQ(zqkFileDelete(nullptr), -1);
             EXPECT_NE(t.Keeper().Files.Find("/docs"), nullptr) << "no name reached another entry";
         }},
        {"zqkDirRemove",
         [](HostileInput& t) {
             EveryHostileName(t, -1, [](const std::string& name) { return zqkDirRemove(name.c_str()); });
             EXPECT_EQ(zqkDirRemove(nullptr), -1);
             EXPECT_NE(t.Keeper().Files.Find("/docs"), nullptr) << "no name reached another entry";
         }},
        {"zqkDirMake",
         [](HostileInput& t) {
             EveryHostileName(t, -1, [](const std::string& name) { return zqkDirMake(name.c_str()); });
             EXPECT_EQ(zqkDirMake(nullptr), -1);
         }},
        {"zqkRename",
         [](HostileInput& t) {
             EveryHostileName(t, -1, [](const std::string& name) { return zqkRename(name.c_str(), "/new"); });
             EveryHostileName(t, -1, [](const std::string& name) { return zqkRename("/readme.txt", name.c_str()); });
             EXPECT_EQ(zqkRename(nullptr, nullptr), -1);
             EXPECT_NE(t.Keeper().Files.Find("/docs"), nullptr) << "no name reached another entry";
         }},
        {"zqkFileWrite",
         [](HostileInput& t) {
             EveryHostileName(t, -2, [&](const std::string& name) {
                 return zqkFileWrite(t.Local("in.bin").c_str(), name.c_str());
             });
             const size_t packets = t.Device().HostPackets().size();
             for (const std::string& path : {std::string(), t.Local("folder"), t.Local("no/such/folder/file"),
                                             t.Local("in.bin/"), t.Local("folder/")}) {
                 EXPECT_EQ(zqkFileWrite(path.c_str(), "/x"), ZQK_LOCAL_FILE_UNREADABLE) << path;
             }
             EXPECT_EQ(zqkFileWrite(nullptr, "/x"), ZQK_LOCAL_FILE_UNREADABLE);
             EXPECT_EQ(t.Device().HostPackets().size(), packets) << "nothing sent for an unreadable file";
             EXPECT_EQ(zqkFileWrite(t.Local("in.bin").c_str(), nullptr), -2) << "the root is no file";
         }},
        {"zqkFileRead",
         [](HostileInput& t) {
             WriteFile(t.Local("out.bin"), "old");
             EveryHostileName(t, -2, [&](const std::string& name) {
                 return zqkFileRead(name.c_str(), t.Local("out.bin").c_str());
             });
             EXPECT_EQ(ReadFile(t.Local("out.bin")), "old");
             const std::set<std::string> before = t.LocalNames();
             for (const std::string& path : {std::string(), t.Local("folder"), t.Local("no/such/folder/file"),
                                             t.Local("folder/"), t.Local("in.bin/x")}) {
                 EXPECT_EQ(zqkFileRead("/readme.txt", path.c_str()), -1) << path;
             }
             EXPECT_EQ(zqkFileRead("/readme.txt", nullptr), -1);
             EXPECT_EQ(t.LocalNames(), before) << "a stray file was left";
             EXPECT_TRUE(fs::is_empty(t.Local("folder"))) << "a stray file was left in the folder";
             EXPECT_EQ(ReadFile(t.Local("in.bin")), "local data");
         }},
        {"zqkFirmwareUpdate",
         [](HostileInput& t) {
             for (const std::string& path : {std::string(), t.Local("folder"), t.Local("no/such/folder/fw.bin"),
                                             t.Local("folder/")}) {
                 EXPECT_EQ(zqkFirmwareUpdate(path.c_str()), ZQK_LOCAL_FILE_UNREADABLE) << path;
             }
             EXPECT_EQ(zqkFirmwareUpdate(nullptr), ZQK_LOCAL_FILE_UNREADABLE);
             EXPECT_TRUE(t.Device().HostPackets().empty());
#ifndef _WIN32
             // The image goes by its file's name, unquoted: a line end in it
             // must not reach the device's terminal.
             WriteFile(t.Local("fw\rNFWIPEDIR docs"), "image");
             EXPECT_EQ(zqkFirmwareUpdate(t.Local("fw\rNFWIPEDIR docs").c_str()), -2);
             EXPECT_TRUE(t.Device().HostPackets().empty());
             EXPECT_NE(t.Keeper().Files.Find("/docs"), nullptr);
             WriteFile(t.Local("F\xBB \"W\".BIN"), "image");
             EXPECT_EQ(zqkFirmwareUpdate(t.Local("F\xBB \"W\".BIN").c_str()), 5);
             EXPECT_EQ(t.Keeper().Files.FirmwareName, "f\xBB \"w\".bin");
#endif
         }},
        // ---- the conversation's log, on a handle ----
        {"zqkDevSetCommandLog",
         [](HostileInput& t) {
             const int32_t h = t.Handle();
             std::vector<std::string> logged;
             EXPECT_EQ(zqkDevSetCommandLog(h, LogLine, reinterpret_cast<intptr_t>(&logged)), 0);
             t.NewLines();
             char buffer[64];
             EXPECT_GE(zqkDevDir(h, "/"), 0);
             EXPECT_GE(zqkDevCommand(h, "ver", buffer, sizeof buffer, 500), 0);
             std::vector<std::string> sent = t.NewLines();
             sent.front().insert(0, "\x1B");  // the escape that clears the terminal's input first
             EXPECT_EQ(logged, sent) << "each line the device got, as sent";
             EXPECT_EQ(zqkDevSetCommandLog(h, nullptr, 0), 0);
             EXPECT_GE(zqkDevCommand(h, "ver", buffer, sizeof buffer, 500), 0);
             EXPECT_EQ(logged.size(), sent.size()) << "no log once cleared";
         }},
        // ---- the trace of the reports, on a handle ----
        {"zqkDevSetTrace",
         [](HostileInput& t) {
             const int32_t h = t.Handle();
             EXPECT_EQ(zqkDevSetTrace(h, t.Local("folder").c_str()), -1);
             EXPECT_EQ(zqkLastStatus(), ZQK_STATUS_LOCAL_FILE);
             const size_t sentBefore = t.Device().HostPackets().size();
             const uint64_t movedBefore = t.Device().ReportsMoved();
             ASSERT_EQ(zqkDevSetTrace(h, t.Local("t.pcapng").c_str()), 0);
             EXPECT_GE(zqkDevDir(h, "/docs"), 0);
             EXPECT_EQ(zqkDevSetTrace(h, nullptr), 0);
             const size_t sent = t.Device().HostPackets().size() - sentBefore;
             const size_t received = t.Device().ReportsMoved() - movedBefore - sent;
             EXPECT_GE(zqkDevDir(h, "/"), 0) << "nothing is traced once stopped";
             const TraceContents trace = ReadTrace(t.Local("t.pcapng"));
             ASSERT_GE(trace.BlockTypes.size(), 2u);
             EXPECT_EQ(trace.BlockTypes[0], 0x0A0D0D0Au);
             EXPECT_EQ(trace.BlockTypes[1], 1u);
             EXPECT_NE(trace.Headers.find("zqkAPI " ZQK_VERSION_STR), std::string::npos);
             EXPECT_NE(trace.Headers.find("serial number ZQK-0001"), std::string::npos);
             std::map<uint32_t, size_t> byDirection;
             std::string outbound;
             for (const auto& [flags, data] : trace.Packets) {
                 ++byDirection[flags];
                 if (flags == 2)
                     outbound += data.substr(3, static_cast<uint8_t>(data.at(2)));
             }
             EXPECT_EQ(byDirection[2], sent);
             EXPECT_EQ(byDirection[1], received);
             EXPECT_GT(received, 0u);
             EXPECT_EQ(byDirection[0], 2u) << "started and stopped";
             EXPECT_NE(outbound.find("/docs"), std::string::npos) << ::testing::PrintToString(outbound);
#ifndef _WIN32
             // A file that takes no more ends the trace, never the conversation,
             // and the next call tells of it: in a child that may write 1 KiB a file.
             const pid_t child = fork();
             if (child == 0) {
                 signal(SIGXFSZ, SIG_IGN);
                 const rlimit oneKiB {1024, 1024};
                 setrlimit(RLIMIT_FSIZE, &oneKiB);
                 int step = 1;
                 const bool good = zqkDevSetTrace(h, t.Local("full.pcapng").c_str()) == 0 && ++step &&
                                   zqkDevDir(h, "/") >= 0 && zqkDevDir(h, "/docs") >= 0 && ++step &&
                                   zqkDevSetTrace(h, nullptr) == -1 && zqkLastStatus() == ZQK_STATUS_LOCAL_FILE &&
                                   ++step && zqkDevDir(h, "/docs") >= 0;
                 _exit(good ? 0 : step);
             }
             int status = -1;
             ASSERT_EQ(waitpid(child, &status, 0), child);
             EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
                 << "failed at step " << WEXITSTATUS(status) << " (1 start, 2 listing, 3 stop, 4 after)";
#endif
         }},
        {"zqkSetTrace",
         [](HostileInput& t) {
             EXPECT_EQ(zqkSetTrace(nullptr), 0) << "none runs: nothing to stop";
             EXPECT_EQ(zqkSetTrace(""), 0);
             EXPECT_EQ(zqkSetTrace(t.Local("folder").c_str()), -1);
             EXPECT_EQ(zqkLastStatus(), ZQK_STATUS_LOCAL_FILE);
             EXPECT_EQ(zqkSetTrace(t.Local("no such folder/t.pcapng").c_str()), -1);
             ASSERT_EQ(zqkSetTrace(t.Local("d.pcapng").c_str()), 0);
             EXPECT_EQ(zqkClose(), 0);
             EXPECT_EQ(zqkSetTrace(""), 0);
             const TraceContents trace = ReadTrace(t.Local("d.pcapng"));
             ASSERT_EQ(trace.Packets.size(), 3u) << "started, the device closed, stopped";
             EXPECT_EQ(trace.Packets[1].first, 0u);
         }},
        // ---- devices arriving and leaving ----
        {"zqkSetDeviceCallback",
         [](HostileInput&) {
             EXPECT_EQ(zqkSetDeviceCallback(nullptr, 0), 0) << "none set: nothing to stop";
             EXPECT_EQ(zqkSetDeviceCallback(nullptr, -1), 0);
             EXPECT_EQ(zqkLastStatus(), ZQK_STATUS_OK);
             std::vector<std::string> first, second;
             ASSERT_EQ(zqkSetDeviceCallback(TellDevice, reinterpret_cast<intptr_t>(&first)), 0) << LastStatusText();
             EXPECT_EQ(zqkSetDeviceCallback(TellDevice, reinterpret_cast<intptr_t>(&second)), 0) << "replaced";
             EXPECT_EQ(zqkSetDeviceCallback(nullptr, 0), 0);
             EXPECT_EQ(zqkSetDeviceCallback(nullptr, 0), 0) << "stopped already";
             EXPECT_TRUE(first.empty() && second.empty()) << "the open simulated device is no device that arrived";
         }},
        // ---- transfers in memory, on a handle ----
        {"zqkDevFileReadBuffer",
         [](HostileInput& t) {
             const int32_t h = t.Handle();
             for (const int32_t size : {INT32_MIN, -1}) {
                 EXPECT_EQ(zqkDevFileReadBuffer(h, "/readme.txt", nullptr, size), -1);
                 EXPECT_EQ(zqkLastStatus(), ZQK_STATUS_ARGUMENT);
             }
             EXPECT_TRUE(t.NewLines().empty()) << "nothing asked of the device";
             for (const std::string& name : kLineBreakingNames)
                 EXPECT_EQ(zqkDevFileReadBuffer(h, name.c_str(), nullptr, 0), -2) << ::testing::PrintToString(name);
             EXPECT_TRUE(t.NewLines().empty()) << "no refused name was sent";
             EXPECT_EQ(zqkDevFileReadBuffer(h, nullptr, nullptr, 0), -2) << "the root is no file";
             // Too small: the size, nothing written, and the file kept for
             // the call with room, which needs no second transfer.
             for (const int32_t size : {0, 6}) {
                 GuardedBuffer buffer(8);
                 EXPECT_EQ(zqkDevFileReadBuffer(h, "/readme.txt", buffer.Data(), size), -8);
                 EXPECT_EQ(zqkLastStatus(), ZQK_STATUS_BUFFER);
                 buffer.ExpectBufferReturn(-1);
             }
             EXPECT_EQ(zqkDevFileReadBuffer(h, "/readme.txt", nullptr, INT32_MAX), -8);
             t.NewLines();
             GuardedBuffer buffer(7);
             EXPECT_EQ(zqkDevFileReadBuffer(h, "/readme.txt", buffer.Data(), buffer.Size()), 7);
             EXPECT_EQ(std::string(buffer.Data(), 7), "read me");
             EXPECT_TRUE(t.NewLines().empty()) << "the kept file came without a second transfer";
             EXPECT_EQ(zqkDevFileReadBuffer(h, "/readme.txt", buffer.Data(), buffer.Size()), 7);
             EXPECT_EQ(t.NewLines().size(), 1u) << "a kept file serves one call";
             EXPECT_EQ(zqkDevFileReadBuffer(h, "/readme.txt", nullptr, 0), -8);
             EXPECT_EQ(zqkDevFileReadBuffer(h, "/docs/a.txt", buffer.Data(), buffer.Size()), 5);
             EXPECT_EQ(std::string(buffer.Data(), 5), "alpha") << "another path gets its own file";
         }},
        {"zqkDevFileWriteBuffer",
         [](HostileInput& t) {
             const int32_t h = t.Handle();
             for (const int32_t count : {INT32_MIN, -1})
                 EXPECT_EQ(zqkDevFileWriteBuffer(h, "data", count, "/x", 0), -1);
             EXPECT_EQ(zqkDevFileWriteBuffer(h, nullptr, 4, "/x", 0), -1);
             EXPECT_EQ(zqkLastStatus(), ZQK_STATUS_ARGUMENT);
             EXPECT_EQ(zqkDevFileWriteBuffer(h, nullptr, 0, "/x", 0), 0) << "an empty file is not sent";
             EXPECT_EQ(zqkDevFileWriteBuffer(h, "data", 0, "/x", 0), 0);
             for (const std::string& name : kLineBreakingNames)
                 EXPECT_EQ(zqkDevFileWriteBuffer(h, "data", 4, name.c_str(), 0), -2) << ::testing::PrintToString(name);
             EXPECT_TRUE(t.NewLines().empty()) << "nothing was sent";
             EXPECT_EQ(t.Keeper().Files.Find("/x"), nullptr);
             const std::string data("\0\xBB\x1B\r\n", 5);
             EXPECT_EQ(zqkDevFileWriteBuffer(h, data.data(), 5, "/x", 1710498030), 5);
             ASSERT_NE(t.Keeper().Files.Find("/x"), nullptr);
             EXPECT_EQ(t.Keeper().Files.Find("/x")->Data, data) << "bytes of any value, as they are";
             EXPECT_EQ(t.Keeper().Files.Find("/x")->Times[0], sim::SimFileSystem::PackTime(2024, 3, 15, 10, 20, 30));
         }},
    };
    return cases;
}

class EveryExport : public HostileInput, public ::testing::WithParamInterface<ExportCase> {};

TEST_P(EveryExport, HostileArgumentsGiveDefinedResults)
{
    GetParam().Body(*this);
}

INSTANTIATE_TEST_SUITE_P(Exports, EveryExport, ::testing::ValuesIn(ExportCases()),
                         [](const ::testing::TestParamInfo<ExportCase>& info) { return info.param.Name; });


// Every function of a handle, called with handles that are no open device's:
// the function's failure result with ZQK_STATUS_ARGUMENT, and the caller's
// buffer and out-values untouched. (With an open handle they run the same
// code as the classic functions, which the table above covers.)
struct TwinCase {
    const char* Name;
    int32_t Failure;
    std::function<int32_t(int32_t Handle, char* Buffer, int32_t* Out)> Call;
};

void PrintTo(const TwinCase& c, std::ostream* out)
{
    *out << c.Name;
}

const std::vector<TwinCase>& TwinCases()
{
    static const std::vector<TwinCase> cases = {
        {"zqkDevIsOpen", 0, [](int32_t h, char*, int32_t*) { return zqkDevIsOpen(h); }},
        {"zqkDevPoll", -1, [](int32_t h, char*, int32_t*) { return zqkDevPoll(h, 0); }},
        {"zqkDevTermTx", 0, [](int32_t h, char*, int32_t*) { return zqkDevTermTx(h, "x", 1, 0); }},
        {"zqkDevTermRx", -1, [](int32_t h, char* b, int32_t*) { return zqkDevTermRx(h, b, 64, 0); }},
        {"zqkDevUsbPath", -1, [](int32_t h, char* b, int32_t*) { return zqkDevUsbPath(h, b, 64); }},
        {"zqkDevUsbDetail", -1, [](int32_t h, char* b, int32_t*) { return zqkDevUsbDetail(h, 0, b, 64); }},
        {"zqkDevLastError", 0, [](int32_t h, char*, int32_t*) { return zqkDevLastError(h); }},
        {"zqkDevSetCallback", -1, [](int32_t h, char*, int32_t*) { return zqkDevSetCallback(h, nullptr, 0); }},
        {"zqkDevSetCommandLog", -1, [](int32_t h, char*, int32_t*) { return zqkDevSetCommandLog(h, nullptr, 0); }},
        {"zqkDevSetTrace", -1, [](int32_t h, char*, int32_t*) { return zqkDevSetTrace(h, nullptr); }},
        {"zqkDevCommand", -1, [](int32_t h, char* b, int32_t*) { return zqkDevCommand(h, "ver", b, 64, 0); }},
        {"zqkDevEscape", 1, [](int32_t h, char*, int32_t*) { return zqkDevEscape(h); }},
        {"zqkDevFlushPrompt", -1, [](int32_t h, char* b, int32_t*) { return zqkDevFlushPrompt(h, b, 64, 0); }},
        {"zqkDevIsPrompt", 0, [](int32_t h, char*, int32_t*) { return zqkDevIsPrompt(h, "zq"); }},
        {"zqkDevIsRunningBootloader", 0, [](int32_t h, char*, int32_t*) { return zqkDevIsRunningBootloader(h); }},
        {"zqkDevIsRunningApp", 0, [](int32_t h, char*, int32_t*) { return zqkDevIsRunningApp(h); }},
        {"zqkDevIsRunningATE", 0, [](int32_t h, char*, int32_t*) { return zqkDevIsRunningATE(h); }},
        {"zqkDevSetPrompt", 0,
         [](int32_t h, char*, int32_t*) {
             zqkDevSetPrompt(h, ">");
             return 0;
         }},
        {"zqkDevDir", -1, [](int32_t h, char*, int32_t*) { return zqkDevDir(h, "/"); }},
        {"zqkDevGetDirEntry", -1,
         [](int32_t h, char* b, int32_t* o) { return zqkDevGetDirEntry(h, 0, b, 64, o, o + 1, o + 2); }},
        {"zqkDevFileDelete", -1, [](int32_t h, char*, int32_t*) { return zqkDevFileDelete(h, "/x"); }},
        {"zqkDevDirRemove", -1, [](int32_t h, char*, int32_t*) { return zqkDevDirRemove(h, "/x"); }},
        {"zqkDevDirMake", -1, [](int32_t h, char*, int32_t*) { return zqkDevDirMake(h, "/x"); }},
        {"zqkDevRename", -1, [](int32_t h, char*, int32_t*) { return zqkDevRename(h, "/x", "/y"); }},
        {"zqkDevFileWrite", -2, [](int32_t h, char*, int32_t*) { return zqkDevFileWrite(h, "in.bin", "/x"); }},
        {"zqkDevFileWriteAt", -2,
         [](int32_t h, char*, int32_t*) { return zqkDevFileWriteAt(h, "in.bin", "/x", 0); }},
        {"zqkDevFileRead", -2, [](int32_t h, char*, int32_t*) { return zqkDevFileRead(h, "/x", "out.bin"); }},
        {"zqkDevFirmwareUpdate", -2, [](int32_t h, char*, int32_t*) { return zqkDevFirmwareUpdate(h, "fw.bin"); }},
        {"zqkDevFileReadBuffer", -2, [](int32_t h, char* b, int32_t*) { return zqkDevFileReadBuffer(h, "/x", b, 64); }},
        {"zqkDevFileWriteBuffer", -2,
         [](int32_t h, char*, int32_t*) { return zqkDevFileWriteBuffer(h, "data", 4, "/x", 0); }},
    };
    return cases;
}

class EveryTwin : public HostileInput, public ::testing::WithParamInterface<TwinCase> {};

TEST_P(EveryTwin, HandlesThatAreNoDeviceFailAsAClosedDeviceWould)
{
    const int32_t closed = OpenHandle(Keeper());
    ASSERT_GT(closed, 0);
    ASSERT_EQ(zqkDevClose(closed), 0);
    for (const int32_t handle : {INT32_MIN, -1, 0, closed, INT32_MAX}) {
        GuardedBuffer buffer(64);
        int32_t out[3] = {7, 7, 7};
        EXPECT_EQ(GetParam().Call(handle, buffer.Data(), out), GetParam().Failure) << handle;
        EXPECT_EQ(zqkLastStatus(), ZQK_STATUS_ARGUMENT) << handle;
        buffer.ExpectBufferReturn(-1);
        EXPECT_EQ(out[0] + out[1] + out[2], 21) << "nothing written";
    }
    EXPECT_TRUE(Device().HostPackets().empty()) << "a handle reached the default device";
}

INSTANTIATE_TEST_SUITE_P(Twins, EveryTwin, ::testing::ValuesIn(TwinCases()),
                         [](const ::testing::TestParamInfo<TwinCase>& info) { return info.param.Name; });

TEST(HostileInputTable, CoversEveryExport)
{
    std::ifstream table(ZQK_EXPORTS_TXT);
    ASSERT_TRUE(table) << ZQK_EXPORTS_TXT;
    std::set<std::string> exported, covered;
    for (std::string line; std::getline(table, line);) {
        if (!line.empty() && line[0] != '#')
            exported.insert(line.substr(0, line.find_first_of(" \t\r")));
    }
    for (const ExportCase& c : ExportCases())
        covered.insert(c.Name);
    for (const TwinCase& c : TwinCases())
        covered.insert(c.Name);
    EXPECT_EQ(exported.size(), 74u);
    EXPECT_EQ(covered, exported);
}

// The damage names could do before they were refused.
TEST_F(HostileInput, ALineEndInANameRunsNoSecondCommand)
{
    EXPECT_EQ(zqkFileDelete("/readme.txt\rNFWIPEDIR \"/docs"), -1);
    EXPECT_NE(Keeper().Files.Find("/docs"), nullptr);
    EXPECT_NE(Keeper().Files.Find("/readme.txt"), nullptr);
    EXPECT_TRUE(NewLines().empty());
}

TEST_F(HostileInput, AQuoteInAQuotedNameCannotNameAnotherEntry)
{
    EXPECT_EQ(zqkDirRemove("/docs\" and more"), -1);
    EXPECT_NE(Keeper().Files.Find("/docs"), nullptr);
    EXPECT_TRUE(NewLines().empty());
}

TEST_F(HostileInput, ATabInAnUnquotedNameCannotChangeTheSizeTheDeviceWaitsFor)
{
    zqkClose();
    Keeper().SetQuotedNames(false);
    ASSERT_EQ(zqkOpen(), 1);
    EXPECT_EQ(zqkFileWrite(Local("in.bin").c_str(), "/x\t99"), -2)
        << "the device would wait for 99 bytes and store nothing";
    EXPECT_EQ(Keeper().Files.Find("/x"), nullptr);
    EXPECT_TRUE(NewLines().empty());
}

#ifndef _WIN32
// A local file that cannot be read or written. Not for root, which reads
// and writes whatever it likes.
TEST_F(HostileInput, LocalFilesWithoutPermission)
{
    if (geteuid() == 0)
        GTEST_SKIP() << "root ignores file permissions";
    WriteFile(Local("locked.bin"), "secret");
    fs::permissions(Local("locked.bin"), fs::perms::none);
    EXPECT_EQ(zqkFileWrite(Local("locked.bin").c_str(), "/x"), ZQK_LOCAL_FILE_UNREADABLE);
    EXPECT_EQ(zqkFirmwareUpdate(Local("locked.bin").c_str()), ZQK_LOCAL_FILE_UNREADABLE);
    fs::permissions(Local("folder"), fs::perms::owner_read | fs::perms::owner_exec);
    EXPECT_EQ(zqkFileRead("/readme.txt", Local("folder/out.bin").c_str()), -1);
    fs::permissions(Local("folder"), fs::perms::owner_all);
    fs::permissions(Local("locked.bin"), fs::perms::owner_all);
    EXPECT_TRUE(fs::is_empty(Local("folder")));
}
#endif

}  // namespace
}  // namespace zqk
