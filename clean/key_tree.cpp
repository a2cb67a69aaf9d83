#include "clean/key_tree.h"

#include "detect/exact_names.h"
#include "machine/windows_family.h"

#define LINK_VALUE_NAME "SymbolicLinkValue"
// The deepest the NT family nests keys; a tree below that counts as not deleted rather than
// take the stack with it.
#define KEY_TREE_DEPTH 512
// Deletions in one key beyond its subkeys at the start that still step back.
#define EXTRA_DELETIONS 16

// On the NT family the keys below the top one are listed, opened and deleted through ntdll
// by their exact names: the ANSI calls give a character outside the code page as '?', so
// such a key could be neither opened nor deleted through them.
typedef LONG(WINAPI *nt_delete_key_call)(HANDLE key);
typedef LONG(WINAPI *nt_enumerate_key_call)(HANDLE key, DWORD index, DWORD info_class, void *info,
                                            DWORD length, DWORD *result_length);
typedef LONG(WINAPI *nt_open_key_call)(HANDLE *key, DWORD access, const void *attributes);

struct native_key_calls {
    nt_enumerate_key_call enumerate_key;
    nt_open_key_call open_key;
    nt_delete_key_call delete_key;
};

// OBJECT_ATTRIBUTES as ntdll takes it.
struct object_attributes {
    DWORD length;
    HANDLE root;
    const counted_name *name;
    DWORD attributes;
    void *security_descriptor;
    void *security_quality_of_service;
};
#define NAME_CASE_INSENSITIVE 0x40u
#define OPEN_LINK_ITSELF 0x100u
// KEY_BASIC_INFORMATION: write time, title index, name length in bytes, then the name, with
// room for the longest key name Windows allows.
#define KEY_BASIC_INFORMATION 0
#define KEY_INFO_NAME_LENGTH 3
#define KEY_INFO_NAME 4
#define KEY_INFO_WORDS (KEY_INFO_NAME + KEY_NAME_SIZE / 2)

// A key made as a registry link holds its target's name in a REG_LINK value of this name,
// and has no subkeys: an ordinary key with such a value is no link, and its tree goes.
static bool is_link(HKEY key)
{
    DWORD type = REG_NONE;
    DWORD subkeys = 0;
    return RegQueryValueExA(key, LINK_VALUE_NAME, NULL, &type, NULL, NULL) == ERROR_SUCCESS &&
           type == REG_LINK &&
           RegQueryInfoKeyA(key, NULL, NULL, NULL, &subkeys, NULL, NULL, NULL, NULL, NULL, NULL,
                            NULL) == ERROR_SUCCESS &&
           subkeys == 0;
}

// The work of one key's walk, bounded by its subkeys at the start and a few more: only so
// many deletions step back to the same index, so a subkey that is back at once does not
// hold the walk, and only twice as many subkeys are listed, so a key that keeps growing
// does not either. What the walk leaves counts as not deleted.
struct walk_bounds {
    DWORD limit;
    DWORD reads;
    DWORD deletions;
};

static void begin_bounds(HKEY key, walk_bounds *bounds)
{
    DWORD subkeys = 0;
    if (RegQueryInfoKeyA(key, NULL, NULL, NULL, &subkeys, NULL, NULL, NULL, NULL, NULL, NULL, NULL) !=
        ERROR_SUCCESS)
        subkeys = 0;
    bounds->limit = subkeys + 1 + EXTRA_DELETIONS;
    bounds->reads = 0;
    bounds->deletions = 0;
}

static bool may_list(walk_bounds *bounds)
{
    return ++bounds->reads <= 2 * bounds->limit;
}

// After a deletion the next subkey has moved down into the same index.
static DWORD next_index_after_deletion(walk_bounds *bounds, DWORD index)
{
    return ++bounds->deletions <= bounds->limit ? index : index + 1;
}

// RegDeleteKeyA opens the name again and follows the link to its target, and reopening a
// link from its own handle by an empty name brings some NT kernels down; NtDeleteKey
// deletes the very key its handle holds. It is looked up at run time so that the program
// still loads where ntdll lacks it.
static bool delete_open_link(HKEY link)
{
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    if (ntdll == NULL)
        return false;
    nt_delete_key_call nt_delete_key =
        (nt_delete_key_call)(void (*)(void))GetProcAddress(ntdll, "NtDeleteKey");
    return nt_delete_key != NULL && nt_delete_key((HANDLE)link) == 0;
}

static bool find_native_key_calls(native_key_calls *calls)
{
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    if (ntdll == NULL)
        return false;
    calls->enumerate_key = (nt_enumerate_key_call)(void (*)(void))GetProcAddress(ntdll, "NtEnumerateKey");
    calls->open_key = (nt_open_key_call)(void (*)(void))GetProcAddress(ntdll, "NtOpenKey");
    calls->delete_key = (nt_delete_key_call)(void (*)(void))GetProcAddress(ntdll, "NtDeleteKey");
    return calls->enumerate_key != NULL && calls->open_key != NULL && calls->delete_key != NULL;
}

