// Progress of transfers: a bar that redraws itself on a terminal, plain lines
// when standard error goes to a file or a pipe.
#include <chrono>
#include <cstdio>
#include <string>

#ifdef _WIN32
#include <io.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <unistd.h>
#endif

#include "tool.h"
#include "zqkAPI.h"

namespace zqktool {

namespace {

using Clock = std::chrono::steady_clock;

struct ProgressState {
    std::string label;
    bool terminal = false;
    Clock::time_point start;
    int32_t lastPercent = -1;
    bool drawn = false;
};

ProgressState g_progress;

std::string Duration(double seconds)
{
    const auto s = static_cast<long>(seconds + 0.5);
    char text[32];
    std::snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
    return text;
}

void DrawBar(int32_t position, int32_t total)
{
    const double elapsed = std::chrono::duration<double>(Clock::now() - g_progress.start).count();
    const double fraction = total > 0 ? static_cast<double>(position) / total : 1.0;
    const double rate = elapsed > 0 ? position / elapsed : 0.0;
    const double left = rate > 0 ? (total - position) / rate : 0.0;
    constexpr int kWidth = 24;
    const int filled = static_cast<int>(fraction * kWidth + 0.5);
    std::string bar = "[" + std::string(filled, '#') + std::string(kWidth - filled, '-') + "]";
    std::fprintf(stderr, "\r%s %s %3d%%  %s / %s  %s/s  %s left ", g_progress.label.c_str(), bar.c_str(),
                 static_cast<int>(fraction * 100), HumanSize(position).c_str(), HumanSize(total).c_str(),
                 HumanSize(rate).c_str(), Duration(left).c_str());
    std::fflush(stderr);
    g_progress.drawn = true;
}

void PrintLine(int32_t position, int32_t total)
{
    const int32_t percent = total > 0 ? static_cast<int32_t>(100.0 * position / total) : 100;
    std::fprintf(stderr, "%s: %d of %d bytes (%d%%)\n", g_progress.label.c_str(), position, total, percent);
    g_progress.lastPercent = percent;
}

void ZQK_CALL OnProgress(int32_t, int32_t position, int32_t total)
{
    if (position < 0 && total < 0) {  // the transfer ended
        if (g_progress.drawn)
            std::fputc('\n', stderr);
        g_progress.drawn = false;
        return;
    }
    if (g_progress.terminal)
        DrawBar(position, total);
    else
        PrintLine(position, total);
}

}  // namespace

void StartProgress(const std::string& Label)
{
    g_progress = ProgressState {};
    g_progress.label = Label;
    g_progress.terminal = IsTerminal(stderr);
    g_progress.start = Clock::now();
    zqkSetCallback(OnProgress, 0);
}

void EndProgress()
{
    zqkSetCallback(nullptr, 0);
    if (g_progress.drawn)
        std::fputc('\n', stderr);
    g_progress.drawn = false;
}

bool IsTerminal(std::FILE* Stream)
{
    return isatty(fileno(Stream)) != 0;
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

}  // namespace zqktool
