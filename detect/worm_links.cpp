#include "detect/worm_links.h"

#define CLASS_COMMAND_KEY "exefile\\shell\\open\\command"
#define CURRENT_VERSION_KEY "SOFTWARE\\Microsoft\\Windows\\CurrentVersion"

const worm_link WORM_LINKS[] = {
    {LINK_MACHINE_EXE_COMMAND, LINK_KIND_COMMAND, HKEY_LOCAL_MACHINE, HKEY_LOCAL_MACHINE,
     "Software\\CLASSES\\" CLASS_COMMAND_KEY, NULL, NULL, NULL, NULL, WORM_FILE_NAME},
    {LINK_RUNSERVICES, LINK_KIND_RUN_VALUES, HKEY_LOCAL_MACHINE, HKEY_LOCAL_MACHINE,
     CURRENT_VERSION_KEY "\\RunServices", NULL, NULL, NULL, NULL, WORM_MARKER},
    {LINK_RUN, LINK_KIND_RUN_VALUES, HKEY_LOCAL_MACHINE, HKEY_LOCAL_MACHINE,
     CURRENT_VERSION_KEY "\\Run", NULL, NULL, NULL, NULL, WORM_MARKER},
    {LINK_DL_CLASS, LINK_KIND_CLASS_KEY, HKEY_CLASSES_ROOT, HKEY_CLASSES_ROOT, ".dl", NULL, NULL,
     NULL, NULL, NULL},
    // Seen through the classes root, repaired directly under the machine root: on the usual
    // layout the first row already repairs the same value.
    {LINK_CLASSES_EXE_COMMAND, LINK_KIND_COMMAND, HKEY_CLASSES_ROOT, HKEY_LOCAL_MACHINE,
     CLASS_COMMAND_KEY, NULL, NULL, NULL, NULL, WORM_FILE_NAME},
    {LINK_WININI_RUN, LINK_KIND_INI, NULL, NULL, NULL, "WIN.INI", "windows", "run", "",
     WORM_MARKER},
    {LINK_SYSINI_SHELL, LINK_KIND_INI, NULL, NULL, NULL, "SYSTEM.INI", "boot", "shell",
     "Explorer.exe", WORM_MARKER},
};

const size_t WORM_LINK_COUNT = sizeof WORM_LINKS / sizeof WORM_LINKS[0];

bool marker_found(char *text, size_t length, const char *needle)
{
    size_t end = 0;
    while (end < length && text[end] != '\0') {
        if (text[end] >= 'a' && text[end] <= 'z')
            text[end] = (char)(text[end] - ('a' - 'A'));
        end++;
    }
    size_t needle_length = strlen(needle);
    for (size_t start = 0; start + needle_length <= end; start++) {
        if (memcmp(text + start, needle, needle_length) == 0)
            return true;
    }
    return false;
}

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

worm_link_mask walk_worm_links(const link_steps &steps)
{
    worm_link_mask mask = 0;
    char dir[WINDOWS_DIR_SIZE];
    char path[INI_PATH_SIZE];
    bool dir_asked = false;
    for (size_t i = 0; i < WORM_LINK_COUNT; i++) {
        const worm_link &link = WORM_LINKS[i];
        bool hit = false;
        switch (link.kind) {
        case LINK_KIND_COMMAND: hit = steps.command(link); break;
        case LINK_KIND_RUN_VALUES: hit = steps.run_values(link); break;
        case LINK_KIND_CLASS_KEY: hit = steps.class_key(link); break;
        case LINK_KIND_INI:
            hit = link_ini_path(link, dir, &dir_asked, path) ? steps.ini(link, path)
                                                              : steps.unnamed_ini_counts;
            break;
        }
        if (hit)
            mask |= link.bit;
    }
    return mask;
}

bool ini_entry_marked(const worm_link &link, const char *path)
{
    read_buffer value;
    init_buffer(&value);
    DWORD count = read_ini_entry(link.ini_section, link.ini_key, path, &value);
    bool marked = count > 0 && marker_found(value.text, count, link.needle);
    free_buffer(&value);
    return marked;
}

static bool probe_command(const worm_link &link)
{
    HKEY key;
    if (RegOpenKeyExA(link.probe_root, link.key_path, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    read_buffer text;
    init_buffer(&text);
    DWORD length = 0;
    // A size of 0 is an empty text: nothing was written to the buffer.
    bool found = read_default_value(key, &text, NULL, &length) == ERROR_SUCCESS &&
                 marker_found(text.text, length, link.needle);
    free_buffer(&text);
    RegCloseKey(key);
    return found;
}

static bool probe_run_values(const worm_link &link)
{
    HKEY key;
    if (RegOpenKeyExA(link.probe_root, link.key_path, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    value_walk walk;
    begin_value_walk(&walk, key, link.needle);
    bool found = next_marked_value(&walk);
    end_value_walk(&walk);
    RegCloseKey(key);
    return found;
}

static bool probe_class_key(const worm_link &link)
{
    HKEY key;
    if (RegOpenKeyExA(link.probe_root, link.key_path, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

static bool probe_ini(const worm_link &link, const char *path)
{
    return ini_entry_marked(link, path);
}

worm_link_mask probe_worm_links(void)
{
    static const link_steps probe = {probe_command, probe_run_values, probe_class_key, probe_ini,
                                     false};
    return walk_worm_links(probe);
}
