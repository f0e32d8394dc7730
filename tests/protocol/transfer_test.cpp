#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "protocol/transfer.hpp"
#include "sim/fake_clock.hpp"
#include "tests/support/scripted_console.hpp"
#include "tests/support/scripted_driver.hpp"

namespace kestrune {
namespace {

using testing::ScriptedConsole;
using testing::ScriptedDriver;

class EraseAndTransfer : public ::testing::Test {
  protected:
    EraseAndTransfer() {
        link.handle = ScriptedDriver::handle_value();
        link.open = true;
    }

    // An image of `blocks` whole blocks, byte i holding i & 0xFF.
    void make_image(std::uint32_t blocks) {
        image->file_length = blocks * BLOCK_SIZE + TRAILER_SIZE;
        for (std::uint32_t i = 0; i < blocks * BLOCK_SIZE; ++i) {
            image->buffer[i] = static_cast<std::uint8_t>(i);
        }
    }
    std::vector<std::uint8_t> block_at(std::uint32_t offset) const {
        return {image->buffer.begin() + offset, image->buffer.begin() + offset + BLOCK_SIZE};
    }
    // The device echoes the block (or `echo`) and answers.
    void device_takes(std::uint32_t offset, std::uint8_t answer_byte,
                      std::vector<std::uint8_t> echo = {}) {
        driver.queue_read(echo.empty() ? block_at(offset) : echo);
        driver.queue_read({answer_byte});
    }
    TransferOutcome transfer() {
        return transfer_image(link, *image, state, answer, console, progress);
    }
    // The verdict bytes the program sent, in order.
    std::vector<std::uint8_t> verdicts() const {
        std::vector<std::uint8_t> result;
        for (const auto& written : driver.writes()) {
            if (written.size() == 1) {
                result.push_back(written[0]);
            }
        }
        return result;
    }

