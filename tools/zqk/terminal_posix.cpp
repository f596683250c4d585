// The terminal that the progress line is drawn on, on POSIX systems: its
// width from the terminal driver, and SIGWINCH telling that the window
// changed its size; and Ctrl-C waited for.
#include <cerrno>
#include <csignal>
#include <cstdio>

#include <pthread.h>
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

namespace {

sigset_t Interrupts()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

}  // namespace

// Blocked rather than caught: threads started later inherit the mask, and
// sigtimedwait takes the signal whichever thread it was meant for.
void HoldInterrupts()
{
    const sigset_t set = Interrupts();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void WaitForInterrupt(int32_t TimeoutMs)
{
    const sigset_t set = Interrupts();
    if (TimeoutMs < 0) {
        int signal = 0;
        sigwait(&set, &signal);
        return;
    }
    timespec limit {TimeoutMs / 1000, static_cast<long>(TimeoutMs % 1000) * 1000000L};
    while (sigtimedwait(&set, nullptr, &limit) < 0 && errno == EINTR) {
    }
}

}  // namespace zqktool
