"""The substitute shield in the lab machine: orvfsh.sys as a demand-start kernel service,
configured and read back through shield_ctl.exe."""

from .helpers import Holder
from .wine import LabFailure, SHIELD_CTL_EXE, SHIELD_DRIVER, host_path, wine

SERVICE = "OrvFsh"
DRIVER_PATH = r"C:\windows\system32\drivers" + "\\" + SHIELD_DRIVER
# Held open for as long as the shield must answer: Wine ends its services, the driver's
# host among them, soon after the last ordinary program of the machine exits.
KEEPER_PATH = r"C:\windows\temp\shield-keeper.txt"

IOCTL_SHIELD_GET_STATE = 0x5349A00C
IOCTL_SHIELD_SET_STATE = 0x5349A010
STATUS_SUCCESS = 0
STATUS_ACCESS_DENIED = 0xC0000022
NO_STATE = 0xFFFFFFFF


class Shield:
    """The driver running in the lab machine; needs the scenario's wineserver up."""

    def __init__(self, exe_dir, run_dir, state, refuse=False):
        self.exe_dir = exe_dir
        self.run_dir = run_dir
        host_path(KEEPER_PATH).write_bytes(b"kept open while the shield answers\r\n")
        self.keeper = Holder(exe_dir, KEEPER_PATH, run_dir)
        host_path(DRIVER_PATH).write_bytes((exe_dir / SHIELD_DRIVER).read_bytes())
        wine(["sc", "create", SERVICE, "type=", "kernel", "start=", "demand",
              "binPath=", DRIVER_PATH], timeout=120)
        wine(["sc", "start", SERVICE], timeout=120)
        self.exchange("%08x" % state, "refuse" if refuse else "answer")

    def exchange(self, *args):
        """Runs shield_ctl.exe: the shield's state before the call, whether it refused, and
        its log since the last call, which the call empties."""
        rc, out, err = wine([str(self.exe_dir / SHIELD_CTL_EXE)] + list(args), timeout=60,
                            check=False)
        lines = out.splitlines()
        if rc != 0 or not lines or not lines[-1].startswith("END "):
            raise LabFailure("shield_ctl %s exited %s: %s %s" % (" ".join(args), rc, out, err))
        _, state, mode = lines[0].split()
        self.last_output = out
        return int(state, 16), mode == "REFUSE", [parse_entry(line) for line in lines[1:-1]]

    def log(self, label):
        """The requests since the last look, kept in the run's folder as shield_ctl gave them."""
        state, _, entries = self.exchange()
        (self.run_dir / ("shield-" + label + ".txt")).write_text(self.last_output)
        return state, entries

    def stop(self):
        self.keeper.release()


def parse_entry(line):
    """('CREATE', open, options), ('CONTROL', open, code, in, out, value or None, status) or
    ('CLOSE', open)."""
    kind, *fields = line.split()
    values = {}
    for field in fields:
        name, _, text = field.partition("=")
        values[name] = None if text == "-" else int(text, 0)
    if kind == "CREATE":
        return (kind, values["open"], values["options"])
    if kind == "CLOSE":
        return (kind, values["open"])
    return (kind, values["open"], values["code"], values["in"], values["out"], values["value"],
            values["status"])


def without_options(entries):
    """The log with each create's options left out: Wine passes the same ones for every
    creation disposition, so they tell nothing of the tool's."""
    return [e[:2] if e[0] == "CREATE" else e for e in entries]


def query(open_, answer, status=STATUS_SUCCESS):
    """One open that asked for the state: create, the query with a 4-byte output, close."""
    return [("CREATE", open_), ("CONTROL", open_, IOCTL_SHIELD_GET_STATE, 0, 4, answer, status),
            ("CLOSE", open_)]


def give_back(open_, value):
    """One open that gave the state back: create, the set carrying 4 bytes, close."""
    return [("CREATE", open_), ("CONTROL", open_, IOCTL_SHIELD_SET_STATE, 4, 0, value,
                                STATUS_SUCCESS), ("CLOSE", open_)]
