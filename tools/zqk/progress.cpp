// What the tool shows while it works: whole lines on standard output and
// error, and the progress of the job. On a terminal the progress is one
// line that redraws itself (files done of all, bytes, rate, time left and
// the current file) for the whole job, whatever number of units take part,
// cut to the window's width and drawn again when the window changes size;
// otherwise each file gets one line when it is complete, and a long one a
// line every few seconds before that. Output lines and the progress
// line share one lock, so that threads of several units never interleave
// within a line and a line never lands in the middle of the progress line.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

#include "tool.h"
#include "zqkAPI.h"

namespace zqktool {

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kRedrawEvery = std::chrono::milliseconds(100);
// Off a terminal: a line for a file at most this often while it transfers.
constexpr auto kLineEvery = std::chrono::seconds(5);
constexpr size_t kDefaultColumns = 80;
constexpr size_t kShortestPath = 12;  // "..." and the end of a name

std::string Duration(double seconds)
{
    const auto s = static_cast<long>(seconds + 0.5);
    char text[32];
    std::snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
    return text;
}

// The job as a whole; guarded by g_lock.
struct Job {
    bool started = false;
    Clock::time_point start;
    int64_t filesPlanned = 0, bytesPlanned = 0;
    int64_t filesDone = 0, bytesDone = 0;
    std::string current;
    bool drawn = false;
    Clock::time_point lastDraw;
};

std::mutex g_lock;
Job g_job;

enum class Form { Line, Lines, None };
Form g_form = Form::Lines;  // set once by ChooseProgress, before any thread starts

bool ProgressOnTerminal()
{
    return g_form == Form::Line;
}

// The terminal's width; elsewhere (--progress into a file) what $COLUMNS
// says, as for other programs, or 80.
size_t ProgressColumns()
{
    if (const size_t columns = TerminalColumns(stderr))
        return columns;
    const char* given = std::getenv("COLUMNS");
    const long columns = given ? std::strtol(given, nullptr, 10) : 0;
    return columns > 0 ? static_cast<size_t>(columns) : kDefaultColumns;
}

void StartIfNeeded()
{
    if (!g_job.started) {
        g_job.started = true;
        g_job.start = Clock::now();
    }
}

// The end of Path in Room characters, "..." for what is left out; not cut
// within a UTF-8 character.
std::string PathEnd(const std::string& path, size_t room)
{
    if (path.size() <= room)
        return path;
    size_t cut = path.size() - (room - 3);
    while (cut < path.size() && (static_cast<unsigned char>(path[cut]) & 0xC0) == 0x80)
        ++cut;
    return "..." + path.substr(cut);
}

void Draw()
{
    const double elapsed = std::chrono::duration<double>(Clock::now() - g_job.start).count();
    const int64_t total = std::max(g_job.bytesPlanned, g_job.bytesDone);
    const double fraction = total > 0 ? static_cast<double>(g_job.bytesDone) / static_cast<double>(total) : 1.0;
    const double rate = elapsed > 0 ? static_cast<double>(g_job.bytesDone) / elapsed : 0.0;
    const double left = rate > 0 ? static_cast<double>(total - g_job.bytesDone) / rate : 0.0;
    constexpr int kWidth = 20;
    const int filled = static_cast<int>(fraction * kWidth + 0.5);
    const std::string bar = "[" + std::string(filled, '#') + std::string(kWidth - filled, '-') + "] ";
    char figures[256];
    std::snprintf(figures, sizeof figures, "%3d%%  %lld/%lld files  %s of %s  %s/s  %s left",
                  static_cast<int>(fraction * 100), static_cast<long long>(g_job.filesDone),
                  static_cast<long long>(std::max(g_job.filesPlanned, g_job.filesDone)),
                  HumanSize(static_cast<double>(g_job.bytesDone)).c_str(), HumanSize(static_cast<double>(total)).c_str(),
                  HumanSize(rate).c_str(), Duration(left).c_str());
    const std::string line = FittedLine(bar, figures, Shown(g_job.current), ProgressColumns());
    std::fprintf(stderr, "\r%s\033[K", line.c_str());
    std::fflush(stderr);
    g_job.drawn = true;
    g_job.lastDraw = Clock::now();
}

void Hide()
{
    if (g_job.drawn)
        std::fputs("\r\033[K", stderr);
}

void ShowAgain()
{
    if (g_job.drawn)
        Draw();
}

}  // namespace

// ---- output ----

Console::~Console()
{
    Flush();
}

void Console::Out(const std::string& Text)
{
    Write(stdout, pendingOut_, Text);
}

void Console::Err(const std::string& Text)
{
    Write(stderr, pendingErr_, Text);
}

// Without a prefix text goes out as it is (device output byte for byte);
// with one, whole lines go out, each after the prefix.
void Console::Write(std::FILE* Stream, std::string& Pending, const std::string& Text)
{
    std::string ready;
    if (prefix_.empty()) {
        ready = Text;
    } else {
        Pending += Text;
        size_t start = 0;
        for (size_t end; (end = Pending.find('\n', start)) != std::string::npos; start = end + 1)
            ready += prefix_ + Pending.substr(start, end + 1 - start);
        Pending.erase(0, start);
    }
    if (ready.empty())
        return;
    const std::lock_guard<std::mutex> guard(g_lock);
    const bool overBar = Stream == stderr || IsTerminal(Stream);
    if (overBar)
        Hide();
    std::fwrite(ready.data(), 1, ready.size(), Stream);
    std::fflush(Stream);
    if (overBar)
        ShowAgain();
}

