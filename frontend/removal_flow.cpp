#include "frontend/removal_flow.h"

#include "clean/boot_delete.h"
#include "clean/boot_path.h"
#include "clean/link_removal.h"
#include "clean/restart.h"
#include "clean/worm_file.h"
#include "detect/worm_links.h"
#include "frontend/console.h"
#include "frontend/messages.h"
#include "frontend/run_record.h"
#include "frontend/switches.h"
#include "platform/win.h"
#include "shield/shield.h"

#define FOUND_FILE 1
#define FOUND_LINKS 2
#define REMOVAL_PAUSE_SECONDS 10

char system_dir[PATH_SIZE];
char worm_path[PATH_SIZE];
run_options options;

// Y goes on, N declines; every other key is ignored. Without any console input nothing is
// changed without consent: that counts as N.
static bool user_agrees(void)
{
    for (;;) {
        int key = wait_for_key();
        if (key == 'Y')
            return true;
        if (key == 'N' || key == KEY_UNREADABLE)
            return false;
    }
}

// The run stops here: the message, and in a run that waits for keys the key.
[[noreturn]] static void fatal_stop(const char *message)
{
    record_exit(RUN_DECLINED);
    fatal_exit(message, !(options.set & (SET_SCAN | SET_SILENT)));
}

// Asks Windows to restart, and records its answer. Accepted: the record is complete and out
// before the reboot message and the wait for the machine to go down. Refused at R, the same
// message and wait follow, as the user was told to reboot; refused elsewhere, it returns.
static void restart_now(bool wait_when_refused)
{
    bool accepted = restart_windows(EWX_REBOOT, 0) == 0;
    record_restart(accepted ? "requested" : "refused");
    if (!accepted && !wait_when_refused)
        return;
    record_exit(RUN_RESTART_NEEDED);
    win_puts(MSG_REBOOT_BY_HAND);
    idle_forever();
}

// The file could not be deleted now: Windows deletes it at the next start, which the user
// starts with R; under WoW64 it is named where that start finds it, and where that name
// cannot be had nothing is arranged. The restart is asked
// for even when the deletion could not be arranged: the running worm stops and its links
// are gone, and the user is told to come back. A silent run restarts only when told to, and
// returns RUN_RESTART_NEEDED when it does not or Windows refuses: a script must not hang on
// a wait that no restart ends. Does not return on the restart, nor at R.
static int restart_to_finish(void)
{
    char boot_path[BOOT_PATH_SIZE];
    const char *boot_name = path_seen_at_boot(worm_path, boot_path);
    bool arranged = boot_name != NULL && schedule_delete_at_boot(boot_name, NULL);
    if (!arranged)
        win_puts(MSG_NOT_SCHEDULED);
    record_file_step(arranged ? "set for deletion at boot" : "could not be set for deletion");
    win_puts(MSG_MUST_RESTART);
    if (options.set & SET_RESTART) {
        restart_now(false);
    } else if (!(options.set & SET_SILENT)) {
        win_puts(MSG_PRESS_R);
        // No restart without consent: the user is told to reboot, and the exit code says so.
        for (int key = 0; key != KEY_UNREADABLE;) {
            key = wait_for_key();
            if (key == 'R')
                restart_now(true);
        }
    }
    win_puts(MSG_REBOOT_BY_HAND);
    if (!(options.set & SET_RESTART))
        record_restart("not requested");
    if (!(options.set & SET_SILENT)) {
        record_exit(RUN_RESTART_NEEDED);
        win_exit(RUN_RESTART_NEEDED);
    }
    return RUN_RESTART_NEEDED;
}

