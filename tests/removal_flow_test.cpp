// The run from banner to exit code: transcripts, exit codes and what the machine looks
// like afterwards, for each way through the flow.
#include "tests/tool_fixture.h"

#include "frontend/messages.h"
#include "frontend/removal_flow.h"

namespace {

class FlowTest : public ToolTest {};

TEST_F(FlowTest, CleanMachineSaysNotFoundAndWaitsForAKey)
{
    plant_clean_ini_files();
    sim::press_key('x');
    sim::Outcome outcome = run_tool();
    EXPECT_EQ(sim::Outcome::RETURNED, outcome.kind);
    EXPECT_EQ(0, outcome.code);
    EXPECT_EQ(lines({MSG_BANNER, "Worm Tavrel_Moss not found on this computer.", "Exiting...",
                     "Press any key to exit . . ."}),
              sim::out());
    EXPECT_EQ("", sim::err());
    EXPECT_EQ(0u, sim::unread_batches());
}

TEST_F(FlowTest, BannerNamesTheVersionFirst)
{
    sim::press_key('x');
    run_tool();
    EXPECT_EQ(0u, sim::out().find("Tavrel_Moss remover, vers. 0.09  "));
}

struct FoundCase {
    const char *name;
    bool file;
    worm_link_mask links;
    const char *found_line;
    const char *file_line;
};

void PrintTo(const FoundCase &c, std::ostream *os)
{
    *os << c.name;
}

class FoundTest : public ToolTest, public ::testing::WithParamInterface<FoundCase> {};

TEST_P(FoundTest, YesRemovesWhatWasFound)
{
    const FoundCase &c = GetParam();
    if (c.file)
        plant_worm_file();
    plant_links(c.links);
    sim::press_key('y');
    sim::press_key(' ');
    sim::Outcome outcome = run_tool();
    EXPECT_EQ(sim::Outcome::RETURNED, outcome.kind);
    EXPECT_EQ(0, outcome.code);
    EXPECT_EQ(lines({MSG_BANNER, c.found_line, "Continue with removing(Y/N)?", "Removing...",
                     "Registry/.ini links successfully removed.", c.file_line,
                     "Press any key to exit . . ."}),
              sim::out());
    EXPECT_FALSE(sim::exists(WORM_PATH));
    EXPECT_EQ(0u, probe_worm_links());
    // The pause of ten seconds comes once, after "Removing...".
    EXPECT_EQ(1, count_calls("SleepEx", "0x2710"));
    EXPECT_EQ(c.links != 0 ? 1 : 0, count_calls("RegOpenKeyExA", "0xf003f") > 0 ? 1 : 0);
    // USER32 is for the restart only.
    EXPECT_EQ(0, sim::count("LoadLibraryA"));
    EXPECT_EQ(0, sim::open_keys());
}

INSTANTIATE_TEST_SUITE_P(
    Flow, FoundTest,
    ::testing::Values(
        FoundCase{"FileAndLinks", true, ALL_LINKS, "worm Tavrel_Moss found.",
                  "Worm Tavrel_Moss successfully removed."},
        FoundCase{"FileOnly", true, 0, "Only parts of worm Tavrel_Moss found.",
                  "Worm Tavrel_Moss successfully removed."},
        FoundCase{"LinksOnly", false, ALL_LINKS, "Only parts of worm Tavrel_Moss found.",
                  "Worm Tavrel_Moss partialy removed."},
        FoundCase{"OneIniLink", false, LINK_WININI_RUN, "Only parts of worm Tavrel_Moss found.",
                  "Worm Tavrel_Moss partialy removed."}),
    [](const ::testing::TestParamInfo<FoundCase> &info) { return info.param.name; });

TEST_F(FlowTest, FileOnlyNeverTouchesTheLinks)
{
    plant_worm_file();
    sim::press_key('Y');
    sim::press_key('x');
    run_tool();
    EXPECT_EQ(0, count_calls("RegOpenKeyExA", "0xf003f"));
    EXPECT_EQ(0, sim::count("WritePrivateProfileStringA"));
}

TEST_F(FlowTest, NoDeclinesAndChangesNothing)
{
    // A held digit that the question ignores runs out after its repeats, and N still answers.
    std::vector<INPUT_RECORD> held_digit = {sim::key_down('5', 0x06, '5', 0, 5), sim::key_up('5', 0x06, '5')};
    for (bool held : {false, true}) {
        sim::reset();
        reset_tool_state();
        plant_worm_file();
        plant_links(ALL_LINKS);
        if (held)
            sim::press(held_digit);
        sim::press_key('n');
        sim::Outcome outcome = run_tool();
        EXPECT_EQ(sim::Outcome::RETURNED, outcome.kind) << held;
        EXPECT_EQ(1, outcome.code) << held;
        EXPECT_EQ(lines({MSG_BANNER, "worm Tavrel_Moss found.", "Continue with removing(Y/N)?"}),
                  sim::out());
        EXPECT_EQ(0u, sim::unread_batches()) << held;
        EXPECT_TRUE(sim::exists(WORM_PATH));
        EXPECT_EQ(ALL_LINKS, probe_worm_links());
        EXPECT_EQ(0, sim::count("SleepEx"));
    }
}

TEST_F(FlowTest, OtherKeysAtTheQuestionAreIgnoredWithoutOutput)
{
    plant_worm_file();
    for (char key : {'1', '\r', 'q', '\x1b', '\x03', ' '})
        sim::press_key(key);
    // An arrow key: no character, so it gives 0 and then its scan code 0x48.
    sim::press({sim::key_down(0x26, 0x48, 0, ENHANCED_KEY), sim::key_up(0x26, 0x48, 0, ENHANCED_KEY)});
    // Shift alone answers nothing.
    sim::press({sim::key_down(VK_SHIFT, 0x2A, 0), sim::key_up(VK_SHIFT, 0x2A, 0)});
    sim::press_key('N');
    sim::Outcome outcome = run_tool();
    EXPECT_EQ(1, outcome.code);
    EXPECT_EQ(lines({MSG_BANNER, "Only parts of worm Tavrel_Moss found.",
                     "Continue with removing(Y/N)?"}),
              sim::out());
    EXPECT_EQ(0u, sim::unread_batches());
}

TEST_F(FlowTest, KeyTypedBeforeTheQuestionDoesNotAnswerIt)
{
    std::vector<INPUT_RECORD> held_y = {sim::key_down('Y', 0x15, 'y', 0, 3), sim::key_up('Y', 0x15, 'y')};
    for (const std::vector<INPUT_RECORD> &typed : {sim::keystroke('y'), held_y}) {
        sim::reset();
        reset_tool_state();
        plant_worm_file();
        sim::type_ahead(typed);
        sim::press_key('n');
        sim::Outcome outcome = run_tool();
        EXPECT_EQ(1, outcome.code) << typed.size();
        EXPECT_TRUE(sim::exists(WORM_PATH));
    }
}

TEST_F(FlowTest, QuestionIsOnScreenBeforeTheToolWaits)
{
    plant_worm_file();
    sim::press_key('n');
    run_tool();
    // Standard output is fully buffered, as msvcrt's is: the question must have been
    // flushed before the first blocking console read.
    const std::vector<sim::Call> &calls = sim::calls();
    std::string shown;
    for (const sim::Call &call : calls) {
        if (call.name == "stdout")
            shown += call.args;
        if (call.name == "ReadConsoleInputA")
            break;
    }
    EXPECT_NE(std::string::npos, shown.find("Continue with removing(Y/N)?"));
}

struct MaskCase {
    const char *name;
    worm_link_mask planted;
    int exit_code;
    void (*stage)() = NULL;  // more of the machine's state
};

void PrintTo(const MaskCase &c, std::ostream *os)
{
    *os << c.name;
}

class MaskTest : public ToolTest, public ::testing::WithParamInterface<MaskCase> {};

TEST_P(MaskTest, WhatIsLeftDecidesTheStatus)
{
    const MaskCase &c = GetParam();
    plant_worm_file();
    plant_links(c.planted);
    if (c.stage != NULL)
        c.stage();
    sim::press_key('y');
    sim::press_key('x');
    sim::Outcome outcome = run_tool();
    EXPECT_EQ(sim::Outcome::RETURNED, outcome.kind);
    EXPECT_EQ(c.exit_code, outcome.code);
    if (c.exit_code == 2) {
        EXPECT_EQ(lines({MSG_BANNER, "worm Tavrel_Moss found.", "Continue with removing(Y/N)?",
                         "Removing...",
                         "There are not enough rights to remove virus links from registry.",
                         "Logon as Administrator and try AGAIN!"}),
                  sim::out());
        EXPECT_TRUE(sim::exists(WORM_PATH));
        EXPECT_EQ(0, sim::count("DeleteFileA"));
    } else {
        EXPECT_FALSE(sim::exists(WORM_PATH));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Flow, MaskTest,
    ::testing::Values(
        // 0x11 found, 0x1 removed: complete.
        MaskCase{"SharedCommandCountsOnce", LINK_MACHINE_EXE_COMMAND, 0},
        // Nothing is left, however it went.
        MaskCase{"MarkedValueGoneDuringThePause", ALL_LINKS, 0,
                 [] { sim::during_sleep([] { sim::set_text(HKEY_LOCAL_MACHINE, RUN_KEY, "SysTask", "x.exe"); }); }},
        MaskCase{"CommandRepairedDuringThePause", ALL_LINKS, 0,
                 [] {
                     sim::fail("RegSetValueExA", 1, ERROR_ACCESS_DENIED, true);
                     sim::during_sleep(
                         [] { sim::set_text(HKEY_LOCAL_MACHINE, MACHINE_COMMAND_KEY, NULL, "\"%1\" %*"); });
                 }},
        MaskCase{"ErrorLeftOverBeforeTheEmptiedRunLine", ALL_LINKS, 0, [] { sim::during_sleep([] { SetLastError(5); }); }},
        // A link is left, however it went.
        MaskCase{"LinkAddedDuringThePauseStays", ALL_LINKS & ~LINK_RUN, 2,
                 [] {
                     sim::set_text(HKEY_LOCAL_MACHINE, RUN_KEY, "ScanRegistry", "scanregw.exe");
                     sim::deny_access(HKEY_LOCAL_MACHINE, RUN_KEY, KEY_SET_VALUE);
                     sim::during_sleep([] { sim::set_text(HKEY_LOCAL_MACHINE, RUN_KEY, "Later", "tavrel9.exe"); });
                 }},
        // The machine's command alone, 0x1 without 0x10, is found and repaired.
        MaskCase{"MachineCommandAlone", 0, 0,
                 [] {
                     sim::separate_classes_root();
                     sim::set_text(HKEY_LOCAL_MACHINE, MACHINE_COMMAND_KEY, NULL, INFECTED_COMMAND);
                 }},
        // A key whose path is not found is gone, like one not found.
        MaskCase{"KeyPathsNotFound", ALL_LINKS, 0, [] { sim::fail("RegOpenKeyExA", 1, ERROR_PATH_NOT_FOUND, true); }},
        MaskCase{"ClassesRootCommandStays", 0, 2,
                 [] {
                     sim::separate_classes_root();
                     sim::set_text(HKEY_CLASSES_ROOT, CLASSES_COMMAND_KEY, NULL, INFECTED_COMMAND);
                     sim::deny_access(HKEY_CLASSES_ROOT, CLASSES_COMMAND_KEY, KEY_SET_VALUE);
                 }}),
    [](const ::testing::TestParamInfo<MaskCase> &info) { return info.param.name; });

TEST_F(FlowTest, ClassCommandAloneIsRepairedWhereItWasSeen)
{
    // Only HKEY_CLASSES_ROOT carries the worm: the machine root's command is clean, so the
    // classes root's own is repaired.
    sim::separate_classes_root();
    sim::set_text(HKEY_CLASSES_ROOT, CLASSES_COMMAND_KEY, NULL, INFECTED_COMMAND);
    plant_worm_file();
    sim::press_key('y');
    sim::press_key('x');
    sim::Outcome outcome = run_tool();
    EXPECT_EQ(0, outcome.code);
    EXPECT_NE(std::string::npos, sim::out().find("Worm Tavrel_Moss successfully removed."));
    EXPECT_EQ("\"%1\" %*", sim::text_value(HKEY_CLASSES_ROOT, CLASSES_COMMAND_KEY, NULL));
}

TEST_F(FlowTest, CommandDirectlyUnderTheMachineRootIsRepairedWithoutComplaint)
{
    // The probe never looks there; the removal repairs it all the same, and no link is left.
    sim::set_text(HKEY_LOCAL_MACHINE, CLASSES_COMMAND_KEY, NULL, INFECTED_COMMAND);
    plant_links(LINK_RUN);
    plant_worm_file();
    sim::press_key('y');
    sim::press_key('x');
    sim::Outcome outcome = run_tool();
    EXPECT_EQ(0, outcome.code);
    EXPECT_EQ("\"%1\" %*", sim::text_value(HKEY_LOCAL_MACHINE, CLASSES_COMMAND_KEY, NULL));
    EXPECT_FALSE(sim::exists(WORM_PATH));
}

TEST_F(FlowTest, ClassKeyThatIsALinkGoesAndWhatItNamesStays)
{
    plant_worm_file();
    plant_links(ALL_LINKS & ~LINK_DL_CLASS);
    plant_other_class();
    sim::create_link(HKEY_CLASSES_ROOT, ".dl", OTHER_CLASS_TARGET);
    const std::string before = dump_tree(OTHER_CLASS_KEY);
    sim::press_key('y');
    sim::press_key('x');
    sim::Outcome outcome = run_tool();
    EXPECT_EQ(0, outcome.code);
    EXPECT_NE(std::string::npos, sim::out().find("Registry/.ini links successfully removed.\n"));
    EXPECT_FALSE(sim::key_exists(HKEY_CLASSES_ROOT, ".dl"));
    EXPECT_EQ(before, dump_tree(OTHER_CLASS_KEY));
}

TEST_F(FlowTest, MissingSystemDirectoryIsFatal)
{
    // None at all, or one too long for the buffer, which then gets nothing.
    std::string too_long = "C:";
    for (int i = 0; i < 6; i++)
        too_long += "\\" + std::string(50, 'D');
    for (const std::string &dir : {std::string(), too_long}) {
        sim::reset();
        reset_tool_state();
        sim::set_system_dir(dir);
        // What the buffer held before the call is no directory.
        strcpy(system_dir, SYS_DIR);
        sim::install_shield(7);
        sim::press_key('x');
        sim::Outcome outcome = run_tool();
        EXPECT_EQ(sim::Outcome::EXITED, outcome.kind);
        EXPECT_EQ(1, outcome.code);
        EXPECT_EQ(lines({MSG_BANNER}), sim::out());
        EXPECT_EQ(lines({"Cannot find system directory", "Press eny key to exit . . ."}), sim::err());
        // On the screen the banner comes first: standard output reaches it before the error.
        std::vector<std::string> flushes;
        for (const sim::Call &call : sim::calls()) {
            if (call.name == "stdout" || call.name == "stderr")
                flushes.push_back(call.name);
        }
        ASSERT_FALSE(flushes.empty());
        EXPECT_EQ("stdout", flushes.front());
        EXPECT_EQ(0u, sim::unread_batches());
        EXPECT_TRUE(sim::ioctls().size() == 1 && sim::ioctls()[0].code == 0x5349A00C);
    }
}

TEST_F(FlowTest, OverlongSystemDirectoryGivesNoPath)
{
    // Cut, the path would name another file: ...\FILES, or ...\FILES32.VX when the path
    // needs exactly 260 bytes.
    for (size_t length : {250, 245}) {
        sim::reset();
        reset_tool_state();
        std::string dir = "C:\\" + std::string(length, 'D');
        std::string cut = (dir + "\\" WORM_FILE_NAME).substr(0, PATH_SIZE - 1);
        sim::set_system_dir(dir);
        sim::write_file(cut, "another program's");
        sim::press_key('y');
        sim::Outcome outcome = run_tool();
        EXPECT_EQ(1, outcome.code) << cut;
        EXPECT_EQ(0u, strlen(worm_path));
        EXPECT_TRUE(sim::exists(cut));
    }
}

// A 64-bit machine: the worm planted as a 32-bit program plants it (the file in SysWOW64,
// Run and RunServices in the 32-bit view), or not at all, and marked values in the 64-bit
// Run and RunServices.
#define SYSWOW_PATH WIN_DIR "\\SysWOW64\\FILES32.VXD"
#define RUN_32 "SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Run"
#define RUNSERVICES_32 "SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\RunServices"

void plant_64bit_machine(bool worm_32bit)
{
    sim::set_64bit_machine();
    plant_clean_ini_files();
    sim::set_text(HKEY_LOCAL_MACHINE, RUN_KEY, "Tavrel64", "C:\\WINDOWS\\SYSTEM32\\tavrel.exe");
    sim::set_text(HKEY_LOCAL_MACHINE, RUNSERVICES_KEY, "Tavrel64", "tavrel.exe");
    if (!worm_32bit)
        return;
    sim::write_file(SYSWOW_PATH, "MZ worm body");
    sim::set_text(HKEY_LOCAL_MACHINE, RUN_32, "SysTask", "C:\\WINDOWS\\SYSTEM32\\Tavrel32.exe -s");
    sim::set_text(HKEY_LOCAL_MACHINE, RUNSERVICES_32, "SysTask", "tavrel32.exe");
    plant_links(LINK_MACHINE_EXE_COMMAND | LINK_DL_CLASS | LINK_WININI_RUN | LINK_SYSINI_SHELL);
}

TEST_F(FlowTest, Wow64BothRunViewsAreCleaned)
{
    struct {
        bool worm_32bit;
        const char *found_line;
        const char *file_line;
    } cases[] = {
        {true, "worm Tavrel_Moss found.", "Worm Tavrel_Moss successfully removed."},
        {false, "Only parts of worm Tavrel_Moss found.", "Worm Tavrel_Moss partialy removed."},
    };
    for (const auto &c : cases) {
        sim::reset();
        reset_tool_state();
        plant_64bit_machine(c.worm_32bit);
        sim::press_key('y');
        sim::press_key(' ');
        EXPECT_EQ(0, run_tool().code) << c.found_line;
        EXPECT_EQ(lines({MSG_BANNER, c.found_line, "Continue with removing(Y/N)?", "Removing...",
                         "Registry/.ini links successfully removed.", c.file_line, "Press any key to exit . . ."}),
                  sim::out());
        for (const char *key : {RUN_KEY, RUNSERVICES_KEY, RUN_32, RUNSERVICES_32})
            EXPECT_EQ(0u, sim::value_names(HKEY_LOCAL_MACHINE, key).size()) << key;
        EXPECT_FALSE(sim::exists(SYSWOW_PATH));
    }
}

// At every wait, for a key or for time, what the tool wrote is already on the screen, also
// when its output goes to a file or pipe (where msvcrt buffers standard error too).
TEST_F(FlowTest, EveryWaitFindsTheTextBeforeItOnTheScreen)
{
    const struct {
        const char *name;
        void (*prep)();
    } runs[] = {
        {"clean machine", [] { sim::press_key('x'); }},
        {"answered N", [] { plant_links(ALL_LINKS); sim::press_key('n'); }},
        {"removed, then the pause", [] { plant_worm_file(); plant_links(ALL_LINKS); sim::press_key('y'); sim::press_key('x'); }},
        {"restart, then the idle", [] { plant_worm_file(); sim::hold_in_use(WORM_PATH); sim::press_key('y'); sim::press_key('r'); }},
        {"fatal stop", [] { sim::set_system_dir(""); sim::press_key('x'); }},
    };
    for (bool redirected : {false, true}) {
        for (const auto &run : runs) {
            sim::reset();
            reset_tool_state();
            if (redirected)
                sim::redirect_output();
            plant_clean_ini_files();
            run.prep();
            run_tool();
            const std::string where = std::string(run.name) + (redirected ? ", redirected" : "");
            EXPECT_EQ(0u, sim::unread_batches()) << where;
            EXPECT_EQ(std::vector<std::string>{}, sim::waits_with_text_held_back()) << where;
        }
    }
}

}  // namespace
