#include "clean/worm_file.h"

#include "platform/win.h"

static char ascii_upper(char c)
{
    return c >= 'a' && c <= 'z' ? (char)(c - ('a' - 'A')) : c;
}

// Compares letter by letter instead of upper-casing copies: no memory to run out of.
const char *contains_nocase(const char *text, const char *pattern)
{
    for (const char *start = text;; start++) {
        size_t i = 0;
        while (pattern[i] != '\0' && ascii_upper(start[i]) == ascii_upper(pattern[i]))
            i++;
        if (pattern[i] == '\0')
            return start;
        if (*start == '\0')
            return NULL;
    }
}

bool file_exists(const char *path)
{
    return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

void clear_file_attributes(const char *path)
{
    if (file_exists(path))
        SetFileAttributesA(path, FILE_ATTRIBUTE_ARCHIVE);
}

bool delete_if_exists(const char *path)
{
    return file_exists(path) && DeleteFileA(path);
}

bool known_absent(const char *path)
{
    if (GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES)
        return false;
    DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

worm_file_outcome remove_worm_file(const char *path)
{
    clear_file_attributes(path);
    if (delete_if_exists(path))
        return WORM_FILE_DELETED;
    return known_absent(path) ? WORM_FILE_ABSENT : WORM_FILE_STILL_PRESENT;
}
