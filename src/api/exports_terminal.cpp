// Terminal exports: commands, escape, prompt tests and the run mode.
#include "api/buffer_return.h"
#include "api/device_lock_pattern.h"
#include "api/export_guard.h"
#include "zqkAPI.h"

using zqk::BufferReturn;
using zqk::Guarded;
using zqk::Library;
using zqk::TextArg;

extern "C" {

ZQK_API int32_t ZQK_CALL zqkCommand(const char* Command, char* Buffer, int32_t Size, int32_t Timeout)
{
    return Guarded<int32_t>(-1, [=](Library& lib) {
        return zqk::WithDeviceLock<int32_t>(lib, -1, [&] {
            lib.Terminal.SendLine(TextArg(Command));
            std::string output;
            if (!lib.Terminal.WaitPrompt(Timeout, output))
                return -1;  // past 16 MiB: what is left goes with the next command's flush
            return BufferReturn(output, Buffer, Size);
        });
    });
}

ZQK_API int32_t ZQK_CALL zqkEscape(void)
{
    return Guarded<int32_t>(1, [](Library& lib) { return lib.Terminal.Escape() ? 1 : 0; });
}

ZQK_API int32_t ZQK_CALL zqkFlushPrompt(char* Buffer, int32_t Size, int32_t Timeout)
{
    return Guarded<int32_t>(-1, [=](Library& lib) {
        std::string text;
        lib.Terminal.FlushPrompt(Timeout, text);
        return BufferReturn(text, Buffer, Size);
    });
}

ZQK_API int32_t ZQK_CALL zqkIsPrompt(const char* Pattern)
{
    return Guarded<int32_t>(0, [=](Library& lib) { return lib.Terminal.IsPrompt(TextArg(Pattern)) ? 1 : 0; });
}

ZQK_API int32_t ZQK_CALL zqkIsRunningBootloader(void)
{
    return Guarded<int32_t>(0, [](Library& lib) { return lib.Terminal.IsRunningBootloader() ? 1 : 0; });
}

ZQK_API int32_t ZQK_CALL zqkIsRunningApp(void)
{
    return Guarded<int32_t>(0, [](Library& lib) { return lib.Terminal.IsRunningApp() ? 1 : 0; });
}

ZQK_API int32_t ZQK_CALL zqkIsRunningATE(void)
{
    return Guarded<int32_t>(0, [](Library& lib) { return lib.Terminal.IsRunningATE() ? 1 : 0; });
}

ZQK_API void ZQK_CALL zqkSetPrompt(const char* Prompt)
{
    zqk::GuardedVoid([=](Library& lib) { lib.Terminal.SetPrompt(TextArg(Prompt)); });
}

}  // extern "C"
