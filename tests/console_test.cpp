// The key reader: which events answer a prompt, and which codes a key gives.
#include "tests/tool_fixture.h"

#include <vector>

#include "frontend/console.h"

namespace {

typedef std::vector<INPUT_RECORD> Events;

Events key(WORD vk, WORD scan, char ch, DWORD control = 0, WORD repeat = 1)
{
    return {sim::key_down(vk, scan, ch, control, repeat), sim::key_up(vk, scan, ch, control)};
}

Events join(std::initializer_list<Events> parts)
{
    Events all;
    for (const Events &part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

struct KeyCase {
    const char *name;
    std::vector<Events> presses;  // one batch per press, delivered when the reader waits
    std::vector<int> codes;       // what successive wait_for_key calls return
};

void PrintTo(const KeyCase &c, std::ostream *os)
{
    *os << c.name;
}

class KeyReaderTest : public ToolTest, public ::testing::WithParamInterface<KeyCase> {};

TEST_P(KeyReaderTest, GivesTheseCodes)
{
    const KeyCase &c = GetParam();
    for (const Events &batch : c.presses)
        sim::press(batch);
    for (size_t i = 0; i < c.codes.size(); i++) {
        sim::Outcome outcome = sim::run(wait_for_key);
        ASSERT_EQ(sim::Outcome::RETURNED, outcome.kind) << "read " << i;
        EXPECT_EQ(c.codes[i], outcome.code) << "read " << i;
    }
    EXPECT_EQ(0u, sim::unread_batches());
    // Every read leaves the console as it found it.
    EXPECT_EQ(0x1F7u, sim::console_mode());
    EXPECT_EQ(0, sim::open_handles());
    // Nothing more is owed: one read more waits for the user.
    EXPECT_EQ(sim::Outcome::BLOCKED, sim::run(wait_for_key).kind) << "one read more";
}

const WORD VK_UP = 0x26, VK_F1 = 0x70, VK_RETURN = 0x0D;

INSTANTIATE_TEST_SUITE_P(
    Keys, KeyReaderTest,
    ::testing::Values(
        KeyCase{"LowerCaseIsUpperCased", {key('Y', 0x15, 'y')}, {'Y'}},
        KeyCase{"UpperCaseWithShift", {sim::keystroke('N')}, {'N'}},
        KeyCase{"LastLetterIsUpperCased", {key('Z', 0x2C, 'z')}, {'Z'}},
        KeyCase{"BraceAfterTheLettersUnchanged", {key(0xDB, 0x1A, '{')}, {'{'}},
        KeyCase{"DigitUnchanged", {key('7', 0x08, '7')}, {'7'}},
        KeyCase{"NonAsciiLetterUnchanged", {key(0xDE, 0x28, '\xe4')}, {0xE4}},
        KeyCase{"CtrlCIsThree", {key('C', 0x2E, 3, LEFT_CTRL_PRESSED)}, {3}},
        KeyCase{"ModifiersAloneAnswerNothing",
                {join({key(VK_SHIFT, 0x2A, 0), key(VK_CONTROL, 0x1D, 0), key(VK_MENU, 0x38, 0)}),
                 key('Q', 0x10, 'q')},
                {'Q'}},
        KeyCase{"OtherEventsArePassedOver",
                {{sim::other_event(MOUSE_EVENT), sim::other_event(FOCUS_EVENT),
                  sim::other_event(WINDOW_BUFFER_SIZE_EVENT), sim::other_event(MENU_EVENT)},
                 key('A', 0x1E, 'a')},
                {'A'}},
        // The release of the Enter that started the tool comes first.
        KeyCase{"ReleaseAloneIsPassedOver", {join({{sim::key_up(VK_RETURN, 0x1C, '\r')}, key('Y', 0x15, 'y')})}, {'Y'}},
        KeyCase{"ArrowGivesZeroThenScanCode", {key(VK_UP, 0x48, 0, ENHANCED_KEY)}, {0, 0x48}},
        KeyCase{"ArrowWithoutEnhancedFlag", {key(VK_UP, 0x48, 0)}, {0, 0x48}},
        KeyCase{"FunctionKey", {key(VK_F1, 0x3B, 0)}, {0, 0x3B}},
        KeyCase{"ScanCodeWithTheHighBit", {key(0, 0xE5, 0)}, {0, 0xE5}},
        KeyCase{"EscapeFromATerminal", {key(0x1B, 0x01, 0)}, {0, 0x01}},
        KeyCase{"KeypadEnterIsEnhanced", {key(VK_RETURN, 0x1C, '\r', ENHANCED_KEY)}, {0, 0x1C}},
        KeyCase{"Enter", {key(VK_RETURN, 0x1C, '\r')}, {'\r'}},
        KeyCase{"RepeatCountGivesTheCodeAgain", {key('A', 0x1E, 'a', 0, 3)}, {'A', 'A', 'A'}},
        KeyCase{"RepeatedArrow", {key(VK_UP, 0x48, 0, ENHANCED_KEY, 2)}, {0, 0x48, 0, 0x48}},
        // A second scan code owed: a lower-case scan code is upper-cased like any code.
        KeyCase{"OwedScanCodeIsUpperCased", {key(0, 'r', 0)}, {0, 'R'}},
        KeyCase{"KeysTypedMeanwhileAreDropped",
                {join({key('A', 0x1E, 'a'), key('B', 0x30, 'b'), key('C', 0x2E, 'c')}),
                 key('D', 0x20, 'd')},
                {'A', 'D'}},
        // A key dropped as typed meanwhile owes nothing: its repeats never answer a prompt.
        KeyCase{"RepeatsOfAKeyTypedMeanwhileAreDropped",
                {join({key('A', 0x1E, 'a'), key('B', 0x30, 'b', 0, 3), key(VK_UP, 0x48, 0)}),
                 key('D', 0x20, 'd')},
                {'A', 'D'}}),
    [](const ::testing::TestParamInfo<KeyCase> &info) { return info.param.name; });

TEST_F(ToolTest, KeysTypedAheadNeverCount)
{
    // Nor do the codes they still owe: repeats, and the scan code of a key without a character.
    sim::type_ahead(join({key('Y', 0x15, 'y'), key('N', 0x31, 'n', 0, 2), key(VK_F1, 0x3B, 0)}));
    sim::press(key('Q', 0x10, 'q'));
    sim::Outcome outcome = sim::run(wait_for_key);
    EXPECT_EQ('Q', outcome.code);
    EXPECT_EQ(0u, sim::queued_events());
    EXPECT_EQ(sim::Outcome::BLOCKED, sim::run(wait_for_key).kind);
}

TEST_F(ToolTest, CodesOwedByThePromptsKeyOutliveKeysTypedAfterIt)
{
    sim::press(key(VK_UP, 0x48, 0));
    EXPECT_EQ(0, sim::run(wait_for_key).code);
    sim::type_ahead(key('N', 0x31, 'n'));
    EXPECT_EQ(0x48, sim::run(wait_for_key).code);
    EXPECT_EQ(sim::Outcome::BLOCKED, sim::run(wait_for_key).kind);
}

TEST_F(ToolTest, ModeIsZeroOnlyWhileReading)
{
    sim::press(key('Y', 0x15, 'y'));
    sim::run(wait_for_key);
    std::vector<std::string> modes;
    for (const sim::Call &call : sim::calls()) {
        if (call.name == "SetConsoleMode")
            modes.push_back(call.args.substr(call.args.rfind(' ') + 1));
    }
    EXPECT_EQ((std::vector<std::string>{"0x0", "0x1f7"}), modes);
}

TEST_F(ToolTest, NoConsoleInputGivesMinusOneAtOnce)
{
    sim::set_no_console();
    sim::Outcome outcome = sim::run(wait_for_key);
    EXPECT_EQ(sim::Outcome::RETURNED, outcome.kind);
    EXPECT_EQ(KEY_UNREADABLE, outcome.code);
}

TEST_F(ToolTest, ConsoleReadFailureGivesMinusOne)
{
    sim::press(key('Y', 0x15, 'y'));
    sim::fail("ReadConsoleInputA", 1, ERROR_INVALID_HANDLE, true);
    sim::Outcome outcome = sim::run(wait_for_key);
    EXPECT_EQ(sim::Outcome::RETURNED, outcome.kind);
    EXPECT_EQ(KEY_UNREADABLE, outcome.code);
    EXPECT_EQ(0x1F7u, sim::console_mode());
}

// Reads that succeed with no event neither drop the key typed ahead nor spin over it.
TEST_F(ToolTest, EmptyConsoleReadsGiveMinusOne)
{
    sim::type_ahead(key('Y', 0x15, 'y'));
    sim::set_empty_console_reads();
    sim::Outcome outcome = sim::run(wait_for_key);
    EXPECT_EQ(sim::Outcome::RETURNED, outcome.kind);
    EXPECT_EQ(KEY_UNREADABLE, outcome.code);
    EXPECT_GE(3, sim::count("ReadConsoleInputA"));
}

TEST_F(ToolTest, ExitPromptTakesAnyKeyButNotShiftAlone)
{
    sim::press(key(VK_SHIFT, 0x2A, 0));
    sim::press(key('C', 0x2E, 3, LEFT_CTRL_PRESSED));
    sim::press_key('x');
    sim::Outcome outcome = run_tool();
    EXPECT_EQ(0, outcome.code);
    // Ctrl+C ends the closing prompt; the key after it is never read.
    EXPECT_EQ(1u, sim::unread_batches());
}

}  // namespace
