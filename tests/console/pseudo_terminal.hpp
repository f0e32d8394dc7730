// A pseudo-terminal for the console tests: the console gets the slave side as
// its terminal, the test types keys into the master side and reads the screen
// from it.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>

namespace kestrune::testing {

// Generous: only a broken console ever waits this long.
inline constexpr int PTY_PATIENCE_MS = 2000;

class PseudoTerminal {
  public:
    PseudoTerminal() {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) {
            throw std::runtime_error("no pseudo-terminal");
        }
        slave_ = ::open(::ptsname(master_), O_RDWR | O_NOCTTY);
        if (slave_ < 0) {
            throw std::runtime_error("cannot open the pseudo-terminal's slave side");
        }
    }
    ~PseudoTerminal() {
        hang_up();
        ::close(slave_);
    }
    PseudoTerminal(const PseudoTerminal&) = delete;
    PseudoTerminal& operator=(const PseudoTerminal&) = delete;

    int terminal() const { return slave_; }

    // Types keys; they reach the terminal's input shortly after.
    void type(std::string_view keys) const {
        if (::write(master_, keys.data(), keys.size()) != static_cast<ssize_t>(keys.size())) {
            throw std::runtime_error("cannot type into the pseudo-terminal");
        }
    }

    // Waits until typed input has reached the terminal side (removes nothing).
    bool input_arrived() const {
        pollfd entry{slave_, POLLIN, 0};
        return ::poll(&entry, 1, PTY_PATIENCE_MS) == 1;
    }

    // What the terminal shows, once `count` bytes have come (or time is up).
    std::string screen(std::size_t count) const {
        std::string shown;
        pollfd entry{master_, POLLIN, 0};
        while (shown.size() < count && ::poll(&entry, 1, PTY_PATIENCE_MS) == 1) {
            char chunk[256];
            const ssize_t got = ::read(master_, chunk, sizeof chunk);
            if (got <= 0) {
                break;
            }
            shown.append(chunk, static_cast<std::size_t>(got));
        }
        return shown;
    }

    termios settings() const {
        termios current{};
        ::tcgetattr(slave_, &current);
        return current;
    }

    // Waits until the terminal's local flags satisfy `ready`.
    template <typename Ready>
    bool settings_become(Ready ready) const {
        const auto end =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(PTY_PATIENCE_MS);
        while (!ready(settings().c_lflag)) {
            if (std::chrono::steady_clock::now() > end) {
                return false;
            }
            ::usleep(1000);
        }
        return true;
    }

    // The terminal window closes.
    void hang_up() {
        if (master_ >= 0) {
            ::close(master_);
            master_ = -1;
        }
    }

  private:
    int master_ = -1;
    int slave_ = -1;
};

inline bool same_settings(const termios& a, const termios& b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
           a.c_lflag == b.c_lflag && std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0;
}

}  // namespace kestrune::testing
