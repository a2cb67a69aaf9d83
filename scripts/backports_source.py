#!/usr/bin/env python3
"""Prints an apt source (deb822) for SUITE-backports, made from the machine's own Debian source
for SUITE: the same URIs and keyring, so the machine's own mirror or proxy serves it.

    backports_source.py SUITE [APT_DIR]     APT_DIR defaults to /etc/apt

Exit 0: the source printed. Exit 3: SUITE-backports is configured already; nothing printed.
Exit 1: no source for SUITE is configured; the reason on standard error.
"""
import sys
from pathlib import Path

ALREADY_CONFIGURED = 3


def one_line_entries(text):
    """Entries of a sources.list file: "deb [opt=val ...] URI SUITE COMPONENT..."."""
    for line in text.splitlines():
        words = line.split("#", 1)[0].split()
        if not words or words[0] != "deb":
            continue
        options = {}
        words = words[1:]
        if words and words[0].startswith("["):
            opts = []
            while words:
                word = words.pop(0)
                opts.append(word.strip("[]"))
                if word.endswith("]"):
                    break
            for opt in opts:
                key, _, value = opt.partition("=")
                options[key.lower()] = value
        if len(words) < 2:
            continue
        yield {"types": ["deb"], "uris": [words[0]], "suites": [words[1]],
               "signed-by": options.get("signed-by", "")}


def deb822_entries(text):
    """Stanzas of a .sources file; a field may go on over lines that start with a blank."""
    for stanza in text.split("\n\n"):
        fields = {}
        last = None
        for line in stanza.splitlines():
            if line.startswith("#"):
                continue
            if line[:1] in (" ", "\t") and last is not None:
                fields[last] += "\n" + line
                continue
            key, sep, value = line.partition(":")
            if not sep:
                continue
            last = key.strip().lower()
            fields[last] = value.strip()
        if not fields or fields.get("enabled", "yes").strip().lower() == "no":
            continue
        yield {"types": fields.get("types", "").split(), "uris": fields.get("uris", "").split(),
               "suites": fields.get("suites", "").split(),
               "signed-by": fields.get("signed-by", "")}


def configured_entries(apt_dir):
    apt_dir = Path(apt_dir)
    lists = [apt_dir / "sources.list"] + sorted((apt_dir / "sources.list.d").glob("*.list"))
    for path in lists:
        if path.is_file():
            yield from one_line_entries(path.read_text(errors="replace"))
    for path in sorted((apt_dir / "sources.list.d").glob("*.sources")):
        yield from deb822_entries(path.read_text(errors="replace"))


def backports_stanza(suite, apt_dir):
    """(exit code, text): the stanza to add, or why there is none."""
    entries = [e for e in configured_entries(apt_dir) if "deb" in e["types"] and e["uris"]]
    backports = suite + "-backports"
    if any(backports in e["suites"] for e in entries):
        return ALREADY_CONFIGURED, ""
    for entry in entries:
        if suite in entry["suites"]:
            lines = ["Types: deb", "URIs: " + " ".join(entry["uris"]), "Suites: " + backports,
                     "Components: main"]
            if entry["signed-by"]:
                lines.append("Signed-By: " + entry["signed-by"])
            return 0, "\n".join(lines) + "\n"
    return 1, "no apt source for %s in %s to take the backports' address from" % (suite, apt_dir)


def main():
    if len(sys.argv) not in (2, 3):
        print(__doc__, file=sys.stderr)
        return 2
    code, text = backports_stanza(sys.argv[1], sys.argv[2] if len(sys.argv) == 3 else "/etc/apt")
    if code == 0:
        sys.stdout.write(text)
    elif text:
        print(text, file=sys.stderr)
    return code


if __name__ == "__main__":
    sys.exit(main())
