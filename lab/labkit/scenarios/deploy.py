"""The deployment script as shipped, deploy/clean-moss.cmd, run by Wine's cmd.exe on lab
machines that reach one share both as a drive and by its UNC name, with a stand-in for
shutdown.exe; then the README's lines that read the gathered logs, on those logs."""

import os
import shutil
import subprocess

from ..findstr import run as findstr_run
from ..machine import mapped, reset_machine, start_server
from ..planting import plant
from ..snapshots import link_mask
from ..steps import expect_planted, plant_held_worm
from ..wine import (DENY_EXE, REPO, SHUTDOWN_STAND_IN_EXE, TOOL_EXE, LabFailure,
                    host_path, run_cmd, wine, wine_env, winpath)
from ..worm import ALL_LINKS, RUN, WORM_FILE_BYTES, WORM_PATH
from .switches import ALL_FOUND, check_record, log_records, plant_all, removed_by

SCRIPT = REPO / "deploy" / "clean-moss.cmd"
# The share as the shipped script names it (LOGS), and the drive the lab maps it to as well.
SERVER, SHARE_NAME = "server", "share"
UNC_LOGS = r"\\%s\%s\logs" % (SERVER, SHARE_NAME)
DRIVE = "s:"
LOCAL_LOGS = r"C:\windows\Logs\TavrelMoss"     # %SystemRoot%\Logs\TavrelMoss under Wine
RESTART_ARGS = '/r /t 600 /c "Restarting in 10 minutes to finish removing Tavrel_Moss"'
COMPUTER_NAME_KEYS = (r"HKLM\System\CurrentControlSet\Control\ComputerName\ComputerName",
                      r"HKLM\System\CurrentControlSet\Control\ComputerName\ActiveComputerName")
# cmd's exit code when it cannot start a program; the host sees its low byte.
NOT_STARTED = 9009


class Share:
    """A host folder that the lab machine reaches as \\\\server\\share and as drive S: while
    it is mapped (mapped()), holding the script byte for byte as shipped, the exe beside it
    and a logs folder."""

    def __init__(self, sc):
        self.dir = sc.run_dir / "share"
        self.logs = self.dir / "logs"
        self.logs.mkdir(parents=True)
        shutil.copyfile(SCRIPT, self.dir / SCRIPT.name)
        shutil.copyfile(sc.exe_dir / TOOL_EXE, self.dir / TOOL_EXE)

    def mapped(self):
        return mapped(self.dir, DRIVE, "unc/%s/%s" % (SERVER, SHARE_NAME))

    def host_dir_of(self, windows_folder):
        """The host folder of a folder on the share, as the README's lines name it."""
        prefix = r"\\%s\%s" % (SERVER, SHARE_NAME)
        if not windows_folder.lower().startswith(prefix):
            raise LabFailure("not on the share: %s" % windows_folder)
        rest = windows_folder[len(prefix):].strip("\\")
        return str(self.dir / rest.replace("\\", "/")) if rest else str(self.dir)


def name_machine(sc, computer):
    """Names the running lab machine `computer`, as %COMPUTERNAME% and GetComputerName give
    it (the reset puts the name back)."""
    for key in COMPUTER_NAME_KEYS:
        wine(["reg", "add", key, "/v", "ComputerName", "/d", computer, "/f"], timeout=60)
    sc.log("machine %s" % computer)


def run_script(sc, stand_in_dir, computer, script, args=()):
    """The script run by Wine's cmd.exe as a start-up script runs it: no console, the
    shutdown stand-in first on the PATH. Returns the exit code the host sees and standard
    error."""
    env = wine_env({"WINEPATH": winpath(stand_in_dir)})
    rc, out, err = run_cmd(["wine", "cmd", "/c", script] + list(args), timeout=120, env=env,
                           check=False)
    (sc.run_dir / (computer + ".stdout")).write_text(out)
    (sc.run_dir / (computer + ".stderr")).write_text(err)
    return rc, err


def run_quietly(sc, stand_in_dir, computer, script, args=()):
    """run_script, which must write nothing on standard error; returns the exit code."""
    rc, err = run_script(sc, stand_in_dir, computer, script, args)
    sc.equal(err, "", computer + ": standard error of the script")
    return rc


def text_lines(path):
    """A file's lines, which must each end in CR LF; None for a missing file."""
    if not path.exists():
        return None
    data = path.read_bytes().decode("latin-1")
    return data[:-2].split("\r\n") if data.endswith("\r\n") else [data]


def record_wants(exit_code, worm_file, links=True):
    """What a machine's record must say after the question: links as check_record takes
    them (True: every link removed or repaired), the worm file, no restart asked of the
    tool itself, and the exit code."""
    return {"answer": "yes", "link": links, "worm file": worm_file,
            "restart": "not requested", "exit": exit_code}


