// The simulated Windows where it is easy to get wrong and the tool depends on it: binary
// streams, ini files, the registry's buffer edges, the classes view, and faults.
#include <gtest/gtest.h>

#include "platform/sim.h"

#include <string>
#include <vector>

namespace {

const char kIni[] = "C:\\WINDOWS\\WIN.INI";
const char kRunKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
const char kEof = '\x1a';  // ends a file in text mode, which the tool never uses

class SimTest : public ::testing::Test {
protected:
    void SetUp() override { sim::reset(); }
};

std::string read_all(const char *path, const char *mode) {
    FILE *f = win_fopen(path, mode);
    if (!f) return "<no stream>";
    std::string text;
    char buffer[64];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, f)) > 0) text.append(buffer, n);
    fclose(f);
    return text;
}

std::string file_bytes(const std::string &path) {
    std::string bytes;
    return sim::read_file(path, &bytes) ? bytes : "<absent>";
}

// ---- streams

using SimStreams = SimTest;

TEST_F(SimStreams, EveryByteAsItIsAndNoOtherMode) {
    const std::string bytes = std::string("a\r\r\nb\rc\n") + kEof + "d";
    sim::write_file(kIni, bytes);
    EXPECT_EQ(read_all(kIni, "rb"), bytes);
    FILE *f = win_fopen(kIni, "wb");
    ASSERT_NE(f, nullptr);
    fputs("a\nb\r\nc", f);
    EXPECT_EQ(fclose(f), 0);
    EXPECT_EQ(file_bytes(kIni), "a\nb\r\nc");
    for (const char *mode : {"r", "rt", "w", "a", "r+b"}) EXPECT_EQ(win_fopen(kIni, mode), nullptr) << mode;
}

TEST_F(SimStreams, LongLineComesInPiecesOfSizeLessOne) {
    sim::write_file(kIni, std::string(1200, 'x') + "\r\n");
    FILE *f = win_fopen(kIni, "rb");
    ASSERT_NE(f, nullptr);
    std::vector<size_t> pieces;
    char buffer[500];
    while (fgets(buffer, 499, f)) pieces.push_back(strlen(buffer));
    fclose(f);
    EXPECT_EQ(pieces, (std::vector<size_t>{498, 498, 206}));
    EXPECT_EQ(buffer[205], '\n');
}

TEST_F(SimStreams, OpenFollowsTheFileState) {
    sim::write_file(kIni, "old");
    sim::write_file("C:\\WINDOWS\\RO.INI", "ro", FILE_ATTRIBUTE_READONLY);
    sim::write_file("C:\\WINDOWS\\HELD.INI", "held");
    sim::hold_in_use("C:\\WINDOWS\\HELD.INI");

    FILE *f = win_fopen(kIni, "wb");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(sim::open_files(), 1);
    fclose(f);
    EXPECT_EQ(file_bytes(kIni), "");  // "wb" empties an existing file
    EXPECT_EQ(sim::open_files(), 0);

    EXPECT_EQ(win_fopen("C:\\WINDOWS\\NEW.INI", "rb"), nullptr);
    EXPECT_EQ(win_fopen("C:\\NOWHERE\\NEW.INI", "wb"), nullptr);
    EXPECT_EQ(win_fopen("C:\\WINDOWS\\RO.INI", "wb"), nullptr);
    EXPECT_EQ(win_fopen("C:\\WINDOWS\\HELD.INI", "rb"), nullptr);
    EXPECT_EQ(file_bytes("C:\\WINDOWS\\RO.INI"), "ro");
    // Held with reading shared: it reads, but is neither written, moved nor deleted.
    sim::hold_in_use("C:\\WINDOWS\\HELD.INI", true, true);
    EXPECT_EQ(read_all("C:\\WINDOWS\\HELD.INI", "rb"), "held");
    EXPECT_EQ(win_fopen("C:\\WINDOWS\\HELD.INI", "wb"), nullptr);
    EXPECT_FALSE(DeleteFileA("C:\\WINDOWS\\HELD.INI") || MoveFileA("C:\\WINDOWS\\HELD.INI", kIni));
}

