// Deleting a key with everything below it.
#include "tests/tool_fixture.h"

#include <algorithm>

#include "clean/key_tree.h"

namespace {

class KeyTreeTest : public ToolTest, public ::testing::WithParamInterface<sim::Family> {
protected:
    void SetUp() override
    {
        ToolTest::SetUp();
        sim::set_family(GetParam());
    }

    // NT lists the keys below the top one by their exact names.
    static const char *enum_call() { return GetParam() == sim::FAMILY_NT ? "NtEnumerateKey" : "RegEnumKeyExA"; }

    // The indexes at which the walk of one key asked for a subkey, in order.
    static std::vector<std::string> enum_indexes(const std::string &handle)
    {
        std::vector<std::string> indexes;
        for (const sim::Call &call : sim::calls()) {
            if (call.name == enum_call() && call.args.compare(0, handle.size() + 2, handle + ", ") == 0)
                indexes.push_back(call.args.substr(handle.size() + 2, call.args.find(',', handle.size() + 2) - handle.size() - 2));
        }
        return indexes;
    }
};

TEST_P(KeyTreeTest, LeafKey)
{
    sim::create_key(HKEY_CLASSES_ROOT, ".dl");
    EXPECT_EQ(1, delete_key_tree(HKEY_CLASSES_ROOT, ".dl"));
    EXPECT_FALSE(sim::key_exists(HKEY_CLASSES_ROOT, ".dl"));
    EXPECT_EQ(1, sim::count(enum_call()));
    EXPECT_EQ(0, sim::open_keys());
    // Only the NT family has links to keep from following; 9x takes option word 0 alone.
    EXPECT_EQ(1, count_calls("RegOpenKeyExA", GetParam() == sim::FAMILY_NT ? "\".dl\", 0x8, " : "\".dl\", 0x0, "));
}

TEST_P(KeyTreeTest, EverySubkeyIsReadAtIndexZero)
{
    for (const char *sub : {".dl\\a", ".dl\\b", ".dl\\c"})
        sim::create_key(HKEY_CLASSES_ROOT, sub);
    EXPECT_EQ(1, delete_key_tree(HKEY_CLASSES_ROOT, ".dl"));
    EXPECT_FALSE(sim::key_exists(HKEY_CLASSES_ROOT, ".dl"));
    EXPECT_EQ((std::vector<std::string>{"0x0", "0x0", "0x0", "0x0"}), enum_indexes("hkey#1"));
}

TEST_P(KeyTreeTest, UndeletableSubkeyIsPassedOver)
{
    for (const char *sub : {".dl\\a", ".dl\\b", ".dl\\c"})
        sim::create_key(HKEY_CLASSES_ROOT, sub);
    sim::fail(GetParam() == sim::FAMILY_NT ? "NtDeleteKey" : "RegDeleteKeyA", 1);  // the first key deleted: a
    LONG result = delete_key_tree(HKEY_CLASSES_ROOT, ".dl");
    EXPECT_EQ((std::vector<std::string>{"0x0", "0x1", "0x1", "0x1"}), enum_indexes("hkey#1"));
    if (GetParam() == sim::FAMILY_NT) {
        EXPECT_EQ((std::vector<std::string>{"a"}), sim::subkey_names(HKEY_CLASSES_ROOT, ".dl"));
        // NT refuses to delete a key that still has a subkey: the failure reaches the caller.
        EXPECT_EQ(0, result);
        EXPECT_TRUE(sim::key_exists(HKEY_CLASSES_ROOT, ".dl"));
    } else {
        // 9x deletes the rest of the tree with the key.
        EXPECT_EQ(1, result);
        EXPECT_FALSE(sim::key_exists(HKEY_CLASSES_ROOT, ".dl"));
    }
}

TEST_P(KeyTreeTest, UnopenableListedSubkeyDoesNotStopTheWalk)
{
    for (const char *sub : {".dl\\a", ".dl\\b"})
        sim::create_key(HKEY_CLASSES_ROOT, sub);
    sim::deny_access(HKEY_CLASSES_ROOT, ".dl\\a", KEY_SET_VALUE);
    LONG result = delete_key_tree(HKEY_CLASSES_ROOT, ".dl");
    EXPECT_FALSE(sim::key_exists(HKEY_CLASSES_ROOT, ".dl\\b"));
    EXPECT_EQ(3u, enum_indexes("hkey#1").size());
    EXPECT_EQ(GetParam() == sim::FAMILY_NT ? 0 : 1, result);
}

TEST_P(KeyTreeTest, DeepTreeGoesBottomUpAndNeverWhileOpen)
{
    sim::create_key(HKEY_CLASSES_ROOT, ".dl\\shell\\open\\command");
    sim::create_key(HKEY_CLASSES_ROOT, ".dl\\shell\\print\\command");
    sim::create_key(HKEY_CLASSES_ROOT, ".dl\\DefaultIcon");
    EXPECT_EQ(1, delete_key_tree(HKEY_CLASSES_ROOT, ".dl"));
    EXPECT_FALSE(sim::key_exists(HKEY_CLASSES_ROOT, ".dl"));
    EXPECT_EQ(0, sim::keys_deleted_while_open());
    EXPECT_EQ(0, sim::open_keys());
    EXPECT_EQ((std::vector<std::string>{"DefaultIcon", "command", "open", "command", "print", "shell", ".dl"}),
              sim::removed_keys());
}

TEST_P(KeyTreeTest, MissingKeyGivesOneAndChangesNothing)
{
    EXPECT_EQ(1, delete_key_tree(HKEY_CLASSES_ROOT, ".dl"));
    EXPECT_EQ(0, sim::count("RegEnumKeyExA"));
    EXPECT_EQ(0, sim::count("RegDeleteKeyA"));
    EXPECT_EQ(0, sim::count("RegCloseKey"));
}

TEST_P(KeyTreeTest, KeysThatAreNoLinksGoWithTheirTrees)
{
    const std::string long_name(255, 'n');
    std::string link_text;  // what a link's value holds: its target in UTF-16
    for (char c : std::string(OTHER_CLASS_TARGET))
        link_text += std::string{c, '\0'};
    const struct {
        DWORD link_value_type;  // of a value named SymbolicLinkValue; REG_NONE: none
        const char *holder;     // the key with that value
        std::string subkey;
    } cases[] = {{REG_LINK, ".dl", "shell\\open"}, {REG_SZ, ".dl", ""}, {REG_NONE, "", long_name},
                 // Names the ANSI calls cannot spell: a CJK letter, a NUL inside.
                 {REG_NONE, "", "x\xe4\xb8\x80"}, {REG_NONE, "", std::string("a\0b", 3)}};
    plant_other_class();
    const std::string before = dump_tree(OTHER_CLASS_KEY);
    int deleted = 0;
    for (const auto &c : cases) {
        sim::create_key(HKEY_CLASSES_ROOT, ".dl\\" + c.subkey);
        if (c.link_value_type != REG_NONE)
            sim::set_value(HKEY_CLASSES_ROOT, c.holder, "SymbolicLinkValue", c.link_value_type, link_text);
        EXPECT_EQ(1, delete_key_tree(HKEY_CLASSES_ROOT, ".dl")) << c.link_value_type;
        EXPECT_FALSE(sim::key_exists(HKEY_CLASSES_ROOT, ".dl")) << c.link_value_type;
        EXPECT_EQ(".dl", sim::removed_keys().back()) << c.link_value_type;
        EXPECT_EQ(++deleted, count_calls("RegDeleteKeyA", "\".dl\"")) << c.link_value_type;
    }
    EXPECT_EQ(before, dump_tree(OTHER_CLASS_KEY));
    // Each key goes after the keys below it, one of the longest name Windows allows too.
    const std::vector<std::string> removed = sim::removed_keys();
    EXPECT_EQ(1, std::count(removed.begin(), removed.end(), long_name));
}

// A subkey back at once, a key that keeps growing, and a tree deeper than Windows nests
// keys end the walk with what is left; only the 9x family's deletion takes a whole tree at once.
TEST_P(KeyTreeTest, WalkEndsWhateverTheTreeDoes)
{
    sim::create_key(HKEY_CLASSES_ROOT, ".dl\\a");
    sim::keep_after_deletion(HKEY_CLASSES_ROOT, ".dl\\a", NULL);
    sim::create_key(HKEY_CLASSES_ROOT, ".dl\\c");
    sim::grow_at_each_read(HKEY_CLASSES_ROOT, ".dl\\c");
    sim::create_key(HKEY_CLASSES_ROOT, ".dl\\d");
    std::string deep = ".dl\\b";
    for (int depth = 0; depth < 520; depth++)
        deep += "\\k";
    sim::create_key(HKEY_CLASSES_ROOT, deep);
    const bool nt = GetParam() == sim::FAMILY_NT;
    EXPECT_EQ(nt ? 0 : 1, delete_key_tree(HKEY_CLASSES_ROOT, ".dl"));
    EXPECT_EQ(nt, sim::key_exists(HKEY_CLASSES_ROOT, ".dl\\a"));
    EXPECT_EQ(nt, sim::key_exists(HKEY_CLASSES_ROOT, deep));
    EXPECT_EQ(nt, sim::key_exists(HKEY_CLASSES_ROOT, ".dl\\c"));
    // The subkey that is back at once does not keep the walk from the ones behind it.
    EXPECT_FALSE(sim::key_exists(HKEY_CLASSES_ROOT, ".dl\\d"));
    EXPECT_EQ(0, sim::open_keys());
}

struct LinkCase {
    const char *name;
    const char *link;    // under HKEY_CLASSES_ROOT
    const char *target;  // what it names
};

void PrintTo(const LinkCase &c, std::ostream *os)
{
    *os << c.name;
}

class KeyLinkTest : public ToolTest, public ::testing::WithParamInterface<LinkCase> {};

TEST_P(KeyLinkTest, LinkGoesAsItselfAndWhatItNamesStays)
{
    const LinkCase &c = GetParam();
    plant_other_class();
    if (strcmp(c.link, ".dl") != 0)
        sim::create_key(HKEY_CLASSES_ROOT, ".dl\\DefaultIcon");
    sim::create_link(HKEY_CLASSES_ROOT, c.link, c.target);
    const std::string before = dump_tree(OTHER_CLASS_KEY);
    EXPECT_EQ(1, delete_key_tree(HKEY_CLASSES_ROOT, ".dl"));
    EXPECT_FALSE(sim::key_exists(HKEY_CLASSES_ROOT, ".dl"));
    EXPECT_EQ(before, dump_tree(OTHER_CLASS_KEY));
    EXPECT_EQ(0, sim::open_keys());
    EXPECT_EQ(0, sim::keys_deleted_while_open());
}

INSTANTIATE_TEST_SUITE_P(
    NT, KeyLinkTest,
    ::testing::Values(LinkCase{"ClassKeyItself", ".dl", OTHER_CLASS_TARGET},
                      LinkCase{"KeyBelow", ".dl\\shell", OTHER_CLASS_TARGET},
                      LinkCase{"KeyBelowTheTarget", ".dl\\open", OTHER_CLASS_TARGET "\\shell\\open"},
                      LinkCase{"TargetMissing", ".dl\\gone", OTHER_CLASS_TARGET "\\gone"}),
    [](const ::testing::TestParamInfo<LinkCase> &info) { return info.param.name; });

INSTANTIATE_TEST_SUITE_P(Families, KeyTreeTest, ::testing::Values(sim::FAMILY_NT, sim::FAMILY_9X),
                         [](const ::testing::TestParamInfo<sim::Family> &info) {
                             return info.param == sim::FAMILY_NT ? "NT" : "Win9x";
                         });

}  // namespace
