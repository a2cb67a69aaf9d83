// The one machine: made anew by reset(), run by run(), with the table of device, token and
// console handles.
#include "platform/sim/sim_internal.h"

namespace sim {
namespace detail {

namespace {

void tear_down();

// Holds the machine; at process exit it removes the last temporary directory too.
struct Holder {
    std::unique_ptr<Machine> machine;
    ~Holder() {
        if (machine) tear_down();
    }
};
Holder holder;

void set_up() {
    holder.machine = std::make_unique<Machine>();
    Machine &m = *holder.machine;
    m.files.root = make_host_root();
    set_windows_dir(m.files.windows_dir);
    set_system_dir(m.files.system_dir);
    install_default_registry();
}

void tear_down() {
    close_file_streams();
    drop_std_streams();
    remove_host_root(holder.machine->files.root);
    holder.machine.reset();
}

// Below the registry's handles (sim_registry_tree.cpp), above the standard handles.
constexpr uintptr_t kHandleBase = 0x10000;
constexpr uintptr_t kHandleEnd = 0x1000000;
constexpr uintptr_t kStdInput = 0x3, kStdOutput = 0x7, kStdError = 0xB;

}  // namespace

Machine &machine() {
    if (!holder.machine) set_up();
    return *holder.machine;
}

void set_last_error(DWORD error) { machine().system.last_error = error; }

BOOL fail_with(DWORD error) {
    set_last_error(error);
    return FALSE;
}

HANDLE fail_handle(DWORD error) {
    set_last_error(error);
    return INVALID_HANDLE_VALUE;
}

void end_process(Outcome::Kind kind, int code) {
    // A process that hangs never gets its buffered output onto the screen.
    if (kind != Outcome::BLOCKED) flush_std_streams();
    if (kind == Outcome::EXITED) flush_file_streams();
    throw ProcessEnd{Outcome{kind, code}};
}

HANDLE new_handle(HandleKind kind, DWORD disposition, DWORD access) {
    Machine &m = machine();
    const int number = m.next_handle++;
    Handle &handle = m.handles[number];
    handle.kind = kind;
    handle.disposition = disposition;
    handle.access = access;
    return reinterpret_cast<HANDLE>(kHandleBase + 4 * static_cast<uintptr_t>(number));
}

int handle_number(HANDLE handle) {
    const uintptr_t value = reinterpret_cast<uintptr_t>(handle);
    if (value <= kHandleBase || value >= kHandleEnd || (value - kHandleBase) % 4 != 0) return 0;
    return static_cast<int>((value - kHandleBase) / 4);
}

Handle *find_handle(HANDLE handle) {
    auto it = machine().handles.find(handle_number(handle));
    return it == machine().handles.end() ? nullptr : &it->second;
}

bool close_handle(HANDLE handle) { return machine().handles.erase(handle_number(handle)) > 0; }

HANDLE std_handle(DWORD which) {
    switch (which) {
    case STD_INPUT_HANDLE: return reinterpret_cast<HANDLE>(kStdInput);
    case STD_OUTPUT_HANDLE: return reinterpret_cast<HANDLE>(kStdOutput);
    case STD_ERROR_HANDLE: return reinterpret_cast<HANDLE>(kStdError);
    default: return INVALID_HANDLE_VALUE;
    }
}

const char *std_handle_name(HANDLE handle) {
    switch (reinterpret_cast<uintptr_t>(handle)) {
    case kStdInput: return "handle#stdin";
    case kStdOutput: return "handle#stdout";
    case kStdError: return "handle#stderr";
    default: return nullptr;
    }
}

}  // namespace detail

using detail::machine;

void reset() {
    if (detail::holder.machine) detail::tear_down();
    detail::set_up();
}

void set_family(Family family) { machine().system.family = family; }

void set_double_byte_code_page() { machine().system.double_byte = true; }

int open_handles() { return static_cast<int>(machine().handles.size()); }

Outcome run(int (*entry)()) {
    detail::drop_std_streams();
    try {
        const int result = entry();
        detail::flush_std_streams();
        detail::flush_file_streams();
        return Outcome{Outcome::RETURNED, result};
    } catch (const detail::ProcessEnd &end) {
        return end.outcome;
    }
}

}  // namespace sim
