// win_fopen: the machine's files as C streams, binary ("rb" to read, "wb" to write, "ab" to
// append: the only modes the tool uses). Each stream is a glibc cookie stream, so the tool's fgets, fprintf,
// fputs and fclose work unchanged.
//
// Streams that write are unbuffered on the C side: every output call (fputs, fprintf,
// fwrite, ...) reaches the cookie as one write, which is recorded as a call "write" and can
// be made to fail. The nth "write" is therefore the nth output call on such streams,
// whatever buffering the tool asks for. The bytes then wait in the stream's buffer, as in
// msvcrt's, and reach the file when it fills (4 KiB), at fflush and at a close that
// succeeds; a close that fails, a power cut and a killed process lose them.
#include "platform/sim/sim_internal.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace sim {
namespace detail {

struct FileStream {
    std::string path;  // as the tool named it
    std::string key;
    int fd = -1;
    bool detached = false;  // the machine was reset; the stream no longer touches it
    FILE *file = nullptr;
    std::string pending;  // written, not yet on disk
};

namespace {

constexpr size_t kFileBuffer = 4096;  // msvcrt's buffer of a file stream

// The streams of the machine that may hold bytes, for fflush, which names only the FILE.
// Never destroyed: fflush may come after the static destructors.
std::map<FILE *, FileStream *> &buffered() {
    static auto *streams = new std::map<FILE *, FileStream *>;
    return *streams;
}

struct OpenMode {
    int flags;
    const char *cookie_mode;
    bool writes;
};

// Any other mode is no mode of the machine's: the open fails.
bool parse_mode(const char *mode, OpenMode *out) {
    if (strcmp(mode, "rb") == 0)
        *out = {O_RDONLY, "r", false};
    else if (strcmp(mode, "wb") == 0)
        *out = {O_WRONLY | O_CREAT | O_TRUNC, "w", true};
    else if (strcmp(mode, "ab") == 0)
        *out = {O_WRONLY | O_CREAT | O_APPEND, "a", true};
    else
        return false;
    return true;
}

int errno_for(DWORD error) {
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND: return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION: return EACCES;
    case ERROR_DISK_FULL: return ENOSPC;
    default: return EIO;
    }
}

FILE *fail_open(DWORD error) {
    set_last_error(error);
    errno = errno_for(error);
    return nullptr;
}

// Each refill of the C stream's buffer is recorded as a call "read", which can be made to
// fail: the stream then reports an error (ferror) for the rest of the read call.
ssize_t stream_read(void *cookie, char *buffer, size_t size) {
    auto *s = static_cast<FileStream *>(cookie);
    if (!s->detached) {
        if (auto fault = record("read", Args().text(s->path))) {
            set_last_error(*fault);
            errno = errno_for(*fault);
            return -1;
        }
    }
    const ssize_t n = ::read(s->fd, buffer, size);
    return n < 0 ? 0 : n;
}

bool write_all(int fd, const std::string &bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

bool put_pending(FileStream *s) {
    const bool put = write_all(s->fd, s->pending);
    s->pending.clear();
    return put;
}

// A cookie write reports failure as 0 bytes taken: glibc miscounts after a negative result.
ssize_t write_failed(DWORD error) {
    set_last_error(error);
    errno = errno_for(error);
    return 0;
}

ssize_t stream_write(void *cookie, const char *buffer, size_t size) {
    auto *s = static_cast<FileStream *>(cookie);
    if (s->detached) return static_cast<ssize_t>(size);
    if (auto fault = record("write", Args().text(s->path).text(std::string(buffer, size))))
        return write_failed(*fault);
    std::string bytes(buffer, size);
    long long &space = machine().files.disk_space;
    const bool full = space >= 0 && static_cast<long long>(bytes.size()) > space;
    if (full) bytes.resize(static_cast<size_t>(space));
    s->pending += bytes;
    if (s->pending.size() >= kFileBuffer && !put_pending(s)) return write_failed(ERROR_ACCESS_DENIED);
    if (space >= 0) space -= static_cast<long long>(bytes.size());
    // What fitted stays on disk; the stream sees the error.
    if (full) return write_failed(ERROR_DISK_FULL);
    return static_cast<ssize_t>(size);
}

int stream_close(void *cookie) {
    std::unique_ptr<FileStream> s(static_cast<FileStream *>(cookie));
    buffered().erase(s->file);
    if (s->detached) {
        ::close(s->fd);
        return 0;
    }
    machine().streams.files.erase(s.get());
    // A failed close loses what its buffer held: the file is as it was on disk.
    if (auto fault = record("fclose", Args().text(s->path))) {
        ::close(s->fd);
        write_failed(*fault);
        return -1;
    }
    const bool put = put_pending(s.get());
    ::close(s->fd);
    return put ? 0 : -1;
}

// Why the file cannot be opened in this mode, or 0.
DWORD open_error(const std::string &key, const OpenMode &mode) {
    const Node node = node_of(key);
    if (node == Node::NO_PARENT) return ERROR_PATH_NOT_FOUND;
    if (node == Node::DIRECTORY) return ERROR_ACCESS_DENIED;
    if (node == Node::MISSING) return (mode.flags & O_CREAT) ? 0 : ERROR_FILE_NOT_FOUND;
    // msvcrt shares its own files; only another program's hold keeps them closed.
    const auto hold = machine().files.held.find(key);
    if (hold != machine().files.held.end() && (mode.writes || !hold->second)) return ERROR_SHARING_VIOLATION;
    if (mode.writes && (attributes_of(key, node) & FILE_ATTRIBUTE_READONLY))
        return ERROR_ACCESS_DENIED;
    return 0;
}

}  // namespace

FILE *new_file_stream(const std::string &path, const std::string &key, int fd, const char *mode) {
    auto stream = std::make_unique<FileStream>();
    stream->path = path;
    stream->key = key;
    stream->fd = fd;
    const cookie_io_functions_t io = {stream_read, stream_write, nullptr, stream_close};
    FILE *file = fopencookie(stream.get(), mode, io);
    if (strcmp(mode, "r") != 0) setvbuf(file, nullptr, _IONBF, 0);
    stream->file = file;
    buffered()[file] = stream.get();
    machine().streams.files.insert(stream.release());
    return file;
}

bool stream_open_on(const std::string &key) {
    for (const FileStream *s : machine().streams.files)
        if (s->key == key) return true;
    return false;
}

void close_file_streams() {
    const std::set<FileStream *> open = machine().streams.files;
    machine().streams.files.clear();
    for (FileStream *s : open) {
        s->detached = true;
        s->pending.clear();
        fclose(s->file);
    }
}

void flush_file_streams() {
    for (FileStream *s : machine().streams.files) put_pending(s);
}

}  // namespace detail

