#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "protocol/bootloader.hpp"
#include "sim/fake_clock.hpp"
#include "tests/support/link_calls.hpp"
#include "tests/support/scripted_driver.hpp"

namespace kestrune {
namespace {

using testing::ScriptedDriver;

const std::vector<std::uint8_t> REQUEST = {0x5A, 0x5A, 0x63, 0x00, 0xE6, 0xDA};
const std::vector<std::uint8_t> ACK = {0x5A, 0x5A, 0x64, 0x00, 0x71, 0x43};

class BootloaderEntry : public ::testing::Test {
  protected:
    BootloaderEntry() {
        link.handle = ScriptedDriver::handle_value();
        link.open = true;
    }

    std::size_t requests_sent() const {
        std::size_t count = 0;
        for (const auto& written : driver.writes()) {
            count += written == REQUEST ? 1 : 0;
        }
        return count;
    }

    sim::FakeClock clock;
    ScriptedDriver driver{clock};
    Link link{driver, clock};
    HandshakeAnswer answer{};
};

TEST_F(BootloaderEntry, AcknowledgedAtOnceSendsOneRequestThenReconnectsSlowly) {
    driver.queue_read(ACK);
    EXPECT_EQ(enter_bootloader(link, answer), EntryOutcome::entered);
    EXPECT_EQ(requests_sent(), 1U);
    EXPECT_EQ(driver.writes().size(), 1U);
    std::vector<std::string> expected = testing::opening_calls(115'200);
    expected.insert(expected.begin(), "close");
    // After the hand-shake: close, pause, reopen at the slow speed.
    EXPECT_EQ(driver.setup_calls(), expected);
    EXPECT_EQ(clock.slept_ms(), 100U);
    EXPECT_TRUE(link.open);
}

TEST_F(BootloaderEntry, SilentFirmwareGetsThreeRequestsEachWaitedForASecond) {
    EXPECT_EQ(enter_bootloader(link, answer), EntryOutcome::entered);
    EXPECT_EQ(requests_sent(), 3U);
    // Four 300 ms reads per wait, no pause between attempts, 100 ms before reopening.
    EXPECT_EQ(driver.read_count(), 12U);
    EXPECT_EQ(clock.elapsed_ms(), 3 * 1200U + 100U);
}

// Answers that are no acknowledgement: each wait ends at the first read that
// brings data, and the next request follows at once.
TEST_F(BootloaderEntry, OtherAnswersAreNotAcknowledgements) {
    const std::vector<std::vector<std::uint8_t>> answers = {
        {0x00, 0x11, 0x22, 0x33, 0x44, 0x55},  // garbage
        {0x5A, 0x5A, 0x64, 0x01, 0x71, 0x43},  // "ZZd" with a non-zero fourth byte
        {0x5A, 0x5A, 0x63, 0x00, 0xE6, 0xDA},  // the request echoed back
    };
    for (const auto& reply : answers) {
        sim::FakeClock fresh_clock;
        ScriptedDriver fresh_driver{fresh_clock};
        Link fresh_link{fresh_driver, fresh_clock, ScriptedDriver::handle_value(), true};
        HandshakeAnswer fresh_answer{};
        for (int i = 0; i < 3; ++i) {
            fresh_driver.queue_read(reply, 5);
        }
        EXPECT_EQ(enter_bootloader(fresh_link, fresh_answer), EntryOutcome::entered);
        EXPECT_EQ(fresh_driver.writes().size(), 3U);
        EXPECT_EQ(fresh_driver.read_count(), 3U);
        EXPECT_EQ(fresh_clock.elapsed_ms(), 3 * 5U + 100U);
    }
}

TEST_F(BootloaderEntry, ThreeByteAnswerCountsWhileTheFourthByteIsStillZero) {
    driver.queue_read({0x5A, 0x5A, 0x64});
    EXPECT_EQ(enter_bootloader(link, answer), EntryOutcome::entered);
    EXPECT_EQ(requests_sent(), 1U);
}

TEST_F(BootloaderEntry, FailedRequestWriteOrReopeningFails) {
    driver.queue_status("write", 4);
    EXPECT_EQ(enter_bootloader(link, answer), EntryOutcome::failed);
    EXPECT_TRUE(driver.setup_calls().empty());

    sim::FakeClock fresh_clock;
    ScriptedDriver fresh_driver{fresh_clock};
    Link fresh_link{fresh_driver, fresh_clock, ScriptedDriver::handle_value(), true};
    fresh_driver.queue_read(ACK);
    fresh_driver.queue_status("open", 2);
    EXPECT_EQ(enter_bootloader(fresh_link, answer), EntryOutcome::failed);
    EXPECT_FALSE(fresh_link.open);
}

TEST_F(BootloaderEntry, VersionQueryAndItsShortAnswer) {
    VersionReport report;
    report.bytes = {7, 7, 7, 7};
    driver.queue_read({1, 2, 0xFF});
    ASSERT_TRUE(query_versions(link, report));
    EXPECT_EQ(driver.writes().back(), (std::vector<std::uint8_t>{0x3A, 0x90, 0xC4, 0x17}));
    EXPECT_EQ(report.bytes, (std::array<std::uint8_t, 4>{1, 2, 0xFF, 7}));

    EXPECT_FALSE(query_versions(link, report));  // no answer at all
    driver.queue_status("write", 4);
    EXPECT_FALSE(query_versions(link, report));
}

}  // namespace
}  // namespace kestrune