// Opens the subkey listed at index by its exact name, a link as itself. *listed is false
// when no subkey is listed there.
static bool open_subkey_at(const native_key_calls &calls, HKEY key, DWORD index, HKEY *subkey,
                           bool *listed)
{
    DWORD info[KEY_INFO_WORDS];
    DWORD needed = 0;
    *listed = calls.enumerate_key((HANDLE)key, index, KEY_BASIC_INFORMATION, info, sizeof info,
                                  &needed) == 0;
    if (!*listed)
        return false;
    counted_name name;
    name.length = (WORD)info[KEY_INFO_NAME_LENGTH];
    name.maximum_length = name.length;
    name.buffer = (const WCHAR *)&info[KEY_INFO_NAME];
    object_attributes attributes;
    attributes.length = sizeof attributes;
    attributes.root = (HANDLE)key;
    attributes.name = &name;
    attributes.attributes = NAME_CASE_INSENSITIVE | OPEN_LINK_ITSELF;
    attributes.security_descriptor = NULL;
    attributes.security_quality_of_service = NULL;
    HANDLE handle = NULL;
    if (calls.open_key(&handle, KEY_ALL_ACCESS, &attributes) != 0)
        return false;
    *subkey = (HKEY)handle;
    return true;
}

// Deletes the keys below an open key, each through its own handle once the keys below it
// are gone. A link, opened as itself, has no keys below it and goes as itself. Keys deeper
// than the NT family nests them are not walked and stay, and so does their parent.
static void delete_subkeys_exactly(const native_key_calls &calls, HKEY key, int depth)
{
    DWORD index = 0;
    walk_bounds bounds;
    begin_bounds(key, &bounds);
    while (may_list(&bounds)) {
        HKEY subkey = NULL;
        bool listed = false;
        bool deleted = false;
        if (open_subkey_at(calls, key, index, &subkey, &listed)) {
            if (depth < KEY_TREE_DEPTH)
                delete_subkeys_exactly(calls, subkey, depth + 1);
            deleted = calls.delete_key((HANDLE)subkey) == 0;
            RegCloseKey(subkey);
        }
        if (!listed)
            break;
        index = deleted ? next_index_after_deletion(&bounds, index) : index + 1;
    }
}

// The 9x family: names are what the ANSI calls give, and there are no links. A subkey that
// the walk has just listed but cannot open counts as not deleted, so that the walk passes
// over it instead of asking for the same index for ever.
static LONG delete_tree_level(HKEY parent, const char *name, int depth)
{
    bool top_level = depth == 0;
    if (depth > KEY_TREE_DEPTH)
        return 0;
    HKEY key;
    LONG opened = RegOpenKeyExA(parent, name, 0, KEY_ALL_ACCESS, &key);
    if (opened != ERROR_SUCCESS)
        return top_level && opened == ERROR_FILE_NOT_FOUND ? 1 : 0;
    DWORD index = 0;
    walk_bounds bounds;
    begin_bounds(key, &bounds);
    while (may_list(&bounds)) {
        char subkey[KEY_NAME_SIZE];
        DWORD length = KEY_NAME_SIZE;
        if (RegEnumKeyExA(key, index, subkey, &length, NULL, NULL, NULL, NULL) != ERROR_SUCCESS)
            break;
        bool deleted = delete_tree_level(key, subkey, depth + 1) == 1;
        index = deleted ? next_index_after_deletion(&bounds, index) : index + 1;
    }
    RegCloseKey(key);
    return RegDeleteKeyA(parent, name) == ERROR_SUCCESS ? 1 : 0;
}

// Registry links exist on the NT family only; the 9x family's option word is reserved. Where
// ntdll's calls cannot be had, no key below name is touched, and on the NT family name then
// stays if it has any. A Windows that does not say its family may be of the NT family, where
// the 9x walk would follow a link into another program's keys: there nothing is touched.
LONG delete_key_tree(HKEY parent, const char *name)
{
    DWORD platform = windows_platform();
    if (platform == VER_PLATFORM_WIN32_WINDOWS)
        return delete_tree_level(parent, name, 0);
    if (platform != VER_PLATFORM_WIN32_NT)
        return 0;
    HKEY key;
    LONG opened = RegOpenKeyExA(parent, name, REG_OPTION_OPEN_LINK, KEY_ALL_ACCESS, &key);
    if (opened != ERROR_SUCCESS)
        return opened == ERROR_FILE_NOT_FOUND ? 1 : 0;
    if (is_link(key)) {
        bool deleted = delete_open_link(key);
        RegCloseKey(key);
        return deleted ? 1 : 0;
    }
    native_key_calls calls;
    if (find_native_key_calls(&calls))
        delete_subkeys_exactly(calls, key, 1);
    RegCloseKey(key);
    return RegDeleteKeyA(parent, name) == ERROR_SUCCESS ? 1 : 0;
}
