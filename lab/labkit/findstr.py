"""findstr as Windows documents it, for command lines such as the README's lines that read the
gathered logs: Wine 8's findstr is a stub that prints nothing and exits 0 whatever it is asked.

Options taken: /B, /E, /I, /L, /R and /C:string; anything else is refused (LabFailure), so
that a line this cannot run faithfully is never passed as run. Files may end in a wildcard;
with more than one file or a wildcard each line is headed by its file's name as findstr
writes it (the folder as given, then the name). A command line `A | B` feeds A's lines to B."""

import fnmatch
import os
import re

from .wine import LabFailure

META = set(".*[]^$\\")


def tokens(line):
    """A command line split as cmd and the C runtime split it: blanks outside quotes part
    arguments, and the quotes themselves go."""
    out, cur, quoted, started = [], [], False, False
    for ch in line:
        if ch == '"':
            quoted, started = not quoted, True
        elif ch in " \t" and not quoted:
            if started:
                out.append("".join(cur))
            cur, started = [], False
        else:
            cur.append(ch)
            started = True
    if started:
        out.append("".join(cur))
    return out


def regex(text):
    """findstr's regular expressions: . * [class] [^class] ^ $ \\< \\> and \\x for x."""
    out, i = [], 0
    while i < len(text):
        ch = text[i]
        if ch == "\\" and i + 1 < len(text):
            nxt = text[i + 1]
            out.append({"<": r"\b(?=\w)", ">": r"\b(?<=\w)"}.get(nxt, re.escape(nxt)))
            i += 2
            continue
        if ch == "[":
            end = text.find("]", i + 2)
            if end < 0:
                raise LabFailure("findstr: unclosed class in %r" % text)
            body = text[i + 1:end]
            neg = body.startswith("^")
            body = body[1:] if neg else body
            out.append("[" + "^" * neg + "".join("\\" + c if c in "\\]^" else c for c in body) + "]")
            i = end + 1
            continue
        out.append({".": ".", "*": "*", "^": "^", "$": "$"}.get(ch, re.escape(ch)))
        i += 1
    return "".join(out)


def matcher(argv):
    """(match function, file arguments) for one findstr command's arguments."""
    flags, strings, rest = set(), [], []
    for arg in argv:
        if rest or not arg.startswith("/"):
            rest.append(arg)
        elif arg[:3].upper() == "/C:":
            strings.append(arg[3:])
        elif arg.upper() in ("/B", "/E", "/I", "/L", "/R"):
            flags.add(arg[1].upper())
        else:
            raise LabFailure("findstr: option %s is not one this lab runs" % arg)
    if not strings:
        if not rest:
            raise LabFailure("findstr: no search string")
        strings = rest.pop(0).split()
    if "R" not in flags:
        if "L" not in flags and any(set(s) & META for s in strings):
            # Without /L or /R, findstr guesses from the strings; this lab does not.
            raise LabFailure("findstr: %r is neither /L nor /R" % strings)
        strings = [re.escape(s) for s in strings]
    else:
        strings = [regex(s) for s in strings]
    begin = "^" if "B" in flags else ""
    end = "$" if "E" in flags else ""
    found = [re.compile(begin + "(?:" + s + ")" + end, re.I if "I" in flags else 0)
             for s in strings]
    return (lambda line: any(f.search(line) for f in found)), rest


def files(argument, host_dir_of):
    """(name as findstr heads a line with it, host path) for one file argument; host_dir_of
    maps the Windows folder as given to a host folder."""
    folder, _, name = argument.rpartition("\\")
    host = host_dir_of(folder)
    if not any(c in name for c in "*?"):
        return [(argument, os.path.join(host, name))]
    names = sorted((n for n in os.listdir(host) if fnmatch.fnmatch(n.lower(), name.lower())),
                   key=str.lower)
    return [(folder + "\\" + n, os.path.join(host, n)) for n in names]


def lines_of(data):
    """A file's lines without their ends: CR LF or LF."""
    text = data.decode("latin-1")
    parts = text.split("\n")
    if parts and parts[-1] == "":
        parts.pop()
    return [p[:-1] if p.endswith("\r") else p for p in parts]


def run(command_line, host_dir_of):
    """The lines a findstr command line (with `|` between findstr commands) writes, and its
    exit code: 0 when a line matched, 1 when none did."""
    lines, rc = None, 1
    for stage in command_line.split(" | "):
        argv = tokens(stage)
        if not argv or argv[0].lower() != "findstr":
            raise LabFailure("not a findstr command: %r" % stage)
        match, args = matcher(argv[1:])
        out = []
        if args:
            named = [f for a in args for f in files(a, host_dir_of)]
            head = len(args) > 1 or any(c in a.rpartition("\\")[2] for a in args for c in "*?")
            for shown, path in named:
                with open(path, "rb") as f:
                    out += [(shown + ":" if head else "") + l
                            for l in lines_of(f.read()) if match(l)]
        else:
            out = [l for l in (lines or []) if match(l)]
        lines, rc = out, (0 if out else 1)
    return rc, lines
