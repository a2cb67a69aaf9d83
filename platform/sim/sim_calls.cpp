// The call record and the faults that make a chosen call fail.
#include "platform/sim/sim_internal.h"

#include <cinttypes>

namespace sim {
namespace detail {

void Args::next() {
    if (!text_.empty()) text_ += ", ";
}

Args &Args::text(const char *s) {
    next();
    text_ += s ? "\"" + std::string(s) + "\"" : "NULL";
    return *this;
}

Args &Args::text(const std::string &s) {
    next();
    text_ += "\"" + s + "\"";
    return *this;
}

Args &Args::hex(uint64_t n) {
    char buffer[24];
    snprintf(buffer, sizeof buffer, "0x%" PRIx64, n);
    next();
    text_ += buffer;
    return *this;
}

Args &Args::key(HKEY key) {
    if (key == HKEY_LOCAL_MACHINE) return raw("HKEY_LOCAL_MACHINE");
    if (key == HKEY_CURRENT_USER) return raw("HKEY_CURRENT_USER");
    if (key == HKEY_CLASSES_ROOT) return raw("HKEY_CLASSES_ROOT");
    if (!key) return raw("NULL");
    const int number = key_handle_number(key);
    if (number > 0) return raw("hkey#" + std::to_string(number));
    return hex(reinterpret_cast<uintptr_t>(key));
}

Args &Args::handle(HANDLE handle) {
    if (!handle) return raw("NULL");
    if (handle == INVALID_HANDLE_VALUE) return raw("INVALID_HANDLE_VALUE");
    if (const char *name = std_handle_name(handle)) return raw(name);
    const int number = handle_number(handle);
    if (number > 0) return raw("handle#" + std::to_string(number));
    return hex(reinterpret_cast<uintptr_t>(handle));
}

Args &Args::pointer(const void *p) { return raw(p ? "out" : "NULL"); }

Args &Args::size(const DWORD *p) {
    if (!p) return raw("NULL");
    char buffer[24];
    snprintf(buffer, sizeof buffer, "&0x%" PRIx32, *p);
    return raw(buffer);
}

Args &Args::size(const LONG *p) { return size(reinterpret_cast<const DWORD *>(p)); }

Args &Args::raw(const std::string &s) {
    next();
    text_ += s;
    return *this;
}

// Calls made from inside glibc's stream code, which must not be unwound: after a power cut
// they fail and take no effect, and the next call of any other name ends the process.
static bool stream_call(const std::string &name) {
    return name == "read" || name == "write" || name == "fclose" || name == "stdout" || name == "stderr";
}

std::optional<DWORD> record(const char *name, const Args &args) {
    CallRecord &r = machine().record;
    if (r.cut_after >= 0 && static_cast<int>(r.calls.size()) >= r.cut_after) {
        if (stream_call(name)) return kErrorNotReady;
        throw ProcessEnd{Outcome{Outcome::CUT, 0}};
    }
    r.calls.push_back(Call{name, args.str()});
    std::optional<DWORD> error;
    auto nth = r.nth_call_faults.find(static_cast<int>(r.calls.size()));
    if (nth != r.nth_call_faults.end()) error = nth->second;
    for (Fault &fault : r.faults) {
        if (fault.name != name || args.str().find(fault.filter) == std::string::npos) continue;
        ++fault.seen;
        if (fault.seen == fault.nth || (fault.persist && fault.seen > fault.nth))
            error = fault.error;
    }
    return error;
}

}  // namespace detail

using detail::machine;

const std::vector<Call> &calls() { return machine().record.calls; }

std::vector<std::string> call_names() {
    std::vector<std::string> names;
    for (const Call &call : calls()) names.push_back(call.name);
    return names;
}

int count(const std::string &name) {
    int n = 0;
    for (const Call &call : calls()) n += call.name == name;
    return n;
}

void fail(const std::string &name, int nth, DWORD error, bool persist,
          const std::string &arg_filter) {
    machine().record.faults.push_back(detail::Fault{name, nth, error, persist, arg_filter});
}

void clear_faults() {
    machine().record.faults.clear();
    machine().record.nth_call_faults.clear();
}

int total_calls() { return static_cast<int>(calls().size()); }

void fail_nth_call(int nth, DWORD error) { machine().record.nth_call_faults[nth] = error; }

void cut_power_after(int nth) { machine().record.cut_after = total_calls() + nth; }

void next_process() {
    detail::close_file_streams();
    detail::drop_std_streams();
    detail::Machine &m = machine();
    m.record = detail::CallRecord{};
    m.registry.handles.clear();
    m.handles.clear();
    m.console.queue.clear();
    m.console.batches.clear();
    m.streams.out_text.clear();
    m.streams.err_text.clear();
    m.system.privilege_enabled = false;
}

}  // namespace sim
