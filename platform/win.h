// The one include through which the tool reaches Windows and the C library.
// On Windows it is the real API; on the host it is the simulated Windows, whose
// declarations carry the same names, types and return conventions.
#ifndef PLATFORM_WIN_H
#define PLATFORM_WIN_H

#ifdef _WIN32
// stdio.h before windows.h, whose C++ headers would switch the build over to mingw-w64's
// own printf: the build asks for msvcrt's (__USE_MINGW_ANSI_STDIO=0).
#include <stdio.h>
#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>

// The msvcrt of Windows 98 has no C99 snprintf, and mingw-w64's own brings a whole printf
// engine into the exe. msvcrt's _vsnprintf leaves a text that does not fit unterminated,
// returning -1 or the size: this one always terminates it and then returns the size. The
// callers only ask whether the result reached the size, that is whether the text was cut.
__attribute__((format(ms_printf, 3, 4))) static inline int win_snprintf(char *out, size_t size,
                                                                        const char *format, ...)
{
    va_list args;
    va_start(args, format);
    int length = _vsnprintf(out, size, format, args);
    va_end(args);
    if (length >= 0 && (size_t)length < size)
        return length;
    if (size > 0)
        out[size - 1] = '\0';
    return (int)size;
}
#undef snprintf
#define snprintf win_snprintf

// The calls that reach the machine through the C library; the host's simulated Windows
// answers them under the same names.
static inline FILE *win_fopen(const char *path, const char *mode) { return fopen(path, mode); }
static inline FILE *win_stdout(void) { return stdout; }
static inline FILE *win_stderr(void) { return stderr; }
static inline int win_puts(const char *text) { return puts(text); }
static inline int win_setvbuf(FILE *stream, char *buffer, int mode, size_t size)
{
    return setvbuf(stream, buffer, mode, size);
}
[[noreturn]] static inline void win_exit(int status) { exit(status); }
// msvcrt's descriptors over a Win32 handle: the log is opened by CreateFileA and written as a
// stream.
static inline int win_open_osfhandle(HANDLE file, int flags) { return _open_osfhandle((intptr_t)file, flags); }
static inline FILE *win_fdopen(int fd, const char *mode) { return _fdopen(fd, mode); }
static inline int win_close(int fd) { return _close(fd); }
#else
#include "platform/sim_api.h"
#endif

#endif
