// Deletion at the next boot: the NT family's pending move, and the WININIT.INI edit of
// the 9x family, byte for byte.
#include "tests/tool_fixture.h"

#include "clean/boot_delete.h"
#include "clean/boot_path.h"

namespace {

const char *const ENTRY = "NUL=" WORM_PATH "\r\n";

struct WininitCase {
    const char *name;
    const char *before;  // NULL: no WININIT.INI
    size_t before_size;
    std::string after;
};

void PrintTo(const WininitCase &c, std::ostream *os)
{
    *os << c.name;
}

#define BYTES(text) text, sizeof(text) - 1

class WininitTest : public ToolTest, public ::testing::WithParamInterface<WininitCase> {
protected:
    void SetUp() override
    {
        ToolTest::SetUp();
        sim::set_family(sim::FAMILY_9X);
    }
};

TEST_P(WininitTest, EntryLandsFirstInTheRenameSection)
{
    const WininitCase &c = GetParam();
    if (c.before != NULL)
        sim::write_file(WININIT_INI, std::string(c.before, c.before_size), FILE_ATTRIBUTE_READONLY);
    EXPECT_TRUE(schedule_delete_at_boot(WORM_PATH, NULL));
    std::string after;
    ASSERT_TRUE(sim::read_file(WININIT_INI, &after));
    EXPECT_EQ(c.after, after);
    EXPECT_FALSE(sim::exists(WININIT_NEW));
    EXPECT_FALSE(sim::exists(WININIT_OLD));
    EXPECT_EQ(0, sim::count("MoveFileExA"));
}

const std::string LONG_LINE = "x=" + std::string(1198, 'y');

INSTANTIATE_TEST_SUITE_P(
    Wininit, WininitTest,
    ::testing::Values(
        WininitCase{"Absent", NULL, 0, std::string("[rename]\r\n") + ENTRY},
        WininitCase{"Empty", BYTES(""), std::string("[rename]\r\n") + ENTRY},
        WininitCase{"NoRenameSection", BYTES("[other]\r\na=b\r\n"),
                    std::string("[other]\r\na=b\r\n[rename]\r\n") + ENTRY},
        WininitCase{"NoFinalLineEnd", BYTES("[other]\r\na=b"),
                    std::string("[other]\r\na=b\r\n[rename]\r\n") + ENTRY},
        WininitCase{"MixedCaseHeaderWithBlanksAndComment",
                    BYTES("[x]\r\n  [ReNaMe] ; pending\r\nNUL=C:\\old.tmp\r\n"),
                    std::string("[x]\r\n  [ReNaMe] ; pending\r\n") + ENTRY + "NUL=C:\\old.tmp\r\n"},
        WininitCase{"TabsBeforeHeaderAndTextAfterIt", BYTES("\t [Rename]x\r\nNUL=C:\\old.tmp\r\n"),
                    std::string("\t [Rename]x\r\n") + ENTRY + "NUL=C:\\old.tmp\r\n"},
        // "[rename]" inside another line's text is text: the entry goes under the real header.
        WininitCase{"HeaderTextInsideALine",
                    BYTES("[setup]\r\nnote=entries go to [rename] below\r\n[rename]\r\nNUL=C:\\other\\old.tmp\r\n"),
                    std::string("[setup]\r\nnote=entries go to [rename] below\r\n[rename]\r\n") + ENTRY +
                        "NUL=C:\\other\\old.tmp\r\n"},
        // A header cut short by the end of the file is no header.
        WininitCase{"HeaderCutShortAtTheEnd", BYTES("[x]\r\n[rename"),
                    std::string("[x]\r\n[rename\r\n[rename]\r\n") + ENTRY},
        WininitCase{"HeaderTextOnlyInsideLines", BYTES("[x]\r\n;[rename]\r\na=[RENAME]\r\n"),
                    std::string("[x]\r\n;[rename]\r\na=[RENAME]\r\n[rename]\r\n") + ENTRY},
        WininitCase{"ExistingEntriesFollowUnchanged",
                    BYTES("[rename]\r\nNUL=C:\\a.tmp\r\nC:\\new.dll=C:\\new.tmp\r\n"),
                    std::string("[rename]\r\n") + ENTRY + "NUL=C:\\a.tmp\r\nC:\\new.dll=C:\\new.tmp\r\n"},
        WininitCase{"TwoHeaders", BYTES("[rename]\r\na=b\r\n[RENAME]\r\nc=d\r\n"),
                    std::string("[rename]\r\n") + ENTRY + "a=b\r\n[RENAME]\r\nc=d\r\n"},
        // The file's own line ends stay as they are; the tool's lines end in CR LF.
        WininitCase{"LineEndsKeptAsTheyAre", BYTES("[rename]\na=b\rc\nd=e\r\r\n"),
                    std::string("[rename]\n") + ENTRY + "a=b\rc\nd=e\r\r\n"},
        WininitCase{"BytesAfterEndOfFileByteAreKept",
                    BYTES("[rename]\r\nNUL=C:\\other\\old.tmp\r\n\x1aNUL=C:\\other\\late.tmp\r\n"),
                    std::string("[rename]\r\n") + ENTRY +
                        "NUL=C:\\other\\old.tmp\r\n\x1aNUL=C:\\other\\late.tmp\r\n"},
        WininitCase{"HeaderLastWithoutLineEnd", BYTES("a=b\r\n[rename]"),
                    std::string("a=b\r\n[rename]\r\n") + ENTRY},
        WininitCase{"NulByteInALineIsCopied", BYTES("[rename]\r\nx=\0y\r\n"),
                    std::string("[rename]\r\n") + ENTRY + std::string("x=\0y\r\n", 6)},
        WininitCase{"LastLineWithoutLineEndStaysSo", BYTES("[rename]\r\na=b"),
                    std::string("[rename]\r\n") + ENTRY + "a=b"}),
    [](const ::testing::TestParamInfo<WininitCase> &info) { return info.param.name; });

TEST_F(ToolTest, LongLinesAreCopiedUnchanged)
{
    sim::set_family(sim::FAMILY_9X);
    // The header text lies inside a line longer than one read: the entry still comes
    // right after the real header...
    std::string header_in_long_line = std::string(600, 'z') + "[rename]" + std::string(600, 'z');
    sim::write_file(WININIT_INI, "[rename]\r\n" + LONG_LINE + "\r\n" + header_in_long_line + "\r\n");
    schedule_delete_at_boot(WORM_PATH, NULL);
    std::string after;
    sim::read_file(WININIT_INI, &after);
    EXPECT_EQ("[rename]\r\n" + std::string(ENTRY) + LONG_LINE + "\r\n" + header_in_long_line + "\r\n", after);

    // ... and it is text there, not a header; blanks before a header may fill a whole read.
    std::string header_after_blanks = std::string(600, ' ') + "[ReName]";
    sim::write_file(WININIT_INI, header_in_long_line + "\r\nz=1\r\n" + header_after_blanks + "\r\nw=2\r\n");
    schedule_delete_at_boot(WORM_PATH, NULL);
    sim::read_file(WININIT_INI, &after);
    EXPECT_EQ(header_in_long_line + "\r\nz=1\r\n" + header_after_blanks + "\r\n" + ENTRY + "w=2\r\n", after);
}

TEST_F(ToolTest, NewNameTakesThePlaceOfNul)
{
    sim::set_family(sim::FAMILY_9X);
    schedule_delete_at_boot(WORM_PATH, "C:\\WINDOWS\\SYSTEM32\\FILES32.OLD");
    std::string after;
    sim::read_file(WININIT_INI, &after);
    EXPECT_EQ("[rename]\r\nC:\\WINDOWS\\SYSTEM32\\FILES32.OLD=" WORM_PATH "\r\n", after);
}

struct WininitFault {
    const char *name;
    const char *call;  // fails once
    int nth;
    enum { INI_PRESENT, INI_ABSENT, OLD_NAME_TAKEN } start;
};

void PrintTo(const WininitFault &c, std::ostream *os)
{
    *os << c.name;
}

class WininitFaultTest : public ToolTest, public ::testing::WithParamInterface<WininitFault> {};

// Whichever step fails, WININIT.INI is exactly as it was, no file of the tool's is left
// beside it, and the deletion is reported as not arranged.
TEST_P(WininitFaultTest, UsersFileStaysExactlyAsItWas)
{
    const WininitFault &c = GetParam();
    sim::set_family(sim::FAMILY_9X);
    std::string before = "[rename]\r\nNUL=C:\\installer.tmp\r\n" + LONG_LINE + "\r\n";
    for (int i = 0; i < 20; i++)
        before += "line" + std::to_string(i) + "=" + std::string(300, 'v') + "\r\n";
    if (c.start != WininitFault::INI_ABSENT)
        sim::write_file(WININIT_INI, before, FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
    const std::string someone_elses = "[rename]\r\nNUL=C:\\kept.tmp\r\n";
    if (c.start == WininitFault::OLD_NAME_TAKEN)
        sim::write_file(WININIT_OLD, someone_elses);
    if (c.call != NULL)
        sim::fail(c.call, c.nth, ERROR_ACCESS_DENIED);
    EXPECT_FALSE(schedule_delete_at_boot(WORM_PATH, NULL));
    std::string after;
    if (c.start == WininitFault::INI_ABSENT) {
        EXPECT_FALSE(sim::exists(WININIT_INI));
    } else {
        ASSERT_TRUE(sim::read_file(WININIT_INI, &after));
        EXPECT_EQ(before, after);
        EXPECT_EQ(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN, sim::attributes(WININIT_INI));
    }
    EXPECT_FALSE(sim::exists(WININIT_NEW));
    if (c.start == WininitFault::OLD_NAME_TAKEN)
        EXPECT_TRUE(sim::read_file(WININIT_OLD, &after) && after == someone_elses);
    else
        EXPECT_FALSE(sim::exists(WININIT_OLD));
    EXPECT_EQ(0, sim::open_files());
}

INSTANTIATE_TEST_SUITE_P(
    Wininit, WininitFaultTest,
    ::testing::Values(WininitFault{"NoWindowsDirectory", "GetWindowsDirectoryA", 1, WininitFault::INI_PRESENT},
                      WininitFault{"UnreadableIni", "fopen", 1, WininitFault::INI_PRESENT},
                      WininitFault{"ReadFails", "read", 1, WininitFault::INI_PRESENT},
                      WininitFault{"FirstWrite", "write", 1, WininitFault::INI_PRESENT},
                      WininitFault{"SecondWrite", "write", 2, WininitFault::INI_PRESENT},
                      WininitFault{"Close", "fclose", 2, WininitFault::INI_PRESENT},
                      WininitFault{"AttributesUnreadable", "GetFileAttributesA", 1, WininitFault::INI_PRESENT},
                      WininitFault{"SetAside", "MoveFileA", 1, WininitFault::INI_PRESENT},
                      WininitFault{"MoveIn", "MoveFileA", 2, WininitFault::INI_PRESENT},
                      WininitFault{"ClearReadOnly", "SetFileAttributesA", 1, WininitFault::INI_PRESENT},
                      WininitFault{"DeleteOld", "DeleteFileA", 1, WininitFault::INI_PRESENT},
                      WininitFault{"MoveInWithoutIni", "MoveFileA", 1, WininitFault::INI_ABSENT},
                      // Another program's WININIT.OLD is never overwritten.
                      WininitFault{"OldNameTaken", NULL, 0, WininitFault::OLD_NAME_TAKEN}),
    [](const ::testing::TestParamInfo<WininitFault> &info) { return info.param.name; });

TEST_F(ToolTest, NoWininitNewMeansNothingIsTouched)
{
    sim::set_family(sim::FAMILY_9X);
    sim::write_file(WININIT_INI, "[rename]\r\na=b\r\n");
    sim::fail("fopen", 1, ERROR_ACCESS_DENIED, false, "WININIT.NEW");
    EXPECT_FALSE(schedule_delete_at_boot(WORM_PATH, NULL));
    std::string after;
    sim::read_file(WININIT_INI, &after);
    EXPECT_EQ("[rename]\r\na=b\r\n", after);
    EXPECT_FALSE(sim::exists(WININIT_NEW));
    EXPECT_EQ(0, sim::count("DeleteFileA") + sim::count("MoveFileA"));
}

TEST_F(ToolTest, WindowsDirectoryMissingOrTooLongSchedulesNothing)
{
    sim::set_family(sim::FAMILY_9X);
    for (std::string dir : {std::string(""), "C:\\" + std::string(250, 'W')}) {
        sim::set_windows_dir(dir);
        EXPECT_FALSE(schedule_delete_at_boot(WORM_PATH, NULL));
        EXPECT_EQ(0, sim::count("fopen")) << dir.size();
    }
}

TEST_F(ToolTest, NtFamilyHandsTheFileToWindows)
{
    EXPECT_TRUE(schedule_delete_at_boot(WORM_PATH, NULL));
    EXPECT_EQ((std::vector<std::string>{"GetVersionExA", "MoveFileExA"}), sim::call_names());
    ASSERT_EQ(1u, sim::pending_renames().size());
    EXPECT_EQ(5u, sim::pending_renames()[0].flags);
    EXPECT_FALSE(sim::exists(WININIT_INI));

    sim::fail("MoveFileExA", 1, ERROR_ACCESS_DENIED);
    EXPECT_FALSE(schedule_delete_at_boot(WORM_PATH, NULL));

    // A version that cannot be read is no NT family: WININIT.INI serves.
    sim::fail("GetVersionExA");
    EXPECT_TRUE(schedule_delete_at_boot(WORM_PATH, NULL));
    EXPECT_TRUE(sim::exists(WININIT_INI));
}

TEST_F(ToolTest, BootPathIsInSysWow64ForTheSystemDirectoryUnderWow64Only)
{
    struct {
        bool wow64;
        const char *path;
        const char *boot_path;
    } cases[] = {
        {false, WORM_PATH, WORM_PATH},
        {true, "c:\\windows\\system32\\files32.vxd", WIN_DIR "\\SysWOW64\\files32.vxd"},
        {true, WIN_DIR "\\SYSTEM32X\\FILES32.VXD", WIN_DIR "\\SYSTEM32X\\FILES32.VXD"},
        {true, WIN_DIR "\\FILES32.VXD", WIN_DIR "\\FILES32.VXD"},
    };
    for (const auto &c : cases) {
        sim::reset();
        if (c.wow64)
            sim::set_64bit_machine();
        char out[BOOT_PATH_SIZE];
        EXPECT_EQ(std::string(c.boot_path), path_seen_at_boot(c.path, out)) << c.path;
    }
}

}  // namespace
