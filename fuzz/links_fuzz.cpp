// Any bytes as the data of a Run value and of the exefile open command (of any type, any
// length, terminated or not), and as the text of WIN.INI's run= line: the probe sees a link
// exactly where the data carries the marker, the removal takes every one of them, the
// look afterwards finds none left, and the harmless value beside them stays.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>

#include "clean/link_removal.h"
#include "detect/worm_links.h"
#include "platform/sim.h"

#define COMMAND_KEY "Software\\Classes\\exefile\\shell\\open\\command"
#define RUN_KEY "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run"
#define HARMLESS "C:\\PROGRA~1\\zapper.exe"

static void check(bool ok, const char *what)
{
    if (!ok) {
        fprintf(stderr, "%s\n", what);
        abort();
    }
}

// The marker test as the tool defines it: the text up to its first NUL, ASCII letters
// upper-cased, holds the needle.
static bool carries(const std::string &data, const char *needle)
{
    std::string text = data.substr(0, data.find('\0'));
    for (char &c : text)
        if (c >= 'a' && c <= 'z')
            c = (char)(c - 'a' + 'A');
    return text.find(needle) != std::string::npos;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size)
{
    if (size == 0)
        return 0;
    const DWORD types[] = {REG_SZ, REG_EXPAND_SZ, REG_BINARY, REG_DWORD, REG_MULTI_SZ, REG_NONE};
    const DWORD type = types[bytes[0] % (sizeof types / sizeof types[0])];
    const std::string data(reinterpret_cast<const char *>(bytes + 1), size - 1);

    sim::reset();
    sim::set_value(HKEY_LOCAL_MACHINE, COMMAND_KEY, NULL, type, data);
    sim::set_text(HKEY_LOCAL_MACHINE, RUN_KEY, "Another", HARMLESS);
    sim::set_value(HKEY_LOCAL_MACHINE, RUN_KEY, "Fuzzed", type, data);
    std::string line = data.substr(0, data.find_first_of("\r\n"));
    sim::write_file("C:\\WINDOWS\\WIN.INI", "[windows]\r\nrun=" + line + "\r\n");

    worm_link_mask found = probe_worm_links();
    check(((found & LINK_RUN) != 0) == carries(data, WORM_MARKER), "the Run value misjudged");
    check(((found & LINK_MACHINE_EXE_COMMAND) != 0) == carries(data, WORM_FILE_NAME),
          "the command misjudged");
    remove_worm_links();
    check((links_left() & (LINK_RUN | LINK_MACHINE_EXE_COMMAND | LINK_CLASSES_EXE_COMMAND |
                           LINK_WININI_RUN)) == 0,
          "a link left after the removal");
    check(sim::text_value(HKEY_LOCAL_MACHINE, RUN_KEY, "Another") == HARMLESS,
          "the harmless value changed");
    check(sim::open_keys() == 0, "a key left open");
    return 0;
}
