// The console that the progress line is drawn on, on Windows: its window's
// width, read again for each look, since a console tells no program of a
// change of its size; and Ctrl-C waited for.
#include <cstdio>

#include <io.h>
#include <windows.h>

#include "tool.h"

namespace zqktool {

namespace {

size_t g_lastColumns = 0;  // read under the progress display's lock
HANDLE g_interrupted = nullptr;  // set by Ctrl-C, Ctrl-Break or the console closing

BOOL WINAPI OnConsoleControl(DWORD)
{
    SetEvent(g_interrupted);
    return TRUE;
}

}  // namespace

bool IsTerminal(std::FILE* Stream)
{
    return _isatty(_fileno(Stream)) != 0;
}

size_t TerminalColumns(std::FILE* Stream)
{
    const auto console = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(Stream)));
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (console == INVALID_HANDLE_VALUE || !GetConsoleScreenBufferInfo(console, &info))
        return 0;
    return static_cast<size_t>(info.srWindow.Right - info.srWindow.Left + 1);
}

void WatchWindowSize()
{
    g_lastColumns = TerminalColumns(stderr);
}

bool WindowResized()
{
    const size_t columns = TerminalColumns(stderr);
    const bool changed = columns != g_lastColumns;
    g_lastColumns = columns;
    return changed;
}

void HoldInterrupts()
{
    g_interrupted = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

void WaitForInterrupt(int32_t TimeoutMs)
{
    WaitForSingleObject(g_interrupted, TimeoutMs < 0 ? INFINITE : static_cast<DWORD>(TimeoutMs));
}

}  // namespace zqktool
