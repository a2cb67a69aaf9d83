#include "clean/key_tree.h"

#include "clean/windows_family.h"

#define LINK_VALUE_NAME "SymbolicLinkValue"
// The deepest the NT family nests keys; a tree below that counts as not deleted rather than
// take the stack with it.
#define KEY_TREE_DEPTH 512
// Deletions in one key beyond its subkeys at the first one that still step back.
#define EXTRA_DELETIONS 16

typedef LONG(WINAPI *nt_delete_key_call)(HANDLE key);

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

// Subkey deletions in a key that may step back to the same index: its subkeys now, the one
// just deleted, and a few more; so a subkey that is back at once does not hold the walk.
static DWORD deletion_limit(HKEY key)
{
    DWORD subkeys = 0;
    if (RegQueryInfoKeyA(key, NULL, NULL, NULL, &subkeys, NULL, NULL, NULL, NULL, NULL, NULL, NULL) !=
        ERROR_SUCCESS)
        subkeys = 0;
    return subkeys + 1 + EXTRA_DELETIONS;
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

// A subkey that the walk has just listed but cannot open counts as not deleted, so that
// the walk passes over it instead of asking for the same index for ever. With
// REG_OPTION_OPEN_LINK in options a link is deleted as itself; its target is no part of
// the tree.
static LONG delete_tree_level(HKEY parent, const char *name, int depth, DWORD options)
{
    bool top_level = depth == 0;
    if (depth > KEY_TREE_DEPTH)
        return 0;
    HKEY key;
    if (RegOpenKeyExA(parent, name, options, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS)
        return top_level ? 1 : 0;
    if ((options & REG_OPTION_OPEN_LINK) && is_link(key)) {
        bool deleted = delete_open_link(key);
        RegCloseKey(key);
        return deleted ? 1 : 0;
    }
    DWORD index = 0;
    DWORD deletions = 0;
    DWORD limit = 0;
    for (;;) {
        char subkey[KEY_NAME_SIZE];
        DWORD length = KEY_NAME_SIZE;
        if (RegEnumKeyExA(key, index, subkey, &length, NULL, NULL, NULL, NULL) != ERROR_SUCCESS)
            break;
        if (delete_tree_level(key, subkey, depth + 1, options) != 1) {
            index++;
            continue;
        }
        // After a deletion the next subkey has moved down into the same index.
        if (deletions == 0)
            limit = deletion_limit(key);
        if (++deletions > limit)
            index++;
    }
    RegCloseKey(key);
    return RegDeleteKeyA(parent, name) == ERROR_SUCCESS ? 1 : 0;
}

LONG delete_key_tree(HKEY parent, const char *name)
{
    // Registry links exist on the NT family only; the 9x family's option word is reserved.
    DWORD options = is_nt_family() ? REG_OPTION_OPEN_LINK : 0;
    return delete_tree_level(parent, name, 0, options);
}
