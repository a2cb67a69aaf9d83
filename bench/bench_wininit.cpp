// The WININIT.INI edit of the 9x family, and its peer: a plain copy of WININIT.INI into
// WININIT.NEW through the same binary streams and the same piece size. Prints the time
// the work took inside the process, in milliseconds.
//   bench_wininit edit   schedule_delete_at_boot(<system dir>\FILES32.VXD) (9x family)
//   bench_wininit copy   the plain copy
#include "clean/boot_delete.h"
#include "platform/win.h"

static bool plain_copy(const char *from, const char *to)
{
    FILE *in = fopen(from, "rb");
    if (in == NULL)
        return false;
    FILE *out = fopen(to, "wb");
    if (out == NULL) {
        fclose(in);
        return false;
    }
    char line[WININIT_LINE_SIZE];
    while (fgets(line, WININIT_READ_SIZE, in) != NULL)
        fputs(line, out);
    fclose(in);
    return fclose(out) == 0;
}

int main(int argc, char **argv)
{
    bool edit = argc == 2 && strcmp(argv[1], "edit") == 0;
    if (!edit && !(argc == 2 && strcmp(argv[1], "copy") == 0)) {
        fputs("usage: bench_wininit edit|copy\n", stderr);
        return 2;
    }
    char dir[WININIT_PATH_SIZE], ini[WININIT_PATH_SIZE], copy[WININIT_PATH_SIZE];
    char worm[WININIT_PATH_SIZE];
    GetWindowsDirectoryA(dir, sizeof dir);
    snprintf(ini, sizeof ini, "%s\\WININIT.INI", dir);
    snprintf(copy, sizeof copy, "%s\\WININIT.NEW", dir);
    GetSystemDirectoryA(dir, sizeof dir);
    snprintf(worm, sizeof worm, "%s\\FILES32.VXD", dir);

    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    bool done = true;
    if (edit)
        schedule_delete_at_boot(worm, NULL);
    else
        done = plain_copy(ini, copy);
    QueryPerformanceCounter(&end);
    printf("%s in %.1f ms\n", edit ? "edit" : "copy",
           1000.0 * (double)(end.QuadPart - start.QuadPart) / (double)frequency.QuadPart);
    return done ? 0 : 1;
}
