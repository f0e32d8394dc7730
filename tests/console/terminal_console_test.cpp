// The terminal console, driven through a pseudo-terminal.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <string>
#include <vector>

#include "console/console_posix.hpp"
#include "tests/console/pseudo_terminal.hpp"

namespace kestrune {
namespace {

using testing::PseudoTerminal;
using testing::same_settings;

constexpr char ESC = '\x1b';
constexpr char CTRL_C = '\x03';

// read_key on another thread, so that a console waiting for a key that never
// comes fails the test instead of hanging it: the terminal is hung up then,
// which ends the wait.
class KeyReader {
  public:
    KeyReader(Console& console, PseudoTerminal& pty)
        : pty_(pty),
          key_(std::async(std::launch::async, [&console] { return console.read_key(); })) {}

    char key() {
        if (key_.wait_for(std::chrono::milliseconds(testing::PTY_PATIENCE_MS)) !=
            std::future_status::ready) {
            ADD_FAILURE() << "read_key is still waiting";
            pty_.hang_up();
        }
        return key_.get();
    }

  private:
    PseudoTerminal& pty_;
    std::future<char> key_;
};

char read_key_in_time(Console& console, PseudoTerminal& pty) {
    return KeyReader(console, pty).key();
}

TEST(TerminalConsole, ReturnsKeysInOrderIncludingThoseTypedBeforeItStarted) {
    PseudoTerminal pty;
    pty.type("a");  // typed while the program was starting
    TerminalConsole console(pty.terminal(), pty.terminal());
    pty.type("bY");
    ASSERT_TRUE(pty.input_arrived());

    EXPECT_EQ(read_key_in_time(console, pty), 'a');
    EXPECT_EQ(read_key_in_time(console, pty), 'b');
    EXPECT_EQ(read_key_in_time(console, pty), 'Y');
    EXPECT_FALSE(console.key_waiting());
    EXPECT_TRUE(console.has_keyboard());
}

TEST(TerminalConsole, KeyWaitingLeavesTheKeyQueued) {
    PseudoTerminal pty;
    TerminalConsole console(pty.terminal(), pty.terminal());
    EXPECT_FALSE(console.key_waiting());

    pty.type("n");
    ASSERT_TRUE(pty.input_arrived());
    EXPECT_TRUE(console.key_waiting());
    EXPECT_TRUE(console.key_waiting());
    EXPECT_EQ(read_key_in_time(console, pty), 'n');
    EXPECT_FALSE(console.key_waiting());
}

struct SilentKey {
    const char* name;
    std::string sequence;
};

TEST(TerminalConsole, CursorAndFunctionKeysCountAsWaitingButProduceNoCharacter) {
    const std::vector<SilentKey> keys = {
        {"cursor up", "\x1b[A"},
        {"cursor up in application mode", "\x1bOA"},
        {"F1", "\x1bOP"},
        {"F5", "\x1b[15~"},
        {"Shift+F1", "\x1b[1;2P"},
        {"Alt+F3", "\x1b[1;3R"},
        {"Ctrl+F12", "\x1b[24;5~"},
        {"Delete", "\x1b[3~"},
        {"Alt+cursor up", "\x1b\x1b[A"},
        {"F1 on the Linux console", "\x1b[[A"},
    };
    PseudoTerminal pty;
    TerminalConsole console(pty.terminal(), pty.terminal());
    for (const SilentKey& key : keys) {
        SCOPED_TRACE(key.name);
        pty.type(key.sequence);
        ASSERT_TRUE(pty.input_arrived());
        EXPECT_TRUE(console.key_waiting());

        pty.type("y");
        EXPECT_EQ(read_key_in_time(console, pty), 'y');
        EXPECT_FALSE(console.key_waiting()) << "left part of the sequence behind";
    }
}

struct KeyCase {
    const char* name;
    std::string typed;
    char expected;
};

TEST(TerminalConsole, EscAloneAndAltWithAKeyProduceCharacters) {
    const std::vector<KeyCase> cases = {
        {"Esc", std::string(1, ESC), ESC},
        {"Alt+y", "\x1by", 'y'},
        {"Alt+[", "\x1b[", '['},
        {"Alt+Esc", "\x1b\x1b", ESC},
    };
    PseudoTerminal pty;
    TerminalConsole console(pty.terminal(), pty.terminal());
    for (const KeyCase& key : cases) {
        SCOPED_TRACE(key.name);
        pty.type(key.typed);
        ASSERT_TRUE(pty.input_arrived());
        EXPECT_EQ(read_key_in_time(console, pty), key.expected);
        EXPECT_FALSE(console.key_waiting());
    }
}

TEST(TerminalConsole, CtrlCDuringReadKeyIsCode3) {
    PseudoTerminal pty;
    TerminalConsole console(pty.terminal(), pty.terminal());
    EXPECT_TRUE(pty.settings().c_lflag & ISIG) << "Ctrl+C must end the program outside read_key";

    KeyReader reader(console, pty);
    EXPECT_TRUE(pty.settings_become([](tcflag_t flags) { return (flags & ISIG) == 0; }));
    pty.type(std::string(1, CTRL_C));
    EXPECT_EQ(reader.key(), CTRL_C);
    EXPECT_TRUE(pty.settings().c_lflag & ISIG) << "Ctrl+C must interrupt again after read_key";
}

TEST(TerminalConsole, SwitchesTheTerminalWhileItLivesAndPutsItBack) {
    PseudoTerminal pty;
    const termios before = pty.settings();
    struct sigaction interrupt_before {};
    ::sigaction(SIGINT, nullptr, &interrupt_before);
    {
        TerminalConsole console(pty.terminal(), pty.terminal());
        const termios during = pty.settings();
        EXPECT_EQ(during.c_lflag & (ICANON | ECHO), 0U);
        EXPECT_EQ(during.c_cc[VMIN], 1);
        EXPECT_EQ(during.c_cc[VTIME], 0);
    }
    EXPECT_TRUE(same_settings(pty.settings(), before));
    struct sigaction interrupt_after {};
    ::sigaction(SIGINT, nullptr, &interrupt_after);
    EXPECT_EQ(interrupt_after.sa_handler, interrupt_before.sa_handler);
}

TEST(TerminalConsole, ATerminalThatHasGoneAwayEndsEveryWait) {
    PseudoTerminal pty;
    TerminalConsole console(pty.terminal(), pty.terminal());
    pty.hang_up();
    EXPECT_TRUE(console.key_waiting());
    EXPECT_EQ(read_key_in_time(console, pty), 'N');
}

TEST(TerminalConsole, CursorMovesOnlyWhenStandardOutputIsTheTerminal) {
    {
        PseudoTerminal pty;
        TerminalConsole console(pty.terminal(), pty.terminal());
        console.write_text("Load: 7 %");
        console.cursor_to_line_start();
        console.write_text("Load: 8 %\n");
        // The terminal itself turns the line end into CR LF.
        const std::string expected = "Load: 7 %\rLoad: 8 %\r\n";
        EXPECT_EQ(pty.screen(expected.size()), expected);
    }
    {
        PseudoTerminal pty;
        int output[2];
        ASSERT_EQ(::pipe(output), 0);
        TerminalConsole console(pty.terminal(), output[1]);
        console.write_text("Load: 7 %");
        console.cursor_to_line_start();
        console.write_text("Load: 8 %\n");
        ::close(output[1]);
        char shown[64] = {};
        const ssize_t got = ::read(output[0], shown, sizeof shown);
        ::close(output[0]);
        EXPECT_EQ(std::string(shown, got > 0 ? static_cast<std::size_t>(got) : 0U),
                  "Load: 7 %Load: 8 %\n");
    }
}

}  // namespace
}  // namespace kestrune
