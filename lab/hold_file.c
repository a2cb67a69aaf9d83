/* Lab helper: keeps a file open without sharing, so that every other open,
 * delete or rename of it fails as it does while the worm itself runs.
 *
 * Usage: hold_file.exe <path> [until-pending]
 * Prints "HOLDING <path>" once the file is open, then waits until a line
 * arrives on standard input or standard input closes, closes the file,
 * prints "RELEASED" and exits 0. With until-pending it lets go by itself as
 * soon as PendingFileRenameOperations names the file: a program that arranges
 * the deletion and restarts at once gives the lab no moment to let go, and
 * Wine carries the deletion out while the session's programs still run.
 * Exits 1 (with "FAILED <error>") if the file cannot be opened or the key
 * watched, 2 on bad usage. */
#include <windows.h>
#include <stdio.h>
#include <string.h>

#define SESSION_MANAGER "System\\CurrentControlSet\\Control\\Session Manager"

static char pending[65536];

/* Whether one of the value's strings ends with path (any letter case). */
static int pending_names(HKEY key, const char *path)
{
    DWORD size = sizeof(pending) - 2, type;
    size_t want = strlen(path);
    const char *s;

    memset(pending, 0, sizeof(pending));
    if (RegQueryValueExA(key, "PendingFileRenameOperations", NULL, &type,
                         (BYTE *)pending, &size) != ERROR_SUCCESS)
        return 0;
    for (s = pending; *s; s += strlen(s) + 1) {
        size_t len = strlen(s);
        if (len >= want && _stricmp(s + len - want, path) == 0)
            return 1;
    }
    return 0;
}

static int wait_for_pending(const char *path)
{
    HKEY key;
    HANDLE changed = CreateEventA(NULL, FALSE, FALSE, NULL);
    LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, SESSION_MANAGER, 0,
                            KEY_NOTIFY | KEY_QUERY_VALUE, &key);
    if (rc != ERROR_SUCCESS || changed == NULL) {
        printf("FAILED %ld\n", rc);
        fflush(stdout);
        return 0;
    }
    /* Asked for before each look, so that no change between look and wait is missed. */
    for (;;) {
        rc = RegNotifyChangeKeyValue(key, FALSE, REG_NOTIFY_CHANGE_LAST_SET, changed, TRUE);
        if (pending_names(key, path))
            break;
        if (rc != ERROR_SUCCESS)
            Sleep(10);
        else
            WaitForSingleObject(changed, INFINITE);
    }
    RegCloseKey(key);
    return 1;
}

int main(int argc, char **argv)
{
    HANDLE file, input;
    char byte;
    DWORD got;
    int until_pending = argc == 3 && strcmp(argv[2], "until-pending") == 0;

    if (argc != 2 && !until_pending) {
        fprintf(stderr, "usage: hold_file <path> [until-pending]\n");
        return 2;
    }
    /* Share mode 0: no other open of any kind succeeds while this handle lives. */
    file = CreateFileA(argv[1], GENERIC_READ, 0, NULL, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        printf("FAILED %lu\n", (unsigned long)GetLastError());
        fflush(stdout);
        return 1;
    }
    /* The lab waits for this line before it starts the tool: flush it now,
     * since msvcrt buffers a pipe fully. */
    printf("HOLDING %s\n", argv[1]);
    fflush(stdout);

    if (until_pending) {
        if (!wait_for_pending(argv[1]))
            return 1;
    } else {
        /* Raw reads on the handle: any byte (end of a line) or end of input lets go. */
        input = GetStdHandle(STD_INPUT_HANDLE);
        while (ReadFile(input, &byte, 1, &got, NULL) && got == 1 && byte != '\n') {
        }
    }
    CloseHandle(file);
    printf("RELEASED\n");
    fflush(stdout);
    return 0;
}
