// Files, folders and devices opened by CreateFileA, the calls the tool makes on such a handle
// before it writes the log, and msvcrt's descriptors that turn the handle into a stream.
// Links are host links in the machine's directory: a hard link is the same host file under a
// second name; a symbolic link is a host symbolic link, which Windows either sees as a
// reparse point (its own kind) or, as Wine shows a host link, as the file it names.
#include "platform/sim/sim_internal.h"

#include <cctype>
#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <unistd.h>

namespace fs = std::filesystem;

using namespace sim::detail;

namespace {

// A device's name in any folder, with any extension: "C:\TEMP\nul.log" is NUL.
std::string device_in(const std::string &name) {
    const size_t start = name.find_last_of("\\/:") == std::string::npos ? 0 : name.find_last_of("\\/:") + 1;
    std::string base = lower(name.substr(start, name.find('.', start) - start));
    while (!base.empty() && base.back() == ' ') base.pop_back();
    static const char *const kDevices[] = {"con", "prn", "aux", "nul"};
    for (const char *device : kDevices)
        if (base == device) return base;
    const bool numbered = base.size() == 4 && (base.compare(0, 3, "com") == 0 || base.compare(0, 3, "lpt") == 0) &&
                          base[3] >= '1' && base[3] <= '9';
    return numbered ? base : "";
}

HANDLE open_handle(const char *name, const std::string &key, DWORD disposition, DWORD desired, bool link_itself) {
    HANDLE handle = new_handle(HandleKind::FILE, disposition, desired);
    Handle *opened = find_handle(handle);
    opened->path = name;
    opened->key = key;
    opened->link_itself = link_itself;
    return handle;
}

// Why an existing file or folder cannot be opened so, or 0.
DWORD open_error(const std::string &key, Node node, DWORD desired, DWORD disposition, DWORD flags) {
    if (disposition == CREATE_NEW) return ERROR_FILE_EXISTS;
    if (node == Node::DIRECTORY) return (flags & FILE_FLAG_BACKUP_SEMANTICS) ? 0 : ERROR_ACCESS_DENIED;
    const auto hold = machine().files.held.find(key);
    const bool data = (desired & (GENERIC_READ | GENERIC_WRITE)) != 0;
    if (hold != machine().files.held.end() && data && ((desired & GENERIC_WRITE) || !hold->second))
        return ERROR_SHARING_VIOLATION;
    if ((desired & GENERIC_WRITE) && (attributes_of(key, node) & FILE_ATTRIBUTE_READONLY))
        return ERROR_ACCESS_DENIED;
    return 0;
}

Handle *opened_file(HANDLE handle) {
    Handle *found = find_handle(handle);
    return found && found->kind == HandleKind::FILE ? found : nullptr;
}

// The handle, and the path it was opened by: a fault on a call on the log's handle names it.
Args handle_args(HANDLE handle) {
    Args args;
    args.handle(handle);
    if (const Handle *file = opened_file(handle)) args.text(file->path);
    return args;
}

bool is_device(const Handle &file) { return file.key.empty(); }

// The file a handle reaches: through a followed link, the target's key.
std::string final_key(const Handle &file) {
    if (file.link_itself) return file.key;
    std::error_code error;
    const std::string root = fs::canonical(machine().files.root, error).string();
    const std::string host = fs::canonical(host_of(file.key), error).string();
    if (error || host.compare(0, root.size() + 1, root + "/") != 0) return file.key;
    std::string key = host.substr(root.size() + 1, 1) + ":" + host.substr(root.size() + 2);
    for (char &c : key)
        if (c == '/') c = '\\';
    return key.size() == 2 ? key + "\\" : key;
}

uint64_t size_of(const Handle &file) {
    std::error_code error;
    if (is_device(file) || file.link_itself) return 0;
    const uintmax_t size = fs::file_size(host_of(file.key), error);
    return error ? 0 : size;
}

Handle *descriptor(int fd) {
    for (auto &entry : machine().handles)
        if (entry.second.kind == HandleKind::FILE && entry.second.fd == fd && fd >= 0) return &entry.second;
    return nullptr;
}

void forget(const Handle *handle) {
    for (auto it = machine().handles.begin(); it != machine().handles.end(); ++it)
        if (&it->second == handle) {
            machine().handles.erase(it);
            return;
        }
}

}  // namespace