int open_files() { return static_cast<int>(detail::machine().streams.files.size()); }

}  // namespace sim

using namespace sim::detail;

FILE *win_fopen(const char *path, const char *mode) {
    if (auto fault = record("fopen", Args().text(path).text(mode))) return fail_open(*fault);
    OpenMode how;
    std::string key;
    if (!path || !mode || !parse_mode(mode, &how)) return fail_open(ERROR_INVALID_PARAMETER);
    if (!program_path(path, &key)) return fail_open(ERROR_PATH_NOT_FOUND);
    if (DWORD error = open_error(key, how)) return fail_open(error);
    const bool created = node_of(key) == Node::MISSING;
    const int fd = ::open(host_of(key).c_str(), how.flags | O_CLOEXEC, 0644);
    if (fd < 0) return fail_open(ERROR_ACCESS_DENIED);
    if (created) forget_attributes(key);
    return new_file_stream(path, key, fd, how.cookie_mode);
}

// fflush reaches no cookie of an unbuffered stream: the machine's streams put their buffer
// out here, then the C library does the rest.
extern "C" int _IO_fflush(FILE *stream);
extern "C" int fflush(FILE *stream) {
    for (const auto &open : buffered()) {
        if ((stream == nullptr || stream == open.first) && !open.second->detached) put_pending(open.second);
    }
    return _IO_fflush(stream);
}
