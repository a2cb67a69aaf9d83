"""Running a Windows program with a pseudo-terminal as its console (or none) and reading
what it showed, as text."""

import fcntl
import os
import re
import select
import signal
import struct
import subprocess
import termios
import time

from .wine import LabFailure, track, wine_env


# Keys as a terminal sends them.
KEY_UP = b"\x1b[A"
KEY_DOWN = b"\x1b[B"
KEY_ESCAPE = b"\x1b"
KEY_ENTER = b"\r"

# Wine under a pseudo-terminal may not read a key that arrives before the program asks for
# input: give it this long after a prompt shows before typing.
KEY_SETTLE = float(os.environ.get("LAB_KEY_SETTLE", "0.8"))


_ESC_BLANK = re.compile(rb"\x1b\[K\x1b\[(\d*)C")
_ESC_FORWARD = re.compile(rb"\x1b\[(\d*)C")
_ESC_CSI = re.compile(rb"\x1b\[[0-9;?]*[@-~]")
_ESC_OSC = re.compile(rb"\x1b\][^\x07\x1b]*(\x07|\x1b\\)")
_ESC_TAIL = re.compile(rb"\x1b(\[[0-9;?]*|\][^\x07]*)?$")


def terminal_text(raw):
    """What Wine's console drew, as plain text: escape sequences out, blanks back in."""
    s = _ESC_TAIL.sub(b"", raw)
    s = _ESC_BLANK.sub(lambda m: b" " * int(m.group(1) or 1), s)
    s = _ESC_FORWARD.sub(lambda m: b" " * int(m.group(1) or 1), s)
    s = _ESC_OSC.sub(b"", s)
    s = _ESC_CSI.sub(b"", s)
    s = s.replace(b"\r\n", b"\n").replace(b"\r", b"")
    return s.decode("latin-1")


def stream_text(raw):
    return raw.decode("latin-1").replace("\r\n", "\n").replace("\r", "")


def shown_lines(text):
    return [line.rstrip() for line in text.split("\n") if line.strip()]


class Program:
    """One run of a Windows program, with a pseudo-terminal as its console (or none).

    mode 'console':   standard input, output and error are the terminal;
    mode 'pipe-out':  standard output is a pipe read here, the console stays the terminal;
    mode 'no-terminal': standard input /dev/null, output and error to files, no console at all.
    watch_file: a host file that the program's output is redirected to (read as 'file').
    """

    def __init__(self, argv, run_dir, label, mode="console", watch_file=None, env=None, cwd=None):
        self.label = label
        self.run_dir = run_dir
        self.mode = mode
        self.watch_file = watch_file
        self.raw = {"console": b"", "stdout": b"", "stderr": b""}
        self.marks = {}
        self.master = None
        self.rc = None
        env = wine_env(dict({"TERM": "xterm"}, **(env or {})))
        if mode == "no-terminal":
            self.out_path = run_dir / (label + ".stdout")
            self.err_path = run_dir / (label + ".stderr")
            self.proc = track(subprocess.Popen(
                argv, stdin=subprocess.DEVNULL, stdout=open(self.out_path, "wb"),
                stderr=open(self.err_path, "wb"), env=env, cwd=cwd, start_new_session=True))
            return
        self.master, slave = os.openpty()
        # Wide enough that no message wraps.
        fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 50, 200, 0, 0))
        stdout = subprocess.PIPE if mode == "pipe-out" else slave
        self.proc = track(subprocess.Popen(argv, stdin=slave, stdout=stdout, stderr=slave,
                                            env=env, cwd=cwd, start_new_session=True))
        os.close(slave)
        self.start = time.time()

    # -- reading
    def pump(self, seconds=0.0):
        end = time.time() + seconds
        while True:
            fds = []
            if self.master is not None:
                fds.append(self.master)
            if self.mode == "pipe-out" and self.proc.stdout and not self.proc.stdout.closed:
                fds.append(self.proc.stdout.fileno())
            left = max(0.0, end - time.time())
            if fds:
                ready, _, _ = select.select(fds, [], [], min(left, 0.05))
            else:
                time.sleep(min(left, 0.05))
                ready = []
            for fd in ready:
                try:
                    data = os.read(fd, 65536)
                except OSError:
                    data = b""
                if fd == self.master:
                    if data:
                        self.raw["console"] += data
                    else:
                        os.close(self.master)
                        self.master = None
                else:
                    if data:
                        self.raw["stdout"] += data
                    else:
                        self.proc.stdout.close()
            if time.time() >= end:
                return

    def text(self, source="console"):
        if source == "console":
            return terminal_text(self.raw["console"])
        if source == "stdout":
            if self.mode == "no-terminal":
                return stream_text(self.out_path.read_bytes())
            return stream_text(self.raw["stdout"])
        if source == "stderr":
            return stream_text(self.err_path.read_bytes())
        if source == "file":
            return stream_text(self.watch_file.read_bytes()) if self.watch_file.exists() else ""
        raise ValueError(source)

    def lines(self, source="console"):
        self.pump()
        return shown_lines(self.text(source))

    def alive(self):
        return self.proc.poll() is None

    def expect(self, needle, source="console", timeout=60):
        """Waits until needle shows (after the last one found) and returns the time it took."""
        start = time.time()
        ended = False
        while True:
            self.pump(0.05)
            text = self.text(source)
            at = text.find(needle, self.marks.get(source, 0))
            if at >= 0:
                self.marks[source] = at + len(needle)
                return time.time() - start
            if not self.alive() and not ended:
                ended = True          # read what the program left, then look once more
                self.pump(0.3)
                continue
            if time.time() - start > timeout or ended:
                self.save()
                raise LabFailure("%s: %r did not show on %s within %ss (still running: %s); "
                                 "so far:\n%s" % (self.label, needle, source, timeout,
                                                  self.alive(), text[-2000:]))

    def send(self, key, settle=KEY_SETTLE):
        if isinstance(key, str):
            key = key.encode()
        self.pump(settle)
        os.write(self.master, key)

    def quiet(self, seconds, source="console"):
        """Output after `seconds` of waiting: '' when the program showed nothing new."""
        before = self.text(source).strip()
        self.pump(seconds)
        after = self.text(source).strip()
        return after[len(before):] if after.startswith(before) else after

    def wait(self, timeout=30):
        deadline = time.time() + timeout
        while self.alive() and time.time() < deadline:
            self.pump(0.05)
        if self.alive():
            self.save()
            raise LabFailure("%s: still running after %ss" % (self.label, timeout))
        self.pump(0.3)
        self.rc = self.proc.returncode
        self.save()
        return self.rc

    def kill(self):
        if self.alive():
            os.killpg(self.proc.pid, signal.SIGKILL)
            self.proc.wait(timeout=10)
        self.pump(0.1)
        self.save()

    def save(self):
        (self.run_dir / (self.label + ".console.raw")).write_bytes(self.raw["console"])
        (self.run_dir / (self.label + ".console.txt")).write_text(terminal_text(self.raw["console"]))
        if self.mode == "pipe-out":
            (self.run_dir / (self.label + ".stdout.txt")).write_bytes(self.raw["stdout"])
