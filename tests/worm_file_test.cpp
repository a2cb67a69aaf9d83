// The worm file's deletion.
#include "tests/tool_fixture.h"

#include "clean/worm_file.h"

namespace {

struct FileCase {
    const char *name;
    std::function<void()> plant;
    worm_file_outcome outcome;
};

void PrintTo(const FileCase &c, std::ostream *os)
{
    *os << c.name;
}

class RemoveWormFileTest : public ToolTest, public ::testing::WithParamInterface<FileCase> {};

TEST_P(RemoveWormFileTest, Outcome)
{
    GetParam().plant();
    EXPECT_EQ(GetParam().outcome, remove_worm_file(WORM_PATH));
    EXPECT_EQ(GetParam().outcome == WORM_FILE_STILL_PRESENT, sim::exists(WORM_PATH));
}

INSTANTIATE_TEST_SUITE_P(
    WormFile, RemoveWormFileTest,
    ::testing::Values(
        FileCase{"Plain", [] { plant_worm_file(); }, WORM_FILE_DELETED},
        FileCase{"ReadOnly", [] { plant_worm_file(FILE_ATTRIBUTE_READONLY); }, WORM_FILE_DELETED},
        FileCase{"HiddenSystemReadOnly",
                 [] { plant_worm_file(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM); },
                 WORM_FILE_DELETED},
        FileCase{"Absent", [] {}, WORM_FILE_ABSENT},
        FileCase{"DirectoryAbsent", [] { sim::fail("GetFileAttributesA", 1, ERROR_PATH_NOT_FOUND, true); },
                 WORM_FILE_ABSENT},
        FileCase{"HeldInUse",
                 [] {
                     plant_worm_file();
                     sim::hold_in_use(WORM_PATH);
                 },
                 WORM_FILE_STILL_PRESENT},
        FileCase{"Directory", [] { sim::make_dir(WORM_PATH); }, WORM_FILE_STILL_PRESENT}),
    [](const ::testing::TestParamInfo<FileCase> &info) { return info.param.name; });

TEST_F(ToolTest, AbsentFileIsNeitherChangedNorDeleted)
{
    EXPECT_EQ(WORM_FILE_ABSENT, remove_worm_file(WORM_PATH));
    EXPECT_EQ(0, sim::count("SetFileAttributesA"));
    EXPECT_EQ(0, sim::count("DeleteFileA"));
}

TEST_F(ToolTest, AttributesAreClearedToArchiveBeforeTheDeletion)
{
    plant_worm_file(FILE_ATTRIBUTE_HIDDEN);
    sim::hold_in_use(WORM_PATH);
    remove_worm_file(WORM_PATH);
    EXPECT_EQ(FILE_ATTRIBUTE_ARCHIVE, sim::attributes(WORM_PATH));
    EXPECT_EQ((std::vector<std::string>{"GetFileAttributesA", "SetFileAttributesA", "GetFileAttributesA",
                                        "DeleteFileA", "GetFileAttributesA"}),
              sim::call_names());
}

}  // namespace
