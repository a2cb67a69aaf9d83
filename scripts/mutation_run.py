#!/usr/bin/env python3
# Usage: python3 scripts/mutation_run.py [--only N,M,...] [--timeout 60]
#        python3 scripts/mutation_run.py --check
#
# Plants small faults in the tool's code (frontend/ detect/ clean/ machine/ shield/), one at a time,
# in a copy of the tree under build/mutation/, rebuilds the host tests there and runs them.
# A mutant is killed when unit_tests fails, natively or under memcheck, or runs past the time
# limit. Slow (minutes): not part of the test command. --check only tells, in a moment,
# whether every mutant still matches the code (a CTest test runs it), so that the list cannot
# rot unseen.
import argparse
import os
import resource
import shutil
import signal
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
WORK = os.path.join(ROOT, "build", "mutation")
TREE = os.path.join(WORK, "src")
BUILD = os.path.join(WORK, "build")

# (file, original text, replacement, what the fault is). Each original occurs exactly once.
MUTANTS = [
    # frontend/console.cpp
    ("frontend/console.cpp", "        owed.repeats_left--;\n", "", "repeats never run out"),
    ("frontend/console.cpp", "key.wRepeatCount - 1u", "key.wRepeatCount", "one repeat code too many"),
    ("frontend/console.cpp", "code >= 'a' && code <= 'z'", "code >= 'a' && code < 'z'", "z not upper-cased"),
    ("frontend/console.cpp", "code >= 'a' && code <= 'z'", "code >= 'a' && code <= '{'", "{ upper-cased"),
    ("frontend/console.cpp", "code >= 'a' && code <= 'z'", "code > 'a' && code <= 'z'", "a not upper-cased"),
    ("frontend/console.cpp", "return vk < VK_SHIFT || vk > VK_MENU;", "return vk <= VK_SHIFT || vk > VK_MENU;",
     "Shift's neighbour below passed over"),
    ("frontend/console.cpp", "record.EventType != KEY_EVENT || !record.Event.KeyEvent.bKeyDown",
     "record.EventType != KEY_EVENT", "key releases answer"),
    ("frontend/console.cpp", "ch == 0 || (key.dwControlKeyState & ENHANCED_KEY) != 0", "ch == 0",
     "enhanced keys give their character"),
    ("frontend/console.cpp", "owed.scan_next = no_character ? owed.scan : -1;", "owed.scan_next = -1;",
     "no scan code after a key without a character"),
    ("frontend/console.cpp", "return ReadConsoleInputA(input, &record, 1, &count) && count == 1;",
     "return ReadConsoleInputA(input, &record, 1, &count);", "an empty read counted as a key dropped"),
    ("frontend/console.cpp", "owed.scan = key.wVirtualScanCode & 0xFF;", "owed.scan = key.wVirtualScanCode & 0x7F;",
     "scan codes cut to seven bits"),
    ("frontend/console.cpp", "    show_held_output();\n    // One handle", "    // One handle",
     "prompt not flushed before the wait"),
    ("frontend/console.cpp", "    show_held_output();\n    SleepEx(seconds", "    SleepEx(seconds",
     "text before the pause not flushed"),
    ("frontend/console.cpp", "    show_held_output();\n    for (;;)", "    for (;;)", "text before the idle not flushed"),
    ("frontend/console.cpp", "    fflush(win_stderr());\n", "", "standard error on a file or pipe held back at a wait"),
    ("frontend/console.cpp", "    while (console && key_pending(input) && discard_key(input)) {\n    }\n    if (console)",
     "    if (console)", "keys typed meanwhile kept"),
    ("frontend/console.cpp", "    if (have_mode)\n        SetConsoleMode(input, saved_mode);\n", "",
     "console mode not given back"),
    ("frontend/console.cpp", "    if (console)\n        CloseHandle(input);\n", "",
     "console handle of the wait left open"),
    ("frontend/console.cpp", "    fflush(win_stdout());\n    fprintf(win_stderr()", "    fprintf(win_stderr()",
     "fatal stop does not flush standard output"),
    ("frontend/console.cpp", "    win_exit(1);", "    win_exit(2);", "fatal stop's exit code"),
    # frontend/removal_flow.cpp
    ("frontend/removal_flow.cpp", "if (key == 'N' || key == KEY_UNREADABLE)", "if (key == 'N')",
     "no console no longer counts as N"),
    ("frontend/removal_flow.cpp", "if (length == 0 || length >= PATH_SIZE || system_dir[0] == '\\0')",
     "if (length >= PATH_SIZE || system_dir[0] == '\\0')", "failed system directory call not fatal"),
    ("frontend/removal_flow.cpp", "if (probe_mask != 0)", "if (probe_mask > 1)", "one link alone not found"),
    ("frontend/removal_flow.cpp", "found_parts == (FOUND_FILE | FOUND_LINKS) ? MSG_FOUND",
     "found_parts != (FOUND_FILE | FOUND_LINKS) ? MSG_FOUND", "found messages swapped"),
    ("frontend/removal_flow.cpp", "pause_seconds(REMOVAL_PAUSE_SECONDS);", "pause_seconds(1);", "pause too short"),
    ("frontend/removal_flow.cpp", "if (found_parts & FOUND_LINKS)\n        remove_worm_links();",
     "if (found_parts & FOUND_FILE)\n        remove_worm_links();", "links removed on the wrong condition"),
    ("frontend/removal_flow.cpp", "if (left != 0) {", "if (false && left != 0) {",
     "what is left never looked at"),
    ("frontend/removal_flow.cpp", "case WORM_FILE_ABSENT:\n        win_puts(MSG_WORM_PARTLY_REMOVED);",
     "case WORM_FILE_ABSENT:\n        win_puts(MSG_WORM_REMOVED);", "absent file called removed"),
    ("frontend/removal_flow.cpp", "    bool arranged = boot_name != NULL && schedule_delete_at_boot(boot_name, NULL);",
     "    bool arranged = boot_name == NULL || schedule_delete_at_boot(boot_name, NULL);", "no boot name taken as arranged"),
    ("frontend/removal_flow.cpp", "    if (!arranged)\n        win_puts(MSG_NOT_SCHEDULED);",
     "    if (arranged)\n        win_puts(MSG_NOT_SCHEDULED);", "scheduling result negated"),
    ("frontend/removal_flow.cpp", "win_exit(RUN_RESTART_NEEDED);", "win_exit(RUN_LINKS_LEFT);",
     "wrong exit code without a restart key"),
    ("frontend/removal_flow.cpp", "    shield_restore_state();\n", "", "shield state not given back"),
    ("frontend/removal_flow.cpp", "close_console(status, status == RUN_FINISHED)",
     "close_console(status, status != RUN_DECLINED)", "closing prompt after status 2"),
    ("frontend/removal_flow.cpp", "(finished || console_of_its_own())",
     "(finished)", "a console of the tool's own closes at once at 1 and 2"),
    ("frontend/removal_flow.cpp", "taken ? RUN_FINISHED : RUN_DECLINED, false", "taken ? RUN_FINISHED : RUN_DECLINED, true",
     "the usage waits for a key in a shared console"),
    ("frontend/removal_flow.cpp", "        restart_now(false);\n    } else", "        restart_now(true);\n    } else",
     "a refused restart under /silent /restart idles"),
    ("frontend/removal_flow.cpp", "record_restart(accepted ? \"requested\" : \"refused\");",
     "record_restart(\"requested\");", "a refused restart recorded as requested"),
    ("frontend/removal_flow.cpp", "(found_parts & FOUND_FILE) ? \"left\" : \"absent\"", "\"left\"",
     "no worm file recorded as left"),
    ("frontend/removal_flow.cpp", "    bool yes = (options.set & SET_SILENT) || user_agrees();",
     "    bool yes = user_agrees();", "a silent run waits for the answer"),
    ("frontend/removal_flow.cpp", "    if (scan)\n        return RUN_SCAN_FOUND;", "",
     "a look-only run asks and removes"),
    ("frontend/removal_flow.cpp", "probe_worm_links(record_link_seen, scan)", "probe_worm_links(record_link_seen, false)",
     "a look-only run passes over a link it cannot read"),
    ("frontend/console.cpp", "list(ids, 2) != 1", "list(ids, 2) == 0", "a shared console counts as the tool's own"),
    ("frontend/console.cpp", "return visible != NULL && visible(window()) != FALSE;", "return true;",
     "a console without a window in sight counts as the tool's own"),
    ("frontend/switches.cpp", "value == NULL || options->log_path != NULL", "value == NULL",
     "/log twice taken"),
    ("frontend/switches.cpp", "return taken && (!(set & SET_RESTART) || (set & SET_SILENT));", "return taken;",
     "/restart without /silent taken"),
    ("frontend/switches.cpp", " || find_switch(argv[*i + 1], &unused) != NULL", "",
     "/log takes the switch after it as its path"),
    ("frontend/switches.cpp", "        if (entry == NULL) {\n            taken = false;\n            continue;",
     "        if (entry == NULL) {\n            return false;", "a refused line's later switches unread"),
    ("frontend/switches.cpp", "if (*text != '\\0' && *text != '=')", "if (false)",
     "a longer word taken for a switch"),
    ("frontend/run_record.cpp", "c >= 0x20 && c < 0x7F && c != '\"'", "c >= 0x20 && c <= 0x7F && c != '\"'",
     "byte 0x7F printed raw"),
    ("frontend/run_record.cpp", "(left & link.bit) ? \"left\" : link.done", "link.done",
     "a link left is logged as removed"),
    # frontend/log_file.cpp
    ("frontend/log_file.cpp", "nt ? CREATE_NEW : OPEN_ALWAYS", "nt ? CREATE_NEW : CREATE_ALWAYS",
     "the log truncated on 9x"),
    ("frontend/log_file.cpp", "info.nNumberOfLinks == 1 && ", "", "a hard link appended to"),
    ("frontend/log_file.cpp", "(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)",
     "FILE_ATTRIBUTE_DIRECTORY", "a reparse point appended through"),
    ("frontend/log_file.cpp", " && found_at_path(file, path)", "",
     "a link that shows as a plain file appended through"),
    ("frontend/log_file.cpp", "        return absent;", "        return true;",
     "a failed lookup of GetFinalPathNameByHandleA taken as a Windows without it"),
    ("frontend/log_file.cpp", "*mid_line = last != '\\n';", "*mid_line = false;",
     "a record glued to a line cut off"),
    ("frontend/log_file.cpp", "        if (GetLastError() != ERROR_NEGATIVE_SEEK)\n            return false;\n", "",
     "a failed seek taken as an empty log"),
    ("frontend/run_record.cpp", "    if (log_file != NULL)\n        fclose(log_file);\n", "",
     "a failed log left open"),
    # the marker test
    ("detect/whole_values.cpp", "text[end] >= 'a' && text[end] <= 'z'", "text[end] >= 'a' && text[end] < 'z'",
     "marker: z not upper-cased"),
    ("detect/whole_values.cpp", "text[end] >= 'a' && text[end] <= 'z'", "text[end] >= 'a' && text[end] <= '{'",
     "marker: { upper-cased"),
    ("detect/whole_values.cpp", "start + needle_length <= end", "start + needle_length < end",
     "marker at the very end missed"),
    ("detect/whole_values.cpp", "while (end < length && text[end] != '\\0')", "while (end < length)",
     "marker searched past a NUL"),
    ("detect/worm_links.cpp", "    if (count > 0) {\n        marked = marker_found", "    if (count > 6) {\n        marked = marker_found",
     "short ini value never marked"),
    ("detect/worm_links.cpp", "    RegCloseKey(key);\n    return tell(true", "    return tell(true",
     "class key handle left open"),
    ("detect/worm_links.cpp", "        if (hit)\n            mask |= link.bit;", "        if (hit)\n            mask = link.bit;",
     "mask keeps one bit"),
    # the look after the removal
    ("detect/worm_links.cpp", "return result == ERROR_FILE_NOT_FOUND || result == ERROR_PATH_NOT_FOUND;",
     "return result == ERROR_FILE_NOT_FOUND;", "path not found counts as a link left"),
    ("detect/worm_links.cpp", "seen = tell(strict && walk.unreadable, link, NULL, 0, true) || seen;",
     "tell(strict && walk.unreadable, link, NULL, 0, true);", "unreadable value counts as gone"),
    ("detect/worm_links.cpp", "        if (tell_seen == NULL)\n            break;\n", "        break;\n",
     "only the first marked value of a key listed"),
    ("detect/worm_links.cpp", "seen = error != ERROR_SUCCESS && !absent((LONG)error);", "seen = false;",
     "unreadable ini entry counts as gone"),
    ("detect/worm_links.cpp", "                tell(true, link, NULL, 0, true);\n", "",
     "a 64-bit view counted but not listed when WoW64 cannot be told"),
    ("frontend/run_record.cpp", "    if (name == NULL)\n        name = path;\n", "    name = path;\n",
     "the worm file named as the 32-bit tool sees it under WoW64"),
    # detect/whole_values.cpp
    ("detect/whole_values.cpp", "if (*count + 1 < buffer->size)", "if (*count + 1 <= buffer->size)",
     "full ini buffer not grown"),
    ("detect/whole_values.cpp", "buffer->size >= INI_VALUE_LIMIT ||", "", "ini entry grown without a bound"),
    ("detect/worm_links.cpp", "seen = marked || !whole;", "seen = marked;", "ini entry not read whole counts as gone"),
    ("detect/whole_values.cpp", "walk->index--;", "walk->index -= 0;", "value after a deleted one passed over"),
    ("detect/whole_values.cpp", "if (++errors == VALUE_ERROR_LIMIT)", "if (++errors == 1)",
     "walk stops at the first unreadable value"),
    ("detect/whole_values.cpp", "        if (result != ERROR_MORE_DATA || attempt == GROW_ATTEMPTS || size <= buffer->size ||",
     "        if (result != ERROR_MORE_DATA || size <= buffer->size ||", "default value grows for ever"),
    # clean/key_tree.cpp
    ("clean/key_tree.cpp", "bool deleted = delete_tree_level(key, subkey, depth + 1) == 1;",
     "bool deleted = delete_tree_level(key, subkey, depth + 1) >= 0;", "undeletable subkey taken as deleted (9x)"),
    ("clean/key_tree.cpp", "return top_level && opened == ERROR_FILE_NOT_FOUND ? 1 : 0;", "return 0;",
     "vanished top key counts as refused"),
    ("clean/key_tree.cpp", "return top_level && opened == ERROR_FILE_NOT_FOUND ? 1 : 0;", "return top_level ? 1 : 0;",
     "class key refused at the open taken as gone (9x)"),
    ("clean/key_tree.cpp", "        return opened == ERROR_FILE_NOT_FOUND ? 1 : 0;", "        return 1;",
     "class key refused at the open taken as gone (NT)"),
    ("clean/key_tree.cpp", "RegOpenKeyExA(parent, name, REG_OPTION_OPEN_LINK, KEY_ALL_ACCESS, &key)",
     "RegOpenKeyExA(parent, name, 0, KEY_ALL_ACCESS, &key)", "links followed to their target"),
    ("clean/key_tree.cpp", "return nt_delete_key != NULL && nt_delete_key((HANDLE)link) == 0;",
     "return nt_delete_key != NULL;", "link deletion result ignored"),
    # clean/link_removal.cpp
    ("clean/link_removal.cpp", "if (type != REG_EXPAND_SZ)\n            type = REG_SZ;", "type = REG_SZ;",
     "expandable command loses its type"),
    ("clean/link_removal.cpp", "(DWORD)sizeof CLEAN_OPEN_COMMAND", "(DWORD)sizeof CLEAN_OPEN_COMMAND - 1",
     "command written without its terminator"),
    ("clean/link_removal.cpp", "return found && !refused;", "return found;", "refused deletion counts as done"),
    ("clean/link_removal.cpp", "if (link.probe_root != link.repair_root && repair_command_under",
     "if (false && repair_command_under", "class override never repaired"),
    ("clean/link_removal.cpp", "text, path) != 0;", "text, path) == 0;", "ini write result negated"),
    ("clean/link_removal.cpp", "} else if (whole && keep_unmarked_items", "} else if (keep_unmarked_items",
     "run= written from a part of it"),
    ("clean/link_removal.cpp", "if (!marker_found(marks + at, item, needle)) {", "if (true) {",
     "run= keeps its marked items"),
    ("clean/link_removal.cpp", "if (item == 0)\n            return 0;", "if (item == 0)\n            break;",
     "run= cut at an item of another quoting"),
    ("clean/link_removal.cpp", "kept > PROFILE_TEXT_LIMIT || ", "", "run= rest longer than a profile write keeps"),
    ("clean/link_removal.cpp", " || reads_back_otherwise(text, kept)", "", "run= rest read back without its quotes"),
    ("clean/link_removal.cpp", "while (end < length && !is_item_blank(text[end]) && text[end] != '\"')",
     "while (end < length && !is_item_blank(text[end]))", "quote inside a run= item passed over"),
    ("clean/link_removal.cpp", "return c == ' ' || c == '\\t';", "return c == ' ';", "a tab parts no run= items"),
    ("clean/link_removal.cpp", "        while (end < length && text[end] != '\"')\n",
     "        while (end < length && text[end] != '\"' && !is_item_blank(text[end]))\n", "a quoted run= item loses its blanks"),
    ("clean/link_removal.cpp", "    if (text[0] == '\"') {", "    if (text[0] == '\"' || text[0] == '\\'') {",
     "single quotes taken as quoting"),
    ("clean/link_removal.cpp", "(text[0] == '\"' || text[0] == '\\'') && text[length - 1]", "text[0] == '\"' && text[length - 1]",
     "a run= rest in single quotes written though a read drops them"),
    ("clean/link_removal.cpp", "return end == length || is_item_blank(text[end]) ? end : 0;", "return end;",
     "a run= item glued to a quote taken as it is"),
    ("clean/link_removal.cpp", "kept > PROFILE_TEXT_LIMIT ||", "kept >= PROFILE_TEXT_LIMIT ||",
     "a run= rest of exactly the profile limit emptied"),
    ("clean/link_removal.cpp", " || is_cut_off_by_read(text[length - 1])", "",
     "a run= rest written though a read cuts its end off"),
    ("clean/link_removal.cpp", "        if (marker_found(entry.text, count, link.needle))\n            text = link.clean_text;",
     "        if (whole && marker_found(entry.text, count, link.needle))\n            text = link.clean_text;",
     "shell= longer than the read limit not repaired"),
    # clean/worm_file.cpp
    ("clean/worm_file.cpp", " || error == ERROR_PATH_NOT_FOUND", "", "path not found no longer absent"),
    ("clean/worm_file.cpp", "SetFileAttributesA(path, FILE_ATTRIBUTE_ARCHIVE);",
     "SetFileAttributesA(path, FILE_ATTRIBUTE_READONLY);", "attributes set to read-only"),
    ("clean/worm_file.cpp", "return file_exists(path) && DeleteFileA(path);", "return DeleteFileA(path);",
     "deletion tried on an absent file"),
    # clean/boot_delete.cpp
    ("clean/boot_delete.cpp", "        if (DeleteFileA(names->old))\n            return true;",
     "        DeleteFileA(names->old);\n            return true;", "aside copy left behind"),
    ("clean/boot_delete.cpp", "if (!MoveFileA(names->ini, names->new_copy))\n            return true;",
     "if (MoveFileA(names->ini, names->new_copy))\n            return true;", "new file taken out on the wrong result"),
    ("clean/boot_delete.cpp", "if (in == NULL && file_exists(names.ini))", "if (in == NULL && !file_exists(names.ini))",
     "no WININIT.INI stops the edit"),
    ("clean/boot_delete.cpp", "if (header_matched == RENAME_HEADER_LENGTH)",
     "if (header_matched >= RENAME_HEADER_LENGTH - 1)", "header matched one letter short"),
    ("clean/boot_delete.cpp", "if (matched == 0 && (c == ' ' || c == '\\t'))", "if (matched == 0 && c == ' ')",
     "tab before the header not passed over"),
    ("clean/boot_delete.cpp", "if (!entry_written && !at_line_start && !emit_text(sink, LINE_END))",
     "if (!entry_written && !emit_text(sink, LINE_END))", "extra blank line before the new section"),
    ("clean/boot_delete.cpp", "if (platform == VER_PLATFORM_WIN32_NT)\n        return MoveFileExA",
     "if (platform != VER_PLATFORM_WIN32_NT)\n        return MoveFileExA", "families swapped at the boot deletion"),
    ("clean/boot_delete.cpp", "return platform == VER_PLATFORM_WIN32_WINDOWS && schedule_in_wininit",
     "return schedule_in_wininit", "WININIT.INI edited where the family is not known"),
    ("clean/boot_delete.cpp", "    SetFileAttributesA(names->ini, attributes);\n    return true;\n}", "    return true;\n}",
     "attributes of a put-back WININIT.INI lost"),
    ("clean/boot_delete.cpp", "    return fclose(out) == 0 && written;", "    fclose(out);\n    return written;",
     "a failed close of a written file not noticed"),
    ("clean/boot_delete.cpp", "    bool complete = copy_plain(in, &sink);\n    fclose(in);\n", "    bool complete = copy_plain(in, &sink);\n",
     "byte copy's input never closed"),
    # clean/restart.cpp
    ("clean/restart.cpp", "privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;",
     "privileges.Privileges[0].Attributes = 0;", "shutdown privilege not enabled"),
    ("clean/restart.cpp", "    CloseHandle(token);\n", "", "token left open"),
    ("clean/restart.cpp", "if (!is_nt_family())\n        return exit_windows", "if (is_nt_family())\n        return exit_windows",
     "privilege asked on the wrong family"),
    ("clean/restart.cpp", "? 0 : failure();", "? failure() : 0;", "restart result negated"),
    ("clean/restart.cpp", "error != 0 ? error : ERROR_GEN_FAILURE", "error",
     "a refusal that leaves no error taken as accepted"),
    # machine/windows_family.cpp
    ("machine/windows_family.cpp", "info.dwOSVersionInfoSize = 148;", "info.dwOSVersionInfoSize = 100;",
     "version structure too small"),
    # shield/shield.cpp
    ("shield/shield.cpp", "    if (!answered)\n        saved_shield_state = SHIELD_NO_STATE;\n", "",
     "state kept that the query did not answer"),
    ("shield/shield.cpp", "    if (saved_shield_state == SHIELD_NO_STATE)\n        return;\n", "",
     "no state still sent"),
    ("shield/shield.cpp", "HANDLE device = open_shield(CREATE_NEW);", "HANDLE device = open_shield(OPEN_ALWAYS);",
     "restore opens with the query's disposition"),
    ("shield/shield.cpp", "    CloseHandle(device);\n    if (!answered)", "    if (!answered)",
     "device left open after the query"),
    ("shield/shield.cpp", "&state, sizeof state, NULL", "&state, 2, NULL", "state sent cut to two bytes"),
    # clean/boot_path.cpp
    ("clean/boot_path.cpp", "same_in_any_case(path, dir, length) && path[length] == '\\\\' ? length : 0;",
     "same_in_any_case(path, dir, length) ? length : 0;",
     "a directory that only starts like the system directory taken for it"),
    ("clean/boot_path.cpp", "        if (x >= 'a' && x <= 'z')\n            x = (char)(x - ('a' - 'A'));\n", "",
     "worm path compared in its own letter case"),
    ("clean/boot_path.cpp", "        if (y >= 'a' && y <= 'z')\n            y = (char)(y - ('a' - 'A'));\n", "",
     "system directory compared in its own letter case"),
    ("clean/boot_path.cpp", "return length != 0 && length < BOOT_PATH_SIZE;", "return length < BOOT_PATH_SIZE;",
     "a failed SysWOW64 question taken as an empty directory"),
    ("clean/boot_path.cpp", "    if (rest == 0)\n        return path;\n", "",
     "a path outside the system directory moved to SysWOW64"),
    ("clean/boot_path.cpp", "case NO_64BIT_SIDE: return path;", "case NO_64BIT_SIDE: break;",
     "boot path moved on 32-bit Windows"),
    ("clean/boot_path.cpp", "case CANNOT_TELL_64BIT_SIDE: return NULL;", "case CANNOT_TELL_64BIT_SIDE: return path;",
     "a failed question falls back to the system32 name"),
    ("clean/boot_path.cpp", "if (length == 0 || length >= BOOT_PATH_SIZE)\n        return NULL;",
     "if (length == 0 || length >= BOOT_PATH_SIZE)\n        return path;",
     "a failed system directory question falls back to the system32 name"),
    # detect/wow64.cpp
    ("detect/wow64.cpp", "return wow64 ? HAS_64BIT_SIDE : NO_64BIT_SIDE;", "return HAS_64BIT_SIDE;",
     "a 32-bit machine taken as 64-bit"),
    ("detect/wow64.cpp", "process_machine != NATIVE_PROCESS ?", "process_machine == NATIVE_PROCESS ?",
     "IsWow64Process2 read backwards"),
    ("detect/wow64.cpp", "    if (!absent)\n        return cannot_tell();\n", "",
     "a failed lookup of IsWow64Process2 falls back to IsWow64Process, which ARM64 answers FALSE"),
    ("detect/wow64.cpp", "return absent ? NO_64BIT_SIDE : cannot_tell();", "return NO_64BIT_SIDE;",
     "a failed lookup of IsWow64Process taken as its absence"),
    ("detect/wow64.cpp", "*absent = call == NULL && GetLastError() == ERROR_PROC_NOT_FOUND;", "*absent = call == NULL;",
     "any failed lookup taken as a missing call"),
    ("detect/wow64.cpp", "    if (kernel32 == NULL)\n        return cannot_tell();", "    if (kernel32 == NULL)\n        return NO_64BIT_SIDE;",
     "KERNEL32 not named taken as no 64-bit side"),
    ("detect/wow64.cpp", "&native_machine))\n            return cannot_tell();", "&native_machine))\n            return NO_64BIT_SIDE;",
     "a failed IsWow64Process2 taken as no 64-bit side"),
    ("detect/wow64.cpp", "return windows_platform() == VER_PLATFORM_WIN32_WINDOWS ? NO_64BIT_SIDE : CANNOT_TELL_64BIT_SIDE;",
     "return CANNOT_TELL_64BIT_SIDE;", "a failed question on the 9x family cannot tell"),
    # the 64-bit views
    ("detect/worm_links.cpp", "if (*side < 0)", "if (*side <= 0)", "WoW64 asked at every view row"),
    ("detect/worm_links.cpp", "            if (found == NO_64BIT_SIDE)\n                continue;\n", "",
     "64-bit views looked at on a 32-bit machine"),
    ("detect/worm_links.cpp", "if (found == CANNOT_TELL_64BIT_SIDE && steps.strict) {", "if (false) {",
     "the final look passes over a view it cannot tell about"),
    ("detect/worm_links.cpp", "KEY_READ | link.view", "KEY_READ", "links read without their view"),
    ("detect/worm_links.cpp", "\"\\\\RunServices\", NULL, NULL, NULL, NULL, WORM_MARKER, KEY_WOW64_64KEY}",
     "\"\\\\RunServices\", NULL, NULL, NULL, NULL, WORM_MARKER, 0}", "64-bit RunServices never looked at"),
    ("detect/worm_links.cpp", "\"\\\\RunServices\", NULL, NULL, NULL, NULL, WORM_MARKER, KEY_WOW64_64KEY}",
     "\"\\\\RunServices\", NULL, NULL, NULL, NULL, WORM_MARKER, KEY_WOW64_32KEY}", "64-bit RunServices read in the 32-bit view"),
    ("detect/worm_links.cpp", "\"\\\\Run\", NULL, NULL, NULL, NULL, WORM_MARKER, KEY_WOW64_64KEY}",
     "\"\\\\Run\", NULL, NULL, NULL, NULL, WORM_MARKER, KEY_WOW64_32KEY}", "64-bit Run read in the 32-bit view"),
    ("clean/link_removal.cpp", "KEY_ALL_ACCESS | link.view", "KEY_ALL_ACCESS", "links removed without their view"),
    # the WININIT.INI edit and the worm path
    ("clean/boot_delete.cpp", "old_there && match_copy(names.new_copy, names.old, entry) == MATCH_WHOLE)",
     "old_there && match_copy(names.new_copy, names.old, entry) != MATCH_NONE)", "a front part of the copy beside no WININIT.INI taken as the pair"),
    ("clean/boot_delete.cpp", "    if (new_there && match_copy(names.new_copy, names.ini, entry) != MATCH_NONE)",
     "    if (new_there)", "any WININIT.NEW beside WININIT.INI deleted"),
    ("clean/boot_delete.cpp", "    if (old_there && match_copy(names.ini, names.old, entry) == MATCH_WHOLE) {",
     "    if (old_there && match_copy(names.ini, names.old, entry) != MATCH_NONE) {", "a WININIT.OLD deleted beside a cut copy of it"),
    ("clean/boot_delete.cpp", "        SetFileAttributesA(names.old, FILE_ATTRIBUTE_NORMAL);\n        DeleteFileA(names.old);\n    }\n    // The tool's",
     "        DeleteFileA(names.old);\n    }\n    // The tool's", "a read-only WININIT.OLD left after the second rename"),
    ("clean/boot_delete.cpp", "    if (tmp_there && match_copy(names.tmp, names.ini, NULL) != MATCH_NONE)",
     "    if (tmp_there)", "another program's WININIT.TMR deleted"),
    ("clean/boot_delete.cpp", "        if (memcmp(block, bytes, got) != 0)\n            sink->differs = true;\n", "",
     "a differing byte not seen by the proof"),
    ("clean/boot_delete.cpp", "        if (got < want)\n            sink->ended = true;\n", "",
     "a file that ends early taken as the whole copy"),
    ("clean/boot_delete.cpp", "        else if (sink.ended)\n            result = MATCH_FRONT_PART;", "        else if (sink.ended)\n            result = MATCH_WHOLE;",
     "a front part taken for the whole copy"),
    ("clean/boot_delete.cpp", "whole && fread(&byte, 1, 1, match) == 0 && !ferror(match)", "whole",
     "a file longer than the copy taken for it"),
    ("clean/boot_delete.cpp", "    if (memchr(block, '\\0', length) != NULL)\n        return false;\n", "",
     "a WININIT.INI with NUL bytes edited"),
    ("clean/boot_delete.cpp", "(length >= 3 && memcmp(block, \"\\xEF\\xBB\\xBF\", 3) == 0) ||", "false ||",
     "a WININIT.INI with a UTF-8 byte-order mark edited"),
    ("clean/boot_delete.cpp", "        size_t written = 0;", "        size_t written = 0;\n        header_matched = 0;",
     "a header across a block's end not seen"),
    ("clean/boot_delete.cpp", "        if (!known_absent(names->tmp))\n            return false;\n", "",
     "another program's WININIT.TMR written over"),
    ("clean/boot_delete.cpp", "if (!copy_bytes(names->old, names->tmp) || !MoveFileA(names->tmp, names->ini))",
     "if (!copy_bytes(names->old, names->ini))", "the copy back written under WININIT.INI's own name"),
    ("clean/boot_delete.cpp", "return length > 0 && length < WININIT_PATH_SIZE ? short_path : path;",
     "return length < WININIT_PATH_SIZE ? short_path : path;", "a failed short-path question taken as the name"),
    ("clean/boot_delete.cpp", "if (!known_absent(names.new_copy) || !entry_line(entry, path, new_name))", "if (!entry_line(entry, path, new_name))",
     "another program's WININIT.NEW written over"),
    ("clean/boot_delete.cpp", "return MoveFileA(names->new_copy, names->ini) || discard(names->new_copy);",
     "return MoveFileA(names->new_copy, names->ini) != FALSE;", "copy left behind when it cannot take the name"),
    ("clean/boot_delete.cpp", "    return MoveFileA(names->new_copy, names->ini) != FALSE;\n}", "    return false;\n}",
     "no copy in place when the aside file cannot come back"),
    ("clean/boot_delete.cpp", "        SetFileAttributesA(names->old, FILE_ATTRIBUTE_NORMAL);\n        DeleteFileA(names->old);\n    }",
     "        DeleteFileA(names->old);\n    }", "read-only aside file kept after its copy back"),
    ("clean/boot_delete.cpp", "return length > 0 && length < WININIT_PATH_SIZE;",
     "return length > 0 && length <= WININIT_PATH_SIZE;", "a 260-byte WININIT path taken cut"),
    ("clean/boot_delete.cpp", "if (attributes == INVALID_FILE_ATTRIBUTES || !MoveFileA(names->ini, names->old))",
     "if (!MoveFileA(names->ini, names->old))", "WININIT.INI set aside without its attributes known"),
    ("frontend/removal_flow.cpp", "WORM_FILE_NAME) >= PATH_SIZE) {", "WORM_FILE_NAME) > PATH_SIZE) {",
     "a worm path of 260 bytes taken cut"),
    ("frontend/removal_flow.cpp", "    restore_set_aside_wininit(worm_path, NULL);\n", "",
     "a WININIT.INI set aside by a cut run not put back"),
    ("frontend/removal_flow.cpp", "path_seen_at_boot(worm_path, boot_path)", "worm_path",
     "deletion at boot named outside SysWOW64"),
    ("clean/worm_file.cpp", "return error == ERROR_FILE_NOT_FOUND ||", "return true ||",
     "any failure to read attributes taken as absence"),
    # the exact names and the key tree's walk
    ("clean/key_tree.cpp", "           type == REG_LINK &&\n", "", "an ordinary value named SymbolicLinkValue makes a link"),
    ("clean/key_tree.cpp", "return ++bounds->deletions <= bounds->limit ? index : index + 1;", "return index;",
     "a subkey back at once holds the walk"),
    ("clean/key_tree.cpp", "attributes.attributes = NAME_CASE_INSENSITIVE | OPEN_LINK_ITSELF;",
     "attributes.attributes = NAME_CASE_INSENSITIVE;", "a link below the key followed to its target"),
    ("detect/exact_names.cpp", "                length == ansi_length && ", "                ",
     "a longer exact name taken for the ANSI one"),
    ("clean/link_removal.cpp", "counted.length = (WORD)exact_name_bytes(name);", "counted.length = (WORD)(exact_name_bytes(name) - 2);",
     "value deleted by its name less one character"),
    ("detect/exact_names.cpp", "attempt < NAME_READ_ATTEMPTS", "attempt < 1", "a name that grows between reads given up"),
    ("detect/exact_names.cpp", "return exact_name_bytes(name) <= LONGEST_NAME_BYTES &&", "return exact_name_bytes(name) < LONGEST_NAME_BYTES &&",
     "an exact name of the longest length refused"),
    ("detect/exact_names.cpp", "needed > NAME_OFFSET + LONGEST_NAME_BYTES", "needed >= NAME_OFFSET + LONGEST_NAME_BYTES",
     "no room made for an exact name of the longest length"),
    ("detect/whole_values.cpp", "longest_name > 0x10000)", "longest_name >= 0x3FFF)",
     "no room made for an ANSI name of the longest length"),
    ("detect/whole_values.cpp", "if (buffer->size >= INI_VALUE_LIMIT ||", "if (buffer->size * 2 >= INI_VALUE_LIMIT ||",
     "an ini entry's read stops one doubling short of the limit"),
    ("clean/key_tree.cpp", "return ++bounds->reads <= 2 * bounds->limit;", "return true;",
     "a key that keeps growing holds the walk"),
    ("clean/key_tree.cpp", "if (depth < KEY_TREE_DEPTH)", "if (depth <= KEY_TREE_DEPTH + 8)",
     "the exact walk goes deeper than Windows nests keys"),
    # three old faults, each staged through the simulated Windows
    ("detect/whole_values.cpp", "*length = size < buffer->size ? size : buffer->size;", "*length = buffer->size;",
     "the default value's length taken as the whole buffer"),
    ("detect/whole_values.cpp", "DWORD name_size = 2 * longest_name + 2;", "DWORD name_size = longest_name + 1;",
     "a value-name buffer sized in characters, not bytes"),
    ("clean/key_tree.cpp", "        DWORD length = KEY_NAME_SIZE;\n", "        DWORD length = KEY_NAME_SIZE - 1;\n",
     "the ANSI walk's subkey-name buffer one byte short"),
    # a Windows that does not say its family
    ("clean/key_tree.cpp", "    if (platform != VER_PLATFORM_WIN32_NT)\n        return 0;\n", "",
     "an unknown family's key walked the 9x way, through a link"),
    ("clean/link_removal.cpp", "    } else if (platform != VER_PLATFORM_WIN32_WINDOWS) {\n        return false;\n    }", "    }",
     "an unknown family's values deleted by their ANSI names"),
    # what got through the host tests before the sweep over every mode
    ("frontend/switches.cpp", "    fputs(USAGE_LAST \"\\n\", out);\n", "", "the usage loses its exit-code line"),
    ("frontend/run_record.cpp", "for (DWORD i = 0; i < length; i++) {", "for (DWORD i = 0; i < length && text[i] != '\\0'; i++) {",
     "a listed value name cut at a NUL"),
    ("frontend/run_record.cpp", "fputs(\" (64-bit view)\", out);", "fputs(\"\", out);", "\"(64-bit view)\" missing from a listed link"),
    ("frontend/run_record.cpp", "{\"no\", \"yes\", \"unknown\"}", "{\"no\", \"unknown\", \"unknown\"}",
     "wow64: unknown on a 64-bit machine"),
    ("frontend/run_record.cpp", "{\"no\", \"yes\", \"unknown\"}", "{\"no\", \"yes\", \"yes\"}",
     "wow64: yes where the question failed"),
    ("frontend/removal_flow.cpp", "fatal_exit(message, !(options.set & (SET_SCAN | SET_SILENT)));",
     "fatal_exit(message, !(options.set & SET_SCAN));", "a missing system directory under /silent waits for a key"),
    ("frontend/removal_flow.cpp", "    if (!(options.set & SET_SCAN))\n        restore_set_aside_wininit(worm_path, NULL);",
     "    restore_set_aside_wininit(worm_path, NULL);", "/scan tidies the leftovers of a cut-off WININIT.INI edit"),
    ("frontend/removal_flow.cpp", "if (!(options.set & (SET_SCAN | SET_SILENT)) && (finished",
     "if (!(options.set & SET_SILENT) && (finished", "/scan of a clean machine waits for a key at its end"),
    ("detect/worm_links.cpp", ": tell(steps.strict, link, NULL, 0, true);", ": steps.strict;",
     "/scan without a Windows directory names neither ini link it could not read"),
    ("detect/worm_links.cpp", "return tell(seen, link, path, 0, !marked);", "return tell(seen, link, path, 0, false);",
     "an ini entry too long to read whole listed as Found"),
    ("frontend/removal_flow.cpp", "worm_link_mask left = links_left();", "worm_link_mask left = probe_worm_links(record_link_seen, true);",
     "the look after the removal adds found: lines"),
    ("machine/windows_family.cpp", "GetVersionExA(&info) ? info.dwPlatformId : 0;", "GetVersionExA(&info) ? info.dwPlatformId : VER_PLATFORM_WIN32_NT;",
     "a Windows whose version call fails taken as NT"),
    ("machine/windows_family.cpp", "GetVersionExA(&info) ? info.dwPlatformId : 0;", "GetVersionExA(&info) ? info.dwPlatformId : VER_PLATFORM_WIN32_WINDOWS;",
     "a Windows whose version call fails taken as 9x"),
    ("clean/boot_delete.cpp", "    fclose(in);\n    return close_written(out, complete);", "    fclose(in);\n    fclose(out);\n    return complete;",
     "a failed close of the WININIT.TMR copy ignored"),
]