TEST_F(SimStreams, StandardOutputIsFullyBufferedEvenWhenLineBuffered) {
    static bool line_buffered;
    static const auto prompt_and_wait = []() {
        if (line_buffered) win_setvbuf(win_stdout(), nullptr, _IOLBF, 512);
        win_puts("prompt");
        HANDLE in =
            CreateFileA("conin$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                        nullptr, OPEN_EXISTING, 0, nullptr);
        INPUT_RECORD record;
        DWORD read = 0;
        ReadConsoleInputA(in, &record, 1, &read);
        return 0;
    };
    for (bool asked : {false, true}) {
        sim::reset();
        line_buffered = asked;
        const sim::Outcome outcome = sim::run(prompt_and_wait);
        EXPECT_EQ(outcome.kind, sim::Outcome::BLOCKED) << "line buffered " << asked;
        // A process that hangs never shows what it left in its buffer.
        EXPECT_EQ(sim::out(), "") << "line buffered " << asked;
        EXPECT_EQ(sim::count("stdout"), 0) << "line buffered " << asked;
    }

    static const auto exits = []() -> int {
        win_puts("bye");
        win_exit(3);
    };
    const sim::Outcome outcome = sim::run(exits);
    EXPECT_EQ(outcome.kind, sim::Outcome::EXITED);
    EXPECT_EQ(outcome.code, 3);
    EXPECT_EQ(sim::out(), "bye\n");
    EXPECT_EQ(sim::calls().back().args, "\"bye\n\"");
}

// ---- Profile files

using SimProfile = SimTest;

TEST_F(SimProfile, ReadGivesCountOfCharactersStored) {
    const std::string long_value(600, 'v');
    struct Case {
        const char *file;  // nullptr: no file
        const char *section;
        const char *key;
        DWORD size;
        std::string text;
    } cases[] = {
        {nullptr, "windows", "run", 512, ""},
        {"[windows]\r\nload=x\r\n", "windows", "run", 512, ""},
        {"[boot]\r\nrun=x\r\n", "windows", "run", 512, ""},
        {"[windows]\r\nrun=\r\n", "windows", "run", 512, ""},
        {"[Windows]\r\n  RUN =  a.exe b.exe  \r\n", "windows", "run", 512, "a.exe b.exe"},
        {"[windows]\nrun=abcdef\n", "WINDOWS", "Run", 4, "abc"},
    };
    for (const Case &c : cases) {
        sim::reset();
        if (c.file) sim::write_file(kIni, c.file);
        char buffer[520];
        memset(buffer, 'x', sizeof buffer);
        DWORD n = GetPrivateProfileStringA(c.section, c.key, nullptr, buffer, c.size, kIni);
        EXPECT_EQ(n, c.text.size()) << (c.file ? c.file : "no file");
        EXPECT_EQ(std::string(buffer), c.text) << (c.file ? c.file : "no file");
    }

    sim::write_file(kIni, "[windows]\r\nrun=" + long_value + "\r\n");
    char buffer[512];
    EXPECT_EQ(GetPrivateProfileStringA("windows", "run", nullptr, buffer, 512, kIni), 511u);
    EXPECT_EQ(std::string(buffer), long_value.substr(0, 511));
}

TEST_F(SimProfile, WriteKeepsOtherLinesAndRewritesWithCrLf) {
    struct Case {
        const char *before;  // nullptr: no file
        const char *section;
        const char *key;
        const char *text;
        const char *after;
    } cases[] = {
        {"; top\n[windows]\nload=\nrun=TAVREL.EXE x.exe\n\n[other]\nk=v\n", "windows", "RUN", "",
         "; top\r\n[windows]\r\nload=\r\nrun=\r\n\r\n[other]\r\nk=v\r\n"},
        {"[boot]\r\nshell = Explorer.exe tavrel.exe\r\n", "Boot", "shell", "Explorer.exe",
         "[boot]\r\nshell=Explorer.exe\r\n"},
        {"[windows]\r\nload=\r\n\r\n[other]\r\n", "windows", "run", "a",
         "[windows]\r\nload=\r\nrun=a\r\n\r\n[other]\r\n"},
        {"[other]\r\nk=v", "windows", "run", "", "[other]\r\nk=v\r\n[windows]\r\nrun=\r\n"},
        {nullptr, "boot", "shell", "Explorer.exe", "[boot]\r\nshell=Explorer.exe\r\n"},
    };
    for (const Case &c : cases) {
        sim::reset();
        if (c.before) sim::write_file(kIni, c.before);
        EXPECT_TRUE(WritePrivateProfileStringA(c.section, c.key, c.text, kIni));
        EXPECT_EQ(file_bytes(kIni), c.after) << (c.before ? c.before : "no file");
    }
}

TEST_F(SimProfile, WriteFailsOnReadOnlyOrHeldFile) {
    sim::write_file(kIni, "[windows]\r\nrun=x\r\n", FILE_ATTRIBUTE_READONLY);
    EXPECT_FALSE(WritePrivateProfileStringA("windows", "run", "", kIni));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    sim::write_file(kIni, "[windows]\r\nrun=x\r\n");
    sim::hold_in_use(kIni);
    EXPECT_FALSE(WritePrivateProfileStringA("windows", "run", "", kIni));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(file_bytes(kIni), "[windows]\r\nrun=x\r\n");
}

// ---- Registry

using SimRegistry = SimTest;

struct Enumerated {
    LONG result;
    std::string name;  // the whole name buffer up to its guard
    DWORD name_size;
    std::string data;  // the whole data buffer up to its guard
    DWORD data_size;
    bool guards_intact;
};

// RegEnumValueA with 512-byte buffers prefilled with '#' and followed by a guard byte.
Enumerated enumerate_first(HKEY key) {
    char name[513], data[513];
    memset(name, '#', sizeof name);
    memset(data, '#', sizeof data);
    DWORD name_size = 512, data_size = 512, type = 0;
    Enumerated e;
    e.result = RegEnumValueA(key, 0, name, &name_size, nullptr, &type,
                             reinterpret_cast<BYTE *>(data), &data_size);
    e.name.assign(name, 512);
    e.name_size = name_size;
    e.data.assign(data, 512);
    e.data_size = data_size;
    e.guards_intact = name[512] == '#' && data[512] == '#';
    return e;
}

TEST_F(SimRegistry, EnumValueAtTheBufferEdges) {
    const std::string untouched(512, '#');
    struct Case {
        std::string value_name;
        std::string data;  // stored as REG_SZ exactly as given
        LONG result;
        std::string name_prefix;  // what the name buffer starts with
        DWORD name_size;
        std::string data_prefix;
        DWORD data_size;
    } cases[] = {
        {"v", std::string(512, 'A'), ERROR_SUCCESS, std::string("v\0", 2), 1, std::string(512, 'A'),
         512},
        {"v", std::string(511, 'A') + '\0', ERROR_SUCCESS, std::string("v\0", 2), 1,
         std::string(511, 'A') + '\0', 512},
        {"v", std::string(513, 'A'), ERROR_MORE_DATA, untouched, 512, untouched, 513},
        {std::string(512, 'n'), "x", ERROR_MORE_DATA, std::string(511, 'n') + '\0', 512,
         std::string("x\0", 2), 1},
        {"v", "", ERROR_SUCCESS, std::string("v\0", 2), 1, untouched, 0},
    };
    int row = 0;
    for (const Case &c : cases) {
        ++row;
        sim::reset();
        sim::set_value(HKEY_LOCAL_MACHINE, kRunKey, c.value_name.c_str(), REG_SZ, c.data);
        HKEY key;
        ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRunKey, 0, KEY_READ, &key), ERROR_SUCCESS);
        const Enumerated e = enumerate_first(key);
        RegCloseKey(key);
        EXPECT_EQ(e.result, c.result) << "row " << row;
        EXPECT_EQ(e.name.substr(0, c.name_prefix.size()), c.name_prefix) << "row " << row;
        EXPECT_EQ(e.name_size, c.name_size) << "row " << row;
        EXPECT_EQ(e.data.substr(0, c.data_prefix.size()), c.data_prefix) << "row " << row;
        EXPECT_EQ(e.data_size, c.data_size) << "row " << row;
        EXPECT_TRUE(e.guards_intact) << "row " << row;
    }
}

