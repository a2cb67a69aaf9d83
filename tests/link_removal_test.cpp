// Removal and repair of the links: what each step leaves behind and which bit it reports.
#include "tests/tool_fixture.h"

#include "clean/link_removal.h"

namespace {

std::string ini_line(const char *path, const char *section, const char *key)
{
    char value[600];
    DWORD count = GetPrivateProfileStringA(section, key, "<absent>", value, sizeof value, path);
    return std::string(value, count);
}

class LinkRemovalTest : public ToolTest {};

TEST_F(LinkRemovalTest, FullyInfectedMachineIsRepaired)
{
    plant_links(ALL_LINKS);
    std::string win_ini_before;
    sim::read_file(WIN_INI, &win_ini_before);

    EXPECT_EQ(ALL_LINKS & ~LINK_CLASSES_EXE_COMMAND, remove_worm_links());

    EXPECT_EQ("\"%1\" %*", sim::text_value(HKEY_LOCAL_MACHINE, MACHINE_COMMAND_KEY, NULL));
    DWORD type = 0;
    std::string data;
    ASSERT_TRUE(sim::get_value(HKEY_CLASSES_ROOT, CLASSES_COMMAND_KEY, NULL, &type, &data));
    EXPECT_EQ(REG_SZ, type);
    EXPECT_EQ(std::string("\"%1\" %*", 8), data);
    EXPECT_EQ((std::vector<std::string>{"ScanRegistry"}), sim::value_names(HKEY_LOCAL_MACHINE, RUN_KEY));
    EXPECT_EQ((std::vector<std::string>{"LoadPowerProfile"}),
              sim::value_names(HKEY_LOCAL_MACHINE, RUNSERVICES_KEY));
    EXPECT_FALSE(sim::key_exists(HKEY_CLASSES_ROOT, ".dl"));
    EXPECT_FALSE(sim::key_exists(HKEY_LOCAL_MACHINE, "Software\\Classes\\.dl"));
    EXPECT_EQ("", ini_line(WIN_INI, "windows", "run"));
    EXPECT_EQ("Explorer.exe", ini_line(SYSTEM_INI, "boot", "shell"));
    EXPECT_EQ("(None)", ini_line(WIN_INI, "Desktop", "Wallpaper"));
    EXPECT_EQ("system.drv", ini_line(SYSTEM_INI, "boot", "system.drv"));
    EXPECT_EQ(0u, probe_worm_links());
    EXPECT_EQ(0, sim::open_keys());
    EXPECT_EQ(0, sim::keys_deleted_while_open());
}

TEST_F(LinkRemovalTest, EveryMarkedValueGoesAndTheRestKeepTheirOrder)
{
    sim::set_text(HKEY_LOCAL_MACHINE, RUN_KEY, "a_clean", "clean.exe");
    sim::set_text(HKEY_LOCAL_MACHINE, RUN_KEY, "b_worm", "tavrel1.exe");
    sim::set_text(HKEY_LOCAL_MACHINE, RUN_KEY, "c_TAVREL_name", "innocent.exe");
    sim::set_text(HKEY_LOCAL_MACHINE, RUN_KEY, "d_worm", "TAVREL2.exe");
    sim::set_text(HKEY_LOCAL_MACHINE, RUN_KEY, "e_worm", "tavrel3.exe");
    sim::set_text(HKEY_LOCAL_MACHINE, RUN_KEY, "f_clean", "other.exe");
    sim::set_text(HKEY_LOCAL_MACHINE, RUNSERVICES_KEY, "a", "tavrel1.exe");
    sim::set_text(HKEY_LOCAL_MACHINE, RUNSERVICES_KEY, "b", "tavrel2.exe");
    EXPECT_EQ(LINK_RUN | LINK_RUNSERVICES, remove_worm_links());
    EXPECT_EQ((std::vector<std::string>{"a_clean", "c_TAVREL_name", "f_clean"}),
              sim::value_names(HKEY_LOCAL_MACHINE, RUN_KEY));
    EXPECT_EQ("innocent.exe", sim::text_value(HKEY_LOCAL_MACHINE, RUN_KEY, "c_TAVREL_name"));
    EXPECT_EQ(0u, sim::value_names(HKEY_LOCAL_MACHINE, RUNSERVICES_KEY).size());
    EXPECT_EQ(0u, probe_worm_links());
}

TEST_F(LinkRemovalTest, RefusedValueDeletionLeavesTheBitClearAndTheOthersGo)
{
    sim::set_text(HKEY_LOCAL_MACHINE, RUN_KEY, "a", "tavrel1.exe");
    sim::set_text(HKEY_LOCAL_MACHINE, RUN_KEY, "b", "tavrel2.exe");
    sim::set_text(HKEY_LOCAL_MACHINE, RUN_KEY, "c", "tavrel3.exe");
    sim::fail("NtDeleteValueKey", 2);
    EXPECT_EQ(0u, remove_worm_links());
    EXPECT_EQ((std::vector<std::string>{"b"}), sim::value_names(HKEY_LOCAL_MACHINE, RUN_KEY));
}

TEST_F(LinkRemovalTest, IniRepairsKeepTheRestOfTheFile)
{
    sim::write_file(WIN_INI, "; user's comment\r\n[windows]\r\nload=\r\nrun=notepad.exe tavrel.exe calc.exe\r\n");
    sim::write_file(SYSTEM_INI, "[boot]\r\nshell=Explorer.exe marked_tavrel.exe\r\n[drivers]\r\nwave=mmdrv.dll\r\n");
    EXPECT_EQ(LINK_WININI_RUN | LINK_SYSINI_SHELL, remove_worm_links());
    std::string win_ini, system_ini;
    sim::read_file(WIN_INI, &win_ini);
    sim::read_file(SYSTEM_INI, &system_ini);
    EXPECT_EQ("; user's comment\r\n[windows]\r\nload=\r\nrun=notepad.exe calc.exe\r\n", win_ini);
    EXPECT_EQ("[boot]\r\nshell=Explorer.exe\r\n[drivers]\r\nwave=mmdrv.dll\r\n", system_ini);
}

TEST_F(LinkRemovalTest, RunKeepsTheItemsOfOtherProgramsInTheirOrder)
{
    const struct { const char *before, *after; } cases[] = {
        {"a.exe\t\tTAVREL32.EXE  b.exe tavrel2.exe", "a.exe b.exe"},
        {"\"C:\\Program Files\\av.exe\" \"C:\\my tavrel\\x.exe\" c.exe", "\"C:\\Program Files\\av.exe\" c.exe"},
        {"a.exe,C:\\windows\\tavrel.exe b.exe", "b.exe"},  // a comma parts nothing
        {"a.exe C:\\x\"y z\"\\tavrel.exe", ""},  // quotes of another shape: all goes
        {"\"a b.exe\" tavrel.exe", ""},  // what stays is quoted around, and a read drops those
        {"'a.exe' x.exe 'b.exe' tavrel.exe", ""},  // so with single quotes
        {"'a b.exe' tavrel.exe c.exe", "'a b.exe' c.exe"},  // single quotes are characters
        {"\"a b\"c.exe tavrel.exe", ""},  // an item glued to its closing quote
        {"a.exe \"b c.exe\"\ttavrel.exe d.exe", "a.exe \"b c.exe\" d.exe"},
        {"x.exe a.exe\v tavrel.exe", ""},  // a read would cut the vertical tab off
    };
    for (const auto &c : cases) {
        sim::write_file(WIN_INI, std::string("[windows]\r\nrun=") + c.before + "\r\n");
        EXPECT_EQ(LINK_WININI_RUN, remove_worm_links()) << c.before;
        EXPECT_EQ(c.after, ini_line(WIN_INI, "windows", "run")) << c.before;
    }
}

// Entries at the exact limits: a rest of the most a profile write keeps, and entries of the
// most a read takes whole, or one more, with the marker at their very start.
TEST_F(LinkRemovalTest, IniEntriesAtTheirLimits)
{
    const std::string most_read_whole = "tavrel.exe " + std::string(INI_VALUE_LIMIT - 13, 'x');
    const struct {
        const char *path, *section, *key;
        std::string entry;
        worm_link_mask removed;
        std::string after;
    } cases[] = {
        {WIN_INI, "windows", "run", std::string(32766, 'x') + " tavrel.exe", LINK_WININI_RUN, std::string(32766, 'x')},
        {WIN_INI, "windows", "run", "tavrel.exe " + std::string(32767, 'x'), LINK_WININI_RUN, ""},
        {WIN_INI, "windows", "run", most_read_whole, LINK_WININI_RUN, ""},
        {WIN_INI, "windows", "run", most_read_whole + "x", 0, most_read_whole + "x"},
        {SYSTEM_INI, "boot", "shell", most_read_whole + std::string(20, 'x'), LINK_SYSINI_SHELL, "Explorer.exe"},
    };
    std::vector<char> text(2 * INI_VALUE_LIMIT);
    for (const auto &c : cases) {
        sim::reset();
        sim::write_file(c.path, std::string("[") + c.section + "]\r\n" + c.key + "=" + c.entry + "\r\n");
        EXPECT_EQ(c.removed, remove_worm_links()) << c.entry.size();
        DWORD count = GetPrivateProfileStringA(c.section, c.key, NULL, text.data(), (DWORD)text.size(), c.path);
        EXPECT_EQ(c.after, std::string(text.data(), count)) << c.entry.size();
        EXPECT_EQ(c.removed == 0, links_left() != 0) << c.entry.size();
    }
}

TEST_F(LinkRemovalTest, UnmarkedEntriesAreNeverWritten)
{
    sim::write_file(WIN_INI, "[windows]\r\nrun=notepad.exe\r\n");
    sim::write_file(SYSTEM_INI, "[boot]\r\nshell=progman.exe\r\n");
    sim::set_text(HKEY_LOCAL_MACHINE, MACHINE_COMMAND_KEY, NULL, "\"%1\" %* /custom");
    EXPECT_EQ(0u, remove_worm_links());
    EXPECT_EQ(0, sim::count("WritePrivateProfileStringA"));
    EXPECT_EQ(0, sim::count("RegSetValueExA") + sim::count("RegSetValueA"));
    EXPECT_EQ("\"%1\" %* /custom", sim::text_value(HKEY_LOCAL_MACHINE, MACHINE_COMMAND_KEY, NULL));
}

TEST_F(LinkRemovalTest, ExpandableCommandIsRepairedWithItsType)
{
    // An expandable command stays expandable; any other type becomes a runnable REG_SZ.
    const DWORD types[][2] = {{REG_EXPAND_SZ, REG_EXPAND_SZ}, {REG_BINARY, REG_SZ}};
    for (const auto &t : types) {
        sim::set_text(HKEY_LOCAL_MACHINE, MACHINE_COMMAND_KEY, NULL,
                      "%SystemRoot%\\SYSTEM32\\FILES32.VXD \"%1\" %*", t[0]);
        EXPECT_EQ(LINK_MACHINE_EXE_COMMAND, remove_worm_links());
        DWORD type = 0;
        std::string data;
        ASSERT_TRUE(sim::get_value(HKEY_LOCAL_MACHINE, MACHINE_COMMAND_KEY, NULL, &type, &data));
        EXPECT_EQ(t[1], type) << t[0];
        EXPECT_EQ(std::string("\"%1\" %*", 8), data);
    }
}

TEST_F(LinkRemovalTest, CommandDirectlyUnderTheMachineRootSetsItsOwnBit)
{
    sim::set_text(HKEY_LOCAL_MACHINE, CLASSES_COMMAND_KEY, NULL, INFECTED_COMMAND);
    EXPECT_EQ(LINK_CLASSES_EXE_COMMAND, remove_worm_links());
    EXPECT_EQ("\"%1\" %*", sim::text_value(HKEY_LOCAL_MACHINE, CLASSES_COMMAND_KEY, NULL));
}

TEST_F(LinkRemovalTest, LongValuesAreLookedAtWhole)
{
    const std::string long_name(600, 'n');
    const std::string long_data = "C:\\other.exe " + std::string(600, 'x');
    sim::set_text(HKEY_LOCAL_MACHINE, RUN_KEY, "a", long_data);
    sim::set_text(HKEY_LOCAL_MACHINE, RUN_KEY, long_name.c_str(), "other.exe");
    sim::set_text(HKEY_LOCAL_MACHINE, RUN_KEY, "z", "tavrel.exe");
    sim::set_text(HKEY_LOCAL_MACHINE, RUNSERVICES_KEY, "s", "tavrel.exe " + std::string(689, 'x'));
    sim::set_text(HKEY_LOCAL_MACHINE, MACHINE_COMMAND_KEY, NULL, std::string(589, 'x') + "FILES32.VXD");
    sim::write_file(WIN_INI, "[windows]\r\nrun=" + std::string(80000, 'x') + " tavrel " + std::string(20000, 'x') + "\r\n");
    EXPECT_EQ(LINK_MACHINE_EXE_COMMAND | LINK_RUNSERVICES | LINK_RUN | LINK_WININI_RUN, remove_worm_links());
    EXPECT_EQ((std::vector<std::string>{"a", long_name}), sim::value_names(HKEY_LOCAL_MACHINE, RUN_KEY));
    EXPECT_EQ(long_data, sim::text_value(HKEY_LOCAL_MACHINE, RUN_KEY, "a"));
    EXPECT_EQ(0u, sim::value_names(HKEY_LOCAL_MACHINE, RUNSERVICES_KEY).size());
    EXPECT_EQ("\"%1\" %*", sim::text_value(HKEY_LOCAL_MACHINE, MACHINE_COMMAND_KEY, NULL));
    EXPECT_EQ("", ini_line(WIN_INI, "windows", "run"));
    EXPECT_EQ(0u, probe_worm_links());
}

TEST_F(LinkRemovalTest, LongIniEntriesAreReadWholeOrCountAsLeft)
{
    // Neither fits the read limit: run= is never written from a part, shell='s part has no marker.
    sim::write_file(WIN_INI, "[windows]\r\nrun=tavrel.exe " + std::string(INI_VALUE_LIMIT, 'x') + "\r\n");
    sim::write_file(SYSTEM_INI, "[boot]\r\nshell=" + std::string(INI_VALUE_LIMIT, 'x') + " tavrel.exe\r\n");
    EXPECT_EQ(LINK_WININI_RUN | LINK_SYSINI_SHELL, probe_worm_links());
    EXPECT_EQ(0u, remove_worm_links());
    EXPECT_EQ(LINK_WININI_RUN | LINK_SYSINI_SHELL, links_left());
}

TEST_F(LinkRemovalTest, CommandIsRepairedWhereTheClassesRootShowsIt)
{
    // A class override of its own under the classes root, infected like the machine's.
    plant_links(LINK_MACHINE_EXE_COMMAND);
    sim::separate_classes_root();
    EXPECT_EQ(LINK_MACHINE_EXE_COMMAND | LINK_CLASSES_EXE_COMMAND, remove_worm_links());
    EXPECT_EQ("\"%1\" %*", sim::text_value(HKEY_LOCAL_MACHINE, MACHINE_COMMAND_KEY, NULL));
    EXPECT_EQ("\"%1\" %*", sim::text_value(HKEY_CLASSES_ROOT, CLASSES_COMMAND_KEY, NULL));
    EXPECT_EQ(0u, probe_worm_links());
}

TEST_F(LinkRemovalTest, CommandOf512BytesIsBoundedAndRepaired)
{
    std::string command = std::string(501, 'x') + "FILES32.VXD";  // 512 bytes, no NUL
    sim::set_value(HKEY_LOCAL_MACHINE, MACHINE_COMMAND_KEY, NULL, REG_SZ, command);
    EXPECT_EQ(LINK_MACHINE_EXE_COMMAND, remove_worm_links());
}

// Stored names in UTF-8; the ANSI calls see "x" + U+4E00 as "x?" and "Updat" + U+0113 as
// "Update" (best fit), and a name with a NUL inside as its part before the NUL.
const std::string NUL_NAME("Update\0svc", 10);
const std::string CJK_NAME = "x\xe4\xb8\x80";
const std::string MACRON_NAME = "Updat\xc4\x93";
// 300 times U+4E00: 300 characters, 600 bytes in a double-byte ANSI code page.
const std::string DOUBLE_BYTE_NAME = [] {
    std::string name;
    for (int i = 0; i < 300; i++)
        name += "\xe4\xb8\x80";
    return name;
}();

struct ExactNameCase {
    const char *name;
    sim::Family family;
    std::vector<std::pair<std::string, const char *>> run;  // name, text
    const char *kept;                                       // a value whose deletion does not stick
    std::vector<std::string> after;
    worm_link_mask removed;
    worm_link_mask left;
    bool double_byte = false;  // the ANSI code page gives CJK characters as two bytes
};

void PrintTo(const ExactNameCase &c, std::ostream *os)
{
    *os << c.name;
}

class ExactNameTest : public ToolTest, public ::testing::WithParamInterface<ExactNameCase> {};

TEST_P(ExactNameTest, OnlyTheWormsValuesGoByTheirExactNames)
{
    const ExactNameCase &c = GetParam();
    sim::set_family(c.family);
    if (c.double_byte)
        sim::set_double_byte_code_page();
    for (const auto &value : c.run)
        sim::set_value(HKEY_LOCAL_MACHINE, RUN_KEY, value.first, REG_SZ, std::string(value.second) + '\0');
    if (c.kept)
        sim::keep_after_deletion(HKEY_LOCAL_MACHINE, RUN_KEY, c.kept);
    EXPECT_EQ(c.removed, remove_worm_links());
    EXPECT_EQ(c.after, sim::value_names(HKEY_LOCAL_MACHINE, RUN_KEY));
    EXPECT_EQ(c.left, links_left());
    EXPECT_EQ(0, sim::open_keys());
}

INSTANTIATE_TEST_SUITE_P(
    Names, ExactNameTest,
    ::testing::Values(
        ExactNameCase{"NulInside", sim::FAMILY_NT, {{"Update", "other.exe"}, {NUL_NAME, "tavrel.exe"}}, NULL, {"Update"}, LINK_RUN, 0},
        ExactNameCase{"OutsideTheCodePage", sim::FAMILY_NT, {{"x?", "other.exe"}, {CJK_NAME, "tavrel.exe"}}, NULL, {"x?"}, LINK_RUN, 0},
        ExactNameCase{"BestFit", sim::FAMILY_NT, {{"Update", "other.exe"}, {MACRON_NAME, "tavrel.exe"}}, NULL, {"Update"}, LINK_RUN, 0},
        ExactNameCase{"OutsideTheCodePageAlone", sim::FAMILY_NT, {{CJK_NAME, "tavrel.exe"}}, NULL, {}, LINK_RUN, 0},
        ExactNameCase{"WormNameFirst", sim::FAMILY_NT, {{"Update", "tavrel.exe"}, {NUL_NAME, "other.exe"}}, NULL, {NUL_NAME}, LINK_RUN, 0},
        ExactNameCase{"NameOf600Characters", sim::FAMILY_NT, {{std::string(600, 'n'), "tavrel.exe"}, {"z", "z.exe"}}, NULL, {"z"}, LINK_RUN, 0},
        ExactNameCase{"LongestNamesNT", sim::FAMILY_NT, {{std::string(16383, 'a'), "other.exe"}, {std::string(16383, 't'), "tavrel.exe"}}, NULL, {std::string(16383, 'a')}, LINK_RUN, 0},
        ExactNameCase{"DoubleByteNameNT", sim::FAMILY_NT, {{DOUBLE_BYTE_NAME, "tavrel.exe"}, {"z", "z.exe"}}, NULL, {"z"}, LINK_RUN, 0, true},
        ExactNameCase{"DoubleByteName9x", sim::FAMILY_9X, {{DOUBLE_BYTE_NAME, "tavrel.exe"}, {"z", "z.exe"}}, NULL, {"z"}, LINK_RUN, 0, true},
        ExactNameCase{"LongestNames9x", sim::FAMILY_9X, {{std::string(16383, 'a'), "other.exe"}, {std::string(16383, 't'), "tavrel.exe"}}, NULL, {std::string(16383, 'a')}, LINK_RUN, 0},
        ExactNameCase{"BackAtOnceNT", sim::FAMILY_NT, {{"a", "tavrel.exe"}, {"b", "tavrel.exe"}}, "a", {"a"}, LINK_RUN, LINK_RUN},
        ExactNameCase{"BackAtOnce9x", sim::FAMILY_9X, {{"a", "tavrel.exe"}, {"b", "tavrel.exe"}}, "a", {"a"}, LINK_RUN, LINK_RUN}),
    [](const ::testing::TestParamInfo<ExactNameCase> &info) { return info.param.name; });

// A Windows that does not say its family may be of the NT family: no value goes by an ANSI
// name that may be another program's, and no link is followed into another program's keys.
TEST_F(LinkRemovalTest, UnknownFamilyTouchesNoOtherProgramsData)
{
    plant_other_class();
    const std::string before = dump_tree(OTHER_CLASS_KEY);
    sim::create_link(HKEY_CLASSES_ROOT, ".dl", OTHER_CLASS_TARGET);
    sim::set_text(HKEY_LOCAL_MACHINE, RUN_KEY, "x?", "other.exe");
    sim::set_text(HKEY_LOCAL_MACHINE, RUN_KEY, CJK_NAME.c_str(), "tavrel.exe");
    sim::fail("GetVersionExA", 1, ERROR_INSUFFICIENT_BUFFER, true);
    EXPECT_EQ(0u, remove_worm_links() & (LINK_RUN | LINK_DL_CLASS));
    EXPECT_EQ(before, dump_tree(OTHER_CLASS_KEY));
    EXPECT_EQ((std::vector<std::string>{"x?", CJK_NAME}), sim::value_names(HKEY_LOCAL_MACHINE, RUN_KEY));
}

TEST_F(LinkRemovalTest, NoValueGoesWhereExactNamesCannotBeHad)
{
    sim::set_text(HKEY_LOCAL_MACHINE, RUN_KEY, "a", "tavrel.exe");
    sim::fail("GetProcAddress", 1, ERROR_PROC_NOT_FOUND, true, "NtDeleteValueKey");
    EXPECT_EQ(0u, remove_worm_links() & LINK_RUN);
    EXPECT_EQ((std::vector<std::string>{"a"}), sim::value_names(HKEY_LOCAL_MACHINE, RUN_KEY));
    EXPECT_EQ(0, sim::count("RegDeleteValueA"));
}

}  // namespace
