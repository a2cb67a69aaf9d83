#include "clean/boot_delete.h"

#include "clean/windows_family.h"
#include "clean/worm_file.h"
#include "platform/win.h"

#define RENAME_HEADER "[rename]"
#define RENAME_HEADER_UPPER "[RENAME]"
#define RENAME_HEADER_LENGTH 8
// The line end of the lines the tool writes itself.
#define LINE_END "\r\n"
// The line's first text after blanks is something other than the header.
#define NOT_A_HEADER (-1)

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

// Follows one line through the pieces it comes in: how much of "[rename]", in any letter
// case, its first text after blanks has matched so far (RENAME_HEADER_LENGTH: the line is a
// header, whatever follows), or NOT_A_HEADER. Starts at 0 on each line.
static int match_header(int matched, const char *piece, size_t length)
{
    for (size_t i = 0; i < length && matched != NOT_A_HEADER && matched < RENAME_HEADER_LENGTH; i++) {
        char c = piece[i];
        if (matched == 0 && (c == ' ' || c == '\t'))
            continue;
        if (c == RENAME_HEADER[matched] || c == RENAME_HEADER_UPPER[matched])
            matched++;
        else
            matched = NOT_A_HEADER;
    }
    return matched;
}

// Copies WININIT.INI (in may be NULL: there is none) into out with the entry as the first
// line of the first [rename] section, or in a new section at the end. The entry always
// starts a line of its own: after a header line longer than one piece, or the header as
// the last line without a line end, it waits for the line's end. False on any read or
// write error.
static bool copy_with_entry(FILE *in, FILE *out, const char *target, const char *path)
{
    bool header_seen = false;
    bool entry_written = false;
    bool at_line_start = true;
    int header_matched = 0;
    char line[WININIT_LINE_SIZE];
    size_t length = 0;
    while (in != NULL && (length = read_piece(line, length, in)) > 0) {
        header_matched = match_header(header_matched, line, length);
        if (header_matched == RENAME_HEADER_LENGTH)
            header_seen = true;
        if (fwrite(line, 1, length, out) != length)
            return false;
        at_line_start = line[length - 1] == '\n';
        if (at_line_start)
            header_matched = 0;
        if (header_seen && !entry_written && at_line_start) {
            entry_written = true;
            if (fprintf(out, "%s=%s" LINE_END, target, path) < 0)
                return false;
        }
    }
    if (in != NULL && ferror(in))
        return false;
    // A last line without a line end stays so, unless the tool's own lines follow it.
    if (!entry_written && !at_line_start && fputs(LINE_END, out) < 0)
        return false;
    if (!header_seen && fputs(RENAME_HEADER LINE_END, out) < 0)
        return false;
    if (!entry_written && fprintf(out, "%s=%s" LINE_END, target, path) < 0)
        return false;
    return true;
}

// Deletes a file of the tool's own that is not to stay; the step it served has failed.
static bool discard(const char *path)
{
    DeleteFileA(path);
    return false;
}

// Closes a stream the tool has written: true when the writes so far went well (written)
// and everything reached the file; the close flushes what is still buffered, and says so
// when that fails.
static bool close_written(FILE *out, bool written)
{
    written = !ferror(out) && written;
    return fclose(out) == 0 && written;
}

// Copies the file at from to a new file at to, byte for byte; false when any step failed.
static bool copy_bytes(const char *from, const char *to)
{
    FILE *in = win_fopen(from, "rb");
    if (in == NULL)
        return false;
    FILE *out = win_fopen(to, "wb");
    if (out == NULL) {
        fclose(in);
        return false;
    }
    char block[WININIT_LINE_SIZE];
    size_t length;
    bool complete = true;
    while (complete && (length = fread(block, 1, sizeof block, in)) > 0)
        complete = fwrite(block, 1, length, out) == length;
    complete = !ferror(in) && complete;
    fclose(in);
    return close_written(out, complete);
}

// A copy cut short must not pass for the user's file, whose aside copy is whole. One that
// cannot go is emptied: an empty WININIT.INI carries nothing out at boot, and the next run
// puts the aside file back in its place.
static void drop_cut_copy(const char *path)
{
    if (DeleteFileA(path) || !file_exists(path))
        return;
    FILE *out = win_fopen(path, "wb");
    if (out != NULL)
        fclose(out);
}

// Gives the set-aside WININIT.INI its name back. When the rename is refused its bytes go
// back through a copy, so that the user's entries never stay under the aside name alone.
// False when neither way brought it back.
static bool put_back(const char *old_path, const char *ini_path, DWORD attributes)
{
    if (!MoveFileA(old_path, ini_path)) {
        if (!copy_bytes(old_path, ini_path)) {
            drop_cut_copy(ini_path);
            return false;
        }
        SetFileAttributesA(old_path, FILE_ATTRIBUTE_NORMAL);
        DeleteFileA(old_path);
    }
    SetFileAttributesA(ini_path, attributes);
    return true;
}

