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
    EXPECT_EQ((std::vector<std::string>{"GetVersionExA", "LoadLibraryA", "GetProcAddress", "ExitWindowsEx"}),
              restart_calls());
    EXPECT_TRUE(sim::restart_requested());
    EXPECT_EQ(EWX_REBOOT, sim::restart_flags());
}

TEST_F(ToolTest, NtEnablesTheShutdownPrivilegeFirst)
{
    EXPECT_EQ(0u, restart());
    EXPECT_EQ((std::vector<std::string>{"GetVersionExA", "OpenProcessToken", "LookupPrivilegeValueA",
                                        "AdjustTokenPrivileges", "LoadLibraryA", "GetProcAddress",
                                        "ExitWindowsEx", "CloseHandle"}),
              restart_calls());
    EXPECT_EQ(1, count_calls("OpenProcessToken", "0x28"));
    EXPECT_EQ(1, count_calls("LookupPrivilegeValueA", "NULL, \"SeShutdownPrivilege\""));
    EXPECT_EQ(1, count_calls("LoadLibraryA", "\"user32.dll\""));
    EXPECT_EQ(1, count_calls("GetProcAddress", "user32.dll, \"ExitWindowsEx\""));
    EXPECT_EQ(0, sim::open_handles());
    // A user without the privilege: the adjustment says yes, the restart then says why not.
    sim::reset();
    sim::deny_shutdown_privilege();
    EXPECT_EQ((DWORD)ERROR_PRIVILEGE_NOT_HELD, restart());
    EXPECT_FALSE(sim::restart_requested());
    EXPECT_EQ(0, sim::open_handles());
}

TEST_F(ToolTest, RestartStopsAtTheFirstFailingCall)
{
    const char *const nt_steps[] = {"OpenProcessToken", "LookupPrivilegeValueA", "AdjustTokenPrivileges",
                                    "LoadLibraryA", "GetProcAddress", "ExitWindowsEx"};
    const struct {
        sim::Family family;
        size_t first_step;  // the 9x family takes only the last three
        size_t failing;
    } cases[] = {
        {sim::FAMILY_9X, 3, 3}, {sim::FAMILY_9X, 3, 4}, {sim::FAMILY_9X, 3, 5},
        {sim::FAMILY_NT, 0, 0}, {sim::FAMILY_NT, 0, 1}, {sim::FAMILY_NT, 0, 2},
        {sim::FAMILY_NT, 0, 3}, {sim::FAMILY_NT, 0, 4}, {sim::FAMILY_NT, 0, 5},
    };
    for (const auto &c : cases) {
        sim::reset();
        sim::set_family(c.family);
        const char *failing = nt_steps[c.failing];
        DWORD error = 1300 + (DWORD)c.failing;
        sim::fail(failing, 1, error);
        EXPECT_EQ(error, restart()) << failing;
        for (size_t step = c.first_step; step < 6; step++)
            EXPECT_EQ(step <= c.failing ? 1 : 0, sim::count(nt_steps[step])) << failing << " " << nt_steps[step];
        EXPECT_FALSE(sim::restart_requested()) << failing;
        // The token is closed however the sequence ended.
        EXPECT_EQ(0, sim::open_handles()) << failing;
    }
}

}  // namespace
