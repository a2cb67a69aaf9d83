#include "clean/worm_file.h"

#include "platform/win.h"

bool file_exists(const char *path)
{
    return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

// Leaves only the archive attribute on an existing file, so that read-only, hidden and
// system files can be deleted.
static void clear_file_attributes(const char *path)
{
    if (file_exists(path))
        SetFileAttributesA(path, FILE_ATTRIBUTE_ARCHIVE);
}

// True only when path existed and was deleted.
static bool delete_if_exists(const char *path)
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
