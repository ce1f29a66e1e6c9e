// Entry point of oxrhttp.dll. The process-wide objects (log sink, then
// session registry) are built by the C++ runtime before this runs.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD dwReason, LPVOID) {
    if (dwReason == DLL_PROCESS_ATTACH) {
        DisableThreadLibraryCalls(hInstance);
    }
    return TRUE;
}
