// Any bytes as WININIT.INI: the edit keeps every byte of the file, adds exactly one entry
// line after the first [rename] header line (or a new section at the end), and leaves no
// WININIT.NEW or WININIT.OLD behind; a file that is not ANSI text stays as it was. Then the
// next run's tidying, with files made from the input and from that copy: it acts exactly
// where the content proves a file the edit's own.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>

#include "clean/boot_delete.h"
#include "platform/sim.h"

#define WININIT_INI "C:\\WINDOWS\\WININIT.INI"
#define WORM "C:\\WINDOWS\\SYSTEM32\\FILES32.VXD"
#define ENTRY "NUL=" WORM "\r\n"
#define WININIT_NEW "C:\\WINDOWS\\WININIT.NEW"
#define WININIT_OLD "C:\\WINDOWS\\WININIT.OLD"

// A byte-order mark first, or a NUL byte anywhere.
static bool not_ansi(const std::string &text)
{
    return text.find('\0') != std::string::npos || text.rfind("\xEF\xBB\xBF", 0) == 0 ||
           text.rfind("\xFF\xFE", 0) == 0 || text.rfind("\xFE\xFF", 0) == 0;
}

static bool is_header_line(const std::string &line)
{
    size_t i = line.find_first_not_of(" \t");
    if (i == std::string::npos || line.size() - i < 8)
        return false;
    for (size_t k = 0; k < 8; k++) {
        char c = line[i + k];
        if (c >= 'a' && c <= 'z')
            c = (char)(c - 'a' + 'A');
        if (c != "[RENAME]"[k])
            return false;
    }
    return true;
}

// The file as the edit must leave it, worked out line by line.
static std::string expected(const std::string &old)
{
    size_t start = 0;
    while (start < old.size()) {
        size_t end = old.find('\n', start);
        std::string line = old.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (is_header_line(line)) {
            if (end == std::string::npos)
                return old + "\r\n" ENTRY;
            return old.substr(0, end + 1) + ENTRY + old.substr(end + 1);
        }
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    std::string tail = old.empty() || old.back() == '\n' ? "" : "\r\n";
    return old + tail + "[rename]\r\n" ENTRY;
}

static void check(bool ok, const char *what)
{
    if (!ok) {
        fprintf(stderr, "%s\n", what);
        abort();
    }
}

[[noreturn]] static void mismatch(const std::string &now, const std::string &want)
{
    size_t at = 0;
    while (at < now.size() && at < want.size() && now[at] == want[at])
        at++;
    fprintf(stderr, "WININIT.INI differs at byte %zu: %zu bytes, %zu expected\n", at, now.size(),
            want.size());
    abort();
}

// True when the file at path holds text, or is not there (text NULL).
static bool holds(const char *path, const std::string *text)
{
    std::string now;
    return sim::read_file(path, &now) ? text != NULL && now == *text : text == NULL;
}

// The next run's tidying on a machine with these files (NULL: not there).
static void tidy(const std::string *ini, const std::string *new_file, const std::string *old)
{
    sim::reset();
    sim::set_family(sim::FAMILY_9X);
    const char *paths[] = {WININIT_INI, WININIT_NEW, WININIT_OLD};
    const std::string *texts[] = {ini, new_file, old};
    for (int i = 0; i < 3; i++) {
        if (texts[i] != NULL)
            sim::write_file(paths[i], *texts[i]);
    }
    restore_set_aside_wininit(WORM, NULL);
    check(sim::open_files() == 0, "a stream left open by the tidying");
}

// old is the user's file, copy what the edit makes of it ("" when it makes none), other a
// file that may or may not be that copy or a front part of it.
static void check_tidying(const std::string &old, const std::string &copy, const std::string &other)
{
    bool whole = !copy.empty() && other == copy;
    bool front = !copy.empty() && copy.compare(0, other.size(), other) == 0;
    // Of a file that is not ANSI text the edit wrote at most the pieces before the one that
    // showed it: such a front part holds nothing but the file's bytes, and may go.
    bool may_go = copy.empty() && old.compare(0, other.size(), other) == 0;
    // What the edit makes where there is no WININIT.INI.
    bool front_of_bare = std::string("[rename]\r\n" ENTRY).compare(0, other.size(), other) == 0;
    tidy(NULL, &other, &old);
    check(whole ? holds(WININIT_INI, &old) && holds(WININIT_NEW, NULL) && holds(WININIT_OLD, NULL)
                : holds(WININIT_INI, NULL) && holds(WININIT_NEW, front_of_bare ? NULL : &other) &&
                      holds(WININIT_OLD, &old),
          "the set-aside pair");
    tidy(&old, &other, NULL);
    check(holds(WININIT_INI, &old) && (holds(WININIT_NEW, front ? NULL : &other) || may_go),
          "a WININIT.NEW beside WININIT.INI");
    tidy(&other, NULL, &old);
    check(holds(WININIT_INI, &other) && holds(WININIT_OLD, whole ? NULL : &old), "a WININIT.OLD beside WININIT.INI");
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    sim::reset();
    sim::set_family(sim::FAMILY_9X);
    const std::string old(reinterpret_cast<const char *>(data), size);
    sim::write_file(WININIT_INI, old);
    bool arranged = schedule_delete_at_boot(WORM, NULL);
    check(arranged != not_ansi(old), "arranged for a file that is not ANSI text, or not for one that is");
    std::string now;
    check(sim::read_file(WININIT_INI, &now), "WININIT.INI is gone");
    const std::string want = arranged ? expected(old) : old;
    if (now != want)
        mismatch(now, want);
    check(!sim::exists(WININIT_NEW) && !sim::exists(WININIT_OLD), "WININIT.NEW or WININIT.OLD left behind");
    check(sim::open_files() == 0, "a stream left open");

    // The copy, a front part of it cut where the input's size says, the same with one byte
    // changed, and the input itself, against the user's file.
    const std::string copy = arranged ? now : "";
    check_tidying(old, copy, copy);
    if (!copy.empty()) {
        std::string cut = copy.substr(0, size % copy.size());
        check_tidying(old, copy, cut);
        if (!cut.empty()) {
            cut[cut.size() / 2] ^= 0x20;
            check_tidying(old, copy, cut);
        }
    }
    check_tidying(old, copy, old);
    return 0;
}
