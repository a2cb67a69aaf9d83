// The log's file, opened so that the record goes to a plain file of its own and nowhere else:
// a run with an administrator's or SYSTEM's rights must not append to whatever another user
// put at the path (a link to a file they may not change, a device).
#ifndef FRONTEND_LOG_FILE_H
#define FRONTEND_LOG_FILE_H

#include "platform/win.h"

// The file at path as a stream that appends, or NULL with nothing written. On the NT family
// a new file is created where nothing is; an existing one is opened without following a
// reparse point at the path, and taken only when it is a disk file (no device, pipe or
// console), no directory, no reparse point, of one hard link, and, where Windows has
// GetFinalPathNameByHandleA (Vista on), found by its final path in its folder under the name
// asked for. The 9x family, which has none of these, opens or creates it as it is.
// *mid_line tells whether the file ends in the middle of a line (a run cut off).
FILE *open_log(const char *path, bool *mid_line);

#endif