    sim::FakeClock clock;
    ScriptedDriver driver{clock};
    ScriptedConsole console{clock};
    Link link{driver, clock};
    std::unique_ptr<UpdateImage> image = std::make_unique<UpdateImage>();
    TransferState state;
    Progress progress;
    std::uint8_t answer = 0;
};

TEST_F(EraseAndTransfer, EraseSendsItsCommandAndWaitsUpToFiveSecondsForTheEnd) {
    driver.queue_read({0x0F});
    driver.queue_read({0xF0}, 4900);
    EXPECT_EQ(erase_flash(link, answer), EraseOutcome::erased);
    EXPECT_EQ(driver.writes().front(),
              (std::vector<std::uint8_t>{0x7E, 0x04, 0xB9, 0xD2, 0x66, 0xC1, 0x3F, 0x80}));
}

TEST_F(EraseAndTransfer, EraseFaults) {
    using Script = void (*)(ScriptedDriver&);
    const std::pair<const char*, Script> cases[] = {
        {"command write fails", [](ScriptedDriver& d) { d.queue_status("write", 4); }},
        {"no first answer", [](ScriptedDriver&) {}},
        {"finished before accepted", [](ScriptedDriver& d) { d.queue_read({0xF0}); }},
        {"no second answer",
         [](ScriptedDriver& d) {
             d.queue_read({0x0F});
             d.queue_silence(20);
         }},
        {"wrong second answer",
         [](ScriptedDriver& d) {
             d.queue_read({0x0F});
             d.queue_read({0x0F});
         }},
        {"second answer too late",
         [](ScriptedDriver& d) {
             d.queue_read({0x0F});
             d.queue_read({0xF0}, 5000);
         }},
    };
    for (const auto& [what, script] : cases) {
        sim::FakeClock fresh_clock;
        ScriptedDriver fresh_driver{fresh_clock};
        Link fresh_link{fresh_driver, fresh_clock, ScriptedDriver::handle_value(), true};
        script(fresh_driver);
        EXPECT_EQ(erase_flash(fresh_link, answer), EraseOutcome::failed) << what;
        // Never longer than the five seconds plus one read.
        EXPECT_LE(fresh_clock.elapsed_ms(), 1300U + 5300U) << what;
    }
}

// Started in the last five seconds before the tick wraps, the erase still
// gets its five seconds: its deadline is never a sum that wrapped past zero.
TEST(EraseNearTickWrap, FinishedAnswerIsAwaitedAcrossTheWrap) {
    for (const std::uint32_t before_wrap_ms : {4999U, 2500U, 1001U}) {
        sim::FakeClock clock(0U - before_wrap_ms);
        ScriptedDriver driver{clock};
        Link link{driver, clock, ScriptedDriver::handle_value(), true};
        driver.queue_read({0x0F});
        driver.queue_read({0xF0}, 4000);
        std::uint8_t answer = 0;
        EXPECT_EQ(erase_flash(link, answer), EraseOutcome::erased) << before_wrap_ms;
        EXPECT_GT(link.deadline, 5000U) << before_wrap_ms;
    }
}

TEST_F(EraseAndTransfer, EmptyImageSendsNoBlock) {
    make_image(0);
    EXPECT_EQ(transfer(), TransferOutcome::completed);
    EXPECT_TRUE(driver.calls().empty());
    EXPECT_EQ(console.output(), "");
}

TEST_F(EraseAndTransfer, EchoDifferingInItsLastByteGetsVerdictFFAndTheBlockAgain) {
    make_image(1);
    std::vector<std::uint8_t> bad_echo = block_at(0);
    bad_echo.back() ^= 0x01;
    device_takes(0, 0x00, bad_echo);
    device_takes(0, 0x80);
    EXPECT_EQ(transfer(), TransferOutcome::completed);
    EXPECT_EQ(verdicts(), (std::vector<std::uint8_t>{0xFF, 0x01}));
    EXPECT_EQ(state.failures, 1U);
}

// A device that claims to have written a block whose echo differed may hold
// the damaged block, or may hold it and be ready for the next one: neither
// moving on nor sending it again is known to leave the right flash.
TEST_F(EraseAndTransfer, AcceptanceOfABadEchoFailsTheTransfer) {
    make_image(2);
    device_takes(0, 0x80);
    std::vector<std::uint8_t> bad_echo = block_at(512);
    bad_echo[100] = 0xEE;
    device_takes(512, 0x80, bad_echo);
    EXPECT_EQ(transfer(), TransferOutcome::failed);
    EXPECT_EQ(verdicts(), (std::vector<std::uint8_t>{0x01, 0xFF}));
    EXPECT_EQ(driver.writes().size(), 4U) << "the block is not sent again";
    EXPECT_EQ(console.screen_log(), "\rLoad: 0 %") << "the progress stays at the last block taken";
}

TEST_F(EraseAndTransfer, RefusalsCountOverTheRunAndTheTwentiethFails) {
    make_image(3);
    state.failures = 18;  // earlier blocks of this run were refused 18 times
    device_takes(0, 0x80);
    device_takes(512, 0x00);  // 19th: tolerated, block sent again
    device_takes(512, 0x80);
    device_takes(1024, 0x7F);  // 20th
    EXPECT_EQ(transfer(), TransferOutcome::failed);
    EXPECT_EQ(state.failures, 20U);
    EXPECT_EQ(driver.writes().size(), 4U * 2);
}

TEST_F(EraseAndTransfer, KeyPressedDuringABlockAbortsAfterItsProgressLine) {
    make_image(3);
    console.press(' ');  // pressed while the first block is on its way
    device_takes(0, 0x80);
    EXPECT_EQ(transfer(), TransferOutcome::aborted);
    EXPECT_EQ(console.screen_log(), "\rLoad: 0 %");
    EXPECT_EQ(console.pending(), 1U);
    EXPECT_EQ(driver.writes().size(), 2U);
}

TEST_F(EraseAndTransfer, EveryWaitOfABlockTimesOut) {
    // Silent device: the block write succeeds, the echo never comes.
    make_image(1);
    EXPECT_EQ(transfer(), TransferOutcome::failed);
    EXPECT_EQ(driver.writes().size(), 1U);

    // No answer after the verdict.
    sim::FakeClock fresh_clock;
    ScriptedDriver fresh_driver{fresh_clock};
    Link fresh_link{fresh_driver, fresh_clock, ScriptedDriver::handle_value(), true};
    fresh_driver.queue_read(block_at(0));
    EXPECT_EQ(transfer_image(fresh_link, *image, state, answer, console, progress),
              TransferOutcome::failed);
    EXPECT_EQ(fresh_driver.writes().size(), 2U);
    EXPECT_EQ(console.output(), "");
}

}  // namespace
}  // namespace kestrune
