"""Reading the lab machine as a program would: registry keys, files and ini entries, a
snapshot of everything the tool may read or change, and the links that snapshot shows."""

from .wine import MACHINE, LabFailure, host_path, wine
from .worm import (HKCR_DL, HKCR_EXEFILE, HKLM_EXEFILE, L_CLASSES_EXE, L_DL, L_MACHINE_EXE, L_RUN,
                   L_RUNSERVICES, L_SYSTEMINI, L_WININI, RUN, RUNSERVICES, SESSION_MANAGER,
                   WININIT_PATH, WININI_WINDOWS, WORM_PATH)


def reg_query(key, recurse=False, native=False):
    """Values of a key (name -> (type, data)) and its subkey lines, or None when the key is missing.
    native: as a 64-bit program sees it on the 64-bit machine; otherwise as the 32-bit tool does."""
    args = ["reg", "query", key] + (["/s"] if recurse else [])
    rc, out, err = wine(args, timeout=60, check=False, native=native)
    if rc != 0:
        if "unable to find" in (out + err).lower():
            return None
        raise LabFailure("reg query %s exited %s: %s" % (key, rc, (out + err).strip()))
    values, subkeys = {}, []
    for line in out.splitlines():
        if line.startswith("    "):
            parts = line[4:].split("    ", 2)
            name = parts[0]
            kind = parts[1] if len(parts) > 1 else ""
            data = parts[2] if len(parts) > 2 else ""
            values[name] = (kind, data)
        elif line.startswith("HKEY_"):
            subkeys.append(line.strip())
    return {"values": values, "subkeys": subkeys}


def value_data(query, name):
    if query is None:
        return None
    for key_name, (kind, data) in query["values"].items():
        if key_name.lower() == name.lower():
            return data
    return None


def default_value(query):
    if query is None:
        return None
    for name in ("(Default)", "(default)"):
        if name in query["values"]:
            return query["values"][name][1]
    return None


def read_bytes(windows_path, native=False):
    p = host_path(windows_path, must_exist=True, native=native)
    if p is None:
        return None
    if p.is_dir():
        return "<directory>"
    try:
        return p.read_bytes()
    except FileNotFoundError:
        # Deleted between the look and the read: the restart's deletion is not waited for.
        return None


def parse_ini(data):
    """(section, key, value) in file order, without case in names; None for a missing file."""
    if data is None:
        return None
    entries, section = [], ""
    for raw in data.decode("latin-1").splitlines():
        line = raw.strip()
        if not line or line.startswith(";"):
            continue
        if line.startswith("["):
            section = line[1:line.index("]")].strip().lower() if "]" in line else line[1:].lower()
            continue
        key, sep, value = line.partition("=")
        entries.append((section, key.strip().lower(), value.strip() if sep else None))
    return entries


def ini_value(entries, section, key):
    found = None
    for s, k, v in entries or []:
        if s == section.lower() and k == key.lower():
            found = v
    return found


def snapshot():
    """Everything the tool may read or change, read through Wine as a program would."""
    snap = {
        "machine exe command": default_value(reg_query(HKLM_EXEFILE)),
        "classes exe command": default_value(reg_query(HKCR_EXEFILE)),
        "RunServices": (reg_query(RUNSERVICES) or {}).get("values"),
        "Run": (reg_query(RUN) or {}).get("values"),
        ".dl class": reg_query(HKCR_DL, recurse=True),
        "WIN.INI run": value_data(reg_query(WININI_WINDOWS), "run"),
        "PendingFileRenameOperations": value_data(reg_query(SESSION_MANAGER),
                                                  "PendingFileRenameOperations"),
        "SYSTEM.INI": read_bytes(r"C:\windows\system.ini"),
        "worm file": read_bytes(WORM_PATH),
        "WININIT.INI": read_bytes(WININIT_PATH),
        "WININIT.NEW": read_bytes(r"C:\windows\WININIT.NEW"),
        "WININIT.OLD": read_bytes(r"C:\windows\WININIT.OLD"),
    }
    if MACHINE.wow64:
        # What WoW64 keeps apart for 64-bit programs: the other view of the Run keys, and
        # their own system32.
        snap["Run (64-bit)"] = (reg_query(RUN, native=True) or {}).get("values")
        snap["RunServices (64-bit)"] = (reg_query(RUNSERVICES, native=True) or {}).get("values")
        snap["worm file (64-bit system32)"] = read_bytes(WORM_PATH, native=True)
    return snap


def link_mask(snap):
    """The links that the tool looks for, judged by the same rules from a snapshot."""
    mask = 0
    if "FILES32.VXD" in (snap["machine exe command"] or "").upper():
        mask |= L_MACHINE_EXE
    if any("TAVREL" in d.upper() for _, d in (snap["RunServices"] or {}).values()):
        mask |= L_RUNSERVICES
    if any("TAVREL" in d.upper() for _, d in (snap["Run"] or {}).values()):
        mask |= L_RUN
    if snap[".dl class"] is not None:
        mask |= L_DL
    if "FILES32.VXD" in (snap["classes exe command"] or "").upper():
        mask |= L_CLASSES_EXE
    if "TAVREL" in (snap["WIN.INI run"] or "").upper():
        mask |= L_WININI
    if "TAVREL" in (ini_value(parse_ini(snap["SYSTEM.INI"]), "boot", "shell") or "").upper():
        mask |= L_SYSTEMINI
    return mask
