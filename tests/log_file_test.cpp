// The log's open: a record goes only to a plain file of its own, and starts on a line of its
// own. Anything else at the path (a link to another file, a folder, a device) costs the one
// line on standard error and no byte, and the run cleans and ends as it does without the log.
#include "tests/tool_fixture.h"
#include "tests/fault_sweep.h"

#include <algorithm>

#include "frontend/messages.h"
#include "frontend/run_record.h"

namespace {

#define TEMP_DIR WIN_DIR "\\TEMP"
#define LOG TEMP_DIR "\\MOSS.LOG"
#define OTHER WIN_DIR "\\OTHER.INI"
#define R "\r\n"

const std::string OTHER_BYTES = "[boot]" R "shell=Explorer.exe" R;
const std::string CUT_RECORD = "run: Tavrel_Moss remover 0.09" R "date: 2026-12-08 18:";

struct Staging {
    const char *name;
    sim::Family family;
    bool final_path_call;  // KERNEL32 exports GetFinalPathNameByHandleA (Vista and later)
    std::function<void()> plant;  // what is at LOG beforehand
    const char *path;  // the log asked for
    bool taken;
};

void PrintTo(const Staging &staging, std::ostream *os)
{
    *os << staging.name;
}

void plain(const std::string &bytes)
{
    sim::write_file(LOG, bytes);
}

const Staging STAGINGS[] = {
    {"NewFile", sim::FAMILY_NT, true, [] {}, LOG, true},
    {"PlainFileAppended", sim::FAMILY_NT, true, [] { plain("earlier" R R); }, LOG, true},
    {"EndsMidLine", sim::FAMILY_NT, true, [] { plain(CUT_RECORD); }, LOG, true},
    {"NameInOtherCase", sim::FAMILY_NT, true, [] { plain(CUT_RECORD); }, TEMP_DIR "\\moss.log", true},
    {"HardLink", sim::FAMILY_NT, true, [] { sim::make_hard_link(LOG, OTHER); }, LOG, false},
    {"SymbolicLink", sim::FAMILY_NT, true, [] { sim::make_symbolic_link(LOG, OTHER, true); }, LOG, false},
    {"HostLinkAsWineShowsIt", sim::FAMILY_NT, true, [] { sim::make_symbolic_link(LOG, OTHER, false); }, LOG, false},
    {"Directory", sim::FAMILY_NT, true, [] { sim::make_dir(LOG); }, LOG, false},
    {"TempDirectoryItself", sim::FAMILY_NT, true, [] {}, TEMP_DIR, false},
    {"DeviceNul", sim::FAMILY_NT, true, [] {}, "NUL", false},
    {"DeviceCom1", sim::FAMILY_NT, true, [] {}, TEMP_DIR "\\COM1.LOG", false},
    {"BeforeVistaPlainFile", sim::FAMILY_NT, false, [] { plain(CUT_RECORD); }, LOG, true},
    {"BeforeVistaHardLink", sim::FAMILY_NT, false, [] { sim::make_hard_link(LOG, OTHER); }, LOG, false},
    {"Family9xEndsMidLine", sim::FAMILY_9X, false, [] { plain(CUT_RECORD); }, LOG, true},
    {"Family9xNewFile", sim::FAMILY_9X, false, [] {}, LOG, true},
};

void stage(const Staging &staging)
{
    sim::reset();
    reset_tool_state();
    sim::set_family(staging.family);
    if (!staging.final_path_call)
        sim::drop_export("GetFinalPathNameByHandleA");
    sim::make_dir(TEMP_DIR);
    sim::write_file(OTHER, OTHER_BYTES);
    staging.plant();
    plant_links(LINK_RUN);
}

std::string bytes_at(const char *path)
{
    std::string bytes = "<absent>";
    sim::read_file(path, &bytes);
    return bytes;
}

class LogFileTest : public ::testing::TestWithParam<Staging> {};

// The log taken gets the record after what it held, on a line of its own; a log turned away
// gets nothing, and neither does the file a link leads to. The run's words, cleaning and exit
// code are those of the run without a log.
TEST_P(LogFileTest, AppendsOnlyToAPlainFileOfItsOwn)
{
    const Staging &staging = GetParam();
    stage(staging);
    const sim::Outcome without = run_tool({"/silent"});
    const std::string out = sim::out();
    stage(staging);
    const std::string before = bytes_at(staging.path);
    const std::string arg = std::string("/log=") + staging.path;
    const sim::Outcome with = run_tool({"/silent", arg.c_str()});
    EXPECT_EQ(without.kind, with.kind);
    EXPECT_EQ(without.code, with.code);
    EXPECT_EQ(out, sim::out());
    EXPECT_EQ(0u, probe_worm_links());
    EXPECT_EQ(OTHER_BYTES, bytes_at(OTHER));
    EXPECT_EQ(0, sim::open_handles() + sim::open_files());
    const std::string after = bytes_at(staging.path);
    if (!staging.taken) {
        EXPECT_EQ(std::string(MSG_LOG_FAILED) + staging.path + "\n", sim::err());
        EXPECT_EQ(before, after);
        return;
    }
    EXPECT_EQ("", sim::err());
    const std::string kept = before == "<absent>" ? "" : before;
    const std::string line_end = kept.empty() || kept.back() == '\n' ? "" : R;
    EXPECT_EQ(0u, after.find(kept + line_end + "run: Tavrel_Moss remover 0.09" R)) << after;
    EXPECT_EQ(after.size() - 13, after.find(R "exit: 0" R R)) << after;
}

INSTANTIATE_TEST_SUITE_P(Logs, LogFileTest, ::testing::ValuesIn(STAGINGS),
                         [](const ::testing::TestParamInfo<Staging> &info) { return info.param.name; });

const char *sweep_path;

int start_and_end_log()
{
    char program[] = "tavrel_moss_remover.exe";
    char *argv[] = {program, nullptr};
    log_start(sweep_path, 1, argv);
    record_exit(0);
    return 0;
}

// Whatever call of the record's start fails: no other file changes; the log gets nothing, or
// the start of a record on a line of its own, and a record cut short or not taken at all is
// said in the one line; nothing stays open.
TEST(LogFileSweepTest, AFailedCallLeavesNoByteElsewhereAndSaysSo)
{
    const std::string failed = std::string(MSG_LOG_FAILED) + LOG "\n";
    for (const char *name : {"EndsMidLine", "HardLink", "HostLinkAsWineShowsIt", "Family9xEndsMidLine"}) {
        const Staging &staging = *std::find_if(std::begin(STAGINGS), std::end(STAGINGS),
                                               [&](const Staging &s) { return std::string(s.name) == name; });
        sweep_path = staging.path;
        std::string before;
        sweep_faults(
            name, [&] { stage(staging); before = bytes_at(LOG); },
            [] { return sim::run(start_and_end_log); },
            [&](const sim::Outcome &, const Fault &fault) {
                const std::string log = bytes_at(LOG), err = sim::err();
                // Said, unless standard error itself failed.
                const bool said = err == failed || fault.call == "stderr";
                EXPECT_EQ(OTHER_BYTES, bytes_at(OTHER)) << fault.where;
                EXPECT_EQ(0, sim::open_handles() + sim::open_files()) << fault.where;
                EXPECT_TRUE(err.empty() || err == failed) << fault.where << err;
                if (!staging.taken || log == before) {
                    EXPECT_TRUE(said) << fault.where << err;
                    return;
                }
                // What the log held stays; a record not cut short is whole, on a line of its own.
                EXPECT_EQ(0u, log.find(before)) << fault.where << log;
                if (!said) {
                    EXPECT_EQ(0u, log.find(before + R "run: ")) << fault.where << log;
                    EXPECT_EQ(log.size() - 13, log.find(R "exit: 0" R R)) << fault.where << log;
                }
            });
    }
}

}  // namespace