def stale(root, mutant):
    """Why a mutant no longer fits the code under root, or None when it does."""
    rel, original = mutant[0], mutant[1]
    path = os.path.join(root, rel)
    if not os.path.isfile(path):
        return f"{rel} does not exist"
    with open(path) as f:
        found = f.read().count(original)
    return None if found == 1 else f"its original text occurs {found} times in {rel}"


def check_list():
    bad = [(n, reason) for n, mutant in enumerate(MUTANTS, 1)
           if (reason := stale(ROOT, mutant)) is not None]
    for n, reason in bad:
        print(f"stale mutant {n} ({MUTANTS[n - 1][3]}): {reason}")
    print(f"{len(MUTANTS)} mutants, {len(MUTANTS) - len(bad)} match the code, {len(bad)} stale")
    return 1 if bad else 0


def limit_memory():
    # A mutant that spins records calls without end; it must not take the machine's memory.
    resource.setrlimit(resource.RLIMIT_AS, (4 << 30, 4 << 30))


def run(cmd, timeout=None, **kw):
    proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, start_new_session=True,
                            preexec_fn=limit_memory if timeout else None, **kw)
    try:
        out, _ = proc.communicate(timeout=timeout)
        return proc.returncode, out.decode(errors="replace")
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        proc.communicate()
        return None, ""


