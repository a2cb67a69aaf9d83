#include "detect/worm_links.h"

#include "detect/wow64.h"

#define CLASS_COMMAND_KEY "exefile\\shell\\open\\command"
#define CURRENT_VERSION_KEY "SOFTWARE\\Microsoft\\Windows\\CurrentVersion"

// Run and RunServices have a view for each kind of program on 64-bit Windows. The classes
// keys are shared by both views (reflected between them on Windows before 7), and WIN.INI
// and SYSTEM.INI are not redirected. Only value rows may carry a view: RegDeleteKeyA, which
// removes a class key, cannot choose one.
const worm_link WORM_LINKS[] = {
    {LINK_MACHINE_EXE_COMMAND, LINK_KIND_COMMAND, HKEY_LOCAL_MACHINE, HKEY_LOCAL_MACHINE,
     "Software\\CLASSES\\" CLASS_COMMAND_KEY, NULL, NULL, NULL, NULL, WORM_FILE_NAME, 0},
    {LINK_RUNSERVICES, LINK_KIND_RUN_VALUES, HKEY_LOCAL_MACHINE, HKEY_LOCAL_MACHINE,
     CURRENT_VERSION_KEY "\\RunServices", NULL, NULL, NULL, NULL, WORM_MARKER, 0},
    {LINK_RUNSERVICES, LINK_KIND_RUN_VALUES, HKEY_LOCAL_MACHINE, HKEY_LOCAL_MACHINE,
     CURRENT_VERSION_KEY "\\RunServices", NULL, NULL, NULL, NULL, WORM_MARKER, KEY_WOW64_64KEY},
    {LINK_RUN, LINK_KIND_RUN_VALUES, HKEY_LOCAL_MACHINE, HKEY_LOCAL_MACHINE,
     CURRENT_VERSION_KEY "\\Run", NULL, NULL, NULL, NULL, WORM_MARKER, 0},
    {LINK_RUN, LINK_KIND_RUN_VALUES, HKEY_LOCAL_MACHINE, HKEY_LOCAL_MACHINE,
     CURRENT_VERSION_KEY "\\Run", NULL, NULL, NULL, NULL, WORM_MARKER, KEY_WOW64_64KEY},
    {LINK_DL_CLASS, LINK_KIND_CLASS_KEY, HKEY_CLASSES_ROOT, HKEY_CLASSES_ROOT, ".dl", NULL, NULL,
     NULL, NULL, NULL, 0},
    // Seen through the classes root, repaired directly under the machine root: on the usual
    // layout the first row already repairs the same value.
    {LINK_CLASSES_EXE_COMMAND, LINK_KIND_COMMAND, HKEY_CLASSES_ROOT, HKEY_LOCAL_MACHINE,
     CLASS_COMMAND_KEY, NULL, NULL, NULL, NULL, WORM_FILE_NAME, 0},
    {LINK_WININI_RUN, LINK_KIND_INI, NULL, NULL, NULL, "WIN.INI", "windows", "run", NULL,
     WORM_MARKER, 0},
    {LINK_SYSINI_SHELL, LINK_KIND_INI, NULL, NULL, NULL, "SYSTEM.INI", "boot", "shell",
     "Explorer.exe", WORM_MARKER, 0},
};

const size_t WORM_LINK_COUNT = sizeof WORM_LINKS / sizeof WORM_LINKS[0];

// Builds dir + "\\" + the link's file into path; dir is asked for once per walk and left
// empty when Windows cannot give it.
static bool link_ini_path(const worm_link &link, char *dir, bool *dir_asked, char *path)
{
    if (!*dir_asked) {
        *dir_asked = true;
        UINT length = GetWindowsDirectoryA(dir, WINDOWS_DIR_SIZE);
        if (length == 0 || length >= WINDOWS_DIR_SIZE)
            dir[0] = '\0';
    }
    if (dir[0] == '\0')
        return false;
    // The backslash goes in even when the directory already ends in one.
    int length = snprintf(path, INI_PATH_SIZE, "%s\\%s", dir, link.ini_file);
    path[INI_PATH_SIZE - 1] = '\0';
    return length > 0 && length < INI_PATH_SIZE;
}

// Whether the tool runs under WoW64 is asked once per walk, at the first row of a 64-bit
// view; without WoW64 those rows cost nothing more, not one registry call.
static wow64_side view_side(int *side)
{
    if (*side < 0)
        *side = (int)find_64bit_side();
    return (wow64_side)*side;
}

// Who is told of each link the probe sees; NULL outside the probe.
static link_seen tell_seen;

// Hands a link seen on and returns seen.
static bool tell(bool seen, const worm_link &link, const char *detail, DWORD length,
                 bool unreadable)
{
    if (seen && tell_seen != NULL)
        tell_seen(link, detail, length, unreadable);
    return seen;
}

