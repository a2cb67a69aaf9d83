#include "frontend/run_record.h"

#include "clean/boot_path.h"
#include "detect/wow64.h"
#include "frontend/log_file.h"
#include "frontend/messages.h"

#define LOG_TOOL "Tavrel_Moss remover 0.09"
#define COMPUTER_NAME_SIZE 64

run_record record = {false, 0};

static FILE *log_file;
static const char *log_path;

// The log's lines end as Windows' text files do, whichever way it is read.
#define LOG_EOL "\r\n"

struct link_name {
    worm_link_mask bit;
    const char *name;
    const char *done;  // what the removal does to it
};

static const link_name LINK_NAMES[] = {
    {LINK_MACHINE_EXE_COMMAND, "exefile command", "repaired"},
    {LINK_RUNSERVICES, "RunServices", "removed"},
    {LINK_RUN, "Run", "removed"},
    {LINK_DL_CLASS, ".dl", "removed"},
    {LINK_CLASSES_EXE_COMMAND, "classes exefile command", "repaired"},
    {LINK_WININI_RUN, "WIN.INI run", "repaired"},
    {LINK_SYSINI_SHELL, "SYSTEM.INI shell", "repaired"},
};

// Said once; the run goes on without the log.
static void log_failed(void)
{
    fflush(win_stdout());
    fprintf(win_stderr(), "%s%s\n", MSG_LOG_FAILED, log_path);
    if (log_file != NULL)
        fclose(log_file);
    log_file = NULL;
}

// What was written so far goes out to the file: a run cut later still shows its steps.
static void log_step_done(void)
{
    if (log_file != NULL && (fflush(log_file) != 0 || ferror(log_file)))
        log_failed();
}

// One line "key: value".
static void log_line(const char *key, const char *value)
{
    if (log_file != NULL)
        fprintf(log_file, "%s: %s" LOG_EOL, key, value);
}

// A name as printable text: control bytes, bytes from 0x7F, quotes and backslashes as \xNN.
static void write_escaped(FILE *out, const char *text, DWORD length)
{
    for (DWORD i = 0; i < length; i++) {
        unsigned char c = (unsigned char)text[i];
        bool plain = c >= 0x20 && c < 0x7F && c != '"' && c != '\\';
        fprintf(out, plain ? "%c" : "\\x%02X", c);
    }
}

// One line on where a link is, between prefix and suffix.
static void write_place(FILE *out, const char *prefix, const worm_link &link, const char *detail,
                        DWORD length, const char *suffix)
{
    fputs(prefix, out);
    if (link.kind == LINK_KIND_INI) {
        fprintf(out, "%s [%s] %s=", detail != NULL ? detail : link.ini_file, link.ini_section,
                link.ini_key);
    } else {
        fprintf(out, "%s\\%s",
            link.probe_root == HKEY_CLASSES_ROOT ? "HKEY_CLASSES_ROOT" : "HKEY_LOCAL_MACHINE",
            link.key_path);
        if (link.kind == LINK_KIND_COMMAND)
            fputs(" (default)", out);
        if (link.kind == LINK_KIND_RUN_VALUES && detail != NULL) {
            fputs(" value \"", out);
            write_escaped(out, detail, length);
            fputs("\"", out);
        }
        if (link.view != 0)
            fputs(" (64-bit view)", out);
    }
    fputs(suffix, out);
}

void record_link_seen(const worm_link &link, const char *detail, DWORD length, bool unreadable)
{
    record.found |= link.bit;
    if (record.list_findings)
        write_place(win_stdout(), unreadable ? MSG_MAY_BE_AT : MSG_FOUND_AT, link, detail, length,
                    "\n");
    if (log_file != NULL)
        write_place(log_file, "found: ", link, detail, length,
                    unreadable ? " (cannot be read)" LOG_EOL : LOG_EOL);
}

void record_worm_file(const char *path)
{
    if (!record.list_findings && log_file == NULL)
        return;
    // Under WoW64 the tool's system directory is SysWOW64 in disguise: the file is named
    // where Windows keeps it, as the deletion at boot names it; where that cannot be had,
    // as the tool sees it.
    char kept_at[BOOT_PATH_SIZE];
    const char *name = path_seen_at_boot(path, kept_at);
    if (name == NULL)
        name = path;
    if (record.list_findings)
        fprintf(win_stdout(), "%sworm file %s\n", MSG_FOUND_AT, name);
    if (log_file != NULL)
        fprintf(log_file, "found: worm file %s" LOG_EOL, name);
}

void record_look_done(void)
{
    log_step_done();
}

void record_answer(bool yes)
{
    log_line("answer", yes ? "yes" : "no");
    log_step_done();
}

void record_links(worm_link_mask left)
{
    for (const link_name &link : LINK_NAMES)
        if (log_file != NULL && ((record.found | left) & link.bit))
            fprintf(log_file, "link: %s %s" LOG_EOL, link.name, (left & link.bit) ? "left" : link.done);
    log_step_done();
}

void record_file_step(const char *outcome)
{
    log_line("worm file", outcome);
    log_step_done();
}

void record_restart(const char *outcome)
{
    log_line("restart", outcome);
    log_step_done();
}

void record_exit(int code)
{
    if (log_file != NULL)
        fprintf(log_file, "exit: %d" LOG_EOL LOG_EOL, code);
    log_step_done();
    if (log_file != NULL && fclose(log_file) != 0) {
        log_file = NULL;
        log_failed();
    }
    log_file = NULL;
}

void reset_run_record(void)
{
    record = run_record{false, 0};
    log_file = NULL;
}

// Where the log's file is open: the Windows version, "major.minor.build NT" or "... 9x".
static void log_windows(void)
{
    OSVERSIONINFOA version;
    version.dwOSVersionInfoSize = sizeof version;
    if (!GetVersionExA(&version)) {
        log_line("windows", "unknown");
        return;
    }
    bool nt = version.dwPlatformId == VER_PLATFORM_WIN32_NT;
    // The 9x family keeps its version in the build number's high word.
    fprintf(log_file, "windows: %lu.%lu.%lu %s" LOG_EOL, (unsigned long)version.dwMajorVersion,
            (unsigned long)version.dwMinorVersion,
            (unsigned long)(nt ? version.dwBuildNumber : version.dwBuildNumber & 0xFFFF),
            nt ? "NT" : "9x");
}

void log_start(const char *path, int argc, char **argv)
{
    if (path == NULL)
        return;
    log_path = path;
    bool mid_line = false;
    log_file = open_log(path, &mid_line);
    if (log_file == NULL) {
        log_failed();
        return;
    }
    SYSTEMTIME now;
    GetLocalTime(&now);
    char computer[COMPUTER_NAME_SIZE];
    DWORD size = sizeof computer;
    bool named = GetComputerNameA(computer, &size) != FALSE;
    // A record starts on a line of its own, also after a run cut off mid-line.
    fprintf(log_file,
            "%srun: " LOG_TOOL LOG_EOL "date: %04u-%02u-%02u %02u:%02u:%02u" LOG_EOL
            "computer: %s" LOG_EOL,
            mid_line ? LOG_EOL : "",
            now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond,
            named ? computer : "unknown");
    log_windows();
    static const char *const SIDES[] = {"no", "yes", "unknown"};
    log_line("wow64", SIDES[find_64bit_side()]);
    fputs("switches:", log_file);
    for (int i = 1; i < argc; i++)
        fprintf(log_file, " %s", argv[i]);
    fputs(argc > 1 ? LOG_EOL : " none" LOG_EOL, log_file);
    log_step_done();
}
