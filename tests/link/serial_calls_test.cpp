// The serial port against a fake of its system calls: failures a
// pseudo-terminal cannot show.
#include <gtest/gtest.h>

#include <cerrno>

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

}  // namespace
}  // namespace kestrune::serial
