#include "platform/win.h"

#include "frontend/switches.h"

struct switch_entry {
    const char *name;
    bool takes_value;
    unsigned sets;
    const char *usage;  // its line in the usage text; NULL: named on another's line
};

static const switch_entry SWITCHES[] = {
    {"scan", false, SET_SCAN, "  /scan      list what is found, change nothing"},
    {"silent", false, SET_SILENT, "  /silent    ask nothing, wait for no key"},
    {"restart", false, SET_RESTART, "  /restart   with /silent: restart Windows if needed"},
    {"log", true, SET_LOG, "  /log=PATH  add a record of the run to the file PATH"},
    {"?", false, SET_HELP, "  /?, /help  show this text"},
    {"help", false, SET_HELP, NULL},
};

#define USAGE_FIRST "Usage: tavrel_moss_remover [/scan | /silent [/restart]] [/log=PATH]"
#define USAGE_LAST \
    "Exit: 0 clean, 1 declined or error, 2 links left, 3 restart needed, 4 /scan found"

// Case-insensitive for ASCII letters; the name ends the text or comes before '='.
static bool names_switch(const char *text, const char *name, const char **after)
{
    for (; *name != '\0'; text++, name++) {
        char c = *text;
        if (c >= 'A' && c <= 'Z')
            c += 'a' - 'A';
        if (c != *name)
            return false;
    }
    if (*text != '\0' && *text != '=')
        return false;
    *after = text;
    return true;
}

static const switch_entry *find_switch(const char *text, const char **after)
{
    if (*text != '/' && *text != '-')
        return NULL;
    for (size_t i = 0; i < sizeof SWITCHES / sizeof SWITCHES[0]; i++)
        if (names_switch(text + 1, SWITCHES[i].name, after))
            return &SWITCHES[i];
    return NULL;
}

// The value comes after '=' or is the next argument; an empty one is none, and so is a next
// argument that is one of the tool's own switches: a script's empty variable must not make a
// log of the switch after it and drop that switch.
static const char *take_value(int argc, char **argv, int *i, const char *after)
{
    if (*after == '=')
        return after[1] != '\0' ? after + 1 : NULL;
    const char *unused = NULL;
    if (*i + 1 >= argc || argv[*i + 1][0] == '\0' || find_switch(argv[*i + 1], &unused) != NULL)
        return NULL;
    return argv[++*i];
}

bool parse_switches(int argc, char **argv, run_options *options)
{
    options->set = 0;
    options->log_path = NULL;
    // The whole line is read even after a fault: the switches it names, refused or not,
    // still tell whether a key may be awaited.
    bool taken = true;
    for (int i = 1; i < argc; i++) {
        const char *after = NULL;
        const switch_entry *entry = find_switch(argv[i], &after);
        if (entry == NULL) {
            taken = false;
            continue;
        }
        if (!entry->takes_value && *after == '=')
            taken = false;
        if (entry->takes_value) {
            const char *value = take_value(argc, argv, &i, after);
            if (value == NULL || options->log_path != NULL)
                taken = false;
            else
                options->log_path = value;
        }
        options->set |= entry->sets;
    }
    unsigned set = options->set;
    if ((set & SET_SCAN) && (set & (SET_SILENT | SET_RESTART)))
        return false;
    return taken && (!(set & SET_RESTART) || (set & SET_SILENT));
}

void print_usage(FILE *out)
{
    fputs(USAGE_FIRST "\n", out);
    for (const switch_entry &entry : SWITCHES)
        if (entry.usage != NULL)
            fprintf(out, "%s\n", entry.usage);
    fputs(USAGE_LAST "\n", out);
}
