// The 64-bit side on each kind of Windows, and what a question that fails does to the
// boot-time name, the looks at the 64-bit Run view and the restart.
#include "tests/tool_fixture.h"
#include "tests/fault_sweep.h"

#include "clean/boot_path.h"
#include "frontend/messages.h"

namespace {

#define SYSWOW_PATH WIN_DIR "\\SysWOW64\\FILES32.VXD"

enum Kind { WIN9X, NT2000, XP32, X64_OLD, X64, ARM64 };

void make_machine(Kind kind)
{
    sim::reset();
    reset_tool_state();
    if (kind == WIN9X)
        sim::set_family(sim::FAMILY_9X);
    for (const char *call : {"IsWow64Process", "GetSystemWow64DirectoryA", "IsWow64Process2"})
        if (kind == NT2000 || ((kind == XP32 || kind == X64_OLD) && call[14] == '2'))
            sim::drop_export(call);
    if (kind >= X64_OLD)
        sim::set_64bit_machine(kind == ARM64 ? sim::ARCH_ARM64 : sim::ARCH_X64);
}

// A failed question or directory gives no name, even where the answer would have been no.
TEST(BootPathTest, IsInSysWow64UnderWow64AndNoneWhenThatCannotBeTold)
{
    const struct {
        Kind kind;
        const char *path, *boot_path, *fails;
    } cases[] = {
        {WIN9X, WORM_PATH, WORM_PATH, NULL}, {NT2000, WORM_PATH, WORM_PATH, NULL}, {XP32, WORM_PATH, WORM_PATH, NULL},
        {X64, "c:\\windows\\system32\\f.vxd", WIN_DIR "\\SysWOW64\\f.vxd", NULL},
        {X64_OLD, WORM_PATH, SYSWOW_PATH, NULL}, {ARM64, WORM_PATH, SYSWOW_PATH, NULL},
        {X64, WIN_DIR "\\SYSTEM32X\\F.VXD", WIN_DIR "\\SYSTEM32X\\F.VXD", NULL},
        {XP32, WORM_PATH, "", "IsWow64Process"}, {ARM64, WORM_PATH, "", "GetProcAddress"},
        {WIN9X, WORM_PATH, WORM_PATH, "GetProcAddress"}, {WIN9X, WORM_PATH, WORM_PATH, "GetModuleHandleA"},
        {X64, WORM_PATH, "", "GetSystemWow64DirectoryA"}, {X64, WORM_PATH, "", "GetSystemDirectoryA"},
    };
    for (const auto &c : cases) {
        make_machine(c.kind);
        sim::set_system_dir("C:\\Windows\\system32");  // in mixed case, as 64-bit Windows names it
        if (c.fails != NULL)
            sim::fail(c.fails, 1, ERROR_MOD_NOT_FOUND);
        char out[BOOT_PATH_SIZE];
        const char *name = path_seen_at_boot(c.path, out);
        EXPECT_EQ(c.boot_path, std::string(name != NULL ? name : "")) << c.kind << c.path << (c.fails ? c.fails : "");
    }
}

// A clean machine whose question fails: the final look cannot rule the 64-bit views out.
TEST(FinalLookTest, CountsThe64BitRunLinksWhenItCannotTell)
{
    for (Kind kind : {XP32, X64_OLD, ARM64}) {
        make_machine(kind);
        sim::fail(kind == ARM64 ? "IsWow64Process2" : "IsWow64Process");
        EXPECT_EQ(LINK_RUN | LINK_RUNSERVICES, links_left()) << kind;
        EXPECT_EQ(0u, links_left()) << kind;
    }
}

// Each path that asks, swept on each kind of 64-bit Windows, the worm's value in the 64-bit Run.
class Wow64SweepTest : public ::testing::TestWithParam<Kind> {
protected:
    void prep()
    {
        make_machine(GetParam());
        sim::set_text(HKEY_LOCAL_MACHINE, RUN_KEY, "Tavrel64", "C:\\WINDOWS\\SYSTEM32\\tavrel.exe");
    }
};

// A probe that cannot tell still looks at the 64-bit view; the final look never calls it clean.
TEST_P(Wow64SweepTest, LooksNeverPassOverThe64BitLink)
{
    sweep_faults(
        "looks", [&] { prep(); }, [] { return std::make_pair(probe_worm_links(), links_left()); },
        [](std::pair<worm_link_mask, worm_link_mask> seen_left, const Fault &fault) {
            const bool asks = fault.call == "GetModuleHandleA" || fault.call == "GetProcAddress" ||
                              fault.call.compare(0, 12, "IsWow64Proce") == 0;
            EXPECT_TRUE(seen_left.first == LINK_RUN || !(asks || fault.call.empty())) << fault.where;
            EXPECT_NE(0u, seen_left.second & LINK_RUN) << fault.where;
        });
}

// The worm file held in SysWOW64: only that name arranged, no success claimed while the
// 64-bit value is there, and a deletion not arranged said.
TEST_P(Wow64SweepTest, RestartNeverArrangesTheSystem32File)
{
    auto stage = [&] {
        prep();
        sim::write_file(SYSWOW_PATH, "MZ worm body");
        sim::hold_in_use(SYSWOW_PATH);
        sim::press_key('y');
        sim::press_key('r');
    };
    sweep_faults("restart", stage, [] { return run_tool(); }, [](const sim::Outcome &outcome, const Fault &fault) {
        const std::string &out = sim::out();
        EXPECT_FALSE(sim::exists(WININIT_INI)) << fault.where;
        bool arranged = false;
        for (const sim::PendingRename &rename : sim::pending_renames()) {
            EXPECT_EQ(SYSWOW_PATH, rename.from) << fault.where;
            arranged = true;
        }
        if (fault.call == "stdout")
            return;
        EXPECT_FALSE(sim::value_names(HKEY_LOCAL_MACHINE, RUN_KEY).size() == 1 &&
                     out.find(MSG_LINKS_REMOVED) != std::string::npos) << fault.where;
        EXPECT_TRUE(out.find(MSG_MUST_RESTART) == std::string::npos || arranged ||
                    out.find(MSG_NOT_SCHEDULED) != std::string::npos) << fault.where << out;
        EXPECT_TRUE(!fault.call.empty() || (arranged && outcome.kind == sim::Outcome::IDLE)) << fault.where;
    });
}

INSTANTIATE_TEST_SUITE_P(Machines, Wow64SweepTest, ::testing::Values(X64_OLD, X64, ARM64));

}  // namespace
