// Console input: CONIN$, its mode, and the queue of input events. Keys typed ahead are in
// the queue at once; each press() batch arrives only when the tool waits in
// ReadConsoleInputA with nothing queued. Standard input counts as redirected: console
// calls on it fail, as they would on a file.
#include "platform/sim/sim_internal.h"

#include <algorithm>

using namespace sim::detail;

namespace {

bool is_console_input(HANDLE handle) {
    const Handle *h = find_handle(handle);
    return machine().console.present && h && h->kind == HandleKind::CONSOLE_INPUT;
}

bool is_console_output(HANDLE handle) {
    const Console &c = machine().console;
    return c.present && !c.output_redirected &&
           (handle == std_handle(STD_OUTPUT_HANDLE) || handle == std_handle(STD_ERROR_HANDLE));
}

DWORD copy_events(const std::deque<INPUT_RECORD> &queue, PINPUT_RECORD records, DWORD count) {
    const DWORD n = static_cast<DWORD>(std::min<size_t>(count, queue.size()));
    std::copy(queue.begin(), queue.begin() + n, records);
    return n;
}

// Scan codes of the US keyboard (set 1) for a to z.
const WORD kLetterScan[26] = {0x1E, 0x30, 0x2E, 0x20, 0x12, 0x21, 0x22, 0x23, 0x17,
                              0x24, 0x25, 0x26, 0x32, 0x31, 0x18, 0x19, 0x10, 0x13,
                              0x1F, 0x14, 0x16, 0x2F, 0x11, 0x2D, 0x15, 0x2C};
constexpr WORD kShiftScan = 0x2A, kCtrlScan = 0x1D;

void press_and_release(std::vector<INPUT_RECORD> *events, WORD vk, WORD scan, char ch,
                       DWORD control) {
    events->push_back(sim::key_down(vk, scan, ch, control));
    events->push_back(sim::key_up(vk, scan, ch, control));
}

// A key pressed with a modifier held: the modifier's own events around it.
std::vector<INPUT_RECORD> with_modifier(WORD modifier_vk, WORD modifier_scan, DWORD state, WORD vk,
                                        WORD scan, char ch) {
    std::vector<INPUT_RECORD> events{sim::key_down(modifier_vk, modifier_scan, 0, state)};
    press_and_release(&events, vk, scan, ch, state);
    events.push_back(sim::key_up(modifier_vk, modifier_scan, 0, 0));
    return events;
}

}  // namespace

