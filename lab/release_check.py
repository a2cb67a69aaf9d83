#!/usr/bin/env python3
"""The exe as a person carries it, checked from its bytes: a 32-bit console program for
subsystem 4.0, stripped, at most 38 KiB, no time stamp, importing only what the list below
allows (each entry is there on Windows 98), with the version resource and the manifest.
With --rebuild it also builds the exe afresh from the same sources in a new folder and
compares the two byte for byte, and builds the minimal console program to compare sizes.

Usage: release_check.py [--exe-dir build/win32] [--rebuild]
"""
import argparse
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ET
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
TOOL_EXE = "tavrel_moss_remover.exe"
MAX_SIZE = 38 * 1024

# Every function the exe may import, by DLL. A new import fails the check until it is added
# here, with what is known of it on Windows 98 (from the DLLs' documented exports: there is
# no Windows 98 machine in the lab to look at). "stub" marks a function that 98 exports only
# as a stub failing with ERROR_CALL_NOT_IMPLEMENTED: the tool calls it on the NT family only.
ALLOWED_IMPORTS = {
    "KERNEL32.dll": {
        # The tool's own calls: all in the kernel of Windows 95 and later.
        "CloseHandle": "95+", "CreateFileA": "95+", "DeleteFileA": "95+",
        "GetComputerNameA": "95+", "GetLocalTime": "95+",
        "DeviceIoControl": "95+", "GetConsoleMode": "95+", "GetCurrentProcess": "95+",
        "GetFileAttributesA": "95+", "GetLastError": "95+", "GetPrivateProfileStringA": "95+",
        "GetStdHandle": "95+", "GetSystemDirectoryA": "95+", "GetVersionExA": "95+",
        "GetShortPathNameA": "95+", "GetWindowsDirectoryA": "95+", "MoveFileA": "95+",
        "MoveFileExA": "stub on 9x; used on the NT family only (9x schedules through WININIT.INI)",
        "PeekConsoleInputA": "95+", "ReadConsoleInputA": "95+", "SetConsoleMode": "95+",
        "SetFileAttributesA": "95+", "SleepEx": "95+", "WritePrivateProfileStringA": "95+",
        # The log's open and its checks (GetFinalPathNameByHandleA, Vista and later, is looked
        # up at run time: never imported).
        "GetFileType": "95+", "GetFileInformationByHandle": "95+", "SetFilePointer": "95+",
        "ReadFile": "95+",
        # USER32 at the restart, KERNEL32's IsWow64Process2, IsWow64Process and
        # GetSystemWow64DirectoryA (not in 98, NT 4 or 2000, the first not before Windows 10
        # 1709: never imported), and libgcc's start-up looking for its DLL's frame registry.
        "LoadLibraryA": "95+", "GetProcAddress": "95+", "GetModuleHandleA": "95+",
        "SetLastError": "95+",
        "FreeLibrary": "95+ (libgcc's start-up only)",
        # mingw-w64's start-up code (crt2.o, pseudo-relocations, thread-local storage).
        "DeleteCriticalSection": "95+", "EnterCriticalSection": "95+",
        "InitializeCriticalSection": "95+", "LeaveCriticalSection": "95+",
        "GetStartupInfoA": "95+", "SetUnhandledExceptionFilter": "95+", "Sleep": "95+",
        "TlsGetValue": "95+", "VirtualProtect": "95+", "VirtualQuery": "95+",
    },
    "ADVAPI32.dll": {
        "RegCloseKey": "95+", "RegDeleteKeyA": "95+", "RegDeleteValueA": "95+",
        "RegEnumKeyExA": "95+", "RegEnumValueA": "95+", "RegOpenKeyExA": "95+",
        "RegQueryValueA": "95+", "RegQueryValueExA": "95+", "RegSetValueExA": "95+",
        "RegQueryInfoKeyA": "95+",
        "OpenProcessToken": "stub on 9x; the restart takes it on the NT family only",
        "LookupPrivilegeValueA": "stub on 9x; the restart takes it on the NT family only",
        "AdjustTokenPrivileges": "stub on 9x; the restart takes it on the NT family only",
    },
    # The msvcrt.dll that Windows 98 ships (98 SE: Visual C++ 6's). Every name here is one
    # that Visual C++ 5 and 6 programs import from it; it has no C99 snprintf and no
    # _vscprintf, so the tool formats with _vsnprintf. (Windows 95 ships no msvcrt.dll.)
    "msvcrt.dll": {
        # The tool's streams and text.
        "_vsnprintf": "98", "fclose": "98", "ferror": "98",
        "fflush": "98", "fgets": "98", "fopen": "98", "fprintf": "98", "fread": "98",
        "fputs": "98", "fwrite": "98", "puts": "98", "setvbuf": "98",
        "exit": "98", "fputc": "98", "memcmp": "98", "memcpy": "98", "memmove": "98",
        "strlen": "98",
        # The log: a descriptor over the handle CreateFileA gave, and a stream over that.
        "_open_osfhandle": "98", "_fdopen": "98", "_close": "98",
        # mingw-w64's start-up code: the same entry points Visual C++ 4.2 to 6 programs use.
        "__getmainargs": "98", "__initenv": "98 (data)", "__p__acmdln": "98",
        "__p__commode": "98", "__p__fmode": "98", "__set_app_type": "98",
        "__setusermatherr": "98", "_amsg_exit": "98", "_cexit": "98",
        "_initterm": "98", "_iob": "98 (data)", "_onexit": "98",
        "abort": "98", "calloc": "98", "free": "98", "malloc": "98",
        "signal": "98", "strncmp": "98", "vfprintf": "98",
    },
}