void Console::Json(const std::string& Unit, const std::string& Doc)
{
    if (prefix_.empty()) {
        Out(Doc + "\n");
        return;
    }
    // A document's line breaks and indents are never inside its strings, which escape them.
    std::string line = "{\"unit\": " + JsonString(Unit) + ", \"result\": ";
    for (size_t i = 0; i < Doc.size(); ++i) {
        if (Doc[i] != '\n') {
            line += Doc[i];
            continue;
        }
        while (i + 1 < Doc.size() && Doc[i + 1] == ' ')
            ++i;
    }
    line += "}\n";
    const std::lock_guard<std::mutex> guard(g_lock);
    Hide();
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
    ShowAgain();
}

void Console::Flush()
{
    for (auto [stream, pending] : {std::make_pair(stdout, &pendingOut_), std::make_pair(stderr, &pendingErr_)}) {
        if (!pending->empty())
            Write(stream, *pending, "\n");
    }
}

// ---- progress ----

class ProgressMeter {
public:
    ProgressMeter(Console& Out, std::string Label, bool Quiet)
        : out_(Out), label_(std::move(Label)), quiet_(Quiet || g_form == Form::None), lastLine_(Clock::now())
    {
    }

    void Moved(int32_t Position, int32_t Total)
    {
        if (quiet_ || Position < 0)
            return;
        {
            const std::lock_guard<std::mutex> guard(g_lock);
            g_job.bytesDone += std::max<int64_t>(Position - last_, 0);
            last_ = Position;
            if (ProgressOnTerminal()) {
                if (Clock::now() - g_job.lastDraw >= kRedrawEvery || Position == Total || WindowResized())
                    Draw();
                return;
            }
        }
        // A line when the file is complete, and for a long one now and then before.
        if (Position != Total && Clock::now() - lastLine_ < kLineEvery)
            return;
        lastLine_ = Clock::now();
        const int32_t percent = Total > 0 ? static_cast<int32_t>(100.0 * Position / Total) : 100;
        out_.Err(label_ + ": " + std::to_string(Position) + " of " + std::to_string(Total) + " bytes (" +
                 std::to_string(percent) + "%)\n");
    }

private:
    Console& out_;
    std::string label_;
    bool quiet_;
    int32_t last_ = 0;
    Clock::time_point lastLine_;
};

namespace {

void ZQK_CALL OnProgress(intptr_t Meter, int32_t Position, int32_t Total)
{
    reinterpret_cast<ProgressMeter*>(Meter)->Moved(Position, Total);
}

}  // namespace

void ChooseProgress(const Options& Opts)
{
    const bool line = Opts.progress == ProgressChoice::Always ||
                      (Opts.progress == ProgressChoice::ByTerminal && IsTerminal(stderr));
    g_form = Opts.quiet || Opts.progress == ProgressChoice::Never ? Form::None : line ? Form::Line : Form::Lines;
    if (g_form == Form::Line)
        WatchWindowSize();
}

void PlanProgress(int64_t Files, int64_t Bytes)
{
    const std::lock_guard<std::mutex> guard(g_lock);
    StartIfNeeded();
    g_job.filesPlanned += Files;
    g_job.bytesPlanned += Bytes;
}

FileProgress::FileProgress(Unit& U, const std::string& Label, const std::string& Name, bool Quiet)
    : unit_(U), meter_(new ProgressMeter(U.console, Label, Quiet))
{
    {
        const std::lock_guard<std::mutex> guard(g_lock);
        StartIfNeeded();
        g_job.current = Name;
        if (!Quiet && ProgressOnTerminal())
            Draw();
    }
    zqkDevSetCallback(unit_.handle, OnProgress, reinterpret_cast<intptr_t>(meter_));
}

FileProgress::~FileProgress()
{
    zqkDevSetCallback(unit_.handle, nullptr, 0);
    delete meter_;
}

void FileProgress::Done()
{
    const std::lock_guard<std::mutex> guard(g_lock);
    ++g_job.filesDone;
    if (g_job.drawn)
        Draw();
}

void EndProgress()
{
    const std::lock_guard<std::mutex> guard(g_lock);
    Hide();  // the summary says how it ended
    std::fflush(stderr);
    g_job = Job {};
}

std::string FittedLine(const std::string& Bar, const std::string& Figures, const std::string& Path, size_t Columns)
{
    const size_t room = Columns > 1 ? Columns - 1 : 0;
    for (const std::string& front : {Bar + Figures, Figures}) {
        if (front.size() + 2 + Path.size() <= room)
            return front + "  " + Path;
        if (front.size() + 2 + kShortestPath <= room)
            return front + "  " + PathEnd(Path, room - front.size() - 2);
    }
    return Figures.substr(0, room);
}

std::string HumanSize(double Bytes)
{
    const char* units[] = {"B", "KiB", "MiB", "GiB"};
    int unit = 0;
    while (Bytes >= 1024 && unit < 3) {
        Bytes /= 1024;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", Bytes, units[unit]);
    return text;
}

std::string Shown(const std::string& Text)
{
    std::string shown;
    for (const char c : Text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            shown += escaped;
        } else {
            shown += c;
        }
    }
    return shown;
}

}  // namespace zqktool
