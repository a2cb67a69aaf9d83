// Every mode of the tool on every kind of machine, each run again for every platform call
// failing and for the power cut after every call, all held to what an administrator reads:
// the run ends (no key wait under /scan or /silent, no idle unless Windows took the restart),
// its exit code is the README's for the machine it leaves, the log's `exit:` is that code,
// the log's findings and steps are true of the machine before and after, /scan lists on
// screen what its log lists and leaves the machine as it was, and the shield gets its state
// back as it was.
#include "tests/tool_fixture.h"
#include "tests/fault_sweep.h"

#include <algorithm>
#include <iostream>
#include <map>
#include <set>
#include <sstream>

#include "frontend/messages.h"
#include "frontend/removal_flow.h"

namespace {

enum Arch { NT, NINE_X, X64 };
enum Infection { FULL, PART, CLEAN };

struct Machine {
    Arch arch;
    Infection infection;
};

enum Answer { YES, NO, NO_CONSOLE, NONE };

struct Mode {
    const char *name;
    Answer answer;
    std::vector<const char *> switches;
    bool restart_refused;  // the user lacks the shutdown privilege
    bool log;
};

struct SweepCase {
    Machine machine;
    Mode mode;
};

#define MODE_LOG WIN_DIR "\\MOSS.LOG"
#define SYSWOW_PATH WIN_DIR "\\SysWOW64\\FILES32.VXD"
#define RUN_32 "SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Run"
#define RUNSERVICES_32 "SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\RunServices"
#define LM "HKEY_LOCAL_MACHINE\\"
// A record cut off in the middle of a line by a run before.
const std::string CUT_RECORD = "run: Tavrel_Moss remover 0.09\r\nfound: wor";
const std::string OTHER_ENTRIES = "[rename]\r\nNUL=C:\\WINDOWS\\TEMP\\setup.tmp\r\n";
const std::string WORM_ENTRY = "NUL=" WORM_PATH "\r\n";

bool starts(const std::string &text, const std::string &prefix)
{
    return text.compare(0, prefix.size(), prefix) == 0;
}

std::string first_switch(const Mode &mode)
{
    return mode.switches.empty() ? "" : mode.switches[0];
}

bool scans(const Mode &mode)
{
    return first_switch(mode) == "/scan";
}

const char *worm_file(const Machine &machine)
{
    return machine.arch == X64 ? SYSWOW_PATH : WORM_PATH;
}

// Where a finding's link is, when the link cannot be read: its value's name taken off.
std::string place_of(const std::string &finding)
{
    const size_t value = finding.find(" value \"");
    const size_t view = finding.find(" (64-bit view)");
    return value == std::string::npos ? finding : finding.substr(0, value) + (view != std::string::npos ? finding.substr(view) : "");
}

// What an unfaulted look finds on the machine, as the README writes it.
std::vector<std::string> findings(const Machine &machine)
{
    const std::string run = LM RUN_KEY " value ", services = LM RUNSERVICES_KEY " value ", view = " (64-bit view)";
    const bool full = machine.infection == FULL, x64 = machine.arch == X64;
    std::vector<std::string> all;
    if (machine.infection == CLEAN)
        return all;
    if (full)
        all = {std::string("worm file ") + worm_file(machine), LM "Software\\CLASSES\\exefile\\shell\\open\\command (default)",
               services + "\"SysTask\"", "HKEY_CLASSES_ROOT\\.dl", "HKEY_CLASSES_ROOT\\exefile\\shell\\open\\command (default)",
               SYSTEM_INI " [boot] shell="};
    if (full && x64)
        all.push_back(services + "\"Tavrel64\"" + view);
    if (full || !x64)
        all.push_back(run + "\"SysTask\"");
    if (full && machine.arch == NT)
        all.push_back(run + "\"Sys\\x00Load\"");
    if (x64)
        all.push_back(run + "\"Tavrel64\"" + view);
    all.push_back(WIN_INI " [windows] run=");
    return all;
}

// Every place a link may be said to be at when it cannot be read, the ini files also
// without a Windows directory to name them by.
bool link_place(const std::string &place)
{
    for (Arch arch : {NT, X64}) {
        for (const std::string &finding : findings({arch, FULL})) {
            const std::string at = place_of(finding);
            if (!starts(finding, "worm file ") && (place == at || WIN_DIR "\\" + place == at))
                return true;
        }
    }
    return false;
}

void plant(const Machine &machine)
{
    plant_clean_ini_files();
    sim::set_text(HKEY_LOCAL_MACHINE, RUN_KEY, "Zapper", "C:\\PROGRA~1\\zapper.exe");
    if (machine.arch == NINE_X) {
        sim::set_family(sim::FAMILY_9X);
        sim::write_file(WININIT_INI, OTHER_ENTRIES);
        // A run before was cut off while it wrote its copy: a front part of it is left.
        sim::write_file(WININIT_NEW, "[rename]\r\n" + WORM_ENTRY.substr(0, 9));
    }
    if (machine.arch == X64)
        sim::set_64bit_machine();
    if (machine.infection == CLEAN)
        return;
    const bool full = machine.infection == FULL;
    if (machine.arch == X64) {
        sim::set_text(HKEY_LOCAL_MACHINE, RUN_KEY, "Tavrel64", "C:\\WINDOWS\\SYSTEM32\\tavrel.exe");
        if (full) {
            sim::set_text(HKEY_LOCAL_MACHINE, RUNSERVICES_KEY, "Tavrel64", "tavrel.exe");
            sim::set_text(HKEY_LOCAL_MACHINE, RUN_32, "SysTask", "C:\\WINDOWS\\SYSTEM32\\Tavrel32.exe -s");
            sim::set_text(HKEY_LOCAL_MACHINE, RUNSERVICES_32, "SysTask", "tavrel32.exe");
            plant_links(LINK_MACHINE_EXE_COMMAND | LINK_DL_CLASS | LINK_WININI_RUN | LINK_SYSINI_SHELL);
        } else {
            plant_links(LINK_WININI_RUN);
        }
    } else {
        plant_links(full ? ALL_LINKS : LINK_RUN | LINK_WININI_RUN);
        if (full && machine.arch == NT)
            sim::set_value(HKEY_LOCAL_MACHINE, RUN_KEY, std::string("Sys\0Load", 8), REG_SZ, std::string("tavrel.exe", 11));
    }
    if (full) {
        sim::write_file(worm_file(machine), "MZ worm body", FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
        sim::hold_in_use(worm_file(machine));
    }
}

void stage(const SweepCase &c)
{
    sim::reset();
    reset_tool_state();
    plant(c.machine);
    sim::install_shield(3);
    if (c.mode.log)
        sim::write_file(MODE_LOG, CUT_RECORD);
    if (c.mode.restart_refused)
        sim::deny_shutdown_privilege();
    if (c.mode.answer == NO_CONSOLE)
        sim::set_no_console();
    if (c.mode.answer == YES || c.mode.answer == NO) {
        sim::press_key(c.mode.answer == YES ? 'y' : 'n');
        sim::press_key('r');
    }
}

std::vector<const char *> arguments(const Mode &mode)
{
    std::vector<const char *> args = mode.switches;
    if (mode.log)
        args.push_back("/log=" MODE_LOG);
    return args;
}

// The registry, the files the tool may touch and the pending renames, as text.
std::map<std::string, std::string> machine_state()
{
    std::map<std::string, std::string> state;
    std::vector<std::string> keys = {""};
    while (!keys.empty()) {
        std::string path = keys.back();
        keys.pop_back();
        state["key " + path] = "";
        for (const std::string &name : sim::value_names(HKEY_LOCAL_MACHINE, path)) {
            DWORD type = 0;
            std::string data;
            sim::get_value(HKEY_LOCAL_MACHINE, path, name.empty() ? NULL : name.c_str(), &type, &data);
            state["value " + path + " : " + name] = std::to_string(type) + ":" + data;
        }
        for (const std::string &sub : sim::subkey_names(HKEY_LOCAL_MACHINE, path))
            keys.push_back(path.empty() ? sub : path + "\\" + sub);
    }
    for (const char *file : {WIN_INI, SYSTEM_INI, WININIT_INI, WININIT_NEW, WININIT_OLD, WIN_DIR "\\WININIT.TMR",
                             WORM_PATH, SYSWOW_PATH}) {
        std::string bytes = "<absent>";
        sim::read_file(file, &bytes);
        state[file] = bytes + " " + std::to_string(sim::attributes(file));
    }
    for (const sim::PendingRename &rename : sim::pending_renames())
        state["pending " + rename.from] = rename.to;
    return state;
}

std::vector<std::string> split_lines(const std::string &text, const std::string &eol)
{
    std::vector<std::string> lines;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find(eol, at);
        if (end == std::string::npos)
            end = text.size();
        lines.push_back(text.substr(at, end - at));
        at = end + eol.size();
    }
    return lines;
}

// The fault's first failing call, counted from 1, or 0 for none.
int first_failing_call(const Fault &fault)
{
    if (fault.call.empty())
        return 0;
    int seen = 0;
    const std::vector<sim::Call> &calls = sim::calls();
    for (size_t i = 0; i < calls.size(); i++) {
        if (calls[i].name == fault.call && ++seen == fault.of_name)
            return (int)i + 1;
    }
    return 0;
}

// The first call whose arguments hold text, counted from 1, or 0 for none.
int call_with(const std::string &text)
{
    const std::vector<sim::Call> &calls = sim::calls();
    for (size_t i = 0; i < calls.size(); i++) {
        if (calls[i].args.find(text) != std::string::npos)
            return (int)i + 1;
    }
    return 0;
}

// The worm file's deletion at the next boot, under the name that boot finds it by: a pending
// rename (SysWOW64 under WoW64), or WININIT.INI's entry.
bool arranged_at_boot(const Machine &machine)
{
    std::string ini;
    for (const sim::PendingRename &rename : sim::pending_renames()) {
        if (rename.from == worm_file(machine) && rename.to.empty())
            return true;
    }
    return sim::read_file(WININIT_INI, &ini) && ini.find(WORM_ENTRY) != std::string::npos;
}

struct Before {
    std::map<std::string, std::string> state;
    bool file;
};

// What the shield got: its own state back, and nothing but the query and that state.
void expect_shield_as_it_was(const std::string &where)
{
    EXPECT_EQ(3, sim::shield_state()) << where;
    for (const sim::Ioctl &ioctl : sim::ioctls()) {
        const int32_t three = 3;
        bool query = ioctl.code == 0x5349A00C && ioctl.in.empty();
        bool set = ioctl.code == 0x5349A010 && ioctl.in == std::string((const char *)&three, 4);
        EXPECT_TRUE(query || set) << where << ": control code " << ioctl.code;
    }
}

// The calls that ask whether the tool runs under WoW64.
const std::set<std::string> WOW64_QUESTION = {"GetModuleHandleA", "GetProcAddress", "IsWow64Process2",
                                              "IsWow64Process", "GetVersionExA"};

// Whether the fault hit a call made after the call numbered from and before the one numbered
// to (counted from 1), of these names.
bool fault_between(const Fault &fault, int from, int to, const std::set<std::string> &names)
{
    const int failed = first_failing_call(fault);
    if (failed == 0 || !names.count(fault.call))
        return false;
    const std::vector<sim::Call> &calls = sim::calls();
    for (int i = std::max(from, failed - 1); i < to - 1; i++) {
        if (calls[i].name == fault.call && (i + 1 == failed || fault.persistent))
            return true;
    }
    return false;
}

// The log's `windows:` and `wow64:` lines say what the machine is, or `unknown` where a
// fault hit the question asked for the line.
void expect_true_head(const std::vector<std::string> &record, const SweepCase &c, const Fault &fault)
{
    const int windows_at = call_with("windows: "), wow64_at = call_with("wow64: ");
    for (const std::string &line : record) {
        if (starts(line, "windows: ")) {
            int asked = windows_at - 1;
            while (asked > 0 && sim::calls()[asked - 1].name != "GetVersionExA")
                asked--;
            bool failed = fault_between(fault, asked - 1, windows_at, {"GetVersionExA"});
            EXPECT_EQ(failed ? "windows: unknown"
                             : c.machine.arch == NINE_X ? "windows: 4.10.1998 9x" : "windows: 5.1.2600 NT",
                      line)
                << fault.where;
        }
        if (starts(line, "wow64: ")) {
            bool failed = fault_between(fault, windows_at, wow64_at, WOW64_QUESTION);
            // The 9x family has no 64-bit side, whatever else its question did.
            std::string truth = c.machine.arch == X64 ? "wow64: yes" : "wow64: no";
            if (failed && !(c.machine.arch == NINE_X && fault.call != "GetVersionExA"))
                truth = "wow64: unknown";
            EXPECT_EQ(truth, line) << fault.where;
        }
    }
}

const std::map<std::string, worm_link_mask> LINK_BITS = {
    {"exefile command", LINK_MACHINE_EXE_COMMAND | LINK_CLASSES_EXE_COMMAND}, {"RunServices", LINK_RUNSERVICES},
    {"Run", LINK_RUN}, {".dl", LINK_DL_CLASS}, {"classes exefile command", LINK_MACHINE_EXE_COMMAND | LINK_CLASSES_EXE_COMMAND},
    {"WIN.INI run", LINK_WININI_RUN}, {"SYSTEM.INI shell", LINK_SYSINI_SHELL}};

// Each `link:` and `worm file:` line is true of the machine before and after.
void expect_true_steps(const std::vector<std::string> &record, const SweepCase &c, const Before &before,
                       worm_link_mask left, const Fault &fault)
{
    const std::string &where = fault.where;
    const bool file_after = sim::exists(worm_file(c.machine));
    // A failed read of the attributes cannot tell the tool that there is no file.
    const bool file_unknown = fault.call == "GetFileAttributesA";
    for (const std::string &line : record) {
        if (starts(line, "link: ")) {
            size_t last = line.rfind(' ');
            auto bit = LINK_BITS.find(line.substr(6, last - 6));
            ASSERT_NE(LINK_BITS.end(), bit) << where << ": " << line;
            std::string outcome = line.substr(last + 1);
            EXPECT_TRUE(outcome == "left" || (left & bit->second) == 0) << where << ": " << line;
            EXPECT_TRUE(c.machine.infection != CLEAN) << where << ": " << line;
        }
        if (line == "worm file: deleted") {
            EXPECT_TRUE(before.file && !file_after) << where;
        }
        if (line == "worm file: absent") {
            EXPECT_TRUE(!before.file && !file_after) << where;
        }
        if (line == "worm file: left") {
            EXPECT_TRUE((before.file || file_unknown) && file_after == before.file) << where << ": no worm file left";
        }
        if (line == "worm file: set for deletion at boot") {
            EXPECT_TRUE((file_after || file_unknown) && arranged_at_boot(c.machine)) << where;
        }
    }
}

// The findings of the record (`found: ` taken off) are what was there before, or places that
// could not be read, and all come before the answer. Unfaulted, they are exactly the
// machine's; a look-only run lists every one, or the place it could not read.
void expect_true_findings(const std::vector<std::string> &record, const SweepCase &c, const Fault &fault,
                          bool looked = false)
{
    if (record.empty())
        return;
    const std::vector<std::string> there = findings(c.machine);
    std::set<std::string> found, expected(there.begin(), there.end());
    // Where WoW64 or SysWOW64 cannot be told, the worm file is named as the tool sees it.
    const bool wow64_unknown = WOW64_QUESTION.count(fault.call) != 0 || fault.call == "GetSystemDirectoryA" ||
                               fault.call == "GetSystemWow64DirectoryA";
    bool answered = false;
    for (const std::string &line : record) {
        answered = answered || starts(line, "answer: ");
        if (!starts(line, "found: "))
            continue;
        std::string what = line.substr(7);
        EXPECT_FALSE(answered) << fault.where << ": " << line << " after the answer";
        const std::string unread = " (cannot be read)";
        bool may = what.size() > unread.size() && what.compare(what.size() - unread.size(), unread.size(), unread) == 0;
        if (may)
            what.resize(what.size() - unread.size());
        // Where WoW64 cannot be told, a 32-bit Windows shows its Run keys through the 64-bit view too.
        const std::string view = " (64-bit view)";
        // Nor can the worm file then be named where Windows keeps it.
        if (wow64_unknown && what == "worm file " WORM_PATH)
            what = std::string("worm file ") + worm_file(c.machine);
        bool seen_twice = wow64_unknown && what.size() > view.size() &&
                          what.compare(what.size() - view.size(), view.size(), view) == 0 &&
                          expected.count(what.substr(0, what.size() - view.size()));
        EXPECT_TRUE(may ? link_place(what) : expected.count(what) != 0 || seen_twice) << fault.where << ": " << line;
        found.insert(may ? "?" + what : what);
    }
    if (fault.call.empty()) {
        EXPECT_EQ(expected, found) << fault.where;
        return;
    }
    if (!scans(c.mode) || !looked)
        return;
    for (const std::string &f : there) {
        const std::string place = place_of(f), alone = starts(place, WIN_DIR "\\") ? place.substr(strlen(WIN_DIR "\\")) : place;
        bool file_hidden = starts(f, "worm file ") && fault.call == "GetFileAttributesA";
        // Without a Windows directory an ini file is named alone.
        EXPECT_TRUE(found.count(f) || (!starts(f, "worm file ") && (found.count("?" + place) || found.count("?" + alone))) ||
                    file_hidden)
            << fault.where << ": " << f;
    }
}

// What /scan lists on standard output, as its log writes it.
std::vector<std::string> listed_on_screen()
{
    std::vector<std::string> listed;
    for (const std::string &line : split_lines(sim::out(), "\n")) {
        if (starts(line, MSG_FOUND_AT))
            listed.push_back("found: " + line.substr(strlen(MSG_FOUND_AT)));
        if (starts(line, MSG_MAY_BE_AT))
            listed.push_back("found: " + line.substr(strlen(MSG_MAY_BE_AT)) + " (cannot be read)");
    }
    return listed;
}

// The exit code the README gives for what the machine shows after the run.
void expect_readme_exit_code(const sim::Outcome &outcome, const SweepCase &c, const Before &before,
                             const std::map<std::string, std::string> &state_after, worm_link_mask left,
                             const Fault &fault)
{
    const std::string &where = fault.where;
    const bool file_after = sim::exists(worm_file(c.machine));
    // Where the attributes could not be read, the tool cannot tell that there is no file.
    const bool file_maybe = file_after || fault.call == "GetFileAttributesA";
    std::map<std::string, std::string> after = state_after, was = before.state;
    // The 9x family's tidying of a cut-off WININIT.INI edit comes before the question.
    if (!scans(c.mode))
        after.erase(WININIT_NEW), was.erase(WININIT_NEW);
    const bool changed = after != was;
    if (outcome.kind == sim::Outcome::IDLE) {
        EXPECT_TRUE((sim::restart_requested() || c.mode.answer == YES) && left == 0 && file_maybe) << where;
        return;
    }
    switch (outcome.code) {
    case RUN_FINISHED: EXPECT_TRUE(left == 0 && !file_after) << where << ": exit 0, links " << left; break;
    case RUN_DECLINED: EXPECT_FALSE(changed) << where << ": exit 1 after a change"; break;
    case RUN_LINKS_LEFT:
        EXPECT_FALSE(scans(c.mode)) << where;
        EXPECT_EQ(before.file, file_after) << where << ": exit 2 touched the worm file";
        break;
    case RUN_RESTART_NEEDED:
        EXPECT_TRUE(!scans(c.mode) && left == 0 && file_maybe) << where << ": exit 3, links " << left;
        break;
    case RUN_SCAN_FOUND:
        EXPECT_TRUE(scans(c.mode)) << where;
        EXPECT_TRUE(!listed_on_screen().empty() || fault.call == "stdout") << where << ": 4 with nothing listed";
        break;
    default: ADD_FAILURE() << where << ": exit code " << outcome.code;
    }
    // A machine that still shows the worm never ends with 0; one that shows a link, only with
    // the codes that say so.
    if (left != 0) {
        EXPECT_TRUE(outcome.code == RUN_DECLINED || outcome.code == RUN_LINKS_LEFT || outcome.code == RUN_SCAN_FOUND)
            << where << ": exit " << outcome.code << " with links " << left;
    }
}

void check_run(const sim::Outcome &outcome, const SweepCase &c, const Before &before, const Fault &fault)
{
    const std::string &where = fault.where;
    const Mode &mode = c.mode;
    // It ended: no key wait where no one answers, no idle unless Windows took the restart.
    ASSERT_TRUE(outcome.kind != sim::Outcome::BLOCKED && outcome.kind != sim::Outcome::CUT) << where;
    if (!first_switch(mode).empty()) {
        EXPECT_EQ(0, count_calls("CreateFileA", "CONIN$")) << where << ": waited for a key";
    }
    if (outcome.kind == sim::Outcome::IDLE) {
        EXPECT_TRUE(sim::restart_requested() || mode.answer == YES) << where << ": idles without a restart";
    }
    const int code = outcome.kind == sim::Outcome::IDLE ? RUN_RESTART_NEEDED : outcome.code;
    expect_shield_as_it_was(where);
    std::string log;
    const bool log_failed = sim::err().find(MSG_LOG_FAILED) != std::string::npos;
    std::vector<std::string> record;
    // A log that failed is said on standard error; what it holds is not the record.
    if (mode.log && !log_failed && sim::read_file(MODE_LOG, &log) && log.size() > CUT_RECORD.size()) {
        EXPECT_EQ(0u, log.find(CUT_RECORD)) << where;
        std::string own = log.substr(CUT_RECORD.size());
        // The record starts on a line of its own.
        EXPECT_TRUE(starts(own, "\r\nrun: ")) << where << ": " << own.substr(0, 40);
        record = split_lines(own.substr(starts(own, "\r\n") ? 2 : 0), "\r\n");
    }
    EXPECT_TRUE(!mode.log || log_failed || !record.empty()) << where << ": no record";
    if (!log_failed && !record.empty()) {
        size_t n = record.size();
        EXPECT_TRUE(n >= 2 && record[n - 1].empty() && record[n - 2] == "exit: " + std::to_string(code))
            << where << ": exit " << code << ", log\n" << log;
    }
    expect_true_head(record, c, fault);
    // A look-only run without a log shows its findings on screen alone.
    const bool looked = outcome.kind != sim::Outcome::EXITED || outcome.code != RUN_DECLINED;
    if (!log_failed && !record.empty())
        expect_true_findings(record, c, fault, looked);
    else if (scans(mode) && !mode.log && fault.call != "stdout")
        expect_true_findings(listed_on_screen(), c, fault, looked);
    sim::clear_faults();
    // The look of a process after it, which no longer holds the log.
    reset_tool_state();
    const worm_link_mask left = links_left();
    expect_true_steps(record, c, before, left, fault);
    const std::map<std::string, std::string> after = machine_state();
    expect_readme_exit_code(outcome, c, before, after, left, fault);
    if (scans(mode)) {
        EXPECT_EQ(before.state, after) << where << ": /scan changed the machine";
        std::vector<std::string> logged;
        for (const std::string &line : record)
            if (starts(line, "found: "))
                logged.push_back(line);
        bool screen_lost = fault.call == "stdout";
        if (mode.log && !log_failed && !screen_lost) {
            EXPECT_EQ(logged, listed_on_screen()) << where;
        }
    }
}

std::string name_of(const SweepCase &c)
{
    static const char *const arch[] = {"NT", "9x", "X64"}, *const infection[] = {"Full", "Part", "Clean"};
    return std::string(arch[c.machine.arch]) + infection[c.machine.infection] + "_" + c.mode.name +
           (c.mode.log ? "Log" : "");
}

void PrintTo(const SweepCase &c, std::ostream *os)
{
    *os << name_of(c);
}

// A run without a log makes the same calls less the log's: its faults and cuts are swept with
// it. Without a worm file, /restart makes the same calls as /silent alone; so does a refused
// privilege on 9x, which has none.
bool swept(const SweepCase &c)
{
    return c.mode.log && (c.mode.switches.size() < 2 || c.machine.infection == FULL) &&
           !(c.mode.restart_refused && c.machine.arch == NINE_X);
}

class ModeSweepTest : public ::testing::TestWithParam<SweepCase> {};
// Only the runs that are swept are cut: the others make another run's calls.
class ModePowerCutTest : public ::testing::TestWithParam<SweepCase> {};

TEST_P(ModeSweepTest, EveryFaultLeavesATrueExitCodeAndRecord)
{
    const SweepCase &c = GetParam();
    stage(c);
    const Before before = {machine_state(), sim::exists(worm_file(c.machine))};
    const std::vector<const char *> args = arguments(c.mode);
    auto check = [&](const sim::Outcome &outcome, const Fault &fault) { check_run(outcome, c, before, fault); };
    if (!swept(c)) {
        check(run_tool(args), Fault{"", 0, false, 0, name_of(c) + " without faults", ""});
        return;
    }
    const int stride = sweep_stride();
    int reruns = sweep_faults(
        name_of(c), [&] { stage(c); }, [&] { return run_tool(args); }, check,
        SweepShare{true, stride, (int)std::hash<std::string>()(name_of(c)) % stride});
    std::cout << "[ sweep    ] " << name_of(c) << ": " << reruns << " reruns\n";
}

// The power cut after each call of a run that logs or only looks: the record so far starts
// on a line of its own and is true of the machine, and a look-only run changed nothing.
TEST_P(ModePowerCutTest, PowerCutLeavesATrueRecord)
{
    const SweepCase &c = GetParam();
    const int stride = sweep_stride(), offset = (int)std::hash<std::string>()(name_of(c)) % stride;
    stage(c);
    const Before before = {machine_state(), sim::exists(worm_file(c.machine))};
    run_tool(arguments(c.mode));
    const int total = sim::total_calls();
    for (int nth = 1; nth < total; nth++) {
        if (nth % stride != offset)
            continue;
        stage(c);
        sim::cut_power_after(nth);
        const Fault cut{"power cut", nth, false, 0, name_of(c) + " cut after call " + std::to_string(nth), ""};
        const sim::Outcome outcome = run_tool(arguments(c.mode));
        if (outcome.kind != sim::Outcome::CUT)
            continue;  // cut in its last stream writes, after its last other call
        std::string log;
        std::vector<std::string> record;
        if (sim::read_file(MODE_LOG, &log) && log.size() > CUT_RECORD.size()) {
            std::string own = log.substr(CUT_RECORD.size());
            EXPECT_TRUE(starts(own, "\r\nrun: ")) << cut.where << ": " << own.substr(0, 40);
            // The line the cut stopped in the middle of says nothing yet.
            own.erase(own.rfind("\r\n") + 2);
            record = split_lines(own.substr(starts(own, "\r\n") ? 2 : 0), "\r\n");
        }
        sim::next_process();
        reset_tool_state();
        expect_true_findings(record, c, cut);
        expect_true_steps(record, c, before, links_left(), cut);
        if (scans(c.mode)) {
            EXPECT_EQ(before.state, machine_state()) << cut.where << ": /scan changed the machine";
        }
        if (::testing::Test::HasFailure())
            return;
    }
    std::cout << "[ power cut] " << name_of(c) << ": " << total - 1 << " cut points\n";
}

std::vector<SweepCase> every_case()
{
    const Mode modes[] = {
        {"Yes", YES, {}, false, false},
        {"No", NO, {}, false, false},
        {"NoConsole", NO_CONSOLE, {}, false, false},
        {"Scan", NONE, {"/scan"}, false, false},
        {"Silent", NONE, {"/silent"}, false, false},
        {"SilentRestart", NONE, {"/silent", "/restart"}, false, false},
        {"SilentRestartRefused", NONE, {"/silent", "/restart"}, true, false},
    };
    std::vector<SweepCase> cases;
    for (Arch arch : {NT, NINE_X, X64}) {
        for (Infection infection : {FULL, PART, CLEAN}) {
            for (Mode mode : modes) {
                for (bool log : {false, true}) {
                    mode.log = log;
                    cases.push_back({{arch, infection}, mode});
                }
            }
        }
    }
    return cases;
}

std::vector<SweepCase> swept_cases()
{
    std::vector<SweepCase> cases = every_case();
    cases.erase(std::remove_if(cases.begin(), cases.end(), [](const SweepCase &c) { return !swept(c); }), cases.end());
    return cases;
}

std::string param_name(const ::testing::TestParamInfo<SweepCase> &info)
{
    return name_of(info.param);
}

INSTANTIATE_TEST_SUITE_P(Modes, ModeSweepTest, ::testing::ValuesIn(every_case()), param_name);
INSTANTIATE_TEST_SUITE_P(Modes, ModePowerCutTest, ::testing::ValuesIn(swept_cases()), param_name);

}  // namespace
