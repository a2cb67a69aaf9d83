#include "frontend/log_file.h"

#include "clean/boot_path.h"
#include "clean/windows_family.h"
#include "detect/wow64.h"

typedef DWORD(WINAPI *final_path_fn)(HANDLE file, LPSTR path, DWORD size, DWORD flags);

// Final paths of the log's folder and of the log; a longer one turns the log away.
#define FINAL_PATH_SIZE 1024

// Where the name begins: after the last folder separator, or after a drive's colon.
static const char *name_in(const char *path)
{
    const char *name = path;
    for (const char *c = path; *c != '\0'; c++)
        if (*c == '\\' || *c == '/' || (*c == ':' && c == path + 1))
            name = c + 1;
    return name;
}

// The final path (normalized, with its drive letter or UNC name) of an open file or folder.
static bool final_path_of(final_path_fn final_path, HANDLE file, char *out)
{
    DWORD length = final_path(file, out, FINAL_PATH_SIZE, 0);
    return length != 0 && length < FINAL_PATH_SIZE;
}

// Whether the file is the one the path names in its folder, not a link's target elsewhere:
// its final path is the folder's final path and the name asked for. Final path against final
// path, so that a mapped drive, a UNC name or a short name on the way ends up alike in both.
static bool found_at_path(HANDLE file, const char *path)
{
    HMODULE kernel32 = GetModuleHandleA("kernel32.dll");
    bool absent = false;
    final_path_fn final_path =
        kernel32 == NULL ? NULL
                         : (final_path_fn)(void (*)(void))find_call(kernel32, "GetFinalPathNameByHandleA", &absent);
    // Before Vista there is no such call; the checks on the handle are all there is.
    if (final_path == NULL)
        return absent;
    const char *name = name_in(path);
    size_t name_length = strlen(name);
    // Windows takes trailing dots and blanks off a name.
    while (name_length > 0 && (name[name_length - 1] == '.' || name[name_length - 1] == ' '))
        name_length--;
    char folder[FINAL_PATH_SIZE], file_path[FINAL_PATH_SIZE];
    size_t folder_length = (size_t)(name - path);
    if (folder_length + 2 > FINAL_PATH_SIZE)
        return false;
    // "DIR\." names DIR, "C:." the current folder of C:, "." the current folder.
    memcpy(folder, path, folder_length);
    folder[folder_length] = '.';
    folder[folder_length + 1] = '\0';
    HANDLE dir = CreateFileA(folder, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                             OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
    if (dir == INVALID_HANDLE_VALUE)
        return false;
    bool named = final_path_of(final_path, dir, folder);
    CloseHandle(dir);
    if (!named || !final_path_of(final_path, file, file_path))
        return false;
    // A root's final path ends in its backslash; any other folder's does not.
    folder_length = strlen(folder);
    if (folder_length > 0 && folder[folder_length - 1] == '\\')
        folder_length--;
    const char *rest = file_path + folder_length;
    return same_in_any_case(file_path, folder, folder_length) && rest[0] == '\\' &&
           strlen(rest + 1) == name_length && same_in_any_case(rest + 1, name, name_length);
}

// A disk file (no device, pipe or console), no directory and no reparse point, of one hard
// link, found where the path says.
static bool plain_file(HANDLE file, const char *path)
{
    BY_HANDLE_FILE_INFORMATION info;
    return GetFileType(file) == FILE_TYPE_DISK && GetFileInformationByHandle(file, &info) &&
           (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0 &&
           info.nNumberOfLinks == 1 && found_at_path(file, path);
}

// Reads the file's last byte; an empty file has none (a seek before its start fails with
// ERROR_NEGATIVE_SEEK).
static bool ends_mid_line(HANDLE file, bool *mid_line)
{
    LONG high = -1;
    char last = '\n';
    DWORD read = 0;
    SetLastError(NO_ERROR);
    if (SetFilePointer(file, -1, &high, FILE_END) == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR) {
        if (GetLastError() != ERROR_NEGATIVE_SEEK)
            return false;
    } else if (!ReadFile(file, &last, 1, &read, NULL) || read != 1) {
        return false;
    }
    *mid_line = last != '\n';
    return true;
}

FILE *open_log(const char *path, bool *mid_line)
{
    // Only the NT family has links, reparse points and the flag; the 9x family opens as
    // msvcrt's "ab" does. A family not told is taken as NT: the checks then turn the log away
    // rather than let it go anywhere.
    bool nt = windows_platform() != VER_PLATFORM_WIN32_WINDOWS;
    const DWORD access = GENERIC_READ | GENERIC_WRITE, share = FILE_SHARE_READ | FILE_SHARE_WRITE;
    const DWORD flags = nt ? FILE_FLAG_OPEN_REPARSE_POINT : FILE_ATTRIBUTE_NORMAL;
    // Created new, a log cannot already be something else; only an existing one is checked.
    HANDLE file = CreateFileA(path, access, share, NULL, nt ? CREATE_NEW : OPEN_ALWAYS, flags, NULL);
    if (nt && file == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_EXISTS)
        file = CreateFileA(path, access, share, NULL, OPEN_EXISTING, flags, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return NULL;
    int fd = -1;
    if ((!nt || plain_file(file, path)) && ends_mid_line(file, mid_line))
        fd = win_open_osfhandle(file, _O_APPEND);
    if (fd == -1) {
        CloseHandle(file);
        return NULL;
    }
    // The stream owns the handle from here: closing it closes the file.
    FILE *log = win_fdopen(fd, "ab");
    if (log == NULL)
        win_close(fd);
    return log;
}