worm_link_mask walk_worm_links(const link_steps &steps)
{
    worm_link_mask mask = 0;
    char dir[WINDOWS_DIR_SIZE];
    char path[INI_PATH_SIZE];
    bool dir_asked = false;
    int side = -1;
    for (size_t i = 0; i < WORM_LINK_COUNT; i++) {
        const worm_link &link = WORM_LINKS[i];
        if (link.view != 0) {
            wow64_side found = view_side(&side);
            if (found == NO_64BIT_SIDE)
                continue;
            // A view that may be there may hold the link: the strict look counts it, and
            // names it to whoever lists what it counts. The others try it: on Windows
            // without that view the flag reaches the default view again (9x, XP and later)
            // or is refused (2000), which they take as absent.
            if (found == CANNOT_TELL_64BIT_SIDE && steps.strict) {
                tell(true, link, NULL, 0, true);
                mask |= link.bit;
                continue;
            }
        }
        bool hit = false;
        switch (link.kind) {
        case LINK_KIND_COMMAND: hit = steps.command(link, steps.strict); break;
        case LINK_KIND_RUN_VALUES: hit = steps.run_values(link, steps.strict); break;
        case LINK_KIND_CLASS_KEY: hit = steps.class_key(link, steps.strict); break;
        case LINK_KIND_INI:
            hit = link_ini_path(link, dir, &dir_asked, path)
                      ? steps.ini(link, path, steps.strict)
                      : tell(steps.strict, link, NULL, 0, true);
            break;
        }
        if (hit)
            mask |= link.bit;
    }
    return mask;
}

// Every look at a link reads it the same way; they differ only in what a link that cannot
// be read counts as. The probe takes it as absent. The look after the removal (strict)
// takes it as left, so that success is claimed only for what was seen gone.

// Absent is the only failure that says the link is not there.
static bool absent(LONG result)
{
    return result == ERROR_FILE_NOT_FOUND || result == ERROR_PATH_NOT_FOUND;
}

// Opens the link's key for reading; when it does not open, *seen tells whether that counts.
static bool open_link_key(const worm_link &link, bool strict, HKEY *key, bool *seen)
{
    LONG result = RegOpenKeyExA(link.probe_root, link.key_path, 0, KEY_READ | link.view, key);
    *seen = result != ERROR_SUCCESS && strict && !absent(result);
    return result == ERROR_SUCCESS;
}

static bool look_at_command(const worm_link &link, bool strict)
{
    HKEY key;
    bool seen;
    if (!open_link_key(link, strict, &key, &seen))
        return tell(seen, link, NULL, 0, true);
    read_buffer text;
    init_buffer(&text);
    DWORD length = 0;
    // A size of 0 is an empty text: nothing was written to the buffer.
    LONG result = read_default_value(key, &text, NULL, &length);
    bool read = result == ERROR_SUCCESS;
    seen = read ? marker_found(text.text, length, link.needle) : strict && !absent(result);
    free_buffer(&text);
    RegCloseKey(key);
    return tell(seen, link, NULL, 0, !read);
}

static bool look_at_run_values(const worm_link &link, bool strict)
{
    HKEY key;
    bool seen;
    if (!open_link_key(link, strict, &key, &seen))
        return tell(seen, link, NULL, 0, true);
    value_walk walk;
    begin_value_walk(&walk, key, link.needle);
    // One marked value settles the link; whoever lists them is told of every one.
    seen = false;
    while (next_marked_value(&walk)) {
        seen = tell(true, link, walk.name.text, walk.name_length, false);
        if (tell_seen == NULL)
            break;
    }
    seen = tell(strict && walk.unreadable, link, NULL, 0, true) || seen;
    end_value_walk(&walk);
    RegCloseKey(key);
    return seen;
}

static bool look_at_class_key(const worm_link &link, bool strict)
{
    HKEY key;
    bool seen;
    if (!open_link_key(link, strict, &key, &seen))
        return tell(seen, link, NULL, 0, true);
    RegCloseKey(key);
    return tell(true, link, NULL, 0, false);
}

// A profile read says nothing but a count: an empty answer with an error other than a
// missing file or entry means the entry could not be read. An entry not read whole may
// carry the marker beyond the part read, so it counts for both looks.
static bool look_at_ini(const worm_link &link, const char *path, bool strict)
{
    read_buffer value;
    init_buffer(&value);
    if (strict)
        SetLastError(ERROR_SUCCESS);
    DWORD count = 0;
    bool whole = read_ini_entry(link.ini_section, link.ini_key, path, &value, &count);
    bool seen = false;
    bool marked = false;
    if (count > 0) {
        marked = marker_found(value.text, count, link.needle);
        seen = marked || !whole;
    } else if (strict) {
        DWORD error = GetLastError();
        seen = error != ERROR_SUCCESS && !absent((LONG)error);
    }
    free_buffer(&value);
    return tell(seen, link, path, 0, !marked);
}

worm_link_mask probe_worm_links(link_seen seen, bool strict)
{
    const link_steps probe = {look_at_command, look_at_run_values, look_at_class_key,
                              look_at_ini, strict};
    tell_seen = seen;
    worm_link_mask mask = walk_worm_links(probe);
    tell_seen = NULL;
    return mask;
}

worm_link_mask links_left(void)
{
    static const link_steps look = {look_at_command, look_at_run_values, look_at_class_key,
                                    look_at_ini, true};
    return walk_worm_links(look);
}