def copy_tree():
    # The working tree as it is, tests included, without builds or git's own files. A file
    # whose text changed gets a fresh time stamp: a copied old one could hide the change
    # behind an object built from a mutant of a run that stopped half way.
    listed = subprocess.run(["git", "ls-files", "-co", "--exclude-standard"], cwd=ROOT,
                            stdout=subprocess.PIPE, check=True).stdout.decode().splitlines()
    for rel in listed:
        source = os.path.join(ROOT, rel)
        if rel.startswith("build/") or not os.path.isfile(source):
            continue
        dest = os.path.join(TREE, rel)
        with open(source, "rb") as f:
            data = f.read()
        if os.path.isfile(dest):
            with open(dest, "rb") as f:
                if f.read() == data:
                    continue
        os.makedirs(os.path.dirname(dest), exist_ok=True)
        with open(dest, "wb") as f:
            f.write(data)
        shutil.copymode(source, dest)


def build():
    return run(["cmake", "--build", BUILD, "-j2", "--target", "unit_tests"])


def write(path, text):
    with open(path, "w") as f:
        f.write(text)
    # A fresh time stamp even within the same tick, so the build sees every change.
    now = time.time()
    os.utime(path, (now, now + 1))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--only", help="comma-separated mutant numbers (from 1)")
    parser.add_argument("--timeout", type=int, default=60)
    parser.add_argument("--check", action="store_true", help="only check that every mutant matches the code")
    args = parser.parse_args()
    if args.check:
        sys.exit(check_list())
    chosen = range(1, len(MUTANTS) + 1)
    if args.only:
        chosen = [int(n) for n in args.only.split(",")]

    copy_tree()
    rc, out = run(["cmake", "-S", TREE, "-B", BUILD, "-DCMAKE_BUILD_TYPE=RelWithDebInfo"])
    if rc != 0:
        sys.exit("configure failed:\n" + out)
    rc, out = build()
    if rc != 0:
        sys.exit("the unmutated tree does not build:\n" + out)
    tests = os.path.join(BUILD, "unit_tests")
    rc, out = run([tests, "--gtest_brief=1"], timeout=args.timeout)
    if rc != 0:
        sys.exit("the unmutated tree fails its tests:\n" + out)

    results = []
    try:
        run_mutants(chosen, tests, args.timeout, results)
    finally:
        # Leave the build with the unmutated code, also when stopped half way.
        build()
    report(results)


