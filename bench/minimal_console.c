/* The peer of the start-up benchmark: a console program that prints two lines and reads
   one key from the console, and does nothing else. No USER32. Built a second time with
   WITH_ADVAPI32, it also imports one registry call that it never makes: what loading
   ADVAPI32, which the tool needs before its question, costs alone. */
#include <windows.h>
#include <stdio.h>

int main(void)
{
#ifdef WITH_ADVAPI32
    if (GetVersion() == 0)
        RegCloseKey(NULL);
#endif
    puts("Minimal console program");
    puts("Press a key");
    fflush(stdout);
    HANDLE in = CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            NULL, OPEN_EXISTING, 0, NULL);
    if (in == INVALID_HANDLE_VALUE)
        return 1;
    INPUT_RECORD record;
    DWORD read;
    while (ReadConsoleInputA(in, &record, 1, &read) && read == 1) {
        if (record.EventType == KEY_EVENT && record.Event.KeyEvent.bKeyDown)
            break;
    }
    CloseHandle(in);
    return 0;
}
