// The shield's state: taken at the start, handed back at each ordinary end, and never a
// difference to what the user sees.
#include "tests/tool_fixture.h"

#include "shield/shield.h"

namespace {

const DWORD GET_STATE = 0x5349A00C;
const DWORD SET_STATE = 0x5349A010;

struct PathCase {
    const char *name;
    std::function<void()> stage;  // plants the machine and queues the keys
};

void infected_yes()
{
    plant_worm_file();
    plant_links(ALL_LINKS);
    sim::press_key('y');
    sim::press_key('x');
}

const PathCase PATHS[] = {
    {"NotFound", [] { sim::press_key('x'); }},
    {"Declined",
     [] {
         plant_worm_file();
         sim::press_key('n');
     }},
    {"Removed", infected_yes},
    {"RightsMissing",
     [] {
         infected_yes();
         sim::fail("NtDeleteValueKey");
     }},
    {"NoSystemDirectory",
     [] {
         sim::set_system_dir("");
         sim::press_key('x');
     }},
    {"Restart",
     [] {
         infected_yes();
         sim::hold_in_use(WORM_PATH);
         sim::press_key('r');
     }},
};

struct RunResult {
    sim::Outcome outcome;
    std::string out, err;
};

RunResult run_path(const PathCase &path, bool with_shield, int32_t state = 0x01020304)
{
    sim::reset();
    reset_tool_state();
    if (with_shield)
        sim::install_shield(state);
    path.stage();
    RunResult result = {run_tool(), sim::out(), sim::err()};
    return result;
}

TEST(Shield, SameTranscriptAndExitCodeWithAndWithoutTheDevice)
{
    for (const PathCase &path : PATHS) {
        RunResult without = run_path(path, false);
        EXPECT_EQ(0, sim::device_opens()) << path.name;
        RunResult with = run_path(path, true);
        EXPECT_EQ(without.outcome.kind, with.outcome.kind) << path.name;
        EXPECT_EQ(without.outcome.code, with.outcome.code) << path.name;
        EXPECT_EQ(without.out, with.out) << path.name;
        EXPECT_EQ(without.err, with.err) << path.name;
        EXPECT_EQ(0, sim::open_handles()) << path.name;
    }
}

TEST(Shield, OrdinaryEndsHandTheStateBackOnceAndOnlyThem)
{
    for (const PathCase &path : PATHS) {
        run_path(path, true, 0x7EADBEEF);
        bool ordinary = strcmp(path.name, "NoSystemDirectory") != 0 && strcmp(path.name, "Restart") != 0;
        std::vector<sim::Ioctl> ioctls = sim::ioctls();
        ASSERT_EQ(ordinary ? 2u : 1u, ioctls.size()) << path.name;
        EXPECT_EQ(GET_STATE, ioctls[0].code);
        EXPECT_EQ(OPEN_ALWAYS, ioctls[0].disposition);
        if (ordinary) {
            EXPECT_EQ(SET_STATE, ioctls[1].code);
            EXPECT_EQ(std::string("\xEF\xBE\xAD\x7E", 4), ioctls[1].in) << path.name;
            EXPECT_EQ(CREATE_NEW, ioctls[1].disposition);
        }
        EXPECT_EQ(ordinary ? 2 : 1, sim::device_opens()) << path.name;
        EXPECT_EQ(0, sim::open_handles()) << path.name;
    }
}

TEST_F(ToolTest, SavedAfterTheBannerAndRestoredBeforeTheClosingPrompt)
{
    sim::install_shield(5);
    sim::press_key('x');
    run_tool();
    std::vector<std::string> order;
    for (const sim::Call &call : sim::calls()) {
        if (call.name == "DeviceIoControl" || call.name == "GetSystemDirectoryA" || call.name == "ReadConsoleInputA")
            order.push_back(call.name);
        if (call.name == "ReadConsoleInputA")
            break;
    }
    EXPECT_EQ((std::vector<std::string>{"DeviceIoControl", "GetSystemDirectoryA", "DeviceIoControl",
                                        "ReadConsoleInputA"}),
              order);
}

TEST_F(ToolTest, RefusedQueryOpensTheDeviceOnce)
{
    sim::install_shield(5, true);
    sim::press_key('x');
    run_tool();
    EXPECT_EQ(1, sim::device_opens());
    EXPECT_EQ(1u, sim::ioctls().size());
    EXPECT_EQ(SHIELD_NO_STATE, saved_shield_state);
    EXPECT_EQ(0, sim::open_handles());
}

TEST(Shield, QueryNotAnsweredKeepsNoStateAndSendsNoSet)
{
    struct Case {
        const char *name;
        std::function<void()> stage;
        size_t queries;  // what reached the device
    } cases[] = {
        {"NoDevice", [] {}, 0},
        {"DeviceRefused", [] { sim::install_shield(5); sim::fail("CreateFileA"); }, 0},
        {"QueryRefusedByTheDriver", [] { sim::install_shield(5, true); }, 1},
        {"QueryFailedOnTheWay",
         [] { sim::install_shield(5); sim::fail("DeviceIoControl", 1, ERROR_READ_FAULT); }, 0},
    };
    for (const Case &c : cases) {
        sim::reset();
        // A state from before must not stand for an answer that never came.
        saved_shield_state = 0x11223344;
        c.stage();
        shield_save_state();
        EXPECT_EQ(SHIELD_NO_STATE, saved_shield_state) << c.name;
        shield_restore_state();
        EXPECT_EQ(c.queries, sim::ioctls().size()) << c.name;
        EXPECT_EQ(0, sim::open_handles()) << c.name;
    }
}

TEST_F(ToolTest, StateOfAllOnesCannotBeToldFromNone)
{
    sim::install_shield(-1);
    sim::press_key('x');
    run_tool();
    EXPECT_EQ(1u, sim::ioctls().size());
}

TEST_F(ToolTest, RefusedSetIsSilent)
{
    sim::install_shield(9, false, true);
    sim::press_key('x');
    sim::Outcome outcome = run_tool();
    EXPECT_EQ(0, outcome.code);
    EXPECT_EQ(2u, sim::ioctls().size());
    EXPECT_EQ(0, sim::open_handles());
}

TEST_F(ToolTest, DeviceRefusedAtRestoreSendsNothing)
{
    sim::install_shield(9);
    sim::fail("CreateFileA", 1, ERROR_ACCESS_DENIED, false, "OrvFsh\", 0xc0000000, 0x0, NULL, 0x1,");
    sim::press_key('x');
    run_tool();
    EXPECT_EQ(1u, sim::ioctls().size());
    EXPECT_EQ(1, sim::device_opens());
}

}  // namespace
