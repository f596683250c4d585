// zqk trace FILE: a capture as text, one line for each report (see
// conversation.h), whether the library wrote it or a USB sniffer did.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "capture_file.h"
#include "capture_reports.h"
#include "conversation.h"
#include "tool.h"

namespace zqktool {

namespace {

std::string WholeFile(const std::string& Path)
{
    std::FILE* file = Path == kStandardStream ? stdin : std::fopen(Path.c_str(), "rb");
    if (!file)
        throw Failure(kLocalFile, "cannot read " + Shown(Path) + ": " + std::strerror(errno));
    std::string bytes;
    char chunk[1 << 16];
    for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, file)) > 0;)
        bytes.append(chunk, n);
    const bool failed = std::ferror(file) != 0;
    if (file != stdin)
        std::fclose(file);
    if (failed)
        throw Failure(kLocalFile, "cannot read " + Shown(Path) + ": " + std::strerror(errno));
    return bytes;
}

void Print(const std::string& Line)
{
    std::fputs(Line.c_str(), stdout);
    std::fputc('\n', stdout);
}

// The conversation's steps among the reports, under the time column.
void PrintSteps(std::vector<std::string>& Lines)
{
    for (const std::string& line : Lines)
        Print("       step " + line);
    Lines.clear();
}

std::string Totals(const std::vector<TracedReport>& Reports)
{
    size_t sent = 0, received = 0;
    for (const TracedReport& report : Reports) {
        sent += report.kind == TracedReport::Kind::ToDevice;
        received += report.kind == TracedReport::Kind::FromDevice;
    }
    return "# " + std::to_string(sent) + (sent == 1 ? " report" : " reports") + " to the device, " +
           std::to_string(received) + " from it";
}

}  // namespace

int ReadTrace(const Options& Opts)
{
    const std::string& path = Opts.args.at(0);
    const std::string bytes = WholeFile(path);
    const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
    CaptureReader reader;
    std::vector<CapturePacket> packets;
    size_t used = 0;
    std::string damage;
    try {
        used = reader.Take(data, bytes.size(), packets);
    } catch (const CaptureError& error) {
        if (packets.empty())
            throw Failure(kLocalFile, Shown(path) + ": " + error.what());
        damage = error.what();  // what came before it is still told
    }
    if (*reader.Format() == '\0')
        throw Failure(kLocalFile, Shown(path) + ": too short to be a capture (" + std::to_string(bytes.size()) +
                                      " bytes)");
    CaptureReports found;
    try {
        found = ReportsOf(reader, packets, Opts.vendorId, Opts.productId);
    } catch (const CaptureError& error) {
        throw Failure(kLocalFile, Shown(path) + ": " + error.what());
    }
    Print(std::string("# ") + reader.Format() + " capture " + Shown(path));
    for (const std::string& note : found.notes)
        Print("# " + Shown(note));
    const uint64_t start = packets.empty() ? 0 : packets.front().microseconds;
    ConversationSteps steps;
    std::vector<std::string> stepLines;
    std::string kinds;
    for (const TracedReport& report : found.reports) {
        steps.Take(report, stepLines, &kinds);
        if (report.kind == TracedReport::Kind::Event)
            PrintSteps(stepLines);  // the step it ends, before it
        Print(ReportLine(report, start, kinds));
        PrintSteps(stepLines);
    }
    steps.Finish(stepLines);
    PrintSteps(stepLines);
    Print(Totals(found.reports));
    std::fflush(stdout);
    if (damage.empty() && used < bytes.size())
        damage = "its last " + std::to_string(bytes.size() - used) + " bytes are no whole block or record";
    if (!damage.empty())
        throw Failure(kLocalFile, Shown(path) + " is cut short or damaged after its first " +
                                      std::to_string(packets.size()) + " packets: " + damage);
    return kOk;
}

}  // namespace zqktool
