// The look after the removal: the probe's reading of every link, except that what cannot
// be read counts as a link left, never as one gone.
#include "detect/whole_values.h"
#include "detect/worm_links.h"

// Absent is the only failure that says the link is not there.
static bool absent(LONG result)
{
    return result == ERROR_FILE_NOT_FOUND || result == ERROR_PATH_NOT_FOUND;
}

// Opens the link's key for reading; *left is set when the key exists but cannot be read.
static bool open_link_key(const worm_link &link, HKEY *key, bool *left)
{
    LONG result = RegOpenKeyExA(link.probe_root, link.key_path, 0, KEY_READ, key);
    *left = result != ERROR_SUCCESS && !absent(result);
    return result == ERROR_SUCCESS;
}

static bool command_left(const worm_link &link)
{
    HKEY key;
    bool left = false;
    if (!open_link_key(link, &key, &left))
        return left;
    read_buffer text;
    init_buffer(&text);
    DWORD length = 0;
    LONG result = read_default_value(key, &text, NULL, &length);
    left = result == ERROR_SUCCESS ? marker_found(text.text, length, link.needle) : !absent(result);
    free_buffer(&text);
    RegCloseKey(key);
    return left;
}

static bool run_values_left(const worm_link &link)
{
    HKEY key;
    bool left = false;
    if (!open_link_key(link, &key, &left))
        return left;
    value_walk walk;
    begin_value_walk(&walk, key, link.needle);
    left = next_marked_value(&walk) || walk.unreadable;
    end_value_walk(&walk);
    RegCloseKey(key);
    return left;
}

static bool class_key_left(const worm_link &link)
{
    HKEY key;
    bool left = false;
    if (!open_link_key(link, &key, &left))
        return left;
    RegCloseKey(key);
    return true;
}

// A profile read says nothing but a count: an empty answer with an error other than a
// missing file or entry means the entry could not be read.
static bool ini_left(const worm_link &link, const char *path)
{
    read_buffer value;
    init_buffer(&value);
    SetLastError(ERROR_SUCCESS);
    DWORD count = read_ini_entry(link.ini_section, link.ini_key, path, &value);
    DWORD error = GetLastError();
    bool left = count > 0 ? marker_found(value.text, count, link.needle)
                          : error != ERROR_SUCCESS && !absent((LONG)error);
    free_buffer(&value);
    return left;
}

worm_link_mask links_left(void)
{
    static const link_steps look = {command_left, run_values_left, class_key_left, ini_left, true};
    return walk_worm_links(look);
}
