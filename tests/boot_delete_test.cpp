// Deletion at the next boot: the NT family's pending move, and the WININIT.INI edit of
// the 9x family, byte for byte.
#include "tests/tool_fixture.h"
#include "tests/fault_sweep.h"

#include "clean/boot_delete.h"

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
        WininitCase{"BlankInsideTheHeaderMakesItText", BYTES("[ren ame]\r\n"), std::string("[ren ame]\r\n[rename]\r\n") + ENTRY},
        WininitCase{"LastLineWithoutLineEndStaysSo", BYTES("[rename]\r\na=b"),
                    std::string("[rename]\r\n") + ENTRY + "a=b"}),
    [](const ::testing::TestParamInfo<WininitCase> &info) { return info.param.name; });

TEST_F(ToolTest, LongLinesAreCopiedUnchanged)
{
    sim::set_family(sim::FAMILY_9X);
    // The header text lies inside a line longer than one read, at the start of the second
    // block: the entry still comes right after the real header...
    std::string header_in_long_line =
        std::string(WININIT_BLOCK_SIZE, 'z') + "[rename]" + std::string(600, 'z');
    sim::write_file(WININIT_INI, "[rename]\r\n" + LONG_LINE + "\r\n" + header_in_long_line + "\r\n");
    schedule_delete_at_boot(WORM_PATH, NULL);
    std::string after;
    sim::read_file(WININIT_INI, &after);
    EXPECT_EQ("[rename]\r\n" + std::string(ENTRY) + LONG_LINE + "\r\n" + header_in_long_line + "\r\n", after);

    // ... and it is text there, not a header; a header after blanks may lie across the end
    // of a block.
    std::string before = header_in_long_line + "\r\nz=1\r\n";
    std::string header_after_blanks =
        std::string(2 * WININIT_BLOCK_SIZE - 4 - before.size(), ' ') + "[ReName]";
    sim::write_file(WININIT_INI, before + header_after_blanks + "\r\nw=2\r\n");
    schedule_delete_at_boot(WORM_PATH, NULL);
    sim::read_file(WININIT_INI, &after);
    EXPECT_EQ(header_in_long_line + "\r\nz=1\r\n" + header_after_blanks + "\r\n" + ENTRY + "w=2\r\n", after);
}

// A WININIT.INI of another encoding is not edited: ANSI lines appended to it would arrange
// nothing. It stays as it was, with nothing of the tool's beside it.
TEST_F(ToolTest, WininitThatIsNotAnsiTextIsNotEdited)
{
    const std::string not_ansi[] = {
        "\xEF\xBB\xBF[rename]\r\nNUL=C:\\a.tmp\r\n",
        std::string("\xFF\xFE[\0r\0", 6),
        std::string("\xFE\xFF\0[\0r", 6),
        std::string("[rename]\r\nx=\0y\r\n", 14),
        LONG_LINE + "\r\n" + std::string("late=\0", 7),
    };
    sim::set_family(sim::FAMILY_9X);
    for (const std::string &text : not_ansi) {
        sim::write_file(WININIT_INI, text);
        EXPECT_FALSE(schedule_delete_at_boot(WORM_PATH, NULL)) << text.size();
        std::string after;
        EXPECT_TRUE(sim::read_file(WININIT_INI, &after) && after == text) << text.size();
        EXPECT_FALSE(sim::exists(WININIT_NEW) || sim::exists(WININIT_OLD)) << text.size();
    }
    // A byte-order mark's bytes later in the file are text.
    sim::write_file(WININIT_INI, "a=\xFF\xFE\r\n");
    EXPECT_TRUE(schedule_delete_at_boot(WORM_PATH, NULL));
}

TEST_F(ToolTest, NewNameTakesThePlaceOfNulAndTheShortPathThatOfTheLongOne)
{
    sim::set_family(sim::FAMILY_9X);
    schedule_delete_at_boot(WORM_PATH, "C:\\WINDOWS\\SYSTEM32\\FILES32.OLD");
    std::string after;
    sim::read_file(WININIT_INI, &after);
    EXPECT_EQ("[rename]\r\nC:\\WINDOWS\\SYSTEM32\\FILES32.OLD=" WORM_PATH "\r\n", after);
    // Windows reads the entry before long names are known; a name without a short form stays.
    sim::write_file("C:\\Program Files\\System Folder\\FILES32.VXD", "");
    sim::set_short_name("C:\\Program Files", "PROGRA~1");
    sim::write_file(WININIT_INI, "");
    schedule_delete_at_boot("C:\\Program Files\\System Folder\\FILES32.VXD", NULL);
    sim::read_file(WININIT_INI, &after);
    EXPECT_EQ("[rename]\r\nNUL=C:\\PROGRA~1\\System Folder\\FILES32.VXD\r\n", after);
}

