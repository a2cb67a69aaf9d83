#include "clean/link_removal.h"

#include "clean/key_tree.h"

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
static bool repair_command(const worm_link &link)
{
    bool repaired = repair_command_under(link.repair_root, link);
    if (link.probe_root != link.repair_root && repair_command_under(link.probe_root, link))
        repaired = true;
    return repaired;
}

// Every marked value goes; the bit says that there was one and that none of them stayed.
static bool remove_run_values(const worm_link &link)
{
    HKEY key;
    if (RegOpenKeyExA(link.repair_root, link.key_path, 0, KEY_ALL_ACCESS | link.view, &key) != ERROR_SUCCESS)
        return false;
    value_walk walk;
    begin_value_walk(&walk, key, link.needle);
    bool found = false;
    bool refused = false;
    while (next_marked_value(&walk)) {
        found = true;
        if (RegDeleteValueA(key, walk.name.text) == ERROR_SUCCESS)
            marked_value_deleted(&walk);
        else
            refused = true;
    }
    end_value_walk(&walk);
    RegCloseKey(key);
    return found && !refused;
}

static bool remove_class_key(const worm_link &link)
{
    HKEY key;
    if (RegOpenKeyExA(link.repair_root, link.key_path, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return delete_key_tree(link.repair_root, link.key_path) != 0;
}

static bool repair_ini(const worm_link &link, const char *path)
{
    if (!ini_entry_marked(link, path))
        return false;
    return WritePrivateProfileStringA(link.ini_section, link.ini_key, link.clean_text, path) != 0;
}

worm_link_mask remove_worm_links(void)
{
    static const link_steps removal = {repair_command, remove_run_values, remove_class_key, repair_ini,
                                       false};
    return walk_worm_links(removal);
}