def expect_log(sc, path, computer, log_arg, want):
    records = log_records(path) if path.exists() else []
    sc.equal(len(records), 1, computer + ": records in its log")
    if records:
        check_record(sc, records[0], computer, ["/silent", "/log=" + log_arg], ALL_FOUND, want)
        sc.equal(dict(records[0]).get("computer"), computer, computer + ": computer in the record")


# The README's lines that read the gathered logs, and what each gives on this scenario's logs.
FINDSTR_WANT = {
    r'findstr /b /c:"exit: " \\server\share\logs\*.log':
        [UNC_LOGS + r"\PC-0001.log:exit: 0", UNC_LOGS + r"\PC-0002.log:exit: 3",
         UNC_LOGS + r"\PC-0003.log:exit: 2"],
    r'findstr /b /r /c:"exit: [1-9]" \\server\share\logs\*.log':
        [UNC_LOGS + r"\PC-0002.log:exit: 3", UNC_LOGS + r"\PC-0003.log:exit: 2"],
    r'findstr /b /c:"link: " \\server\share\logs\*.log | findstr /e /c:" left"':
        [UNC_LOGS + r"\PC-0003.log:link: Run left"],
    r'findstr /b /c:"worm file: set for deletion" /c:"worm file: could not" '
    r'\\server\share\logs\*.log':
        [UNC_LOGS + r"\PC-0002.log:worm file: set for deletion at boot"],
}
# The README's grep lines for a Unix machine with the share mounted (run in the share).
GREP_WANT = {
    "grep -H '^exit: [1-9]' logs/*.log": ["logs/PC-0002.log:exit: 3\r", "logs/PC-0003.log:exit: 2\r"],
    "grep -l $'^link: .* left\\r$' logs/*.log": ["logs/PC-0003.log"],
}


def readme_log_lines():
    """The findstr lines of the README's block on reading the gathered logs, and its text."""
    text = (REPO / "README.md").read_text()
    at = text.find("Reading the gathered logs")
    block = text[at:].split("```bat", 1)[1].split("```", 1)[0] if at >= 0 else ""
    return [l for l in block.splitlines() if l.startswith("findstr ")], text


def wine_findstr_is_stub():
    """Wine 8's findstr prints nothing for any search and says so only on its fixme channel."""
    env = wine_env({"WINEDEBUG": "fixme+findstr"})
    _, _, err = run_cmd(["wine", "findstr", "x", winpath(SCRIPT)], timeout=60, env=env, check=False)
    return "stub" in err


def check_reading_lines(sc, share):
    lines, readme = readme_log_lines()
    sc.equal(lines, list(FINDSTR_WANT), "the README's findstr lines")
    stub = wine_findstr_is_stub()
    sc.log("Wine's findstr %s" % ("is a stub: the lines run through labkit.findstr"
                                  if stub else "runs the lines, and labkit.findstr beside it"))
    for line, want in FINDSTR_WANT.items():
        rc, got = findstr_run(line, share.host_dir_of)
        sc.equal(got, want, "what %s gives" % line)
        sc.equal(rc, 0, "exit code of %s" % line)
        if not stub:
            _, out, _ = run_cmd(["wine", "cmd", "/c", line], timeout=60, check=False)
            sc.equal(out.replace("\r\n", "\n").splitlines(), want, "Wine's findstr: " + line)
    for line, want in GREP_WANT.items():
        sc.check("`%s`" % line in readme, "the README names %s" % line)
        out = subprocess.run(["bash", "-c", line], cwd=share.dir, capture_output=True).stdout
        sc.equal(out.decode("latin-1").split("\n")[:-1], want, "what %s gives" % line)


