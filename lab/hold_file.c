/* Lab helper: keeps a file open without sharing, so that every other open,
 * delete or rename of it fails as it does while the worm itself runs.
 *
 * Usage: hold_file.exe <path>
 * Prints "HOLDING <path>" once the file is open, then waits until a line
 * arrives on standard input or standard input closes, closes the file,
 * prints "RELEASED" and exits 0. Exits 1 (with "FAILED <error>") if the file
 * cannot be opened, 2 on bad usage. */
#include <windows.h>
#include <stdio.h>

int main(int argc, char **argv)
{
    HANDLE file, input;
    char byte;
    DWORD got;

    if (argc != 2) {
        fprintf(stderr, "usage: hold_file <path>\n");
        return 2;
    }
    /* Share mode 0: no other open of any kind succeeds while this handle lives. */
    file = CreateFileA(argv[1], GENERIC_READ, 0, NULL, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        printf("FAILED %lu\n", (unsigned long)GetLastError());
        fflush(stdout);
        return 1;
    }
    /* The lab waits for this line before it starts the tool: flush it now,
     * since msvcrt buffers a pipe fully. */
    printf("HOLDING %s\n", argv[1]);
    fflush(stdout);

    /* Raw reads on the handle: any byte (end of a line) or end of input lets go. */
    input = GetStdHandle(STD_INPUT_HANDLE);
    while (ReadFile(input, &byte, 1, &got, NULL) && got == 1 && byte != '\n') {
    }
    CloseHandle(file);
    printf("RELEASED\n");
    fflush(stdout);
    return 0;
}
