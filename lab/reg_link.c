/* Lab helper: registry links, which neither regedit nor reg can make or show.
 *
 * Usage: reg_link.exe create <key under HKLM> <target>
 *          makes the key as a link whose target is the registry path <target>
 *          (for example \Registry\Machine\Software\Classes\Other); prints "LINKED".
 *        reg_link.exe show <key under HKLM>
 *          prints "LINK <target>", "KEY" or "ABSENT", looking at the key itself.
 * Exits 1 (with "FAILED <step> <error>") when a call fails, 2 on bad usage. */
#include <windows.h>
#include <stdio.h>
#include <string.h>

#ifndef REG_OPTION_CREATE_LINK
#define REG_OPTION_CREATE_LINK 0x2
#endif
#ifndef REG_OPTION_OPEN_LINK
#define REG_OPTION_OPEN_LINK 0x8
#endif

static int failed(const char *step, LONG error)
{
    printf("FAILED %s %ld\n", step, (long)error);
    return 1;
}

static int create_link(const char *path, const char *target)
{
    WCHAR wide[1024];
    HKEY key;
    LONG error;
    int length = MultiByteToWideChar(CP_ACP, 0, target, -1, wide, 1024);
    if (length <= 1)
        return failed("target", (LONG)GetLastError());
    error = RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, NULL, REG_OPTION_CREATE_LINK,
                            KEY_ALL_ACCESS, NULL, &key, NULL);
    if (error != ERROR_SUCCESS)
        return failed("create", error);
    /* The target is stored without its terminating NUL. */
    error = RegSetValueExW(key, L"SymbolicLinkValue", 0, REG_LINK, (const BYTE *)wide,
                           (DWORD)(length - 1) * sizeof(WCHAR));
    RegCloseKey(key);
    if (error != ERROR_SUCCESS)
        return failed("set", error);
    printf("LINKED\n");
    return 0;
}

static int show(const char *path)
{
    WCHAR wide[1024];
    char target[1024];
    DWORD type = REG_NONE, size = sizeof wide - sizeof(WCHAR);
    HKEY key;
    LONG error = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, REG_OPTION_OPEN_LINK, KEY_READ, &key);
    if (error == ERROR_FILE_NOT_FOUND) {
        printf("ABSENT\n");
        return 0;
    }
    if (error != ERROR_SUCCESS)
        return failed("open", error);
    error = RegQueryValueExW(key, L"SymbolicLinkValue", NULL, &type, (BYTE *)wide, &size);
    RegCloseKey(key);
    if (error != ERROR_SUCCESS || type != REG_LINK) {
        printf("KEY\n");
        return 0;
    }
    wide[size / sizeof(WCHAR)] = 0;
    WideCharToMultiByte(CP_ACP, 0, wide, -1, target, sizeof target, NULL, NULL);
    printf("LINK %s\n", target);
    return 0;
}

int main(int argc, char **argv)
{
    int rc = 2;
    if (argc == 4 && strcmp(argv[1], "create") == 0)
        rc = create_link(argv[2], argv[3]);
    else if (argc == 3 && strcmp(argv[1], "show") == 0)
        rc = show(argv[2]);
    else
        fprintf(stderr, "usage: reg_link create <key> <target> | reg_link show <key>\n");
    fflush(stdout);
    return rc;
}
