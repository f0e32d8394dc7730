// A pseudo-terminal for serial port tests: the port under test gets the slave
// side, the test plays the device on the master side.
#pragma once

#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace kestrune::testing {

// The settings a USB-serial converter's port has when the kernel makes it: a
// terminal for people, with line editing, echo and signal keys, CR read as
// NL, XON/XOFF, output processing, 9600 baud, and the modem lines dropped on
// the last close. A pseudo-terminal starts without the hang-up on close and
// at another speed. The control characters are kept.
inline void set_usb_serial_defaults(termios& settings) {
    settings.c_iflag = ICRNL | IXON;
    settings.c_oflag = OPOST | ONLCR;
    settings.c_cflag = CS8 | CREAD | HUPCL | CLOCAL;
    settings.c_lflag = ISIG | ICANON | ECHO | ECHOE | ECHOK | ECHOCTL | ECHOKE | IEXTEN;
    ::cfsetispeed(&settings, B9600);
    ::cfsetospeed(&settings, B9600);
}

// The slave side starts with a USB-serial port's settings.
class Pty {
  public:
    Pty() {
        if (::openpty(&master_, &slave_, nullptr, nullptr, nullptr) != 0) {
            throw std::runtime_error("openpty failed");
        }
        slave_path_ = ::ttyname(slave_);
        termios settings{};
        if (::tcgetattr(slave_, &settings) != 0) {
            throw std::runtime_error("cannot read the pty's settings");
        }
        set_usb_serial_defaults(settings);
        if (::tcsetattr(slave_, TCSANOW, &settings) != 0) {
            throw std::runtime_error("cannot set the pty's settings");
        }
    }
    ~Pty() {
        close_master();
        if (slave_ >= 0) {
            ::close(slave_);
        }
    }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    int master() const { return master_; }
    const std::string& slave_path() const { return slave_path_; }
    // Hands the slave descriptor over (to a SerialPort, which closes it).
    int take_slave() {
        const int fd = slave_;
        slave_ = -1;
        return fd;
    }
    // Closes the slave descriptor; the slave stays reachable by its path while
    // the master is open.
    void close_slave() {
        if (slave_ >= 0) {
            ::close(slave_);
            slave_ = -1;
        }
    }
    void close_master() {
        if (master_ >= 0) {
            ::close(master_);
            master_ = -1;
        }
    }

    // The device sends bytes.
    void send(const std::vector<std::uint8_t>& bytes) const {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t count = ::write(master_, bytes.data() + done, bytes.size() - done);
            if (count <= 0) {
                throw std::runtime_error("write to the pty master failed");
            }
            done += static_cast<std::size_t>(count);
        }
    }

    // The device receives up to `count` bytes, waiting at most `limit` in all.
    std::vector<std::uint8_t> receive(
        std::size_t count, std::chrono::milliseconds limit = std::chrono::seconds(2)) const {
        std::vector<std::uint8_t> bytes;
        const auto end = std::chrono::steady_clock::now() + limit;
        while (bytes.size() < count) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                end - std::chrono::steady_clock::now());
            pollfd entry{master_, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&entry, 1, static_cast<int>(left.count())) <= 0) {
                break;
            }
            std::uint8_t chunk[4096];
            const ssize_t got =
                ::read(master_, chunk, std::min(sizeof chunk, count - bytes.size()));
            if (got <= 0) {
                break;
            }
            bytes.insert(bytes.end(), chunk, chunk + got);
        }
        return bytes;
    }

  private:
    int master_ = -1;
    int slave_ = -1;
    std::string slave_path_;
};

}  // namespace kestrune::testing
