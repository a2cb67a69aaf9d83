// Every call of a whole run made to fail in turn, once (transient) and from then on for
// every call of the same function (persistent), with the error a real machine gives for
// that call, over several kinds of run on both families. Whatever fails, the run ends in
// one of its known ways, says only the tool's own messages, leaves nothing open, changes
// nothing but worm links, the worm file, WININIT.INI's entry and the pending deletion, and
// claims a removal only when it happened.
#include "tests/tool_fixture.h"
#include "tests/fault_sweep.h"

#include <iostream>
#include <map>
#include <set>
#include <sstream>

#include "clean/boot_delete.h"
#include "clean/link_removal.h"
#include "frontend/messages.h"
#include "frontend/removal_flow.h"

namespace {

const std::string OTHER_ENTRIES = "[rename]\r\nNUL=C:\\WINDOWS\\TEMP\\setup.tmp\r\n";
// Longer than one block of a copy, so that a power cut can stop one in its middle.
const std::string MANY_OTHER_ENTRIES = [] {
    std::string text = OTHER_ENTRIES;
    for (int i = 0; i < 60; i++)
        text += "NUL=C:\\WINDOWS\\TEMP\\setup" + std::to_string(i) + ".tmp\r\n";
    return text;
}();

#define SWEEP_LOG WIN_DIR "\\RUN.LOG"

struct SweepRun {
    const char *name;
    sim::Family family;
    bool infected;
    bool in_use;
    char answer;  // at the question; the key after it answers the next prompt
    // Another program holds WININIT.OLD open with reading shared, once it is there: the
    // user's WININIT.INI goes back by copy. The power cut ends that program too.
    bool old_shared = false;
    std::vector<const char *> switches;
};

const std::string &other_entries(const SweepRun &run)
{
    return run.old_shared ? MANY_OTHER_ENTRIES : OTHER_ENTRIES;
}

bool scans(const SweepRun &run)
{
    return !run.switches.empty() && std::string(run.switches[0]) == "/scan";
}

void PrintTo(const SweepRun &run, std::ostream *os)
{
    *os << run.name;
}

void stage(const SweepRun &run)
{
    sim::reset();
    reset_tool_state();
    sim::set_family(run.family);
    sim::install_shield(3);
    plant_clean_ini_files();
    sim::set_text(HKEY_LOCAL_MACHINE, RUN_KEY, "Zapper", "C:\\PROGRA~1\\zapper.exe");
    if (run.infected) {
        plant_links(ALL_LINKS);
        plant_worm_file(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
        if (run.in_use)
            sim::hold_in_use(WORM_PATH);
    }
    sim::write_file(WININIT_INI, other_entries(run));
    sim::hold_in_use(WININIT_OLD, run.old_shared, true);
    sim::press_key(run.answer);
    sim::press_key('r');
}

bool known_end(const sim::Outcome &outcome, const SweepRun &run)
{
    switch (outcome.kind) {
    case sim::Outcome::RETURNED:
        if (scans(run))
            return outcome.code == RUN_FINISHED || outcome.code == RUN_SCAN_FOUND;
        return outcome.code >= 0 && outcome.code <= (run.switches.empty() ? RUN_LINKS_LEFT : RUN_RESTART_NEEDED);
    case sim::Outcome::EXITED: return outcome.code == 1 || outcome.code == RUN_RESTART_NEEDED;
    case sim::Outcome::IDLE: return true;
    case sim::Outcome::BLOCKED:
    case sim::Outcome::CUT: return false;
    }
    return false;
}

bool marked(std::string text)
{
    for (char &c : text)
        c = (char)toupper((unsigned char)c);
    return text.find(WORM_MARKER) != std::string::npos || text.find(WORM_FILE_NAME) != std::string::npos;
}

// Every key and value of the machine's registry, by path.
void dump_registry(HKEY root, const std::string &path, std::map<std::string, std::string> *out)
{
    (*out)["key " + path] = "";
    for (const std::string &name : sim::value_names(root, path)) {
        DWORD type = 0;
        std::string data;
        sim::get_value(root, path, name.empty() ? NULL : name.c_str(), &type, &data);
        (*out)["value " + path + " : " + name] = std::to_string(type) + ":" + data;
    }
    for (const std::string &sub : sim::subkey_names(root, path))
        dump_registry(root, path.empty() ? sub : path + "\\" + sub, out);
}

std::map<std::string, std::string> machine_state()
{
    std::map<std::string, std::string> state;
    dump_registry(HKEY_LOCAL_MACHINE, "", &state);
    for (const char *ini : {WIN_INI, SYSTEM_INI}) {
        std::string text;
        sim::read_file(ini, &text);
        std::istringstream lines(text);
        std::string line;
        for (int n = 1; std::getline(lines, line); n++)
            state[std::string(ini) + " line " + std::to_string(n)] = line;
    }
    return state;
}

bool is_worm_class(const std::string &entry)
{
    std::string upper = entry;
    for (char &c : upper)
        c = (char)toupper((unsigned char)c);
    return upper.find("SOFTWARE\\CLASSES\\.DL") != std::string::npos;
}

// Only what carried the worm, or the worm's class key, may differ from before.
void expect_only_worm_changed(const std::map<std::string, std::string> &before, const std::string &where)
{
    std::map<std::string, std::string> after = machine_state();
    std::set<std::string> entries;
    for (const auto &e : before)
        entries.insert(e.first);
    for (const auto &e : after)
        entries.insert(e.first);
    for (const std::string &entry : entries) {
        auto b = before.find(entry);
        auto a = after.find(entry);
        if (b != before.end() && a != after.end() && b->second == a->second)
            continue;
        bool worm_part = (b != before.end() && marked(b->second)) || is_worm_class(entry);
        EXPECT_TRUE(worm_part) << where << ": " << entry << " changed";
    }
}

// The other programs' entries survive in WININIT.INI, which is either as it was or holds
// the entry as well, with no file of the tool's beside it (unless no file can be deleted at
// all); and once the restart prompt is reached the user hears that the deletion was not
// arranged exactly when it was not.
void expect_wininit_intact(const SweepRun &run, const Fault &fault)
{
    const std::string &where = fault.where;
    bool deletion_failed = fault.call == "DeleteFileA";
    bool deletions_refused = deletion_failed && fault.persistent;
    std::string ini, old_file, new_file;
    const std::string &others = other_entries(run);
    const std::string scheduled = "[rename]\r\nNUL=" WORM_PATH "\r\n" + others.substr(10);
    if (!sim::read_file(WININIT_INI, &ini)) {
        // Neither the user's file nor the copy could take the name: both stay as the pair
        // set aside between the renames, which the next run puts back.
        EXPECT_TRUE(sim::read_file(WININIT_OLD, &old_file) && old_file == others) << where;
        EXPECT_TRUE(sim::read_file(WININIT_NEW, &new_file) && new_file == scheduled) << where;
        sim::clear_faults();
        sim::hold_in_use(WININIT_OLD, false);
        restore_set_aside_wininit(WORM_PATH, NULL);
        ASSERT_TRUE(sim::read_file(WININIT_INI, &ini)) << where;
    }
    EXPECT_TRUE(ini == others || ini == scheduled) << where << ": " << ini;
    if (!deletions_refused) {
        // A copy whose deletion failed once is the next run's to tidy.
        if (deletion_failed && sim::exists(WININIT_NEW)) {
            sim::clear_faults();
            restore_set_aside_wininit(WORM_PATH, NULL);
        }
        EXPECT_FALSE(sim::exists(WININIT_NEW)) << where;
        // The held one cannot be deleted; it is the user's file as it was.
        std::string old_file;
        EXPECT_TRUE(!sim::read_file(WININIT_OLD, &old_file) || (run.old_shared && old_file == others)) << where;
    }
    if (sim::out().find(MSG_MUST_RESTART) != std::string::npos) {
        bool arranged = ini == scheduled || !sim::pending_renames().empty();
        EXPECT_NE(arranged, sim::out().find(MSG_NOT_SCHEDULED) != std::string::npos) << where;
    }
}

void expect_own_lines(const std::string &text, const std::set<std::string> &own, const std::string &where,
                      bool findings = false)
{
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        bool finding = findings && (line.rfind(MSG_FOUND_AT, 0) == 0 || line.rfind(MSG_MAY_BE_AT, 0) == 0);
        EXPECT_TRUE(own.count(line) || finding) << where << ": printed " << line;
    }
}

// Removal is claimed only when it happened, as the machine shows it afterwards.
void expect_honest_verdict(const std::string &where)
{
    sim::clear_faults();
    const std::string &out = sim::out();
    if (out.find(MSG_LINKS_REMOVED) != std::string::npos) {
        EXPECT_EQ(0u, probe_worm_links()) << where;
    }
    if (out.find(MSG_WORM_REMOVED) != std::string::npos || out.find(MSG_WORM_PARTLY_REMOVED) != std::string::npos) {
        EXPECT_FALSE(sim::exists(WORM_PATH)) << where;
    }
}

void check_rerun(const sim::Outcome &outcome, const std::map<std::string, std::string> &before,
                 const SweepRun &run, const Fault &fault)
{
    const std::string &where = fault.where;
    static const std::set<std::string> own_out = {
        MSG_BANNER, "Worm Tavrel_Moss not found on this computer.", "Exiting...", MSG_PARTS_FOUND,
        MSG_FOUND, MSG_CONTINUE, MSG_REMOVING, MSG_NO_RIGHTS, MSG_LOGON_ADMIN, MSG_LINKS_REMOVED,
        MSG_WORM_REMOVED, MSG_WORM_PARTLY_REMOVED, MSG_NOT_SCHEDULED, MSG_MUST_RESTART, MSG_PRESS_R,
        "If system does not restart automatically,", "REBOOT COMPUTER TO FINISH CLEAN PROCESS!", "",
        MSG_PRESS_ANY_KEY};
    static const std::set<std::string> own_err = {MSG_NO_SYSTEM_DIR, MSG_FATAL_PROMPT,
                                                  MSG_LOG_FAILED SWEEP_LOG};
    EXPECT_TRUE(known_end(outcome, run)) << where << ": kind " << outcome.kind << " code " << outcome.code;
    EXPECT_EQ(0, sim::open_keys()) << where;
    EXPECT_EQ(0, sim::open_handles()) << where;
    EXPECT_EQ(0, sim::open_files()) << where;
    EXPECT_EQ(0, sim::keys_deleted_while_open()) << where;
    expect_own_lines(sim::out(), own_out, where, scans(run));
    expect_own_lines(sim::err(), own_err, where);
    expect_only_worm_changed(before, where);
    expect_wininit_intact(run, fault);
    expect_honest_verdict(where);
    // A link left afterwards is never passed over: the run declined, stopped, or said that the
    // rights were lacking (unless standard output lost it) and left the worm file alone.
    if (probe_worm_links() != 0 && !scans(run)) {
        EXPECT_TRUE(outcome.code == RUN_DECLINED || outcome.code == RUN_LINKS_LEFT) << where;
    }
    if (outcome.code == RUN_LINKS_LEFT) {
        EXPECT_TRUE(fault.call == "stdout" || sim::out().find(lines({MSG_NO_RIGHTS, MSG_LOGON_ADMIN})) != std::string::npos)
            << where;
        EXPECT_EQ(run.infected, sim::exists(WORM_PATH)) << where;
        EXPECT_EQ(0, sim::count("DeleteFileA")) << where;
        std::string log;
        if (sim::err().empty() && sim::read_file(SWEEP_LOG, &log)) {
            EXPECT_LT(log.find(" left\r\n"), log.find("worm file: left\r\n")) << where << log;
        }
    }
    // A look-only run changes nothing, and on an infected machine never gives the all-clear.
    if (scans(run)) {
        EXPECT_EQ(before, machine_state()) << where;
        EXPECT_TRUE(!run.infected || outcome.code != RUN_FINISHED) << where;
    }
}

// The end of a run and the machine it leaves, as text: a fault in the log changes neither.
std::string run_summary(const sim::Outcome &outcome)
{
    std::string summary = std::to_string(outcome.kind) + " " + std::to_string(outcome.code) + " " +
                          std::to_string(sim::exists(WORM_PATH)) + std::to_string(sim::pending_renames().size());
    for (const auto &entry : machine_state())
        summary += "\n" + entry.first + "=" + entry.second;
    return summary;
}

class FaultSweepTest : public ::testing::TestWithParam<SweepRun> {};

TEST_P(FaultSweepTest, NoFaultLosesDataOrClaimsWhatDidNotHappen)
{
    const SweepRun &run = GetParam();
    stage(run);
    const std::map<std::string, std::string> before = machine_state();
    std::string unfaulted;
    int reruns = sweep_faults(
        run.name, [&] { stage(run); }, [&] { return run_tool(run.switches); },
        [&](const sim::Outcome &outcome, const Fault &fault) {
            check_rerun(outcome, before, run, fault);
            if (fault.call.empty())
                unfaulted = run_summary(outcome);
            if (!fault.call.empty() && fault.args.find("RUN.LOG") != std::string::npos) {
                EXPECT_EQ(unfaulted, run_summary(outcome)) << fault.where;
                EXPECT_EQ(lines({MSG_LOG_FAILED SWEEP_LOG}), sim::err()) << fault.where;
            }
        });
    std::cout << "[ sweep    ] " << run.name << ": " << reruns << " reruns\n";
}

std::string without_entries(std::string ini, const std::string &entry)
{
    for (size_t at; (at = ini.find(entry)) != std::string::npos;)
        ini.erase(at, entry.size());
    return ini;
}

// A run cut off after any call, then a run answered Y on that machine: nothing of another
// program's lost, WININIT.INI with the other entries and none but the worm file's besides,
// and whatever is left of the worm the second run says is left.
TEST_P(FaultSweepTest, PowerCutAfterAnyCallThenARunAnsweredYes)
{
    const SweepRun &run = GetParam();
    stage(run);
    run_tool(run.switches);
    // A run that waits for no key ends with writes to its streams (the log's last lines, its
    // close, standard output at exit): a cut inside a stream write loses the write but cannot
    // stop the process there, so the cuts end at the tool's last other call.
    static const std::set<std::string> stream_calls = {"write", "fclose", "stdout", "stderr"};
    int total = sim::total_calls();
    while (total > 0 && stream_calls.count(sim::calls()[total - 1].name))
        total--;
    std::string whole_log;
    sim::read_file(SWEEP_LOG, &whole_log);
    for (int nth = 1; nth < total; nth++) {
        stage(run);
        const std::map<std::string, std::string> before = machine_state();
        sim::cut_power_after(nth);
        const std::string where = std::string(run.name) + " cut after call " + std::to_string(nth);
        EXPECT_EQ(sim::Outcome::CUT, run_tool(run.switches).kind) << where;
        // What Windows carries out at the start after the cut is the user's file whole.
        std::string ini, entry = "NUL=" WORM_PATH "\r\n";
        if (sim::read_file(WININIT_INI, &ini)) {
            EXPECT_EQ(other_entries(run), without_entries(ini, entry)) << where << " at boot";
        }
        // The log shows each step the cut run finished, and nothing it did not reach.
        std::string log;
        if (sim::read_file(SWEEP_LOG, &log)) {
            EXPECT_EQ(0u, whole_log.find(log)) << where << log;
        }
        sim::next_process();
        sim::hold_in_use(WININIT_OLD, false);
        reset_tool_state();
        sim::press_key('y');
        sim::press_key('r');
        EXPECT_TRUE(known_end(run_tool(), SweepRun{})) << where;
        EXPECT_EQ(0, sim::open_keys() + sim::open_handles() + sim::open_files()) << where;
        expect_only_worm_changed(before, where);
        EXPECT_TRUE(sim::read_file(WININIT_INI, &ini)) << where;
        bool arranged = !sim::pending_renames().empty() || ini.find(entry) != std::string::npos;
        EXPECT_EQ(other_entries(run), without_entries(ini, entry)) << where;
        const std::string &out = sim::out();
        bool said = out.find(MSG_NO_RIGHTS) != std::string::npos || out.find(MSG_NOT_SCHEDULED) != std::string::npos;
        expect_honest_verdict(where);
        EXPECT_TRUE(said || (probe_worm_links() == 0 && (arranged || !sim::exists(WORM_PATH)))) << where << out;
        if (HasFailure())
            return;
    }
    std::cout << "[ power cut] " << run.name << ": " << total - 1 << " cut points tried\n";
}

// How many kinds of link, each repaired by its own step, there are among links.
size_t kinds_among(worm_link_mask links)
{
    std::set<int> kinds;
    for (size_t i = 0; i < WORM_LINK_COUNT; i++) {
        if (links & WORM_LINKS[i].bit)
            kinds.insert(WORM_LINKS[i].kind);
    }
    return kinds.size();
}

// The probe and the removal on a fully infected machine of each family. A fault that hits a
// step once hides or leaves the links of that step alone; the removal's mask names exactly the
// links that are gone (the command is one value that both roots show: either bit names it),
// and nothing but the links changes.
TEST(LinkRemovalFaultSweepTest, OneFailedStepStopsNoOtherAndTheMaskNamesWhatIsGone)
{
    const worm_link_mask command = LINK_MACHINE_EXE_COMMAND | LINK_CLASSES_EXE_COMMAND;
    for (sim::Family family : {sim::FAMILY_NT, sim::FAMILY_9X}) {
        auto prep = [&] {
            sim::reset();
            reset_tool_state();
            sim::set_family(family);
            plant_links(ALL_LINKS);
        };
        prep();
        const std::map<std::string, std::string> before = machine_state();
        sweep_faults(
            family == sim::FAMILY_NT ? "NT" : "9x", prep,
            [] {
                const worm_link_mask seen = probe_worm_links();
                return std::make_pair(seen, remove_worm_links());
            },
            [&](std::pair<worm_link_mask, worm_link_mask> seen_removed, const Fault &fault) {
                const worm_link_mask removed = seen_removed.second;
                sim::clear_faults();
                const worm_link_mask left = probe_worm_links();
                EXPECT_TRUE(fault.persistent || kinds_among(ALL_LINKS & ~seen_removed.first) <= 1) << fault.where;
                EXPECT_TRUE(fault.persistent || kinds_among(left) <= 1) << fault.where << left;
                EXPECT_EQ(ALL_LINKS & ~left & ~command, removed & ~command) << fault.where;
                EXPECT_EQ((left & command) == 0, (removed & command) != 0) << fault.where;
                EXPECT_EQ(0, sim::open_keys()) << fault.where;
                EXPECT_EQ(0, sim::keys_deleted_while_open()) << fault.where;
                expect_only_worm_changed(before, fault.where);
            });
    }
}

INSTANTIATE_TEST_SUITE_P(
    Runs, FaultSweepTest,
    ::testing::Values(SweepRun{"InUseNT", sim::FAMILY_NT, true, true, 'y', false, {}},
                      SweepRun{"InUse9x", sim::FAMILY_9X, true, true, 'y', false, {}},
                      SweepRun{"InUse9xOldShared", sim::FAMILY_9X, true, true, 'y', true, {}},
                      SweepRun{"DeletableNT", sim::FAMILY_NT, true, false, 'y', false, {}},
                      SweepRun{"Deletable9x", sim::FAMILY_9X, true, false, 'y', false, {}},
                      SweepRun{"AnsweredNo", sim::FAMILY_NT, true, true, 'n', false, {}},
                      SweepRun{"CleanMachine", sim::FAMILY_9X, false, false, 'y', false, {}},
                      SweepRun{"SilentInUseLogged", sim::FAMILY_NT, true, true, ' ', false, {"/silent", "/log=" SWEEP_LOG}},
                      SweepRun{"Scan9x", sim::FAMILY_9X, true, false, ' ', false, {"/scan"}}),
    [](const ::testing::TestParamInfo<SweepRun> &info) { return info.param.name; });

}  // namespace
