#include "frontend/removal_flow.h"

#include "clean/boot_delete.h"
#include "clean/boot_path.h"
#include "clean/link_removal.h"
#include "clean/restart.h"
#include "clean/worm_file.h"
#include "detect/worm_links.h"
#include "frontend/console.h"
#include "frontend/messages.h"
#include "platform/win.h"
#include "shield/shield.h"

#define FOUND_FILE 1
#define FOUND_LINKS 2
#define REMOVAL_PAUSE_SECONDS 10

char system_dir[PATH_SIZE];
char worm_path[PATH_SIZE];

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

// The file could not be deleted now: Windows deletes it at the next start, which the user
// starts with R; under WoW64 it is named where that start finds it, and where that name
// cannot be had nothing is arranged. The restart is asked for even when the deletion could
// not be arranged: the running worm stops and its links are gone, and the user is told to
// come back.
// Never returns.
[[noreturn]] static void restart_to_finish(void)
{
    char boot_path[BOOT_PATH_SIZE];
    const char *boot_name = path_seen_at_boot(worm_path, boot_path);
    if (boot_name == NULL || !schedule_delete_at_boot(boot_name, NULL))
        win_puts(MSG_NOT_SCHEDULED);
    win_puts(MSG_MUST_RESTART);
    win_puts(MSG_PRESS_R);
    for (;;) {
        int key = wait_for_key();
        if (key == 'R')
            break;
        // No restart without consent: the user is told to reboot, and the exit code says so.
        if (key == KEY_UNREADABLE) {
            win_puts(MSG_REBOOT_BY_HAND);
            win_exit(RUN_RESTART_NEEDED);
        }
    }
    restart_windows(EWX_REBOOT, 0);
    win_puts(MSG_REBOOT_BY_HAND);
    idle_forever();
}

int run_removal(void)
{
    // A length that does not fit says the buffer holds no directory.
    UINT length = GetSystemDirectoryA(system_dir, PATH_SIZE);
    if (length == 0 || length >= PATH_SIZE || system_dir[0] == '\0')
        fatal_exit(MSG_NO_SYSTEM_DIR);
    // A cut path would name another file: a directory that leaves no room for the file's
    // name is as good as none.
    if (snprintf(worm_path, PATH_SIZE, "%s\\%s", system_dir, WORM_FILE_NAME) >= PATH_SIZE) {
        worm_path[0] = '\0';
        fatal_exit(MSG_NO_SYSTEM_DIR);
    }
    // The user's pending renames come back first, should a run before have been cut off
    // in the middle of its WININIT.INI edit; the proof that files are that edit's own needs
    // the entry it made, which names the worm file (there is no WoW64 on the 9x family).
    restore_set_aside_wininit(worm_path, NULL);

    int found_parts = file_exists(worm_path) ? FOUND_FILE : 0;
    worm_link_mask probe_mask = probe_worm_links();
    if (probe_mask != 0)
        found_parts |= FOUND_LINKS;

    if (found_parts == 0) {
        win_puts(MSG_NOT_FOUND);
        return RUN_FINISHED;
    }
    win_puts(found_parts == (FOUND_FILE | FOUND_LINKS) ? MSG_FOUND : MSG_PARTS_FOUND);
    win_puts(MSG_CONTINUE);
    if (!user_agrees())
        return RUN_DECLINED;

    win_puts(MSG_REMOVING);
    pause_seconds(REMOVAL_PAUSE_SECONDS);

    if (found_parts & FOUND_LINKS)
        remove_worm_links();
    // What is left, looked at afresh, decides: a link that went during the pause is no
    // failure, one that the removal did not reach is one, and so is one that cannot be
    // read, also when the probe saw none.
    if (links_left() != 0) {
        win_puts(MSG_NO_RIGHTS);
        win_puts(MSG_LOGON_ADMIN);
        return RUN_LINKS_LEFT;
    }
    win_puts(MSG_LINKS_REMOVED);

    switch (remove_worm_file(worm_path)) {
    case WORM_FILE_DELETED:
        win_puts(MSG_WORM_REMOVED);
        return RUN_FINISHED;
    case WORM_FILE_ABSENT:
        win_puts(MSG_WORM_PARTLY_REMOVED);
        return RUN_FINISHED;
    case WORM_FILE_STILL_PRESENT:
        break;
    }
    restart_to_finish();
}

int tool_main(void)
{
    set_console_buffering();
    win_puts(MSG_BANNER);
    shield_save_state();
    int status = run_removal();
    shield_restore_state();
    if (status == RUN_FINISHED) {
        win_puts(MSG_PRESS_ANY_KEY);
        wait_for_key();
    }
    return status;
}
