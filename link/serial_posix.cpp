#include "link/serial_posix.hpp"

#include <fcntl.h>
#include <grp.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <iterator>
#include <vector>

namespace kestrune::serial {

namespace {

using SteadyClock = std::chrono::steady_clock;

struct BaudEntry {
    std::uint32_t baud;
    speed_t code;
};

constexpr BaudEntry BAUD_TABLE[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

bool speed_code(std::uint32_t baud, speed_t& code) {
    const auto* entry = std::find_if(std::begin(BAUD_TABLE), std::end(BAUD_TABLE),
                                     [baud](const BaudEntry& e) { return e.baud == baud; });
    if (entry == std::end(BAUD_TABLE)) {
        return false;
    }
    code = entry->code;
    return true;
}

// Milliseconds from now until `deadline`, rounded up so that a wait never ends
// before it; 0 once it has passed.
int milliseconds_until(SteadyClock::time_point deadline) {
    const auto left = deadline - SteadyClock::now();
    if (left <= SteadyClock::duration::zero()) {
        return 0;
    }
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return static_cast<int>(std::min<long long>(ms, INT_MAX));
}

SteadyClock::time_point deadline_after(std::uint32_t timeout_ms) {
    return SteadyClock::now() + std::chrono::milliseconds(timeout_ms);
}

class RealSystemCalls final : public SystemCalls {
  public:
    int poll(pollfd& entry, int timeout_ms) override { return ::poll(&entry, 1, timeout_ms); }
    ssize_t read(int fd, void* buffer, std::size_t count) override {
        return ::read(fd, buffer, count);
    }
    ssize_t write(int fd, const void* buffer, std::size_t count) override {
        return ::write(fd, buffer, count);
    }
    int ioctl(int fd, unsigned long request, void* argument) override {
        return ::ioctl(fd, request, argument);
    }
};

enum class PortWait {
    ready,      // the asked-for direction can move bytes
    troubled,   // the port reports an error or a hang-up
    timed_out,  // the deadline has passed
    failed,     // the wait itself failed, or the descriptor is not open
};

// Waits until the port is ready for `events` or the deadline has passed.
PortWait wait_for(SystemCalls& calls, int fd, short events, SteadyClock::time_point deadline) {
    for (;;) {
        pollfd entry{fd, events, 0};
        const int ready = calls.poll(entry, milliseconds_until(deadline));
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            return PortWait::failed;
        }
        if (ready == 0) {
            return PortWait::timed_out;
        }
        if ((entry.revents & POLLNVAL) != 0) {
            return PortWait::failed;
        }
        // Bytes still waiting are read before a hang-up is reported.
        return (entry.revents & (POLLERR | POLLHUP)) != 0 ? PortWait::troubled : PortWait::ready;
    }
}

// The call moved nothing and would have had to wait.
bool would_block() {
    return errno == EAGAIN || errno == EWOULDBLOCK;
}

// Applies `change` to the port's settings, and checks that the port took them.
template <typename Change>
LinkStatus change_settings(int fd, Change change) {
    termios before{};
    if (::tcgetattr(fd, &before) != 0) {
        return SERIAL_IO_ERROR;
    }
    termios settings = before;
    if (const LinkStatus status = change(settings); status != LINK_OK) {
        return status;
    }
    if (::tcsetattr(fd, TCSANOW, &settings) != 0) {
        return errno == EINVAL ? SERIAL_INVALID_ARGUMENT : SERIAL_IO_ERROR;
    }
    // tcsetattr succeeds when any part was taken; look at what stuck. A port
    // that cannot do all of it (a pseudo-terminal has no parity, for one) gets
    // its earlier settings back.
    termios now{};
    if (::tcgetattr(fd, &now) != 0) {
        return SERIAL_IO_ERROR;
    }
    const tcflag_t cflag_mask = CSIZE | CSTOPB | PARENB | PARODD | CMSPAR | CRTSCTS;
    if ((now.c_cflag & cflag_mask) != (settings.c_cflag & cflag_mask) ||
        ::cfgetospeed(&now) != ::cfgetospeed(&settings)) {
        ::tcsetattr(fd, TCSANOW, &before);
        return SERIAL_INVALID_ARGUMENT;
    }
    return LINK_OK;
}

LinkStatus set_raw(termios& settings) {
    ::cfmakeraw(&settings);
    settings.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | INPCK);
    settings.c_cflag &=
        ~static_cast<tcflag_t>(CSIZE | CSTOPB | PARENB | PARODD | CMSPAR | CRTSCTS | HUPCL);
    // Closing the port leaves the modem lines alone: the link is closed and
    // opened again while the device changes over to its bootloader.
    settings.c_cflag |= CS8 | CREAD | CLOCAL;
    // With a non-blocking descriptor a read takes what is there; poll does the waiting.
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 0;
    return LINK_OK;
}

}  // namespace

