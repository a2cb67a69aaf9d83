// Deletion (or renaming) of a file when Windows next starts.
#ifndef CLEAN_BOOT_DELETE_H
#define CLEAN_BOOT_DELETE_H

#define WININIT_PATH_SIZE 260
#define WININIT_LINE_SIZE 500
// WININIT.INI and the files compared with it are read and written in blocks of this size.
#define WININIT_BLOCK_SIZE 4096

// An entry line: a name of up to 259 characters, "=", a path of up to 259, and the line end.
#define WININIT_ENTRY_SIZE (2 * WININIT_PATH_SIZE + 2)

// 9x family: tidies what an edit for path (and new_name, as given to schedule_delete_at_boot)
// left when it was cut off, and only files whose content proves them the edit's own: a
// WININIT.OLD beside no WININIT.INI and a WININIT.NEW that is exactly its copy with the
// entry gets its name back; a WININIT.NEW that is the copy of WININIT.INI, or a front part of
// it, goes, and so does a WININIT.OLD of which WININIT.INI is the copy, and the tool's own
// WININIT.TMR when it is a front part of WININIT.INI. Files are compared block by block.
// Anything else is left as it is; prints nothing.
void restore_set_aside_wininit(const char *path, const char *new_name);

// Arranges that at the next start of Windows the file at path is deleted, or moved to
// new_name when that is not NULL. NT family: a pending move kept by Windows. 9x family: an
// entry "NUL=<path>" (or "<new_name>=<path>", path by its short form when it has one) first
// in the [rename] section of WININIT.INI (which must be ANSI text: no byte-order mark, no
// NUL byte), rebuilt through WININIT.NEW, which must not exist
// yet (one that is there is never written); WININIT.INI is replaced only by a copy written in full, and
// is set aside as WININIT.OLD until that copy has taken its place, so other programs'
// entries are never lost: when any step fails, WININIT.INI is as it was and neither
// WININIT.NEW nor WININIT.OLD is left; when WININIT.OLD cannot be given back, the copy stays
// as WININIT.INI, or both stay for restore_set_aside_wininit. The aside file's bytes go back
// by copy only through WININIT.TMR, renamed once whole. Prints nothing. True when the deletion is
// arranged: NT, Windows accepted the pending move; 9x, WININIT.INI now holds the entry.
bool schedule_delete_at_boot(const char *path, const char *new_name);

#endif
