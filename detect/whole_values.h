// Registry values, their names and ini entries read whole, whatever their length: what fits
// goes into a fixed buffer, anything longer into a heap buffer of the size Windows reports.
#ifndef DETECT_WHOLE_VALUES_H
#define DETECT_WHOLE_VALUES_H

#include <stddef.h>

#include "detect/read_buffer.h"

struct exact_name_calls;

// The largest buffer an ini entry is read into (1 MiB), so that an entry that keeps growing
// costs at most twelve reads; an entry that does not fit counts as not read whole.
#define INI_VALUE_LIMIT 0x100000
// Unreadable values in a row after which a value walk gives up, so that it always ends.
#define VALUE_ERROR_LIMIT 16

// Upper-cases text[0..length) in place up to its first NUL (ASCII a to z only) and tells
// whether the upper-case needle occurs in that text. Never reads past length bytes.
bool marker_found(char *text, size_t length, const char *needle);

// Reads the default value of an open key into buffer, through RegQueryValueA when type is
// NULL and RegQueryValueExA otherwise; *length gets the bytes read. Returns the result of
// the last call.
LONG read_default_value(HKEY key, read_buffer *buffer, DWORD *type, DWORD *length);

// Reads an ini entry with no default into buffer; *count gets the characters read. False
// when the entry may go on beyond them (it did not fit INI_VALUE_LIMIT, or no bigger buffer
// could be had).
bool read_ini_entry(const char *section, const char *key, const char *path, read_buffer *buffer,
                    DWORD *count);

// One walk over the values of an open key from index 0.
struct value_walk {
    HKEY key;
    const char *needle;
    DWORD index;  // of the next value to read
    read_buffer name;
    read_buffer data;
    bool unreadable;  // some value was passed over because it could not be read
    DWORD name_length;  // bytes of the ANSI name, which may hold NULs
    // Set for a walk that deletes on the NT family: the value's exact name, read too.
    const exact_name_calls *exact;
    read_buffer exact_name;
    DWORD deletions;
    DWORD deletion_limit;
    DWORD reads;
    DWORD read_limit;  // reads the walk may make; from the value count once it needs one
};

// exact is NULL for a walk that only looks, or that deletes by the ANSI name (9x family).
void begin_value_walk(value_walk *walk, HKEY key, const char *needle,
                      const exact_name_calls *exact = NULL);
// Moves on to the next value whose data carries the needle and leaves its name in
// walk->name.text (and its exact name in walk->exact_name). A value that cannot be read, or
// whose exact name does not give its ANSI name, is passed over; false when none is left.
// A key that keeps growing ends the walk after twice the values it had when the walk had read
// as many as a key without values allows, and a few more, which counts as a value that could
// not be read.
bool next_marked_value(value_walk *walk);
// The value last found is gone: the ones behind it have each moved down one place. Only so
// many deletions per walk (the key's values at the first one, and a few more) step back, so
// that a value that is back at once does not hold the walk for ever.
void marked_value_deleted(value_walk *walk);
void end_value_walk(value_walk *walk);

#endif
