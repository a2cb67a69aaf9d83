"""Making the lab machine look infected."""

from .wine import LabFailure, host_path, wine, winpath
from .worm import (DECOY_RUN, L_CLASSES_EXE, L_DL, L_MACHINE_EXE, L_RUN, L_RUNSERVICES,
                   L_SYSTEMINI, L_WININI, OLD_TMP_PATH, WININIT_PATH, WORM_EXE_COMMAND,
                   WORM_FILE_BYTES, WORM_PATH, WORM_RUN, WORM_RUNSERVICES, WORM_SHELL,
                   WORM_WININI_RUN)


def reg_string(s):
    return '"' + s.replace("\\", "\\\\").replace('"', '\\"') + '"'


def plant(run_dir, links=0, worm=None, attrs="", version=None, wininit=None):
    """Makes the machine look infected. worm: None, 'file' or 'dir'; attrs: e.g. '+r +h +s'."""
    lines = ["REGEDIT4", ""]

    def key(k, *values):
        lines.append("[%s]" % k)
        lines.extend(values)
        lines.append("")

    if version:
        key(r"HKEY_CURRENT_USER\Software\Wine", '"Version"=%s' % reg_string(version))
    if links & (L_MACHINE_EXE | L_CLASSES_EXE):
        key(r"HKEY_LOCAL_MACHINE\Software\Classes\exefile\shell\open\command",
            "@=%s" % reg_string(WORM_EXE_COMMAND))
    if links & (L_RUNSERVICES | L_RUN):
        decoys = ["%s=%s" % (reg_string(n), reg_string(d)) for n, d in DECOY_RUN.items()]
        if links & L_RUNSERVICES:
            key(r"HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows\CurrentVersion\RunServices",
                "%s=%s" % (reg_string(WORM_RUNSERVICES[0]), reg_string(WORM_RUNSERVICES[1])),
                *decoys)
        if links & L_RUN:
            key(r"HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows\CurrentVersion\Run",
                "%s=%s" % (reg_string(WORM_RUN[0]), reg_string(WORM_RUN[1])), *decoys)
    if links & L_DL:
        key(r"HKEY_CLASSES_ROOT\.dl", "@=%s" % reg_string("dlfile"))
        key(r"HKEY_CLASSES_ROOT\.dl\shell\open\command",
            "@=%s" % reg_string(r"c:\windows\system32\files32.vxd %1"))
    if links & L_WININI:
        key(r"HKEY_CURRENT_USER\Software\Microsoft\Windows NT\CurrentVersion\Windows",
            '"run"=%s' % reg_string(WORM_WININI_RUN), '"load"=%s' % reg_string(r"C:\keep\load.exe"))
    if len(lines) > 2:
        reg_file = run_dir / "plant.reg"
        reg_file.write_bytes("\r\n".join(lines).encode("latin-1") + b"\r\n")
        wine(["regedit", "/S", winpath(reg_file)], timeout=120)
    if links & L_SYSTEMINI:
        ini = host_path(r"C:\windows\system.ini")
        text = ini.read_bytes() if ini.exists() else b""
        if text and not text.endswith(b"\r\n"):
            text += b"\r\n"
        ini.write_bytes(text + b"[boot]\r\nshell=" + WORM_SHELL.encode() +
                        b"\r\noemfonts.fon=vgaoem.fon\r\n")
    if worm == "file":
        host_path(WORM_PATH).write_bytes(WORM_FILE_BYTES)
        # Wine's attrib takes one change per call: with several, only the last holds.
        for change in attrs.split():
            wine(["attrib", change, WORM_PATH], timeout=60)
    elif worm == "dir":
        host_path(WORM_PATH).mkdir()
    if wininit is not None:
        host_path(WININIT_PATH).write_bytes(wininit.replace("\n", "\r\n").encode("latin-1"))
        host_path(OLD_TMP_PATH).write_bytes(b"left behind by another setup program\r\n")


def file_attributes(windows_path):
    """Attribute letters as Wine's attrib shows them, e.g. 'RHS'."""
    rc, out, _ = wine(["attrib", windows_path], timeout=60, check=False)
    for line in out.splitlines():
        if line.rstrip().upper().endswith(windows_path.upper()):
            flags = line[: len(line.rstrip()) - len(windows_path)]
            return "".join(sorted(set(c for c in flags.upper() if c in "RHSA")))
    raise LabFailure("attrib gave no line for %s: %r" % (windows_path, out))