HANDLE sim::detail::open_console_input(DWORD desired, DWORD disposition) {
    if (!machine().console.present) {
        set_last_error(ERROR_INVALID_HANDLE);
        return INVALID_HANDLE_VALUE;
    }
    if (disposition != OPEN_EXISTING) {
        set_last_error(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    return new_handle(HandleKind::CONSOLE_INPUT, disposition, desired);
}

HANDLE GetStdHandle(DWORD which) {
    if (auto fault = record("GetStdHandle", Args().hex(which))) {
        set_last_error(*fault);
        return INVALID_HANDLE_VALUE;
    }
    HANDLE handle = std_handle(which);
    if (handle == INVALID_HANDLE_VALUE) set_last_error(ERROR_INVALID_HANDLE);
    return handle;
}

BOOL GetConsoleMode(HANDLE console, LPDWORD mode) {
    if (auto fault = record("GetConsoleMode", Args().handle(console).pointer(mode)))
        return fail_with(*fault);
    if (!mode) return fail_with(ERROR_INVALID_PARAMETER);
    if (is_console_input(console))
        *mode = machine().console.input_mode;
    else if (is_console_output(console))
        *mode = machine().console.output_mode;
    else
        return fail_with(ERROR_INVALID_HANDLE);
    return TRUE;
}

BOOL SetConsoleMode(HANDLE console, DWORD mode) {
    if (auto fault = record("SetConsoleMode", Args().handle(console).hex(mode)))
        return fail_with(*fault);
    if (is_console_input(console))
        machine().console.input_mode = mode;
    else if (is_console_output(console))
        machine().console.output_mode = mode;
    else
        return fail_with(ERROR_INVALID_HANDLE);
    return TRUE;
}

BOOL PeekConsoleInputA(HANDLE console, PINPUT_RECORD records, DWORD count, LPDWORD read) {
    auto fault = record("PeekConsoleInputA",
                        Args().handle(console).pointer(records).hex(count).pointer(read));
    if (fault) return fail_with(*fault);
    if (!is_console_input(console)) return fail_with(ERROR_INVALID_HANDLE);
    if (!read || (!records && count)) return fail_with(ERROR_INVALID_PARAMETER);
    *read = copy_events(machine().console.queue, records, count);
    return TRUE;
}

BOOL ReadConsoleInputA(HANDLE console, PINPUT_RECORD records, DWORD count, LPDWORD read) {
    auto fault = record("ReadConsoleInputA",
                        Args().handle(console).pointer(records).hex(count).pointer(read));
    if (fault) return fail_with(*fault);
    if (!is_console_input(console)) return fail_with(ERROR_INVALID_HANDLE);
    if (!read || (!records && count)) return fail_with(ERROR_INVALID_PARAMETER);
    note_wait("ReadConsoleInputA");
    Console &c = machine().console;
    if (c.empty_reads) {
        *read = 0;
        return TRUE;
    }
    if (c.queue.empty()) {
        // The user types only while the tool waits; with nothing left to type it waits forever.
        if (c.batches.empty()) end_process(sim::Outcome::BLOCKED, 0);
        c.queue.assign(c.batches.front().begin(), c.batches.front().end());
        c.batches.pop_front();
    }
    *read = copy_events(c.queue, records, count);
    c.queue.erase(c.queue.begin(), c.queue.begin() + *read);
    return TRUE;
}

namespace sim {

void set_empty_console_reads() {
    detail::machine().console.empty_reads = true;
}

INPUT_RECORD key_down(WORD vk, WORD scan, char ch, DWORD control, WORD repeat) {
    INPUT_RECORD record{};
    record.EventType = KEY_EVENT;
    KEY_EVENT_RECORD &key = record.Event.KeyEvent;
    key.bKeyDown = TRUE;
    key.wRepeatCount = repeat;
    key.wVirtualKeyCode = vk;
    key.wVirtualScanCode = scan;
    key.uChar.UnicodeChar = static_cast<unsigned char>(ch);
    key.dwControlKeyState = control;
    return record;
}

INPUT_RECORD key_up(WORD vk, WORD scan, char ch, DWORD control) {
    INPUT_RECORD record = key_down(vk, scan, ch, control, 1);
    record.Event.KeyEvent.bKeyDown = FALSE;
    return record;
}

INPUT_RECORD other_event(WORD type) {
    INPUT_RECORD record{};
    record.EventType = type;
    return record;
}

std::vector<INPUT_RECORD> keystroke(char ch) {
    std::vector<INPUT_RECORD> events;
    if (ch >= 'a' && ch <= 'z') {
        press_and_release(&events, static_cast<WORD>(ch - 'a' + 'A'), kLetterScan[ch - 'a'], ch, 0);
    } else if (ch >= 'A' && ch <= 'Z') {
        events = with_modifier(VK_SHIFT, kShiftScan, SHIFT_PRESSED, static_cast<WORD>(ch),
                               kLetterScan[ch - 'A'], ch);
    } else if (ch >= '0' && ch <= '9') {
        press_and_release(&events, static_cast<WORD>(ch),
                          static_cast<WORD>(ch == '0' ? 0x0B : ch - '0' + 1), ch, 0);
    } else if (ch == '\r' || ch == '\n') {
        press_and_release(&events, 0x0D, 0x1C, '\r', 0);
    } else if (ch == '\x1b') {
        press_and_release(&events, 0x1B, 0x01, 0, 0);  // Escape carries no character
    } else if (ch == ' ' || ch == '\t' || ch == '\b') {
        const WORD scan = ch == ' ' ? 0x39 : ch == '\t' ? 0x0F : 0x0E;
        press_and_release(&events, static_cast<WORD>(ch), scan, ch, 0);
    } else if (ch >= 1 && ch <= 26) {
        // Ctrl+letter, Ctrl+C among them, read as its control code when input is raw.
        const char letter = static_cast<char>('A' + ch - 1);
        events = with_modifier(VK_CONTROL, kCtrlScan, LEFT_CTRL_PRESSED, static_cast<WORD>(letter),
                               kLetterScan[letter - 'A'], ch);
    } else {
        press_and_release(&events, 0, 0, ch, 0);
    }
    return events;
}

void type_ahead(const std::vector<INPUT_RECORD> &events) {
    Console &c = machine().console;
    c.queue.insert(c.queue.end(), events.begin(), events.end());
}

void press(const std::vector<INPUT_RECORD> &events) { machine().console.batches.push_back(events); }

void press_key(char ch) { press(keystroke(ch)); }

void set_no_console() { machine().console.present = false; }

void redirect_output() { machine().console.output_redirected = true; }
void set_console_sharing(int processes, ConsoleWindow window) {
    machine().console.processes = processes;
    machine().console.window = window;
}

DWORD console_mode() { return machine().console.input_mode; }

size_t queued_events() { return machine().console.queue.size(); }

size_t unread_batches() { return machine().console.batches.size(); }

}  // namespace sim

namespace {
// Any value that is no other handle serves.
const HWND kConsoleWindow = reinterpret_cast<HWND>(static_cast<uintptr_t>(0x00070034u));
}  // namespace

// The ids of the processes on the console: this one first, then those before it.
DWORD WINAPI sim::detail::get_console_process_list(LPDWORD list, DWORD count) {
    if (auto fault = record("GetConsoleProcessList", Args().pointer(list).hex(count))) {
        set_last_error(*fault);
        return 0;
    }
    const Console &console = machine().console;
    if (!console.present) {
        set_last_error(ERROR_INVALID_HANDLE);
        return 0;
    }
    const DWORD attached = static_cast<DWORD>(console.processes);
    for (DWORD i = 0; i < attached && i < count; i++) list[i] = 0x100u + i;
    return attached;
}

HWND WINAPI sim::detail::get_console_window(void) {
    record("GetConsoleWindow", Args());
    const Console &console = machine().console;
    return console.present && console.window != sim::WINDOW_NONE ? kConsoleWindow : nullptr;
}

BOOL WINAPI sim::detail::is_window_visible(HWND window) {
    record("IsWindowVisible", Args().hex(reinterpret_cast<uintptr_t>(window)));
    return window == kConsoleWindow && machine().console.window == sim::WINDOW_SHOWN;
}
