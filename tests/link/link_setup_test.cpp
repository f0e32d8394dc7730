#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "link/link.hpp"
#include "sim/fake_clock.hpp"
#include "tests/support/link_calls.hpp"
#include "tests/support/scripted_driver.hpp"

namespace kestrune {
namespace {

using testing::ScriptedDriver;

const std::vector<std::string> FULL_CONFIGURATION_AT_FAST_SPEED = testing::opening_calls(1'500'000);

class LinkSetup : public ::testing::Test {
  protected:
    sim::FakeClock clock;
    ScriptedDriver driver{clock};
    Link link{driver, clock};
};

TEST_F(LinkSetup, OpensDeviceZeroAndConfiguresInOrder) {
    EXPECT_EQ(open_link(link, MAIN_FIRMWARE_BAUD), OpenOutcome::opened);
    EXPECT_EQ(driver.calls(), FULL_CONFIGURATION_AT_FAST_SPEED);
    EXPECT_TRUE(link.open);
    EXPECT_EQ(link.handle, ScriptedDriver::handle_value());
}

TEST_F(LinkSetup, OpenFailureMakesNoFurtherCallAndLeavesNothingToClose) {
    driver.queue_status("open", 2);
    EXPECT_EQ(open_link(link, MAIN_FIRMWARE_BAUD), OpenOutcome::open_failure);
    close_link(link);
    EXPECT_EQ(driver.calls(), std::vector<std::string>{"open(0)"});
}

// Each of the first five configuration calls stops the configuration when it
// fails; the handle stays open until the run closes it.
TEST_F(LinkSetup, StopsAtTheFirstFailingCall) {
    const std::vector<std::string> operations = {"reset", "set_baud_rate",
                                                 "set_data_characteristics", "set_flow_control",
                                                 "set_special_characters"};
    for (std::size_t failing = 0; failing < operations.size(); ++failing) {
        sim::FakeClock fresh_clock;
        ScriptedDriver fresh_driver{fresh_clock};
        Link fresh_link{fresh_driver, fresh_clock};
        fresh_driver.queue_status(operations[failing], 4);

        EXPECT_EQ(open_link(fresh_link, BOOTLOADER_BAUD), OpenOutcome::configuration_failure)
            << operations[failing];
        ASSERT_EQ(fresh_driver.calls().size(), failing + 2) << operations[failing];
        EXPECT_EQ(fresh_driver.calls().back().rfind(operations[failing], 0), 0U);
        EXPECT_TRUE(fresh_link.open);
        close_link(fresh_link);
        EXPECT_EQ(fresh_driver.calls().back(), "close");
    }
}

TEST_F(LinkSetup, TimeoutsAndPurgeFailuresDoNotStopTheLink) {
    driver.queue_status("set_timeouts", 1);
    driver.queue_status("purge", 1);
    EXPECT_EQ(open_link(link, MAIN_FIRMWARE_BAUD), OpenOutcome::opened);
    EXPECT_EQ(driver.calls(), FULL_CONFIGURATION_AT_FAST_SPEED);
}

TEST_F(LinkSetup, CloseClosesOnceOnly) {
    ASSERT_EQ(open_link(link, BOOTLOADER_BAUD), OpenOutcome::opened);
    EXPECT_EQ(driver.calls()[2], "set_baud_rate(115200)");
    close_link(link);
    close_link(link);
    EXPECT_EQ(driver.calls().back(), "close");
    EXPECT_EQ(driver.calls().size(), FULL_CONFIGURATION_AT_FAST_SPEED.size() + 1);
    EXPECT_FALSE(link.open);
}

}  // namespace
}  // namespace kestrune
