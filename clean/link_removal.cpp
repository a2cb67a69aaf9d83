#include "clean/link_removal.h"

#include "clean/key_tree.h"
#include "detect/exact_names.h"
#include "machine/windows_family.h"

typedef LONG(WINAPI *delete_value_call)(HANDLE key, const void *name);

// ntdll's deletion by a counted name, looked up at run time as the 9x family has no ntdll;
// NULL where it cannot be had.
static delete_value_call find_delete_value_call(void)
{
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    if (ntdll == NULL)
        return NULL;
    return (delete_value_call)(void (*)(void))GetProcAddress(ntdll, "NtDeleteValueKey");
}

// Deletes the value whose exact name the walk read; ntdll answers with an NTSTATUS, of which
// only success matters here.
static LONG delete_exact_value(delete_value_call delete_value, HKEY key, const read_buffer *name)
{
    counted_name counted;
    counted.length = (WORD)exact_name_bytes(name);
    counted.maximum_length = counted.length;
    counted.buffer = exact_name_text(name);
    return delete_value((HANDLE)key, &counted) == 0 ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
}

static bool repair_command_under(HKEY root, const worm_link &link)
{
    HKEY key;
    if (RegOpenKeyExA(root, link.key_path, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS)
        return false;
    read_buffer text;
    init_buffer(&text);
    DWORD length = 0;
    DWORD type = REG_NONE;
    bool repaired = false;
    if (read_default_value(key, &text, &type, &length) == ERROR_SUCCESS &&
        marker_found(text.text, length, link.needle)) {
        // RegSetValueA takes REG_SZ only, so an expandable command would never be repaired;
        // the command keeps its string type, and anything else becomes a runnable REG_SZ.
        if (type != REG_EXPAND_SZ)
            type = REG_SZ;
        repaired = RegSetValueExA(key, NULL, 0, type, (const BYTE *)CLEAN_OPEN_COMMAND,
                                  (DWORD)sizeof CLEAN_OPEN_COMMAND) == ERROR_SUCCESS;
    }
    free_buffer(&text);
    RegCloseKey(key);
    return repaired;
}

// Where the classes root still shows the command marked after the repair under the machine
// root (a class override of the user's own), it is repaired there too.
static bool repair_command(const worm_link &link, bool)
{
    bool repaired = repair_command_under(link.repair_root, link);
    if (link.probe_root != link.repair_root && repair_command_under(link.probe_root, link))
        repaired = true;
    return repaired;
}

// Every marked value goes; the bit says that there was one and that none of them stayed.
// On the NT family a value goes by its exact name only, never by the ANSI name, which may
// be another program's value; where exact names cannot be had, or Windows does not say its
// family (it may be NT), no value goes.
static bool remove_run_values(const worm_link &link, bool)
{
    exact_name_calls calls;
    const exact_name_calls *exact = NULL;
    delete_value_call delete_value = NULL;
    DWORD platform = windows_platform();
    if (platform == VER_PLATFORM_WIN32_NT) {
        delete_value = find_delete_value_call();
        if (delete_value == NULL || !find_exact_name_calls(&calls))
            return false;
        exact = &calls;
    } else if (platform != VER_PLATFORM_WIN32_WINDOWS) {
        return false;
    }
    HKEY key;
    if (RegOpenKeyExA(link.repair_root, link.key_path, 0, KEY_ALL_ACCESS | link.view, &key) != ERROR_SUCCESS)
        return false;
    value_walk walk;
    begin_value_walk(&walk, key, link.needle, exact);
    bool found = false;
    bool refused = false;
    while (next_marked_value(&walk)) {
        found = true;
        LONG result = exact != NULL ? delete_exact_value(delete_value, key, &walk.exact_name)
                                    : RegDeleteValueA(key, walk.name.text);
        if (result == ERROR_SUCCESS)
            marked_value_deleted(&walk);
        else
            refused = true;
    }
    end_value_walk(&walk);
    RegCloseKey(key);
    return found && !refused;
}

static bool remove_class_key(const worm_link &link, bool)
{
    HKEY key;
    if (RegOpenKeyExA(link.repair_root, link.key_path, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return delete_key_tree(link.repair_root, link.key_path) != 0;
}

// The longest text a profile write keeps whole: the text passes through a counted Unicode
// string, whose length in bytes has 16 bits; a longer one came back empty or garbled.
#define PROFILE_TEXT_LIMIT 32766

static bool is_item_blank(char c)
{
    return c == ' ' || c == '\t';
}

// The length of the run= item that starts text[0..length): up to the next blank or, for an
// item that opens with a double quote, up to the quote that closes it, blanks and all. 0
// when its quotes have any other shape, which Windows may read another way.
static size_t run_item_length(const char *text, size_t length)
{
    size_t end = 0;
    if (text[0] == '"') {
        end = 1;
        while (end < length && text[end] != '"')
            end++;
        if (end++ == length)
            return 0;
    } else {
        while (end < length && !is_item_blank(text[end]) && text[end] != '"')
            end++;
    }
    return end == length || is_item_blank(text[end]) ? end : 0;
}

// A profile read cuts the blanks off the ends of an entry, vertical tabs and form feeds among
// them, and then drops one pair of matching quotes around the whole of it.
static bool is_cut_off_by_read(char c)
{
    return c == '\v' || c == '\f' || c == '\r';
}

static bool reads_back_otherwise(const char *text, size_t length)
{
    if (length > 0 && (is_cut_off_by_read(text[0]) || is_cut_off_by_read(text[length - 1])))
        return true;
    return length > 1 && (text[0] == '"' || text[0] == '\'') && text[length - 1] == text[0];
}

// Takes the items whose copy in marks carries the needle out of text[0..length), keeping
// the others in their order with one blank between them, and returns the length kept. An
// entry whose items cannot all be told apart, or whose rest would not be written or read
// back as it is, keeps nothing.
static size_t drop_marked_items(char *text, size_t length, char *marks, const char *needle)
{
    size_t kept = 0;
    for (size_t at = 0; at < length;) {
        if (is_item_blank(text[at])) {
            at++;
            continue;
        }
        size_t item = run_item_length(text + at, length - at);
        if (item == 0)
            return 0;
        if (!marker_found(marks + at, item, needle)) {
            if (kept > 0)
                text[kept++] = ' ';
            memmove(text + kept, text + at, item);
            kept += item;
        }
        at += item;
    }
    return kept > PROFILE_TEXT_LIMIT || reads_back_otherwise(text, kept) ? 0 : kept;
}

// Leaves in entry what stays of a marked entry read whole; false when it carries no marker.
// The marker test upper-cases what it reads, so it looks at a copy.
static bool keep_unmarked_items(read_buffer *entry, DWORD count, const char *needle)
{
    read_buffer marks;
    init_buffer(&marks);
    bool marked = grow_buffer(&marks, count + 1);
    if (marked) {
        memcpy(marks.text, entry->text, count);
        marked = marker_found(marks.text, count, needle);
    }
    if (marked)
        entry->text[drop_marked_items(entry->text, count, marks.text, needle)] = '\0';
    free_buffer(&marks);
    return marked;
}

// shell= becomes its clean text, whatever else it held; run= keeps the items of other
// programs, so it is written only when it was read whole.
static bool repair_ini(const worm_link &link, const char *path, bool)
{
    read_buffer entry;
    init_buffer(&entry);
    DWORD count = 0;
    bool whole = read_ini_entry(link.ini_section, link.ini_key, path, &entry, &count);
    const char *text = NULL;
    if (link.clean_text != NULL) {
        if (marker_found(entry.text, count, link.needle))
            text = link.clean_text;
    } else if (whole && keep_unmarked_items(&entry, count, link.needle)) {
        text = entry.text;
    }
    bool repaired =
        text != NULL && WritePrivateProfileStringA(link.ini_section, link.ini_key, text, path) != 0;
    free_buffer(&entry);
    return repaired;
}

worm_link_mask remove_worm_links(void)
{
    static const link_steps removal = {repair_command, remove_run_values, remove_class_key, repair_ini,
                                       false};
    return walk_worm_links(removal);
}
