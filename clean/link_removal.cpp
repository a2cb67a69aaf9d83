#include "clean/link_removal.h"

#include "clean/key_tree.h"

static bool repair_command(const worm_link &link)
{
    HKEY key;
    if (RegOpenKeyExA(link.repair_root, link.key_path, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS)
        return false;
    char text[REG_TEXT_SIZE];
    DWORD size = REG_TEXT_SIZE;
    DWORD type = REG_NONE;
    bool repaired = false;
    if (RegQueryValueExA(key, NULL, NULL, &type, (BYTE *)text, &size) == ERROR_SUCCESS &&
        marker_found(text, size < REG_TEXT_SIZE ? size : REG_TEXT_SIZE, link.needle)) {
        // RegSetValueA takes REG_SZ only, so an expandable command would never be repaired;
        // the command keeps its string type, and anything else becomes a runnable REG_SZ.
        if (type != REG_EXPAND_SZ)
            type = REG_SZ;
        strcpy(text, CLEAN_OPEN_COMMAND);
        repaired = RegSetValueExA(key, NULL, 0, type, (const BYTE *)text,
                                  (DWORD)sizeof CLEAN_OPEN_COMMAND) == ERROR_SUCCESS;
    }
    RegCloseKey(key);
    return repaired;
}

// Only the first marked value goes in one run; the walk ends there whatever the deletion did.
static bool remove_run_value(const worm_link &link)
{
    HKEY key;
    if (RegOpenKeyExA(link.repair_root, link.key_path, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS)
        return false;
    char name[REG_TEXT_SIZE];
    BYTE data[REG_TEXT_SIZE];
    bool removed = find_marked_value(key, link.needle, name, data) &&
                   RegDeleteValueA(key, name) == ERROR_SUCCESS;
    RegCloseKey(key);
    return removed;
}

static bool remove_class_key(const worm_link &link)
{
    HKEY key;
    if (RegOpenKeyExA(link.repair_root, link.key_path, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return delete_key_tree(link.repair_root, link.key_path) != 0;
}

static bool repair_ini(const worm_link &link, char *dir, bool *dir_asked)
{
    char path[INI_PATH_SIZE];
    char value[REG_TEXT_SIZE];
    if (!link_ini_path(link, dir, dir_asked, path) || !ini_entry_marked(link, path, value))
        return false;
    return WritePrivateProfileStringA(link.ini_section, link.ini_key, link.clean_text, path) != 0;
}

worm_link_mask remove_worm_links(void)
{
    worm_link_mask mask = 0;
    char dir[WINDOWS_DIR_SIZE];
    bool dir_asked = false;
    for (size_t i = 0; i < WORM_LINK_COUNT; i++) {
        const worm_link &link = WORM_LINKS[i];
        bool removed = false;
        switch (link.kind) {
        case LINK_KIND_COMMAND: removed = repair_command(link); break;
        case LINK_KIND_RUN_VALUES: removed = remove_run_value(link); break;
        case LINK_KIND_CLASS_KEY: removed = remove_class_key(link); break;
        case LINK_KIND_INI: removed = repair_ini(link, dir, &dir_asked); break;
        }
        if (removed)
            mask |= link.bit;
    }
    return mask;
}
