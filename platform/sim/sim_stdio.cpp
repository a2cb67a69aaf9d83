// Standard output and error of the simulated process, and its exit. Output goes to out()
// and err() when a stream is flushed; each flush is recorded as "stdout" or "stderr".
// Standard output is fully buffered, as msvcrt's is (it treats _IOLBF as _IOFBF); standard
// error only when it is no console, as msvcrt gives a buffer to a stream on a file or pipe.
#include "platform/sim/sim_internal.h"

#include <stdio_ext.h>

#include <cerrno>
#include <climits>

namespace sim {
namespace detail {

constexpr size_t kStdoutBuffer = 4096;

namespace {

ssize_t std_write(void *cookie, const char *buffer, size_t size) {
    auto *s = static_cast<StdStream *>(cookie);
    if (s->dropped) return static_cast<ssize_t>(size);
    const std::string text(buffer, size);
    if (auto fault = record(s->name, Args().text(text))) {
        set_last_error(*fault);
        errno = EIO;
        return 0;  // glibc takes 0 as the failure of a cookie write
    }
    s->target->append(text);
    return static_cast<ssize_t>(size);
}

// The StdStream belongs to the machine, which outlives its FILE.
int std_close(void *) { return 0; }

std::unique_ptr<StdStream> open_std(const char *name, std::string *target, bool buffered) {
    auto s = std::make_unique<StdStream>();
    s->name = name;
    s->target = target;
    s->file =
        fopencookie(s.get(), "w", cookie_io_functions_t{nullptr, std_write, nullptr, std_close});
    if (!s->file) abort();
    if (buffered) {
        s->buffer.resize(kStdoutBuffer);
        setvbuf(s->file, s->buffer.data(), _IOFBF, kStdoutBuffer);
    } else {
        setvbuf(s->file, nullptr, _IONBF, 0);
    }
    return s;
}

void drop(std::unique_ptr<StdStream> &s) {
    if (!s) return;
    s->dropped = true;
    fclose(s->file);
    s.reset();
}

StdStream *std_stream_of(FILE *stream) {
    Streams &streams = machine().streams;
    if (streams.out && streams.out->file == stream) return streams.out.get();
    if (streams.err && streams.err->file == stream) return streams.err.get();
    return nullptr;
}

int set_std_buffer(StdStream *s, char *buffer, int mode, size_t size) {
    if (mode == _IONBF) return setvbuf(s->file, nullptr, _IONBF, 0);
    if ((mode != _IOFBF && mode != _IOLBF) || size < 2 || size > INT_MAX) return -1;
    if (buffer) return setvbuf(s->file, buffer, _IOFBF, size);
    // glibc flushes the old buffer inside setvbuf, so it must live until then.
    std::vector<char> fresh(size);
    const int result = setvbuf(s->file, fresh.data(), _IOFBF, size);
    s->buffer.swap(fresh);
    return result;
}

}  // namespace

void flush_std_streams() {
    Streams &streams = machine().streams;
    if (streams.out) fflush(streams.out->file);
    if (streams.err) fflush(streams.err->file);
}

void note_wait(const char *name) {
    Streams &streams = machine().streams;
    for (const auto *s : {streams.out.get(), streams.err.get()}) {
        if (s && __fpending(s->file) > 0) {
            streams.unseen_at_waits.push_back(name);
            return;
        }
    }
}

void drop_std_streams() {
    drop(machine().streams.out);
    drop(machine().streams.err);
}

}  // namespace detail

const std::string &out() { return detail::machine().streams.out_text; }

const std::string &err() { return detail::machine().streams.err_text; }

const std::vector<std::string> &waits_with_text_held_back() {
    return detail::machine().streams.unseen_at_waits;
}

}  // namespace sim

using namespace sim::detail;

FILE *win_stdout(void) {
    Streams &streams = machine().streams;
    if (!streams.out) streams.out = open_std("stdout", &streams.out_text, true);
    return streams.out->file;
}

FILE *win_stderr(void) {
    Streams &streams = machine().streams;
    if (!streams.err) {
        const Console &c = machine().console;
        streams.err = open_std("stderr", &streams.err_text, !c.present || c.output_redirected);
    }
    return streams.err->file;
}

int win_puts(const char *text) {
    FILE *out = win_stdout();
    if (fputs(text, out) == EOF || fputc('\n', out) == EOF) return EOF;
    return 0;
}

// The tool sets the buffering of its standard streams only; file streams stay unbuffered
// so that "write" faults count output calls.
int win_setvbuf(FILE *stream, char *buffer, int mode, size_t size) {
    if (StdStream *s = std_stream_of(stream)) return set_std_buffer(s, buffer, mode, size);
    return EOF;
}

void win_exit(int status) { end_process(sim::Outcome::EXITED, status); }
