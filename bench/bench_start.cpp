// The tool's start, step by step: the tool's own code and manifest run as the exe runs them
// (tool_main, no switches), and each step that tool_main and run_removal call in another file
// reaches it through a wrapper here (the link's --wrap) that notes the time around it. After
// the run, prints one line per point in time, "LABEL TICKS": the system time in 100 ns units,
// the clock Wine takes from the host's, and LABEL names what happened since the point before
// (the first: the process's start up to main). Built without link-time optimisation, which
// --wrap needs; the calls to Windows are the exe's.
#include "frontend/removal_flow.h"
#include "platform/win.h"
#include "shield/shield.h"
#include "detect/worm_links.h"

#define MAX_POINTS 16

struct time_point {
    const char *label;
    ULONGLONG ticks;
};

static time_point points[MAX_POINTS];
static int point_count;
static int depth;  // steps under way: a step called by another is part of it

static void note(const char *label)
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    if (label != NULL && point_count < MAX_POINTS)
        points[point_count++] = {label, ((ULONGLONG)now.dwHighDateTime << 32) | now.dwLowDateTime};
}

// One step's span: before names what the caller did since the step before (NULL: too little
// to tell apart, counted in the step), own names the step. Only its first call counts.
struct step_timer {
    bool counted;
    const char *own;
    step_timer(bool *called, const char *before, const char *own_label)
        : counted(depth == 0 && !*called), own(own_label)
    {
        *called = true;
        depth++;
        if (counted)
            note(before);
    }
    ~step_timer()
    {
        depth--;
        if (counted)
            note(own);
    }
};

// The step's own function under the name the link gives it (__real_ and its symbol), and the
// wrapper that the tool's calls reach instead. A signature that changes fails the link.
#define TIMED_STEP(type, name, symbol, params, args, before, own)                          \
    type real_##name params __asm__("___real_" #symbol);                                \
    extern "C" type __wrap_##symbol params                                              \
    {                                                                                   \
        static bool called;                                                             \
        step_timer timer(&called, before, own);                                         \
        return real_##name args;                                                        \
    }

TIMED_STEP(void, set_console_buffering, _Z21set_console_bufferingv, (void), (), "switches",
           "console buffering")
TIMED_STEP(void, log_start, _Z9log_startPKciPPc, (const char *path, int argc, char **argv),
           (path, argc, argv), "banner", "log start (no log)")
TIMED_STEP(void, shield_save_state, _Z17shield_save_statev, (void), (), NULL, "shield's state")
TIMED_STEP(void, restore_set_aside_wininit, _Z25restore_set_aside_wininitPKcS0_,
           (const char *path, const char *new_name), (path, new_name), "system directory",
           "set-aside WININIT.INI renames")
TIMED_STEP(bool, file_exists, _Z11file_existsPKc, (const char *path), (path), NULL,
           "worm file test")
TIMED_STEP(worm_link_mask, probe_worm_links, _Z16probe_worm_linksPFvRK9worm_linkPKcmbEb,
           (link_seen tell, bool strict), (tell, strict), NULL, "probe of the links")
TIMED_STEP(int, wait_for_key, _Z12wait_for_keyv, (void), (), "what was found and the question",
           "the question out and its wait")

int main(int argc, char **argv)
{
    note("to main");
    int status = tool_main(argc, argv);
    note("the answer to the end of main");
    fflush(stdout);
    for (int i = 0; i < point_count; i++)
        fprintf(stderr, "%s %I64u\n", points[i].label, points[i].ticks);
    return status;
}
