// A 64-bit machine as a 32-bit program sees it under WoW64, measured under Wine (and on
// ARM64 as documented): its system directory reaches SysWOW64, and HKLM\Software has a
// 32-bit view of its own.
#include "platform/sim/sim_internal.h"

namespace sim {
namespace detail {

namespace {

const char kSoftware[] = "software\\";
// Kept in one copy for both views.
const char *const kSharedKeys[] = {"classes", "wow6432node"};

std::string wow64_dir() { return machine().files.windows_dir + "\\SysWOW64"; }

bool under(const std::string &key, const std::string &dir) {
    return key.compare(0, dir.size(), dir) == 0 && (key.size() == dir.size() || key[dir.size()] == '\\');
}

}  // namespace

bool program_path(const std::string &windows_path, std::string *key) {
    if (!normalize(windows_path, key)) return false;
    std::string system, syswow;
    if (!machine().system.wow64 || !normalize(machine().files.system_dir, &system) ||
        !normalize(wow64_dir(), &syswow) || !under(*key, system))
        return true;
    *key = syswow + key->substr(system.size());
    return true;
}

std::string registry_view(HKEY root, const char *sub_key, REGSAM desired) {
    const std::string path = sub_key ? sub_key : "";
    if (!machine().system.wow64 || root != HKEY_LOCAL_MACHINE || (desired & KEY_WOW64_64KEY))
        return path;
    const std::string low = lower(path);
    const size_t length = sizeof kSoftware - 1;
    if (low.compare(0, length, kSoftware) != 0) return path;
    for (const char *shared : kSharedKeys)
        if (under(low.substr(length), shared)) return path;
    return path.substr(0, length) + "Wow6432Node\\" + path.substr(length);
}

BOOL is_wow64_process(HANDLE process, BOOL *wow64) {
    Args args;
    // The pseudo handle of the own process has the value of INVALID_HANDLE_VALUE.
    args.raw(process == INVALID_HANDLE_VALUE ? "GetCurrentProcess()" : "handle").pointer(wow64);
    if (auto fault = record("IsWow64Process", args)) {
        set_last_error(*fault);
        return FALSE;
    }
    if (!wow64) {
        set_last_error(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // On ARM64 an emulated x86 program is told FALSE, as on 32-bit Windows.
    *wow64 = machine().system.wow64 && !machine().system.arm64 ? TRUE : FALSE;
    return TRUE;
}

// IMAGE_FILE_MACHINE_* values.
const USHORT kMachineUnknown = 0, kMachineI386 = 0x014C, kMachineAmd64 = 0x8664, kMachineArm64 = 0xAA64;

BOOL is_wow64_process2(HANDLE process, USHORT *process_machine, USHORT *native_machine) {
    Args args;
    args.raw(process == INVALID_HANDLE_VALUE ? "GetCurrentProcess()" : "handle").pointer(process_machine);
    args.pointer(native_machine);
    if (auto fault = record("IsWow64Process2", args)) {
        set_last_error(*fault);
        return FALSE;
    }
    if (!process_machine) {
        set_last_error(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const System &system = machine().system;
    *process_machine = system.wow64 ? kMachineI386 : kMachineUnknown;
    if (native_machine)
        *native_machine = !system.wow64 ? kMachineI386 : system.arm64 ? kMachineArm64 : kMachineAmd64;
    return TRUE;
}

UINT get_system_wow64_directory(LPSTR buffer, UINT size) {
    if (auto fault = record("GetSystemWow64DirectoryA", Args().pointer(buffer).hex(size))) {
        set_last_error(*fault);
        return 0;
    }
    // 32-bit Windows has the export but no such directory.
    if (!machine().system.wow64) {
        set_last_error(ERROR_CALL_NOT_IMPLEMENTED);
        return 0;
    }
    const std::string dir = wow64_dir();
    if (!buffer || size <= dir.size()) return static_cast<UINT>(dir.size() + 1);
    dir.copy(buffer, dir.size());
    buffer[dir.size()] = 0;
    return static_cast<UINT>(dir.size());
}

}  // namespace detail

void set_64bit_machine(Arch arch) {
    detail::machine().system.wow64 = true;
    detail::machine().system.arm64 = arch == ARCH_ARM64;
    make_dir(detail::wow64_dir());
    create_key(HKEY_LOCAL_MACHINE, "SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Run");
}

void drop_export(const std::string &name) { detail::machine().system.missing_exports.insert(name); }

}  // namespace sim
