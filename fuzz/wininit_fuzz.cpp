// Any bytes as WININIT.INI: the edit keeps every byte of the file, adds exactly one entry
// line after the first [rename] header line (or a new section at the end), and leaves no
// WININIT.NEW or WININIT.OLD behind.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>

#include "clean/boot_delete.h"
#include "platform/sim.h"

#define WININIT_INI "C:\\WINDOWS\\WININIT.INI"
#define WORM "C:\\WINDOWS\\SYSTEM32\\FILES32.VXD"
#define ENTRY "NUL=" WORM "\r\n"

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

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    sim::reset();
    sim::set_family(sim::FAMILY_9X);
    const std::string old(reinterpret_cast<const char *>(data), size);
    sim::write_file(WININIT_INI, old);
    check(schedule_delete_at_boot(WORM, NULL), "the deletion was not arranged");
    std::string now;
    check(sim::read_file(WININIT_INI, &now), "WININIT.INI is gone");
    if (now != expected(old))
        mismatch(now, expected(old));
    check(!sim::exists("C:\\WINDOWS\\WININIT.NEW") && !sim::exists("C:\\WINDOWS\\WININIT.OLD"),
          "WININIT.NEW or WININIT.OLD left behind");
    check(sim::open_files() == 0, "a stream left open");
    return 0;
}
