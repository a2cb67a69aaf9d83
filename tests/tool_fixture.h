// Shared set-up for tests of the tool on the simulated Windows: a fresh machine per test,
// the worm and its links planted on demand, and the tool run from its entry.
#ifndef TESTS_TOOL_FIXTURE_H
#define TESTS_TOOL_FIXTURE_H

#include <gtest/gtest.h>

#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "platform/sim.h"
#include "detect/worm_links.h"

#define WIN_DIR "C:\\WINDOWS"
#define SYS_DIR "C:\\WINDOWS\\SYSTEM32"
#define WORM_PATH SYS_DIR "\\FILES32.VXD"
#define WIN_INI WIN_DIR "\\WIN.INI"
#define SYSTEM_INI WIN_DIR "\\SYSTEM.INI"
#define WININIT_INI WIN_DIR "\\WININIT.INI"
#define WININIT_NEW WIN_DIR "\\WININIT.NEW"
#define WININIT_OLD WIN_DIR "\\WININIT.OLD"
#define MACHINE_COMMAND_KEY "Software\\Classes\\exefile\\shell\\open\\command"
#define CLASSES_COMMAND_KEY "exefile\\shell\\open\\command"
#define RUN_KEY "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run"
#define RUNSERVICES_KEY "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunServices"
#define INFECTED_COMMAND "C:\\WINDOWS\\SYSTEM32\\FILES32.VXD \"%1\" %*"
#define ALL_LINKS 0x31Fu

// Clears what the tool keeps for the life of its process, as a new process would have it.
void reset_tool_state();

// Plants the links in mask the way the worm leaves them (0x1 and 0x10 are one value on
// the usual layout), with clean neighbours beside them.
void plant_links(worm_link_mask mask);
void plant_worm_file(DWORD attributes = FILE_ATTRIBUTE_ARCHIVE);
// Plain WIN.INI and SYSTEM.INI of a clean machine.
void plant_clean_ini_files();

// A class key of another program, "txtfile", with values and subkeys, and a link to it.
#define OTHER_CLASS_KEY "Software\\Classes\\txtfile"
#define OTHER_CLASS_TARGET "\\Registry\\Machine\\Software\\Classes\\txtfile"
void plant_other_class();
// Everything below a key of the machine root, as text, to see that it stayed as it was.
std::string dump_tree(const std::string &path);

// Runs main's steps on the simulated machine, with these arguments after the program's name.
sim::Outcome run_tool(const std::vector<const char *> &switches = {});

// Lines as the tool prints them: each followed by one line break.
std::string lines(std::initializer_list<const char *> texts);

// How often a call with this name was made with args containing the text.
int count_calls(const std::string &name, const std::string &args_part);

class ToolTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        sim::reset();
        reset_tool_state();
    }
};

#endif
