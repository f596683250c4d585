// Library start-up when the DLL is loaded into a process.
#include <windows.h>

#include "api/library.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD Reason, LPVOID)
{
    if (Reason != DLL_PROCESS_ATTACH)
        return TRUE;
    if (zqk::StartLibrary())
        return TRUE;
    OutputDebugStringA("Could not load HID");
    return FALSE;  // LoadLibrary fails cleanly
}
