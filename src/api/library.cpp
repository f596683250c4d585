#include "api/library.h"

#include "hid/raw_hid.h"

namespace zqk {

namespace {

// Created at load and never freed: callers may reach the library until the
// process ends, also from other libraries' unload code.
Library* g_library = nullptr;

}  // namespace

Library::Library(LibraryOptions Options)
    : Comms(std::move(Options.Device), Options.TimeSource ? *Options.TimeSource : SystemClock::Instance(),
            Options.LockName),
      Terminal(Comms),
      Files(Terminal)
{
    Terminal.SetPrompt(TzqTerminal::kDefaultPrompt);
    Files.OnProgress = [this](TzqkFiles& sender, int32_t position, int32_t total) {
        CallbackShim.Progress(&sender, position, total);
    };
    Files.OnComplete = [this](TzqkFiles& sender) { CallbackShim.Complete(&sender); };
}

std::vector<std::string> DirList::Lines() const
{
    const std::lock_guard<std::mutex> guard(guard_);
    return lines_;
}

void DirList::Replace(std::vector<std::string> NewLines)
{
    const std::lock_guard<std::mutex> guard(guard_);
    lines_.swap(NewLines);
}

std::optional<std::string> DirList::Line(int32_t Index) const
{
    const std::lock_guard<std::mutex> guard(guard_);
    if (Index < 0 || static_cast<size_t>(Index) >= lines_.size())
        return std::nullopt;
    return lines_[static_cast<size_t>(Index)];
}

void FlushBeforeCommand(TzqTerminal& Terminal)
{
    constexpr int32_t kStaleOutputTimeout = 5;
    std::string stale;
    Terminal.FlushPrompt(kStaleOutputTimeout, stale);
}

bool StartLibrary()
{
    if (g_library)
        return true;
    try {
        if (!HidStartUp())
            return false;
        g_library = new Library(LibraryOptions {});
        return true;
    } catch (...) {
        return false;
    }
}

Library* TheLibrary()
{
    return g_library;
}

void RestartLibrary(LibraryOptions Options)
{
    Library* old = g_library;
    g_library = new Library(std::move(Options));
    delete old;
}

}  // namespace zqk