TEST_F(SimRegistry, InfoKeyGivesTheLongestNameAndData) {
    sim::set_text(HKEY_LOCAL_MACHINE, kRunKey, std::string(600, 'n').c_str(), "x");
    sim::set_value(HKEY_LOCAL_MACHINE, kRunKey, "v", REG_BINARY, std::string(700, 'd'));
    sim::create_key(HKEY_LOCAL_MACHINE, std::string(kRunKey) + "\\sub");
    HKEY key;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRunKey, 0, KEY_READ, &key), ERROR_SUCCESS);
    DWORD subkeys = 0, values = 0, longest_name = 0, longest_data = 0;
    EXPECT_EQ(RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values,
                               &longest_name, &longest_data, nullptr, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(subkeys, 1u);
    EXPECT_EQ(values, 2u);
    EXPECT_EQ(longest_name, 600u);
    EXPECT_EQ(longest_data, 700u);
}

TEST_F(SimRegistry, ValuesEnumerateInCaseInsensitiveOrder) {
    for (const char *name : {"b", "_x", "C", "A"})
        sim::set_text(HKEY_LOCAL_MACHINE, kRunKey, name, "d");
    HKEY key;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRunKey, 0, KEY_READ, &key), ERROR_SUCCESS);
    std::vector<std::string> names;
    for (DWORD i = 0;; ++i) {
        char name[64];
        DWORD size = sizeof name;
        if (RegEnumValueA(key, i, name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        names.push_back(name);
    }
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(names, (std::vector<std::string>{"_x", "A", "b", "C"}));
    EXPECT_EQ(sim::open_keys(), 0);
}

TEST_F(SimRegistry, QueryValueOfDefaultValue) {
    const char *command = "Software\\CLASSES\\exefile\\shell\\open\\command";
    HKEY key;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, command, 0, KEY_READ, &key), ERROR_SUCCESS);
    char buffer[16];
    LONG size = sizeof buffer;
    EXPECT_EQ(RegQueryValueA(key, nullptr, buffer, &size), ERROR_SUCCESS);
    EXPECT_STREQ(buffer, "\"%1\" %*");
    EXPECT_EQ(size, 8);

    memset(buffer, '#', sizeof buffer);
    size = 4;
    EXPECT_EQ(RegQueryValueA(key, nullptr, buffer, &size), ERROR_MORE_DATA);
    EXPECT_EQ(buffer[0], '#');  // nothing copied
    EXPECT_EQ(size, 8);         // the size needed

    size = sizeof buffer;
    EXPECT_EQ(RegQueryValueA(key, "missing", buffer, &size), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(size, static_cast<LONG>(sizeof buffer));
    RegCloseKey(key);

    sim::create_key(HKEY_LOCAL_MACHINE, "Software\\Empty");
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Empty", 0, KEY_READ, &key),
              ERROR_SUCCESS);
    EXPECT_EQ(RegQueryValueA(key, nullptr, buffer, &size), ERROR_SUCCESS);  // unset default
    EXPECT_EQ(size, 1);
    EXPECT_EQ(buffer[0], '\0');
    RegCloseKey(key);
}

