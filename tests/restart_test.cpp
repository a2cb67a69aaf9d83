// The restart request on each family, and where a failure stops it.
#include "tests/tool_fixture.h"
#include "tests/fault_sweep.h"

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
    // A refusal that leaves no error is a refusal still.
    sim::reset();
    sim::fail("ExitWindowsEx", 1, ERROR_SUCCESS);
    EXPECT_EQ((DWORD)ERROR_GEN_FAILURE, restart());
}

// A failed step ends the sequence with its error and no later step is taken; the token is
// closed however it ended.
TEST_F(ToolTest, RestartStopsAtTheFirstFailingCall)
{
    for (sim::Family family : {sim::FAMILY_9X, sim::FAMILY_NT}) {
        sweep_faults(
            family == sim::FAMILY_NT ? "NT" : "9x", [&] { sim::reset(); sim::set_family(family); }, restart,
            [](DWORD result, const Fault &fault) {
                EXPECT_EQ(result == 0, sim::restart_requested()) << fault.where;
                EXPECT_EQ(0, sim::open_handles()) << fault.where;
                std::vector<std::string> steps = restart_calls();
                if (steps.back() == "CloseHandle")
                    steps.pop_back();
                if (fault.call != "GetVersionExA" && fault.call != "CloseHandle") {
                    EXPECT_EQ(fault.error, result) << fault.where;
                    EXPECT_TRUE(fault.call.empty() || fault.call == steps.back()) << fault.where;
                }
            });
    }
}

}  // namespace
