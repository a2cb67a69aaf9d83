// The shield's device \\.\OrvFsh: a resident driver outside the tool that keeps a 4-byte
// state, read and set through two control codes.
#include "platform/sim/sim_internal.h"

using namespace sim::detail;

namespace {

constexpr DWORD kGetState = 0x5349A00C;
constexpr DWORD kSetState = 0x5349A010;

BOOL get_state(LPVOID out, DWORD out_size, LPDWORD returned) {
    Shield &shield = machine().shield;
    if (shield.refuse_query) return fail_with(kErrorInvalidFunction);
    if (!out || out_size < sizeof shield.state) return fail_with(ERROR_INSUFFICIENT_BUFFER);
    memcpy(out, &shield.state, sizeof shield.state);
    if (returned) *returned = sizeof shield.state;
    return TRUE;
}

BOOL set_state(LPVOID in, DWORD in_size) {
    Shield &shield = machine().shield;
    if (shield.refuse_set) return fail_with(kErrorInvalidFunction);
    if (!in || in_size < sizeof shield.state) return fail_with(ERROR_INSUFFICIENT_BUFFER);
    memcpy(&shield.state, in, sizeof shield.state);
    return TRUE;
}

}  // namespace

HANDLE sim::detail::open_shield(DWORD disposition) {
    Shield &shield = machine().shield;
    if (!shield.installed) {
        set_last_error(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    ++shield.opens;
    return new_handle(HandleKind::DEVICE, disposition, GENERIC_READ | GENERIC_WRITE);
}

BOOL DeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD in_size, LPVOID out,
                     DWORD out_size, LPDWORD returned, LPOVERLAPPED overlapped) {
    auto fault = record("DeviceIoControl", Args()
                                               .handle(device)
                                               .hex(code)
                                               .pointer(in)
                                               .hex(in_size)
                                               .pointer(out)
                                               .hex(out_size)
                                               .pointer(returned)
                                               .pointer(overlapped));
    if (returned) *returned = 0;
    if (fault) return fail_with(*fault);
    const Handle *handle = find_handle(device);
    if (!handle) return fail_with(ERROR_INVALID_HANDLE);
    if (handle->kind != HandleKind::DEVICE) return fail_with(kErrorInvalidFunction);
    // A synchronous call has nowhere else to put the byte count.
    if (!returned && !overlapped) return fail_with(ERROR_INVALID_PARAMETER);
    const char *bytes = static_cast<const char *>(in);
    machine().shield.ioctls.push_back(
        sim::Ioctl{code, bytes ? std::string(bytes, in_size) : "", handle->disposition});
    if (code == kGetState) return get_state(out, out_size, returned);
    if (code == kSetState) return set_state(in, in_size);
    return fail_with(kErrorInvalidFunction);
}

namespace sim {

void install_shield(int32_t state, bool refuse_query, bool refuse_set) {
    Shield &shield = machine().shield;
    shield.installed = true;
    shield.state = state;
    shield.refuse_query = refuse_query;
    shield.refuse_set = refuse_set;
}

std::vector<Ioctl> ioctls() { return machine().shield.ioctls; }

int device_opens() { return machine().shield.opens; }

int32_t shield_state() { return machine().shield.state; }

}  // namespace sim
