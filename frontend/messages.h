// Every text the tool shows, exactly as the user sees it.
#ifndef FRONTEND_MESSAGES_H
#define FRONTEND_MESSAGES_H

#define MSG_BANNER "Tavrel_Moss remover, vers. 0.09  (c) 2026 The Moss Cleanup Team. All rights reserved."
#define MSG_NO_SYSTEM_DIR "Cannot find system directory"
#define MSG_FATAL_PROMPT "Press eny key to exit . . ."
#define MSG_NOT_FOUND "Worm Tavrel_Moss not found on this computer.\nExiting..."
#define MSG_PARTS_FOUND "Only parts of worm Tavrel_Moss found."
#define MSG_FOUND "worm Tavrel_Moss found."
#define MSG_CONTINUE "Continue with removing(Y/N)?"
#define MSG_REMOVING "Removing..."
#define MSG_NO_RIGHTS "There are not enough rights to remove virus links from registry."
#define MSG_LOGON_ADMIN "Logon as Administrator and try AGAIN!"
#define MSG_LINKS_REMOVED "Registry/.ini links successfully removed."
#define MSG_WORM_REMOVED "Worm Tavrel_Moss successfully removed."
#define MSG_WORM_PARTLY_REMOVED "Worm Tavrel_Moss partialy removed."
#define MSG_NOT_SCHEDULED "The worm file could not be set for deletion: run this tool again after the restart."
#define MSG_MUST_RESTART "YOU MUST RESTART WINDOWS NOW to finish clean process"
#define MSG_PRESS_R "Press 'R' to restart Windows..."
#define MSG_REBOOT_BY_HAND "If system does not restart automatically,\nREBOOT COMPUTER TO FINISH CLEAN PROCESS!\n"
#define MSG_PRESS_ANY_KEY "Press any key to exit . . ."
// Before each thing a look-only run finds.
#define MSG_FOUND_AT "Found: "
#define MSG_MAY_BE_AT "May be there (cannot be read): "
#define MSG_LOG_FAILED "Cannot write the log: "

#endif
