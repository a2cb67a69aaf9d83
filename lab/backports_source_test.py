#!/usr/bin/env python3
"""The backports source is made from whatever form the machine's own sources take."""
import sys
import tempfile
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from backports_source import ALREADY_CONFIGURED, backports_stanza  # noqa: E402

KEYRING = "/usr/share/keyrings/debian-archive-keyring.gpg"
DEB822 = ("Types: deb\n# a comment\nURIs: http://mirror.invalid/debian\n"
          "Suites: bookworm bookworm-updates\nComponents: main\nSigned-By: %s\n\n"
          "Types: deb\nURIs: http://mirror.invalid/debian-security\n"
          "Suites: bookworm-security\nComponents: main\n" % KEYRING)

# (files under /etc/apt, expected exit code, lines the stanza must hold)
CASES = [
    ({"sources.list.d/debian.sources": DEB822}, 0,
     ["URIs: http://mirror.invalid/debian", "Suites: bookworm-backports",
      "Signed-By: " + KEYRING]),
    ({"sources.list": "# old\ndeb-src http://src.invalid/debian bookworm main\n"
                      "deb [arch=amd64 signed-by=/k.gpg] http://proxy.invalid:3142/debian "
                      "bookworm main contrib\n"}, 0,
     ["URIs: http://proxy.invalid:3142/debian", "Signed-By: /k.gpg"]),
    ({"sources.list.d/a.sources": "Enabled: no\n" + DEB822.split("\n\n")[0] + "\n"}, 1, []),
    ({"sources.list.d/debian.sources": DEB822.replace("bookworm-updates", "bookworm-backports")},
     ALREADY_CONFIGURED, []),
    ({"sources.list.d/old.list.disabled": "deb http://x.invalid/debian bookworm main\n"}, 1, []),
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
