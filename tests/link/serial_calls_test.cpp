// The serial port against a fake of its system calls: failures a
// pseudo-terminal cannot show.
#include <gtest/gtest.h>
#include <linux/serial.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <vector>

#include "link/serial_posix.hpp"
#include "tests/link/serial_pty.hpp"

namespace kestrune::serial {
namespace {

// Answers every poll, read and write the same way, and counts the calls.
class FixedCalls final : public SystemCalls {
  public:
    static constexpr int CALLS_BEFORE_TIME_OUT = 1000;

    int poll_result = 1;
    short poll_events = 0;
    ssize_t transfer_result = -1;  // of read and write
    int error = 0;                 // errno of a failed call
    int calls = 0;

    int poll(pollfd& entry, int /*timeout_ms*/) override {
        ++calls;
        // A port that fails stays failed; but a looping caller must come to
        // an end here too, so the wait times out after many calls.
        if (calls > CALLS_BEFORE_TIME_OUT) {
            entry.revents = 0;
            return 0;
        }
        entry.revents = poll_events;
        return answer(poll_result);
    }
    ssize_t read(int /*fd*/, void* /*buffer*/, std::size_t /*count*/) override {
        ++calls;
        return answer(transfer_result);
    }
    ssize_t write(int /*fd*/, const void* /*buffer*/, std::size_t /*count*/) override {
        ++calls;
        return answer(transfer_result);
    }
    int ioctl(int fd, unsigned long request, void* argument) override {
        return system_calls().ioctl(fd, request, argument);
    }

  private:
    template <typename Result>
    Result answer(Result result) const {
        if (result < 0) {
            errno = error;
        }
        return result;
    }
};

TEST(SerialPortFailures, APortThatFailsAtOnceIsAnIoErrorWithoutRepeating) {
    enum Direction { reading, writing };
    const struct {
        const char* what;
        Direction direction;
        int poll_result;
        short poll_events;
        ssize_t transfer_result;
        int error;
    } cases[] = {
        {"hung up, nothing to read", reading, 1, POLLHUP, -1, EAGAIN},
        {"error, nothing to read", reading, 1, POLLERR, -1, EAGAIN},
        {"end of file", reading, 1, POLLIN, 0, 0},
        {"read fails", reading, 1, POLLIN, -1, EIO},
        {"port gone", reading, 1, POLLIN, -1, ENXIO},
        {"descriptor not open", reading, 1, POLLNVAL, -1, EBADF},
        {"poll fails", reading, -1, 0, -1, ENOMEM},
        {"hung up, nothing taken", writing, 1, POLLHUP, -1, EAGAIN},
        {"error, nothing taken", writing, 1, POLLERR, -1, EAGAIN},
        {"ready but takes nothing", writing, 1, POLLOUT, 0, 0},
        {"write fails", writing, 1, POLLOUT, -1, EIO},
        {"device gone", writing, 1, POLLOUT, -1, ENODEV},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        testing::Pty pty;
        FixedCalls calls;
        calls.poll_result = c.poll_result;
        calls.poll_events = c.poll_events;
        calls.transfer_result = c.transfer_result;
        calls.error = c.error;
        SerialPort port(pty.take_slave(), calls);
        ASSERT_EQ(port.set_timeouts(300, 300), LINK_OK);

        std::uint8_t buffer[16] = {};
        std::uint32_t moved = 99;
        const LinkStatus status =
            c.direction == reading ? port.read(buffer, 16, moved) : port.write(buffer, 16, moved);
        EXPECT_EQ(status, SERIAL_IO_ERROR);
        EXPECT_EQ(moved, 0u);
        // One wait and one try, and a second try at the most: never a loop
        // until the time-out.
        EXPECT_LE(calls.calls, 4);
    }
}

// A converter's port as far as its driver's serial settings go; everything
// else reaches the pseudo-terminal underneath.
class ConverterCalls final : public SystemCalls {
  public:
    bool has_settings = true;      // false: a port without them (ENOTTY)
    bool refuses_changes = false;  // TIOCSSERIAL fails with EPERM
    serial_struct settings{};
    std::vector<serial_struct> changes;  // each TIOCSSERIAL that was taken

    int poll(pollfd& entry, int timeout_ms) override {
        return system_calls().poll(entry, timeout_ms);
    }
    ssize_t read(int fd, void* buffer, std::size_t count) override {
        return system_calls().read(fd, buffer, count);
    }
    ssize_t write(int fd, const void* buffer, std::size_t count) override {
        return system_calls().write(fd, buffer, count);
    }
    int ioctl(int fd, unsigned long request, void* argument) override {
        if (request != TIOCGSERIAL && request != TIOCSSERIAL) {
            return system_calls().ioctl(fd, request, argument);
        }
        if (!has_settings || (request == TIOCSSERIAL && refuses_changes)) {
            errno = has_settings ? EPERM : ENOTTY;
            return -1;
        }
        auto& given = *static_cast<serial_struct*>(argument);
        if (request == TIOCGSERIAL) {
            given = settings;
        } else {
            settings = given;
            changes.push_back(given);
        }
        return 0;
    }
};

bool low_latency(const serial_struct& settings) {
    return (settings.flags & ASYNC_LOW_LATENCY) != 0;
}

TEST(SerialPortLowLatency, SetOnOpeningAndPutBackOnClosing) {
    const struct {
        const char* what;
        bool has_settings;
        bool refuses_changes;
        bool low_latency_before;
        std::size_t changes_while_open;
    } cases[] = {
        {"timer in use", true, false, false, 1},
        {"low latency already", true, false, true, 0},
        {"no such setting", false, false, false, 0},
        {"change refused", true, true, false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        testing::Pty pty;
        pty.close_slave();
        ConverterCalls calls;
        calls.has_settings = c.has_settings;
        calls.refuses_changes = c.refuses_changes;
        calls.settings.type = PORT_16550A;
        calls.settings.baud_base = 24'000'000;
        calls.settings.custom_divisor = 7;
        calls.settings.closing_wait = 3000;
        calls.settings.flags = ASYNC_SKIP_TEST | (c.low_latency_before ? ASYNC_LOW_LATENCY : 0);
        const serial_struct before = calls.settings;

        std::optional<OpenResult> opened = open_serial_port(pty.slave_path(), calls);
        ASSERT_EQ(opened->status, LINK_OK);
        ASSERT_EQ(calls.changes.size(), c.changes_while_open);
        EXPECT_EQ(low_latency(calls.settings), c.low_latency_before || c.changes_while_open == 1);
        if (c.changes_while_open == 1) {
            // Only the flag changes; the rest goes back as it came.
            serial_struct expected = before;
            expected.flags |= ASYNC_LOW_LATENCY;
            EXPECT_EQ(std::memcmp(&calls.changes[0], &expected, sizeof expected), 0);
        }
        opened.reset();
        EXPECT_EQ(std::memcmp(&calls.settings, &before, sizeof before), 0);
        EXPECT_EQ(calls.changes.size(), c.changes_while_open * 2);
    }
}

}  // namespace
}  // namespace kestrune::serial
