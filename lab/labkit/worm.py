"""The worm as the lab plants it: where the seven links live, their bits as the tool
counts them, and the values and the file planted."""


# Wine keeps the system directory at system32 in every Windows version it imitates, win98
# included (GetSystemDirectoryA was checked in both modes).
SYSTEM_DIR = r"C:\windows\system32"
WORM_PATH = SYSTEM_DIR + r"\FILES32.VXD"
WININIT_PATH = r"C:\windows\WININIT.INI"
OLD_TMP_PATH = r"C:\windows\temp\old.tmp"

# Where the seven links live.
HKLM_EXEFILE = r"HKLM\Software\CLASSES\exefile\shell\open\command"
HKCR_EXEFILE = r"HKCR\exefile\shell\open\command"
RUNSERVICES = r"HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\RunServices"
RUN = r"HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Run"
HKCR_DL = r"HKCR\.dl"
WININI_WINDOWS = r"HKCU\Software\Microsoft\Windows NT\CurrentVersion\Windows"
SESSION_MANAGER = r"HKLM\System\CurrentControlSet\Control\Session Manager"

L_MACHINE_EXE, L_RUNSERVICES, L_RUN, L_DL, L_CLASSES_EXE, L_WININI, L_SYSTEMINI = (
    0x1, 0x2, 0x4, 0x8, 0x10, 0x100, 0x200)
ALL_LINKS = 0x31F
LINK_NAMES = {
    L_MACHINE_EXE: r"HKLM\...\exefile\shell\open\command",
    L_RUNSERVICES: r"HKLM\...\RunServices",
    L_RUN: r"HKLM\...\Run",
    L_DL: r"HKCR\.dl",
    L_CLASSES_EXE: r"HKCR\exefile\shell\open\command",
    L_WININI: r"WIN.INI [windows] run=",
    L_SYSTEMINI: r"SYSTEM.INI [boot] shell=",
}
CLEAN_EXE_COMMAND = '"%1" %*'


# Values that belong to other programs: a repair must leave them alone. Their names sort
# before and after the worm's, since values enumerate in alphabetical order.
DECOY_RUN = {"AAA Updater": r"C:\Program Files\Updater\upd.exe", "Zeta Tray": r"C:\zeta\tray.exe"}
WORM_RUNSERVICES = ("SystemLoader", r"c:\windows\system32\TaVrEl.exe /service")
WORM_RUN = ("Moss", r"C:\WINDOWS\SYSTEM32\tavrel.exe")
WORM_EXE_COMMAND = r'c:\windows\system32\files32.vxd "%1" %*'
WORM_WININI_RUN = r"C:\WINDOWS\SYSTEM32\TAVREL.EXE"
WORM_SHELL = r"Explorer.exe C:\WINDOWS\SYSTEM32\Tavrel.exe"
WORM_FILE_BYTES = b"MZ" + b"\x90" * 510 + b"lab worm stand-in"
