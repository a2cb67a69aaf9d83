// A worm file that cannot be deleted now: deletion at the next boot, the restart prompt,
// the restart, and the endless wait, on both families.
#include "tests/tool_fixture.h"

#include "frontend/messages.h"

namespace {

#define LINKS_REMOVED_LINE "Registry/.ini links successfully removed.\n"
#define RESTART_LINES                                        \
    "YOU MUST RESTART WINDOWS NOW to finish clean process\n" \
    "Press 'R' to restart Windows...\n"                      \
    "If system does not restart automatically,\n"           \
    "REBOOT COMPUTER TO FINISH CLEAN PROCESS!\n"             \
    "\n"

const char *const RESTART_TRANSCRIPT_TAIL = LINKS_REMOVED_LINE RESTART_LINES;
const char *const UNSCHEDULED_TRANSCRIPT_TAIL = LINKS_REMOVED_LINE
    "The worm file could not be set for deletion: run this tool again after the restart.\n" RESTART_LINES;

class RestartPathTest : public ToolTest, public ::testing::WithParamInterface<sim::Family> {
protected:
    void SetUp() override
    {
        ToolTest::SetUp();
        sim::set_family(GetParam());
        plant_worm_file(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
        sim::hold_in_use(WORM_PATH);
    }

    static bool ends_with(const std::string &text, const std::string &tail)
    {
        return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
    }
};

TEST_P(RestartPathTest, FileInUseIsDeletedAtBootAfterR)
{
    sim::install_shield(42);
    sim::press_key('y');
    for (char key : {'y', 'x', '\r', '1'})
        sim::press_key(key);
    sim::press_key('r');
    sim::Outcome outcome = run_tool();
    EXPECT_EQ(sim::Outcome::IDLE, outcome.kind);
    EXPECT_TRUE(ends_with(sim::out(), RESTART_TRANSCRIPT_TAIL)) << sim::out();
    EXPECT_TRUE(sim::restart_requested());
    EXPECT_EQ(EWX_REBOOT, sim::restart_flags());
    // The restart path does not hand the shield its state back.
    ASSERT_EQ(1u, sim::ioctls().size());
    EXPECT_EQ(0x5349A00Cu, sim::ioctls()[0].code);

    if (GetParam() == sim::FAMILY_NT) {
        ASSERT_EQ(1u, sim::pending_renames().size());
        EXPECT_EQ(WORM_PATH, sim::pending_renames()[0].from);
        EXPECT_EQ("", sim::pending_renames()[0].to);
        EXPECT_EQ(5u, sim::pending_renames()[0].flags);
        EXPECT_FALSE(sim::exists(WININIT_INI));
    } else {
        std::string wininit;
        ASSERT_TRUE(sim::read_file(WININIT_INI, &wininit));
        EXPECT_EQ("[rename]\r\nNUL=" WORM_PATH "\r\n", wininit);
        EXPECT_FALSE(sim::exists(WININIT_NEW));
        EXPECT_EQ(0, sim::count("MoveFileExA"));
    }
}

TEST_P(RestartPathTest, FailedRestartStillShowsTheFinalMessageAndWaits)
{
    sim::fail("ExitWindowsEx", 1, ERROR_PRIVILEGE_NOT_HELD);
    sim::press_key('y');
    sim::press_key('R');
    sim::Outcome outcome = run_tool();
    EXPECT_EQ(sim::Outcome::IDLE, outcome.kind);
    EXPECT_TRUE(ends_with(sim::out(), RESTART_TRANSCRIPT_TAIL)) << sim::out();
}

TEST_P(RestartPathTest, DeletionThatCannotBeArrangedIsSaidBeforeTheRestart)
{
    // 9x: another program holds WININIT.INI, so no entry can be written. NT: the pending
    // move is refused.
    const std::string others = "[rename]\r\nNUL=C:\\other\\old.tmp\r\n";
    sim::write_file(WININIT_INI, others);
    if (GetParam() == sim::FAMILY_NT)
        sim::fail("MoveFileExA", 1, ERROR_ACCESS_DENIED);
    else
        sim::hold_in_use(WININIT_INI);
    sim::press_key('y');
    sim::press_key('r');
    sim::Outcome outcome = run_tool();
    EXPECT_EQ(sim::Outcome::IDLE, outcome.kind);
    EXPECT_TRUE(ends_with(sim::out(), UNSCHEDULED_TRANSCRIPT_TAIL)) << sim::out();
    EXPECT_TRUE(sim::restart_requested());
    EXPECT_TRUE(sim::pending_renames().empty());
    std::string wininit;
    EXPECT_TRUE(sim::read_file(WININIT_INI, &wininit) && wininit == others);
}

TEST_P(RestartPathTest, InsertKeyScanCodeIsR)
{
    // Insert has no character; its second code, the scan code 0x52, is 'R'.
    sim::press_key('y');
    sim::press({sim::key_down(0x2D, 0x52, 0, ENHANCED_KEY), sim::key_up(0x2D, 0x52, 0, ENHANCED_KEY)});
    sim::Outcome outcome = run_tool();
    EXPECT_EQ(sim::Outcome::IDLE, outcome.kind);
    EXPECT_TRUE(sim::restart_requested());
}

TEST_P(RestartPathTest, WithoutConsoleNothingRestartsAndTheExitCodeSaysSo)
{
    sim::set_no_console();
    sim::Outcome outcome = run_tool();
    // No key can be read, so the question counts as N: nothing changed.
    EXPECT_EQ(sim::Outcome::RETURNED, outcome.kind);
    EXPECT_EQ(1, outcome.code);
    EXPECT_TRUE(sim::exists(WORM_PATH));
    EXPECT_FALSE(sim::restart_requested());
}

TEST_P(RestartPathTest, ConsoleLostAtTheRestartPromptEndsWithCode3)
{
    sim::press_key('y');
    // The question's wait opens the console once; from then on it is gone, so the restart
    // prompt cannot be answered and no restart happens without consent.
    sim::fail("CreateFileA", 2, ERROR_INVALID_HANDLE, true, "CONIN$");
    sim::Outcome outcome = run_tool();
    EXPECT_EQ(sim::Outcome::EXITED, outcome.kind);
    EXPECT_EQ(3, outcome.code);
    EXPECT_TRUE(ends_with(sim::out(), RESTART_TRANSCRIPT_TAIL)) << sim::out();
    EXPECT_FALSE(sim::restart_requested());
    EXPECT_EQ(0, sim::count("ExitWindowsEx"));
    if (GetParam() == sim::FAMILY_NT)
        EXPECT_EQ(1u, sim::pending_renames().size());
    else
        EXPECT_TRUE(sim::exists(WININIT_INI));
}

INSTANTIATE_TEST_SUITE_P(Families, RestartPathTest,
                         ::testing::Values(sim::FAMILY_NT, sim::FAMILY_9X),
                         [](const ::testing::TestParamInfo<sim::Family> &info) {
                             return info.param == sim::FAMILY_NT ? "NT" : "Win9x";
                         });

TEST_F(ToolTest, DirectoryNamedLikeTheWormFileGoesToBootDeletion)
{
    sim::make_dir(WORM_PATH);
    sim::press_key('y');
    sim::press_key('r');
    sim::Outcome outcome = run_tool();
    EXPECT_EQ(sim::Outcome::IDLE, outcome.kind);
    EXPECT_NE(std::string::npos, sim::out().find("Only parts of worm Tavrel_Moss found."));
    EXPECT_EQ(1u, sim::pending_renames().size());
}

TEST_F(ToolTest, FileGoneThoughDeletionFailedIsPartlyRemoved)
{
    plant_worm_file();
    plant_links(LINK_RUN);
    // The deletion fails, but the file is not there any more when looked at again.
    sim::fail("DeleteFileA", 1, ERROR_ACCESS_DENIED);
    sim::fail("GetFileAttributesA", 4, ERROR_FILE_NOT_FOUND);
    sim::press_key('y');
    sim::press_key('x');
    sim::Outcome outcome = run_tool();
    EXPECT_EQ(0, outcome.code);
    EXPECT_NE(std::string::npos, sim::out().find("Worm Tavrel_Moss partialy removed.\n"));
}

}  // namespace
