#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "image/update_image.hpp"
#include "protocol/exchange.hpp"
#include "sim/fake_clock.hpp"
#include "tests/support/scripted_driver.hpp"

namespace kestrune {
namespace {

using testing::ScriptedDriver;

constexpr std::uint32_t TICK_WRAP_MINUS(std::uint32_t ms) {
    return 0U - ms;
}

// A link that is open on a scripted driver whose empty reads each spend 300 ms.
class Exchange : public ::testing::Test {
  protected:
    explicit Exchange(std::uint32_t start_tick = 50'000) : clock(start_tick) {
        link.handle = ScriptedDriver::handle_value();
        link.open = true;
    }

    // A command written only in part, then a wait whose first read brings an answer.
    WaitResult short_command_then_answer() {
        const std::uint8_t command[] = {1, 2, 3, 4};
        driver.queue_write_count(3);
        EXPECT_EQ(send_command(link, command, 4), CommandResult::sent);
        driver.queue_read({1, 2, 3, 4});
        return await_reply(link, buffer.data(), 4);
    }

    sim::FakeClock clock;
    ScriptedDriver driver{clock};
    Link link{driver, clock};
    std::array<std::uint8_t, 6> buffer{};
};

TEST_F(Exchange, SilentDeviceTimesOutAfterTheDeadlinePlusAtMostOneRead) {
    const std::uint8_t command[] = {1, 2, 3};
    ASSERT_EQ(send_command(link, command, 3), CommandResult::sent);
    EXPECT_EQ(link.deadline, clock.tick_ms() + 1000);

    EXPECT_EQ(await_reply(link, buffer.data(), 6), WaitResult::timed_out);
    // Reads end at 300, 600, 900 and 1200 ms: the fourth is the first past the deadline.
    EXPECT_EQ(driver.read_count(), 4U);
    EXPECT_EQ(clock.elapsed_ms(), 1200U);
}

TEST_F(Exchange, ShortAnswerBeforeTheDeadlineEndsTheWaitAndKeepsTheRestOfTheBuffer) {
    buffer = {9, 9, 9, 9, 9, 9};
    set_deadline(link);
    driver.queue_silence();
    driver.queue_read({0x5A, 0x5A});

    EXPECT_EQ(await_reply(link, buffer.data(), 6), WaitResult::done);
    EXPECT_EQ(link.transferred, 2U);
    EXPECT_EQ(buffer, (std::array<std::uint8_t, 6>{0x5A, 0x5A, 9, 9, 9, 9}));
}

TEST_F(Exchange, DataThatArrivesAtTheDeadlineCountsAsLate) {
    set_deadline(link);
    driver.queue_read({0x0F}, 1000);
    EXPECT_EQ(await_reply(link, buffer.data(), 1), WaitResult::timed_out);
}

TEST_F(Exchange, FailedCommandWriteIsReported) {
    const std::uint8_t command[] = {1, 2, 3, 4};
    driver.queue_status("write", 4);
    EXPECT_EQ(send_command(link, command, 4), CommandResult::failed);
}

// A command written only in part keeps the older deadline. Past, the wait makes
// one read and times out even though that read brought data.
TEST_F(Exchange, ShortCommandWriteLeavesAPassedDeadlineInForce) {
    set_deadline(link);
    clock.advance_ms(5000);
    EXPECT_EQ(short_command_then_answer(), WaitResult::timed_out);
    EXPECT_EQ(driver.read_count(), 1U);
}

TEST_F(Exchange, ShortCommandWriteLeavesAFutureDeadlineInForce) {
    set_deadline(link);
    const Deadline first = link.deadline;
    clock.advance_ms(400);
    const std::uint8_t command[] = {1, 2, 3, 4};
    driver.queue_write_count(0);
    ASSERT_EQ(send_command(link, command, 4), CommandResult::sent);
    EXPECT_EQ(link.deadline, first);

    EXPECT_EQ(await_reply(link, buffer.data(), 4), WaitResult::timed_out);
    // 600 ms were left: reads end at 700, 1000.
    EXPECT_EQ(clock.elapsed_ms(), 1000U);
}

TEST_F(Exchange, FirstShortWriteOfTheRunWaitsAgainstDeadlineZero) {
    const std::uint8_t command[] = {1, 2};
    driver.queue_write_count(1);
    ASSERT_EQ(send_command(link, command, 2), CommandResult::sent);
    EXPECT_EQ(link.deadline, 0U);
    EXPECT_EQ(await_reply(link, buffer.data(), 2), WaitResult::timed_out);
    EXPECT_EQ(driver.read_count(), 1U);
}

// A block taken in pieces: each later call carries only what is still to go,
// so no byte reaches the wire twice.
TEST_F(Exchange, WriteBlockSendsOnlyTheBytesNotYetTaken) {
    std::array<std::uint8_t, BLOCK_SIZE> block{};
    for (std::uint32_t i = 0; i < BLOCK_SIZE; ++i) {
        block[i] = static_cast<std::uint8_t>(i * 3);
    }
    driver.queue_write_count(100);
    driver.queue_write_count(0);
    driver.queue_write_count(411);
    set_deadline(link);
    EXPECT_EQ(write_block(link, block.data()), WaitResult::done);

    const std::vector<std::uint8_t> whole(block.begin(), block.end());
    const std::vector<std::vector<std::uint8_t>> expected = {
        whole,
        {whole.begin() + 100, whole.end()},
        {whole.begin() + 100, whole.end()},
        {whole.begin() + 511, whole.end()},
    };
    EXPECT_EQ(driver.writes(), expected);
}

// An echo that straddles the read time-out arrives in pieces; each piece lands
// after the last, and every later read asks only for the rest.
TEST_F(Exchange, ReadBlockKeepsWhatArrivedAndAsksForTheRest) {
    std::vector<std::uint8_t> echo(BLOCK_SIZE);
    for (std::uint32_t i = 0; i < BLOCK_SIZE; ++i) {
        echo[i] = static_cast<std::uint8_t>(i * 5 + 1);
    }
    driver.queue_read({echo.begin(), echo.begin() + 200});
    driver.queue_silence();
    driver.queue_read({echo.begin() + 200, echo.end()});
    set_deadline(link);

    std::array<std::uint8_t, BLOCK_SIZE> block{};
    EXPECT_EQ(read_block(link, block.data()), WaitResult::done);
    EXPECT_TRUE(std::equal(echo.begin(), echo.end(), block.begin()));
    EXPECT_EQ(driver.calls(), (std::vector<std::string>{"read(512)", "read(312)", "read(312)"}));
}

TEST_F(Exchange, BlockAndByteWaitsTimeOut) {
    std::array<std::uint8_t, BLOCK_SIZE> block{};
    set_deadline(link);
    EXPECT_EQ(read_block(link, block.data()), WaitResult::timed_out);

    set_deadline(link);
    for (int i = 0; i < 3; ++i) {
        driver.queue_write_count(0);
    }
    // Writes spend no time on the scripted driver: let the deadline pass first.
    clock.advance_ms(1000);
    EXPECT_EQ(send_byte(link, 0x01), WaitResult::timed_out);
    EXPECT_EQ(driver.writes().size(), 1U);
}

// A converter that was pulled out fails every call at once. The waits try
// again at a gentle pace instead of spinning, and still end at their deadline.
TEST(ExchangeWithAFailingDriver, WaitsPauseBetweenTriesAndEndAtTheirDeadline) {
    std::array<std::uint8_t, BLOCK_SIZE> block{};
    const std::pair<const char*, std::function<WaitResult(Link&)>> waits[] = {
        {"await_reply", [&](Link& link) { return await_reply(link, block.data(), 6); }},
        {"read_block", [&](Link& link) { return read_block(link, block.data()); }},
        {"write_block", [&](Link& link) { return write_block(link, block.data()); }},
        {"send_byte", [&](Link& link) { return send_byte(link, 0x01); }},
    };
    for (const auto& [what, wait] : waits) {
        sim::FakeClock clock;
        ScriptedDriver driver{clock};
        Link link{driver, clock, ScriptedDriver::handle_value(), true};
        set_deadline(link);
        driver.fail_every_call(4);

        EXPECT_EQ(wait(link), WaitResult::timed_out) << what;
        EXPECT_LE(driver.calls().size(), 1000U / FAILED_CALL_PAUSE_MS + 1) << what;
        EXPECT_EQ(clock.elapsed_ms(), 1000U) << what;
    }
}

class ExchangeNearTickWrap : public Exchange {
  protected:
    ExchangeNearTickWrap() : Exchange(TICK_WRAP_MINUS(1500)) {}
};

TEST_F(ExchangeNearTickWrap, DeadlineIsNeverASumThatWrapped) {
    clock.advance_ms(700);  // 800 ms below the wrap
    set_deadline(link);
    EXPECT_GT(link.deadline, 1000U);
    // The tick had to reach 1 after the wrap (0 itself is refused too).
    EXPECT_EQ(link.deadline, 1U + 1000U);
    EXPECT_EQ(clock.elapsed_ms(), 1500U + 1);
}

TEST_F(ExchangeNearTickWrap, WaitThatSeesTheTickWrapEndsWithinOneRead) {
    clock.advance_ms(450);  // 1050 ms below the wrap: the deadline lies 50 ms below it
    set_deadline(link);
    ASSERT_EQ(link.deadline, TICK_WRAP_MINUS(50));

    // Reads end 750, 450, 150 ms below the wrap, then 150 ms after it.
    EXPECT_EQ(await_reply(link, buffer.data(), 6), WaitResult::timed_out);
    EXPECT_EQ(driver.read_count(), 4U);
    EXPECT_EQ(clock.elapsed_ms(), 450U + 1200U);
}

// The deadline of the last wait lay just below the wrap; the tick has wrapped
// since. It has passed all the same: the wait makes one read, not one for
// every read time-out until the tick comes round again.
TEST_F(ExchangeNearTickWrap, ShortCommandWriteAfterTheWrapLeavesAPassedDeadlineInForce) {
    set_deadline(link);
    ASSERT_EQ(link.deadline, TICK_WRAP_MINUS(500));
    clock.advance_ms(1600);  // the tick now reads 100
    EXPECT_EQ(short_command_then_answer(), WaitResult::timed_out);
    EXPECT_EQ(driver.read_count(), 1U);
}

// No deadline set yet, with the tick in the top of its range: deadline 0 has
// passed as it has anywhere else.
TEST_F(ExchangeNearTickWrap, FirstShortWriteOfTheRunWaitsAgainstDeadlineZero) {
    EXPECT_EQ(short_command_then_answer(), WaitResult::timed_out);
    EXPECT_EQ(link.deadline, 0U);
    EXPECT_EQ(driver.read_count(), 1U);
}

}  // namespace
}  // namespace kestrune
