#include "detect/whole_values.h"

#include "detect/exact_names.h"

// A value that grows again between the size query and the read gets a few more tries.
#define GROW_ATTEMPTS 3
// The reads that any key allows, however few values it has: a walk asks the key's value
// count only when it gets that far, which a look at a key of a few values never does.
#define READS_BEFORE_COUNT (2 * (1 + VALUE_ERROR_LIMIT))

bool marker_found(char *text, size_t length, const char *needle)
{
    size_t end = 0;
    while (end < length && text[end] != '\0') {
        if (text[end] >= 'a' && text[end] <= 'z')
            text[end] = (char)(text[end] - ('a' - 'A'));
        end++;
    }
    size_t needle_length = strlen(needle);
    for (size_t start = 0; start + needle_length <= end; start++) {
        if (memcmp(text + start, needle, needle_length) == 0)
            return true;
    }
    return false;
}

static LONG query_default_value(HKEY key, read_buffer *buffer, DWORD *type, DWORD *size)
{
    if (type != NULL)
        return RegQueryValueExA(key, NULL, NULL, type, (BYTE *)buffer->text, size);
    LONG text_size = (LONG)*size;
    LONG result = RegQueryValueA(key, NULL, buffer->text, &text_size);
    *size = (DWORD)text_size;
    return result;
}

// Windows answers ERROR_MORE_DATA with the size needed.
LONG read_default_value(HKEY key, read_buffer *buffer, DWORD *type, DWORD *length)
{
    for (int attempt = 0;; attempt++) {
        DWORD size = buffer->size;
        LONG result = query_default_value(key, buffer, type, &size);
        *length = size < buffer->size ? size : buffer->size;
        if (result != ERROR_MORE_DATA || attempt == GROW_ATTEMPTS || size <= buffer->size ||
            !grow_buffer(buffer, size))
            return result;
    }
}

// Windows gives size - 1 characters when an entry does not fit, so a count that fills the
// buffer may be only the start of the entry: read again into one twice the size.
bool read_ini_entry(const char *section, const char *key, const char *path, read_buffer *buffer,
                    DWORD *count)
{
    for (;;) {
        *count = GetPrivateProfileStringA(section, key, NULL, buffer->text, buffer->size, path);
        if (*count + 1 < buffer->size)
            return true;
        if (buffer->size >= INI_VALUE_LIMIT || !grow_buffer(buffer, buffer->size * 2))
            return false;
    }
}

void begin_value_walk(value_walk *walk, HKEY key, const char *needle, const exact_name_calls *exact)
{
    walk->key = key;
    walk->needle = needle;
    walk->index = 0;
    walk->unreadable = false;
    walk->name_length = 0;
    walk->exact = exact;
    walk->deletions = 0;
    walk->deletion_limit = 0;
    walk->reads = 0;
    walk->read_limit = READS_BEFORE_COUNT;
    init_buffer(&walk->name);
    init_buffer(&walk->data);
    init_buffer(&walk->exact_name);
}

// Room for the key's longest value name and data; false when the buffers did not grow.
static bool fit_longest_value(value_walk *walk, DWORD data_needed)
{
    DWORD longest_name = 0;
    DWORD longest_data = 0;
    if (RegQueryInfoKeyA(walk->key, NULL, NULL, NULL, NULL, NULL, NULL, NULL, &longest_name,
                         &longest_data, NULL, NULL) != ERROR_SUCCESS ||
        longest_name > 0x10000)
        return false;
    // Windows counts the name in characters; in the ANSI code page one may take two bytes.
    DWORD name_size = 2 * longest_name + 2;
    DWORD data_size = longest_data > data_needed ? longest_data : data_needed;
    if (name_size <= walk->name.size && data_size <= walk->data.size)
        return false;
    return grow_buffer(&walk->name, name_size) && grow_buffer(&walk->data, data_size);
}

// Reads the value at the walk's index; *length is bounded by the data buffer.
static LONG read_value(value_walk *walk, DWORD *length)
{
    for (int attempt = 0;; attempt++) {
        DWORD name_size = walk->name.size;
        DWORD data_size = walk->data.size;
        DWORD type = REG_NONE;
        LONG result = RegEnumValueA(walk->key, walk->index, walk->name.text, &name_size, NULL,
                                    &type, (BYTE *)walk->data.text, &data_size);
        *length = data_size < walk->data.size ? data_size : walk->data.size;
        walk->name_length = name_size < walk->name.size ? name_size : walk->name.size;
        if (result != ERROR_MORE_DATA || attempt == GROW_ATTEMPTS ||
            !fit_longest_value(walk, data_size))
            return result;
    }
}

// The values the key holds now, with room for one more and for the unreadable ones a walk
// passes over.
static DWORD value_margin(HKEY key)
{
    DWORD values = 0;
    if (RegQueryInfoKeyA(key, NULL, NULL, NULL, NULL, NULL, NULL, &values, NULL, NULL, NULL, NULL) !=
        ERROR_SUCCESS)
        values = 0;
    return values + 1 + VALUE_ERROR_LIMIT;
}

// Each value is read once, and once more after each deletion before it.
static DWORD read_limit(HKEY key)
{
    return 2 * value_margin(key);
}

bool next_marked_value(value_walk *walk)
{
    int errors = 0;
    for (;;) {
        if (walk->reads == READS_BEFORE_COUNT)
            walk->read_limit = read_limit(walk->key);
        if (++walk->reads > walk->read_limit) {
            walk->unreadable = true;
            return false;
        }
        DWORD length = 0;
        LONG result = read_value(walk, &length);
        if (result == ERROR_NO_MORE_ITEMS)
            return false;
        walk->index++;
        if (result == ERROR_SUCCESS) {
            errors = 0;
            if (!marker_found(walk->data.text, length, walk->needle))
                continue;
            if (walk->exact == NULL ||
                read_exact_value_name(*walk->exact, walk->key, walk->index - 1, &walk->exact_name,
                                      walk->name.text, walk->name_length))
                return true;
        }
        walk->unreadable = true;
        if (++errors == VALUE_ERROR_LIMIT)
            return false;
    }
}

void marked_value_deleted(value_walk *walk)
{
    if (walk->deletions == 0)
        walk->deletion_limit = value_margin(walk->key);
    if (++walk->deletions <= walk->deletion_limit)
        walk->index--;
}

void end_value_walk(value_walk *walk)
{
    free_buffer(&walk->name);
    free_buffer(&walk->data);
    free_buffer(&walk->exact_name);
}
