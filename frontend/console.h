// Single-key prompts, the fatal stop and the waits of the run.
#ifndef FRONTEND_CONSOLE_H
#define FRONTEND_CONSOLE_H

// What the key read returns when the console input cannot be read at all.
#define KEY_UNREADABLE (-1)

// Discards keys typed before, waits for one key press on the console (not standard
// input) without echo, discards keys typed meanwhile, and returns its code upper-cased
// for a to z. A discarded key owes no codes. Keys without a character, or with the
// enhanced-key flag, give 0 and then their scan code; a repeat count of n gives the code n
// times. KEY_UNREADABLE when the console input cannot be read.
int wait_for_key(void);

// Writes the message to standard error and ends the process with status 1; with wait, after
// "Press eny key to exit . . ." and a key.
[[noreturn]] void fatal_exit(const char *message, bool wait = true);

// True when the console belongs to this process alone and has a window of its own, as when
// the exe was started from Explorer: the console closes with the process. False where
// Windows cannot tell (GetConsoleProcessList is missing before XP).
bool console_of_its_own(void);

// Forgets the codes the key read still owes, as at process start (for a second run of
// the flow inside one process).
void reset_key_reader(void);

// Makes standard output line-buffered when it is a console.
void set_console_buffering(void);

// Waits the given number of seconds, reading no keys.
void pause_seconds(unsigned seconds);

// Waits without end and without using the processor; only the machine going down ends it.
[[noreturn]] void idle_forever(void);

#endif
