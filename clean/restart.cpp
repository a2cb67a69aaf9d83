#include "clean/restart.h"

#include "clean/windows_family.h"

typedef BOOL(WINAPI *exit_windows_ex_fn)(UINT flags, DWORD reason);

// The error of a call that failed. One that leaves no error still failed: 0 would say
// Windows accepted, and the run would wait for a restart that never comes.
static DWORD failure(void)
{
    DWORD error = GetLastError();
    return error != 0 ? error : ERROR_GEN_FAILURE;
}

// USER32 is loaded here and not at start: loading it is the largest single cost of a
// start, and only the restart needs it. It stays loaded, as the process ends with Windows
// (or waits for the user to reboot). NULL with the last error set when it cannot be had.
static exit_windows_ex_fn find_exit_windows_ex(void)
{
    HMODULE user32 = LoadLibraryA("user32.dll");
    if (user32 == NULL)
        return NULL;
    // Through void (*)(void), which the compiler takes as matching every function type.
    return (exit_windows_ex_fn)(void (*)(void))GetProcAddress(user32, "ExitWindowsEx");
}

static DWORD exit_windows(UINT flags, DWORD reason)
{
    exit_windows_ex_fn exit_windows_ex = find_exit_windows_ex();
    if (exit_windows_ex == NULL)
        return failure();
    return exit_windows_ex(flags, reason) ? 0 : failure();
}

// The NT family lets a process reboot only with the shutdown privilege enabled.
static DWORD enable_shutdown_privilege(HANDLE token)
{
    TOKEN_PRIVILEGES privileges;
    if (!LookupPrivilegeValueA(NULL, SE_SHUTDOWN_NAME, &privileges.Privileges[0].Luid))
        return failure();
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    // Success here does not mean the privilege was held: ExitWindowsEx then tells.
    if (!AdjustTokenPrivileges(token, FALSE, &privileges, 0, NULL, NULL))
        return failure();
    return 0;
}

DWORD restart_windows(UINT flags, DWORD reason)
{
    if (!is_nt_family())
        return exit_windows(flags, reason);
    HANDLE token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token))
        return failure();
    DWORD error = enable_shutdown_privilege(token);
    if (error == 0)
        error = exit_windows(flags, reason);
    CloseHandle(token);
    return error;
}
