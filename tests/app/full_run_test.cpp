// Whole runs against the simulated device on the fake clock: the transcript,
// the exit code, the driver calls and the flash.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "app/run.hpp"
#include "sim/device.hpp"
#include "sim/fake_clock.hpp"
#include "sim/sim_driver.hpp"
#include "tests/support/link_calls.hpp"
#include "tests/support/scratch_folder.hpp"
#include "tests/support/scripted_console.hpp"
#include "tools/pack.hpp"

namespace kestrune {
namespace {

using testing::ScriptedConsole;

const std::string START = "Update program start. \nConnection OK. \n";
const std::string QUESTION = "Do you want to continue (Y or N)? ";
const std::string DATA_EXCHANGE_ERROR = "\nData exchange error.\nPress any key to exit.";
const std::string COMPLETED = "\nFirmWare update OK.\nPress any key to exit.";
// Bootloader 2.1 reporting main firmware 1.4, asked to take 1.5.
const std::string VERSIONS =
    "Bootloader firmware version: 2.1\nNew main firmware version: 1.5\n"
    "Old main firmware version: 1.4\n";

// The whole conversation with the device ends well before this: no run may
// hang, whatever the device does.
constexpr std::uint64_t LONGEST_RUN_MS = 60'000;

// One run's world: a folder with the update file, the fake clock, the console,
// the simulated device and the driver over it.
struct Rig {
    // An update file of image_length sample bytes, version 1.5.
    void make_file(std::uint32_t image_length, pack::FirmwareVersion version = {1, 5}) {
        image = pack::sample_image(image_length);
        std::vector<std::uint8_t> file;
        ASSERT_EQ(pack::build_update_file(image, version, file), pack::BuildOutcome::built);
        trailer.assign(file.end() - 4, file.end());
        folder.write("Kestrune.fwu", file);
    }
    // The device, in the simulator's text form, added to bootloader 2.1 with
    // main firmware 1.4.
    void make_device(const std::string& settings = "") {
        std::string error;
        auto config = sim::parse_device_config(
            "bootloader_version 2.1\nfirmware_version 1.4\n" + settings, error);
        ASSERT_TRUE(config.has_value()) << error;
        device = std::make_unique<sim::Device>(*config);
        driver = std::make_unique<sim::SimDriver>(*device, clock);
        state = std::make_unique<RunState>(*driver, clock, console);
    }
    // 'y' typed ahead, and no keyboard to wait on at the end.
    void answer_yes_unattended() {
        console.press('y');
        console.set_keyboard(false);
    }
    bool output_ends_with(const std::string& tail) const {
        const std::string& out = console.output();
        return out.size() >= tail.size() &&
               out.compare(out.size() - tail.size(), tail.size(), tail) == 0;
    }
    int run() {
        const int code = run_update(*state, folder.file("Kestrune.fwu").c_str());
        EXPECT_LE(clock.elapsed_ms(), LONGEST_RUN_MS);
        EXPECT_FALSE(driver->is_open()) << "the link must be closed at every ending";
        return code;
    }
    // The flash holds the image from address 0.
    bool flash_holds_image() const {
        const auto flash = device->flash();
        return std::equal(image.begin(), image.end(), flash.begin());
    }
    std::vector<std::string> setup_calls() const { return testing::setup_calls(driver->calls()); }
    std::size_t calls_of(const std::string& call) const {
        return static_cast<std::size_t>(
            std::count(driver->calls().begin(), driver->calls().end(), call));
    }
    std::vector<std::vector<std::uint8_t>> writes_of_size(std::size_t size) const {
        std::vector<std::vector<std::uint8_t>> result;
        for (const auto& written : driver->writes()) {
            if (written.size() == size) {
                result.push_back(written);
            }
        }
        return result;
    }

