// Any bytes as the data of a Run value and of the exefile open command (of any type, any
// length, terminated or not), and as the text of WIN.INI's run= line: the probe sees a link
// exactly where the data carries the marker, the removal takes every one of them, the
// look afterwards finds none left, and the harmless value beside them stays. run= keeps
// exactly its unmarked items in their order, or is emptied where they cannot be kept as
// they are.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "clean/link_removal.h"
#include "detect/worm_links.h"
#include "platform/sim.h"

#define COMMAND_KEY "Software\\Classes\\exefile\\shell\\open\\command"
#define RUN_KEY "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run"
#define HARMLESS "C:\\PROGRA~1\\zapper.exe"
#define WIN_INI "C:\\WINDOWS\\WIN.INI"
#define SCRATCH_INI "C:\\WINDOWS\\SCRATCH.INI"

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

// An entry as Windows reads it through the profile calls.
static std::string read_entry(const char *section, const char *key, const char *path)
{
    static char text[8192];
    return std::string(text, GetPrivateProfileStringA(section, key, NULL, text, sizeof text, path));
}

// The items of run= on their own terms: blanks part them, nothing else does; an item that
// opens with a double quote ends just after the next one, blanks and all. False when the
// quotes have another shape: a quote inside an item, one never closed, or an item that
// goes on after its closing quote.
static bool split_items(const std::string &entry, std::vector<std::string> *items)
{
    items->clear();
    std::string item;
    bool quoted = false;
    bool closed = false;
    for (char c : entry + ' ') {
        if (quoted) {
            item += c;
            quoted = c != '"';
            closed = !quoted;
        } else if (c == ' ' || c == '\t') {
            if (!item.empty())
                items->push_back(item);
            item.clear();
            closed = false;
        } else if (closed || (c == '"' && !item.empty())) {
            return false;
        } else {
            item += c;
            quoted = c == '"';
        }
    }
    return !quoted;
}

// The unmarked items of run= as read before, in their order; false where the entry may be
// emptied instead: quotes of another shape, or a rest that a profile write would not keep
// whole or a read would give back otherwise.
static bool expected_items(const std::string &before, std::vector<std::string> *kept)
{
    std::vector<std::string> items;
    if (!split_items(before, &items))
        return false;
    std::string rest;
    for (const std::string &item : items) {
        if (!carries(item, WORM_MARKER)) {
            rest += (kept->empty() ? "" : " ") + item;
            kept->push_back(item);
        }
    }
    WritePrivateProfileStringA("s", "k", rest.c_str(), SCRATCH_INI);
    return rest.size() <= 32766 && read_entry("s", "k", SCRATCH_INI) == rest;
}

static void check_run_entry(const std::string &before, const std::string &after)
{
    std::vector<std::string> kept, items;
    if (!carries(before, WORM_MARKER))
        check(after == before, "an unmarked run= changed");
    else if (!expected_items(before, &kept))
        check(after.empty(), "run= not emptied where its items cannot be kept");
    else
        check(split_items(after, &items) && items == kept, "run= does not keep exactly its unmarked items");
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
    // A line of text ends at a line break, and holds no NUL.
    std::string line = data.substr(0, data.find_first_of(std::string("\r\n\0", 3)));
    sim::write_file(WIN_INI, "[windows]\r\nrun=" + line + "\r\n");
    const std::string before = read_entry("windows", "run", WIN_INI);

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
    check_run_entry(before, read_entry("windows", "run", WIN_INI));
    return 0;
}
