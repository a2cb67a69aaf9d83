#include "clean/boot_delete.h"

#include "clean/worm_file.h"
#include "machine/windows_family.h"
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

// Follows one line through the parts it comes in: how much of "[rename]", in any letter
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

// Where the bytes of copy_with_entry go: written to out, or, where out is NULL, held
// against the bytes of the file match, for the proof that a file is the tool's own copy.
struct copy_sink {
    FILE *out;
    FILE *match;
    bool differs;  // a byte of match is not the one the copy has there
    bool ended;    // match ended before the copy did, or could not be read on
};

// False when the bytes could not be written, or when they are no longer matched (a byte
// differs or match has ended): the rest of the copy would tell nothing more.
static bool emit(struct copy_sink *sink, const char *bytes, size_t length)
{
    if (sink->out != NULL)
        return fwrite(bytes, 1, length, sink->out) == length;
    char block[WININIT_BLOCK_SIZE];
    while (length > 0) {
        size_t want = length < sizeof block ? length : sizeof block;
        size_t got = fread(block, 1, want, sink->match);
        if (memcmp(block, bytes, got) != 0)
            sink->differs = true;
        if (got < want)
            sink->ended = true;
        if (sink->differs || sink->ended)
            return false;
        bytes += got;
        length -= got;
    }
    return true;
}

static bool emit_text(struct copy_sink *sink, const char *text)
{
    return emit(sink, text, strlen(text));
}

// Appending ANSI lines to a file of another encoding (a byte-order mark first, or NUL bytes
// inside: UTF-16 text) would arrange nothing, and could spoil the entries it holds. first:
// the block is the file's first.
static bool is_ansi_block(const char *block, size_t length, bool first)
{
    if (memchr(block, '\0', length) != NULL)
        return false;
    return !first || !((length >= 3 && memcmp(block, "\xEF\xBB\xBF", 3) == 0) ||
                       (length >= 2 && (memcmp(block, "\xFF\xFE", 2) == 0 ||
                                        memcmp(block, "\xFE\xFF", 2) == 0)));
}

