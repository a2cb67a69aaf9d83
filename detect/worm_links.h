// The worm's links: the places from which it starts or marks itself, as one table that
// the probe and the removal both walk, and the read-only probe.
#ifndef DETECT_WORM_LINKS_H
#define DETECT_WORM_LINKS_H

#include <stddef.h>

#include "detect/whole_values.h"
#include "platform/win.h"

// One bit per link; all other bits are always 0.
typedef DWORD worm_link_mask;

#define LINK_MACHINE_EXE_COMMAND 0x1u
#define LINK_RUNSERVICES 0x2u
#define LINK_RUN 0x4u
#define LINK_DL_CLASS 0x8u
#define LINK_CLASSES_EXE_COMMAND 0x10u
#define LINK_WININI_RUN 0x100u
#define LINK_SYSINI_SHELL 0x200u

#define WORM_MARKER "TAVREL"
#define WORM_FILE_NAME "FILES32.VXD"
// The exefile open command as Windows ships it.
#define CLEAN_OPEN_COMMAND "\"%1\" %*"

#define INI_PATH_SIZE 512
#define WINDOWS_DIR_SIZE 512

enum link_kind {
    LINK_KIND_COMMAND,     // a key's default value naming the worm file
    LINK_KIND_RUN_VALUES,  // any value of a key whose data carries the marker
    LINK_KIND_CLASS_KEY,   // a key that counts by existing
    LINK_KIND_INI,         // an ini entry carrying the marker
};

struct worm_link {
    worm_link_mask bit;
    link_kind kind;
    HKEY probe_root;      // where the probe looks
    HKEY repair_root;     // where the removal repairs (differs for the class command)
    const char *key_path;
    const char *ini_file;
    const char *ini_section;
    const char *ini_key;
    const char *clean_text;  // what an infected ini entry becomes; NULL: its unmarked items
    const char *needle;      // upper-case text that marks the link
    // KEY_WOW64_64KEY: the 64-bit view of a key that WoW64 gives a 32-bit view of its own,
    // looked at only under WoW64; 0: the key as the tool sees it by default.
    REGSAM view;
};

// In probe order; the removal walks it in the same order. Under WoW64 a redirected key's
// two views are one link: its rows share the bit.
extern const worm_link WORM_LINKS[];
extern const size_t WORM_LINK_COUNT;

// What one walk over the table does with each kind of link; true sets the link's bit.
// ini gets the full path of the link's file. Each step is handed strict.
struct link_steps {
    bool (*command)(const worm_link &link, bool strict);
    bool (*run_values)(const worm_link &link, bool strict);
    bool (*class_key)(const worm_link &link, bool strict);
    bool (*ini)(const worm_link &link, const char *path, bool strict);
    // A link that cannot be read counts as there, and so does an ini link whose file
    // cannot be named (no Windows directory).
    bool strict;
};

// Walks the table in order and returns the mask of the links whose step said true for one
// of their rows. The Windows directory is asked for once, at the first ini link; when it
// cannot be had, or a path would not fit, the ini links are not looked at. Whether the tool
// runs under WoW64 is asked once, at the first row of a 64-bit view; without WoW64 such rows
// are passed over. When that cannot be told, a strict walk counts their links as there and
// the others step through them.
worm_link_mask walk_worm_links(const link_steps &steps);

// Hands on each link a look sees: detail is the marked value's name for a Run row
// (length bytes, which may hold NULs; NULL for a key whose values could not all be read)
// and the file's path for an ini row (NULL when it cannot be named); unreadable when the
// link could not be read and only may be there.
typedef void (*link_seen)(const worm_link &link, const char *detail, DWORD length,
                          bool unreadable);

// Reads every link, changing nothing, and returns the mask of the links present. With seen,
// each link seen is handed on, every marked value of a Run key too. strict: a link that
// cannot be read counts as there, as for links_left.
worm_link_mask probe_worm_links(link_seen seen = NULL, bool strict = false);

// Looks at every link again after the removal, changing nothing, and returns the mask of
// the links that may still be there: unlike the probe, a link that cannot be read (a key
// that exists but does not open, a value or ini file that cannot be read, a 64-bit view
// that may be there) counts as left, so that success is claimed only for what was seen gone.
worm_link_mask links_left(void);

#endif
