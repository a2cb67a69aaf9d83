#include "clean/boot_delete.h"

#include "clean/windows_family.h"
#include "clean/worm_file.h"
#include "platform/win.h"

#define RENAME_HEADER "[rename]"

static bool make_path(char *path, const char *dir, const char *name)
{
    int length = snprintf(path, WININIT_PATH_SIZE, "%s%s", dir, name);
    path[WININIT_PATH_SIZE - 1] = '\0';
    return length > 0 && length < WININIT_PATH_SIZE;
}

// Reads one piece (a line with its line end, or at most 498 characters of a longer line)
// and returns its length in bytes, NUL bytes inside it included; 0 at the end of the file.
// previous is the length this returned for the piece before in the same buffer, 0 at first.
static size_t read_piece(char *line, size_t previous, FILE *in)
{
    // The last NUL in the buffer is the one that ends the piece: the bytes behind it are
    // still the fill. fgets wrote only up to the previous piece's NUL, so only that part
    // needs filling again.
    memset(line, 1, previous == 0 ? WININIT_LINE_SIZE : previous + 1);
    if (fgets(line, WININIT_READ_SIZE, in) == NULL)
        return 0;
    // Most pieces are short lines: fgets stops at the first line feed, so the first one in
    // the buffer ends the piece, and the fill after it holds none.
    for (size_t at = 0; at < WININIT_READ_SIZE - 1; at++) {
        if (line[at] == '\n')
            return at + 1;
    }
    size_t end = WININIT_READ_SIZE - 1;
    while (end > 0 && line[end] != '\0')
        end--;
    return end;
}

// Copies WININIT.INI (in may be NULL: there is none) into out with the entry as the first
// line of the first [rename] section, or in a new section at the end. The entry always
// starts a line of its own: after a header piece that ends without a line end (the header
// is the last line, or lies inside a longer line) it waits for the line's end. False on
// any read or write error.
static bool copy_with_entry(FILE *in, FILE *out, const char *target, const char *path)
{
    bool header_seen = false;
    bool entry_written = false;
    bool at_line_start = true;
    char line[WININIT_LINE_SIZE];
    size_t length = 0;
    while (in != NULL && (length = read_piece(line, length, in)) > 0) {
        if (contains_nocase(line, RENAME_HEADER) != NULL)
            header_seen = true;
        if (fwrite(line, 1, length, out) != length)
            return false;
        at_line_start = line[length - 1] == '\n';
        if (header_seen && !entry_written && at_line_start) {
            entry_written = true;
            if (fprintf(out, "%s=%s\n", target, path) < 0)
                return false;
        }
    }
    if (in != NULL && ferror(in))
        return false;
    if (!at_line_start && fputs("\n", out) < 0)
        return false;
    if (!header_seen && fprintf(out, "%s\n", RENAME_HEADER) < 0)
        return false;
    if (!entry_written && fprintf(out, "%s=%s\n", target, path) < 0)
        return false;
    return true;
}

static void schedule_in_wininit(const char *path, const char *new_name)
{
    char dir[WININIT_LINE_SIZE];
    UINT length = GetWindowsDirectoryA(dir, WININIT_LINE_SIZE);
    if (length == 0 || length >= WININIT_LINE_SIZE)
        return;
    char ini_path[WININIT_PATH_SIZE];
    char new_path[WININIT_PATH_SIZE];
    if (!make_path(ini_path, dir, "\\WININIT.INI") || !make_path(new_path, dir, "\\WININIT.NEW"))
        return;

    FILE *in = fopen(ini_path, "rt");
    // One that exists but cannot be read would be replaced by a file without its entries.
    if (in == NULL && file_exists(ini_path))
        return;
    FILE *out = fopen(new_path, "wt");
    if (out == NULL) {
        if (in != NULL)
            fclose(in);
        return;
    }
    bool complete = copy_with_entry(in, out, new_name != NULL ? new_name : "NUL", path);
    if (in != NULL)
        fclose(in);
    complete = fflush(out) == 0 && !ferror(out) && complete;
    complete = fclose(out) == 0 && complete;
    // A copy cut short by a full disk must never take the place of the user's file.
    if (!complete) {
        DeleteFileA(new_path);
        return;
    }
    SetFileAttributesA(ini_path, FILE_ATTRIBUTE_NORMAL);
    DeleteFileA(ini_path);
    MoveFileA(new_path, ini_path);
}

void schedule_delete_at_boot(const char *path, const char *new_name)
{
    if (is_nt_family())
        MoveFileExA(path, new_name, MOVEFILE_REPLACE_EXISTING | MOVEFILE_DELAY_UNTIL_REBOOT);
    else
        schedule_in_wininit(path, new_name);
}
