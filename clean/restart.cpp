#include "clean/restart.h"

#include "clean/windows_family.h"

static DWORD exit_windows(UINT flags, DWORD reason)
{
    return ExitWindowsEx(flags, reason) ? 0 : GetLastError();
}

// The NT family lets a process reboot only with the shutdown privilege enabled.
static DWORD enable_shutdown_privilege(HANDLE token)
{
    TOKEN_PRIVILEGES privileges;
    if (!LookupPrivilegeValueA(NULL, SE_SHUTDOWN_NAME, &privileges.Privileges[0].Luid))
        return GetLastError();
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    // Success here does not mean the privilege was held: ExitWindowsEx then tells.
    if (!AdjustTokenPrivileges(token, FALSE, &privileges, 0, NULL, NULL))
        return GetLastError();
    return 0;
}

DWORD restart_windows(UINT flags, DWORD reason)
{
    if (!is_nt_family())
        return exit_windows(flags, reason);
    HANDLE token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token))
        return GetLastError();
    DWORD error = enable_shutdown_privilege(token);
    if (error == 0)
        error = exit_windows(flags, reason);
    CloseHandle(token);
    return error;
}
