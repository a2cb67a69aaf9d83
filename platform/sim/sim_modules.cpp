// Modules the tool looks into at run time: USER32, loaded for ExitWindowsEx when the restart
// comes, ntdll, for NtDeleteKey and the calls that take names as Windows stores them, and
// KERNEL32, for its WoW64 calls. The 9x family loads no ntdll into a process, and its
// KERNEL32 has no WoW64 calls.
#include "platform/sim/sim_internal.h"

using namespace sim::detail;

namespace {

// Where a 32-bit Windows would map them; any values that are no other handle serve.
const HMODULE kUser32 = reinterpret_cast<HMODULE>(static_cast<uintptr_t>(0x77D40000u));
const HMODULE kNtdll = reinterpret_cast<HMODULE>(static_cast<uintptr_t>(0x7C900000u));
const HMODULE kKernel32 = reinterpret_cast<HMODULE>(static_cast<uintptr_t>(0x7C800000u));

// Windows adds ".dll" to a name without an extension.
bool names_user32(const char *name) {
    return same_name(name, "user32.dll") || same_name(name, "user32");
}

HMODULE module_failed(DWORD error) {
    set_last_error(error);
    return nullptr;
}

struct Export {
    const char *name;
    FARPROC call;
};
template <typename Call> FARPROC as_farproc(Call call) {
    return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)(void)>(call));
}
const Export kNtdllExports[] = {
    {"NtDeleteKey", as_farproc(nt_delete_key)},
    {"NtEnumerateValueKey", as_farproc(nt_enumerate_value_key)},
    {"NtDeleteValueKey", as_farproc(nt_delete_value_key)},
    {"NtEnumerateKey", as_farproc(nt_enumerate_key)},
    {"NtOpenKey", as_farproc(nt_open_key)},
    {"RtlUnicodeToMultiByteN", as_farproc(rtl_unicode_to_multibyte)},
};
// The NT family's KERNEL32 only.
const Export kKernel32Exports[] = {
    {"IsWow64Process2", as_farproc(is_wow64_process2)},
    {"IsWow64Process", as_farproc(is_wow64_process)},
    {"GetSystemWow64DirectoryA", as_farproc(get_system_wow64_directory)},
    {"GetFinalPathNameByHandleA", as_farproc(get_final_path_name)},
};
// From XP on.
const Export kConsoleExports[] = {
    {"GetConsoleProcessList", as_farproc(get_console_process_list)},
    {"GetConsoleWindow", as_farproc(get_console_window)},
};

template <size_t N> FARPROC find_export(const Export (&exports)[N], const char *name) {
    for (const Export &entry : exports)
        if (strcmp(name, entry.name) == 0) return entry.call;
    return nullptr;
}

// Export names are matched exactly, case included.
FARPROC export_of(HMODULE module, const char *name) {
    if (module == kUser32 && strcmp(name, "ExitWindowsEx") == 0) return as_farproc(&ExitWindowsEx);
    if (module == kUser32 && strcmp(name, "IsWindowVisible") == 0)
        return as_farproc(is_window_visible);
    if (module == kNtdll) return find_export(kNtdllExports, name);
    if (module != kKernel32 || machine().system.family != sim::FAMILY_NT) return nullptr;
    if (machine().system.missing_exports.count(name) != 0) return nullptr;
    if (machine().console.processes >= 0)
        if (FARPROC call = find_export(kConsoleExports, name)) return call;
    return find_export(kKernel32Exports, name);
}

}  // namespace

HMODULE LoadLibraryA(LPCSTR name) {
    if (auto fault = record("LoadLibraryA", Args().text(name))) return module_failed(*fault);
    if (!name || !names_user32(name)) return module_failed(ERROR_MOD_NOT_FOUND);
    return kUser32;
}

HMODULE GetModuleHandleA(LPCSTR name) {
    if (auto fault = record("GetModuleHandleA", Args().text(name))) return module_failed(*fault);
    if (name && same_name(name, "kernel32.dll")) return kKernel32;
    if (!name || !same_name(name, "ntdll.dll") || machine().system.family != sim::FAMILY_NT)
        return module_failed(ERROR_MOD_NOT_FOUND);
    return kNtdll;
}

FARPROC GetProcAddress(HMODULE module, LPCSTR name) {
    Args args;
    if (module == kUser32)
        args.raw("user32.dll");
    else if (module == kNtdll)
        args.raw("ntdll");
    else if (module == kKernel32)
        args.raw("kernel32.dll");
    else
        args.hex(reinterpret_cast<uintptr_t>(module));
    // A name below 0x10000 is an ordinal, not a pointer.
    const bool ordinal = reinterpret_cast<uintptr_t>(name) < 0x10000;
    if (ordinal)
        args.hex(reinterpret_cast<uintptr_t>(name));
    else
        args.text(name);
    if (auto fault = record("GetProcAddress", args)) {
        set_last_error(*fault);
        return nullptr;
    }
    if (module != kUser32 && module != kNtdll && module != kKernel32) {
        set_last_error(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    if (FARPROC call = ordinal ? nullptr : export_of(module, name)) return call;
    set_last_error(ERROR_PROC_NOT_FOUND);
    return nullptr;
}
