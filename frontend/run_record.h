// What a run found and did, recorded once: each finding listed on standard output for a
// look-only run, and the whole record appended to the log, step by step.
#ifndef FRONTEND_RUN_RECORD_H
#define FRONTEND_RUN_RECORD_H

#include "detect/worm_links.h"

struct run_record {
    bool list_findings;     // each finding goes to standard output too
    worm_link_mask found;   // links the first look saw
};

extern run_record record;

// Opens the log (path NULL: none) and writes the record's head: the tool, the date, the
// computer, its Windows, WoW64 and the arguments as given. A log that cannot be opened or
// written is said once on standard error, and the run goes on without it.
void log_start(const char *path, int argc, char **argv);

// The worm file found at path (as the tool sees it).
void record_worm_file(const char *path);
// Takes each link a look sees (a link_seen).
void record_link_seen(const worm_link &link, const char *detail, DWORD length, bool unreadable);
// Ends the findings: what the look found is out.
void record_look_done(void);
void record_answer(bool yes);
// Each link found, by what the look after the removal still saw (left).
void record_links(worm_link_mask left);
// The file step's outcome, as the log says it.
void record_file_step(const char *outcome);
// "requested" (Windows accepted the restart), "refused" or "not requested".
void record_restart(const char *outcome);
// The exit code, then the log is closed. Once per run.
void record_exit(int code);

// Forgets the record and the log, as at process start (for a second run inside one process).
void reset_run_record(void);

#endif
