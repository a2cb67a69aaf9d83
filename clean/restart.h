// Restart of Windows.
#ifndef CLEAN_RESTART_H
#define CLEAN_RESTART_H

#include "platform/win.h"

// Asks Windows to shut down with flags and reason (ExitWindowsEx's arguments), enabling
// the shutdown privilege first on the NT family. Returns 0 when Windows accepted, else the
// error code of the first call that failed; the later calls are not made.
DWORD restart_windows(UINT flags, DWORD reason);

#endif
