/* Lab helper: registry values whose names the ANSI calls cannot spell (characters outside
 * the code page, NULs inside), written and listed through ntdll's counted names.
 *
 * Usage: reg_names.exe set <key under HKLM> <name> <text>
 *          sets a REG_SZ value; prints "SET".
 *        reg_names.exe list <key under HKLM>
 *          prints each value's name, one a line, in the key's order.
 *        reg_names.exe key <key under HKLM> <name>
 *          creates a subkey of that name; prints "CREATED".
 * In names, %XXXX is the UTF-16 unit XXXX (hex): "Update%0000svc", "x%4E00"; every other
 * character is itself. Listed names use the same form for anything outside printable ASCII
 * and for '%'. Exits 1 (with "FAILED <step> <status>") when a call fails, 2 on bad usage. */
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

typedef struct {
    USHORT Length;
    USHORT MaximumLength;
    WCHAR *Buffer;
} counted_name;

typedef LONG(WINAPI *set_value_call)(HANDLE, counted_name *, ULONG, ULONG, void *, ULONG);
typedef LONG(WINAPI *enumerate_value_call)(HANDLE, ULONG, ULONG, void *, ULONG, ULONG *);
typedef LONG(WINAPI *create_key_call)(HANDLE *, ULONG, void *, ULONG, void *, ULONG, ULONG *);

typedef struct {
    ULONG Length;
    HANDLE RootDirectory;
    counted_name *ObjectName;
    ULONG Attributes;
    void *SecurityDescriptor;
    void *SecurityQualityOfService;
} object_attributes;

static int failed(const char *step, long status)
{
    printf("FAILED %s %lx\n", step, (unsigned long)status);
    return 1;
}

static int parse_name(const char *text, WCHAR *name, int size)
{
    int length = 0;
    while (*text && length < size) {
        if (text[0] == '%' && strlen(text) >= 5) {
            char hex[5] = {text[1], text[2], text[3], text[4], 0};
            name[length++] = (WCHAR)strtoul(hex, NULL, 16);
            text += 5;
        } else {
            name[length++] = (WCHAR)(unsigned char)*text++;
        }
    }
    return length;
}

static FARPROC ntdll(const char *name)
{
    return GetProcAddress(GetModuleHandleA("ntdll.dll"), name);
}

static int set_value(HKEY key, const char *name_text, const char *text)
{
    WCHAR name[512], data[1024];
    counted_name counted;
    int length = parse_name(name_text, name, 512);
    int data_length = MultiByteToWideChar(CP_ACP, 0, text, -1, data, 1024);
    set_value_call set = (set_value_call)ntdll("NtSetValueKey");
    LONG status;
    counted.Length = counted.MaximumLength = (USHORT)(length * sizeof(WCHAR));
    counted.Buffer = name;
    status = set(key, &counted, 0, REG_SZ, data, (ULONG)data_length * sizeof(WCHAR));
    if (status != 0)
        return failed("set", status);
    printf("SET\n");
    return 0;
}

static int create_subkey(HKEY key, const char *name_text)
{
    WCHAR name[512];
    counted_name counted;
    object_attributes attributes = {sizeof attributes, key, &counted, 0x40, NULL, NULL};
    create_key_call create = (create_key_call)ntdll("NtCreateKey");
    HANDLE subkey;
    ULONG disposition;
    LONG status;
    int length = parse_name(name_text, name, 512);
    counted.Length = counted.MaximumLength = (USHORT)(length * sizeof(WCHAR));
    counted.Buffer = name;
    status = create(&subkey, KEY_ALL_ACCESS, &attributes, 0, NULL, 0, &disposition);
    if (status != 0)
        return failed("create", status);
    RegCloseKey((HKEY)subkey);
    printf("CREATED\n");
    return 0;
}

static int list_values(HKEY key)
{
    enumerate_value_call enumerate = (enumerate_value_call)ntdll("NtEnumerateValueKey");
    ULONG info[4096];
    ULONG index, needed, i;
    for (index = 0;; index++) {
        /* KeyValueBasicInformation: title index, type, name bytes, name. */
        LONG status = enumerate(key, index, 0, info, sizeof info, &needed);
        const WCHAR *name = (const WCHAR *)&info[3];
        if (status == (LONG)0x8000001A)
            return 0;
        if (status != 0)
            return failed("enumerate", status);
        for (i = 0; i < info[2] / sizeof(WCHAR); i++) {
            if (name[i] >= 0x20 && name[i] < 0x7F && name[i] != '%')
                putchar((char)name[i]);
            else
                printf("%%%04X", (unsigned)name[i]);
        }
        putchar('\n');
    }
}

int main(int argc, char **argv)
{
    HKEY key;
    int rc = 2;
    LONG error;
    if (argc < 3 || !((argc == 5 && strcmp(argv[1], "set") == 0) ||
                      (argc == 3 && strcmp(argv[1], "list") == 0) ||
                      (argc == 4 && strcmp(argv[1], "key") == 0))) {
        fprintf(stderr, "usage: reg_names set <key> <name> <text> | list <key> | key <key> <name>\n");
        return 2;
    }
    error = RegOpenKeyExA(HKEY_LOCAL_MACHINE, argv[2], 0, KEY_ALL_ACCESS, &key);
    if (error != ERROR_SUCCESS)
        return failed("open", error);
    if (argc == 5)
        rc = set_value(key, argv[3], argv[4]);
    else if (argc == 4)
        rc = create_subkey(key, argv[3]);
    else
        rc = list_values(key);
    RegCloseKey(key);
    fflush(stdout);
    return rc;
}
