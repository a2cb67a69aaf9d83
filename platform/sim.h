// Control surface of the simulated Windows, for host tests: set up a machine, run the
// tool's code against it, then look at what it did. One machine per process, made anew
// by sim::reset(). Include platform/win.h to get the Win32
// names that tests pass in (HKEY_LOCAL_MACHINE, REG_SZ, ...).
#ifndef PLATFORM_SIM_H
#define PLATFORM_SIM_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/sim_api.h"

namespace sim {

enum Family { FAMILY_9X, FAMILY_NT };

// A fresh machine: NT family, Windows directory C:\WINDOWS, system directory
// C:\WINDOWS\SYSTEM32 (both present as directories), the usual registry
// (HKLM\Software\Classes\exefile\shell\open\command = "%1" %* as REG_SZ, the Run key
// present and empty, HKEY_CLASSES_ROOT a view of HKLM\Software\Classes), no WIN.INI or
// SYSTEM.INI, a console with an empty input queue and mode 0x1F7, standard output a
// console, no shield device, no faults, empty call record and transcripts.
// Files live under a fresh temporary host directory, removed by the next reset().
void reset();

// Windows family: GetVersionExA answers 4.10 platform 1 (9x) or 5.1 platform 2 (NT).
// It also decides RegDeleteKeyA on a key with subkeys (9x deletes the tree, NT refuses
// with ERROR_ACCESS_DENIED) and MoveFileExA (9x: ERROR_CALL_NOT_IMPLEMENTED).
void set_family(Family family);
// Texts that GetWindowsDirectoryA / GetSystemDirectoryA report; an empty text makes the
// call fail (return 0). The directory itself is created on the host.
void set_windows_dir(const std::string &path);
void set_system_dir(const std::string &path);
// A 64-bit machine on which the tool runs under WoW64 (NT family): IsWow64Process2 answers
// the x86 process machine (and AMD64 or ARM64 as the native one; on a 32-bit machine the
// process machine is IMAGE_FILE_MACHINE_UNKNOWN), IsWow64Process TRUE on x64 and FALSE on
// ARM64, where the x86 tool runs emulated, GetSystemWow64DirectoryA the Windows directory + "\SysWOW64" (created on the host;
// on a 32-bit machine it fails with ERROR_CALL_NOT_IMPLEMENTED), GetSystemDirectoryA still
// the system directory, whose files the tool's file calls then reach in SysWOW64 (the
// controls below name the files themselves). RegOpenKeyExA from HKEY_LOCAL_MACHINE sees
// Software\X as Software\Wow6432Node\X unless the access holds KEY_WOW64_64KEY;
// Software\Classes is shared by both views, and the controls name the keys themselves.
// The 32-bit Run key is there, empty. MoveFileExA with DELAY_UNTIL_REBOOT notes the path as
// it was given.
enum Arch { ARCH_X64, ARCH_ARM64 };
void set_64bit_machine(Arch arch = ARCH_X64);
// KERNEL32 of the NT family exports IsWow64Process2, IsWow64Process and
// GetSystemWow64DirectoryA (the 9x family none of them); this Windows lacks the one named:
// GetProcAddress fails for it with ERROR_PROC_NOT_FOUND (NT 4 and 2000 lack all three,
// XP SP2 to Windows 10 1703 IsWow64Process2). It exports GetFinalPathNameByHandleA too, which
// Windows before Vista lacks.
void drop_export(const std::string &name);

// ---- Registry. Paths are relative to a root (HKEY_LOCAL_MACHINE, HKEY_CLASSES_ROOT,
// HKEY_CURRENT_USER) and compared without regard to case. A null name is the default value.
// Names here are the stored names in UTF-8 and may hold NULs; the ANSI calls see them
// converted: a character outside the code page becomes '?', a few by best fit a
// look-alike letter ("\xc4\x93", e with macron, becomes 'e').
// A double-byte ANSI code page, as on a Chinese or Japanese Windows: the ANSI calls (and
// RtlUnicodeToMultiByteN) give each CJK character U+4E00 to U+9FFF as two bytes, a lead byte
// 0x81 to 0xEE and a trail byte 0x40 to 0xFE (in a layout of the simulation's own), and any
// other character outside ASCII as '?', while RegQueryInfoKeyA still counts characters.
void set_double_byte_code_page();
void create_key(HKEY root, const std::string &path);
void set_value(HKEY root, const std::string &path, const char *name, DWORD type,
               const std::string &data);
void set_value(HKEY root, const std::string &path, const std::string &name, DWORD type,
               const std::string &data);
// Deleting this value (name not null) or key (name null) reports success and leaves it.
void keep_after_deletion(HKEY root, const std::string &path, const char *name);
// Each RegEnumValueA on this key adds a value "~N" (REG_SZ "x.exe") behind the others, each
// listing of its subkeys a subkey "~N" whose deletion does not stick, and each read of one of
// its values through RegQueryValueA or RegQueryValueExA makes that value a byte longer.
void grow_at_each_read(HKEY root, const std::string &path);
// A text value stored as Windows stores it: the text and its terminating NUL.
void set_text(HKEY root, const std::string &path, const char *name, const std::string &text,
              DWORD type = REG_SZ);
bool key_exists(HKEY root, const std::string &path);
// False when the key or value is absent.
bool get_value(HKEY root, const std::string &path, const char *name, DWORD *type,
               std::string *data);
// The text of a REG_SZ/REG_EXPAND_SZ value up to its first NUL; "<absent>" when missing.
std::string text_value(HKEY root, const std::string &path, const char *name);
std::vector<std::string> value_names(HKEY root, const std::string &path);   // enumeration order
std::vector<std::string> subkey_names(HKEY root, const std::string &path);  // enumeration order
// A registry link (NT family): a key made as a link whose REG_LINK value
// "SymbolicLinkValue" names its target as "\\Registry\\Machine\\...". Opening a path
// follows every link on it, the last one too unless REG_OPTION_OPEN_LINK is given;
// RegDeleteKeyA follows it as well. NtDeleteKey (from ntdll through GetProcAddress)
// deletes the key that its handle holds. The controls here and above look at a link
// itself, not at its target.
void create_link(HKEY root, const std::string &path, const std::string &target);
// RegOpenKeyExA on this key fails with ERROR_ACCESS_DENIED when it asks for any access
// bit in mask (KEY_ALL_ACCESS's extra bits, for instance) that KEY_READ does not hold.
void deny_access(HKEY root, const std::string &path, REGSAM mask);
// HKEY_CLASSES_ROOT becomes a tree of its own instead of a view of HKLM\Software\Classes,
// starting as a copy of it.
void separate_classes_root();
int open_keys();                   // registry handles open now
int keys_deleted_while_open();     // RegDeleteKeyA calls that hit a key with an open handle
std::vector<std::string> removed_keys();  // the name of each key deleted, in order

// ---- Files. Windows paths (C:\WINDOWS\...) are compared without regard to case and map
// onto the temporary host directory.
void write_file(const std::string &windows_path, const std::string &bytes,
                DWORD attributes = FILE_ATTRIBUTE_ARCHIVE);
bool read_file(const std::string &windows_path, std::string *bytes);
bool exists(const std::string &windows_path);
void make_dir(const std::string &windows_path);
DWORD attributes(const std::string &windows_path);  // INVALID_FILE_ATTRIBUTES when absent
// A file held open by another program without sharing: DeleteFileA and MoveFileA on it
// fail with ERROR_SHARING_VIOLATION, GetFileAttributesA still answers. Held while it shares
// reading (readable), it can still be opened to read.
void hold_in_use(const std::string &windows_path, bool held = true, bool readable = false);
struct PendingRename {
    std::string from;
    std::string to;  // empty: delete at boot
    DWORD flags;
};
// GetShortPathNameA gives short_name for the last name of this path (a file or folder);
// every other name stays as the path gives it.
void set_short_name(const std::string &windows_path, const std::string &short_name);
std::vector<PendingRename> pending_renames();  // from MoveFileExA with DELAY_UNTIL_REBOOT
// Stream writes may add this many more bytes to the disk; a write that does not fit puts
// what fits and fails (ERROR_DISK_FULL, errno ENOSPC). Negative: no limit (the default).
void set_disk_space(long long bytes);
int open_files();  // streams from win_fopen and win_fdopen not yet closed
// CreateFileA opens files and folders (a folder only with FILE_FLAG_BACKUP_SEMANTICS: else
// ERROR_ACCESS_DENIED; CREATE_NEW on anything there: ERROR_FILE_EXISTS) and device names (NUL,
// CON, PRN, AUX, COM1-9, LPT1-9, in any folder, with any extension: a character device, with
// no information and no final path; CREATE_NEW opens NUL, as Wine does, and no other).
// A hard link: a second name of target's file; each name sees a link count of 2.
void make_hard_link(const std::string &windows_path, const std::string &target);
// A symbolic link at windows_path naming target. As a reparse point (Windows' own link),
// CreateFileA with FILE_FLAG_OPEN_REPARSE_POINT opens the link itself, which has
// FILE_ATTRIBUTE_REPARSE_POINT; without the flag it is followed. Otherwise as Wine shows a
// host symbolic link: always followed, the target's own attributes and link count, and only
// the final path names the target.
void make_symbolic_link(const std::string &windows_path, const std::string &target,
                        bool reparse_point);

// ---- Console input. A key press is a key-down and a key-up event. Keys given to
// type_ahead() are in the input queue at once; each press() is a batch that the user types
// when the tool next waits for input with nothing queued (that is, at a blocking
// ReadConsoleInputA); all events of one batch arrive together.
INPUT_RECORD key_down(WORD vk, WORD scan, char ch, DWORD control = 0, WORD repeat = 1);
INPUT_RECORD key_up(WORD vk, WORD scan, char ch, DWORD control = 0);
INPUT_RECORD other_event(WORD type);  // mouse, focus, menu or window-size event
// Events for typing one character the way a keyboard sends it (letters, digits, Enter,
// Escape as char 0 with scan 0x01, Ctrl+C as char 3, upper case wrapped in Shift).
std::vector<INPUT_RECORD> keystroke(char ch);
void type_ahead(const std::vector<INPUT_RECORD> &events);
void press(const std::vector<INPUT_RECORD> &events);
void press_key(char ch);  // press(keystroke(ch))
// Standard input counts as redirected: console calls on GetStdHandle(STD_INPUT_HANDLE) fail.
void set_no_console();    // CONIN$ cannot be opened; console calls fail with ERROR_INVALID_HANDLE
// Standard output and error go to a file or pipe while the console still takes keys: console
// calls on them fail, and standard error is buffered too.
void redirect_output();
// A broken console: ReadConsoleInputA succeeds from now on and delivers no event.
void set_empty_console_reads();
// Who shares the console, as GetConsoleProcessList tells it (processes; -1: KERNEL32 lacks
// it and GetConsoleWindow, as before XP), and its window. Default: two processes (a command
// prompt's console) and a shown window. Without a console the list is 0 (ERROR_INVALID_HANDLE)
// and there is no window.
enum ConsoleWindow { WINDOW_NONE, WINDOW_HIDDEN, WINDOW_SHOWN };
void set_console_sharing(int processes, ConsoleWindow window);
DWORD console_mode();     // the console input mode now
size_t queued_events();   // events still in the input queue
size_t unread_batches();  // press() batches never delivered

// ---- Shield device \\.\OrvFsh.
void install_shield(int32_t state, bool refuse_query = false, bool refuse_set = false);
struct Ioctl {
    DWORD code;
    std::string in;  // bytes passed in
    DWORD disposition;  // creation disposition of the handle it went through
};
std::vector<Ioctl> ioctls();
int device_opens();
int32_t shield_state();  // the state the shield holds now
int open_handles();  // device, token and console handles open now

// ---- The computer: GetComputerNameA answers "LABPC", GetLocalTime 2026-12-08 18:30:05.

// ---- Shutdown. LoadLibraryA loads "user32.dll" (or "user32"), in which GetProcAddress
// finds "ExitWindowsEx"; other modules fail with ERROR_MOD_NOT_FOUND, other names with
// ERROR_PROC_NOT_FOUND. On the NT family ExitWindowsEx with EWX_SHUTDOWN or EWX_REBOOT
// fails with ERROR_PRIVILEGE_NOT_HELD unless AdjustTokenPrivileges has enabled
// SeShutdownPrivilege (through a token opened with TOKEN_ADJUST_PRIVILEGES).
bool restart_requested();  // an accepted ExitWindowsEx with EWX_REBOOT
UINT restart_flags();      // flags of the last accepted ExitWindowsEx
// The user lacks the privilege: AdjustTokenPrivileges still returns TRUE, with
// ERROR_NOT_ALL_ASSIGNED as the last error, and the privilege stays disabled.
void deny_shutdown_privilege();
// Another program changes the machine while the tool sleeps: change runs once, at the next
// SleepEx that ends.
void during_sleep(std::function<void()> change);

// ---- What the tool wrote. Standard output is fully buffered like msvcrt's (also after
// setvbuf with _IOLBF): text reaches out() only when flushed, at exit, or when the buffer
// fills. Each flush is also recorded in the call record as "stdout" / "stderr" with the text.
const std::string &out();
const std::string &err();
// A wait (ReadConsoleInputA, SleepEx) named for each time the tool waited while text it had
// written was still held in a buffer, off the screen.
const std::vector<std::string> &waits_with_text_held_back();

// ---- Call record and faults. Every simulated call appends one entry, its arguments
// formatted as text: strings quoted, handles as HKEY_LOCAL_MACHINE / HKEY_CLASSES_ROOT /
// hkey#N / handle#N, numbers in hexadecimal with 0x and lower-case digits (0xf003f), null
// pointers as NULL, other pointers as out, except in/out sizes, shown as &0x200 (the value
// passed in).
struct Call {
    std::string name;
    std::string args;
};
const std::vector<Call> &calls();
std::vector<std::string> call_names();
int count(const std::string &name);
// The nth call (from 1) of name whose formatted arguments contain arg_filter fails with
// error (and every later one too when persist): registry calls return it, BOOL calls return
// FALSE with it as the last error, handle calls INVALID_HANDLE_VALUE, LoadLibraryA and
// GetProcAddress NULL, count calls 0, GetFileAttributesA INVALID_FILE_ATTRIBUTES, win_fopen NULL. "write" names the writes of a
// file stream opened by win_fopen (one per output call, with the path and text as args; the
// bytes then wait in the stream's 4 KiB buffer until it fills, fflush or a close), "fclose"
// its close, which when it fails loses what the buffer held; "stdout" / "stderr" a flush of standard
// output / error, whose text is then lost. The failing call is still recorded. Calls are
// counted from this fail() on. GetLastError, SetLastError, GetCurrentProcess and SleepEx
// are recorded and counted but have no failure to give.
void fail(const std::string &name, int nth = 1, DWORD error = ERROR_ACCESS_DENIED,
          bool persist = false, const std::string &arg_filter = "");
// No call fails any more: for looking at the machine as it is after a run with faults.
void clear_faults();
// Number of calls made so far, counting every name: for sweeping faults over a run.
int total_calls();
// Fail the nth call of any name (counted as in total_calls) with error.
void fail_nth_call(int nth, DWORD error);

// ---- Power cut. The process stops dead right after its nth call (counted as in
// total_calls, from this cut_power_after() on): no later call takes effect, the run ends as
// CUT, what the tool's file streams had put out (a full buffer, fflush, a close) stays on
// disk, what their buffers held is lost, and
// standard output not yet flushed is lost.
void cut_power_after(int nth);
// The next process on the same machine, as after a power cut and a fresh start: files,
// registry, shield and pending renames stay; open handles and streams of the process before
// are gone, and console input, transcripts, call record and faults start empty.
void next_process();

// ---- Running the tool. The tool's exit(), an endless sleep, and a blocking read with no
// input left are turned into outcomes instead of ending or hanging the test process.
struct Outcome {
    enum Kind { RETURNED, EXITED, IDLE, BLOCKED, CUT } kind;
    int code;  // the value returned or passed to exit()
};
Outcome run(int (*entry)());

}  // namespace sim

#endif
