// The tool's one run, from the banner to the exit code.
#ifndef FRONTEND_REMOVAL_FLOW_H
#define FRONTEND_REMOVAL_FLOW_H

#define PATH_SIZE 260

// Results of a run, and the process exit codes.
#define RUN_FINISHED 0      // nothing found, or the worm removed
#define RUN_DECLINED 1      // N at the question (also the fatal stop's exit code)
#define RUN_LINKS_LEFT 2    // not every link could be removed
#define RUN_RESTART_NEEDED 3  // the file is in use, but no key could be read to restart

// Written once per process, zero at start.
extern char system_dir[PATH_SIZE];
extern char worm_path[PATH_SIZE];

// Finds the worm, asks, removes it. Returns RUN_FINISHED, RUN_DECLINED or RUN_LINKS_LEFT;
// does not return when the system directory is missing, nor on the restart path.
int run_removal(void);

// What main does: banner, shield state saved, the run, shield state given back, the
// closing prompt after a finished run. Returns the exit code.
int tool_main(void);

#endif
