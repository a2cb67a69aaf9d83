// Which family of Windows the tool runs on.
#ifndef CLEAN_WINDOWS_FAMILY_H
#define CLEAN_WINDOWS_FAMILY_H

// Asked afresh at each call: true for the NT family (platform id 2), false for any other.
bool is_nt_family(void);

#endif
