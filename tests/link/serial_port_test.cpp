// The serial port over a pseudo-terminal: reads, writes, purge and settings.
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <chrono>
#include <thread>

#include "link/serial_posix.hpp"
#include "tests/link/serial_pty.hpp"

namespace kestrune::serial {
namespace {

using std::chrono::milliseconds;
using Bytes = std::vector<std::uint8_t>;
using testing::Pty;

milliseconds elapsed_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<milliseconds>(std::chrono::steady_clock::now() - start);
}

// Waits until the slave side holds `count` bytes ready to read.
void wait_until_readable(int fd, int count) {
    for (int round = 0; round < 200; ++round) {
        int waiting = 0;
        if (::ioctl(fd, FIONREAD, &waiting) == 0 && waiting >= count) {
            return;
        }
        std::this_thread::sleep_for(milliseconds(5));
    }
    FAIL() << "bytes never reached the slave side";
}

class SerialPortTest : public ::testing::Test {
  protected:
    SerialPortTest() : port(pty.take_slave()) { EXPECT_EQ(port.make_raw(), LINK_OK); }

    Pty pty;
    SerialPort port;
};

TEST_F(SerialPortTest, ReadWithNothingArrivingReturnsEmptyAfterTheDefaultTimeout) {
    Bytes buffer(4, 0xEE);
    std::uint32_t received = 99;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(port.read(buffer.data(), 4, received), LINK_OK);
    const auto took = elapsed_since(start);
    EXPECT_EQ(received, 0u);
    EXPECT_EQ(buffer, Bytes(4, 0xEE));
    // 300 ms, with room for a loaded machine.
    EXPECT_GE(took, milliseconds(290));
    EXPECT_LE(took, milliseconds(600));
}

TEST_F(SerialPortTest, ShortAnswerIsReturnedAtTheTimeout) {
    ASSERT_EQ(port.set_timeouts(50, 300), LINK_OK);
    pty.send({0x11, 0x22});
    Bytes buffer(6, 0);
    std::uint32_t received = 0;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(port.read(buffer.data(), 6, received), LINK_OK);
    EXPECT_GE(elapsed_since(start), milliseconds(50));
    ASSERT_EQ(received, 2u);
    EXPECT_EQ(buffer, (Bytes{0x11, 0x22, 0, 0, 0, 0}));
}

TEST_F(SerialPortTest, AnswerInPiecesReturnsAsSoonAsItIsComplete) {
    ASSERT_EQ(port.set_timeouts(5000, 300), LINK_OK);
    std::thread device([this] {
        pty.send({1, 2, 3});
        std::this_thread::sleep_for(milliseconds(30));
        pty.send({4, 5});
        std::this_thread::sleep_for(milliseconds(30));
        pty.send({6, 7});  // one more than asked: stays for the next read
    });
    Bytes buffer(6, 0);
    std::uint32_t received = 0;
    const auto start = std::chrono::steady_clock::now();
    const LinkStatus status = port.read(buffer.data(), 6, received);
    const auto took = elapsed_since(start);
    device.join();
    EXPECT_EQ(status, LINK_OK);
    ASSERT_EQ(received, 6u);
    EXPECT_EQ(buffer, (Bytes{1, 2, 3, 4, 5, 6}));
    EXPECT_LT(took, milliseconds(4000));

    std::uint8_t rest = 0;
    EXPECT_EQ(port.read(&rest, 1, received), LINK_OK);
    EXPECT_EQ(received, 1u);
    EXPECT_EQ(rest, 7);
}

TEST_F(SerialPortTest, PurgeDropsBytesWaitingToBeRead) {
    ASSERT_EQ(port.set_timeouts(20, 300), LINK_OK);
    pty.send({9, 9, 9, 9});
    wait_until_readable(port.fd(), 4);
    EXPECT_EQ(port.purge(PURGE_RECEIVE | PURGE_TRANSMIT), LINK_OK);
    std::uint8_t buffer[4] = {};
    std::uint32_t received = 99;
    EXPECT_EQ(port.read(buffer, 4, received), LINK_OK);
    EXPECT_EQ(received, 0u);

    // Bytes that come after the purge are read as usual.
    pty.send({7});
    EXPECT_EQ(port.read(buffer, 1, received), LINK_OK);
    EXPECT_EQ(received, 1u);
    EXPECT_EQ(buffer[0], 7);
}

TEST_F(SerialPortTest, ResetDropsWaitingBytesAndRestoresRawSettings) {
    ASSERT_EQ(port.set_timeouts(20, 300), LINK_OK);
    ASSERT_EQ(port.set_data_characteristics(8, STOP_BITS_TWO, PARITY_NONE_VALUE), LINK_OK);
    ASSERT_EQ(port.set_flow_control(FLOW_RTS_CTS, 0, 0), LINK_OK);
    pty.send({1, 2, 3});
    wait_until_readable(port.fd(), 3);
    EXPECT_EQ(port.reset(), LINK_OK);

    std::uint8_t buffer[3] = {};
    std::uint32_t received = 99;
    EXPECT_EQ(port.read(buffer, 3, received), LINK_OK);
    EXPECT_EQ(received, 0u);
    termios settings{};
    ASSERT_EQ(::tcgetattr(port.fd(), &settings), 0);
    EXPECT_EQ(settings.c_cflag & (CSIZE | CSTOPB | PARENB | CRTSCTS), CS8);
}

TEST_F(SerialPortTest, WritesReachTheDeviceUnchanged) {
    Bytes block(512);
    for (std::size_t i = 0; i < block.size(); ++i) {
        block[i] = static_cast<std::uint8_t>(i * 7);  // covers CR, LF, XON, XOFF, 0xFF
    }
    std::uint32_t written = 0;
    EXPECT_EQ(port.write(block.data(), 512, written), LINK_OK);
    EXPECT_EQ(written, 512u);
    EXPECT_EQ(pty.receive(512), block);
}

TEST_F(SerialPortTest, WriteNobodyTakesEndsAtTheWriteTimeout) {
    ASSERT_EQ(port.set_timeouts(300, 50), LINK_OK);
    const Bytes flood(1 << 20, 0x55);  // far more than the terminal buffers hold
    std::uint32_t written = 0;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(port.write(flood.data(), static_cast<std::uint32_t>(flood.size()), written), LINK_OK);
    EXPECT_GT(written, 0u);
    EXPECT_LT(written, flood.size());
    EXPECT_LT(elapsed_since(start), milliseconds(5000));
}

TEST_F(SerialPortTest, HangUpIsAnIoErrorWithoutWaiting) {
    pty.close_master();
    std::uint8_t buffer[4] = {};
    std::uint32_t count = 99;
    ASSERT_EQ(port.set_timeouts(60'000, 60'000), LINK_OK);
    EXPECT_EQ(port.read(buffer, 4, count), SERIAL_IO_ERROR);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(port.write(buffer, 4, count), SERIAL_IO_ERROR);
    EXPECT_EQ(count, 0u);
}

TEST_F(SerialPortTest, RawEightNOneWithoutFlowControl) {
    ASSERT_EQ(port.set_baud_rate(1'500'000), LINK_OK);
    ASSERT_EQ(port.set_data_characteristics(8, STOP_BITS_ONE, PARITY_NONE_VALUE), LINK_OK);
    ASSERT_EQ(port.set_flow_control(FLOW_NONE, 0, 0), LINK_OK);
    ASSERT_EQ(port.set_special_characters(0, 0, 0, 0), LINK_OK);

    termios settings{};
    ASSERT_EQ(::tcgetattr(port.fd(), &settings), 0);
    EXPECT_EQ(settings.c_cflag & (CSIZE | CSTOPB | PARENB | CRTSCTS), CS8);
    EXPECT_NE(settings.c_cflag & CREAD, 0u);
    EXPECT_NE(settings.c_cflag & CLOCAL, 0u);
    EXPECT_EQ(settings.c_lflag & (ICANON | ECHO | ECHONL | ISIG | IEXTEN), 0u);
    EXPECT_EQ(settings.c_iflag & (IXON | IXOFF | ICRNL | INLCR | IGNCR | ISTRIP | BRKINT), 0u);
    EXPECT_EQ(settings.c_oflag & OPOST, 0u);
    EXPECT_EQ(::cfgetospeed(&settings), static_cast<speed_t>(B1500000));
    EXPECT_EQ(::cfgetispeed(&settings), static_cast<speed_t>(B1500000));
}

TEST(SerialPortOpening, OpeningAndResettingClearAUsbSerialPortsDefaults) {
    Pty pty;
    pty.close_slave();
    OpenResult opened = open_serial_port(pty.slave_path());
    ASSERT_EQ(opened.status, LINK_OK);
    SerialPort& port = *opened.port;

    const auto expect_raw = [&port] {
        termios settings{};
        ASSERT_EQ(::tcgetattr(port.fd(), &settings), 0);
        const struct {
            const char* what;
            tcflag_t flags;
            tcflag_t flag;
            bool wanted;
        } cases[] = {
            {"hang-up on close", settings.c_cflag, HUPCL, false},
            {"receiver on", settings.c_cflag, CREAD, true},
            {"modem lines ignored", settings.c_cflag, CLOCAL, true},
            {"canonical input", settings.c_lflag, ICANON, false},
            {"echo", settings.c_lflag, ECHO | ECHONL, false},
            {"signal keys", settings.c_lflag, ISIG, false},
            {"extended input", settings.c_lflag, IEXTEN, false},
            {"CR read as NL", settings.c_iflag, ICRNL, false},
            {"XON/XOFF", settings.c_iflag, IXON, false},
            {"output processing", settings.c_oflag, OPOST, false},
        };
        for (const auto& c : cases) {
            SCOPED_TRACE(c.what);
            EXPECT_EQ(c.flags & c.flag, c.wanted ? c.flag : 0u);
        }
    };
    {
        SCOPED_TRACE("opened");
        expect_raw();
    }
    // The link's configuration starts with a reset: it makes the port raw
    // again, whatever happened to it in between.
    termios settings{};
    ASSERT_EQ(::tcgetattr(port.fd(), &settings), 0);
    testing::set_usb_serial_defaults(settings);
    ASSERT_EQ(::tcsetattr(port.fd(), TCSANOW, &settings), 0);
    ASSERT_EQ(port.reset(), LINK_OK);
    {
        SCOPED_TRACE("reset");
        expect_raw();
    }
}

TEST_F(SerialPortTest, SpeedsTheDriverIsAskedFor) {
    const struct {
        std::uint32_t baud;
        LinkStatus status;
        speed_t code;
    } cases[] = {
        {115'200, LINK_OK, B115200},
        {9'600, LINK_OK, B9600},
        {1'500'000, LINK_OK, B1500000},
        {123'456, SERIAL_INVALID_ARGUMENT, B1500000},  // refused: the last good rate stays
        {0, SERIAL_INVALID_ARGUMENT, B1500000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.baud);
        EXPECT_EQ(port.set_baud_rate(c.baud), c.status);
        termios settings{};
        ASSERT_EQ(::tcgetattr(port.fd(), &settings), 0);
        EXPECT_EQ(::cfgetospeed(&settings), c.code);
    }
}

TEST(SerialSettings, DataCharacteristicsMapToTermiosOrAreRefused) {
    constexpr tcflag_t FRAME = CSIZE | CSTOPB | PARENB | PARODD | CMSPAR;
    const struct {
        std::uint8_t word_length, stop_bits, parity;
        LinkStatus status;
        tcflag_t flags;
    } cases[] = {
        {8, STOP_BITS_ONE, PARITY_NONE_VALUE, LINK_OK, CS8},
        {7, STOP_BITS_TWO, PARITY_ODD, LINK_OK, CS7 | CSTOPB | PARENB | PARODD},
        {5, STOP_BITS_ONE, PARITY_EVEN, LINK_OK, CS5 | PARENB},
        {8, STOP_BITS_ONE, PARITY_MARK, LINK_OK, CS8 | PARENB | PARODD | CMSPAR},
        {6, STOP_BITS_ONE, PARITY_SPACE, LINK_OK, CS6 | PARENB | CMSPAR},
        // Refused values leave the settings as they were (here 7O2 with extras).
        {9, STOP_BITS_ONE, PARITY_NONE_VALUE, SERIAL_INVALID_ARGUMENT, FRAME},
        {4, STOP_BITS_ONE, PARITY_NONE_VALUE, SERIAL_INVALID_ARGUMENT, FRAME},
        {8, 1, PARITY_NONE_VALUE, SERIAL_INVALID_ARGUMENT, FRAME},  // 1.5 stop bits
        {8, STOP_BITS_ONE, 5, SERIAL_INVALID_ARGUMENT, FRAME},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message()
                     << int{c.word_length} << "/" << int{c.stop_bits} << "/" << int{c.parity});
        termios settings{};
        settings.c_cflag = FRAME | CREAD | CLOCAL;
        EXPECT_EQ(apply_data_characteristics(settings, c.word_length, c.stop_bits, c.parity),
                  c.status);
        EXPECT_EQ(settings.c_cflag & FRAME, c.flags);
        EXPECT_EQ(settings.c_cflag & (CREAD | CLOCAL), static_cast<tcflag_t>(CREAD | CLOCAL));
    }
}

TEST_F(SerialPortTest, FramingThePortCannotHoldIsRefusedAndUndone) {
    // A pseudo-terminal always carries 8 data bits without parity.
    ASSERT_EQ(port.set_data_characteristics(8, STOP_BITS_TWO, PARITY_NONE_VALUE), LINK_OK);
    EXPECT_EQ(port.set_data_characteristics(7, STOP_BITS_ONE, PARITY_ODD), SERIAL_INVALID_ARGUMENT);
    EXPECT_EQ(port.set_data_characteristics(8, STOP_BITS_ONE, PARITY_EVEN),
              SERIAL_INVALID_ARGUMENT);
    termios settings{};
    ASSERT_EQ(::tcgetattr(port.fd(), &settings), 0);
    EXPECT_EQ(settings.c_cflag & (CSIZE | CSTOPB | PARENB | PARODD), CS8 | CSTOPB);
}

TEST_F(SerialPortTest, FlowControlAndSpecialCharacters) {
    termios settings{};
    EXPECT_EQ(port.set_flow_control(FLOW_RTS_CTS, 0, 0), LINK_OK);
    ASSERT_EQ(::tcgetattr(port.fd(), &settings), 0);
    EXPECT_NE(settings.c_cflag & CRTSCTS, 0u);

    EXPECT_EQ(port.set_flow_control(FLOW_XON_XOFF, 0x11, 0x13), LINK_OK);
    ASSERT_EQ(::tcgetattr(port.fd(), &settings), 0);
    EXPECT_EQ(settings.c_cflag & CRTSCTS, 0u);
    EXPECT_EQ(settings.c_iflag & (IXON | IXOFF), static_cast<tcflag_t>(IXON | IXOFF));
    EXPECT_EQ(settings.c_cc[VSTART], 0x11);
    EXPECT_EQ(settings.c_cc[VSTOP], 0x13);

    EXPECT_EQ(port.set_flow_control(FLOW_DTR_DSR, 0, 0), SERIAL_INVALID_ARGUMENT);
    EXPECT_EQ(port.set_flow_control(0x0800, 0, 0), SERIAL_INVALID_ARGUMENT);
    EXPECT_EQ(port.set_flow_control(FLOW_XON_XOFF, 0x11, 0x11), SERIAL_INVALID_ARGUMENT);

    EXPECT_EQ(port.set_flow_control(FLOW_NONE, 0, 0), LINK_OK);
    ASSERT_EQ(::tcgetattr(port.fd(), &settings), 0);
    EXPECT_EQ(settings.c_cflag & CRTSCTS, 0u);
    EXPECT_EQ(settings.c_iflag & (IXON | IXOFF), 0u);

    // Event and error characters have nothing to map to.
    EXPECT_EQ(port.set_special_characters(0x7E, 0, 0x3F, 0), LINK_OK);
    EXPECT_EQ(port.set_special_characters(0x7E, 1, 0, 0), SERIAL_INVALID_ARGUMENT);
    EXPECT_EQ(port.set_special_characters(0, 0, 0x3F, 1), SERIAL_INVALID_ARGUMENT);
}

TEST_F(SerialPortTest, PurgeMasks) {
    EXPECT_EQ(port.purge(PURGE_RECEIVE), LINK_OK);
    EXPECT_EQ(port.purge(PURGE_TRANSMIT), LINK_OK);
    EXPECT_EQ(port.purge(0), LINK_OK);
    EXPECT_EQ(port.purge(4), SERIAL_INVALID_ARGUMENT);
}

TEST(SerialPortOnBadDescriptor, EveryCallFailsWithoutHanging) {
    SerialPort port(-1);
    std::uint8_t buffer[4] = {};
    std::uint32_t count = 99;
    EXPECT_EQ(port.read(buffer, 4, count), SERIAL_IO_ERROR);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(port.write(buffer, 4, count), SERIAL_IO_ERROR);
    EXPECT_EQ(port.make_raw(), SERIAL_IO_ERROR);
    EXPECT_EQ(port.set_baud_rate(115'200), SERIAL_IO_ERROR);
    EXPECT_EQ(port.purge(3), SERIAL_IO_ERROR);
}

}  // namespace
}  // namespace kestrune::serial
