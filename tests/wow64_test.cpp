// Whether the tool has a 64-bit side, on each kind of Windows, and what a question that
// fails does to the boot-time name, the looks at the 64-bit Run views and the restart.
#include "tests/tool_fixture.h"
#include "tests/fault_sweep.h"

#include "clean/boot_path.h"
#include "frontend/messages.h"
#include "frontend/removal_flow.h"

namespace {

#define SYSWOW_PATH WIN_DIR "\\SysWOW64\\FILES32.VXD"
#define RUN_32 "SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Run"

enum Kind { WIN9X, NT2000, XP32, WIN10_32, X64_OLD, X64, ARM64 };
const char *const KIND_NAMES[] = {"9x", "2000", "XP", "10 32-bit", "x64 before 1709", "x64", "ARM64"};

void make_machine(Kind kind)
{
    if (kind == WIN9X)
        sim::set_family(sim::FAMILY_9X);
    if (kind == NT2000)
        sim::drop_export("IsWow64Process");
    if (kind == NT2000)
        sim::drop_export("GetSystemWow64DirectoryA");
    if (kind == NT2000 || kind == XP32 || kind == X64_OLD)
        sim::drop_export("IsWow64Process2");
    if (kind >= X64_OLD)
        sim::set_64bit_machine(kind == ARM64 ? sim::ARCH_ARM64 : sim::ARCH_X64);
}

// The calls that answer the question, and nothing else in the walks swept here.
bool asks_the_question(const Fault &fault)
{
    return fault.call == "GetModuleHandleA" || fault.call == "GetProcAddress" ||
           fault.call == "IsWow64Process2" || fault.call == "IsWow64Process";
}

std::string boot_name(const char *path)
{
    char out[BOOT_PATH_SIZE];
    const char *name = path_seen_at_boot(path, out);
    return name != NULL ? name : "(none)";
}

TEST_F(ToolTest, BootPathIsInSysWow64UnderWow64AndNoneWhenThatCannotBeTold)
{
    const char *const long_dir = "C:\\WINDOWS_WITH_A_NAME_SO_LONG_THAT_ITS_SYSWOW64_PATH_DOES_NOT_FIT_"
                                 "IN_THE_BUFFER_THAT_THE_TOOL_KEEPS_FOR_IT_ABCDEFGHIJKLMNOPQRSTUVWXYZ_"
                                 "ABCDEFGHIJKLMNOPQRSTUVWXYZ_ABCDEFGHIJKLMNOPQRSTUVWXYZ_ABCDEFGHIJKLMNOPQRSTUVWXYZ_"
                                 "ABCDEFGHIJKLMNOPQRSTUVWXYZ";
    struct {
        Kind kind;
        const char *path;
        const char *boot_path;
        const char *fails = NULL;
        DWORD error = ERROR_ACCESS_DENIED;
        const char *filter = "";
        const char *windows_dir = NULL;
    } cases[] = {
        {WIN9X, WORM_PATH, WORM_PATH},
        {NT2000, WORM_PATH, WORM_PATH},
        {XP32, WORM_PATH, WORM_PATH},
        {WIN10_32, WORM_PATH, WORM_PATH},
        {X64, "c:\\windows\\system32\\files32.vxd", WIN_DIR "\\SysWOW64\\files32.vxd"},
        {X64_OLD, WORM_PATH, SYSWOW_PATH},
        {ARM64, WORM_PATH, SYSWOW_PATH},
        {X64, WIN_DIR "\\SYSTEM32X\\FILES32.VXD", WIN_DIR "\\SYSTEM32X\\FILES32.VXD"},
        {X64, WIN_DIR "\\FILES32.VXD", WIN_DIR "\\FILES32.VXD"},
        // Cannot tell, even where the answer would have been no.
        {XP32, WORM_PATH, "(none)", "IsWow64Process"},
        {X64_OLD, WORM_PATH, "(none)", "IsWow64Process"},
        {X64_OLD, WORM_PATH, "(none)", "GetProcAddress", ERROR_MOD_NOT_FOUND, "\"IsWow64Process\""},
        {ARM64, WORM_PATH, "(none)", "IsWow64Process2"},
        {ARM64, WORM_PATH, "(none)", "GetProcAddress", ERROR_MOD_NOT_FOUND, "IsWow64Process2"},
        {ARM64, WORM_PATH, "(none)", "GetModuleHandleA", ERROR_MOD_NOT_FOUND},
        // A 64-bit side whose SysWOW64 name cannot be had whole.
        {X64, WORM_PATH, "(none)", "GetSystemWow64DirectoryA"},
        {X64, WORM_PATH, "(none)", "GetProcAddress", ERROR_MOD_NOT_FOUND, "GetSystemWow64DirectoryA"},
        {X64, WORM_PATH, "(none)", "GetSystemDirectoryA", ERROR_INSUFFICIENT_BUFFER},
        {X64, WORM_PATH, "(none)", NULL, 0, "", long_dir},
    };
    for (const auto &c : cases) {
        sim::reset();
        make_machine(c.kind);
        if (c.kind >= X64_OLD)
            // As 64-bit Windows names it, in mixed case.
            sim::set_system_dir("C:\\Windows\\system32");
        if (c.windows_dir != NULL)
            sim::set_windows_dir(c.windows_dir);
        if (c.fails != NULL)
            sim::fail(c.fails, 1, c.error, false, c.filter);
        EXPECT_EQ(c.boot_path, boot_name(c.path)) << KIND_NAMES[c.kind] << " " << c.path << " "
                                                  << (c.fails ? c.fails : "");
    }
}

// Each path that asks the question, swept on each kind of 64-bit Windows with the worm's
// value in the 64-bit Run key only.
class Wow64SweepTest : public ToolTest, public ::testing::WithParamInterface<Kind> {
protected:
    void prep(bool planted)
    {
        sim::reset();
        reset_tool_state();
        make_machine(GetParam());
        if (planted)
            sim::set_text(HKEY_LOCAL_MACHINE, RUN_KEY, "Tavrel64", "C:\\WINDOWS\\SYSTEM32\\tavrel.exe");
    }
    std::string staging(const char *what) { return std::string(what) + " on " + KIND_NAMES[GetParam()]; }
};

TEST_P(Wow64SweepTest, BootPathNeverNamesTheSystem32File)
{
    sweep_faults(
        staging("boot path"), [&] { prep(false); }, [] { return boot_name(WORM_PATH); },
        [](const std::string &name, const Fault &fault) {
            EXPECT_TRUE(name == SYSWOW_PATH || (name == "(none)" && !fault.call.empty())) << fault.where << name;
        });
}

// A probe that cannot tell still looks at the 64-bit view, which is there.
TEST_P(Wow64SweepTest, ProbeFindsThe64BitLinkWhateverTheQuestionSays)
{
    sweep_faults(
        staging("probe"), [&] { prep(true); }, probe_worm_links,
        [](worm_link_mask seen, const Fault &fault) {
            if (fault.call.empty() || asks_the_question(fault)) {
                EXPECT_EQ(LINK_RUN, seen) << fault.where;
            }
            EXPECT_EQ(0u, seen & ~LINK_RUN) << fault.where;
        });
}

// The final look never calls a 64-bit view clean that it did not see clean.
TEST_P(Wow64SweepTest, FinalLookCountsAViewItCannotTellAbout)
{
    for (bool planted : {true, false}) {
        sweep_faults(
            staging(planted ? "final look, 64-bit link" : "final look, clean"), [&] { prep(planted); }, links_left,
            [&](worm_link_mask left, const Fault &fault) {
                if (planted) {
                    EXPECT_NE(0u, left & LINK_RUN) << fault.where;
                } else if (fault.call.empty()) {
                    EXPECT_EQ(0u, left) << fault.where;
                } else if (asks_the_question(fault)) {
                    EXPECT_EQ(LINK_RUN | LINK_RUNSERVICES, left) << fault.where;
                }
            });
    }
}

// The worm file in SysWOW64, held, beside another program's file of that name in the 64-bit
// system directory; the worm's values in both Run views.
TEST_P(Wow64SweepTest, RestartNeverArrangesTheSystem32FileOrClaimsA64BitLinkGone)
{
    auto stage = [&] {
        prep(true);
        sim::write_file(SYSWOW_PATH, "MZ worm body");
        sim::hold_in_use(SYSWOW_PATH);
        sim::set_text(HKEY_LOCAL_MACHINE, RUN_32, "SysTask", "C:\\WINDOWS\\SYSTEM32\\Tavrel32.exe -s");
        sim::press_key('y');
        sim::press_key('r');
    };
    sweep_faults(staging("restart"), stage, run_tool, [](const sim::Outcome &outcome, const Fault &fault) {
        const std::string &out = sim::out();
        bool arranged = false;
        for (const sim::PendingRename &rename : sim::pending_renames()) {
            EXPECT_EQ(SYSWOW_PATH, rename.from) << fault.where;
            arranged = true;
        }
        // A version question that fails takes the machine for the 9x family.
        std::string wininit;
        if (sim::read_file(WININIT_INI, &wininit)) {
            EXPECT_EQ("[rename]\r\nNUL=" SYSWOW_PATH "\r\n", wininit) << fault.where;
            arranged = true;
        }
        const std::vector<std::string> values = sim::value_names(HKEY_LOCAL_MACHINE, RUN_KEY);
        const bool link64_left = std::find(values.begin(), values.end(), "Tavrel64") != values.end();
        if (fault.call == "stdout")
            return;
        EXPECT_FALSE(link64_left && out.find(MSG_LINKS_REMOVED) != std::string::npos) << fault.where;
        if (out.find(MSG_MUST_RESTART) != std::string::npos) {
            EXPECT_TRUE(arranged || out.find(MSG_NOT_SCHEDULED) != std::string::npos) << fault.where << out;
        }
        // A question that no longer answers from the final look on (its third asking, after the
        // probe and the removal) leaves the 64-bit view untold: no success is claimed.
        if (fault.persistent && fault.call == "IsWow64Process2" && fault.of_name <= 3 && GetParam() != X64_OLD) {
            EXPECT_EQ(RUN_LINKS_LEFT, outcome.code) << fault.where << out;
        }
        if (fault.call.empty()) {
            EXPECT_TRUE(arranged && !link64_left) << fault.where << out;
            EXPECT_EQ(sim::Outcome::IDLE, outcome.kind) << fault.where;
        }
    });
}

INSTANTIATE_TEST_SUITE_P(Machines, Wow64SweepTest, ::testing::Values(X64_OLD, X64, ARM64),
                         [](const ::testing::TestParamInfo<Kind> &info) {
                             return std::string(info.param == X64_OLD ? "X64Before1709" : info.param == X64 ? "X64" : "ARM64");
                         });

}  // namespace
