// The terminal that the progress line is drawn on, on POSIX systems: its
// width from the terminal driver, and SIGWINCH telling that the window
// changed its size.
#include <csignal>
#include <cstdio>

#include <sys/ioctl.h>
#include <unistd.h>

#include "tool.h"

namespace zqktool {

namespace {

volatile std::sig_atomic_t g_resized = 0;

extern "C" void OnWindowChange(int)
{
    g_resized = 1;
}

}  // namespace

bool IsTerminal(std::FILE* Stream)
{
    return isatty(fileno(Stream)) != 0;
}

size_t TerminalColumns(std::FILE* Stream)
{
    winsize size {};
    return ioctl(fileno(Stream), TIOCGWINSZ, &size) == 0 ? size.ws_col : 0;
}

// SA_RESTART: a resize interrupts none of the tool's reads and writes.
void WatchWindowSize()
{
    struct sigaction action {};
    action.sa_handler = OnWindowChange;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGWINCH, &action, nullptr);
}

bool WindowResized()
{
    if (!g_resized)
        return false;
    g_resized = 0;
    return true;
}

}  // namespace zqktool
