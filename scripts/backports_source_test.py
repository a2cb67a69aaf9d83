#!/usr/bin/env python3
"""The backports source is made from whatever form the machine's own sources take."""
import sys
import tempfile
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from backports_source import (ALREADY_CONFIGURED, backports_stanza,  # noqa: E402
                              configured_entries)

KEYRING = "/usr/share/keyrings/debian-archive-keyring.gpg"


def machine_uri():
    """An address from this machine's own apt sources, so that none is written here; a local
    archive where the machine has none."""
    for entry in configured_entries("/etc/apt"):
        if entry["uris"]:
            return entry["uris"][0]
    return "file:/srv/debian"


URI = machine_uri()
LOCAL_URI = "file:/srv/local-archive/debian"
DEB822 = ("Types: deb\n# a comment\nURIs: %s\n"
          "Suites: bookworm bookworm-updates\nComponents: main\nSigned-By: %s\n\n"
          "Types: deb\nURIs: %s-security\n"
          "Suites: bookworm-security\nComponents: main\n" % (URI, KEYRING, URI))

# (files under /etc/apt, expected exit code, lines the stanza must hold)
CASES = [
    ({"sources.list.d/debian.sources": DEB822}, 0,
     ["URIs: " + URI, "Suites: bookworm-backports", "Signed-By: " + KEYRING]),
    ({"sources.list": "# old\ndeb-src %s bookworm main\n"
                      "deb [arch=amd64 signed-by=/k.gpg] %s bookworm main contrib\n"
                      % (URI, LOCAL_URI)}, 0,
     ["URIs: " + LOCAL_URI, "Signed-By: /k.gpg"]),
    ({"sources.list.d/a.sources": "Enabled: no\n" + DEB822.split("\n\n")[0] + "\n"}, 1, []),
    ({"sources.list.d/debian.sources": DEB822.replace("bookworm-updates", "bookworm-backports")},
     ALREADY_CONFIGURED, []),
    ({"sources.list.d/old.list.disabled": "deb %s bookworm main\n" % URI}, 1, []),
]


class BackportsSourceTest(unittest.TestCase):
    def test_cases(self):
        for number, (files, want_code, want_lines) in enumerate(CASES):
            with self.subTest(case=number), tempfile.TemporaryDirectory() as apt:
                (Path(apt) / "sources.list.d").mkdir()
                for rel, text in files.items():
                    (Path(apt) / rel).write_text(text)
                code, text = backports_stanza("bookworm", apt)
                self.assertEqual(code, want_code, text)
                for line in want_lines:
                    self.assertIn(line, text.splitlines())


if __name__ == "__main__":
    unittest.main()
