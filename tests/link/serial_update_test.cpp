// Whole updates through the serial driver: the driver works on the slave side
// of a pseudo-terminal, and a thread plays the simulated device on the master
// side, on the real clock, with bytes paced at the line's speed.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/run.hpp"
#include "link/serial_posix_driver.hpp"
#include "protocol/bootloader.hpp"
#include "sim/device.hpp"
#include "tests/link/pty_device.hpp"
#include "tests/link/serial_pty.hpp"
#include "tests/support/scratch_folder.hpp"
#include "tests/support/scripted_console.hpp"
#include "tools/pack.hpp"

namespace kestrune::serial {
namespace {

using Bytes = std::vector<std::uint8_t>;
using testing::Pty;

// Serves the simulated device on the master side until destroyed.
class DeviceServer {
  public:
    DeviceServer(Pty& pty, sim::Device& device) : served_(pty.master(), device) {
        thread_ = std::thread([this] {
            while (!stop_) {
                served_.serve_once();
            }
        });
    }
    ~DeviceServer() {
        stop_ = true;
        thread_.join();
    }
    DeviceServer(const DeviceServer&) = delete;
    DeviceServer& operator=(const DeviceServer&) = delete;

    // Answer bytes the pseudo-terminal would not take (a test fails on them).
    std::size_t lost() const { return served_.lost(); }

  private:
    testing::PtyDevice served_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

sim::DeviceConfig device_config(const char* text) {
    std::string error;
    const auto config = sim::parse_device_config(text, error);
    if (!config) {
        throw std::runtime_error(error);
    }
    return *config;
}

SerialDriver driver_for(const Pty& pty, std::vector<std::string>& warnings) {
    const std::string path = pty.slave_path();
    return SerialDriver(
        [path] {
            return std::vector<PortListing>{{path, CONVERTER_USB_VENDOR_ID}};
        },
        [&warnings](const std::string& line) { warnings.push_back(line); });
}

// One run of the updater over the serial driver, against a simulated device.
struct SerialRun {
    explicit SerialRun(const char* config_text) : device(device_config(config_text)) {
        // Three full blocks and one partial: the last carries the trailer and zeros.
        image = pack::sample_image(1'600);
        EXPECT_EQ(pack::build_update_file(image, {2, 5}, file), pack::BuildOutcome::built);
        file_path = folder.write("Kestrune.fwu", file);
        console.press('y');
        console.set_keyboard(false);  // the final wait for a key ends at once
    }

    int run() {
        SerialDriver driver = driver_for(pty, warnings);
        DeviceServer server(pty, device);
        auto state = std::make_unique<RunState>(driver, system_clock(), console);
        const int code = run_update(*state, file_path.c_str());
        lost = server.lost();
        return code;
    }

    Pty pty;
    sim::Device device;
    testing::ScratchFolder folder;
    Bytes image;
    Bytes file;
    std::string file_path;
    sim::FakeClock console_clock;
    testing::ScriptedConsole console{console_clock};
    std::vector<std::string> warnings;
    std::size_t lost = 0;
};

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

TEST(SerialUpdate, WholeUpdateLeavesTheImageInFlash) {
    SerialRun run(
        "firmware_version 1.4\n"
        "erase_time 20ms\n"
        "block_write_time 2ms\n");
    EXPECT_EQ(run.run(), 1);
    const std::string& output = run.console.output();
    EXPECT_TRUE(contains(output, "Connection OK. \n")) << output;
    EXPECT_TRUE(contains(output, "Old main firmware version: 1.4\n")) << output;
    EXPECT_TRUE(contains(output, "Erase OK.\n")) << output;
    EXPECT_TRUE(contains(output, "\nFirmWare update OK.")) << output;
    EXPECT_EQ(run.warnings, std::vector<std::string>{"kestrune-update: using serial port " +
                                                     run.pty.slave_path() + "."});
    EXPECT_EQ(run.lost, 0u);

    // The file's bytes, padded with zeros to whole blocks, are in flash.
    Bytes expected = run.file;
    expected.resize(4 * sim::FLASH_BLOCK_SIZE, 0);
    EXPECT_EQ(run.device.blocks_written(), 4u);
    EXPECT_EQ(run.device.blocks_refused(), 0u);
    ASSERT_GE(run.device.flash().size(), expected.size());
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), run.device.flash().begin()));
    EXPECT_EQ(run.device.flash()[expected.size()], 0xFF);
}

TEST(SerialUpdate, SilentVersionQueryEndsInTheDataExchangeError) {
    SerialRun run("fault version 1 silent\n");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(run.run(), 0);
    const auto took = std::chrono::steady_clock::now() - start;
    const std::string& output = run.console.output();
    EXPECT_TRUE(contains(output, "Connection OK. \n")) << output;
    EXPECT_TRUE(contains(output, "\nData exchange error.")) << output;
    EXPECT_FALSE(contains(output, "Erase OK.")) << output;
    EXPECT_TRUE(run.device.in_bootloader());
    EXPECT_EQ(run.device.blocks_received(), 0u);
    // The answer's deadline is one second; the run gives up after it, not much later.
    EXPECT_LT(took, std::chrono::seconds(5));
}

TEST(SerialUpdate, ShortAnswerArrivesAtTheReadTimeout) {
    Pty pty;
    sim::Device device(device_config("fault handover 1 short 3\n"));
    std::vector<std::string> warnings;
    SerialDriver driver = driver_for(pty, warnings);
    DeviceServer server(pty, device);

    DeviceHandle handle = nullptr;
    ASSERT_EQ(driver.open(0, handle), LINK_OK);
    ASSERT_EQ(driver.set_baud_rate(handle, 1'500'000), LINK_OK);
    std::uint32_t count = 0;
    ASSERT_EQ(driver.write(handle, HANDOVER_REQUEST.data(), 6, count), LINK_OK);
    ASSERT_EQ(count, 6u);
    Bytes answer(6, 0xEE);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(driver.read(handle, answer.data(), 6, count), LINK_OK);
    // The read waits out its 300 ms for the rest, which never comes.
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(290));
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(answer, (Bytes{0x5A, 0x5A, 0x64, 0xEE, 0xEE, 0xEE}));
    EXPECT_EQ(driver.close(handle), LINK_OK);
}

}  // namespace
}  // namespace kestrune::serial