SUPPORTED_OS = {
    "{e2011457-1546-43c5-a5fe-008deee3d3f0}": "Windows Vista",
    "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}": "Windows 7",
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}": "Windows 8",
    "{1f676c76-80e1-4239-95bb-83d0f6d0da78}": "Windows 8.1",
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}": "Windows 10 and 11",
}

RT_VERSION = 16
RT_MANIFEST = 24


class PeFile:
    """The parts of a PE32 image that the checks read."""

    def __init__(self, data):
        self.data = data
        if data[:2] != b"MZ":
            raise ValueError("no MZ header")
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("no PE signature")
        (self.machine, sections, self.timestamp, self.symbol_table, self.symbols,
         optional_size, self.characteristics) = struct.unpack_from("<HHIIIHH", data, pe + 4)
        opt = pe + 24
        self.magic = struct.unpack_from("<H", data, opt)[0]
        if self.magic != 0x10B:
            raise ValueError("not PE32 (magic %#x)" % self.magic)
        (self.os_version, self.image_version, self.subsystem_version) = [
            struct.unpack_from("<HH", data, opt + off) for off in (40, 44, 48)]
        self.subsystem, self.dll_characteristics = struct.unpack_from("<HH", data, opt + 68)
        count = struct.unpack_from("<I", data, opt + 92)[0]
        self.directories = [struct.unpack_from("<II", data, opt + 96 + 8 * i) for i in range(count)]
        self.sections = []
        at = opt + optional_size
        for i in range(sections):
            name, vsize, rva, raw_size, raw_ptr = struct.unpack_from("<8sIIII", data, at + 40 * i)
            self.sections.append((name.rstrip(b"\0").decode("latin-1"), rva,
                                  max(vsize, raw_size), raw_ptr))

    def offset(self, rva):
        for _, start, size, raw in self.sections:
            if start <= rva < start + size:
                return raw + rva - start
        raise ValueError("address %#x is in no section" % rva)

    def cstring(self, rva):
        at = self.offset(rva)
        return self.data[at:self.data.index(b"\0", at)].decode("latin-1")

    def imports(self):
        """{dll name: [function names]}; an import by ordinal shows as '#N'."""
        rva, size = self.directories[1]
        result = {}
        at = self.offset(rva)
        while True:
            lookup, _, _, name, first_thunk = struct.unpack_from("<IIIII", self.data, at)
            if name == 0:
                return result
            functions = []
            thunk = self.offset(lookup or first_thunk)
            while True:
                entry = struct.unpack_from("<I", self.data, thunk)[0]
                if entry == 0:
                    break
                if entry & 0x80000000:
                    functions.append("#%d" % (entry & 0xFFFF))
                else:
                    functions.append(self.cstring(entry + 2))
                thunk += 4
            result[self.cstring(name)] = functions
            at += 20

    def resources(self):
        """[(type, name, language, bytes)] and the time stamps of every resource directory."""
        rva, _ = self.directories[2]
        if rva == 0:
            return [], []
        base = self.offset(rva)
        found, stamps = [], []

        def walk(at, path):
            stamps.append(struct.unpack_from("<I", self.data, at + 4)[0])
            named, ids = struct.unpack_from("<HH", self.data, at + 12)
            for i in range(named + ids):
                key, target = struct.unpack_from("<II", self.data, at + 16 + 8 * i)
                key = "name@%#x" % key if key & 0x80000000 else key
                if target & 0x80000000:
                    walk(base + (target & 0x7FFFFFFF), path + [key])
                else:
                    data_rva, size = struct.unpack_from("<II", self.data, base + target)
                    start = self.offset(data_rva)
                    found.append(tuple(path + [key]) + (self.data[start:start + size],))

        walk(base, [])
        return found, stamps


