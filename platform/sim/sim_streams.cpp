// sim_fopen: the machine's files as C streams in msvcrt's text or binary mode. Each stream
// is a glibc cookie stream, so the tool's fgets, fprintf, fputs and fclose work unchanged.
//
// Streams that write are unbuffered on the C side: every output call (fputs, fprintf,
// fwrite, ...) reaches the cookie as one write, which is recorded as a call "write" and can
// be made to fail. The nth "write" is therefore the nth output call on such streams,
// whatever buffering the tool asks for.
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
    bool text = true;
    bool detached = false;  // the machine was reset; the stream no longer touches it
    bool ctrl_z = false;    // a text read met 0x1A: the end, for good
    char raw[4096];
    size_t raw_pos = 0;
    size_t raw_len = 0;
    FILE *file = nullptr;
};

namespace {

struct OpenMode {
    int flags;
    const char *cookie_mode;
    bool text;
    bool writes;
};

bool parse_mode(const char *mode, OpenMode *out) {
    const bool plus = strchr(mode, '+') != nullptr;
    switch (mode[0]) {
    case 'r': *out = {plus ? O_RDWR : O_RDONLY, plus ? "r+" : "r", true, plus}; break;
    case 'w':
        *out = {(plus ? O_RDWR : O_WRONLY) | O_CREAT | O_TRUNC, plus ? "r+" : "w", true, true};
        break;
    case 'a':
        *out = {(plus ? O_RDWR : O_WRONLY) | O_CREAT | O_APPEND, plus ? "r+" : "w", true, true};
        break;
    default: return false;
    }
    // msvcrt's default mode is text; 'b' asks for binary.
    out->text = strchr(mode, 'b') == nullptr;
    return true;
}

int errno_for(DWORD error) {
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND: return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION: return EACCES;
    case ERROR_DISK_FULL: return ENOSPC;
    case ERROR_NOT_ENOUGH_MEMORY: return ENOMEM;
    default: return EIO;
    }
}

FILE *fail_open(DWORD error) {
    set_last_error(error);
    errno = errno_for(error);
    return nullptr;
}

// Next raw byte of the file, or -1 at its end; peeking leaves it in place.
int raw_byte(FileStream *s, bool consume) {
    if (s->raw_pos == s->raw_len) {
        const ssize_t n = ::read(s->fd, s->raw, sizeof s->raw);
        if (n <= 0) return -1;
        s->raw_pos = 0;
        s->raw_len = static_cast<size_t>(n);
    }
    const int byte = static_cast<unsigned char>(s->raw[s->raw_pos]);
    if (consume) ++s->raw_pos;
    return byte;
}

// msvcrt text mode: CR LF reads as LF, any other CR stays, 0x1A ends the file. Each refill
// of the C stream's buffer is recorded as a call "read", which can be made to fail: the
// stream then reports an error (ferror) for the rest of the read call.
ssize_t stream_read(void *cookie, char *buffer, size_t size) {
    auto *s = static_cast<FileStream *>(cookie);
    if (!s->detached) {
        if (auto fault = record("read", Args().text(s->path))) {
            set_last_error(*fault);
            errno = errno_for(*fault);
            return -1;
        }
    }
    size_t n = 0;
    while (n < size && !s->ctrl_z) {
        int byte = raw_byte(s, true);
        if (byte < 0) break;
        if (s->text && byte == 0x1A) {
            s->ctrl_z = true;
            break;
        }
        if (s->text && byte == '\r' && raw_byte(s, false) == '\n') byte = raw_byte(s, true);
        buffer[n++] = static_cast<char>(byte);
    }
    return static_cast<ssize_t>(n);
}

std::string to_crlf(const char *buffer, size_t size) {
    std::string out;
    for (size_t i = 0; i < size; ++i) {
        if (buffer[i] == '\n') out += '\r';
        out += buffer[i];
    }
    return out;
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
    std::string bytes = s->text ? to_crlf(buffer, size) : std::string(buffer, size);
    long long &space = machine().files.disk_space;
    const bool full = space >= 0 && static_cast<long long>(bytes.size()) > space;
    if (full) bytes.resize(static_cast<size_t>(space));
    if (!write_all(s->fd, bytes)) return write_failed(ERROR_ACCESS_DENIED);
    if (space >= 0) space -= static_cast<long long>(bytes.size());
    // What fitted stays on disk; the stream sees the error.
    if (full) return write_failed(ERROR_DISK_FULL);
    return static_cast<ssize_t>(size);
}

int stream_seek(void *cookie, off64_t *offset, int whence) {
    auto *s = static_cast<FileStream *>(cookie);
    off64_t target = *offset;
    if (whence == SEEK_CUR) target -= static_cast<off64_t>(s->raw_len - s->raw_pos);
    const off64_t at = ::lseek64(s->fd, target, whence);
    if (at < 0) return -1;
    s->raw_pos = s->raw_len = 0;
    s->ctrl_z = false;
    *offset = at;
    return 0;
}

int stream_close(void *cookie) {
    std::unique_ptr<FileStream> s(static_cast<FileStream *>(cookie));
    ::close(s->fd);
    if (s->detached) return 0;
    machine().streams.files.erase(s.get());
    // A failed close keeps what was written: the file is as it was on disk.
    if (auto fault = record("fclose", Args().text(s->path))) {
        write_failed(*fault);
        return -1;
    }
    return 0;
}

// Why the file cannot be opened in this mode, or 0.
DWORD open_error(const std::string &key, const OpenMode &mode) {
    const Node node = node_of(key);
    if (node == Node::NO_PARENT) return ERROR_PATH_NOT_FOUND;
    if (node == Node::DIRECTORY) return ERROR_ACCESS_DENIED;
    if (node == Node::MISSING) return (mode.flags & O_CREAT) ? 0 : ERROR_FILE_NOT_FOUND;
    // msvcrt shares its own files; only another program's hold keeps them closed.
    if (machine().files.held.count(key)) return ERROR_SHARING_VIOLATION;
    if (mode.writes && (attributes_of(key, node) & FILE_ATTRIBUTE_READONLY))
        return ERROR_ACCESS_DENIED;
    return 0;
}

}  // namespace

bool stream_open_on(const std::string &key) {
    for (const FileStream *s : machine().streams.files)
        if (s->key == key) return true;
    return false;
}

bool is_file_stream(FILE *stream) {
    for (const FileStream *s : machine().streams.files)
        if (s->file == stream) return true;
    return false;
}

void close_file_streams() {
    const std::set<FileStream *> open = machine().streams.files;
    machine().streams.files.clear();
    for (FileStream *s : open) {
        s->detached = true;
        fclose(s->file);
    }
}

}  // namespace detail

int open_files() { return static_cast<int>(detail::machine().streams.files.size()); }

}  // namespace sim

using namespace sim::detail;

FILE *sim_fopen(const char *path, const char *mode) {
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
    auto stream = std::make_unique<FileStream>();
    stream->path = path;
    stream->key = key;
    stream->fd = fd;
    stream->text = how.text;
    const cookie_io_functions_t io = {stream_read, stream_write, stream_seek, stream_close};
    FILE *file = fopencookie(stream.get(), how.cookie_mode, io);
    if (!file) {
        ::close(fd);
        return fail_open(ERROR_NOT_ENOUGH_MEMORY);
    }
    if (how.writes) setvbuf(file, nullptr, _IONBF, 0);
    stream->file = file;
    machine().streams.files.insert(stream.release());
    return file;
}
