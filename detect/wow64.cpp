#include "detect/wow64.h"

#include "clean/windows_family.h"
#include "platform/win.h"

typedef BOOL(WINAPI *is_wow64_process_fn)(HANDLE process, BOOL *wow64);
typedef BOOL(WINAPI *is_wow64_process2_fn)(HANDLE process, USHORT *process_machine,
                                           USHORT *native_machine);

// IMAGE_FILE_MACHINE_UNKNOWN: the process runs natively, not under WoW64.
#define NATIVE_PROCESS 0

FARPROC find_call(HMODULE kernel32, const char *name, bool *absent)
{
    FARPROC call = GetProcAddress(kernel32, name);
    *absent = call == NULL && GetLastError() == ERROR_PROC_NOT_FOUND;
    return call;
}

// A question that failed: the 9x family has no 64-bit side whatever its calls leave as the
// last error (its GetProcAddress need not say ERROR_PROC_NOT_FOUND); elsewhere nothing is known.
static wow64_side cannot_tell(void)
{
    return windows_platform() == VER_PLATFORM_WIN32_WINDOWS ? NO_64BIT_SIDE : CANNOT_TELL_64BIT_SIDE;
}

wow64_side find_64bit_side(void)
{
    // KERNEL32 is in every Windows process: failing to name it says nothing about the machine.
    HMODULE kernel32 = GetModuleHandleA("kernel32.dll");
    if (kernel32 == NULL)
        return cannot_tell();
    bool absent = false;
    // Through void (*)(void), which the compiler takes as matching every function type.
    is_wow64_process2_fn is_wow64_process2 =
        (is_wow64_process2_fn)(void (*)(void))find_call(kernel32, "IsWow64Process2", &absent);
    if (is_wow64_process2 != NULL) {
        USHORT process_machine = NATIVE_PROCESS;
        USHORT native_machine = NATIVE_PROCESS;
        if (!is_wow64_process2(GetCurrentProcess(), &process_machine, &native_machine))
            return cannot_tell();
        return process_machine != NATIVE_PROCESS ? HAS_64BIT_SIDE : NO_64BIT_SIDE;
    }
    if (!absent)
        return cannot_tell();
    is_wow64_process_fn is_wow64_process =
        (is_wow64_process_fn)(void (*)(void))find_call(kernel32, "IsWow64Process", &absent);
    if (is_wow64_process == NULL)
        return absent ? NO_64BIT_SIDE : cannot_tell();
    BOOL wow64 = FALSE;
    if (!is_wow64_process(GetCurrentProcess(), &wow64))
        return cannot_tell();
    return wow64 ? HAS_64BIT_SIDE : NO_64BIT_SIDE;
}
