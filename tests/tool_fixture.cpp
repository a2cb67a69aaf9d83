#include "tests/tool_fixture.h"

#include "frontend/console.h"
#include "frontend/removal_flow.h"
#include "frontend/run_record.h"
#include "frontend/switches.h"
#include "shield/shield.h"

void reset_tool_state()
{
    memset(system_dir, 0, sizeof system_dir);
    memset(worm_path, 0, sizeof worm_path);
    saved_shield_state = SHIELD_NO_STATE;
    reset_key_reader();
    memset(&options, 0, sizeof options);
    reset_run_record();
}

static void write_ini_files(const char *run, const char *shell)
{
    sim::write_file(WIN_INI, std::string("[windows]\r\nload=\r\nrun=") + run +
                                 "\r\n\r\n[Desktop]\r\nWallpaper=(None)\r\n");
    sim::write_file(SYSTEM_INI, std::string("[boot]\r\nshell=") + shell +
                                    "\r\nsystem.drv=system.drv\r\n");
}

void plant_clean_ini_files()
{
    write_ini_files("", "Explorer.exe");
}

void plant_links(worm_link_mask mask)
{
    if (mask & (LINK_MACHINE_EXE_COMMAND | LINK_CLASSES_EXE_COMMAND))
        sim::set_text(HKEY_LOCAL_MACHINE, MACHINE_COMMAND_KEY, NULL, INFECTED_COMMAND);
    if (mask & LINK_RUNSERVICES) {
        sim::set_text(HKEY_LOCAL_MACHINE, RUNSERVICES_KEY, "LoadPowerProfile", "Rundll32.exe powrprof.dll");
        sim::set_text(HKEY_LOCAL_MACHINE, RUNSERVICES_KEY, "SysTask", "C:\\WINDOWS\\SYSTEM32\\tavrel32.exe");
    }
    if (mask & LINK_RUN) {
        sim::set_text(HKEY_LOCAL_MACHINE, RUN_KEY, "ScanRegistry", "C:\\WINDOWS\\scanregw.exe /autorun");
        sim::set_text(HKEY_LOCAL_MACHINE, RUN_KEY, "SysTask", "C:\\WINDOWS\\SYSTEM32\\Tavrel32.exe -s");
    }
    if (mask & LINK_DL_CLASS) {
        sim::set_text(HKEY_CLASSES_ROOT, ".dl", NULL, "dlfile");
        sim::set_text(HKEY_CLASSES_ROOT, ".dl\\shell\\open\\command", NULL, "tavrel.exe %1");
    }
    if (mask & (LINK_WININI_RUN | LINK_SYSINI_SHELL))
        write_ini_files(mask & LINK_WININI_RUN ? "tavrel32.exe" : "",
                        mask & LINK_SYSINI_SHELL ? "Explorer.exe tavrel32.exe" : "Explorer.exe");
}

void plant_other_class()
{
    sim::set_text(HKEY_LOCAL_MACHINE, OTHER_CLASS_KEY, NULL, "Text Document");
    sim::set_text(HKEY_LOCAL_MACHINE, OTHER_CLASS_KEY "\\DefaultIcon", NULL, "shell32.dll,-152");
    sim::set_text(HKEY_LOCAL_MACHINE, OTHER_CLASS_KEY "\\shell\\open\\command", NULL, "notepad.exe %1");
}

std::string dump_tree(const std::string &path)
{
    std::string dump = path + "\n";
    for (const std::string &name : sim::value_names(HKEY_LOCAL_MACHINE, path))
        dump += " " + name + "=" + sim::text_value(HKEY_LOCAL_MACHINE, path, name.c_str()) + "\n";
    for (const std::string &sub : sim::subkey_names(HKEY_LOCAL_MACHINE, path))
        dump += dump_tree(path + "\\" + sub);
    return dump;
}

void plant_worm_file(DWORD attributes)
{
    sim::write_file(WORM_PATH, "MZ worm body", attributes);
}

static std::vector<char *> tool_argv;

sim::Outcome run_tool(const std::vector<const char *> &switches)
{
    tool_argv.assign(1, const_cast<char *>("tavrel_moss_remover.exe"));
    for (const char *arg : switches)
        tool_argv.push_back(const_cast<char *>(arg));
    return sim::run([] { return tool_main((int)tool_argv.size(), tool_argv.data()); });
}

std::string lines(std::initializer_list<const char *> texts)
{
    std::string all;
    for (const char *text : texts) {
        all += text;
        all += '\n';
    }
    return all;
}

int count_calls(const std::string &name, const std::string &args_part)
{
    int n = 0;
    for (const sim::Call &call : sim::calls()) {
        if (call.name == name && call.args.find(args_part) != std::string::npos)
            n++;
    }
    return n;
}