LinkStatus apply_data_characteristics(termios& settings, std::uint8_t word_length,
                                      std::uint8_t stop_bits, std::uint8_t parity) {
    tcflag_t size = 0;
    switch (word_length) {
        case 5:
            size = CS5;
            break;
        case 6:
            size = CS6;
            break;
        case 7:
            size = CS7;
            break;
        case 8:
            size = CS8;
            break;
        default:
            return SERIAL_INVALID_ARGUMENT;
    }
    if (stop_bits != STOP_BITS_ONE && stop_bits != STOP_BITS_TWO) {
        return SERIAL_INVALID_ARGUMENT;
    }
    tcflag_t parity_flags = 0;
    switch (parity) {
        case PARITY_NONE_VALUE:
            break;
        case PARITY_ODD:
            parity_flags = PARENB | PARODD;
            break;
        case PARITY_EVEN:
            parity_flags = PARENB;
            break;
        case PARITY_MARK:
            parity_flags = PARENB | CMSPAR | PARODD;
            break;
        case PARITY_SPACE:
            parity_flags = PARENB | CMSPAR;
            break;
        default:
            return SERIAL_INVALID_ARGUMENT;
    }
    settings.c_cflag &= ~static_cast<tcflag_t>(CSIZE | CSTOPB | PARENB | PARODD | CMSPAR);
    settings.c_cflag |= size | (stop_bits == STOP_BITS_TWO ? CSTOPB : 0) | parity_flags;
    return LINK_OK;
}

LinkStatus apply_flow_control(termios& settings, std::uint16_t mode, std::uint8_t xon,
                              std::uint8_t xoff) {
    // DTR/DSR handshaking has no termios counterpart.
    if (mode != FLOW_NONE && mode != FLOW_RTS_CTS && mode != FLOW_XON_XOFF) {
        return SERIAL_INVALID_ARGUMENT;
    }
    if (mode == FLOW_XON_XOFF && xon == xoff) {
        return SERIAL_INVALID_ARGUMENT;
    }
    settings.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
    settings.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    if (mode == FLOW_RTS_CTS) {
        settings.c_cflag |= CRTSCTS;
    } else if (mode == FLOW_XON_XOFF) {
        settings.c_iflag |= IXON | IXOFF;
        settings.c_cc[VSTART] = static_cast<cc_t>(xon);
        settings.c_cc[VSTOP] = static_cast<cc_t>(xoff);
    }
    return LINK_OK;
}

SystemCalls& system_calls() {
    // Never destroyed: the program's driver is a static too and may close the
    // port it still holds through these calls as the process exits, after a
    // static made later than it would already be gone.
    static SystemCalls* const calls = new RealSystemCalls;
    return *calls;
}

SerialPort::SerialPort(int fd, SystemCalls& calls) : fd_(fd), calls_(calls) {
    // Reads and writes wait in poll, never in the call itself. Should this fail,
    // the descriptor is not usable and every later call reports an I/O error.
    const int flags = ::fcntl(fd_, F_GETFL);
    if (flags >= 0) {
        ::fcntl(fd_, F_SETFL, flags | O_NONBLOCK);
    }
}

SerialPort::~SerialPort() {
    if (fd_ < 0) {
        return;
    }
    if (low_latency_set_) {
        serial_struct serial{};
        if (calls_.ioctl(fd_, TIOCGSERIAL, &serial) == 0) {
            serial.flags &= ~static_cast<int>(ASYNC_LOW_LATENCY);
            calls_.ioctl(fd_, TIOCSSERIAL, &serial);
        }
    }
    if (exclusive_) {
        calls_.ioctl(fd_, TIOCNXCL, nullptr);
    }
    ::close(fd_);
}

bool SerialPort::held_exclusively() {
    int exclusive = 0;
    return calls_.ioctl(fd_, TIOCGEXCL, &exclusive) == 0 && exclusive != 0;
}

bool SerialPort::make_exclusive() {
    exclusive_ = calls_.ioctl(fd_, TIOCEXCL, nullptr) == 0;
    return exclusive_;
}

bool SerialPort::make_low_latency() {
    serial_struct serial{};
    if (calls_.ioctl(fd_, TIOCGSERIAL, &serial) != 0) {
        return false;
    }
    if ((serial.flags & ASYNC_LOW_LATENCY) != 0) {
        return true;  // already so, and left so
    }
    serial.flags |= static_cast<int>(ASYNC_LOW_LATENCY);
    low_latency_set_ = calls_.ioctl(fd_, TIOCSSERIAL, &serial) == 0;
    return low_latency_set_;
}

