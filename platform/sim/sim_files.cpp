// File calls of KERNEL32 and the directory queries, on the mapped host directory.
#include "platform/sim/sim_internal.h"

#include <filesystem>
#include <stdexcept>

namespace fs = std::filesystem;
using namespace sim::detail;

namespace {

constexpr DWORD kSettableAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                      FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                      0x100u /* temporary */ | 0x1000u /* offline */ |
                                      0x2000u /* not content indexed */;

// A path that names an existing file or folder; the last error says why not.
bool existing(LPCSTR path, std::string *key, Node *node) {
    if (!path || !program_path(path, key)) {
        set_last_error(ERROR_PATH_NOT_FOUND);
        return false;
    }
    *node = node_of(*key);
    if (*node == Node::FILE || *node == Node::DIRECTORY) return true;
    set_last_error(missing_error(*node));
    return false;
}

bool read_only(const std::string &key, Node node) {
    return (attributes_of(key, node) & FILE_ATTRIBUTE_READONLY) != 0;
}

// Why an existing target cannot be replaced, or 0 when it can.
DWORD replace_error(const std::string &from, Node from_node, const std::string &to, Node to_node) {
    if (from_node == Node::DIRECTORY || to_node == Node::DIRECTORY) return ERROR_ACCESS_DENIED;
    if (read_only(to, to_node)) return ERROR_ACCESS_DENIED;
    if (from != to && in_use(to)) return ERROR_SHARING_VIOLATION;
    return 0;
}

BOOL move_now(LPCSTR from, LPCSTR to, bool replace) {
    std::string from_key, to_key;
    Node from_node;
    if (!existing(from, &from_key, &from_node)) return FALSE;
    if (!to || !program_path(to, &to_key)) return fail_with(ERROR_PATH_NOT_FOUND);
    const Node to_node = node_of(to_key);
    if (to_node == Node::NO_PARENT) return fail_with(ERROR_PATH_NOT_FOUND);
    if (in_use(from_key)) return fail_with(ERROR_SHARING_VIOLATION);
    const bool target_exists = to_node == Node::FILE || to_node == Node::DIRECTORY;
    if (target_exists && from_key != to_key) {
        if (!replace) return fail_with(ERROR_ALREADY_EXISTS);
        if (DWORD error = replace_error(from_key, from_node, to_key, to_node))
            return fail_with(error);
    }
    std::error_code error;
    fs::rename(host_of(from_key), host_of(to_key), error);
    if (error) return fail_with(ERROR_ACCESS_DENIED);
    auto &table = machine().files.attributes;
    auto it = table.find(from_key);
    const bool had = it != table.end();
    const DWORD moved = had ? it->second : 0;
    table.erase(from_key);
    table.erase(to_key);
    if (had) table[to_key] = moved;
    return TRUE;
}

UINT copy_dir_text(const std::string &text, LPSTR buffer, UINT size) {
    if (text.empty()) return fail_with(ERROR_FILE_NOT_FOUND);
    // Too small a buffer gets nothing; the answer is the size needed with the NUL.
    if (!buffer || size <= text.size()) return static_cast<UINT>(text.size() + 1);
    text.copy(buffer, text.size());
    buffer[text.size()] = 0;
    return static_cast<UINT>(text.size());
}

}  // namespace

UINT GetWindowsDirectoryA(LPSTR buffer, UINT size) {
    if (auto fault = record("GetWindowsDirectoryA", Args().pointer(buffer).hex(size)))
        return fail_with(*fault);
    return copy_dir_text(machine().files.windows_dir, buffer, size);
}

UINT GetSystemDirectoryA(LPSTR buffer, UINT size) {
    if (auto fault = record("GetSystemDirectoryA", Args().pointer(buffer).hex(size)))
        return fail_with(*fault);
    return copy_dir_text(machine().files.system_dir, buffer, size);
}

DWORD GetFileAttributesA(LPCSTR path) {
    if (auto fault = record("GetFileAttributesA", Args().text(path))) {
        set_last_error(*fault);
        return INVALID_FILE_ATTRIBUTES;
    }
    std::string key;
    Node node;
    if (!existing(path, &key, &node)) return INVALID_FILE_ATTRIBUTES;
    return attributes_of(key, node);
}

BOOL SetFileAttributesA(LPCSTR path, DWORD attributes) {
    if (auto fault = record("SetFileAttributesA", Args().text(path).hex(attributes)))
        return fail_with(*fault);
    std::string key;
    Node node;
    if (!existing(path, &key, &node)) return FALSE;
    DWORD kept = attributes & kSettableAttributes;
    // A file with none of these bits reads back as FILE_ATTRIBUTE_NORMAL.
    if (node == Node::FILE && kept == 0) kept = FILE_ATTRIBUTE_NORMAL;
    machine().files.attributes[key] = kept;
    return TRUE;
}

