// The tool's one run, from the banner to the exit code.
#ifndef FRONTEND_REMOVAL_FLOW_H
#define FRONTEND_REMOVAL_FLOW_H

#define PATH_SIZE 260

// Results of a run, and the process exit codes.
#define RUN_FINISHED 0      // nothing found, or the worm removed
#define RUN_DECLINED 1      // N at the question (also the fatal stop's exit code)
#define RUN_LINKS_LEFT 2    // not every link could be removed
#define RUN_RESTART_NEEDED 3  // the file is in use: deletion at boot arranged or not, no restart
#define RUN_SCAN_FOUND 4      // a look-only run found something

// Written once per process, zero at start.
extern char system_dir[PATH_SIZE];
extern char worm_path[PATH_SIZE];

struct run_options;
// The switches of this run; all zero is the run at the keyboard.
extern run_options options;

// Finds the worm, asks, removes it, as options choose. Returns a RUN_ code; does not return
// when the system directory is missing, nor on a restart Windows accepted, nor at R.
int run_removal(void);

// What main does: the switches read (the usage for /? or a refused line), banner, shield
// state saved, the run, shield state given back, the closing prompt after a finished run, or
// at any ordinary end in a console of the tool's own. Returns the exit code.
int tool_main(int argc, char **argv);

#endif