LinkStatus SerialPort::make_raw() {
    return change_settings(fd_, set_raw);
}

LinkStatus SerialPort::start_afresh() {
    read_timeout_ms_ = DEFAULT_READ_TIMEOUT_MS;
    write_timeout_ms_ = DEFAULT_WRITE_TIMEOUT_MS;
    return reset();
}

bool SerialPort::still_at(const std::string& path) const {
    struct stat named {};
    struct stat open {};
    return ::stat(path.c_str(), &named) == 0 && ::fstat(fd_, &open) == 0 &&
           S_ISCHR(named.st_mode) && S_ISCHR(open.st_mode) && named.st_rdev == open.st_rdev;
}

LinkStatus SerialPort::reset() {
    const LinkStatus status = make_raw();
    if (status != LINK_OK) {
        return status;
    }
    ::tcflow(fd_, TCOON);
    return ::tcflush(fd_, TCIOFLUSH) == 0 ? LINK_OK : SERIAL_IO_ERROR;
}

LinkStatus SerialPort::set_baud_rate(std::uint32_t baud) {
    speed_t code = 0;
    if (!speed_code(baud, code)) {
        return SERIAL_INVALID_ARGUMENT;
    }
    return change_settings(fd_, [code](termios& settings) {
        ::cfsetispeed(&settings, code);
        ::cfsetospeed(&settings, code);
        return LINK_OK;
    });
}

LinkStatus SerialPort::set_data_characteristics(std::uint8_t word_length, std::uint8_t stop_bits,
                                                std::uint8_t parity) {
    return change_settings(fd_, [=](termios& settings) {
        return apply_data_characteristics(settings, word_length, stop_bits, parity);
    });
}

LinkStatus SerialPort::set_flow_control(std::uint16_t mode, std::uint8_t xon, std::uint8_t xoff) {
    return change_settings(
        fd_, [=](termios& settings) { return apply_flow_control(settings, mode, xon, xoff); });
}

LinkStatus SerialPort::set_special_characters(std::uint8_t /*event_char*/,
                                              std::uint8_t event_enable,
                                              std::uint8_t /*error_char*/,
                                              std::uint8_t error_enable) {
    if (event_enable != 0 || error_enable != 0) {
        return SERIAL_INVALID_ARGUMENT;
    }
    termios settings{};
    return ::tcgetattr(fd_, &settings) == 0 ? LINK_OK : SERIAL_IO_ERROR;
}

LinkStatus SerialPort::set_timeouts(std::uint32_t read_timeout_ms, std::uint32_t write_timeout_ms) {
    read_timeout_ms_ = read_timeout_ms;
    write_timeout_ms_ = write_timeout_ms;
    return LINK_OK;
}

LinkStatus SerialPort::purge(std::uint32_t mask) {
    if ((mask & ~(PURGE_RECEIVE | PURGE_TRANSMIT)) != 0) {
        return SERIAL_INVALID_ARGUMENT;
    }
    int queue = 0;
    switch (mask) {
        case PURGE_RECEIVE:
            queue = TCIFLUSH;
            break;
        case PURGE_TRANSMIT:
            queue = TCOFLUSH;
            break;
        case PURGE_RECEIVE | PURGE_TRANSMIT:
            queue = TCIOFLUSH;
            break;
        default:
            return LINK_OK;
    }
    return ::tcflush(fd_, queue) == 0 ? LINK_OK : SERIAL_IO_ERROR;
}

LinkStatus SerialPort::read(std::uint8_t* buffer, std::uint32_t wanted, std::uint32_t& received) {
    received = 0;
    if (wanted == 0) {
        return LINK_OK;
    }
    if (buffer == nullptr) {
        return SERIAL_INVALID_ARGUMENT;
    }
    if (fd_ < 0) {
        return SERIAL_IO_ERROR;
    }
    const auto deadline = deadline_after(read_timeout_ms_);
    while (received < wanted) {
        const PortWait wait = wait_for(calls_, fd_, POLLIN, deadline);
        if (wait == PortWait::timed_out) {
            return LINK_OK;
        }
        if (wait == PortWait::failed) {
            return SERIAL_IO_ERROR;
        }
        const ssize_t count = calls_.read(fd_, buffer + received, wanted - received);
        if (count > 0) {
            received += static_cast<std::uint32_t>(count);
            continue;
        }
        if (count == 0) {
            // End of file on a terminal in this mode: the port has hung up.
            return SERIAL_IO_ERROR;
        }
        // Nothing to read after all: wait again. Not on a port in trouble,
        // though: its poll comes back at once, for ever.
        if (errno != EINTR && !(would_block() && wait == PortWait::ready)) {
            return SERIAL_IO_ERROR;
        }
    }
    return LINK_OK;
}

