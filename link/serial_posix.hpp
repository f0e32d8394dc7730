// One serial port on Linux, driven through termios, with the driver's
// operations and status values.
//
// The port is always in raw mode: bytes pass unchanged, nothing is echoed, no
// line discipline edits them. Reads return as soon as the asked bytes are
// there, or after the read time-out with what has arrived (possibly nothing);
// a time-out is not an error. Writes are bounded by the write time-out in the
// same way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include <poll.h>
#include <sys/types.h>
#include <termios.h>

#include "link/driver.hpp"

namespace kestrune::serial {

// Status values of the serial driver (0 is LINK_OK).
inline constexpr LinkStatus SERIAL_NOT_FOUND = 1;         // no such device or port
inline constexpr LinkStatus SERIAL_CANNOT_OPEN = 2;       // exists, but cannot be opened
inline constexpr LinkStatus SERIAL_IO_ERROR = 3;          // the port failed or went away
inline constexpr LinkStatus SERIAL_INVALID_ARGUMENT = 4;  // a value the port cannot do

// Argument values of the driver operations.
inline constexpr std::uint8_t STOP_BITS_ONE = 0;
inline constexpr std::uint8_t STOP_BITS_TWO = 2;
inline constexpr std::uint8_t PARITY_NONE_VALUE = 0;
inline constexpr std::uint8_t PARITY_ODD = 1;
inline constexpr std::uint8_t PARITY_EVEN = 2;
inline constexpr std::uint8_t PARITY_MARK = 3;
inline constexpr std::uint8_t PARITY_SPACE = 4;
inline constexpr std::uint16_t FLOW_NONE = 0x0000;
inline constexpr std::uint16_t FLOW_RTS_CTS = 0x0100;
inline constexpr std::uint16_t FLOW_DTR_DSR = 0x0200;
inline constexpr std::uint16_t FLOW_XON_XOFF = 0x0400;
inline constexpr std::uint32_t PURGE_RECEIVE = 1;
inline constexpr std::uint32_t PURGE_TRANSMIT = 2;

inline constexpr std::uint32_t DEFAULT_READ_TIMEOUT_MS = 300;
inline constexpr std::uint32_t DEFAULT_WRITE_TIMEOUT_MS = 300;

// The system calls with which a port waits, moves bytes and reaches its
// driver's own settings. Tests put in a fake to play a port that fails in
// ways a pseudo-terminal cannot.
class SystemCalls {
  public:
    virtual ~SystemCalls() = default;
    virtual int poll(pollfd& entry, int timeout_ms) = 0;
    virtual ssize_t read(int fd, void* buffer, std::size_t count) = 0;
    virtual ssize_t write(int fd, const void* buffer, std::size_t count) = 0;
    virtual int ioctl(int fd, unsigned long request, void* argument) = 0;
};

// The system's own calls.
SystemCalls& system_calls();

class SerialPort {
  public:
    // Takes ownership of an open terminal descriptor (a serial port or the
    // slave side of a pseudo-terminal) and switches it to non-blocking I/O.
    // Its settings are left as they are until make_raw or reset.
    explicit SerialPort(int fd, SystemCalls& calls = system_calls());
    ~SerialPort();
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    int fd() const { return fd_; }

    // True when the port is already in exclusive mode: someone else's.
    bool held_exclusively();
    // Exclusive mode: further opens of the port fail with EBUSY (except for
    // root). Switched off again on destruction only when this object switched
    // it on: a port that is in use keeps the exclusive mode of its user.
    bool make_exclusive();
    // Asks the port's driver to pass received bytes on at once (a USB-serial
    // converter otherwise holds a packet that is not full for its latency
    // timer, 16 ms by default). A port without this setting (a
    // pseudo-terminal) is left as it is; false then. Switched off again on
    // destruction when this object switched it on.
    bool make_low_latency();

