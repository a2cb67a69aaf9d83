/* Lab helper: talks to the substitute shield (orvfsh.sys) through its lab-only control code.
 * Prints the shield's state and its log of requests since the last call, one line each,
 * which empties the log; with arguments it also tells the shield what to do from now on.
 *
 * Usage: shield_ctl.exe [STATE answer|refuse]
 *   STATE in hex: what the state query answers; refuse: the query fails instead.
 * Prints:
 *   STATE 0x01020304 ANSWER|REFUSE          (as it was before this call)
 *   CREATE open=1 options=0x00000060
 *   CONTROL open=1 code=0x5349A00C in=0 out=4 value=0x01020304 status=0x00000000
 *   CLOSE open=1
 *   END count=3 lost=0
 * value=- when the request carried none. Exits 0; 1 with "FAILED <step> <error>"; 2 on bad usage. */
#include <windows.h>
#include <winioctl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "shield_driver/shield_protocol.h"

static struct shield_lab_report report;

static int failed(const char *step, unsigned long error)
{
    printf("FAILED %s %lu\n", step, error);
    return 1;
}

static void print_entry(const struct shield_log_entry *e)
{
    if (e->event == SHIELD_EVENT_CREATE) {
        printf("CREATE open=%lu options=0x%08lX\n", e->open, e->code);
    } else if (e->event == SHIELD_EVENT_CLOSE) {
        printf("CLOSE open=%lu\n", e->open);
    } else {
        printf("CONTROL open=%lu code=0x%08lX in=%lu out=%lu value=", e->open, e->code,
               e->in_size, e->out_size);
        if (e->has_value)
            printf("0x%08lX", e->value);
        else
            printf("-");
        printf(" status=0x%08lX\n", (unsigned long)e->status);
    }
}

int main(int argc, char **argv)
{
    struct shield_lab_config config;
    DWORD returned;
    HANDLE device;
    BOOL done;
    unsigned long i;

    if (argc != 1 && !(argc == 3 && (!strcmp(argv[2], "answer") || !strcmp(argv[2], "refuse")))) {
        fprintf(stderr, "usage: shield_ctl [STATE answer|refuse]\n");
        return 2;
    }
    config.state = strtoul(argc == 3 ? argv[1] : "0", NULL, 16);
    config.flags = argc == 3 && !strcmp(argv[2], "refuse") ? SHIELD_LAB_REFUSE : 0;
    device = CreateFileA("\\\\.\\OrvFsh", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, NULL);
    if (device == INVALID_HANDLE_VALUE)
        return failed("open", GetLastError());
    done = DeviceIoControl(device, IOCTL_SHIELD_LAB_EXCHANGE, argc == 3 ? &config : NULL,
                           argc == 3 ? sizeof config : 0, &report, sizeof report, &returned, NULL);
    if (!done) {
        unsigned long error = GetLastError();
        CloseHandle(device);
        return failed("exchange", error);
    }
    CloseHandle(device);
    printf("STATE 0x%08lX %s\n", report.state,
           report.flags & SHIELD_LAB_REFUSE ? "REFUSE" : "ANSWER");
    for (i = 0; i < report.count && i < SHIELD_LOG_MAX; i++)
        print_entry(&report.entries[i]);
    printf("END count=%lu lost=%lu\n", report.count, report.lost);
    return 0;
}
