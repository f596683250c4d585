// Terminal exports: commands, escape, prompt tests and the run mode, for the
// classic functions' device and for handles.
#include "api/export_names.h"
#include "zqkAPI.h"

namespace {

void NoteNoOutput(TzqkDevice& Dev, const std::string& What)
{
    zqk::NoteSilenceOf(Dev, "the device did not answer " + What + " in time");
}

int32_t CommandOn(TzqkDevice& Dev, const char* Command, char* Buffer, int32_t Size, int32_t Timeout)
{
    return zqk::WithDeviceLock<int32_t>(Dev, -1, [&] {
        Dev.Terminal.SendLine(TextArg(Command));
        std::string output;
        if (!Dev.Terminal.WaitPrompt(Timeout, output)) {
            // What is left goes with the next command's flush.
            NoteFailure(Failure::Refused, "the command's output passed 16 MiB without the prompt; the rest is "
                                          "thrown away before the next command");
            return -1;
        }
        if (output.empty() && Dev.Terminal.TimedOut)
            NoteNoOutput(Dev, "the command");
        return ReturnText(output, Buffer, Size);
    });
}

// The terminal's TimedOut belongs to the holder of the device lock: these
// read it before the lock goes, or another thread's read may have set it
// meanwhile. So they take the lock themselves, as their reads would.
int32_t EscapeOn(TzqkDevice& Dev)
{
    const zqk::ExportTurn turn(Dev);
    if (!turn)
        return 1;
    const bool noPassword = Dev.Terminal.Escape();
    if (Dev.Terminal.TimedOut)
        NoteNoOutput(Dev, "the escape");
    return noPassword ? 1 : 0;
}

int32_t FlushPromptOn(TzqkDevice& Dev, char* Buffer, int32_t Size, int32_t Timeout)
{
    const zqk::ExportTurn turn(Dev, Timeout);
    if (!turn)
        return zqk::BufferReturn(std::string(), Buffer, Size);
    std::string text;
    Dev.Terminal.FlushPrompt(Timeout, text);
    if (text.empty() && Dev.Terminal.TimedOut)
        NoteNoOutput(Dev, "with a prompt");
    return ReturnText(text, Buffer, Size);
}

int32_t IsPromptOn(TzqkDevice& Dev, const char* Pattern)
{
    const zqk::ExportTurn turn(Dev);
    if (!turn)
        return 0;
    if (Dev.Terminal.IsPrompt(TextArg(Pattern)))
        return 1;
    if (Dev.Terminal.TimedOut)
        NoteNoOutput(Dev, "the escape");
    return 0;
}

// The run mode from the product string, which a closed device does not give.
template <typename Test>
int32_t RunModeOn(TzqkDevice& Dev, Test&& IsRunning)
{
    if (!Dev.Comms.IsOpen()) {
        NoteFailure(Failure::NotOpen, "the device is not open");
        return 0;
    }
    return IsRunning(Dev.Terminal) ? 1 : 0;
}

int32_t BootloaderOn(TzqkDevice& Dev)
{
    return RunModeOn(Dev, [](zqk::TzqTerminal& t) { return t.IsRunningBootloader(); });
}

int32_t AppOn(TzqkDevice& Dev)
{
    return RunModeOn(Dev, [](zqk::TzqTerminal& t) { return t.IsRunningApp(); });
}

int32_t AteOn(TzqkDevice& Dev)
{
    return RunModeOn(Dev, [](zqk::TzqTerminal& t) { return t.IsRunningATE(); });
}

int32_t SetPromptOn(TzqkDevice& Dev, const char* Prompt)
{
    Dev.Terminal.SetPrompt(TextArg(Prompt));
    return 0;
}

}  // namespace

extern "C" {

ZQK_API int32_t ZQK_CALL zqkCommand(const char* Command, char* Buffer, int32_t Size, int32_t Timeout)
{
    return OnDefault<int32_t>(-1, [=](TzqkDevice& dev) { return CommandOn(dev, Command, Buffer, Size, Timeout); });
}

ZQK_API int32_t ZQK_CALL zqkEscape(void)
{
    return OnDefault<int32_t>(1, EscapeOn);
}

ZQK_API int32_t ZQK_CALL zqkFlushPrompt(char* Buffer, int32_t Size, int32_t Timeout)
{
    return OnDefault<int32_t>(-1, [=](TzqkDevice& dev) { return FlushPromptOn(dev, Buffer, Size, Timeout); });
}

ZQK_API int32_t ZQK_CALL zqkIsPrompt(const char* Pattern)
{
    return OnDefault<int32_t>(0, [=](TzqkDevice& dev) { return IsPromptOn(dev, Pattern); });
}

ZQK_API int32_t ZQK_CALL zqkIsRunningBootloader(void)
{
    return OnDefault<int32_t>(0, BootloaderOn);
}

ZQK_API int32_t ZQK_CALL zqkIsRunningApp(void)
{
    return OnDefault<int32_t>(0, AppOn);
}

ZQK_API int32_t ZQK_CALL zqkIsRunningATE(void)
{
    return OnDefault<int32_t>(0, AteOn);
}

ZQK_API void ZQK_CALL zqkSetPrompt(const char* Prompt)
{
    OnDefault<int32_t>(0, [=](TzqkDevice& dev) { return SetPromptOn(dev, Prompt); });
}

ZQK_API int32_t ZQK_CALL zqkDevCommand(int32_t Device, const char* Command, char* Buffer, int32_t Size,
                                       int32_t Timeout)
{
    return OnHandle<int32_t>(Device, -1,
                             [=](TzqkDevice& dev) { return CommandOn(dev, Command, Buffer, Size, Timeout); });
}

ZQK_API int32_t ZQK_CALL zqkDevEscape(int32_t Device)
{
    return OnHandle<int32_t>(Device, 1, EscapeOn);
}

ZQK_API int32_t ZQK_CALL zqkDevFlushPrompt(int32_t Device, char* Buffer, int32_t Size, int32_t Timeout)
{
    return OnHandle<int32_t>(Device, -1, [=](TzqkDevice& dev) { return FlushPromptOn(dev, Buffer, Size, Timeout); });
}

ZQK_API int32_t ZQK_CALL zqkDevIsPrompt(int32_t Device, const char* Pattern)
{
    return OnHandle<int32_t>(Device, 0, [=](TzqkDevice& dev) { return IsPromptOn(dev, Pattern); });
}

ZQK_API int32_t ZQK_CALL zqkDevIsRunningBootloader(int32_t Device)
{
    return OnHandle<int32_t>(Device, 0, BootloaderOn);
}

ZQK_API int32_t ZQK_CALL zqkDevIsRunningApp(int32_t Device)
{
    return OnHandle<int32_t>(Device, 0, AppOn);
}

ZQK_API int32_t ZQK_CALL zqkDevIsRunningATE(int32_t Device)
{
    return OnHandle<int32_t>(Device, 0, AteOn);
}

ZQK_API void ZQK_CALL zqkDevSetPrompt(int32_t Device, const char* Prompt)
{
    OnHandle<int32_t>(Device, 0, [=](TzqkDevice& dev) { return SetPromptOn(dev, Prompt); });
}

}  // extern "C"
