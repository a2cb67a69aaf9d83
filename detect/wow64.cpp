#include "detect/wow64.h"

#include "platform/win.h"

typedef BOOL(WINAPI *is_wow64_process_fn)(HANDLE process, BOOL *wow64);

bool running_under_wow64(void)
{
    HMODULE kernel32 = GetModuleHandleA("kernel32.dll");
    if (kernel32 == NULL)
        return false;
    // Through void (*)(void), which the compiler takes as matching every function type.
    is_wow64_process_fn is_wow64_process =
        (is_wow64_process_fn)(void (*)(void))GetProcAddress(kernel32, "IsWow64Process");
    BOOL wow64 = FALSE;
    return is_wow64_process != NULL && is_wow64_process(GetCurrentProcess(), &wow64) && wow64;
}
