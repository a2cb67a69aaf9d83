// The name under which a file that the tool sees is found by what Windows does at boot.
#ifndef CLEAN_BOOT_PATH_H
#define CLEAN_BOOT_PATH_H

#include <stddef.h>

#define BOOT_PATH_SIZE 260

// Whether the first length characters of a and b are the same, ASCII letters in any case
// (b at least length long; a shorter a differs at its NUL).
bool same_in_any_case(const char *a, const char *b, size_t length);

// Under WoW64 the tool's calls on the system directory reach SysWOW64, but a deletion
// arranged for the boot keeps the name as given and is carried out on the 64-bit system
// directory: a path in the system directory (as GetSystemDirectoryA names it, in any letter
// case) becomes the same path in SysWOW64, written into out (BOOT_PATH_SIZE bytes), which
// is returned. Without a 64-bit side, or for a path elsewhere: path itself. NULL when that
// cannot be told or the SysWOW64 name cannot be had whole: the system directory's name
// would reach another program's file.
const char *path_seen_at_boot(const char *path, char *out);

#endif