int run_removal(void)
{
    // A length that does not fit says the buffer holds no directory.
    UINT length = GetSystemDirectoryA(system_dir, PATH_SIZE);
    if (length == 0 || length >= PATH_SIZE || system_dir[0] == '\0')
        fatal_stop(MSG_NO_SYSTEM_DIR);
    // A cut path would name another file: a directory that leaves no room for the file's
    // name is as good as none.
    if (snprintf(worm_path, PATH_SIZE, "%s\\%s", system_dir, WORM_FILE_NAME) >= PATH_SIZE) {
        worm_path[0] = '\0';
        fatal_stop(MSG_NO_SYSTEM_DIR);
    }
    // The user's pending renames come back first, should a run before have been cut off
    // in the middle of its WININIT.INI edit; the proof that files are that edit's own needs
    // the entry it made, which names the worm file (there is no WoW64 on the 9x family).
    // A look-only run leaves them as they are.
    if (!(options.set & SET_SCAN))
        restore_set_aside_wininit(worm_path, NULL);

    bool scan = (options.set & SET_SCAN) != 0;
    int found_parts = 0;
    if (file_exists(worm_path)) {
        found_parts = FOUND_FILE;
        record_worm_file(worm_path);
    }
    // A look-only run cannot look again after a removal: a link it cannot read may be there.
    worm_link_mask probe_mask = probe_worm_links(record_link_seen, scan);
    if (probe_mask != 0)
        found_parts |= FOUND_LINKS;
    record_look_done();

    if (found_parts == 0) {
        win_puts(MSG_NOT_FOUND);
        return RUN_FINISHED;
    }
    win_puts(found_parts == (FOUND_FILE | FOUND_LINKS) ? MSG_FOUND : MSG_PARTS_FOUND);
    if (scan)
        return RUN_SCAN_FOUND;
    win_puts(MSG_CONTINUE);
    bool yes = (options.set & SET_SILENT) || user_agrees();
    record_answer(yes);
    if (!yes)
        return RUN_DECLINED;

    win_puts(MSG_REMOVING);
    pause_seconds(REMOVAL_PAUSE_SECONDS);

    if (found_parts & FOUND_LINKS)
        remove_worm_links();
    // What is left, looked at afresh, decides: a link that went during the pause is no
    // failure, one that the removal did not reach is one, and so is one that cannot be
    // read, also when the probe saw none.
    worm_link_mask left = links_left();
    record_links(left);
    if (left != 0) {
        win_puts(MSG_NO_RIGHTS);
        win_puts(MSG_LOGON_ADMIN);
        // The file step is not taken: the file stays, if the look found one.
        record_file_step((found_parts & FOUND_FILE) ? "left" : "absent");
        return RUN_LINKS_LEFT;
    }
    win_puts(MSG_LINKS_REMOVED);

    switch (remove_worm_file(worm_path)) {
    case WORM_FILE_DELETED:
        win_puts(MSG_WORM_REMOVED);
        record_file_step("deleted");
        return RUN_FINISHED;
    case WORM_FILE_ABSENT:
        win_puts(MSG_WORM_PARTLY_REMOVED);
        record_file_step("absent");
        return RUN_FINISHED;
    case WORM_FILE_STILL_PRESENT:
        break;
    }
    return restart_to_finish();
}

// A console of the tool's own closes with it: its last words stay until a key, at every
// ordinary end; elsewhere only a run that finished (anywhere) waits. A command line that
// names /scan or /silent, taken or refused, never waits.
static int close_console(int status, bool finished)
{
    if (!(options.set & (SET_SCAN | SET_SILENT)) && (finished || console_of_its_own())) {
        win_puts(MSG_PRESS_ANY_KEY);
        wait_for_key();
    }
    return status;
}

int tool_main(int argc, char **argv)
{
    bool taken = parse_switches(argc, argv, &options);
    if (!taken || (options.set & SET_HELP)) {
        print_usage(taken ? win_stdout() : win_stderr());
        return close_console(taken ? RUN_FINISHED : RUN_DECLINED, false);
    }
    record.list_findings = (options.set & SET_SCAN) != 0;
    set_console_buffering();
    win_puts(MSG_BANNER);
    log_start(options.log_path, argc, argv);
    shield_save_state();
    int status = run_removal();
    shield_restore_state();
    if (status != RUN_RESTART_NEEDED)
        record_restart("not requested");
    record_exit(status);
    if (status > RUN_LINKS_LEFT)
        return status;
    return close_console(status, status == RUN_FINISHED);
}