def version_block(data, at=0):
    """One node of a VS_VERSIONINFO tree: (key, value, children, length)."""
    length, value_length, kind = struct.unpack_from("<HHH", data, at)
    end_key = at + 6
    while data[end_key:end_key + 2] != b"\0\0":
        end_key += 2
    key = data[at + 6:end_key].decode("utf-16-le")
    pos = (end_key + 2 + 3) & ~3
    if kind == 1:  # text: the length counts characters
        value = data[pos:pos + 2 * value_length].decode("utf-16-le").rstrip("\0")
        pos += 2 * value_length
    else:
        value = data[pos:pos + value_length]
        pos += value_length
    pos = (pos + 3) & ~3
    children = []
    while pos < at + length:
        child = version_block(data, pos)
        children.append(child)
        pos = (pos + child[3] + 3) & ~3
    return key, value, children, length


def version_strings(data):
    key, fixed, children, _ = version_block(data)
    strings = {}
    for child in children:
        if child[0] == "StringFileInfo":
            for table in child[2]:
                for entry in table[2]:
                    strings[entry[0]] = entry[1]
    return key, fixed, strings


def banner_parts():
    """The version and the ownership notice of the banner, from the tool's own messages."""
    text = (REPO / "frontend" / "messages.h").read_text()
    banner = re.search(r'#define MSG_BANNER "([^"]*)"', text).group(1)
    m = re.fullmatch(r"Tavrel_Moss remover, vers\. (\S+)  (.+)", banner)
    return m.group(1), m.group(2)


class Checks:
    def __init__(self):
        self.failures = []
        self.count = 0

    def check(self, ok, what):
        self.count += 1
        if not ok:
            self.failures.append(what)
            print("FAIL: " + what)


def readme_size():
    """The exe's size as the README states it, in bytes, or None."""
    found = re.search(r"stripped, ([0-9,]+) bytes", (REPO / "README.md").read_text())
    return int(found.group(1).replace(",", "")) if found else None


def check_header(c, pe, size):
    c.check(size <= MAX_SIZE, "size %d bytes exceeds %d" % (size, MAX_SIZE))
    stated = readme_size()
    c.check(stated == size, "the README states %s bytes for the exe; it has %d" % (stated, size))
    c.check(pe.machine == 0x14C, "machine %#x is not i386" % pe.machine)
    c.check(pe.subsystem == 3, "subsystem %d is not the console (3)" % pe.subsystem)
    c.check(pe.subsystem_version == (4, 0), "subsystem version %d.%d, not 4.0" % pe.subsystem_version)
    c.check(pe.os_version == (4, 0), "OS version %d.%d, not 4.0" % pe.os_version)
    c.check(pe.timestamp == 0, "time stamp %#x in the file header" % pe.timestamp)
    c.check(pe.symbol_table == 0 and pe.symbols == 0, "symbol table left in: not stripped")
    debug = [s[0] for s in pe.sections if s[0].startswith(".debug") or s[0].startswith("/")]
    c.check(not debug, "debug sections left in: %s" % debug)
    c.check(len(pe.directories) <= 6 or pe.directories[6] == (0, 0), "debug directory present")


def check_imports(c, pe):
    imports = pe.imports()
    allowed = {dll.lower(): (dll, names) for dll, names in ALLOWED_IMPORTS.items()}
    for dll, functions in sorted(imports.items()):
        if dll.lower() not in allowed:
            c.check(False, "imports from %s: %s" % (dll, ", ".join(functions)))
            continue
        names = allowed[dll.lower()][1]
        for function in functions:
            c.check(function in names, "%s!%s is not in the list of allowed imports" % (dll, function))
    unused = ["%s!%s" % (dll, f) for dll, names in ALLOWED_IMPORTS.items() for f in names
              if f not in {g for d, fs in imports.items() if d.lower() == dll.lower() for g in fs}]
    if unused:
        print("note: allowed but not imported: %s" % ", ".join(unused))
    return imports


