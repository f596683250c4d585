// zqk -v from the handle's trace (see step_log.h).
#include "step_log.h"

#include <chrono>
#include <filesystem>
#include <system_error>
#include <utility>

namespace zqktool {

namespace {

// A name no other run takes: the handle and the moment.
std::string TemporaryTracePath(int32_t Handle)
{
    std::error_code error;
    const std::filesystem::path folder = std::filesystem::temp_directory_path(error);
    const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
    const std::string name = "zqk-steps-" + std::to_string(Handle) + "-" + std::to_string(now) + ".pcapng";
    return error ? std::string() : (folder / name).string();
}

std::string WithoutEscape(const char* Line)
{
    return Line[0] == '\x1B' ? Line + 1 : Line;  // the escape that clears the terminal's input says nothing
}

}  // namespace

StepLog::~StepLog()
{
    Close();
}

void StepLog::Start(int32_t Handle, const std::string& TracePath)
{
    std::string path = TracePath;
    if (path.empty())
        path = temporary_ = TemporaryTracePath(Handle);
    if (!path.empty() && zqkDevSetTrace(Handle, path.c_str()) != 0) {
        if (temporary_.empty())
            throw Failure(ExitCodeOf(zqkLastStatus()), StatusText());
        temporary_.clear();
        path.clear();
    }
    if (!path.empty())
        trace_ = std::fopen(path.c_str(), "rb");
    following_ = trace_ != nullptr;
    zqkDevSetCommandLog(Handle, CommandSent, reinterpret_cast<intptr_t>(this));
}

void StepLog::Unhook(int32_t Handle)
{
    zqkDevSetCommandLog(Handle, nullptr, 0);
}

void ZQK_CALL StepLog::CommandSent(intptr_t Self, const char* Line)
{
    StepLog& log = *reinterpret_cast<StepLog*>(Self);
    try {
        if (log.following_)
            log.ReadOn();
        else
            log.out_.Err("> " + Shown(WithoutEscape(Line)) + "\n");
    } catch (const std::exception& error) {
        log.following_ = false;  // told once; nothing may reach the library
        log.out_.Failed(std::string("-v stops telling the steps: ") + error.what());
    }
}

// The trace's blocks written since the last look, as steps.
void StepLog::ReadOn()
{
    char chunk[1 << 16];
    // The end of the file moves on as the library writes: a seek to where the
    // stream stands clears its end-of-file state and drops its buffer, which a
    // bare clearerr does not do in every C library.
    std::fseek(trace_, 0, SEEK_CUR);
    for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, trace_)) > 0;)
        unread_.append(chunk, n);
    std::vector<CapturePacket> packets;
    const size_t used = reader_.Take(reinterpret_cast<const uint8_t*>(unread_.data()), unread_.size(), packets);
    std::vector<std::string> lines;
    for (const CapturePacket& packet : packets) {
        TracedReport report;
        if (OwnTraceReport(reader_.Interfaces()[packet.interfaceIndex], packet, report))
            steps_.Take(report, lines);
    }
    unread_.erase(0, used);
    Tell(lines);
}

void StepLog::Tell(const std::vector<std::string>& Lines)
{
    for (const std::string& line : Lines)
        out_.Err(line + "\n");
}

void StepLog::Finish()
{
    if (!following_)
        return Close();
    try {
        ReadOn();
        std::vector<std::string> lines;
        steps_.Finish(lines);
        Tell(lines);
    } catch (const std::exception& error) {
        out_.Failed(std::string("-v could not tell the last steps: ") + error.what());
    }
    Close();
}

void StepLog::Close()
{
    following_ = false;
    if (trace_)
        std::fclose(std::exchange(trace_, nullptr));
    if (!temporary_.empty()) {
        std::error_code ignored;
        std::filesystem::remove(temporary_, ignored);
        temporary_.clear();
    }
}

}  // namespace zqktool
