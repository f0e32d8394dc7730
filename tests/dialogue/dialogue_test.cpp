#include <gtest/gtest.h>

#include <string>

#include "console/dialogue.hpp"
#include "sim/fake_clock.hpp"
#include "tests/support/scripted_console.hpp"

namespace kestrune {
namespace {

using testing::EventKind;
using testing::ScriptedConsole;

class Dialogue : public ::testing::Test {
  protected:
    sim::FakeClock clock;
    ScriptedConsole console{clock};
};

struct VersionCase {
    std::array<std::uint8_t, 4> report;
    std::uint8_t new_major;
    std::uint8_t new_minor;
    std::string expected_tail;  // after the bootloader and new version lines
};

TEST_F(Dialogue, ShowsVersionsWithTheirNotes) {
    const VersionCase cases[] = {
        {{2, 7, 0xFF, 0xFF}, 1, 5, "Old main firmware not found. \n"},
        {{2, 7, 1, 4}, 1, 5, "Old main firmware version: 1.4\n"},
        {{2, 7, 1, 5},
         1,
         5,
         "Old main firmware version: 1.5\nThis firmvare has identical version. \n"},
        {{2, 7, 2, 0},
         1,
         99,
         "Old main firmware version: 2.0\nThis firmvare has more early version. \n"},
        // 1 * 100 + 150 weighs more than 2 * 100 + 40.
        {{2, 7, 1, 150},
         2,
         40,
         "Old main firmware version: 1.150\nThis firmvare has more early version. \n"},
        // Only both bytes FF mean no firmware.
        {{2, 7, 0xFF, 0},
         1,
         5,
         "Old main firmware version: 255.0\nThis firmvare has more early version. \n"},
    };
    for (const VersionCase& c : cases) {
        ScriptedConsole out{clock};
        show_versions(out, {c.report[0], c.report[1]}, {c.report[2], c.report[3]},
                      {c.new_major, c.new_minor});
        EXPECT_EQ(out.output(), "Bootloader firmware version: 2.7\nNew main firmware version: " +
                                    std::to_string(c.new_major) + "." +
                                    std::to_string(c.new_minor) + "\n" + c.expected_tail);
    }
}

TEST_F(Dialogue, QuestionIgnoresEverythingButYesAndNo) {
    console.push({EventKind::silent_key});  // F1
    console.press('x');
    console.press('\r');
    console.press(3);   // Ctrl+C while the question waits
    console.press(25);  // Ctrl+Y
    console.push({EventKind::modifier_key});
    console.press('Y');
    console.press('n');  // typed after the answer: stays queued
    EXPECT_EQ(confirm_update(console), Answer::accepted);
    EXPECT_EQ(console.output(), "Do you want to continue (Y or N)? Y \n");
    EXPECT_EQ(console.pending(), 1U);
    EXPECT_TRUE(console.key_waiting());
}

TEST_F(Dialogue, AnswersFromEitherCase) {
    const std::pair<char, Answer> answers[] = {{'y', Answer::accepted},
                                               {'Y', Answer::accepted},
                                               {'n', Answer::declined},
                                               {'N', Answer::declined}};
    for (const auto& [key, expected] : answers) {
        ScriptedConsole fresh{clock};
        fresh.press(key);
        EXPECT_EQ(confirm_update(fresh), expected);
        EXPECT_EQ(fresh.output(), std::string("Do you want to continue (Y or N)? ") +
                                      (expected == Answer::accepted ? "Y \n" : "N \n"));
    }
}

TEST_F(Dialogue, ProgressPrintsOnlyChangedPercentagesOnOneRow) {
    Progress progress;
    for (std::uint32_t offset : {0U, 512U, 1024U}) {
        show_progress(console, progress, offset, 1536);
    }
    show_progress(console, progress, 512, 1536);  // a refusal repeats the block before
    EXPECT_EQ(console.screen_log(), "\rLoad: 0 %\rLoad: 33 %\rLoad: 66 %\rLoad: 33 %");

    ScriptedConsole quiet{clock};
    Progress same;
    show_progress(quiet, same, 0, 100'000);
    show_progress(quiet, same, 0, 100'000);
    show_progress(quiet, same, 512, 100'000);  // still 0 %
    EXPECT_EQ(quiet.screen_log(), "\rLoad: 0 %");
}

TEST_F(Dialogue, ProgressNeverShowsAHundredAndHandlesTheLargestImage) {
    Progress progress;
    const std::uint32_t length = 5'000'000 - 4;
    show_progress(console, progress, length - 1, length);
    EXPECT_EQ(console.output(), "Load: 99 %");
}

}  // namespace
}  // namespace kestrune