// Copies WININIT.INI (in may be NULL: there is none) into sink with the entry line as the
// first line of the first [rename] section, or in a new section at the end. The entry always
// starts a line of its own: after a header line longer than a block, or the header as the
// last line without a line end, it waits for the line's end. The file is read in whole
// blocks, and its lines are looked at only until the entry is written. False on any read or
// write error, and for a WININIT.INI that is not ANSI text.
static bool copy_with_entry(FILE *in, struct copy_sink *sink, const char *entry)
{
    bool header_seen = false;
    bool entry_written = false;
    bool at_line_start = true;
    int header_matched = 0;
    char block[WININIT_BLOCK_SIZE];
    size_t length;
    bool first = true;
    while (in != NULL && (length = fread(block, 1, sizeof block, in)) > 0) {
        if (!is_ansi_block(block, length, first))
            return false;
        first = false;
        size_t written = 0;  // the bytes of the block already given to sink
        for (size_t at = 0; !entry_written && at < length;) {
            const char *feed = (const char *)memchr(block + at, '\n', length - at);
            size_t end = feed != NULL ? (size_t)(feed - block) + 1 : length;
            header_matched = match_header(header_matched, block + at, end - at);
            if (header_matched == RENAME_HEADER_LENGTH)
                header_seen = true;
            at = end;
            if (feed == NULL)
                break;
            header_matched = 0;
            if (header_seen) {
                entry_written = true;
                if (!emit(sink, block + written, at - written) || !emit_text(sink, entry))
                    return false;
                written = at;
            }
        }
        if (!emit(sink, block + written, length - written))
            return false;
        at_line_start = block[length - 1] == '\n';
    }
    if (in != NULL && ferror(in))
        return false;
    // A last line without a line end stays so, unless the tool's own lines follow it.
    if (!entry_written && !at_line_start && !emit_text(sink, LINE_END))
        return false;
    if (!header_seen && !emit_text(sink, RENAME_HEADER LINE_END))
        return false;
    return entry_written || emit_text(sink, entry);
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

// Copies in into sink byte for byte; false when any step failed.
static bool copy_plain(FILE *in, struct copy_sink *sink)
{
    char block[WININIT_BLOCK_SIZE];
    size_t length;
    while ((length = fread(block, 1, sizeof block, in)) > 0) {
        if (!emit(sink, block, length))
            return false;
    }
    return !ferror(in);
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
    struct copy_sink sink = {out, NULL, false, false};
    bool complete = copy_plain(in, &sink);
    fclose(in);
    return close_written(out, complete);
}

// The names of the edit, in the Windows directory. tmp is the tool's own: the aside file's
// bytes go there when they come back by copy.
struct wininit_names {
    char ini[WININIT_PATH_SIZE];
    char new_copy[WININIT_PATH_SIZE];
    char old[WININIT_PATH_SIZE];
    char tmp[WININIT_PATH_SIZE];
};

// Gives the set-aside WININIT.INI its name back. When the rename is refused its bytes go
// back through a copy, so that the user's entries never stay under the aside name alone;
// the copy is written under the tool's own name and takes WININIT.INI's only when written
// and closed in full, as a copy cut short (by a full disk or a power cut) would be carried
// out at boot as if it were the user's file. False when neither way brought it back.
static bool put_back(const struct wininit_names *names, DWORD attributes)
{
    if (!MoveFileA(names->old, names->ini)) {
        if (!known_absent(names->tmp))
            return false;
        if (!copy_bytes(names->old, names->tmp) || !MoveFileA(names->tmp, names->ini))
            return discard(names->tmp);
        SetFileAttributesA(names->old, FILE_ATTRIBUTE_NORMAL);
        DeleteFileA(names->old);
    }
    SetFileAttributesA(names->ini, attributes);
    return true;
}

// Puts the complete copy WININIT.NEW in the place of WININIT.INI (had_ini: there is one)
// with the 9x family's calls alone, so that at every moment a complete WININIT.INI is there
// under its own name or set aside as WININIT.OLD, from where it goes back when a step
// fails. MoveFileA never replaces a file: another program's file of the aside name stops
// the change instead of being lost. When the aside file cannot come back, the copy, as
// complete and with the entry, takes the name Windows reads; failing that too, both stay as
// the pair that the next run puts back (restore_set_aside_wininit). True when WININIT.INI
// now holds the copy.
static bool replace_wininit(const struct wininit_names *names, bool had_ini)
{
    if (!had_ini)
        return MoveFileA(names->new_copy, names->ini) || discard(names->new_copy);
    // Kept to give the user's file back exactly as it was.
    DWORD attributes = GetFileAttributesA(names->ini);
    if (attributes == INVALID_FILE_ATTRIBUTES || !MoveFileA(names->ini, names->old))
        return discard(names->new_copy);
    if (MoveFileA(names->new_copy, names->ini)) {
        // A read-only copy would refuse the deletion.
        SetFileAttributesA(names->old, FILE_ATTRIBUTE_NORMAL);
        if (DeleteFileA(names->old))
            return true;
        // The new file goes out again so that the old one can come back; if it cannot,
        // the entry stays arranged.
        if (!MoveFileA(names->ini, names->new_copy))
            return true;
    }
    if (put_back(names, attributes))
        return discard(names->new_copy);
    return MoveFileA(names->new_copy, names->ini) != FALSE;
}

// The names of the edit; false when any does not fit.
static bool wininit_names_of(struct wininit_names *names)
{
    char dir[WININIT_LINE_SIZE];
    UINT length = GetWindowsDirectoryA(dir, WININIT_LINE_SIZE);
    if (length == 0 || length >= WININIT_LINE_SIZE)
        return false;
    return make_path(names->ini, dir, "\\WININIT.INI") && make_path(names->new_copy, dir, "\\WININIT.NEW") &&
           make_path(names->old, dir, "\\WININIT.OLD") && make_path(names->tmp, dir, "\\WININIT.TMR");
}

// Windows carries out WININIT.INI before long names are known: the entry names the file by
// its short form, or by path itself where it has none.
static const char *boot_time_name(const char *path, char *short_path)
{
    DWORD length = GetShortPathNameA(path, short_path, WININIT_PATH_SIZE);
    return length > 0 && length < WININIT_PATH_SIZE ? short_path : path;
}

// The entry line for path (and new_name, or NUL); false when it does not fit.
static bool entry_line(char *entry, const char *path, const char *new_name)
{
    char short_path[WININIT_PATH_SIZE];
    int length = snprintf(entry, WININIT_ENTRY_SIZE, "%s=%s" LINE_END, new_name != NULL ? new_name : "NUL",
                          boot_time_name(path, short_path));
    entry[WININIT_ENTRY_SIZE - 1] = '\0';
    return length > 0 && length < WININIT_ENTRY_SIZE;
}

// How the bytes of a file stand to the copy that the edit makes of another with the entry.
enum copy_match { MATCH_NONE, MATCH_FRONT_PART, MATCH_WHOLE };

// Reads both files in blocks, side by side: MATCH_WHOLE when file holds exactly the copy
// that copy_with_entry makes of source (or, entry NULL, source's bytes), MATCH_FRONT_PART when it holds a strict front part
// of it (a write of the copy cut off), MATCH_NONE otherwise or when either cannot be read.
static enum copy_match match_copy(const char *file, const char *source, const char *entry)
{
    FILE *match = win_fopen(file, "rb");
    if (match == NULL)
        return MATCH_NONE;
    FILE *in = win_fopen(source, "rb");
    enum copy_match result = MATCH_NONE;
    // The edit makes its copy of no WININIT.INI as well.
    if (in != NULL || (entry != NULL && known_absent(source))) {
        struct copy_sink sink = {NULL, match, false, false};
        bool whole = entry != NULL ? copy_with_entry(in, &sink, entry) : copy_plain(in, &sink);
        char byte;
        if (ferror(match) || (in != NULL && ferror(in)) || sink.differs)
            result = MATCH_NONE;
        else if (sink.ended)
            result = MATCH_FRONT_PART;
        else if (whole && fread(&byte, 1, 1, match) == 0 && !ferror(match))
            result = MATCH_WHOLE;
    }
    if (in != NULL)
        fclose(in);
    fclose(match);
    return result;
}

void restore_set_aside_wininit(const char *path, const char *new_name)
{
    struct wininit_names names;
    char entry[WININIT_ENTRY_SIZE];
    if (is_nt_family() || !wininit_names_of(&names))
        return;
    bool new_there = file_exists(names.new_copy);
    bool old_there = file_exists(names.old);
    bool tmp_there = file_exists(names.tmp);
    if (!(new_there || old_there || tmp_there) || !entry_line(entry, path, new_name))
        return;
    // Each file goes only where its content proves it the edit's own, and then loses nothing:
    // a WININIT.NEW that is exactly the copy of WININIT.OLD is the pair set aside between the
    // two renames (a complete copy is written before the user's file is set aside, so a cut
    // one never stands there), and the user's file gets its name back; MoveFileA never
    // replaces a WININIT.INI that is there.
    if (new_there && old_there && match_copy(names.new_copy, names.old, entry) == MATCH_WHOLE)
        MoveFileA(names.old, names.ini);
    // A WININIT.NEW that holds the copy of WININIT.INI (or of none), or a front part of it,
    // holds nothing but WININIT.INI's bytes and the entry.
    if (new_there && match_copy(names.new_copy, names.ini, entry) != MATCH_NONE)
        DeleteFileA(names.new_copy);
    // A WININIT.OLD of which WININIT.INI is the copy was left after the second rename.
    if (old_there && match_copy(names.ini, names.old, entry) == MATCH_WHOLE) {
        SetFileAttributesA(names.old, FILE_ATTRIBUTE_NORMAL);
        DeleteFileA(names.old);
    }
    // The tool's own copy back, cut off or not yet renamed, holds only the user's bytes.
    if (tmp_there && match_copy(names.tmp, names.ini, NULL) != MATCH_NONE)
        DeleteFileA(names.tmp);
}

static bool schedule_in_wininit(const char *path, const char *new_name)
{
    struct wininit_names names;
    if (!wininit_names_of(&names))
        return false;
    // A WININIT.NEW that is already there is another program's, or one that may be: it is
    // never opened for writing.
    char entry[WININIT_ENTRY_SIZE];
    if (!known_absent(names.new_copy) || !entry_line(entry, path, new_name))
        return false;

    // Binary both ways: every byte of the user's file is copied, those behind a DOS
    // end-of-file byte too, and each line keeps its own line end.
    FILE *in = win_fopen(names.ini, "rb");
    // One that exists but cannot be read would be replaced by a file without its entries.
    if (in == NULL && file_exists(names.ini))
        return false;
    FILE *out = win_fopen(names.new_copy, "wb");
    if (out == NULL) {
        if (in != NULL)
            fclose(in);
        return false;
    }
    struct copy_sink sink = {out, NULL, false, false};
    bool complete = copy_with_entry(in, &sink, entry);
    bool had_ini = in != NULL;
    if (in != NULL)
        fclose(in);
    complete = close_written(out, complete);
    // A copy cut short by a full disk, or of a file that is no ANSI text, must never take
    // the place of the user's file.
    if (!complete)
        return discard(names.new_copy);
    return replace_wininit(&names, had_ini);
}

bool schedule_delete_at_boot(const char *path, const char *new_name)
{
    DWORD platform = windows_platform();
    if (platform == VER_PLATFORM_WIN32_NT)
        return MoveFileExA(path, new_name, MOVEFILE_REPLACE_EXISTING | MOVEFILE_DELAY_UNTIL_REBOOT) != FALSE;
    // Only the 9x family carries WININIT.INI out: on a Windows that does not say which it
    // is, an entry there may arrange nothing.
    return platform == VER_PLATFORM_WIN32_WINDOWS && schedule_in_wininit(path, new_name);
}