def scenario_deploy_script(sc):
    """deploy/clean-moss.cmd on five machines, each named by its computer name: infected
    (exit 0), the worm file in use (exit 3, the restart asked for), the Run key refusing
    changes (exit 2, the attention file's line), the exe missing beside the script (cmd's
    9009: the attention file, no restart), and infected again with /local (the record in
    C:\\windows\\Logs\\TavrelMoss). Then the README's lines that read the logs."""
    shipped = SCRIPT.read_bytes()
    sc.check(shipped.endswith(b"\r\n") and b"\n" not in shipped.replace(b"\r\n", b""),
             "the shipped script's lines end in CR LF")
    stand_in = sc.run_dir / "stand-in"
    stand_in.mkdir()
    shutil.copyfile(sc.exe_dir / SHUTDOWN_STAND_IN_EXE, stand_in / "shutdown.exe")
    calls = stand_in / "shutdown-calls.txt"
    bare = sc.run_dir / "bare"          # the script without the exe beside it
    bare.mkdir()
    shutil.copyfile(SCRIPT, bare / SCRIPT.name)
    from_drive = DRIVE.upper() + "\\" + SCRIPT.name
    share = Share(sc)
    with share.mapped():
        sc.equal((share.dir / SCRIPT.name).read_bytes(), shipped, "the script on the share")
        attention = share.logs / "attention.txt"

        reset_machine()
        before = plant_all(sc)
        name_machine(sc, "PC-0001")
        sc.equal(run_quietly(sc, stand_in, "PC-0001", from_drive), 0, "PC-0001: exit code")
        removed_by(sc, before, "PC-0001-after")
        expect_log(sc, share.logs / "PC-0001.log", "PC-0001", UNC_LOGS + r"\PC-0001.log",
                   record_wants("0", "deleted"))
        sc.equal(text_lines(calls), None, "PC-0001: no restart asked for")
        sc.equal(text_lines(attention), None, "PC-0001: nothing in the attention file")

        reset_machine()
        _, holder = plant_held_worm(sc, None)
        name_machine(sc, "PC-0002")
        sc.equal(run_quietly(sc, stand_in, "PC-0002", from_drive), 3, "PC-0002: exit code")
        pending = sc.snapshot("PC-0002-after")
        holder.release()
        sc.equal(pending["worm file"], WORM_FILE_BYTES, "PC-0002: worm file there until the restart")
        sc.check(WORM_PATH.lower() in (pending["PendingFileRenameOperations"] or "").lower(),
                 "PC-0002: PendingFileRenameOperations names the worm file")
        sc.equal(link_mask(pending), 0, "PC-0002: links repaired")
        expect_log(sc, share.logs / "PC-0002.log", "PC-0002", UNC_LOGS + r"\PC-0002.log",
                   record_wants("3", "set for deletion at boot"))
        sc.equal(text_lines(calls), [RESTART_ARGS], "PC-0002: shutdown's arguments")
        sc.equal(text_lines(attention), None, "PC-0002: nothing in the attention file")

        reset_machine()
        start_server()
        name_machine(sc, "PC-0003")
        plant(sc.run_dir, links=ALL_LINKS, worm="file")
        expect_planted(sc, sc.snapshot("PC-0003-before"), ALL_LINKS, "file")
        _, out, err = wine([str(sc.exe_dir / DENY_EXE), RUN.split("\\", 1)[1]])
        sc.check(out.startswith("DENIED"), "Run key denied: %r" % (out + err))
        sc.equal(run_quietly(sc, stand_in, "PC-0003", from_drive), 2, "PC-0003: exit code")
        after = sc.snapshot("PC-0003-after")
        sc.equal(after["worm file"], WORM_FILE_BYTES, "PC-0003: worm file left alone")
        links = {"exefile command": "repaired", "RunServices": "removed", "Run": "left",
                 ".dl": "removed", "classes exefile command": "repaired",
                 "WIN.INI run": "repaired", "SYSTEM.INI shell": "repaired"}
        expect_log(sc, share.logs / "PC-0003.log", "PC-0003", UNC_LOGS + r"\PC-0003.log",
                   record_wants("2", "left", links))
        sc.equal(text_lines(calls), [RESTART_ARGS], "PC-0003: no restart asked for")
        sc.equal(text_lines(attention), ["PC-0003: links left, run it as an administrator"],
                 "PC-0003: the attention file")

        reset_machine()
        start_server()
        name_machine(sc, "PC-0004")
        rc, err = run_script(sc, stand_in, "PC-0004", winpath(bare / SCRIPT.name))
        sc.equal(rc, NOT_STARTED & 0xFF, "PC-0004 (no exe): exit code")
        sc.check(TOOL_EXE in err, "PC-0004: cmd names the exe it cannot start: %r" % err)
        sc.equal(text_lines(share.logs / "PC-0004.log"), None, "PC-0004: no log")
        sc.equal(text_lines(calls), [RESTART_ARGS], "PC-0004: no restart asked for")
        sc.equal(text_lines(attention), ["PC-0003: links left, run it as an administrator",
                                         "PC-0004: the tool ended with exit code %d" % NOT_STARTED],
                 "PC-0004: the attention file")

        reset_machine()
        before = plant_all(sc)
        name_machine(sc, "PC-0005")
        sc.equal(run_quietly(sc, stand_in, "PC-0005", from_drive, ["/local"]), 0,
                 "PC-0005 (/local): exit code")
        removed_by(sc, before, "PC-0005-after")
        local = LOCAL_LOGS + r"\PC-0005.log"
        expect_log(sc, host_path(local), "PC-0005", local, record_wants("0", "deleted"))
        sc.equal(sorted(os.listdir(share.logs)),
                 ["PC-0001.log", "PC-0002.log", "PC-0003.log", "attention.txt"],
                 "the share's logs after the local run")

        check_reading_lines(sc, share)
