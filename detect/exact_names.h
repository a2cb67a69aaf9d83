// Value names exactly as the NT family stores them. The ANSI calls give a character outside
// the code page as '?' (or by best fit as a look-alike letter) and a name with a NUL inside
// as its part before the NUL, so through them such a name can neither be told from another
// program's namesake nor deleted. ntdll's calls take counted UTF-16 names; they are looked
// up at run time, as the 9x family has no ntdll. Only the reading calls are here: the
// cleaning looks up the call it deletes with itself.
#ifndef DETECT_EXACT_NAMES_H
#define DETECT_EXACT_NAMES_H

#include "detect/read_buffer.h"

// UNICODE_STRING: lengths in bytes, the text not NUL-terminated.
struct counted_name {
    WORD length;
    WORD maximum_length;
    const WCHAR *buffer;
};

typedef LONG(WINAPI *enumerate_value_call)(HANDLE key, DWORD index, DWORD info_class, void *info,
                                           DWORD length, DWORD *result_length);
typedef LONG(WINAPI *to_ansi_call)(char *out, DWORD out_size, DWORD *result, const WCHAR *in,
                                   DWORD in_bytes);

struct exact_name_calls {
    enumerate_value_call enumerate_value;
    to_ansi_call to_ansi;
};

// False when ntdll or one of its reading calls cannot be had.
bool find_exact_name_calls(exact_name_calls *calls);

// Reads the exact name of the value at index into name and tells whether it is the value
// that the ANSI enumeration gave as ansi[0..ansi_length) at that index, so that the data
// read with that ANSI name is this value's.
bool read_exact_value_name(const exact_name_calls &calls, HKEY key, DWORD index, read_buffer *name,
                           const char *ansi, DWORD ansi_length);

// The exact name that read_exact_value_name left in name, as UTF-16 text and its length in
// bytes, not NUL-terminated: what ntdll's calls that take a counted name are given.
const WCHAR *exact_name_text(const read_buffer *name);
DWORD exact_name_bytes(const read_buffer *name);

#endif