def check_resources(c, pe):
    resources, stamps = pe.resources()
    c.check(all(s == 0 for s in stamps), "time stamps in the resource directories: %s" % stamps)
    versions = [r for r in resources if r[0] == RT_VERSION]
    manifests = [r for r in resources if r[0] == RT_MANIFEST]
    c.check(len(versions) == 1, "%d version resources, not 1" % len(versions))
    c.check(len(manifests) == 1 and manifests[0][1] == 1,
            "the manifest is not one RT_MANIFEST resource with id 1: %s" % [m[:3] for m in manifests])
    version, notice = banner_parts()
    if versions:
        key, fixed, strings = version_strings(versions[0][-1])
        c.check(key == "VS_VERSION_INFO", "version resource key %r" % key)
        signature, _, ms, ls = struct.unpack_from("<IIII", fixed)
        c.check(signature == 0xFEEF04BD, "VS_FIXEDFILEINFO signature %#x" % signature)
        major, minor = int(version.split(".")[0]), int(version.split(".")[1])
        c.check((ms, ls) == ((major << 16) | minor, 0),
                "file version %d.%d.%d.%d, not %d.%d.0.0" % (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF,
                                                             major, minor))
        expected = {"ProductName": "Tavrel_Moss remover", "ProductVersion": version,
                    "FileVersion": version, "LegalCopyright": notice}
        for name, text in expected.items():
            c.check(strings.get(name) == text, "%s is %r, not %r" % (name, strings.get(name), text))
    if manifests:
        check_manifest(c, manifests[0][-1])


def check_manifest(c, data):
    root = ET.fromstring(data)
    levels = [e.get("level") for e in root.iter() if e.tag.endswith("}requestedExecutionLevel")]
    # An administrator's programs start with a filtered token under UAC, which cannot change
    # HKLM: the tool asks for the user's highest rights. Wine shows no UAC to test this on.
    c.check(levels == ["highestAvailable"], "requestedExecutionLevel %s, not highestAvailable" % levels)
    ids = {e.get("Id", "").lower() for e in root.iter() if e.tag.endswith("}supportedOS")}
    for guid, name in SUPPORTED_OS.items():
        c.check(guid in ids, "manifest lacks supportedOS for %s" % name)


def cmake_build(build_dir, target, configure=False):
    if configure:
        subprocess.run(["cmake", "-S", str(REPO), "-B", str(build_dir),
                        "-DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake",
                        "-DCMAKE_BUILD_TYPE=MinSizeRel"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", str(build_dir), "--target", target, "-j", "2"],
                   check=True, stdout=subprocess.DEVNULL)


def check_rebuild(c, exe, exe_dir):
    """A second clean build of the same sources gives the same bytes."""
    with tempfile.TemporaryDirectory(prefix="release_check.") as tmp:
        cmake_build(Path(tmp), "tavrel_moss_remover", configure=True)
        again = (Path(tmp) / TOOL_EXE).read_bytes()
        c.check(again == exe, "a clean rebuild gives other bytes (rebuild %s first if the sources "
                "changed since)" % exe_dir)
    cmake_build(exe_dir, "minimal_console")
    minimal = (exe_dir / "bench" / "minimal_console.exe").stat().st_size
    print("size: %d bytes, %.2f x the minimal console program (%d bytes)"
          % (len(exe), len(exe) / minimal, minimal))


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--exe-dir", default=str(REPO / "build" / "win32"))
    parser.add_argument("--rebuild", action="store_true",
                        help="also build afresh and compare, and size up the minimal program")
    args = parser.parse_args()
    exe_dir = Path(args.exe_dir)
    path = exe_dir / TOOL_EXE
    if not path.exists():
        print("FAILED: %s missing (run scripts/build.sh win32)" % path)
        return 1
    data = path.read_bytes()
    c = Checks()
    pe = PeFile(data)
    check_header(c, pe, len(data))
    imports = check_imports(c, pe)
    check_resources(c, pe)
    if args.rebuild:
        if shutil.which("cmake") is None:
            c.check(False, "cmake is missing: cannot rebuild")
        else:
            check_rebuild(c, data, exe_dir)
    print("imports: %s" % "; ".join("%s %d" % (d, len(f)) for d, f in sorted(imports.items())))
    if c.failures:
        print("FAILED: %d of %d checks of %s" % (len(c.failures), c.count, path))
        return 1
    print("PASSED: %d checks of %s (%d bytes)" % (c.count, path, len(data)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
