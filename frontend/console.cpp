#include "frontend/console.h"

#include "frontend/messages.h"
#include "platform/win.h"

// Codes that the key read still owes from an event it has taken: the scan code of a key
// without a character, and further repeats. The key-pending test cannot see them.
struct owed_codes {
    int scan_next;          // scan code due on the next read, or -1
    unsigned repeats_left;  // repeats of the event still to give
    int code;               // the event's first code (0 for a key without a character)
    int scan;               // the event's scan code
};

static owed_codes owed = {-1, 0, 0, 0};

static int take_owed_code(void)
{
    if (owed.scan_next >= 0) {
        int scan = owed.scan_next;
        owed.scan_next = -1;
        return scan;
    }
    if (owed.repeats_left > 0) {
        owed.repeats_left--;
        if (owed.code == 0)
            owed.scan_next = owed.scan;
        return owed.code;
    }
    return -1;
}

// Key releases, other kinds of event, and Shift, Ctrl or Alt pressed alone answer nothing.
static bool is_key_press(const INPUT_RECORD &record)
{
    if (record.EventType != KEY_EVENT || !record.Event.KeyEvent.bKeyDown)
        return false;
    WORD vk = record.Event.KeyEvent.wVirtualKeyCode;
    return vk < VK_SHIFT || vk > VK_MENU;
}

static int take_key_event(const KEY_EVENT_RECORD &key)
{
    unsigned char ch = (unsigned char)key.uChar.AsciiChar;
    bool no_character = ch == 0 || (key.dwControlKeyState & ENHANCED_KEY) != 0;
    owed.code = no_character ? 0 : ch;
    owed.scan = key.wVirtualScanCode & 0xFF;
    owed.repeats_left = key.wRepeatCount > 1 ? key.wRepeatCount - 1u : 0u;
    owed.scan_next = no_character ? owed.scan : -1;
    return owed.code;
}

// The console's own input buffer: redirected standard input must not answer a prompt.
static HANDLE open_console_input(void)
{
    return CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                       NULL, OPEN_EXISTING, 0, NULL);
}

// True when a key press waits in the console's queue; skippable events in front of it are
// taken out of the queue, the key press itself stays.
static bool key_pending(HANDLE input)
{
    for (;;) {
        INPUT_RECORD record;
        DWORD count = 0;
        if (!PeekConsoleInputA(input, &record, 1, &count) || count == 0)
            return false;
        if (is_key_press(record))
            return true;
        if (!ReadConsoleInputA(input, &record, 1, &count) || count == 0)
            return false;
    }
}

// Takes the key press that key_pending has just seen out of the queue without taking its
// codes: a key thrown away owes nothing. False when the console cannot be read.
static bool discard_key(HANDLE input)
{
    INPUT_RECORD record;
    DWORD count = 0;
    return ReadConsoleInputA(input, &record, 1, &count) && count == 1;
}

// Waits for one key press and returns its first code.
static int read_key(HANDLE input)
{
    DWORD saved_mode = 0;
    BOOL have_mode = GetConsoleMode(input, &saved_mode);
    // Mode 0: no echo, no Enter needed, and Ctrl+C arrives as the key 3.
    SetConsoleMode(input, 0);
    int code = KEY_UNREADABLE;
    for (;;) {
        INPUT_RECORD record;
        DWORD count = 0;
        // A read that succeeds with nothing in it would spin: take it as unreadable.
        if (!ReadConsoleInputA(input, &record, 1, &count) || count == 0)
            break;
        if (is_key_press(record)) {
            code = take_key_event(record.Event.KeyEvent);
            break;
        }
    }
    if (have_mode)
        SetConsoleMode(input, saved_mode);
    return code;
}

// msvcrt buffers a console fully even when asked for lines, and standard error too when it
// goes to a file or pipe: what was written must be out before every wait.
static void show_held_output(void)
{
    fflush(win_stdout());
    fflush(win_stderr());
}

int wait_for_key(void)
{
    show_held_output();
    // One handle for the whole wait: each open asks the system again.
    HANDLE input = open_console_input();
    bool console = input != INVALID_HANDLE_VALUE;
    // Keys typed before the prompt and keys typed meanwhile go with all they owe; what the
    // key read at the prompt still owes stays for the next wait, and comes first, at once.
    while (console && key_pending(input) && discard_key(input)) {
    }
    int code = take_owed_code();
    if (code < 0)
        code = console ? read_key(input) : KEY_UNREADABLE;
    while (console && key_pending(input) && discard_key(input)) {
    }
    if (console)
        CloseHandle(input);
    if (code >= 'a' && code <= 'z')
        code -= 'a' - 'A';
    return code;
}

void fatal_exit(const char *message, bool wait)
{
    // Standard output is fully buffered: what was written to it must reach the screen
    // before the error.
    fflush(win_stdout());
    fprintf(win_stderr(), "%s\n", message);
    if (wait) {
        fprintf(win_stderr(), "%s\n", MSG_FATAL_PROMPT);
        wait_for_key();
    }
    win_exit(1);
}

void reset_key_reader(void)
{
    owed.scan_next = -1;
    owed.repeats_left = 0;
}

void set_console_buffering(void)
{
    DWORD mode = 0;
    if (GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode))
        win_setvbuf(win_stdout(), NULL, _IOLBF, BUFSIZ);
}

void pause_seconds(unsigned seconds)
{
    show_held_output();
    SleepEx(seconds * 1000u, FALSE);
}

void idle_forever(void)
{
    show_held_output();
    for (;;)
        SleepEx(INFINITE, FALSE);
}

typedef DWORD(WINAPI *console_process_list_call)(LPDWORD list, DWORD count);
typedef HWND(WINAPI *console_window_call)(void);
typedef BOOL(WINAPI *window_visible_call)(HWND window);

// A call that Windows may lack, looked up at run time; NULL when it is not there.
static FARPROC call_in(HMODULE module, const char *name)
{
    return module != NULL ? GetProcAddress(module, name) : NULL;
}

bool console_of_its_own(void)
{
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    console_process_list_call list =
        (console_process_list_call)(void *)call_in(kernel, "GetConsoleProcessList");
    console_window_call window = (console_window_call)(void *)call_in(kernel, "GetConsoleWindow");
    // Room for two: a second process is all it takes to know the console is shared.
    DWORD ids[2];
    if (list == NULL || window == NULL || list(ids, 2) != 1 || window() == NULL)
        return false;
    // A console on a terminal or hidden from the start has a window no one sees.
    window_visible_call visible =
        (window_visible_call)(void *)call_in(LoadLibraryA("user32.dll"), "IsWindowVisible");
    return visible != NULL && visible(window()) != FALSE;
}