TEST_F(SimRegistry, ClassesRootIsAViewOfMachineClassesUntilSeparated) {
    sim::set_text(HKEY_LOCAL_MACHINE, "Software\\Classes\\.dl", nullptr, "machine");
    EXPECT_EQ(sim::text_value(HKEY_CLASSES_ROOT, ".DL", nullptr), "machine");
    EXPECT_EQ(RegSetValueA(HKEY_CLASSES_ROOT, "exefile\\shell\\open\\command", REG_SZ, "x", 1),
              ERROR_SUCCESS);
    EXPECT_EQ(sim::text_value(HKEY_LOCAL_MACHINE,
                              "SOFTWARE\\CLASSES\\exefile\\shell\\open\\command", nullptr),
              "x");
    EXPECT_EQ(RegDeleteKeyA(HKEY_CLASSES_ROOT, ".dl"), ERROR_SUCCESS);
    EXPECT_FALSE(sim::key_exists(HKEY_LOCAL_MACHINE, "Software\\Classes\\.dl"));

    sim::separate_classes_root();
    sim::set_text(HKEY_CLASSES_ROOT, ".dl", nullptr, "classes");
    EXPECT_FALSE(sim::key_exists(HKEY_LOCAL_MACHINE, "Software\\Classes\\.dl"));
    EXPECT_EQ(sim::text_value(HKEY_CLASSES_ROOT, "exefile\\shell\\open\\command", nullptr), "x");
}