// Machines the WININIT.INI edit meets. Another program may hold WININIT.OLD once it is
// there: without sharing (OLD_HELD), or open for reading only (OLD_SHARED: it can be read,
// but neither renamed nor deleted).
enum OldFile { OLD_FREE, OLD_HELD, OLD_SHARED };

const DWORD RO_HIDDEN = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN;

struct WininitStaging {
    const char *name;
    DWORD ini;             // WININIT.INI's attributes; 0: none there
    const char *others;    // another program's file of this name, or NULL
    OldFile old_file;
    long long disk_space;  // -1: no limit
    bool arranged;         // without faults
};

const WininitStaging WININIT_STAGINGS[] = {
    {"Present", RO_HIDDEN, NULL, OLD_FREE, -1, true},
    {"AbsentBesideOthersOld", 0, WININIT_OLD, OLD_FREE, -1, true},
    // Another program's WININIT.OLD or WININIT.NEW is never overwritten; beside them a
    // WININIT.INI that may be deleted is not taken for an emptied copy by the next run.
    {"OthersOld", FILE_ATTRIBUTE_ARCHIVE, WININIT_OLD, OLD_FREE, -1, false},
    {"OthersNew", RO_HIDDEN, WININIT_NEW, OLD_FREE, -1, false},
    {"DiskTooSmallForTheCopy", RO_HIDDEN, NULL, OLD_FREE, 5000, false},
    // The aside file cannot come back: the copy takes the name. Or it comes back by copy;
    // or that copy is cut short, and the new file takes the name.
    {"OldHeld", RO_HIDDEN, NULL, OLD_HELD, -1, true},
    {"OldShared", RO_HIDDEN, NULL, OLD_SHARED, -1, false},
    {"OldSharedCopyBackCut", RO_HIDDEN, NULL, OLD_SHARED, 14000, true},
    // The copy back would go through another program's file of the tool's name: the new file
    // takes the name instead.
    {"OldSharedBesideOthersTmr", RO_HIDDEN, WIN_DIR "\\WININIT.TMR", OLD_SHARED, -1, true},
};

const std::string SOMEONE_ELSES = "[rename]\r\nNUL=C:\\kept.tmp\r\n";
const std::string USERS = [] {
    std::string text = "[rename]\r\nNUL=C:\\installer.tmp\r\n" + LONG_LINE + "\r\n";
    for (int i = 0; i < 20; i++)
        text += "line" + std::to_string(i) + "=" + std::string(300, 'v') + "\r\n";
    return text;
}();

void stage(const WininitStaging &s)
{
    sim::reset();
    sim::set_family(sim::FAMILY_9X);
    if (s.ini != 0)
        sim::write_file(WININIT_INI, USERS, s.ini);
    if (s.others != NULL)
        sim::write_file(s.others, SOMEONE_ELSES);
    sim::hold_in_use(WININIT_OLD, s.old_file != OLD_FREE, s.old_file == OLD_SHARED);
    sim::set_disk_space(s.disk_space);
}

