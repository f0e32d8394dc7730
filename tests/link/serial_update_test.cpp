// Whole updates through the serial driver: the driver works on the slave side
// of a pseudo-terminal, and a thread plays the simulated device on the master
// side, on the real clock, with bytes paced at the line's speed.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

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
#include "sim/real_time.hpp"
#include "tests/link/serial_pty.hpp"
#include "tests/support/scratch_folder.hpp"
#include "tests/support/scripted_console.hpp"
#include "tools/pack.hpp"

namespace kestrune::serial {
namespace {

using Bytes = std::vector<std::uint8_t>;
using testing::Pty;

// The host's line speed as the slave side is set now; 0 unless it is 8N1 at
// a speed the device knows.
std::uint32_t host_line_baud(int master) {
    termios settings{};
    // On the master side, tcgetattr reports the slave's settings.
    if (::tcgetattr(master, &settings) != 0 || (settings.c_cflag & CSTOPB) != 0) {
        return 0;
    }
    switch (::cfgetospeed(&settings)) {
        case B1500000:
            return sim::FIRMWARE_LINE_BAUD;
        case B115200:
            return sim::BOOTLOADER_LINE_BAUD;
        default:
            return 0;
    }
}

// Serves the simulated device on the master side until destroyed: the bytes
// the host writes go to the device at the time they are read, the device's
// answers are written when they have crossed the wire.
class DeviceServer {
  public:
    DeviceServer(Pty& pty, sim::Device& device) : pty_(pty), device_(device) {
        ::fcntl(pty_.master(), F_SETFL, ::fcntl(pty_.master(), F_GETFL) | O_NONBLOCK);
        thread_ = std::thread([this] { serve(); });
    }
    ~DeviceServer() {
        stop_ = true;
        thread_.join();
    }
    DeviceServer(const DeviceServer&) = delete;
    DeviceServer& operator=(const DeviceServer&) = delete;

    // Answer bytes the pseudo-terminal would not take (a test fails on them).
    std::size_t lost() const { return lost_; }

  private:
    void serve() {
        std::uint32_t baud = 0;
        // The device hears and answers at the speed the host has set last.
        const auto follow_line = [&] {
            const std::uint32_t now_baud = host_line_baud(pty_.master());
            if (now_baud != baud) {
                baud = now_baud;
                device_.set_host_baud(baud, time_.now_us());
            }
        };
        while (!stop_) {
            follow_line();
            // Sleep until the next answer byte is due, but look at the line often.
            int wait_ms = 2;
            if (const auto next = device_.next_output_us()) {
                const std::uint64_t now = time_.now_us();
                wait_ms =
                    *next <= now ? 0 : std::min<int>(2, static_cast<int>((*next - now) / 1000));
            }
            pollfd entry{pty_.master(), POLLIN, 0};
            if (::poll(&entry, 1, wait_ms) > 0 && (entry.revents & POLLIN) != 0) {
                std::uint8_t chunk[4096];
                const ssize_t got = ::read(pty_.master(), chunk, sizeof chunk);
                if (got > 0) {
                    follow_line();
                    device_.receive(chunk, static_cast<std::size_t>(got), time_.now_us());
                }
            }
            std::uint8_t answer[4096];
            const std::size_t count = device_.take_output(answer, sizeof answer, time_.now_us());
            std::size_t done = 0;
            while (done < count) {
                const ssize_t sent = ::write(pty_.master(), answer + done, count - done);
                if (sent <= 0) {
                    lost_ += count - done;
                    break;
                }
                done += static_cast<std::size_t>(sent);
            }
        }
    }

    Pty& pty_;
    sim::Device& device_;
    sim::RealTime time_;
    std::atomic<bool> stop_{false};
    std::atomic<std::size_t> lost_{0};
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
