// The command line: which mode the run takes, whether it may restart, and where it logs.
#ifndef FRONTEND_SWITCHES_H
#define FRONTEND_SWITCHES_H

// What the switches set.
#define SET_HELP 0x1u
#define SET_SCAN 0x2u
#define SET_SILENT 0x4u
#define SET_RESTART 0x8u
#define SET_LOG 0x10u

struct run_options {
    unsigned set;          // SET_ bits
    const char *log_path;  // the argument itself, or NULL
};

// Reads argv[1..argc) into options: a switch starts with '/' or '-', in any case, in any
// order; /log takes its PATH after '=' or as the next argument. False for an unknown switch,
// a missing PATH (also when the next argument is one of the switches), /log twice, /scan with
// /silent or /restart, or /restart without /silent. Even then options->set holds every
// switch the line names.
bool parse_switches(int argc, char **argv, run_options *options);

// The usage text, one line per switch after the first.
void print_usage(FILE *out);

#endif
