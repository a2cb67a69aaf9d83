#include "clean/key_tree.h"

// A subkey that the walk has just listed but cannot open counts as not deleted, so that
// the walk passes over it instead of asking for the same index for ever.
static LONG delete_tree_level(HKEY parent, const char *name, bool top_level)
{
    HKEY key;
    if (RegOpenKeyExA(parent, name, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS)
        return top_level ? 1 : 0;
    DWORD index = 0;
    for (;;) {
        char subkey[KEY_NAME_SIZE];
        DWORD length = KEY_NAME_SIZE;
        if (RegEnumKeyExA(key, index, subkey, &length, NULL, NULL, NULL, NULL) != ERROR_SUCCESS)
            break;
        // After a deletion the next subkey has moved down into the same index.
        if (delete_tree_level(key, subkey, false) != 1)
            index++;
    }
    RegCloseKey(key);
    return RegDeleteKeyA(parent, name) == ERROR_SUCCESS ? 1 : 0;
}

LONG delete_key_tree(HKEY parent, const char *name)
{
    return delete_tree_level(parent, name, true);
}