BOOL DeleteFileA(LPCSTR path) {
    if (auto fault = record("DeleteFileA", Args().text(path))) return fail_with(*fault);
    std::string key;
    Node node;
    if (!existing(path, &key, &node)) return FALSE;
    if (node == Node::DIRECTORY || read_only(key, node)) return fail_with(ERROR_ACCESS_DENIED);
    if (in_use(key)) return fail_with(ERROR_SHARING_VIOLATION);
    std::error_code error;
    if (!fs::remove(host_of(key), error)) return fail_with(ERROR_ACCESS_DENIED);
    forget_attributes(key);
    return TRUE;
}

BOOL MoveFileA(LPCSTR from, LPCSTR to) {
    if (auto fault = record("MoveFileA", Args().text(from).text(to))) return fail_with(*fault);
    return move_now(from, to, false);
}

BOOL MoveFileExA(LPCSTR from, LPCSTR to, DWORD flags) {
    if (auto fault = record("MoveFileExA", Args().text(from).text(to).hex(flags)))
        return fail_with(*fault);
    if (machine().system.family == sim::FAMILY_9X) return fail_with(ERROR_CALL_NOT_IMPLEMENTED);
    if (!from) return fail_with(ERROR_INVALID_PARAMETER);
    if (flags & MOVEFILE_DELAY_UNTIL_REBOOT) {
        // Windows only notes the move for the next boot; the file may well be in use now.
        machine().files.pending.push_back(sim::PendingRename{from, to ? to : "", flags});
        return TRUE;
    }
    if (!to) return fail_with(ERROR_INVALID_PARAMETER);
    return move_now(from, to, (flags & MOVEFILE_REPLACE_EXISTING) != 0);
}

// Each name on the path as given, or the short form set for it; the file must exist.
DWORD GetShortPathNameA(LPCSTR long_path, LPSTR short_path, DWORD size) {
    if (auto fault = record("GetShortPathNameA", Args().text(long_path).pointer(short_path).hex(size)))
        return fail_with(*fault);
    std::string key;
    Node node;
    if (!existing(long_path, &key, &node)) return 0;
    const std::string path = long_path;
    std::string result;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('\\', start);
        if (end == std::string::npos) end = path.size();
        std::string part = path.substr(start, end - start);
        std::string prefix;
        if (!part.empty() && normalize(path.substr(0, end), &prefix)) {
            auto it = machine().files.short_names.find(prefix);
            if (it != machine().files.short_names.end()) part = it->second;
        }
        result += part;
        if (end < path.size()) result += '\\';
        start = end + 1;
    }
    if (!short_path || size <= result.size()) return static_cast<DWORD>(result.size() + 1);
    result.copy(short_path, result.size());
    short_path[result.size()] = 0;
    return static_cast<DWORD>(result.size());
}

namespace sim {

namespace {

std::string key_or_throw(const std::string &windows_path) {
    std::string key;
    if (!normalize(windows_path, &key))
        throw std::invalid_argument("sim: not a file path: " + windows_path);
    return key;
}

}  // namespace

void set_windows_dir(const std::string &path) {
    machine().files.windows_dir = path;
    if (!path.empty()) make_dir(path);
}

void set_system_dir(const std::string &path) {
    machine().files.system_dir = path;
    if (!path.empty()) make_dir(path);
}

void write_file(const std::string &windows_path, const std::string &bytes, DWORD attributes) {
    const std::string key = key_or_throw(windows_path);
    fs::create_directories(fs::path(host_of(key)).parent_path());
    if (!write_host(key, bytes)) throw std::runtime_error("sim::write_file: " + windows_path);
    machine().files.attributes[key] = attributes;
}

bool read_file(const std::string &windows_path, std::string *bytes) {
    const std::string key = key_or_throw(windows_path);
    return node_of(key) == Node::FILE && read_host(key, bytes);
}

bool exists(const std::string &windows_path) {
    const Node node = node_of(key_or_throw(windows_path));
    return node == Node::FILE || node == Node::DIRECTORY;
}

void make_dir(const std::string &windows_path) {
    fs::create_directories(host_of(key_or_throw(windows_path)));
}

DWORD attributes(const std::string &windows_path) {
    const std::string key = key_or_throw(windows_path);
    const Node node = node_of(key);
    if (node != Node::FILE && node != Node::DIRECTORY) return INVALID_FILE_ATTRIBUTES;
    return attributes_of(key, node);
}

void hold_in_use(const std::string &windows_path, bool held, bool readable) {
    const std::string key = key_or_throw(windows_path);
    if (held)
        machine().files.held[key] = readable;
    else
        machine().files.held.erase(key);
}

std::vector<PendingRename> pending_renames() { return machine().files.pending; }

void set_short_name(const std::string &windows_path, const std::string &short_name) {
    machine().files.short_names[key_or_throw(windows_path)] = short_name;
}

void set_disk_space(long long bytes) { machine().files.disk_space = bytes; }

}  // namespace sim
