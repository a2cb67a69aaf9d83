#include "machine/windows_family.h"

#include "platform/win.h"

DWORD windows_platform(void)
{
    OSVERSIONINFOA info;
    memset(&info, 0, sizeof info);
    // 148 is the size that every Windows of both families accepts.
    info.dwOSVersionInfoSize = 148;
    return GetVersionExA(&info) ? info.dwPlatformId : 0;
}

bool is_nt_family(void)
{
    return windows_platform() == VER_PLATFORM_WIN32_NT;
}
