#include "clean/boot_path.h"

#include "detect/wow64.h"
#include "platform/win.h"

typedef UINT(WINAPI *get_system_wow64_directory_fn)(LPSTR buffer, UINT size);

bool same_in_any_case(const char *a, const char *b, size_t length)
{
    for (size_t at = 0; at < length; at++) {
        char x = a[at], y = b[at];
        if (x >= 'a' && x <= 'z')
            x = (char)(x - ('a' - 'A'));
        if (y >= 'a' && y <= 'z')
            y = (char)(y - ('a' - 'A'));
        if (x != y)
            return false;
    }
    return true;
}

// The length of dir when path starts with it, in any letter case, followed by a backslash;
// 0 otherwise.
static size_t dir_prefix(const char *path, const char *dir)
{
    size_t length = strlen(dir);
    return same_in_any_case(path, dir, length) && path[length] == '\\' ? length : 0;
}

// The SysWOW64 directory; false when it cannot be had whole.
static bool wow64_directory(char *dir)
{
    HMODULE kernel32 = GetModuleHandleA("kernel32.dll");
    if (kernel32 == NULL)
        return false;
    // Through void (*)(void), which the compiler takes as matching every function type.
    get_system_wow64_directory_fn get_dir = (get_system_wow64_directory_fn)(void (*)(void))GetProcAddress(
        kernel32, "GetSystemWow64DirectoryA");
    if (get_dir == NULL)
        return false;
    UINT length = get_dir(dir, BOOT_PATH_SIZE);
    return length != 0 && length < BOOT_PATH_SIZE;
}

const char *path_seen_at_boot(const char *path, char *out)
{
    switch (find_64bit_side()) {
    case NO_64BIT_SIDE: return path;
    case CANNOT_TELL_64BIT_SIDE: return NULL;
    case HAS_64BIT_SIDE: break;
    }
    char system_dir[BOOT_PATH_SIZE];
    UINT length = GetSystemDirectoryA(system_dir, BOOT_PATH_SIZE);
    if (length == 0 || length >= BOOT_PATH_SIZE)
        return NULL;
    size_t rest = dir_prefix(path, system_dir);
    if (rest == 0)
        return path;
    char wow64_dir[BOOT_PATH_SIZE];
    if (!wow64_directory(wow64_dir))
        return NULL;
    int written = snprintf(out, BOOT_PATH_SIZE, "%s%s", wow64_dir, path + rest);
    return written > 0 && written < BOOT_PATH_SIZE ? out : NULL;
}
