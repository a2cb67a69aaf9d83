#include "detect/exact_names.h"

// A value's name that grows again between two reads gets a few more tries.
#define NAME_READ_ATTEMPTS 3
// KEY_VALUE_BASIC_INFORMATION: title index, type, name length in bytes, then the name.
#define VALUE_BASIC_INFORMATION 0
#define NAME_OFFSET 12
#define STATUS_BUFFER_OVERFLOW ((LONG)0x80000005u)
#define STATUS_BUFFER_TOO_SMALL ((LONG)0xC0000023u)
// Windows' longest value name, 16,383 characters, in UTF-16 bytes.
#define LONGEST_NAME_BYTES 32766

bool find_exact_name_calls(exact_name_calls *calls)
{
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    if (ntdll == NULL)
        return false;
    calls->enumerate_value =
        (enumerate_value_call)(void (*)(void))GetProcAddress(ntdll, "NtEnumerateValueKey");
    calls->to_ansi = (to_ansi_call)(void (*)(void))GetProcAddress(ntdll, "RtlUnicodeToMultiByteN");
    return calls->enumerate_value != NULL && calls->to_ansi != NULL;
}

DWORD exact_name_bytes(const read_buffer *name)
{
    DWORD length;
    memcpy(&length, name->text + 8, sizeof length);
    return length;
}

const WCHAR *exact_name_text(const read_buffer *name)
{
    return (const WCHAR *)(name->text + NAME_OFFSET);
}

static bool read_name_at(const exact_name_calls &calls, HKEY key, DWORD index, read_buffer *name)
{
    for (int attempt = 0; attempt < NAME_READ_ATTEMPTS; attempt++) {
        DWORD needed = 0;
        LONG status = calls.enumerate_value((HANDLE)key, index, VALUE_BASIC_INFORMATION, name->text,
                                            name->size, &needed);
        if (status == 0)
            return exact_name_bytes(name) <= LONGEST_NAME_BYTES && NAME_OFFSET + exact_name_bytes(name) <= name->size;
        if ((status != STATUS_BUFFER_OVERFLOW && status != STATUS_BUFFER_TOO_SMALL) ||
            needed > NAME_OFFSET + LONGEST_NAME_BYTES || !grow_buffer(name, needed))
            return false;
    }
    return false;
}

bool read_exact_value_name(const exact_name_calls &calls, HKEY key, DWORD index, read_buffer *name,
                           const char *ansi, DWORD ansi_length)
{
    if (!read_name_at(calls, key, index, name))
        return false;
    read_buffer converted;
    init_buffer(&converted);
    // One byte more than the ANSI name, so that a longer conversion shows.
    DWORD length = 0;
    bool same = grow_buffer(&converted, ansi_length + 1) &&
                calls.to_ansi(converted.text, ansi_length + 1, &length,
                              exact_name_text(name), exact_name_bytes(name)) == 0 &&
                length == ansi_length && memcmp(converted.text, ansi, ansi_length) == 0;
    free_buffer(&converted);
    return same;
}