HANDLE sim::detail::open_file(LPCSTR name, DWORD desired, DWORD disposition, DWORD flags) {
    const std::string device = device_in(name);
    if (!device.empty()) {
        // Every open of NUL succeeds, a new one too; the other devices are there already.
        if (device != "nul" && disposition == CREATE_NEW) return fail_handle(ERROR_FILE_EXISTS);
        return open_handle(name, "", disposition, desired, false);
    }
    std::string key;
    if (!program_path(name, &key)) return fail_handle(ERROR_PATH_NOT_FOUND);
    const Node node = node_of(key);
    if (node == Node::NO_PARENT) return fail_handle(ERROR_PATH_NOT_FOUND);
    if (node == Node::MISSING) {
        if (disposition == OPEN_EXISTING) return fail_handle(ERROR_FILE_NOT_FOUND);
        if (!write_host(key, "")) return fail_handle(ERROR_ACCESS_DENIED);
        forget_attributes(key);
        return open_handle(name, key, disposition, desired, false);
    }
    if (DWORD error = open_error(key, node, desired, disposition, flags)) return fail_handle(error);
    if (disposition == CREATE_ALWAYS && node == Node::FILE && !write_host(key, "")) return fail_handle(ERROR_ACCESS_DENIED);
    const bool link_itself =
        (flags & FILE_FLAG_OPEN_REPARSE_POINT) && machine().files.reparse_links.count(key) != 0;
    return open_handle(name, key, disposition, desired, link_itself);
}

DWORD GetFileType(HANDLE file) {
    if (auto fault = record("GetFileType", handle_args(file))) {
        set_last_error(*fault);
        return FILE_TYPE_UNKNOWN;
    }
    if (const Handle *opened = opened_file(file)) {
        set_last_error(NO_ERROR);
        return is_device(*opened) ? FILE_TYPE_CHAR : FILE_TYPE_DISK;
    }
    set_last_error(ERROR_INVALID_HANDLE);
    return FILE_TYPE_UNKNOWN;
}

BOOL GetFileInformationByHandle(HANDLE file, LPBY_HANDLE_FILE_INFORMATION info) {
    if (auto fault = record("GetFileInformationByHandle", handle_args(file).pointer(info)))
        return fail_with(*fault);
    const Handle *opened = opened_file(file);
    if (!opened) return fail_with(ERROR_INVALID_HANDLE);
    if (is_device(*opened) || !info) return fail_with(ERROR_INVALID_PARAMETER);
    memset(info, 0, sizeof *info);
    std::error_code error;
    if (opened->link_itself) {
        info->dwFileAttributes = attributes_of(opened->key, Node::FILE) | FILE_ATTRIBUTE_REPARSE_POINT;
        info->nNumberOfLinks = 1;
        return TRUE;
    }
    info->dwFileAttributes = attributes_of(opened->key, node_of(opened->key));
    const uintmax_t links = fs::hard_link_count(host_of(opened->key), error);
    info->nNumberOfLinks = error ? 1 : static_cast<DWORD>(links);
    const uint64_t size = size_of(*opened);
    info->nFileSizeLow = static_cast<DWORD>(size);
    info->nFileSizeHigh = static_cast<DWORD>(size >> 32);
    return TRUE;
}

DWORD SetFilePointer(HANDLE file, LONG distance, PLONG distance_high, DWORD method) {
    Args args = handle_args(file);
    args.hex(static_cast<DWORD>(distance)).size(reinterpret_cast<const LONG *>(distance_high)).hex(method);
    if (auto fault = record("SetFilePointer", args)) {
        set_last_error(*fault);
        return INVALID_SET_FILE_POINTER;
    }
    Handle *opened = opened_file(file);
    if (!opened) {
        set_last_error(ERROR_INVALID_HANDLE);
        return INVALID_SET_FILE_POINTER;
    }
    const int64_t move = distance_high ? static_cast<int64_t>((static_cast<uint64_t>(static_cast<uint32_t>(*distance_high)) << 32) |
                                                              static_cast<uint32_t>(distance))
                                       : distance;
    const int64_t base = method == FILE_END ? static_cast<int64_t>(size_of(*opened))
                         : method == FILE_CURRENT ? static_cast<int64_t>(opened->position) : 0;
    if (base + move < 0) {
        set_last_error(ERROR_NEGATIVE_SEEK);
        return INVALID_SET_FILE_POINTER;
    }
    opened->position = static_cast<uint64_t>(base + move);
    if (distance_high) *distance_high = static_cast<LONG>(opened->position >> 32);
    set_last_error(NO_ERROR);
    return static_cast<DWORD>(opened->position);
}

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD size, LPDWORD read, LPOVERLAPPED overlapped) {
    auto fault = record("ReadFile", handle_args(file).pointer(buffer).hex(size).pointer(read).pointer(overlapped));
    if (read) *read = 0;
    if (fault) return fail_with(*fault);
    Handle *opened = opened_file(file);
    if (!opened) return fail_with(ERROR_INVALID_HANDLE);
    if (!(opened->access & GENERIC_READ)) return fail_with(ERROR_ACCESS_DENIED);
    if (is_device(*opened) || opened->link_itself) return TRUE;
    std::string bytes;
    if (!read_host(opened->key, &bytes)) return fail_with(ERROR_ACCESS_DENIED);
    const size_t from = static_cast<size_t>(std::min<uint64_t>(opened->position, bytes.size()));
    const size_t count = std::min<size_t>(size, bytes.size() - from);
    memcpy(buffer, bytes.data() + from, count);
    opened->position += count;
    if (read) *read = static_cast<DWORD>(count);
    return TRUE;
}

