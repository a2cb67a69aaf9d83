// The probe's platform calls on a clean and on a fully infected simulated machine, against
// the least that its algorithm allows on that machine. The algorithm reads each of the
// seven links once: a key it opens costs the open and the close; a command key one query
// of its default value; a Run or RunServices key one enumeration per value up to the first
// marked one, or one more than its values when none is marked; a key that does not open
// only the open; the two ini links one Windows directory and one profile read each; and
// whether the tool runs under WoW64, four calls (KERNEL32's handle, the address of
// IsWow64Process2, the process and the question) asked once, on this 32-bit machine.
#include <cstdio>

#include "tests/tool_fixture.h"

#include "platform/win.h"

namespace {

bool marked(const std::string &data)
{
    std::string upper = data;
    for (char &c : upper)
        if (c >= 'a' && c <= 'z')
            c = (char)(c - 'a' + 'A');
    return upper.find("TAVREL") != std::string::npos;
}

int least_for_command(HKEY root, const char *path)
{
    return sim::key_exists(root, path) ? 3 : 1;
}

int least_for_values(const char *path)
{
    if (!sim::key_exists(HKEY_LOCAL_MACHINE, path))
        return 1;
    int enumerations = 0;
    for (const std::string &name : sim::value_names(HKEY_LOCAL_MACHINE, path)) {
        enumerations++;
        std::string data;
        DWORD type;
        sim::get_value(HKEY_LOCAL_MACHINE, path, name.c_str(), &type, &data);
        if (marked(data))
            return 2 + enumerations;
    }
    return 2 + enumerations + 1;
}

int least_probe_calls()
{
    return least_for_command(HKEY_LOCAL_MACHINE, MACHINE_COMMAND_KEY) + least_for_values(RUNSERVICES_KEY) +
           least_for_values(RUN_KEY) + (sim::key_exists(HKEY_CLASSES_ROOT, ".dl") ? 2 : 1) +
           least_for_command(HKEY_CLASSES_ROOT, CLASSES_COMMAND_KEY) + 1 + 2 + 4;
}

bool measure(const char *machine, worm_link_mask links, worm_link_mask expected)
{
    sim::reset();
    plant_clean_ini_files();
    plant_links(links);
    int least = least_probe_calls();
    int before = sim::total_calls();
    worm_link_mask mask = probe_worm_links();
    int made = sim::total_calls() - before;
    printf("probe, %-16s %3d platform calls, least the algorithm allows %3d: ratio %.2f%s\n", machine, made,
           least, (double)made / least, mask == expected ? "" : " (WRONG MASK)");
    return mask == expected;
}

}  // namespace

int main()
{
    bool ok = measure("clean machine:", 0, 0);
    ok = measure("fully infected:", ALL_LINKS, ALL_LINKS) && ok;
    return ok ? 0 : 1;
}