LinkStatus SerialPort::write(const std::uint8_t* buffer, std::uint32_t count,
                             std::uint32_t& written) {
    written = 0;
    if (count == 0) {
        return LINK_OK;
    }
    if (buffer == nullptr) {
        return SERIAL_INVALID_ARGUMENT;
    }
    if (fd_ < 0) {
        return SERIAL_IO_ERROR;
    }
    const auto deadline = deadline_after(write_timeout_ms_);
    bool waited = false;
    while (written < count) {
        const ssize_t done = calls_.write(fd_, buffer + written, count - written);
        if (done > 0) {
            written += static_cast<std::uint32_t>(done);
            waited = false;
            continue;
        }
        if (done < 0 && errno == EINTR) {
            continue;
        }
        // Nothing taken: wait for room. A port that takes nothing right after
        // it said it had room, or that reports trouble, has failed.
        if ((done < 0 && !would_block()) || (done == 0 && waited)) {
            return SERIAL_IO_ERROR;
        }
        const PortWait wait = wait_for(calls_, fd_, POLLOUT, deadline);
        if (wait == PortWait::timed_out) {
            return LINK_OK;
        }
        if (wait != PortWait::ready) {
            return SERIAL_IO_ERROR;
        }
        waited = true;
    }
    return LINK_OK;
}

OpenResult open_serial_port(const std::string& path, SystemCalls& calls) {
    OpenResult result;
    const auto fail = [&result](LinkStatus status, OpenFailure failure, int error) {
        result.status = status;
        result.failure = failure;
        result.error = error;
        result.port.reset();
        return std::move(result);
    };

    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        switch (error) {
            case ENOENT:
            case ENODEV:
            case ENXIO:
                return fail(SERIAL_NOT_FOUND, OpenFailure::not_found, error);
            case EACCES:
            case EPERM:
                return fail(SERIAL_CANNOT_OPEN, OpenFailure::permission, error);
            case EBUSY:
                return fail(SERIAL_CANNOT_OPEN, OpenFailure::busy, error);
            default:
                return fail(SERIAL_CANNOT_OPEN, OpenFailure::other, error);
        }
    }
    // From here on the port object owns the descriptor and closes it on failure.
    result.port = std::make_unique<SerialPort>(fd, calls);
    if (::isatty(fd) == 0) {
        return fail(SERIAL_CANNOT_OPEN, OpenFailure::not_a_port, errno);
    }
    // The lock keeps out a second updater even where exclusive mode does not
    // hold (it does not for root).
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        return fail(SERIAL_CANNOT_OPEN,
                    error == EWOULDBLOCK ? OpenFailure::busy : OpenFailure::other, error);
    }
    // A port in exclusive mode is held by another program that took no lock;
    // only root gets this far with it. Share it with nobody.
    if (result.port->held_exclusively()) {
        return fail(SERIAL_CANNOT_OPEN, OpenFailure::busy, EBUSY);
    }
    result.port->make_exclusive();
    result.port->make_low_latency();
    if (result.port->start_afresh() != LINK_OK) {
        return fail(SERIAL_CANNOT_OPEN, OpenFailure::other, errno);
    }
    return result;
}

std::string describe_open_failure(const std::string& path, OpenFailure failure, int error,
                                  const std::string& group) {
    std::string line = "kestrune-update: cannot open serial port " + path + ": ";
    switch (failure) {
        case OpenFailure::permission:
            line +=
                "permission denied. Serial ports can only be opened by members of the group "
                "that owns them";
            if (!group.empty() && group != "root") {
                line += " (here: " + group + "); add your user with 'sudo usermod -aG " + group +
                        " $USER' and log in again.";
            } else {
                // Joining root's group is no answer; the usual group for serial ports is.
                line += "; ask for access to it, usually through membership of the group dialout.";
            }
            break;
        case OpenFailure::busy:
            line += "the port is in use by another program (is a second updater running?).";
            break;
        case OpenFailure::not_a_port:
            line += "it is not a serial port.";
            break;
        case OpenFailure::not_found:
            line += "no such port.";
            break;
        case OpenFailure::none:
        case OpenFailure::other:
            line += std::strerror(error);
            break;
    }
    return line;
}

std::string owning_group(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        return {};
    }
    std::vector<char> scratch(16384);
    group entry{};
    group* found = nullptr;
    if (::getgrgid_r(info.st_gid, &entry, scratch.data(), scratch.size(), &found) != 0 ||
        found == nullptr) {
        return {};
    }
    return found->gr_name;
}

}  // namespace kestrune::serial
