// The restart request on each family, and where a failure stops it.
#include "tests/tool_fixture.h"

#include "clean/restart.h"

namespace {

DWORD restart()
{
    return restart_windows(EWX_REBOOT, 0);
}

std::vector<std::string> restart_calls()
{
    std::vector<std::string> names;
    for (const std::string &name : sim::call_names()) {
        if (name != "GetCurrentProcess" && name != "GetLastError" && name != "SetLastError")
            names.push_back(name);
    }
    return names;
}

TEST_F(ToolTest, Win9xAsksForTheRestartAtOnce)
{
    sim::set_family(sim::FAMILY_9X);
    EXPECT_EQ(0u, restart());
    EXPECT_EQ((std::vector<std::string>{"GetVersionExA", "ExitWindowsEx"}), restart_calls());
    EXPECT_TRUE(sim::restart_requested());
    EXPECT_EQ(EWX_REBOOT, sim::restart_flags());
}

TEST_F(ToolTest, Win9xRefusalGivesItsErrorCode)
{
    sim::set_family(sim::FAMILY_9X);
    sim::fail("ExitWindowsEx", 1, 1234);
    EXPECT_EQ(1234u, restart());
}

TEST_F(ToolTest, NtEnablesTheShutdownPrivilegeFirst)
{
    EXPECT_EQ(0u, restart());
    EXPECT_EQ((std::vector<std::string>{"GetVersionExA", "OpenProcessToken", "LookupPrivilegeValueA",
                                        "AdjustTokenPrivileges", "ExitWindowsEx", "CloseHandle"}),
              restart_calls());
    EXPECT_EQ(1, count_calls("OpenProcessToken", "0x28"));
    EXPECT_EQ(1, count_calls("LookupPrivilegeValueA", "NULL, \"SeShutdownPrivilege\""));
    EXPECT_EQ(0, sim::open_handles());
}

TEST_F(ToolTest, NtStopsAtTheFirstFailingCall)
{
    const char *steps[] = {"OpenProcessToken", "LookupPrivilegeValueA", "AdjustTokenPrivileges",
                           "ExitWindowsEx"};
    for (size_t failing = 0; failing < 4; failing++) {
        sim::reset();
        DWORD error = 1300 + (DWORD)failing;
        sim::fail(steps[failing], 1, error);
        EXPECT_EQ(error, restart()) << steps[failing];
        for (size_t later = failing + 1; later < 4; later++)
            EXPECT_EQ(0, sim::count(steps[later])) << steps[failing];
        EXPECT_EQ(failing == 3, sim::count("ExitWindowsEx") == 1) << steps[failing];
        EXPECT_FALSE(sim::restart_requested());
        // The token is closed however the sequence ended.
        EXPECT_EQ(0, sim::open_handles()) << steps[failing];
    }
}

}  // namespace