def run_mutants(chosen, tests, timeout, results):
    for n in chosen:
        rel, original, replacement, what = MUTANTS[n - 1]
        path = os.path.join(TREE, rel)
        reason = stale(TREE, MUTANTS[n - 1])
        if reason is not None:
            results.append((n, rel, what, "STALE", reason))
            print(f"{n:3} STALE      {rel}: {reason}", flush=True)
            continue
        with open(path) as f:
            text = f.read()
        write(path, text.replace(original, replacement))
        try:
            rc, out = build()
            if rc != 0:
                verdict, detail = "no compile", ""
            else:
                rc, out = run_tests(tests, timeout)
                if rc is None:
                    verdict, detail = "killed", "timeout"
                elif rc != 0:
                    failed = sorted({line.split("]", 1)[1].split(",")[0].split(" (")[0].strip()
                                     for line in out.splitlines() if line.startswith("[  FAILED  ]")
                                     and "listed below" not in line and "tests" not in line.split("]", 1)[1][:8]})
                    verdict, detail = "killed", " ".join(failed[:3]) + (" ..." if len(failed) > 3 else "")
                else:
                    verdict, detail = "SURVIVED", ""
        finally:
            write(path, text)
        results.append((n, rel, what, verdict, detail))
        print(f"{n:3} {verdict:10} {rel:28} {what}  {detail}", flush=True)