// WININIT.INI holds the complete copy with the entry exactly when the deletion is reported
// arranged, never after a failed write of the copy; otherwise, once the next run has put a
// set-aside pair back (beside no WININIT.INI or an empty one), it is exactly as it was, its
// attributes too unless setting them failed or the pair came back. Another program's file
// stays as it was; of the tool's files only a WININIT.OLD that another program holds, or a
// WININIT.NEW whose deletion failed, stays; nothing stays open.
void check_wininit(const WininitStaging &s, bool arranged, const Fault &fault)
{
    EXPECT_TRUE(!fault.call.empty() || arranged == s.arranged) << fault.where;
    std::string text, copy = "[rename]\r\n" + std::string(ENTRY) + (s.ini ? USERS.substr(10) : "");
    EXPECT_EQ(arranged, sim::read_file(WININIT_INI, &text) && text == copy) << fault.where;
    bool copy_failed = fault.args.find("WININIT.NEW") != std::string::npos &&
                       (fault.call == "write" || fault.call == "fclose");
    EXPECT_FALSE(arranged && copy_failed) << fault.where;
    EXPECT_EQ(0, sim::open_files()) << fault.where;
    bool there = sim::read_file(WININIT_INI, &text) && !text.empty();
    sim::clear_faults();
    sim::hold_in_use(WININIT_OLD, false);
    restore_set_aside_wininit(WORM_PATH, NULL);
    if (!arranged) {
        EXPECT_EQ(s.ini ? USERS : "none", sim::read_file(WININIT_INI, &text) ? text : "none") << fault.where;
        EXPECT_TRUE(!there || fault.call == "SetFileAttributesA" ||
                    sim::attributes(WININIT_INI) == s.ini) << fault.where;
    }
    for (const std::string name : {WININIT_OLD, WININIT_NEW, WIN_DIR "\\WININIT.TMR"}) {
        bool left = sim::read_file(name, &text);
        if (s.others != NULL && name == s.others) {
            EXPECT_TRUE(left && text == SOMEONE_ELSES) << fault.where << " " << name;
        } else if (left) {
            EXPECT_TRUE(name == WININIT_OLD ? s.old_file != OLD_FREE && text == USERS : fault.call == "DeleteFileA")
                << fault.where << " " << name;
        }
    }
}

TEST_F(ToolTest, WininitIsWholeWhateverFails)
{
    for (const WininitStaging &s : WININIT_STAGINGS) {
        sweep_faults(
            s.name, [&] { stage(s); }, [] { return schedule_delete_at_boot(WORM_PATH, NULL); },
            [&](bool result, const Fault &fault) { check_wininit(s, result, fault); });
    }
}

// The next run puts only the edit's own pair back; when the aside file cannot take its
// name, the copy stays beside it.
TEST_F(ToolTest, SetAsideWininitStaysWithItsCopyWhenItCannotComeBack)
{
    sim::set_family(sim::FAMILY_9X);
    sim::write_file(WININIT_OLD, SOMEONE_ELSES);
    sim::write_file(WININIT_NEW, "[rename]\r\n" + std::string(ENTRY) + SOMEONE_ELSES.substr(10));
    sim::fail("MoveFileA");
    restore_set_aside_wininit(WORM_PATH, NULL);
    EXPECT_FALSE(sim::exists(WININIT_INI));
    EXPECT_TRUE(sim::exists(WININIT_OLD) && sim::exists(WININIT_NEW));
}

// What a cut-off edit may leave, and what only looks like it. A file is its text, "-" when
// it is not there; the user's file is U, and C is the copy the edit makes of it.
#define WININIT_TMR WIN_DIR "\\WININIT.TMR"
const char *const TIDY_NAMES[] = {WININIT_INI, WININIT_NEW, WININIT_OLD, WININIT_TMR};
const std::string U = "[x]\r\n[rename]\r\nNUL=C:\\kept.tmp\r\n";
const std::string C = "[x]\r\n[rename]\r\n" + std::string(ENTRY) + "NUL=C:\\kept.tmp\r\n";
const std::string C_OTHER_HEADER = "[x]\r\n" + std::string(ENTRY) + "[rename]\r\nNUL=C:\\kept.tmp\r\n";
std::string one_byte_off(std::string text, size_t at)
{
    text[at] ^= 1;
    return text;
}

struct TidyCase {
    const char *name;
    std::string before[4];  // WININIT.INI, .NEW, .OLD, .TMR
    std::string after[4];
};

const TidyCase TIDY_CASES[] = {
    {"SetAsidePair", {"-", C, U, "-"}, {U, "-", "-", "-"}},
    {"SetAsidePairWithCutCopyBack", {"-", C, U, U.substr(0, 9)}, {U, "-", "-", "-"}},
    // The copy is complete before the user's file is set aside: a front part beside no
    // WININIT.INI is not the edit's.
    {"FrontPartBesideNoIni", {"-", C.substr(0, 30), U, "-"}, {"-", C.substr(0, 30), U, "-"}},
    {"NewOffByOneByte", {"-", one_byte_off(C, 40), U, "-"}, {"-", one_byte_off(C, 40), U, "-"}},
    {"OthersNewBesideAnOldOld", {"-", SOMEONE_ELSES, U, "-"}, {"-", SOMEONE_ELSES, U, "-"}},
    {"EntryUnderAnotherHeader", {"-", C_OTHER_HEADER, U, "-"}, {"-", C_OTHER_HEADER, U, "-"}},
    {"NewCutBeforeTheFirstRename", {U, C.substr(0, 30), "-", "-"}, {U, "-", "-", "-"}},
    {"NewCutWhereNoIniWas", {"-", "[rename]\r\nNUL=C:\\WIN", "-", "-"}, {"-", "-", "-", "-"}},
    {"OthersNewWhereNoIniIs", {"-", SOMEONE_ELSES, "-", "-"}, {"-", SOMEONE_ELSES, "-", "-"}},
    {"OldLeftAfterTheSecondRename", {C, "-", U, "-"}, {C, "-", "-", "-"}},
    {"OldSameAsIni", {U, "-", U, "-"}, {U, "-", U, "-"}},
    {"CopyBackCutBesideIni", {U, "-", "-", U.substr(0, 12)}, {U, "-", "-", "-"}},
    {"OthersTmrFile", {U, "-", "-", "other"}, {U, "-", "-", "other"}},
};

