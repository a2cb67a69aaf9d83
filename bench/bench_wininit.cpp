// The WININIT.INI edit of the 9x family, and its peer: a plain copy of WININIT.INI into
// WININIT.NEW through the same binary streams, line by line in pieces of at most 498
// characters (fgets and fputs), as the edit once read it; and beside it the same copy in the
// blocks that the edit now reads and writes. Prints the time the work took inside the
// process, in milliseconds.
//   bench_wininit edit     schedule_delete_at_boot(<system dir>\FILES32.VXD) (9x family)
//   bench_wininit copy     the plain copy in pieces
//   bench_wininit blocks   the plain copy in blocks
#include "clean/boot_delete.h"
#include "platform/win.h"

#define PIECE_READ_SIZE 499

static bool plain_copy(const char *from, const char *to, bool blocks)
{
    FILE *in = fopen(from, "rb");
    if (in == NULL)
        return false;
    FILE *out = fopen(to, "wb");
    if (out == NULL) {
        fclose(in);
        return false;
    }
    char block[WININIT_BLOCK_SIZE];
    size_t length;
    bool written = true;
    if (blocks) {
        while ((length = fread(block, 1, sizeof block, in)) > 0)
            written = fwrite(block, 1, length, out) == length && written;
    } else {
        while (fgets(block, PIECE_READ_SIZE, in) != NULL)
            fputs(block, out);
    }
    fclose(in);
    return fclose(out) == 0 && written;
}

int main(int argc, char **argv)
{
    const char *mode = argc == 2 ? argv[1] : "";
    bool edit = strcmp(mode, "edit") == 0;
    bool blocks = strcmp(mode, "blocks") == 0;
    if (!edit && !blocks && strcmp(mode, "copy") != 0) {
        fputs("usage: bench_wininit edit|copy|blocks\n", stderr);
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
        done = plain_copy(ini, copy, blocks);
    QueryPerformanceCounter(&end);
    printf("%s in %.1f ms\n", mode,
           1000.0 * (double)(end.QuadPart - start.QuadPart) / (double)frequency.QuadPart);
    return done ? 0 : 1;
}