TEST_F(SimRegistry, DeleteKeyWithSubkeysDependsOnFamily) {
    struct Case {
        sim::Family family;
        LONG result;
        bool gone;
    } cases[] = {{sim::FAMILY_NT, ERROR_ACCESS_DENIED, false},
                 {sim::FAMILY_9X, ERROR_SUCCESS, true}};
    for (const Case &c : cases) {
        sim::reset();
        sim::set_family(c.family);
        sim::create_key(HKEY_CLASSES_ROOT, ".dl\\shell\\open");
        EXPECT_EQ(RegDeleteKeyA(HKEY_CLASSES_ROOT, ".dl"), c.result) << "family " << c.family;
        EXPECT_EQ(!sim::key_exists(HKEY_CLASSES_ROOT, ".dl"), c.gone) << "family " << c.family;
    }
}

TEST_F(SimRegistry, LinksAreFollowedUnlessOpenedAsLinks) {
    const char *target = "Software\\Classes\\target";
    typedef LONG (*nt_delete_key_call)(HANDLE);
    auto nt_delete_key = reinterpret_cast<nt_delete_key_call>(
        reinterpret_cast<void (*)(void)>(GetProcAddress(GetModuleHandleA("NTDLL.DLL"), "NtDeleteKey")));
    ASSERT_NE(nt_delete_key, nullptr);
    for (int step = 0; step < 2; ++step) {
        sim::set_text(HKEY_LOCAL_MACHINE, target, "v", "target's");
        sim::create_link(HKEY_CLASSES_ROOT, ".dl", "\\Registry\\Machine\\Software\\Classes\\target");
        HKEY key;
        DWORD type = 0;
        ASSERT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, ".dl", 0, KEY_READ, &key), ERROR_SUCCESS);
        EXPECT_EQ(RegQueryValueExA(key, "v", nullptr, &type, nullptr, nullptr), ERROR_SUCCESS);
        RegCloseKey(key);
        ASSERT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, ".dl", REG_OPTION_OPEN_LINK, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
        EXPECT_EQ(RegQueryValueExA(key, "SymbolicLinkValue", nullptr, &type, nullptr, nullptr), ERROR_SUCCESS);
        EXPECT_EQ(type, static_cast<DWORD>(REG_LINK));
        if (step == 0) {
            RegCloseKey(key);
            // Deleting by name deletes the target and leaves the link.
            EXPECT_EQ(RegDeleteKeyA(HKEY_CLASSES_ROOT, ".dl"), ERROR_SUCCESS);
            EXPECT_FALSE(sim::key_exists(HKEY_LOCAL_MACHINE, target));
            EXPECT_TRUE(sim::key_exists(HKEY_CLASSES_ROOT, ".dl"));
            EXPECT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, ".dl", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
        } else {
            EXPECT_EQ(nt_delete_key(key), 0);
            RegCloseKey(key);
            EXPECT_TRUE(sim::key_exists(HKEY_LOCAL_MACHINE, target));
            EXPECT_FALSE(sim::key_exists(HKEY_CLASSES_ROOT, ".dl"));
        }
    }
    EXPECT_EQ(sim::open_keys(), 0);
}

// ---- Modules

using SimModules = SimTest;

