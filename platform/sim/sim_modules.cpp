// Modules loaded at run time: USER32, which holds ExitWindowsEx, and nothing else.
#include "platform/sim/sim_internal.h"

using namespace sim::detail;

namespace {

// Where a 32-bit Windows would map USER32; any value that is no other handle serves.
const HMODULE kUser32 = reinterpret_cast<HMODULE>(static_cast<uintptr_t>(0x77D40000u));

// Windows adds ".dll" to a name without an extension.
bool names_user32(const char *name) {
    return same_name(name, "user32.dll") || same_name(name, "user32");
}

}  // namespace

HMODULE LoadLibraryA(LPCSTR name) {
    if (auto fault = record("LoadLibraryA", Args().text(name))) {
        set_last_error(*fault);
        return nullptr;
    }
    if (!name || !names_user32(name)) {
        set_last_error(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    return kUser32;
}

FARPROC GetProcAddress(HMODULE module, LPCSTR name) {
    Args args;
    if (module == kUser32)
        args.raw("user32.dll");
    else
        args.hex(reinterpret_cast<uintptr_t>(module));
    // A name below 0x10000 is an ordinal, not a pointer.
    if (reinterpret_cast<uintptr_t>(name) < 0x10000)
        args.hex(reinterpret_cast<uintptr_t>(name));
    else
        args.text(name);
    if (auto fault = record("GetProcAddress", args)) {
        set_last_error(*fault);
        return nullptr;
    }
    if (module != kUser32) {
        set_last_error(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    // Export names are matched exactly, case included.
    if (reinterpret_cast<uintptr_t>(name) < 0x10000 || strcmp(name, "ExitWindowsEx") != 0) {
        set_last_error(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    // Through void (*)(void), which the compiler takes as matching every function type.
    return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)(void)>(&ExitWindowsEx));
}
