// The one system module the tool looks into at run time: ntdll, for NtDeleteKey. The 9x
// family loads no ntdll into a process.
#include "platform/sim/sim_internal.h"

using namespace sim::detail;

namespace {

const HMODULE kNtdll = reinterpret_cast<HMODULE>(static_cast<uintptr_t>(0x7C900000u));

}  // namespace

HMODULE GetModuleHandleA(LPCSTR name) {
    auto fault = record("GetModuleHandleA", Args().text(name));
    DWORD error = fault ? *fault : 0;
    if (!error && (!name || !same_name(name, "ntdll.dll") ||
                   machine().system.family != sim::FAMILY_NT))
        error = ERROR_MOD_NOT_FOUND;
    if (error) {
        set_last_error(error);
        return nullptr;
    }
    return kNtdll;
}

FARPROC GetProcAddress(HMODULE module, LPCSTR name) {
    auto fault = record("GetProcAddress", Args().raw(module == kNtdll ? "ntdll" : "module").text(name));
    DWORD error = fault ? *fault : 0;
    if (!error && (module != kNtdll || !name || strcmp(name, "NtDeleteKey") != 0))
        error = ERROR_PROC_NOT_FOUND;
    if (error) {
        set_last_error(error);
        return nullptr;
    }
    return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)(void)>(nt_delete_key));
}
