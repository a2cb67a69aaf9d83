// Which family of Windows the tool runs on.
#ifndef CLEAN_WINDOWS_FAMILY_H
#define CLEAN_WINDOWS_FAMILY_H

#include "platform/win.h"

// Asked afresh at each call: the platform id (VER_PLATFORM_WIN32_NT for the NT family,
// VER_PLATFORM_WIN32_WINDOWS for the 9x family), or 0 when Windows does not say.
DWORD windows_platform(void);

// True for the NT family, false for any other answer, none included.
bool is_nt_family(void);

#endif
