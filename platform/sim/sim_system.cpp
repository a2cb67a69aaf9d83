// Version, last error, sleeping, the handle calls shared by devices and the console, and
// the process token with its shutdown privilege.
#include "platform/sim/sim_internal.h"

using namespace sim::detail;

namespace {

constexpr LUID kShutdownLuid = {0x13, 0};
constexpr DWORD kShutdownFlags = EWX_SHUTDOWN | EWX_REBOOT | 0x8u /* EWX_POWEROFF */;
constexpr DWORD kVersionInfoSize = sizeof(OSVERSIONINFOA);  // 148
constexpr DWORD kVersionInfoExSize = kVersionInfoSize + 8;  // 156, OSVERSIONINFOEXA

HANDLE current_process() { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)); }

bool is_shutdown(const LUID &luid) {
    return luid.LowPart == kShutdownLuid.LowPart && luid.HighPart == kShutdownLuid.HighPart;
}

std::string format_privileges(const TOKEN_PRIVILEGES *state) {
    if (!state) return "NULL";
    char text[64];
    std::string out = "{";
    snprintf(text, sizeof text, "count=0x%x", state->PrivilegeCount);
    out += text;
    for (DWORD i = 0; i < state->PrivilegeCount; ++i) {
        const LUID_AND_ATTRIBUTES &p = state->Privileges[i];
        snprintf(text, sizeof text, ", luid=0x%x:0x%x attributes=0x%x", p.Luid.LowPart,
                 static_cast<DWORD>(p.Luid.HighPart), p.Attributes);
        out += text;
    }
    return out + "}";
}

void fill_version(OSVERSIONINFOA *info) {
    const bool nt = machine().system.family == sim::FAMILY_NT;
    info->dwMajorVersion = nt ? 5 : 4;
    info->dwMinorVersion = nt ? 1 : 10;
    // The 9x family keeps major and minor in the high word of the build number.
    info->dwBuildNumber = nt ? 2600 : 0x040A07CE;
    info->dwPlatformId = nt ? VER_PLATFORM_WIN32_NT : VER_PLATFORM_WIN32_WINDOWS;
    memset(info->szCSDVersion, 0, sizeof info->szCSDVersion);
    if (nt) strcpy(info->szCSDVersion, "Service Pack 3");
    if (info->dwOSVersionInfoSize == kVersionInfoExSize) {
        // wServicePackMajor, wServicePackMinor, wSuiteMask, wProductType, wReserved.
        BYTE *extra = reinterpret_cast<BYTE *>(info) + kVersionInfoSize;
        const WORD service_pack = nt ? 3 : 0;
        memset(extra, 0, 8);
        memcpy(extra, &service_pack, sizeof service_pack);
        extra[6] = nt ? 1 : 0;  // VER_NT_WORKSTATION
    }
}

// Enables or disables the shutdown privilege as asked; other privileges are not held.
bool apply_privileges(const TOKEN_PRIVILEGES &state) {
    System &system = machine().system;
    bool all_assigned = true;
    for (DWORD i = 0; i < state.PrivilegeCount; ++i) {
        const LUID_AND_ATTRIBUTES &p = state.Privileges[i];
        if (!is_shutdown(p.Luid) || !system.privilege_held) {
            all_assigned = false;
            continue;
        }
        system.privilege_enabled = (p.Attributes & SE_PRIVILEGE_ENABLED) != 0;
    }
    return all_assigned;
}

// The state before the change, for a caller that asks for it: the shutdown privilege only.
BOOL report_previous(PTOKEN_PRIVILEGES previous, DWORD size, PDWORD return_size) {
    const DWORD needed = sizeof(TOKEN_PRIVILEGES);
    if (return_size) *return_size = needed;
    if (size < needed) return fail_with(ERROR_INSUFFICIENT_BUFFER);
    previous->PrivilegeCount = 1;
    previous->Privileges[0].Luid = kShutdownLuid;
    previous->Privileges[0].Attributes =
        machine().system.privilege_enabled ? SE_PRIVILEGE_ENABLED : 0;
    return TRUE;
}

}  // namespace

DWORD GetLastError(void) {
    record("GetLastError", Args());
    return machine().system.last_error;
}

void SetLastError(DWORD error) {
    record("SetLastError", Args().hex(error));
    machine().system.last_error = error;
}

DWORD SleepEx(DWORD milliseconds, BOOL alertable) {
    record("SleepEx", Args().hex(milliseconds).hex(static_cast<DWORD>(alertable)));
    note_wait("SleepEx");
    // An endless sleep is where a finished tool waits for the machine to go down.
    if (milliseconds == INFINITE) end_process(sim::Outcome::IDLE, 0);
    if (auto change = std::move(machine().system.during_sleep)) {
        machine().system.during_sleep = nullptr;
        change();
    }
    return 0;
}

void GetLocalTime(LPSYSTEMTIME time) {
    record("GetLocalTime", Args().pointer(time));
    *time = SYSTEMTIME{2026, 12, 2, 8, 18, 30, 5, 0};
}

// As Windows: the size counts the NUL going in, and not coming out.
BOOL GetComputerNameA(LPSTR name, LPDWORD size) {
    if (auto fault = record("GetComputerNameA", Args().pointer(name).size(size)))
        return fail_with(*fault);
    static const char kName[] = "LABPC";
    if (!name || !size) return fail_with(ERROR_INVALID_PARAMETER);
    if (*size < sizeof kName) {
        *size = sizeof kName;
        return fail_with(ERROR_INSUFFICIENT_BUFFER);
    }
    memcpy(name, kName, sizeof kName);
    *size = sizeof kName - 1;
    return TRUE;
}

