#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "app/run.hpp"
#include "sim/fake_clock.hpp"
#include "tests/support/scratch_folder.hpp"
#include "tests/support/scripted_console.hpp"
#include "tests/support/scripted_driver.hpp"
#include "tools/pack.hpp"

namespace kestrune {
namespace {

using testing::ScriptedConsole;
using testing::ScriptedDriver;

const std::string START = "Update program start. \n";
const std::string DATA_EXCHANGE_ERROR = "\nData exchange error.\nPress any key to exit.";

// The run's endings before any exchange with the device, on scripted parts.
class RunEndings : public ::testing::Test {
  protected:
    int run() { return run_update(*state, update_file.c_str()); }
    static std::vector<std::uint8_t> good_file() {
        std::vector<std::uint8_t> file;
        pack::build_update_file(pack::sample_image(1000), {1, 2}, file);
        return file;
    }
    void write_good_file() { folder.write("Kestrune.fwu", good_file()); }

    testing::ScratchFolder folder;
    std::string update_file = folder.file("Kestrune.fwu");
    sim::FakeClock clock;
    ScriptedDriver driver{clock};
    ScriptedConsole console{clock};
    std::unique_ptr<RunState> state = std::make_unique<RunState>(driver, clock, console);
};

TEST_F(RunEndings, MissingFilePausesASecondWithoutTouchingTheDevice) {
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(console.output(), START + "Update-file not found.");
    EXPECT_EQ(clock.slept_ms(), 1000U);
    EXPECT_TRUE(driver.calls().empty());
}

TEST_F(RunEndings, DamagedFilePausesASecondWithoutTouchingTheDevice) {
    auto bytes = good_file();
    bytes[10] ^= 0x40;
    folder.write("Kestrune.fwu", bytes);
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(console.output(), START + "Hex-file error.");
    EXPECT_EQ(clock.slept_ms(), 1000U);
    EXPECT_TRUE(driver.calls().empty());
}

TEST_F(RunEndings, NoDeviceWaitsForAKeyAndLeavesItUnread) {
    write_good_file();
    driver.queue_status("open", 2);
    console.press('q', 2500);
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(console.output(), START + "Device not found! \n" + DATA_EXCHANGE_ERROR);
    EXPECT_EQ(driver.calls(), std::vector<std::string>{"open(0)"});
    // Tested about every 10 ms until the key came, not in a tight loop.
    EXPECT_EQ(clock.elapsed_ms(), 2500U);
    EXPECT_LE(console.key_tests(), 252U);
    EXPECT_EQ(console.pending(), 1U);
}

TEST_F(RunEndings, KeyAlreadyWaitingEndsTheWaitAtOnce) {
    write_good_file();
    driver.queue_status("open", 2);
    console.push({testing::EventKind::silent_key});  // F5 counts as a key press
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(clock.slept_ms(), 0U);
    EXPECT_EQ(console.key_tests(), 1U);
}

TEST_F(RunEndings, WithoutAKeyboardTheWaitEndsAtOnce) {
    write_good_file();
    driver.queue_status("open", 2);
    console.set_keyboard(false);
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(clock.slept_ms(), 0U);
    EXPECT_EQ(console.key_tests(), 0U);
}

TEST_F(RunEndings, ConfigurationFailureClosesTheLinkWithoutAMessageOfItsOwn) {
    write_good_file();
    driver.queue_status("set_baud_rate", 3);
    console.press('q');
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(console.output(), START + DATA_EXCHANGE_ERROR);
    EXPECT_EQ(driver.calls().back(), "close");
}

TEST_F(RunEndings, OnlyACompletedUpdateExitsWithOne) {
    for (Ending ending : {Ending::not_found, Ending::checksum_error, Ending::declined,
                          Ending::aborted, Ending::data_exchange_error}) {
        EXPECT_EQ(exit_code(ending), 0);
    }
    EXPECT_EQ(exit_code(Ending::completed), 1);
}

}  // namespace
}  // namespace kestrune
