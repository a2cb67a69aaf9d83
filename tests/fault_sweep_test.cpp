// Every call of a whole run made to fail in turn, on both families: whatever fails, the
// run ends in one of its known ways, nothing is left open, and the user's WININIT.INI is
// never lost or cut.
#include "tests/tool_fixture.h"

#include "frontend/messages.h"
#include "frontend/removal_flow.h"

namespace {

const std::string OTHER_ENTRIES = "[rename]\r\nNUL=C:\\WINDOWS\\TEMP\\setup.tmp\r\n";

void stage_infected_machine(sim::Family family)
{
    sim::reset();
    reset_tool_state();
    sim::set_family(family);
    sim::install_shield(3);
    plant_links(ALL_LINKS);
    plant_worm_file(FILE_ATTRIBUTE_HIDDEN);
    sim::hold_in_use(WORM_PATH);
    sim::write_file(WININIT_INI, OTHER_ENTRIES);
    sim::press_key('y');
    sim::press_key('r');
}

bool known_end(const sim::Outcome &outcome)
{
    switch (outcome.kind) {
    case sim::Outcome::RETURNED: return outcome.code >= RUN_FINISHED && outcome.code <= RUN_LINKS_LEFT;
    case sim::Outcome::EXITED: return outcome.code == 1 || outcome.code == RUN_RESTART_NEEDED;
    case sim::Outcome::IDLE: return true;
    case sim::Outcome::BLOCKED: return false;
    }
    return false;
}

// The other programs' entries survive in WININIT.INI, which is either as it was or holds
// the entry as well, with no file of the tool's beside it; and once the restart prompt is
// reached the user hears that the deletion was not arranged exactly when it was not.
void expect_wininit_intact(int nth)
{
    std::string ini;
    ASSERT_TRUE(sim::read_file(WININIT_INI, &ini)) << "call " << nth;
    const std::string scheduled = "[rename]\r\nNUL=" WORM_PATH "\r\nNUL=C:\\WINDOWS\\TEMP\\setup.tmp\r\n";
    EXPECT_TRUE(ini == OTHER_ENTRIES || ini == scheduled) << "call " << nth << ": " << ini;
    EXPECT_FALSE(sim::exists(WININIT_NEW)) << "call " << nth;
    EXPECT_FALSE(sim::exists(WININIT_OLD)) << "call " << nth;
    if (sim::out().find(MSG_MUST_RESTART) != std::string::npos) {
        bool arranged = ini == scheduled || !sim::pending_renames().empty();
        EXPECT_NE(arranged, sim::out().find(MSG_NOT_SCHEDULED) != std::string::npos) << "call " << nth;
    }
}

class FaultSweepTest : public ::testing::TestWithParam<sim::Family> {};

TEST_P(FaultSweepTest, EveryFailingCallEndsCleanly)
{
    stage_infected_machine(GetParam());
    sim::Outcome clean = run_tool();
    ASSERT_EQ(sim::Outcome::IDLE, clean.kind);
    int calls = sim::total_calls();
    ASSERT_GT(calls, 50);

    for (int nth = 1; nth <= calls; nth++) {
        stage_infected_machine(GetParam());
        sim::fail_nth_call(nth, ERROR_ACCESS_DENIED);
        sim::Outcome outcome = run_tool();
        EXPECT_TRUE(known_end(outcome)) << "call " << nth << ": " << sim::calls()[nth - 1].name
                                        << " kind " << outcome.kind << " code " << outcome.code;
        EXPECT_EQ(0, sim::open_keys()) << "call " << nth;
        EXPECT_EQ(0, sim::open_handles()) << "call " << nth;
        EXPECT_EQ(0, sim::open_files()) << "call " << nth;
        EXPECT_EQ(0, sim::keys_deleted_while_open()) << "call " << nth;
        expect_wininit_intact(nth);
        // Removal is claimed only when the worm file is really gone.
        if (sim::out().find("Worm Tavrel_Moss successfully removed.") != std::string::npos ||
            sim::out().find("Worm Tavrel_Moss partialy removed.") != std::string::npos) {
            EXPECT_FALSE(sim::exists(WORM_PATH)) << "call " << nth;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Families, FaultSweepTest, ::testing::Values(sim::FAMILY_NT, sim::FAMILY_9X),
                         [](const ::testing::TestParamInfo<sim::Family> &info) {
                             return info.param == sim::FAMILY_NT ? "NT" : "Win9x";
                         });

}  // namespace