BOOL GetVersionExA(LPOSVERSIONINFOA info) {
    auto fault = record("GetVersionExA", Args().size(info ? &info->dwOSVersionInfoSize : nullptr));
    if (fault) return fail_with(*fault);
    if (!info) return fail_with(ERROR_INVALID_PARAMETER);
    const DWORD size = info->dwOSVersionInfoSize;
    // The 9x family knows only the plain record; the extended one came with the NT family.
    const bool extended_known = machine().system.family == sim::FAMILY_NT;
    if (size != kVersionInfoSize && !(extended_known && size == kVersionInfoExSize))
        return fail_with(ERROR_INSUFFICIENT_BUFFER);
    fill_version(info);
    return TRUE;
}

HANDLE CreateFileA(LPCSTR name, DWORD desired, DWORD share, LPSECURITY_ATTRIBUTES security,
                   DWORD disposition, DWORD flags, HANDLE template_file) {
    auto fault = record("CreateFileA", Args()
                                           .text(name)
                                           .hex(desired)
                                           .hex(share)
                                           .pointer(security)
                                           .hex(disposition)
                                           .hex(flags)
                                           .handle(template_file));
    if (fault) return fail_handle(*fault);
    if (!name) return fail_handle(ERROR_PATH_NOT_FOUND);
    if (same_name(name, "CONIN$")) return open_console_input(desired, disposition);
    if (same_name(name, "\\\\.\\OrvFsh")) return open_shield(disposition);
    if (std::string(name).compare(0, 4, "\\\\.\\") == 0) return fail_handle(ERROR_FILE_NOT_FOUND);
    return open_file(name, desired, disposition, flags);
}

BOOL CloseHandle(HANDLE handle) {
    auto fault = record("CloseHandle", Args().handle(handle));
    // A failed close still lets go of the handle: the caller cannot do anything else.
    const bool known =
        close_handle(handle) || handle == current_process() || std_handle_name(handle);
    if (fault) return fail_with(*fault);
    return known ? TRUE : fail_with(ERROR_INVALID_HANDLE);
}

HANDLE GetCurrentProcess(void) {
    record("GetCurrentProcess", Args());
    return current_process();
}

BOOL OpenProcessToken(HANDLE process, DWORD desired, PHANDLE token) {
    Args args;
    if (process == current_process())
        args.raw("GetCurrentProcess()");
    else
        args.handle(process);
    if (auto fault = record("OpenProcessToken", args.hex(desired).pointer(token)))
        return fail_with(*fault);
    if (!token) return fail_with(ERROR_INVALID_PARAMETER);
    if (process != current_process()) return fail_with(ERROR_INVALID_HANDLE);
    *token = new_handle(HandleKind::TOKEN, 0, desired);
    return TRUE;
}

BOOL LookupPrivilegeValueA(LPCSTR system_name, LPCSTR name, PLUID luid) {
    auto fault = record("LookupPrivilegeValueA", Args().text(system_name).text(name).pointer(luid));
    if (fault) return fail_with(*fault);
    if (!name || !luid) return fail_with(ERROR_INVALID_PARAMETER);
    if (!same_name(name, SE_SHUTDOWN_NAME)) return fail_with(kErrorNoSuchPrivilege);
    *luid = kShutdownLuid;
    return TRUE;
}

BOOL AdjustTokenPrivileges(HANDLE token, BOOL disable_all, PTOKEN_PRIVILEGES state,
                           DWORD buffer_size, PTOKEN_PRIVILEGES previous, PDWORD return_size) {
    auto fault = record("AdjustTokenPrivileges", Args()
                                                     .handle(token)
                                                     .hex(static_cast<DWORD>(disable_all))
                                                     .raw(format_privileges(state))
                                                     .hex(buffer_size)
                                                     .pointer(previous)
                                                     .pointer(return_size));
    if (fault) return fail_with(*fault);
    const Handle *h = find_handle(token);
    if (!h || h->kind != HandleKind::TOKEN) return fail_with(ERROR_INVALID_HANDLE);
    if (!(h->access & TOKEN_ADJUST_PRIVILEGES)) return fail_with(ERROR_ACCESS_DENIED);
    if (!disable_all && !state) return fail_with(ERROR_INVALID_PARAMETER);
    if (previous && !report_previous(previous, buffer_size, return_size)) return FALSE;
    if (disable_all) {
        machine().system.privilege_enabled = false;
        set_last_error(ERROR_SUCCESS);
        return TRUE;
    }
    // Success even when a privilege is not held: the last error tells.
    set_last_error(apply_privileges(*state) ? ERROR_SUCCESS : ERROR_NOT_ALL_ASSIGNED);
    return TRUE;
}

BOOL ExitWindowsEx(UINT flags, DWORD reason) {
    if (auto fault = record("ExitWindowsEx", Args().hex(flags).hex(reason)))
        return fail_with(*fault);
    System &system = machine().system;
    const bool needs_privilege = system.family == sim::FAMILY_NT && (flags & kShutdownFlags);
    if (needs_privilege && !system.privilege_enabled) return fail_with(ERROR_PRIVILEGE_NOT_HELD);
    system.restart_requested = system.restart_requested || (flags & EWX_REBOOT);
    system.restart_flags = flags;
    return TRUE;
}

namespace sim {

bool restart_requested() { return machine().system.restart_requested; }

UINT restart_flags() { return machine().system.restart_flags; }

void deny_shutdown_privilege() { machine().system.privilege_held = false; }

void during_sleep(std::function<void()> change) { machine().system.during_sleep = std::move(change); }

}  // namespace sim