TEST_F(SimModules, OnlyUser32AndItsExitWindowsExAreFound) {
    struct Case {
        const char *module;
        const char *name;
        DWORD error;  // 0: found
    } cases[] = {
        {"user32.dll", "ExitWindowsEx", 0},
        {"USER32", "ExitWindowsEx", 0},
        {"user32.dll", "exitwindowsex", ERROR_PROC_NOT_FOUND},
        {"user32.dll", "ExitWindows", ERROR_PROC_NOT_FOUND},
        {"shell32.dll", "ExitWindowsEx", ERROR_MOD_NOT_FOUND},
    };
    for (const Case &c : cases) {
        HMODULE module = LoadLibraryA(c.module);
        FARPROC proc = module ? GetProcAddress(module, c.name) : nullptr;
        EXPECT_EQ(proc != nullptr, c.error == 0) << c.module << " " << c.name;
        if (c.error != 0) {
            EXPECT_EQ(GetLastError(), c.error) << c.module << " " << c.name;
        }
    }
}

// ---- Faults

using SimFaults = SimTest;

TEST_F(SimFaults, NthCallOfNameFailsOnceOrFromThenOn) {
    struct Case {
        bool persist;
        std::vector<LONG> results;
    } cases[] = {
        {false, {ERROR_SUCCESS, ERROR_ACCESS_DENIED, ERROR_SUCCESS}},
        {true, {ERROR_SUCCESS, ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED}},
    };
    for (const Case &c : cases) {
        sim::reset();
        sim::fail("RegOpenKeyExA", 2, ERROR_ACCESS_DENIED, c.persist);
        std::vector<LONG> results;
        for (int i = 0; i < 3; ++i) {
            HKEY key = HKEY_CURRENT_USER;
            results.push_back(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRunKey, 0, KEY_READ, &key));
            if (results.back() == ERROR_SUCCESS)
                RegCloseKey(key);
            else
                EXPECT_EQ(key, nullptr);
        }
        EXPECT_EQ(results, c.results) << "persist " << c.persist;
        EXPECT_EQ(sim::count("RegOpenKeyExA"), 3);  // failing calls are recorded too
    }
}

TEST_F(SimFaults, FilterPicksCallsByTheirArguments) {
    sim::write_file(kIni, "");
    sim::write_file("C:\\WINDOWS\\SYSTEM.INI", "");
    sim::fail("GetFileAttributesA", 1, ERROR_ACCESS_DENIED, false, "SYSTEM.INI");
    EXPECT_NE(GetFileAttributesA(kIni), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetFileAttributesA("C:\\WINDOWS\\SYSTEM.INI"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_NE(GetFileAttributesA("C:\\WINDOWS\\SYSTEM.INI"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(sim::calls()[1].args, "\"C:\\WINDOWS\\SYSTEM.INI\"");
}

TEST_F(SimFaults, NthCallOverallFailsWhateverItsName) {
    sim::fail_nth_call(2, ERROR_SHARING_VIOLATION);
    sim::write_file(kIni, "x");
    EXPECT_NE(GetFileAttributesA(kIni), INVALID_FILE_ATTRIBUTES);
    EXPECT_FALSE(DeleteFileA(kIni));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_TRUE(DeleteFileA(kIni));
    EXPECT_EQ(sim::total_calls(), 4);
}

// A failed close loses what the stream's buffer held, as msvcrt's does; fflush put it out.
TEST_F(SimFaults, StreamWriteAndCloseFailuresKeepWhatReachedTheDisk) {
    struct Case {
        const char *name;
        int nth;
        int fclose_result;
        std::string on_disk;
        bool error_flag;
        bool flush_first = false;
    } cases[] = {
        {"write", 1, 0, "two\n", true},
        {"write", 2, 0, "one\n", true},
        {"fclose", 1, EOF, "", false},
        {"fclose", 1, EOF, "one\n", false, true},
    };
    for (const Case &c : cases) {
        sim::reset();
        sim::fail(c.name, c.nth, ERROR_DISK_FULL);
        FILE *f = win_fopen(kIni, "wb");
        ASSERT_NE(f, nullptr);
        fputs("one\n", f);
        if (c.flush_first) fflush(f);
        fprintf(f, "%s\n", "two");
        EXPECT_EQ(ferror(f) != 0, c.error_flag) << c.name << " " << c.nth;
        EXPECT_EQ(fclose(f), c.fclose_result) << c.name << " " << c.nth;
        EXPECT_EQ(file_bytes(kIni), c.on_disk) << c.name << " " << c.nth;
    }
}

}  // namespace