// "\\?\" and the drive's path, as Vista and later give it for FILE_NAME_NORMALIZED |
// VOLUME_NAME_DOS; the size asked for when the buffer is too small (with the NUL), 0 on failure.
DWORD WINAPI sim::detail::get_final_path_name(HANDLE file, LPSTR path, DWORD size, DWORD flags) {
    if (auto fault = record("GetFinalPathNameByHandleA", handle_args(file).pointer(path).hex(size).hex(flags))) {
        set_last_error(*fault);
        return 0;
    }
    const Handle *opened = opened_file(file);
    if (!opened || is_device(*opened)) {
        set_last_error(opened ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
        return 0;
    }
    std::string text = "\\\\?\\" + final_key(*opened);
    text[4] = static_cast<char>(std::toupper(static_cast<unsigned char>(text[4])));
    if (!path || size <= text.size()) return static_cast<DWORD>(text.size() + 1);
    memcpy(path, text.c_str(), text.size() + 1);
    return static_cast<DWORD>(text.size());
}

int win_open_osfhandle(HANDLE file, int flags) {
    if (record("_open_osfhandle", handle_args(file).hex(static_cast<DWORD>(flags)))) {
        errno = EMFILE;
        return -1;
    }
    Handle *opened = opened_file(file);
    if (!opened || opened->fd >= 0) {
        errno = EBADF;
        return -1;
    }
    opened->fd = machine().files.next_fd++;
    return opened->fd;
}

FILE *win_fdopen(int fd, const char *mode) {
    Handle *opened = descriptor(fd);
    Args args;
    args.hex(static_cast<DWORD>(fd)).text(mode);
    if (opened) args.text(opened->path);
    if (record("_fdopen", args) || !opened || !mode || strcmp(mode, "ab") != 0) {
        errno = EINVAL;
        return nullptr;
    }
    const std::string host = is_device(*opened) ? "/dev/null" : host_of(opened->key);
    const int host_fd = ::open(host.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (host_fd < 0) {
        errno = EACCES;
        return nullptr;
    }
    FILE *stream = new_file_stream(opened->path, opened->key, host_fd, "a");
    // The stream owns the handle now: its close is the file's close.
    forget(opened);
    return stream;
}

int win_close(int fd) {
    Handle *opened = descriptor(fd);
    Args args;
    args.hex(static_cast<DWORD>(fd));
    if (opened) args.text(opened->path);
    // A failed close still lets go of the descriptor and its handle.
    const bool failed = record("_close", args).has_value();
    if (opened) forget(opened);
    if (!opened || failed) {
        errno = EBADF;
        return -1;
    }
    return 0;
}

namespace sim {

void make_hard_link(const std::string &path, const std::string &target) {
    std::string key, target_key;
    if (!normalize(path, &key) || !normalize(target, &target_key)) return;
    fs::create_hard_link(host_of(target_key), host_of(key));
}

void make_symbolic_link(const std::string &path, const std::string &target, bool reparse_point) {
    std::string key, target_key;
    if (!normalize(path, &key) || !normalize(target, &target_key)) return;
    fs::create_symlink(host_of(target_key), host_of(key));
    if (reparse_point) machine().files.reparse_links.insert(key);
}

}  // namespace sim