# The fault sweep takes most of a run's time: the quick tests go first, and the sweep runs only
# for a mutant that they do not kill. The test command also runs the tests under memcheck
# (valgrind.unit_tests), which alone sees a read of memory that no call wrote: the quick tests
# run under it last, for a mutant still alive. The verdict is the whole suite's either way.
SLOW_TESTS = "*FaultSweepTest.*:*ModeSweepTest.*:*ModePowerCutTest.*"
MEMCHECK = ["valgrind", "-q", "--error-exitcode=1"]


def run_tests(tests, timeout):
    rc, out = run([tests, "--gtest_brief=1", "--gtest_filter=-" + SLOW_TESTS], timeout=timeout)
    if rc == 0:
        # The sweeps stop at their first failure: the rest of them would not change the verdict.
        rc, out = run([tests, "--gtest_brief=1", "--gtest_break_on_failure", "--gtest_filter=" + SLOW_TESTS],
                      timeout=timeout)
    if rc == 0 and shutil.which(MEMCHECK[0]):
        rc, out = run(MEMCHECK + [tests, "--gtest_brief=1", "--gtest_filter=-" + SLOW_TESTS],
                      timeout=10 * timeout)
        if rc:
            # Every test passed, so memcheck is what failed: named as a failed test would be.
            out += "\n[  FAILED  ] memcheck\n"
    return rc, out


def report(results):
    killed = sum(1 for r in results if r[3] == "killed")
    survived = [r for r in results if r[3] == "SURVIVED"]
    compiled = killed + len(survived)
    print()
    print(f"{'#':>3} {'result':10} {'file':28} fault")
    for n, rel, what, verdict, _ in results:
        print(f"{n:3} {verdict:10} {rel:28} {what}")
    print()
    print(f"planted {len(results)}, compiled {compiled}, killed {killed}, survived {len(survived)}, "
          f"did not compile {sum(1 for r in results if r[3] == 'no compile')}, "
          f"stale {sum(1 for r in results if r[3] == 'STALE')}")
    if compiled:
        print(f"score: {killed}/{compiled} = {100.0 * killed / compiled:.1f}%")


if __name__ == "__main__":
    main()