TEST_F(ToolTest, NextRunTidiesOnlyWhatContentProvesTheEditsOwn)
{
    for (const TidyCase &c : TIDY_CASES) {
        sim::reset();
        sim::set_family(sim::FAMILY_9X);
        for (int i = 0; i < 4; i++) {
            if (c.before[i] != "-")
                sim::write_file(TIDY_NAMES[i], c.before[i], i == 2 ? RO_HIDDEN : FILE_ATTRIBUTE_ARCHIVE);
        }
        restore_set_aside_wininit(WORM_PATH, NULL);
        for (int i = 0; i < 4; i++) {
            std::string text;
            EXPECT_EQ(c.after[i], sim::read_file(TIDY_NAMES[i], &text) ? text : "-") << c.name << " " << TIDY_NAMES[i];
        }
        EXPECT_EQ(0, sim::open_files()) << c.name;
    }
}

// A failed call at any step of the tidying loses nothing: WININIT.INI is the user's file or
// its copy, or the user's file is set aside beside its copy; another program's files stay
// as they were; a second run without faults ends where a run without faults does.
TEST_F(ToolTest, TidyingLosesNothingWhateverFails)
{
    for (const TidyCase &c : TIDY_CASES) {
        if (!strstr("SetAsidePairWithCutCopyBack OthersNewBesideAnOldOld NewCutBeforeTheFirstRename "
                    "OldLeftAfterTheSecondRename NewCutWhereNoIniWas", c.name))
            continue;
        auto prep = [&] {
            sim::reset();
            sim::set_family(sim::FAMILY_9X);
            for (int i = 0; i < 4; i++) {
                if (c.before[i] != "-")
                    sim::write_file(TIDY_NAMES[i], c.before[i]);
            }
        };
        sweep_faults(
            c.name, prep, [] { restore_set_aside_wininit(WORM_PATH, NULL); return 0; },
            [&](int, const Fault &fault) {
                std::string ini, old_file;
                bool ini_there = sim::read_file(WININIT_INI, &ini);
                bool users = c.before[0] == U || c.before[2] == U;
                EXPECT_TRUE(ini_there ? ini == U || ini == C : !users || (sim::read_file(WININIT_OLD, &old_file) && old_file == U))
                    << fault.where;
                EXPECT_EQ(0, sim::open_files()) << fault.where;
                sim::clear_faults();
                restore_set_aside_wininit(WORM_PATH, NULL);
                for (int i = 0; i < 4; i++) {
                    std::string text;
                    EXPECT_EQ(c.after[i], sim::read_file(TIDY_NAMES[i], &text) ? text : "-") << fault.where << " " << i;
                }
            });
    }
}

TEST_F(ToolTest, WindowsDirectoryMissingOrTooLongSchedulesNothing)
{
    sim::set_family(sim::FAMILY_9X);
    // 248 characters: WININIT.INI's path would be exactly 260 bytes, one too many.
    for (std::string dir : {std::string(""), "C:\\" + std::string(250, 'W'), "C:\\" + std::string(245, 'W')}) {
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

    // A Windows that does not say its family gets no entry that only the 9x family reads.
    for (sim::Family family : {sim::FAMILY_NT, sim::FAMILY_9X}) {
        sim::set_family(family);
        sim::fail("GetVersionExA");
        EXPECT_FALSE(schedule_delete_at_boot(WORM_PATH, NULL)) << family;
        EXPECT_FALSE(sim::exists(WININIT_INI)) << family;
        EXPECT_EQ(1u, sim::pending_renames().size()) << family;
    }
}

}  // namespace
