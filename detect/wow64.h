// Whether the tool runs as a 32-bit program on 64-bit Windows (WoW64), where the system
// directory and parts of the registry have a 64-bit place of their own.
#ifndef DETECT_WOW64_H
#define DETECT_WOW64_H

// Asked afresh at each call. IsWow64Process is looked up at run time: a Windows without it
// (the 9x family, NT 4, 2000) runs no WoW64, and neither does one whose answer fails.
bool running_under_wow64(void);

#endif
