// Runs chosen by switches: the command line read from its table, what a look-only run lists,
// the silent run's ends, the log's record, and the prompt of a console of the tool's own.
#include "tests/tool_fixture.h"

#include "frontend/messages.h"
#include "frontend/removal_flow.h"
#include "frontend/switches.h"

namespace {

#define USAGE_FIRST "Usage: tavrel_moss_remover [/scan | /silent [/restart]] [/log=PATH]\n"
#define LOG_PATH "C:\\LOGS\\RUN.LOG"

struct ParseCase {
    std::vector<const char *> args;
    bool valid;
    unsigned set;
    const char *log_path;
};

TEST(SwitchesTest, EachCommandLineGivesItsModeOrAUsageError)
{
    const ParseCase cases[] = {
        {{}, true, 0, nullptr},
        {{"/?"}, true, SET_HELP, nullptr},
        {{"-HELP"}, true, SET_HELP, nullptr},
        {{"/Scan"}, true, SET_SCAN, nullptr},
        {{"-SILENT", "/restart"}, true, SET_SILENT | SET_RESTART, nullptr},
        {{"/restart", "/silent"}, true, SET_SILENT | SET_RESTART, nullptr},
        {{"/log=\\\\srv\\share\\a.log", "/scan"}, true, SET_LOG | SET_SCAN, "\\\\srv\\share\\a.log"},
        {{"/LOG", "x.log", "/silent"}, true, SET_LOG | SET_SILENT, "x.log"},
        {{"/log"}, false, 0, nullptr},
        {{"/log="}, false, 0, nullptr},
        {{"/log", ""}, false, 0, nullptr},
        {{"/log=a", "/log=b"}, false, 0, nullptr},
        {{"/scan", "/silent"}, false, 0, nullptr},
        {{"/scan", "/restart"}, false, 0, nullptr},
        {{"/restart"}, false, 0, nullptr},
        {{"/scanner"}, false, 0, nullptr},
        {{"/scan=1"}, false, 0, nullptr},
        {{"scan"}, false, 0, nullptr},
        {{"/"}, false, 0, nullptr},
    };
    for (const ParseCase &c : cases) {
        std::vector<char *> argv = {const_cast<char *>("tool.exe")};
        std::string shown;
        for (const char *arg : c.args) {
            argv.push_back(const_cast<char *>(arg));
            shown += std::string(" ") + arg;
        }
        run_options options;
        bool valid = parse_switches((int)argv.size(), argv.data(), &options);
        EXPECT_EQ(c.valid, valid) << shown;
        if (c.valid && valid) {
            EXPECT_EQ(c.set, options.set) << shown;
            EXPECT_STREQ(c.log_path ? c.log_path : "(none)",
                         options.log_path ? options.log_path : "(none)") << shown;
        }
    }
}

enum Machine { CLEAN, INFECTED, IN_USE, ODD_NAMES, UNREADABLE_RUN };

void prepare(Machine machine)
{
    plant_clean_ini_files();
    if (machine == CLEAN)
        return;
    if (machine == ODD_NAMES) {
        sim::set_text(HKEY_LOCAL_MACHINE, RUN_KEY, "a\"b\\c\x01 T\xc3\xa4sk", "tavrel.exe");
        return;
    }
    if (machine == UNREADABLE_RUN) {
        sim::fail("RegOpenKeyExA", 1, ERROR_ACCESS_DENIED, true, "\\Run\"");
        return;
    }
    plant_worm_file();
    plant_links(ALL_LINKS);
    if (machine == IN_USE)
        sim::hold_in_use(WORM_PATH);
}

#define RUN_LINE "HKEY_LOCAL_MACHINE\\" RUN_KEY
#define REMOVED_THEN "worm Tavrel_Moss found.\nContinue with removing(Y/N)?\nRemoving...\n" \
    "Registry/.ini links successfully removed.\n"
#define USAGE_ON_OUT "(usage)"

struct ModeCase {
    const char *name;
    std::vector<const char *> args;
    Machine machine;
    sim::Outcome::Kind kind;
    int code;
    const char *out;  // after the banner; USAGE_ON_OUT: the usage text and no banner
    bool usage_on_err;
    size_t ioctls;    // the shield's state asked for and given back
    bool worm_file_after;
};

const ModeCase MODE_CASES[] = {
    {"Help", {"/?"}, INFECTED, sim::Outcome::RETURNED, 0, USAGE_ON_OUT, false, 0, true},
    {"UsageError", {"/scan", "/restart"}, INFECTED, sim::Outcome::RETURNED, 1, "", true, 0, true},
    {"ScanClean", {"/scan"}, CLEAN, sim::Outcome::RETURNED, 0,
     "Worm Tavrel_Moss not found on this computer.\nExiting...\n", false, 2, false},
    {"ScanInfected", {"-SCAN"}, INFECTED, sim::Outcome::RETURNED, 4,
     "Found: worm file " WORM_PATH "\n"
     "Found: HKEY_LOCAL_MACHINE\\Software\\CLASSES\\exefile\\shell\\open\\command (default)\n"
     "Found: HKEY_LOCAL_MACHINE\\" RUNSERVICES_KEY " value \"SysTask\"\n"
     "Found: " RUN_LINE " value \"SysTask\"\n"
     "Found: HKEY_CLASSES_ROOT\\.dl\n"
     "Found: HKEY_CLASSES_ROOT\\exefile\\shell\\open\\command (default)\n"
     "Found: " WIN_INI " [windows] run=\n"
     "Found: " SYSTEM_INI " [boot] shell=\n"
     "worm Tavrel_Moss found.\n", false, 2, true},
    {"ScanOddName", {"/scan"}, ODD_NAMES, sim::Outcome::RETURNED, 4,
     "Found: " RUN_LINE " value \"a\\x22b\\x5Cc\\x01 T\\xE4sk\"\n"
     "Only parts of worm Tavrel_Moss found.\n", false, 2, false},
    {"ScanUnreadable", {"/scan"}, UNREADABLE_RUN, sim::Outcome::RETURNED, 4,
     "May be there (cannot be read): " RUN_LINE "\nOnly parts of worm Tavrel_Moss found.\n",
     false, 2, false},
    {"SilentInUse", {"/silent"}, IN_USE, sim::Outcome::RETURNED, 3,
     REMOVED_THEN MSG_MUST_RESTART "\n" MSG_REBOOT_BY_HAND "\n", false, 2, true},
    {"SilentRestart", {"/silent", "/restart"}, IN_USE, sim::Outcome::IDLE, 0,
     REMOVED_THEN MSG_MUST_RESTART "\n" MSG_REBOOT_BY_HAND "\n", false, 1, true},
    {"SilentDeletes", {"/silent"}, INFECTED, sim::Outcome::RETURNED, 0,
     REMOVED_THEN "Worm Tavrel_Moss successfully removed.\n", false, 2, false},
};

class ModeTest : public ToolTest, public ::testing::WithParamInterface<ModeCase> {};

// No key is typed in any of these runs, so a wait would block.
TEST_P(ModeTest, RunsItsStepsWithoutAKey)
{
    const ModeCase &c = GetParam();
    prepare(c.machine);
    sim::install_shield(7);
    sim::Outcome outcome = c.args.size() == 1 ? run_tool({c.args[0]})
                                              : run_tool({c.args[0], c.args[1]});
    EXPECT_EQ(c.kind, outcome.kind);
    EXPECT_EQ(c.code, outcome.code);
    if (std::string(c.out) == USAGE_ON_OUT)
        EXPECT_EQ(0u, sim::out().find(USAGE_FIRST));
    else if (!c.usage_on_err)
        EXPECT_EQ(std::string(MSG_BANNER "\n") + c.out, sim::out());
    EXPECT_EQ(c.usage_on_err ? 0u : std::string::npos, sim::err().find(USAGE_FIRST));
    EXPECT_EQ(c.ioctls, sim::ioctls().size());
    // The usage paths make no call but their output.
    if (c.ioctls == 0)
        for (const std::string &name : sim::call_names())
            EXPECT_TRUE(name == "stdout" || name == "stderr") << name;
    EXPECT_EQ(c.worm_file_after, sim::exists(WORM_PATH));
    EXPECT_EQ(c.kind == sim::Outcome::IDLE, sim::restart_requested());
    EXPECT_EQ(c.machine == IN_USE && c.code != 1 ? 1u : 0u, sim::pending_renames().size());
    // Only a run that removes changes the links.
    sim::clear_faults();
    bool removes = c.code != 4 && c.ioctls != 0;
    const worm_link_mask planted[] = {0, ALL_LINKS, ALL_LINKS, LINK_RUN, 0};
    EXPECT_EQ(removes ? 0u : planted[c.machine], probe_worm_links());
}

INSTANTIATE_TEST_SUITE_P(Switches, ModeTest, ::testing::ValuesIn(MODE_CASES),
                         [](const ::testing::TestParamInfo<ModeCase> &info) { return info.param.name; });

#define R "\r\n"
#define LOG_HEAD(switches) \
    "run: Tavrel_Moss remover 0.09" R "date: 2026-12-08 18:30:05" R "computer: LABPC" R \
    "windows: 5.1.2600 NT" R "wow64: no" R "switches: " switches R
#define FOUND_LINKS \
    "found: HKEY_LOCAL_MACHINE\\Software\\CLASSES\\exefile\\shell\\open\\command (default)" R \
    "found: HKEY_LOCAL_MACHINE\\" RUNSERVICES_KEY " value \"SysTask\"" R \
    "found: " RUN_LINE " value \"SysTask\"" R "found: HKEY_CLASSES_ROOT\\.dl" R \
    "found: HKEY_CLASSES_ROOT\\exefile\\shell\\open\\command (default)" R \
    "found: " WIN_INI " [windows] run=" R "found: " SYSTEM_INI " [boot] shell=" R

class LogTest : public ToolTest {};
class FlowTestOfOwnConsole : public ToolTest {};

// Each run adds its record behind those before it.
TEST_F(LogTest, EachRunAppendsOneRecordOfWhatItFoundAndDid)
{
    sim::make_dir("C:\\LOGS");
    sim::write_file(LOG_PATH, "earlier" R R);
    prepare(IN_USE);
    EXPECT_EQ(3, run_tool({"/silent", "/log=" LOG_PATH}).code);
    sim::next_process();
    reset_tool_state();
    sim::set_family(sim::FAMILY_9X);
    sim::set_text(HKEY_LOCAL_MACHINE, RUN_KEY, "SysTask", "tavrel32.exe");
    sim::fail("RegOpenKeyExA", 1, ERROR_ACCESS_DENIED, true, "\".dl\"");
    sim::press_key('n');
    EXPECT_EQ(1, run_tool({"/LOG", LOG_PATH}).code);
    sim::next_process();
    reset_tool_state();
    sim::fail("RegOpenKeyExA", 1, ERROR_ACCESS_DENIED, true, "\".dl\"");
    EXPECT_EQ(4, run_tool({"/scan", "-log=" LOG_PATH}).code);
    std::string log;
    ASSERT_TRUE(sim::read_file(LOG_PATH, &log));
    EXPECT_EQ("earlier" R R LOG_HEAD("/silent /log=" LOG_PATH) "found: worm file " WORM_PATH R
              FOUND_LINKS "answer: yes" R "link: exefile command repaired" R
              "link: RunServices removed" R "link: Run removed" R "link: .dl removed" R
              "link: classes exefile command repaired" R "link: WIN.INI run repaired" R
              "link: SYSTEM.INI shell repaired" R "worm file: set for deletion at boot" R
              "restart: not requested" R "exit: 3" R R
              "run: Tavrel_Moss remover 0.09" R "date: 2026-12-08 18:30:05" R "computer: LABPC" R
              "windows: 4.10.1998 9x" R "wow64: no" R "switches: /LOG " LOG_PATH R
              "found: worm file " WORM_PATH R "found: " RUN_LINE " value \"SysTask\"" R
              "answer: no" R "restart: not requested" R "exit: 1" R R
              "run: Tavrel_Moss remover 0.09" R "date: 2026-12-08 18:30:05" R "computer: LABPC" R
              "windows: 4.10.1998 9x" R "wow64: no" R "switches: /scan -log=" LOG_PATH R
              "found: worm file " WORM_PATH R
              "found: " RUN_LINE " value \"SysTask\"" R
              "found: HKEY_CLASSES_ROOT\\.dl (cannot be read)" R
              "restart: not requested" R "exit: 4" R R,
              log);
    EXPECT_EQ("", sim::err());
}

struct LogFailureCase {
    const char *name;
    const char *call;
    int nth;
    bool persistent;
};

// The log's failure is said once, and the run does what it would have done without a log.
TEST_F(LogTest, ALogThatCannotBeWrittenIsSaidOnceAndChangesNothingElse)
{
    const LogFailureCase cases[] = {
        {"open", "fopen", 1, false},
        {"first write", "write", 1, false},
        {"every write", "write", 1, true},
        {"a late write", "write", 20, false},
        {"close", "fclose", 1, false},
    };
    for (const LogFailureCase &c : cases) {
        sim::reset();
        reset_tool_state();
        sim::make_dir("C:\\LOGS");
        prepare(IN_USE);
        sim::fail(c.call, c.nth, ERROR_DISK_FULL, c.persistent, "RUN.LOG");
        EXPECT_EQ(3, run_tool({"/silent", "/log", LOG_PATH}).code) << c.name;
        EXPECT_EQ(MSG_LOG_FAILED LOG_PATH "\n", sim::err()) << c.name;
        EXPECT_EQ(std::string(MSG_BANNER "\n") + REMOVED_THEN MSG_MUST_RESTART "\n" MSG_REBOOT_BY_HAND "\n",
                  sim::out()) << c.name;
        sim::clear_faults();
        EXPECT_EQ(0u, probe_worm_links()) << c.name;
        EXPECT_EQ(1u, sim::pending_renames().size()) << c.name;
        EXPECT_EQ(0, sim::open_files()) << c.name;
    }
}

struct OwnConsoleCase {
    sim::Family family;
    int processes;  // -1: Windows lacks the call
    sim::ConsoleWindow window;
    bool waits;
};

// A console that belongs to the tool alone, with a window in sight, waits for a key before it
// closes at 1 and 2 as well; any other console ends those runs at once, as before.
TEST_F(FlowTestOfOwnConsole, WaitsAtEveryEndOnlyInAConsoleOfItsOwn)
{
    const OwnConsoleCase cases[] = {
        {sim::FAMILY_NT, 1, sim::WINDOW_SHOWN, true},
        {sim::FAMILY_NT, 2, sim::WINDOW_SHOWN, false},
        {sim::FAMILY_NT, 1, sim::WINDOW_HIDDEN, false},
        {sim::FAMILY_NT, 1, sim::WINDOW_NONE, false},
        {sim::FAMILY_NT, -1, sim::WINDOW_SHOWN, false},
        {sim::FAMILY_9X, 1, sim::WINDOW_SHOWN, false},
    };
    for (const OwnConsoleCase &c : cases) {
        for (int status : {RUN_DECLINED, RUN_LINKS_LEFT}) {
            const std::string where = std::to_string(c.processes) + " processes, window " +
                                      std::to_string(c.window) + ", status " + std::to_string(status);
            sim::reset();
            reset_tool_state();
            sim::set_family(c.family);
            sim::set_console_sharing(c.processes, c.window);
            plant_links(LINK_RUN);
            if (status == RUN_LINKS_LEFT)
                sim::keep_after_deletion(HKEY_LOCAL_MACHINE, RUN_KEY, "SysTask");
            sim::press_key(status == RUN_DECLINED ? 'n' : 'y');
            sim::press_key(' ');
            sim::Outcome outcome = run_tool();
            EXPECT_EQ(sim::Outcome::RETURNED, outcome.kind) << where;
            EXPECT_EQ(status, outcome.code) << where;
            bool prompted = sim::out().find(MSG_PRESS_ANY_KEY) != std::string::npos;
            EXPECT_EQ(c.waits, prompted) << where;
            EXPECT_EQ(c.waits ? 0u : 1u, sim::unread_batches()) << where;
        }
    }
}

}  // namespace
