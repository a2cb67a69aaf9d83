// Runs chosen by switches: the command line read from its table, each mode's run without a
// key, the log's records, and the prompt of a console of the tool's own.
#include "tests/tool_fixture.h"

#include "frontend/messages.h"
#include "frontend/removal_flow.h"
#include "frontend/switches.h"

namespace {

#define USAGE_FIRST "Usage: tavrel_moss_remover [/scan | /silent [/restart]] [/log=PATH]\n"
#define LOG_PATH "C:\\LOGS\\RUN.LOG"
#define RUN_LINE "HKEY_LOCAL_MACHINE\\" RUN_KEY
#define INVALID 0x100u

// Each command line, after the program's name: the switches it sets, or a usage error.
TEST(SwitchesTest, EachCommandLineGivesItsModeOrAUsageError)
{
    const std::pair<std::vector<const char *>, unsigned> cases[] = {
        {{}, 0}, {{"/?"}, SET_HELP}, {{"-HELP"}, SET_HELP}, {{"/restart", "-SILENT"}, SET_SILENT | SET_RESTART},
        {{"/log=\\\\srv\\a.log", "/Scan"}, SET_LOG | SET_SCAN}, {{"/LOG", "\\\\srv\\a.log"}, SET_LOG},
        {{"/log"}, INVALID}, {{"/log="}, INVALID}, {{"/log", ""}, INVALID}, {{"/log=a", "/log=b"}, INVALID},
        {{"/scan", "/silent"}, INVALID}, {{"/scan", "/restart"}, INVALID}, {{"/restart"}, INVALID},
        {{"/scanner"}, INVALID}, {{"/scan=1"}, INVALID}, {{"scan"}, INVALID}, {{"/"}, INVALID},
        {{"-silent", "-log", "-restart"}, INVALID}, {{"/log", "/Scan"}, INVALID}, {{"/log", "/log=b"}, INVALID},
    };
    for (const auto &c : cases) {
        std::vector<char *> argv = {const_cast<char *>("tool.exe")};
        for (const char *arg : c.first)
            argv.push_back(const_cast<char *>(arg));
        run_options options;
        const std::string shown = c.first.empty() ? "(none)" : c.first[0];
        ASSERT_EQ(c.second != INVALID, parse_switches((int)argv.size(), argv.data(), &options)) << shown;
        EXPECT_TRUE(c.second == INVALID || c.second == options.set) << shown;
        EXPECT_EQ((c.second & SET_LOG) != 0, options.log_path && !strcmp(options.log_path, "\\\\srv\\a.log"))
            << shown;
    }
}

enum Machine { CLEAN, INFECTED, IN_USE, ODD_NAME };

void prepare(Machine machine)
{
    plant_clean_ini_files();
    if (machine == ODD_NAME) {
        plant_links(LINK_RUN);
        sim::set_text(HKEY_LOCAL_MACHINE, RUN_KEY, "a\"b\\c\x01\x7f T\xc3\xa4sk", "tavrel.exe");
    }
    if (machine == INFECTED || machine == IN_USE) {
        plant_worm_file();
        plant_links(ALL_LINKS);
    }
    sim::hold_in_use(WORM_PATH, machine == IN_USE);
}

#define REMOVED "worm Tavrel_Moss found.\nContinue with removing(Y/N)?\nRemoving...\n" \
    "Registry/.ini links successfully removed.\n"
#define IN_USE_END MSG_MUST_RESTART "\n" MSG_REBOOT_BY_HAND "\n"
#define USAGE "(usage)"

struct ModeCase {
    const char *name;
    std::vector<const char *> args;
    Machine machine;
    sim::Outcome::Kind kind;
    int code;
    size_t ioctls;    // the shield's state asked for and given back
    const char *out;  // after the banner; USAGE: the usage text and no banner
    const char *err;  // USAGE: the usage text
};

// A clean scan, a full infection's scan and a silent run that deletes are the lab's, on the
// real exe; these are the runs it cannot stage. A link /scan cannot read and a refused
// restart are the mode sweep's (mode_sweep_test.cpp).
const ModeCase MODE_CASES[] = {
    {"Help", {"/?"}, INFECTED, sim::Outcome::RETURNED, 0, 0, USAGE, ""},
    {"UsageError", {"/scan", "/restart"}, INFECTED, sim::Outcome::RETURNED, 1, 0, "", USAGE},
    {"ScanOddName", {"/scan"}, ODD_NAME, sim::Outcome::RETURNED, 4, 2,
     "Found: " RUN_LINE " value \"a\\x22b\\x5Cc\\x01\\x7F T\\xE4sk\"\nFound: " RUN_LINE " value \"SysTask\"\nOnly parts of worm Tavrel_Moss found.\n", ""},
    {"SilentInUse", {"/silent"}, IN_USE, sim::Outcome::RETURNED, 3, 2, REMOVED IN_USE_END, ""},
    {"SilentRestart", {"/silent", "/restart"}, IN_USE, sim::Outcome::IDLE, 0, 1, REMOVED IN_USE_END, ""},
};

void PrintTo(const ModeCase &c, std::ostream *os)
{
    *os << c.name;
}

// The usage, from its first line to the exit codes a script branches on.
bool is_usage(const std::string &text)
{
    const std::string last = "Exit: 0 clean, 1 declined or error, 2 links left, 3 restart needed, 4 /scan found\n";
    return text.find(USAGE_FIRST) == 0 && text.size() > last.size() && text.compare(text.size() - last.size(), last.size(), last) == 0;
}

class ModeTest : public ToolTest, public ::testing::WithParamInterface<ModeCase> {};

// No key is typed in any of these runs, so a wait would block. Only a run that removes
// changes the machine; the usage paths make no call but their output and the console's question.
TEST_P(ModeTest, RunsItsStepsWithoutAKey)
{
    const ModeCase &c = GetParam();
    prepare(c.machine);
    sim::install_shield(7);
    sim::Outcome outcome = run_tool(c.args);
    EXPECT_EQ(c.kind, outcome.kind);
    EXPECT_EQ(c.code, outcome.code);
    const std::string out = c.ioctls ? MSG_BANNER "\n" + std::string(c.out) : c.out;
    EXPECT_TRUE(out == USAGE ? is_usage(sim::out()) : out == sim::out()) << sim::out();
    EXPECT_TRUE(std::string(c.err) == USAGE ? is_usage(sim::err()) : c.err == sim::err());
    EXPECT_EQ(c.ioctls, sim::ioctls().size());
    int calls = sim::count("stdout") + sim::count("stderr");  // and whether the console is its own
    for (const char *call : {"GetModuleHandleA", "GetProcAddress", "GetConsoleProcessList"})
        calls += sim::count(call);
    EXPECT_TRUE(c.ioctls || sim::total_calls() == calls);
    sim::clear_faults();
    const bool removes = c.code != 4 && c.ioctls != 0;
    const worm_link_mask planted[] = {0, ALL_LINKS, ALL_LINKS, LINK_RUN};
    EXPECT_EQ(removes ? 0u : planted[c.machine], probe_worm_links());
    EXPECT_EQ(c.machine == IN_USE || (c.machine == INFECTED && !removes), sim::exists(WORM_PATH));
    EXPECT_EQ(c.kind == sim::Outcome::IDLE, sim::restart_requested());
    EXPECT_EQ(c.machine == IN_USE && removes ? 1u : 0u, sim::pending_renames().size());
}

INSTANTIATE_TEST_SUITE_P(Switches, ModeTest, ::testing::ValuesIn(MODE_CASES),
                         [](const ::testing::TestParamInfo<ModeCase> &info) { return info.param.name; });

#define R "\r\n"
#define LOG_HEAD(windows, switches) \
    "run: Tavrel_Moss remover 0.09" R "date: 2026-12-08 18:30:05" R "computer: LABPC" R \
    "windows: " windows R "wow64: no" R "switches: " switches R "found: worm file " WORM_PATH R

class LogTest : public ToolTest {};

// Each run adds its record behind those before it: an interactive run on NT, one declined on
// 9x, and a look-only run that cannot read a link.
TEST_F(LogTest, EachRunAppendsOneRecordOfWhatItFoundAndDid)
{
    sim::make_dir("C:\\LOGS");
    sim::write_file(LOG_PATH, "earlier" R R);
    plant_worm_file();
    plant_links(LINK_RUN | LINK_WININI_RUN);
    sim::hold_in_use(WORM_PATH);
    sim::press_key('y');
    sim::press_key('r');
    EXPECT_EQ(sim::Outcome::IDLE, run_tool({"/log=" LOG_PATH}).kind);
    for (int code : {1, 4}) {
        sim::next_process();
        reset_tool_state();
        sim::set_family(sim::FAMILY_9X);
        sim::set_text(HKEY_LOCAL_MACHINE, RUN_KEY, "SysTask", "tavrel32.exe");
        sim::fail("RegOpenKeyExA", 1, ERROR_ACCESS_DENIED, true, "\".dl\"");
        sim::press_key('n');
        EXPECT_EQ(code, run_tool({code == 1 ? "/LOG" : "/scan", code == 1 ? LOG_PATH : "-log=" LOG_PATH}).code);
    }
    std::string log;
    ASSERT_TRUE(sim::read_file(LOG_PATH, &log));
    EXPECT_EQ("earlier" R R LOG_HEAD("5.1.2600 NT", "/log=" LOG_PATH)
              "found: " RUN_LINE " value \"SysTask\"" R "found: " WIN_INI " [windows] run=" R
              "answer: yes" R "link: Run removed" R "link: WIN.INI run repaired" R
              "worm file: set for deletion at boot" R "restart: requested" R "exit: 3" R R
              LOG_HEAD("4.10.1998 9x", "/LOG " LOG_PATH) "found: " RUN_LINE " value \"SysTask\"" R
              "answer: no" R "restart: not requested" R "exit: 1" R R
              LOG_HEAD("4.10.1998 9x", "/scan -log=" LOG_PATH) "found: " RUN_LINE " value \"SysTask\"" R
              "found: HKEY_CLASSES_ROOT\\.dl (cannot be read)" R "restart: not requested" R "exit: 4" R R,
              log);
    EXPECT_EQ("", sim::err());
}

// A console that belongs to the tool alone, with a window in sight, waits for a key before it
// closes at 1 and 2 as well, after a refused command line too, unless the line names /silent
// or /scan; any other console ends those runs at once, as before.
TEST_F(LogTest, AConsoleOfItsOwnWaitsAtEveryEnd)
{
    const std::tuple<sim::Family, int, sim::ConsoleWindow, bool> cases[] = {
        {sim::FAMILY_NT, 1, sim::WINDOW_SHOWN, true}, {sim::FAMILY_NT, 2, sim::WINDOW_SHOWN, false},
        {sim::FAMILY_NT, 1, sim::WINDOW_HIDDEN, false}, {sim::FAMILY_NT, 1, sim::WINDOW_NONE, false},
        {sim::FAMILY_NT, -1, sim::WINDOW_SHOWN, false}, {sim::FAMILY_9X, 1, sim::WINDOW_SHOWN, false},
    };
    const std::pair<int, std::vector<const char *>> ends[] = {
        {RUN_DECLINED, {}}, {RUN_LINKS_LEFT, {}}, {RUN_DECLINED, {"/quiet"}}, {RUN_DECLINED, {"/quiet", "-SILENT"}},
    };
    for (const auto &[family, processes, window, own] : cases) {
        for (const auto &[status, args] : ends) {
            const std::string where = std::to_string(processes) + " " + std::to_string(window) + " " +
                                      std::to_string(family) + " " + std::to_string(status) + " " +
                                      std::to_string(args.size());
            sim::reset();
            reset_tool_state();
            sim::set_family(family);
            sim::set_console_sharing(processes, window);
            plant_links(LINK_RUN);
            sim::keep_after_deletion(HKEY_LOCAL_MACHINE, RUN_KEY, "SysTask");
            sim::press_key(status == RUN_DECLINED ? 'n' : 'y');
            sim::press_key(' ');
            EXPECT_EQ(status, run_tool(args).code) << where;
            const bool waits = own && args.size() < 2;
            EXPECT_EQ(waits, sim::out().find(MSG_PRESS_ANY_KEY) != std::string::npos) << where;
            EXPECT_EQ(2u - args.empty() - waits, sim::unread_batches()) << where;
        }
    }
}

}  // namespace
