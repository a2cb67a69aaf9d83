// Which family of Windows the tool runs on: a fact about the machine that both the look
// (detect/) and the cleaning (clean/) read, so it lives below both.
#ifndef MACHINE_WINDOWS_FAMILY_H
#define MACHINE_WINDOWS_FAMILY_H

#include "platform/win.h"

// Asked afresh at each call: the platform id (VER_PLATFORM_WIN32_NT for the NT family,
// VER_PLATFORM_WIN32_WINDOWS for the 9x family), or 0 when Windows does not say.
DWORD windows_platform(void);

// True for the NT family, false for any other answer, none included.
bool is_nt_family(void);

#endif
