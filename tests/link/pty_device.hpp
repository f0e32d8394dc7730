// The simulated device on the master side of a pseudo-terminal, on the real
// clock: the bytes the host writes on the slave side reach the device when they
// are read, and the device's answers are written to the master when they have
// crossed the wire at the line's speed.
//
// The host's line speed is read from the master with tcgetattr, which reports
// the slave's settings: the device hears and answers only while the host's end
// is at a speed the device knows, as a real line does.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "sim/device.hpp"
#include "sim/real_time.hpp"

namespace kestrune::testing {

// The host's line speed as the slave side is set now; 0 unless it is a speed
// the device knows, with one stop bit.
inline std::uint32_t host_line_baud(int master) {
    termios settings{};
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

class PtyDevice {
  public:
    PtyDevice(int master, sim::Device& device) : master_(master), device_(device) {
        ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
    }

    // One round: follows the host's line speed, hands the device what the host
    // has written, and writes the answer bytes that have arrived by now. Waits
    // for the host's bytes at most until the next answer byte is due, and never
    // longer than 2 ms, so that a speed change is seen soon.
    void serve_once() {
        follow_line();
        int wait_ms = 2;
        if (const auto next = device_.next_output_us()) {
            const std::uint64_t now = time_.now_us();
            wait_ms = *next <= now ? 0 : std::min<int>(2, static_cast<int>((*next - now) / 1000));
        }
        pollfd entry{master_, POLLIN, 0};
        if (::poll(&entry, 1, wait_ms) > 0 && (entry.revents & POLLIN) != 0) {
            std::uint8_t chunk[4096];
            const ssize_t got = ::read(master_, chunk, sizeof chunk);
            if (got > 0) {
                follow_line();
                device_.receive(chunk, static_cast<std::size_t>(got), time_.now_us());
            }
        }
        std::uint8_t answer[4096];
        const std::size_t count = device_.take_output(answer, sizeof answer, time_.now_us());
        std::size_t done = 0;
        while (done < count) {
            const ssize_t sent = ::write(master_, answer + done, count - done);
            if (sent <= 0) {
                lost_ += count - done;
                break;
            }
            done += static_cast<std::size_t>(sent);
        }
    }

    // The line speed the device follows now (0: a speed it does not know).
    std::uint32_t baud() const { return baud_; }
    // Answer bytes the pseudo-terminal would not take.
    std::size_t lost() const { return lost_; }

  private:
    void follow_line() {
        const std::uint32_t now_baud = host_line_baud(master_);
        if (now_baud != baud_) {
            baud_ = now_baud;
            device_.set_host_baud(baud_, time_.now_us());
        }
    }

    int master_;
    sim::Device& device_;
    sim::RealTime time_;
    std::atomic<std::uint32_t> baud_{0};
    std::atomic<std::size_t> lost_{0};
};

}  // namespace kestrune::testing
