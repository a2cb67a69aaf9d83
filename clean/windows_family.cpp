#include "clean/windows_family.h"

#include "platform/win.h"

bool is_nt_family(void)
{
    OSVERSIONINFOA info;
    memset(&info, 0, sizeof info);
    // 148 is the size that every Windows of both families accepts.
    info.dwOSVersionInfoSize = 148;
    GetVersionExA(&info);
    return info.dwPlatformId == VER_PLATFORM_WIN32_NT;
}
