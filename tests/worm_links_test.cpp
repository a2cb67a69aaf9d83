// The probe: which machine states count as which links, and that it only reads.
#include "tests/tool_fixture.h"

#include <functional>

namespace {

struct ProbeCase {
    const char *name;
    std::function<void()> plant;
    worm_link_mask expected;
};

void PrintTo(const ProbeCase &c, std::ostream *os)
{
    *os << c.name;
}

void run_value(const char *name, const std::string &data, DWORD type = REG_SZ)
{
    sim::set_value(HKEY_LOCAL_MACHINE, RUN_KEY, name, type, data);
}

std::string text(const std::string &s)
{
    return s + '\0';
}

// A marked shell= in file under a Windows directory of length (500: SYSTEM.INI's path fills its buffer).
void shell_under_dir_of(size_t length, const char *file)
{
    const std::string dir = "C:\\" + std::string(250, 'd') + "\\" + std::string(length - 254, 'd');
    sim::set_windows_dir(dir);
    sim::write_file(dir + "\\" + file, "[boot]\r\nshell=tavrel.exe\r\n");
}

class ProbeTest : public ToolTest, public ::testing::WithParamInterface<ProbeCase> {};

TEST_P(ProbeTest, FindsTheseLinks)
{
    GetParam().plant();
    EXPECT_EQ(GetParam().expected, probe_worm_links());
    EXPECT_EQ(0, sim::open_keys());
}

INSTANTIATE_TEST_SUITE_P(
    Probe, ProbeTest,
    ::testing::Values(
        ProbeCase{"CleanMachine", [] { plant_clean_ini_files(); }, 0},
        ProbeCase{"IniValueIsTheMarkerAlone", [] { sim::write_file(WIN_INI, "[windows]\r\nrun=tavrel\r\n"); },
                  LINK_WININI_RUN},
        ProbeCase{"EveryLink", [] { plant_links(ALL_LINKS); }, ALL_LINKS},
        ProbeCase{"CommandInLowerCaseWithArguments",
                  [] {
                      sim::set_text(HKEY_LOCAL_MACHINE, MACHINE_COMMAND_KEY, NULL,
                                    "c:\\windows\\system32\\files32.vxd \"%1\" %*");
                  },
                  LINK_MACHINE_EXE_COMMAND | LINK_CLASSES_EXE_COMMAND},
        ProbeCase{"ClassesRootOfItsOwn",
                  [] {
                      sim::separate_classes_root();
                      sim::set_text(HKEY_CLASSES_ROOT, CLASSES_COMMAND_KEY, NULL, INFECTED_COMMAND);
                  },
                  LINK_CLASSES_EXE_COMMAND},
        ProbeCase{"MarkerInLowerCaseInsideAFileName", [] { run_value("x", text("C:\\a\\xtavrelx.exe")); },
                  LINK_RUN},
        ProbeCase{"MarkerInValueNameOnly", [] { run_value("TAVREL", text("C:\\clean.exe")); }, 0},
        ProbeCase{"RunServicesOnly",
                  [] { sim::set_text(HKEY_LOCAL_MACHINE, RUNSERVICES_KEY, "a", "TaVrEl.exe"); },
                  LINK_RUNSERVICES},
        ProbeCase{"MarkerBehindALongValue",
                  [] {
                      run_value("a", text(std::string(600, 'x')));
                      run_value("b", text("tavrel.exe"));
                  },
                  LINK_RUN},
        ProbeCase{"MarkerBehindALongName",
                  [] {
                      run_value(std::string(600, 'a').c_str(), text("x"));
                      run_value("b", text("tavrel.exe"));
                  },
                  LINK_RUN},
        ProbeCase{"LongMarkedValue",
                  [] {
                      sim::set_text(HKEY_LOCAL_MACHINE, RUNSERVICES_KEY, "a",
                                    "tavrel32.exe " + std::string(700 - 14, 'x'));
                  },
                  LINK_RUNSERVICES},
        ProbeCase{"UnreadableValueIsPassedOver",
                  [] {
                      run_value("a", text("clean.exe"));
                      run_value("b", text("tavrel.exe"));
                      sim::fail("RegEnumValueA", 1, ERROR_NOT_ENOUGH_MEMORY);
                  },
                  LINK_RUN},
        // Only the look after the removal counts a value it could not read.
        ProbeCase{"UnreadableValueAloneIsNotFound",
                  [] {
                      run_value("a", text("tavrel.exe"));
                      sim::fail("RegEnumValueA", 1, ERROR_NOT_ENOUGH_MEMORY, true);
                  },
                  0},
        // Fifteen unreadable values, a good one, fifteen more: never sixteen in a row.
        ProbeCase{"UnreadableValuesApartDoNotAddUp",
                  [] {
                      for (int i = 0; i < 32; i++)
                          run_value(("v" + std::to_string(100 + i)).c_str(), text(i == 31 ? "tavrel.exe" : "x.exe"));
                      for (int nth = 1; nth <= 31; nth++)
                          if (nth != 16)
                              sim::fail("RegEnumValueA", nth, ERROR_NOT_ENOUGH_MEMORY);
                  },
                  LINK_RUN},
        ProbeCase{"LongCommand",
                  [] {
                      sim::set_text(HKEY_LOCAL_MACHINE, MACHINE_COMMAND_KEY, NULL,
                                    std::string(589, 'x') + "FILES32.VXD");
                  },
                  LINK_MACHINE_EXE_COMMAND | LINK_CLASSES_EXE_COMMAND},
        // The machine root's infected command is read first, into the stack memory that the
        // empty one then gets: a size of 0 must not make it look there.
        ProbeCase{"EmptyCommand",
                  [] {
                      sim::separate_classes_root();
                      sim::set_value(HKEY_CLASSES_ROOT, CLASSES_COMMAND_KEY, NULL, REG_SZ, "");
                      sim::set_text(HKEY_LOCAL_MACHINE, MACHINE_COMMAND_KEY, NULL, INFECTED_COMMAND);
                  },
                  LINK_MACHINE_EXE_COMMAND},
        ProbeCase{"UnterminatedCommand",
                  [] { sim::set_value(HKEY_LOCAL_MACHINE, MACHINE_COMMAND_KEY, NULL, REG_SZ, "x FILES32.VXD"); },
                  LINK_MACHINE_EXE_COMMAND | LINK_CLASSES_EXE_COMMAND},
        ProbeCase{"CommandOfZeroBytes",
                  [] { sim::set_value(HKEY_LOCAL_MACHINE, MACHINE_COMMAND_KEY, NULL, REG_SZ, ""); }, 0},
        // The buffer grows twice: the outgrown one must go.
        ProbeCase{"MarkerAt1400OfALongerRunLine",
                  [] { sim::write_file(WIN_INI, "[windows]\r\nrun=" + std::string(1400, 'x') + "TAVREL\r\n"); },
                  LINK_WININI_RUN},
        ProbeCase{"UnterminatedValueOf512Bytes",
                  [] { run_value("a", std::string(506, 'x') + "TAVREL"); }, LINK_RUN},
        ProbeCase{"MarkerInBinaryData", [] { run_value("a", "\x01TAVREL\xff", REG_BINARY); }, LINK_RUN},
        ProbeCase{"MarkerAfterANulIsNotText", [] { run_value("a", std::string("x\0TAVREL", 8), REG_BINARY); },
                  0},
        ProbeCase{"DwordData", [] { run_value("a", std::string("TAVR", 4), REG_DWORD); }, 0},
        ProbeCase{"EmptyClassKeyCounts", [] { sim::create_key(HKEY_CLASSES_ROOT, ".dl"); }, LINK_DL_CLASS},
        ProbeCase{"SimilarClassKeyDoesNot", [] { sim::create_key(HKEY_CLASSES_ROOT, ".dll"); }, 0},
        ProbeCase{"EmptyRunLine",
                  [] { sim::write_file(WIN_INI, "[windows]\r\nrun=\r\n"); }, 0},
        ProbeCase{"RunLineElsewhere",
                  [] { sim::write_file(WIN_INI, "[other]\r\nrun=tavrel.exe\r\n"); }, 0},
        ProbeCase{"ShellIsExplorerOnly",
                  [] { sim::write_file(SYSTEM_INI, "[boot]\r\nshell=Explorer.exe\r\n"); }, 0},
        ProbeCase{"MarkerWithin511Characters",
                  [] {
                      sim::write_file(WIN_INI, "[windows]\r\nrun=" + std::string(505, 'x') + "TAVREL\r\n");
                  },
                  LINK_WININI_RUN},
        ProbeCase{"MarkerAt560OfALongRunLine",
                  [] {
                      sim::write_file(WIN_INI, "[windows]\r\nrun=" + std::string(560, 'x') + "TAVREL" +
                                                   std::string(34, 'x') + "\r\n");
                  },
                  LINK_WININI_RUN},
        ProbeCase{"IniPathThatFillsItsBuffer", [] { shell_under_dir_of(500, "SYSTEM.INI"); }, LINK_SYSINI_SHELL},
        ProbeCase{"IniPathTooLongIsNotCut", [] { shell_under_dir_of(501, "SYSTEM.IN"); }, 0},
        ProbeCase{"NoWindowsDirectorySkipsTheIniFiles",
                  [] {
                      plant_links(LINK_WININI_RUN | LINK_SYSINI_SHELL | LINK_RUN);
                      sim::set_windows_dir("");
                  },
                  LINK_RUN}),
    [](const ::testing::TestParamInfo<ProbeCase> &info) { return info.param.name; });

TEST_F(ToolTest, ProbeReadsOnlyAndAgreesWithItself)
{
    plant_links(ALL_LINKS);
    std::string win_ini, system_ini;
    sim::read_file(WIN_INI, &win_ini);
    sim::read_file(SYSTEM_INI, &system_ini);
    EXPECT_EQ(probe_worm_links(), probe_worm_links());
    for (const sim::Call &call : sim::calls()) {
        EXPECT_TRUE(call.name.find("Set") == std::string::npos && call.name.find("Delete") == std::string::npos &&
                    call.name.find("Write") == std::string::npos)
            << call.name;
        if (call.name == "RegOpenKeyExA") {
            EXPECT_NE(std::string::npos, call.args.find("0x20019")) << call.args;
        }
    }
    std::string after;
    sim::read_file(WIN_INI, &after);
    EXPECT_EQ(win_ini, after);
    sim::read_file(SYSTEM_INI, &after);
    EXPECT_EQ(system_ini, after);
}

TEST_F(ToolTest, ProbeLooksInTableOrder)
{
    plant_links(ALL_LINKS);
    probe_worm_links();
    std::vector<std::string> order;
    for (const sim::Call &call : sim::calls()) {
        if (call.name == "GetWindowsDirectoryA" || call.name == "IsWow64Process2")
            order.push_back(call.name);
        else if (call.name == "RegOpenKeyExA" || call.name == "GetPrivateProfileStringA")
            order.push_back(call.name + " " + call.args.substr(0, call.args.find(',', call.args.find(',') + 1)));
    }
    EXPECT_EQ((std::vector<std::string>{
                  "RegOpenKeyExA HKEY_LOCAL_MACHINE, \"Software\\CLASSES\\exefile\\shell\\open\\command\"",
                  "RegOpenKeyExA HKEY_LOCAL_MACHINE, \"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunServices\"",
                  "IsWow64Process2",
                  "RegOpenKeyExA HKEY_LOCAL_MACHINE, \"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run\"",
                  "RegOpenKeyExA HKEY_CLASSES_ROOT, \".dl\"",
                  "RegOpenKeyExA HKEY_CLASSES_ROOT, \"exefile\\shell\\open\\command\"",
                  "GetWindowsDirectoryA",
                  "GetPrivateProfileStringA \"windows\", \"run\"",
                  "GetPrivateProfileStringA \"boot\", \"shell\"",
              }),
              order);
}

TEST_F(ToolTest, RunWalkStopsAtTheFirstMarkedValue)
{
    run_value("a", text("tavrel1.exe"));
    run_value("b", text("tavrel2.exe"));
    run_value("c", text("clean.exe"));
    EXPECT_EQ(LINK_RUN, probe_worm_links());
    EXPECT_EQ(1, sim::count("RegEnumValueA"));
}

// So does a command that is longer at each read.
TEST_F(ToolTest, KeysThatKeepGrowingEndTheLookAndCountAsLeft)
{
    run_value("a", text("x.exe"));
    sim::grow_at_each_read(HKEY_LOCAL_MACHINE, RUN_KEY);
    sim::set_text(HKEY_LOCAL_MACHINE, MACHINE_COMMAND_KEY, NULL, std::string(600, 'x') + " FILES32.VXD");
    sim::grow_at_each_read(HKEY_LOCAL_MACHINE, MACHINE_COMMAND_KEY);
    EXPECT_EQ(0u, probe_worm_links());
    EXPECT_EQ(LINK_RUN | LINK_MACHINE_EXE_COMMAND | LINK_CLASSES_EXE_COMMAND, links_left());
}

TEST(MarkerFound, UpperCasesTheLettersInPlaceAndSearchesWithinTheLength)
{
    struct Case {
        std::string text;
        size_t length;
        const char *needle;
        bool found;
        std::string after;  // the first length bytes once searched
    } cases[] = {
        {"xtavrelx", 8, "TAVREL", true, "XTAVRELX"},
        {"tavrel", 5, "TAVREL", false, "TAVRE"},
        {std::string("tav\0rel", 7), 7, "TAVREL", false, std::string("TAV\0rel", 7)},
        {"az`{@[", 6, "AZ", true, "AZ`{@["},  // only a to z change
        {"{", 1, "[", false, "{"},
        {"`", 1, "@", false, "`"},
    };
    for (const Case &c : cases) {
        char text[16] = {0};
        memcpy(text, c.text.data(), c.text.size());
        EXPECT_EQ(c.found, marker_found(text, c.length, c.needle)) << c.after;
        EXPECT_EQ(c.after, std::string(text, c.length));
    }
}

}  // namespace