// Puts the complete copy at new_path in the place of WININIT.INI (had_ini: there is one)
// with the 9x family's calls alone, so that at every moment a complete WININIT.INI is there
// under its own name or set aside under old_path, from where it goes back when a step
// fails. MoveFileA never replaces a file: another program's file of the aside name stops
// the change instead of being lost. When the aside file cannot come back, the copy, as
// complete and with the entry, takes the name Windows reads; failing that too, both stay as
// the pair that the next run puts back (restore_set_aside_wininit). True when WININIT.INI
// now holds the copy.
static bool replace_wininit(const char *ini_path, const char *new_path, const char *old_path, bool had_ini)
{
    if (!had_ini)
        return MoveFileA(new_path, ini_path) || discard(new_path);
    // Kept to give the user's file back exactly as it was.
    DWORD attributes = GetFileAttributesA(ini_path);
    if (attributes == INVALID_FILE_ATTRIBUTES || !MoveFileA(ini_path, old_path))
        return discard(new_path);
    if (MoveFileA(new_path, ini_path)) {
        // A read-only copy would refuse the deletion.
        SetFileAttributesA(old_path, FILE_ATTRIBUTE_NORMAL);
        if (DeleteFileA(old_path))
            return true;
        // The new file goes out again so that the old one can come back; if it cannot,
        // the entry stays arranged.
        if (!MoveFileA(ini_path, new_path))
            return true;
    }
    if (put_back(old_path, ini_path, attributes))
        return discard(new_path);
    return MoveFileA(new_path, ini_path) != FALSE;
}

// The three names of the edit, in the Windows directory; false when any does not fit.
static bool wininit_paths(char *ini_path, char *new_path, char *old_path)
{
    char dir[WININIT_LINE_SIZE];
    UINT length = GetWindowsDirectoryA(dir, WININIT_LINE_SIZE);
    if (length == 0 || length >= WININIT_LINE_SIZE)
        return false;
    return make_path(ini_path, dir, "\\WININIT.INI") && make_path(new_path, dir, "\\WININIT.NEW") &&
           make_path(old_path, dir, "\\WININIT.OLD");
}

// An empty WININIT.INI beside the edit's pair is a cut copy the edit emptied: nothing is
// lost with it.
static bool delete_if_empty(const char *path)
{
    FILE *in = win_fopen(path, "rb");
    if (in == NULL)
        return false;
    char byte;
    bool empty = fread(&byte, 1, 1, in) == 0 && !ferror(in);
    fclose(in);
    return empty && DeleteFileA(path);
}

void restore_set_aside_wininit(void)
{
    if (is_nt_family())
        return;
    char ini_path[WININIT_PATH_SIZE];
    char new_path[WININIT_PATH_SIZE];
    char old_path[WININIT_PATH_SIZE];
    if (!wininit_paths(ini_path, new_path, old_path) || !file_exists(old_path))
        return;
    // Only the edit leaves WININIT.OLD and WININIT.NEW without a WININIT.INI, or with an
    // empty one in its place; the new file is its copy, which the run that made it did not
    // get to put in place.
    if (!file_exists(new_path) || !(known_absent(ini_path) || delete_if_empty(ini_path)))
        return;
    if (MoveFileA(old_path, ini_path))
        DeleteFileA(new_path);
}

// Windows carries out WININIT.INI before long names are known: the entry names the file by
// its short form, or by path itself where it has none.
static const char *boot_time_name(const char *path, char *short_path)
{
    DWORD length = GetShortPathNameA(path, short_path, WININIT_PATH_SIZE);
    return length > 0 && length < WININIT_PATH_SIZE ? short_path : path;
}

static bool schedule_in_wininit(const char *path, const char *new_name)
{
    char ini_path[WININIT_PATH_SIZE];
    char new_path[WININIT_PATH_SIZE];
    char old_path[WININIT_PATH_SIZE];
    if (!wininit_paths(ini_path, new_path, old_path))
        return false;
    // A WININIT.NEW that is already there is another program's, or one that may be: it is
    // never opened for writing.
    if (!known_absent(new_path))
        return false;
    char short_path[WININIT_PATH_SIZE];
    const char *entry_path = boot_time_name(path, short_path);

    // Binary both ways: every byte of the user's file is copied, those behind a DOS
    // end-of-file byte too, and each line keeps its own line end.
    FILE *in = win_fopen(ini_path, "rb");
    // One that exists but cannot be read would be replaced by a file without its entries.
    if (in == NULL && file_exists(ini_path))
        return false;
    FILE *out = win_fopen(new_path, "wb");
    if (out == NULL) {
        if (in != NULL)
            fclose(in);
        return false;
    }
    bool complete = copy_with_entry(in, out, new_name != NULL ? new_name : "NUL", entry_path);
    bool had_ini = in != NULL;
    if (in != NULL)
        fclose(in);
    complete = close_written(out, complete);
    // A copy cut short by a full disk must never take the place of the user's file.
    if (!complete)
        return discard(new_path);
    return replace_wininit(ini_path, new_path, old_path, had_ini);
}

bool schedule_delete_at_boot(const char *path, const char *new_name)
{
    if (is_nt_family())
        return MoveFileExA(path, new_name, MOVEFILE_REPLACE_EXISTING | MOVEFILE_DELAY_UNTIL_REBOOT) != FALSE;
    return schedule_in_wininit(path, new_name);
}