    // Raw input and output, 8 data bits, 1 stop bit, no parity, no flow
    // control, receiver on, modem lines ignored; the speed is kept.
    LinkStatus make_raw();
    // As a new opening leaves the port: raw, both directions emptied, the
    // default time-outs.
    LinkStatus start_afresh();
    // True while the port is the device that `path` names now; false once
    // the name has gone or been given to another device.
    bool still_at(const std::string& path) const;
    // make_raw, output resumed, both directions emptied. Time-outs are kept.
    LinkStatus reset();
    LinkStatus set_baud_rate(std::uint32_t baud);
    // These two refuse, with the settings unchanged, what the port cannot hold
    // (a pseudo-terminal takes neither parity nor fewer than 8 data bits).
    LinkStatus set_data_characteristics(std::uint8_t word_length, std::uint8_t stop_bits,
                                        std::uint8_t parity);
    LinkStatus set_flow_control(std::uint16_t mode, std::uint8_t xon, std::uint8_t xoff);
    // Event and error characters have no counterpart in termios: enabling
    // either is refused; disabled, their values do not matter.
    LinkStatus set_special_characters(std::uint8_t event_char, std::uint8_t event_enable,
                                      std::uint8_t error_char, std::uint8_t error_enable);
    // A time-out of 0 makes the call take only what can be done at once.
    LinkStatus set_timeouts(std::uint32_t read_timeout_ms, std::uint32_t write_timeout_ms);
    // Drops bytes waiting to be read (PURGE_RECEIVE) and to be sent (PURGE_TRANSMIT).
    LinkStatus purge(std::uint32_t mask);

    // Reads until `wanted` bytes are there or the read time-out has passed.
    // Returns LINK_OK on a time-out too; `received` tells how many arrived.
    // SERIAL_IO_ERROR when the port fails or hangs up (device unplugged).
    LinkStatus read(std::uint8_t* buffer, std::uint32_t wanted, std::uint32_t& received);
    // Writes until all bytes are handed to the port or the write time-out has
    // passed; LINK_OK with `written` short of `count` on a time-out.
    LinkStatus write(const std::uint8_t* buffer, std::uint32_t count, std::uint32_t& written);

  private:
    int fd_;
    SystemCalls& calls_;
    bool exclusive_ = false;
    bool low_latency_set_ = false;
    std::uint32_t read_timeout_ms_ = DEFAULT_READ_TIMEOUT_MS;
    std::uint32_t write_timeout_ms_ = DEFAULT_WRITE_TIMEOUT_MS;
};

// The termios flags for word length (5 to 8), stop bits and parity, and for a
// flow control mode; SERIAL_INVALID_ARGUMENT, with `settings` unchanged, for
// values termios has no flags for.
LinkStatus apply_data_characteristics(termios& settings, std::uint8_t word_length,
                                      std::uint8_t stop_bits, std::uint8_t parity);
LinkStatus apply_flow_control(termios& settings, std::uint16_t mode, std::uint8_t xon,
                              std::uint8_t xoff);

// Why a port could not be opened.
enum class OpenFailure { none, not_found, permission, busy, not_a_port, other };

struct OpenResult {
    LinkStatus status = LINK_OK;
    OpenFailure failure = OpenFailure::none;
    int error = 0;  // errno of the failed step
    std::unique_ptr<SerialPort> port;
};

// Opens the port at `path` for this process alone (no controlling terminal,
// an exclusive lock and exclusive mode), in low latency where the port has
// it, in raw 8N1 with both directions emptied. A missing port is SERIAL_NOT_FOUND; one that exists
// but cannot be opened (no permission, in use, not a terminal) is SERIAL_CANNOT_OPEN.
OpenResult open_serial_port(const std::string& path, SystemCalls& calls = system_calls());

// One line, without line end, that tells the user why `path` could not be
// opened and what to do about it. `group` names the group that owns the port
// (empty when unknown).
std::string describe_open_failure(const std::string& path, OpenFailure failure, int error,
                                  const std::string& group);

// The name of the group that owns the file at `path`, empty when unknown.
std::string owning_group(const std::string& path);

}  // namespace kestrune::serial
