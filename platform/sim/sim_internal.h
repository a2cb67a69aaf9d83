// State of the one simulated machine, shared by the sim_*.cpp files. Tests never see it:
// they go through platform/sim.h.
#ifndef PLATFORM_SIM_SIM_INTERNAL_H
#define PLATFORM_SIM_SIM_INTERNAL_H

#include "platform/sim.h"

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace sim {
namespace detail {

// Win32 codes the tool never names, so sim_api.h does not carry them.
constexpr DWORD kErrorInvalidFunction = 1;
constexpr DWORD kErrorKeyDeleted = 1018;
constexpr DWORD kErrorNoSuchPrivilege = 1313;
constexpr DWORD kErrorNotReady = 21;
constexpr DWORD kDeleteAccess = 0x00010000u;

// ---- Names compared the Windows way: ASCII letters without regard to case. Order is
// by lower-cased bytes, as Wine's server sorts registry names.
std::string lower(std::string text);
bool same_name(const std::string &a, const std::string &b);
struct NameLess {
    bool operator()(const std::string &a, const std::string &b) const;
};
// Stored names are UTF-8. The ANSI calls see them in the machine's code page (Latin-1, or
// the double-byte one): a character outside it becomes '?', a few map by best fit; NULs stay.
std::string to_ansi(const std::string &name);
std::string from_ansi(const std::string &ansi);
std::u16string to_wide(const std::string &name);
std::string from_wide(const std::u16string &wide);

// ---- Call record and faults (sim_calls.cpp).
// Builds the formatted argument text of one call.
class Args {
public:
    Args &text(const char *s);         // "s" or NULL
    Args &text(const std::string &s);  // "s"
    Args &hex(uint64_t n);             // 0x..
    Args &key(HKEY key);               // root name, hkey#N or NULL
    Args &handle(HANDLE handle);       // handle#N, INVALID_HANDLE_VALUE or NULL
    Args &pointer(const void *p);      // "out" or NULL: the pointee is not shown
    Args &size(const DWORD *p);        // &0x.. (the value passed in) or NULL
    Args &size(const LONG *p);
    Args &raw(const std::string &s);
    const std::string &str() const { return text_; }

private:
    void next();
    std::string text_;
};

// Appends one call to the record. Returns the error with which the call must fail when a
// fault hits it; callers that cannot fail ignore it.
std::optional<DWORD> record(const char *name, const Args &args);

// ---- The process (sim_machine.cpp).
struct ProcessEnd {
    Outcome outcome;
};
// Flushes standard output and error unless blocked, then ends the simulated process.
[[noreturn]] void end_process(Outcome::Kind kind, int code);
void set_last_error(DWORD error);
// A failed BOOL call and a failed handle call: the last error set, the failure returned.
BOOL fail_with(DWORD error);
HANDLE fail_handle(DWORD error);

// ---- Registry (sim_registry_tree.cpp).
struct Value {
    std::string name;  // as first created; "" is the default value
    DWORD type = REG_NONE;
    std::string data;
    bool stays = false;  // a deletion reports success and leaves it
};
struct Key {
    std::string name;
    Key *parent = nullptr;
    std::map<std::string, Value, NameLess> values;
    std::map<std::string, std::shared_ptr<Key>, NameLess> subkeys;
    REGSAM denied = 0;
    bool deleted = false;
    bool stays = false;  // a deletion reports success and leaves it
    bool grows = false;  // each listing adds a value or subkey
    bool link = false;   // made as a registry link
};
using KeyPtr = std::shared_ptr<Key>;
struct KeyHandle {
    KeyPtr key;
    REGSAM access;
};
struct Registry {
    KeyPtr machine = std::make_shared<Key>();
    KeyPtr user = std::make_shared<Key>();
    KeyPtr classes;  // null while HKEY_CLASSES_ROOT is a view of HKLM\Software\Classes
    std::map<int, KeyHandle> handles;
    int next_handle = 1;
    int deleted_while_open = 0;
    std::vector<std::string> removed;  // keys taken out, each with its tree, in order
};
// The tree behind a predefined root, or null for anything else.
KeyPtr root_key(HKEY root);
// Follows the links on the path, the last one too unless open_link; null when a link's
// target is missing.
KeyPtr find_key(const KeyPtr &base, const std::string &path, bool open_link = false);
KeyPtr create_key(const KeyPtr &base, const std::string &path);
bool is_root(const Key *key);
void put_value(Key &key, const std::string &name, DWORD type, const std::string &data);
// Takes the key and everything below it out of the tree; handles on them go stale.
void remove_key(const KeyPtr &key);
int handles_within(const Key &key);  // open handles on the key or a key below it
bool denied(const Key &key, REGSAM desired);
HKEY new_key_handle(const KeyPtr &key, REGSAM access);
// NtDeleteKey, NtEnumerateValueKey, NtDeleteValueKey and RtlUnicodeToMultiByteN as ntdll
// exports them; NTSTATUS results.
LONG nt_delete_key(HANDLE key);
LONG nt_enumerate_value_key(HANDLE key, DWORD index, DWORD info_class, void *info, DWORD length,
                            DWORD *result_length);
LONG nt_delete_value_key(HANDLE key, const void *name);
LONG nt_enumerate_key(HANDLE key, DWORD index, DWORD info_class, void *info, DWORD length,
                      DWORD *result_length);
LONG nt_open_key(HANDLE *key, DWORD access, const void *attributes);
LONG rtl_unicode_to_multibyte(char *out, DWORD out_size, DWORD *result, const WCHAR *in,
                              DWORD in_bytes);
int key_handle_number(HKEY key);  // N of hkey#N; 0 for anything else
void install_default_registry();
// The path that RegOpenKeyExA opens under root: on a 64-bit machine HKLM\Software outside
// its shared Classes is seen through Wow6432Node unless desired holds KEY_WOW64_64KEY.
std::string registry_view(HKEY root, const char *sub_key, REGSAM desired);

// ---- Files (sim_paths.cpp, sim_files.cpp). A "key" here is a normalised Windows path: lower case,
// drive letter, backslashes, no . or .. parts ("c:\windows\win.ini").
enum class Node { MISSING, NO_PARENT, FILE, DIRECTORY };
struct Files {
    std::string root;  // host directory that holds drive folders
    std::map<std::string, DWORD> attributes;
    std::map<std::string, bool> held;  // by key: whether reading is shared
    std::vector<PendingRename> pending;
    std::string windows_dir = "C:\\WINDOWS";
    std::string system_dir = "C:\\WINDOWS\\SYSTEM32";
    long long disk_space = -1;  // bytes stream writes may still add; -1: no limit
    std::map<std::string, std::string> short_names;  // key -> short form of its last name
    std::set<std::string> reparse_links;  // host symbolic links that Windows sees as reparse points
    int next_fd = 3;                      // msvcrt's next descriptor
};
// CreateFileA on a file, folder or device name (sim_handles.cpp).
HANDLE open_file(LPCSTR name, DWORD desired, DWORD disposition, DWORD flags);
// GetFinalPathNameByHandleA, which KERNEL32 exports from Vista on.
DWORD WINAPI get_final_path_name(HANDLE file, LPSTR path, DWORD size, DWORD flags);
bool normalize(const std::string &windows_path, std::string *key);
std::string host_of(const std::string &key);
Node node_of(const std::string &key);
DWORD attributes_of(const std::string &key, Node node);
// Held by another program, or open through a stream of this one.
bool in_use(const std::string &key);
// The missing-path error for a key: ERROR_PATH_NOT_FOUND when its folder is missing too.
DWORD missing_error(Node node);
bool read_host(const std::string &key, std::string *bytes);
bool write_host(const std::string &key, const std::string &bytes);
void forget_attributes(const std::string &key);
// The key that a path the tool names reaches: normalize(), and on a 64-bit machine the
// system directory and everything below it are the SysWOW64 ones.
bool program_path(const std::string &windows_path, std::string *key);
std::string make_host_root();
void remove_host_root(const std::string &root);

// ---- Streams (sim_streams.cpp, sim_stdio.cpp).
struct FileStream;
// Standard output or error: a cookie stream that appends to the machine's transcript.
struct StdStream {
    const char *name;      // "stdout" or "stderr", also the name of its flushes
    std::string *target;   // out_text or err_text
    bool dropped = false;  // pending text goes nowhere
    std::vector<char> buffer;
    FILE *file = nullptr;
};
struct Streams {
    std::set<FileStream *> files;
    std::unique_ptr<StdStream> out;
    std::unique_ptr<StdStream> err;
    std::string out_text;
    std::string err_text;
    std::vector<std::string> unseen_at_waits;  // a wait's name, for each that found text held back
};
// A stream over the host file descriptor fd ("r", "w" or "a"), on the machine's file key that
// the tool named path.
FILE *new_file_stream(const std::string &path, const std::string &key, int fd, const char *mode);
bool stream_open_on(const std::string &key);
void close_file_streams();
// A process that exits puts its file streams' buffers out, as msvcrt's exit does.
void flush_file_streams();
void flush_std_streams();
void drop_std_streams();  // pending text is lost, as when a process is killed
// The tool waits (for a key or for time): text it wrote that is still held in a stream's
// buffer is not on the screen, and the wait is noted.
void note_wait(const char *name);

// ---- Console (sim_console.cpp).
struct Console {
    bool present = true;
    DWORD input_mode = 0x1F7;
    DWORD output_mode = 0x3;
    std::deque<INPUT_RECORD> queue;
    std::deque<std::vector<INPUT_RECORD>> batches;
    bool empty_reads = false;  // every read succeeds and delivers nothing
    bool output_redirected = false;  // standard output and error go to a file or pipe
    int processes = 2;         // attached processes; -1: the calls are missing
    ConsoleWindow window = WINDOW_SHOWN;
};
DWORD WINAPI get_console_process_list(LPDWORD list, DWORD count);
HWND WINAPI get_console_window(void);
BOOL WINAPI is_window_visible(HWND window);
HANDLE open_console_input(DWORD desired, DWORD disposition);

// ---- Handles of devices, tokens and the console (sim_machine.cpp).
enum class HandleKind { CONSOLE_INPUT, TOKEN, DEVICE, FILE };
struct Handle {
    HandleKind kind;
    DWORD disposition;  // as CreateFileA was given it
    DWORD access;       // as the handle was opened with
    // Files and folders (sim_handles.cpp).
    std::string path;           // as the tool named it
    std::string key;            // the file reached; empty for a character device (NUL, COM1)
    bool link_itself = false;   // a symbolic link opened as itself, not followed
    uint64_t position = 0;
    int fd = -1;                // msvcrt's descriptor over the handle
};
HANDLE new_handle(HandleKind kind, DWORD disposition, DWORD access);
Handle *find_handle(HANDLE handle);
bool close_handle(HANDLE handle);
int handle_number(HANDLE handle);  // N of handle#N; 0 for anything else
// Standard handles: fixed values like a console process gets; never counted as open.
HANDLE std_handle(DWORD which);
const char *std_handle_name(HANDLE handle);

// ---- Shield device (sim_device.cpp).
struct Shield {
    bool installed = false;
    int32_t state = 0;
    bool refuse_query = false;
    bool refuse_set = false;
    std::vector<Ioctl> ioctls;
    int opens = 0;
};
HANDLE open_shield(DWORD disposition);

// ---- KERNEL32's WoW64 calls, found through GetProcAddress (sim_wow64.cpp).
BOOL is_wow64_process(HANDLE process, BOOL *wow64);
BOOL is_wow64_process2(HANDLE process, USHORT *process_machine, USHORT *native_machine);
UINT get_system_wow64_directory(LPSTR buffer, UINT size);

// ---- Version, privileges, shutdown (sim_system.cpp).
struct System {
    Family family = FAMILY_NT;
    bool double_byte = false;        // the ANSI code page gives CJK characters as two bytes
    DWORD last_error = 0;
    bool wow64 = false;              // a 64-bit machine: the tool runs under WoW64
    bool arm64 = false;              // that machine is ARM64: the tool runs emulated
    std::set<std::string> missing_exports;  // KERNEL32 calls this Windows lacks
    bool privilege_held = true;      // the user may shut the machine down
    bool privilege_enabled = false;  // enabled in the process token
    bool restart_requested = false;
    UINT restart_flags = 0;
    std::function<void()> during_sleep;
};

struct Fault {
    std::string name;
    int nth;
    DWORD error;
    bool persist;
    std::string filter;
    int seen = 0;
};
struct CallRecord {
    std::vector<Call> calls;
    std::vector<Fault> faults;
    std::map<int, DWORD> nth_call_faults;
    int cut_after = -1;  // calls that take effect before the power cut; -1: none
};

struct Machine {
    CallRecord record;
    System system;
    Registry registry;
    Files files;
    Streams streams;
    Console console;
    Shield shield;
    std::map<int, Handle> handles;
    int next_handle = 1;
};
Machine &machine();

}  // namespace detail
}  // namespace sim

#endif