    testing::ScratchFolder folder;
    sim::FakeClock clock;
    ScriptedConsole console{clock};
    std::vector<std::uint8_t> image;
    std::vector<std::uint8_t> trailer;
    std::unique_ptr<sim::Device> device;
    std::unique_ptr<sim::SimDriver> driver;
    std::unique_ptr<RunState> state;
};

// Open at the firmware's speed, close, reopen at the bootloader's, close.
std::vector<std::string> setup_calls_of_a_whole_run() {
    auto calls = testing::opening_calls(1'500'000);
    calls.push_back("close");
    const auto reopening = testing::opening_calls(115'200);
    calls.insert(calls.end(), reopening.begin(), reopening.end());
    calls.push_back("close");
    return calls;
}

TEST(FullRun, CompleteUpdateOfAnOlderFirmware) {
    Rig rig;
    rig.make_file(1536);
    rig.make_device();
    rig.console.press('y');          // typed before the question: answers it when asked
    rig.console.press('k', 50'000);  // long after the end: the final wait ends here

    EXPECT_EQ(rig.run(), 1);
    EXPECT_EQ(rig.console.screen_log(), START + VERSIONS + QUESTION +
                                            "Y \nErase OK.\n\rLoad: 0 %\rLoad: 33 %\rLoad: 66 %" +
                                            COMPLETED);
    EXPECT_TRUE(rig.flash_holds_image());
    EXPECT_EQ(rig.device->blocks_written(), 3U);
    EXPECT_EQ(rig.console.pending(), 1U) << "the key that ended the wait stays unread";
    EXPECT_EQ(rig.setup_calls(), setup_calls_of_a_whole_run());
    EXPECT_EQ(rig.calls_of("write(6)"), 1U) << "acknowledged at the first request";
}

// The program adds no waiting of its own: the run lasts exactly as long as the
// bytes take on the wire, the device takes to erase and write, the converter
// holds answers back for its latency timer, and the pause before reopening
// the link.
TEST(FullRun, RunTakesOnlyTheWireDeviceAndConverterTime) {
    for (const char* converter : {"", "latency_timer 1ms\n"}) {
        SCOPED_TRACE(converter);
        Rig rig;
        rig.make_file(20 * 512 + 100);
        rig.make_device(std::string("erase_time 1200ms\nblock_write_time 3ms\n") + converter);
        rig.answer_yes_unattended();
        EXPECT_EQ(rig.run(), 1);
        const std::uint64_t model_us = rig.device->wire_time_us() + rig.device->device_time_us() +
                                       rig.device->converter_wait_us();
        EXPECT_EQ(rig.clock.now_us(), model_us + 100'000);
        EXPECT_EQ(rig.clock.slept_ms(), 100U);
    }
}

// With no wire or device time, the clock moves only when the program pauses:
// 100 ms between the close at the firmware's speed and the reopening, and no
// pause anywhere else, the reopening's own calls included.
TEST(FullRun, PauseFallsBetweenTheCloseAndTheReopening) {
    Rig rig;
    rig.make_file(1024);
    rig.make_device("zero_time yes\n");
    rig.answer_yes_unattended();
    EXPECT_EQ(rig.run(), 1);

    const auto& calls = rig.driver->calls();
    const auto& times = rig.driver->call_times_us();
    const auto close = std::find(calls.begin(), calls.end(), "close");
    ASSERT_NE(close, calls.end());
    const auto reopening = static_cast<std::size_t>(close - calls.begin()) + 1;
    ASSERT_LT(reopening, calls.size());
    EXPECT_EQ(calls[reopening], "open(0)");
    for (std::size_t i = 0; i < calls.size(); ++i) {
        EXPECT_EQ(times[i], i < reopening ? 0U : 100'000U) << i << ": " << calls[i];
    }
    EXPECT_EQ(rig.clock.now_us(), 100'000U);
}

TEST(FullRun, WorkedExampleOfAHundredThousandByteFile) {
    Rig rig;
    rig.make_file(100'000 - 4);
    rig.make_device("zero_time yes\n");
    rig.answer_yes_unattended();
    EXPECT_EQ(rig.run(), 1);

    const auto blocks = rig.writes_of_size(512);
    ASSERT_EQ(blocks.size(), 196U);
    const auto& last = blocks.back();
    EXPECT_TRUE(std::equal(rig.image.begin() + 99'840, rig.image.end(), last.begin()));
    EXPECT_TRUE(std::equal(rig.trailer.begin(), rig.trailer.end(), last.begin() + 156));
    EXPECT_TRUE(std::all_of(last.begin() + 160, last.end(), [](auto b) { return b == 0; }));
    EXPECT_TRUE(rig.flash_holds_image());
    EXPECT_NE(rig.console.output().find("Load: 99 %\nFirmWare update OK."), std::string::npos);
}

TEST(FullRun, FourByteFileSendsNoBlockAndCompletes) {
    Rig rig;
    rig.make_file(0);
    rig.make_device();
    rig.console.press('Y');
    rig.console.set_keyboard(false);
    EXPECT_EQ(rig.run(), 1);
    EXPECT_TRUE(rig.writes_of_size(512).empty());
    EXPECT_EQ(rig.console.output(), START + VERSIONS + QUESTION + "Y \nErase OK.\n" + COMPLETED);
}

TEST(FullRun, VersionNotesThenTheAnswerNo) {
    struct Case {
        std::string device;
        pack::FirmwareVersion file_version;
        std::string versions;
    };
    const Case cases[] = {
        {"firmware_version none\n",
         {1, 5},
         "Bootloader firmware version: 2.1\nNew main firmware version: 1.5\n"
         "Old main firmware not found. \n"},
        {"firmware_version 1.5\n",
         {1, 5},
         "Bootloader firmware version: 2.1\nNew main firmware version: 1.5\n"
         "Old main firmware version: 1.5\nThis firmvare has identical version. \n"},
        {"firmware_version 1.150\n",
         {2, 40},
         "Bootloader firmware version: 2.1\nNew main firmware version: 2.40\n"
         "Old main firmware version: 1.150\nThis firmvare has more early version. \n"},
    };
    for (const Case& c : cases) {
        Rig rig;
        rig.make_file(2048, c.file_version);
        rig.make_device(c.device);
        rig.console.press('x');
        rig.console.press('n');
        EXPECT_EQ(rig.run(), 0);
        EXPECT_EQ(rig.console.output(), START + c.versions + QUESTION + "N \nExit.");
        EXPECT_EQ(rig.clock.slept_ms(), 100U + 1000U);
        EXPECT_EQ(rig.driver->calls().back(), "close");
        EXPECT_EQ(rig.clock.now_us() - rig.driver->call_times_us().back(), 1'000'000U)
            << "the last second's pause follows the close";
        EXPECT_TRUE(rig.writes_of_size(8).empty()) << "declined: nothing erased";
    }
}

TEST(FullRun, KeyDuringTheTransferAbortsAndStaysUnread) {
    Rig rig;
    rig.make_file(64 * 512);
    rig.make_device("erase_time 1s\n");
    rig.console.press('y');
    // Hand-over, erase and a few blocks of about 93 ms each have gone by.
    rig.console.press(' ', 1'500);
    EXPECT_EQ(rig.run(), 0);
    EXPECT_TRUE(rig.output_ends_with("\nFirmware update terminated by user."));
    EXPECT_GT(rig.device->blocks_written(), 0U);
    EXPECT_LT(rig.device->blocks_written(), 64U);
    EXPECT_EQ(rig.console.pending(), 1U);
    EXPECT_EQ(rig.calls_of("close"), 2U);
}

TEST(FullRun, EnterAfterTheAnswerAbortsAfterTheFirstBlock) {
    Rig rig;
    rig.make_file(4096);
    rig.make_device();
    rig.console.press('y');
    rig.console.press('\r');
    EXPECT_EQ(rig.run(), 0);
    EXPECT_EQ(rig.console.screen_log(), START + VERSIONS + QUESTION +
                                            "Y \nErase OK.\n\rLoad: 0 %"
                                            "\nFirmware update terminated by user.");
    EXPECT_EQ(rig.writes_of_size(512).size(), 1U);
    EXPECT_EQ(rig.clock.slept_ms(), 100U + 1000U);
}

// A device already in its bootloader (or a firmware that does not hear the
// request) gets three requests, each waited for, and the run goes on at the
// bootloader's speed.
TEST(FullRun, FirmwareThatNeverAcknowledges) {
    Rig rig;
    rig.make_file(1024);
    rig.make_device("fault handover * silent\n");
    rig.answer_yes_unattended();
    EXPECT_EQ(rig.run(), 1);
    EXPECT_EQ(rig.calls_of("write(6)"), 3U);
    EXPECT_EQ(rig.setup_calls(), setup_calls_of_a_whole_run());
    EXPECT_TRUE(rig.flash_holds_image());
}

// Every way the device can fail after the hand-over ends in the data-exchange
// error, within the time bound, with the link closed.
TEST(FullRun, DeviceFaultsEndInADataExchangeError) {
    const std::pair<const char*, const char*> faults[] = {
        {"no version report", "fault version 1 silent\n"},
        {"erase not accepted", "fault erase_ack 1 silent\n"},
        {"erase finished first", "fault erase_ack 1 garbage F0\n"},
        {"erase never finishes", "fault erase_done 1 silent\n"},
        {"erase ends wrongly", "fault erase_done 1 garbage 0F\n"},
        {"erase too slow", "erase_time 5400ms\n"},
        {"flash left unerased", "fault erase_ack 1 unerased\n"},
        {"echo never comes", "fault echo 3 silent\n"},
        {"echo cut short", "fault echo 2 short 100\n"},
        {"block answer lost", "fault block_answer 4 silent\n"},
        {"connection dropped", "fault echo 5 drop\n"},
        {"second opening refused", "fault open 2 fail 2\n"},
        {"bootloader speed refused", "fault set_baud_rate 2 fail 3\n"},
    };
    for (const auto& [what, fault] : faults) {
        Rig rig;
        rig.make_file(8 * 512);
        rig.make_device(fault);
        rig.answer_yes_unattended();
        EXPECT_EQ(rig.run(), 0) << what;
        EXPECT_TRUE(rig.output_ends_with(DATA_EXCHANGE_ERROR)) << what;
        EXPECT_EQ(rig.console.output().find("FirmWare update OK."), std::string::npos) << what;
        EXPECT_EQ(rig.console.output().find("Device not found"), std::string::npos) << what;
    }
}

TEST(FullRun, RefusedBlockIsSentAgainWithoutRepeatingTheProgress) {
    Rig rig;
    rig.make_file(1536);
    rig.make_device("fault block_answer 2 refuse\n");
    rig.answer_yes_unattended();
    EXPECT_EQ(rig.run(), 1);
    EXPECT_EQ(rig.console.screen_log(), START + VERSIONS + QUESTION +
                                            "Y \nErase OK.\n\rLoad: 0 %\rLoad: 33 %\rLoad: 66 %" +
                                            COMPLETED);
    EXPECT_EQ(rig.writes_of_size(512).size(), 4U);
    EXPECT_TRUE(rig.flash_holds_image());
}

TEST(FullRun, CorruptedEchoGetsVerdictFFAndTheBlockAgain) {
    Rig rig;
    rig.make_file(1536);
    rig.make_device("fault echo 2 corrupt 511\n");
    rig.answer_yes_unattended();
    EXPECT_EQ(rig.run(), 1);
    const auto verdicts = rig.writes_of_size(1);
    const std::vector<std::vector<std::uint8_t>> expected = {{0x01}, {0xFF}, {0x01}, {0x01}};
    EXPECT_EQ(verdicts, expected);
    EXPECT_TRUE(rig.flash_holds_image());
}

// Refusals add up over the whole run: nineteen spread over the image are
// tolerated, the twentieth ends it.
TEST(FullRun, RefusalsSpreadOverTheImage) {
    for (const int refusals : {19, 20}) {
        Rig rig;
        rig.make_file(30 * 512);
        std::string plan = "zero_time yes\n";
        for (int i = 0; i < refusals; ++i) {
            plan += "fault block_answer " + std::to_string(2 * i + 2) + " refuse\n";
        }
        rig.make_device(plan);
        rig.answer_yes_unattended();
        const int code = rig.run();
        if (refusals == 19) {
            EXPECT_EQ(code, 1);
            EXPECT_TRUE(rig.flash_holds_image());
        } else {
            EXPECT_EQ(code, 0);
            EXPECT_EQ(rig.device->blocks_refused(), 20U);
            EXPECT_TRUE(rig.output_ends_with(DATA_EXCHANGE_ERROR));
        }
    }
}

}  // namespace
}  // namespace kestrune
