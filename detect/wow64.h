// Whether the tool runs as a 32-bit program on 64-bit Windows (WoW64), where the system
// directory and parts of the registry have a 64-bit place of their own.
#ifndef DETECT_WOW64_H
#define DETECT_WOW64_H

#include "platform/win.h"

enum wow64_side {
    NO_64BIT_SIDE,    // 32-bit Windows, or one without WoW64 calls (9x, NT 4, 2000)
    HAS_64BIT_SIDE,   // x64, or ARM64 running the tool under x86 emulation
    CANNOT_TELL_64BIT_SIDE,  // the question failed: either may be true
};

// Asked afresh at each call; the calls are looked up at run time, so the exe still loads on
// Windows without them. IsWow64Process2 answers on x64 and ARM64 alike; where it is not
// exported, IsWow64Process does (on ARM64 it says FALSE for an emulated x86 program, but
// every ARM64 Windows exports IsWow64Process2). A call that is not exported says there is
// no 64-bit side; any other failure, of the lookup or of the call, cannot tell.
wow64_side find_64bit_side(void);

// A call of KERNEL32 looked up at run time: the export, or NULL with *absent telling whether
// Windows has no such call. On a kernel32 that exports a call, GetProcAddress fails only
// otherwise (a forwarded export whose target does not load), and then nothing is known.
FARPROC find_call(HMODULE kernel32, const char *name, bool *absent);

#endif
