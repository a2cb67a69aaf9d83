"""The version matrix: the file held in use and R on each Windows version that Wine imitates
and the tool claims, set as winecfg sets it; the family (WININIT.INI or
PendingFileRenameOperations) follows from the version. A full infection on the oldest and
newest of each family."""

from .removal import full_infection
from .restart import file_in_use

# Wine's names, oldest first. Left out: nt351, win2008 and win2008r2 (servers of a version
# already here), and Win32s (win20, win30, win31), which the tool does not claim.
VERSIONS = ("win95", "win98", "winme", "nt40", "win2k", "winxp", "win2003", "vista", "win7",
            "win8", "win81", "win10")


def in_use_on(version):
    def scenario(sc):
        file_in_use(sc, version, winecfg=True)
    return scenario


FULL_INFECTION_VERSIONS = ("win95", "winme", "nt40", "win10")


def full_infection_on(version):
    def scenario(sc):
        full_infection(sc, version, "y", winecfg=True)
    return scenario


VERSION_SCENARIOS = {version + ".in_use": in_use_on(version) for version in VERSIONS}
VERSION_SCENARIOS.update({version + ".full_infection": full_infection_on(version)
                          for version in FULL_INFECTION_VERSIONS})
