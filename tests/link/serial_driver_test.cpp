// The driver over serial ports: choosing, opening, handles and the line on
// standard error for a port that cannot be opened.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "link/serial_posix_driver.hpp"
#include "tests/link/serial_pty.hpp"

namespace kestrune::serial {
namespace {

using Bytes = std::vector<std::uint8_t>;
using testing::Pty;

// A driver whose port list holds the given paths, all of the converter's maker,
// and which keeps its warnings.
// The paths may change between openings (a converter plugged in or out).
struct DriverUnderTest {
    explicit DriverUnderTest(std::vector<std::string> listed)
        : paths(std::move(listed)),
          driver(
              [this] {
                  std::vector<PortListing> listing;
                  for (const auto& path : paths) {
                      listing.push_back({path, CONVERTER_USB_VENDOR_ID});
                  }
                  return listing;
              },
              [this](const std::string& line) { warnings.push_back(line); }) {}

    std::vector<std::string> paths;
    std::vector<std::string> warnings;
    SerialDriver driver;
};

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// Whether the terminal at `path` is in exclusive mode, as a third program
// sees it: its open fails (unless it runs as root), or the flag reads set.
bool in_exclusive_mode(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return errno == EBUSY;
    }
    int exclusive = 0;
    const bool set = ::ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0;
    ::close(fd);
    return set;
}

// A byte the device sends now is the next one the opened port reads.
void expect_next_byte_read(Driver& driver, DeviceHandle handle, Pty& device) {
    device.send({0x42});
    std::uint8_t answer = 0;
    std::uint32_t count = 0;
    EXPECT_EQ(driver.read(handle, &answer, 1, count), LINK_OK);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(answer, 0x42);
}

TEST(SerialDriver, OpensTheListedPortAndTalksThroughIt) {
    Pty pty;
    DriverUnderTest under_test({pty.slave_path()});
    SerialDriver& driver = under_test.driver;

    DeviceHandle handle = nullptr;
    ASSERT_EQ(driver.open(0, handle), LINK_OK);
    ASSERT_NE(handle, nullptr);
    // The link's configuration, as the run makes it.
    EXPECT_EQ(driver.reset(handle), LINK_OK);
    EXPECT_EQ(driver.set_baud_rate(handle, 1'500'000), LINK_OK);
    EXPECT_EQ(driver.set_data_characteristics(handle, 8, 0, 0), LINK_OK);
    EXPECT_EQ(driver.set_flow_control(handle, 0, 0, 0), LINK_OK);
    EXPECT_EQ(driver.set_special_characters(handle, 0, 0, 0, 0), LINK_OK);
    EXPECT_EQ(driver.set_timeouts(handle, 100, 100), LINK_OK);
    EXPECT_EQ(driver.purge(handle, 3), LINK_OK);

    const Bytes request = {'Z', 'Z', 'c'};
    std::uint32_t count = 0;
    EXPECT_EQ(driver.write(handle, request.data(), 3, count), LINK_OK);
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(pty.receive(3), request);

    pty.send({0x13, 0x0D, 0x0A, 0xFF});
    Bytes answer(4, 0);
    EXPECT_EQ(driver.read(handle, answer.data(), 4, count), LINK_OK);
    EXPECT_EQ(count, 4u);
    EXPECT_EQ(answer, (Bytes{0x13, 0x0D, 0x0A, 0xFF}));

    EXPECT_EQ(driver.close(handle), LINK_OK);
    EXPECT_EQ(under_test.warnings, std::vector<std::string>{"kestrune-update: using serial port " +
                                                            pty.slave_path() + "."});
}

TEST(SerialDriver, HandlesItDidNotGiveOutAreRefused) {
    Pty pty;
    DriverUnderTest under_test({pty.slave_path()});
    SerialDriver& driver = under_test.driver;
    DeviceHandle handle = nullptr;
    ASSERT_EQ(driver.open(0, handle), LINK_OK);
    ASSERT_EQ(driver.close(handle), LINK_OK);

    int unrelated = 0;
    for (DeviceHandle stale :
         {handle, static_cast<DeviceHandle>(nullptr), static_cast<DeviceHandle>(&unrelated)}) {
        std::uint8_t buffer[4] = {};
        std::uint32_t count = 99;
        EXPECT_EQ(driver.read(stale, buffer, 4, count), SERIAL_INVALID_ARGUMENT);
        EXPECT_EQ(count, 0u);
        count = 99;
        EXPECT_EQ(driver.write(stale, buffer, 4, count), SERIAL_INVALID_ARGUMENT);
        EXPECT_EQ(count, 0u);
        EXPECT_EQ(driver.reset(stale), SERIAL_INVALID_ARGUMENT);
        EXPECT_EQ(driver.set_baud_rate(stale, 115'200), SERIAL_INVALID_ARGUMENT);
        EXPECT_EQ(driver.purge(stale, 3), SERIAL_INVALID_ARGUMENT);
        EXPECT_EQ(driver.set_timeouts(stale, 300, 300), SERIAL_INVALID_ARGUMENT);
        EXPECT_EQ(driver.close(stale), SERIAL_INVALID_ARGUMENT);
    }
}

TEST(SerialDriver, NoSuchPortIsNotFound) {
    Pty pty;
    const std::string no_converter =
        "kestrune-update: no serial port of a USB-serial converter with vendor ID 0403 found.";
    const struct {
        const char* what;
        std::vector<std::string> paths;
        std::uint32_t index;
        std::vector<std::string> warnings;
    } cases[] = {
        {"empty list", {}, 0, {no_converter}},
        {"index past the list", {pty.slave_path()}, 1, {}},
        {"listed port gone", {"/dev/kestrune-no-such-port"}, 0, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        DriverUnderTest under_test(c.paths);
        DeviceHandle handle = nullptr;
        EXPECT_EQ(under_test.driver.open(c.index, handle), SERIAL_NOT_FOUND);
        EXPECT_EQ(handle, nullptr);
        EXPECT_EQ(under_test.warnings, c.warnings);
    }
}

TEST(SerialDriver, NamesThePortItUsesAndThoseItPassesOver) {
    Pty ptys[3];
    // Listed out of order, with ports of another maker and built-in ones.
    const std::vector<PortListing> listing = {
        {ptys[2].slave_path(), CONVERTER_USB_VENDOR_ID}, {"/dev/ttyS0", std::nullopt},
        {ptys[0].slave_path(), CONVERTER_USB_VENDOR_ID}, {"/dev/ttyACM0", 0x2341},
        {ptys[1].slave_path(), CONVERTER_USB_VENDOR_ID},
    };
    std::vector<std::string> sorted = {ptys[0].slave_path(), ptys[1].slave_path(),
                                       ptys[2].slave_path()};
    std::sort(sorted.begin(), sorted.end(), name_before);
    std::vector<std::string> lines;
    SerialDriver driver([&listing] { return listing; },
                        [&lines](const std::string& line) { lines.push_back(line); });

    // Opened twice, as the run does: said once.
    for (int opening = 0; opening < 2; ++opening) {
        DeviceHandle handle = nullptr;
        ASSERT_EQ(driver.open(0, handle), LINK_OK);
        ASSERT_EQ(driver.close(handle), LINK_OK);
    }
    EXPECT_EQ(lines, std::vector<std::string>{"kestrune-update: using serial port " + sorted[0] +
                                              "; other converter ports passed over: " + sorted[1] +
                                              ", " + sorted[2] + "."});
}

// Whether another program, opening the port and taking its lock as the
// updater does, would get it.
bool another_program_takes(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const bool locked = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    ::close(fd);
    return locked;
}

TEST(SerialDriver, PortInUseCannotBeOpenedASecondTime) {
    Pty pty;
    std::optional<DriverUnderTest> first(std::in_place, std::vector{pty.slave_path()});
    DriverUnderTest second({pty.slave_path()});
    DeviceHandle first_handle = nullptr;
    ASSERT_EQ(first->driver.open(0, first_handle), LINK_OK);
    EXPECT_TRUE(in_exclusive_mode(pty.slave_path()));
    EXPECT_FALSE(another_program_takes(pty.slave_path()));

    DeviceHandle second_handle = nullptr;
    EXPECT_EQ(second.driver.open(0, second_handle), SERIAL_CANNOT_OPEN);
    ASSERT_EQ(second.warnings.size(), 1u);
    EXPECT_TRUE(contains(second.warnings[0], pty.slave_path())) << second.warnings[0];
    EXPECT_TRUE(contains(second.warnings[0], "in use")) << second.warnings[0];
    // The refused one has not switched off the exclusive mode of the first.
    EXPECT_TRUE(in_exclusive_mode(pty.slave_path()));

    // Once the first one has ended, the port is free again.
    ASSERT_EQ(first->driver.close(first_handle), LINK_OK);
    first.reset();
    ASSERT_EQ(second.driver.open(0, second_handle), LINK_OK);
    EXPECT_EQ(second.driver.close(second_handle), LINK_OK);
}

// Another program that holds the port in exclusive mode, without a lock: root
// could still open it, and must not share it nor switch the mode off.
TEST(SerialDriver, PortInExclusiveModeIsInUseEvenForRoot) {
    Pty pty;
    const int holder = ::open(pty.slave_path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(::ioctl(holder, TIOCEXCL), 0);

    DriverUnderTest updater({pty.slave_path()});
    DeviceHandle handle = nullptr;
    EXPECT_EQ(updater.driver.open(0, handle), SERIAL_CANNOT_OPEN);
    ASSERT_EQ(updater.warnings.size(), 1u);
    EXPECT_TRUE(contains(updater.warnings[0], "in use")) << updater.warnings[0];
    EXPECT_TRUE(in_exclusive_mode(pty.slave_path()));
    ::close(holder);
}

TEST(SerialDriver, ThePortStaysOursBetweenClosingAndOpeningItAgain) {
    Pty pty;
    const std::string& path = pty.slave_path();
    pty.close_slave();
    std::optional<DriverUnderTest> updater(std::in_place, std::vector{path});
    DeviceHandle handle = nullptr;
    ASSERT_EQ(updater->driver.open(0, handle), LINK_OK);
    ASSERT_EQ(updater->driver.set_baud_rate(handle, 1'500'000), LINK_OK);
    ASSERT_EQ(updater->driver.close(handle), LINK_OK);

    // The gap while the device changes over to its bootloader.
    EXPECT_FALSE(another_program_takes(path));
    EXPECT_TRUE(in_exclusive_mode(path));
    DriverUnderTest second({path});
    EXPECT_EQ(second.driver.open(0, handle), SERIAL_CANNOT_OPEN);

    // Opened again, the port is as a new opening leaves it: what the device
    // said in the gap is gone.
    pty.send({0x17});
    ASSERT_EQ(updater->driver.open(0, handle), LINK_OK);
    ASSERT_EQ(updater->driver.set_baud_rate(handle, 115'200), LINK_OK);
    expect_next_byte_read(updater->driver, handle, pty);
    ASSERT_EQ(updater->driver.close(handle), LINK_OK);

    // Let go for good when the updater ends.
    EXPECT_FALSE(another_program_takes(path));
    updater.reset();
    EXPECT_TRUE(another_program_takes(path));
    EXPECT_FALSE(in_exclusive_mode(path));
}

TEST(SerialDriver, AClosedPortIsLetGoWhenTheNextOpeningIsNotForIt) {
    Pty first_pty;
    Pty second_pty;
    const std::string first = first_pty.slave_path();
    const std::string second = second_pty.slave_path();
    first_pty.close_slave();
    second_pty.close_slave();
    const struct {
        const char* what;
        std::vector<std::string> listed_then;
        std::uint32_t index;
        LinkStatus status;
    } cases[] = {
        {"another port", {first, second}, 1, LINK_OK},
        {"no converter listed any more", {}, 0, SERIAL_NOT_FOUND},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        DriverUnderTest under_test({first, second});
        DeviceHandle handle = nullptr;
        ASSERT_EQ(under_test.driver.open(0, handle), LINK_OK);
        ASSERT_EQ(under_test.driver.close(handle), LINK_OK);
        under_test.paths = c.listed_then;
        EXPECT_EQ(under_test.driver.open(c.index, handle), c.status);
        EXPECT_TRUE(another_program_takes(first));
        if (c.status == LINK_OK) {
            EXPECT_EQ(under_test.driver.close(handle), LINK_OK);
        }
    }
}

TEST(SerialDriver, AClosedPortWhoseNameNowLeadsElsewhereIsOpenedAnew) {
    Pty first_pty;
    Pty second_pty;
    first_pty.close_slave();
    second_pty.close_slave();
    char folder[] = "/tmp/kestrune-port-link-XXXXXX";
    ASSERT_NE(::mkdtemp(folder), nullptr);
    const std::string name = std::string(folder) + "/ttyUSB0";
    ASSERT_EQ(::symlink(first_pty.slave_path().c_str(), name.c_str()), 0);

    DriverUnderTest under_test({name});
    DeviceHandle handle = nullptr;
    ASSERT_EQ(under_test.driver.open(0, handle), LINK_OK);
    ASSERT_EQ(under_test.driver.close(handle), LINK_OK);
    // Another converter now answers to the name.
    ASSERT_EQ(::unlink(name.c_str()), 0);
    ASSERT_EQ(::symlink(second_pty.slave_path().c_str(), name.c_str()), 0);
    ASSERT_EQ(under_test.driver.open(0, handle), LINK_OK);
    EXPECT_TRUE(another_program_takes(first_pty.slave_path()));
    expect_next_byte_read(under_test.driver, handle, second_pty);
    EXPECT_EQ(under_test.driver.close(handle), LINK_OK);
    ::unlink(name.c_str());
    ::rmdir(folder);
}

TEST(SerialDriver, AClosedPortThatHungUpIsOpenedAnew) {
    // The converter unplugged in the gap and plugged in again under the same
    // name: the port kept open has hung up and is of no more use.
    Pty pty;
    const std::string& path = pty.slave_path();
    pty.close_slave();
    DriverUnderTest under_test({path});
    DeviceHandle handle = nullptr;
    ASSERT_EQ(under_test.driver.open(0, handle), LINK_OK);
    ASSERT_EQ(under_test.driver.close(handle), LINK_OK);
    {
        const int other = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        const bool hung_up = other >= 0 && ::ioctl(other, TIOCVHANGUP) == 0;
        ::close(other);
        if (!hung_up) {
            GTEST_SKIP() << "hanging up a terminal takes root";
        }
        // A port plugged in anew starts without exclusive mode; this pseudo-
        // terminal keeps the mode of the hung-up descriptor, which can no
        // longer switch it off.
        const int fresh = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        ASSERT_GE(fresh, 0);
        ::ioctl(fresh, TIOCNXCL);
        ::close(fresh);
    }
    ASSERT_EQ(under_test.driver.open(0, handle), LINK_OK);
    expect_next_byte_read(under_test.driver, handle, pty);
    EXPECT_EQ(under_test.driver.close(handle), LINK_OK);
}

TEST(SerialDriver, SomethingThatIsNotAPortCannotBeOpened) {
    char path[] = "/tmp/kestrune-not-a-port-XXXXXX";
    const int fd = ::mkstemp(path);
    ASSERT_GE(fd, 0);
    ::close(fd);
    DriverUnderTest under_test({path});
    DeviceHandle handle = nullptr;
    EXPECT_EQ(under_test.driver.open(0, handle), SERIAL_CANNOT_OPEN);
    ::unlink(path);
    ASSERT_EQ(under_test.warnings.size(), 1u);
    EXPECT_TRUE(contains(under_test.warnings[0], path)) << under_test.warnings[0];
    EXPECT_TRUE(contains(under_test.warnings[0], "not a serial port")) << under_test.warnings[0];
}

// Tries to open the port as an ordinary user; returns the warning the driver
// gave, or a note starting with '!' when the open did something else.
std::string open_without_permission(const std::string& path) {
    int channel[2];
    if (::pipe(channel) != 0) {
        return "!pipe";
    }
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(channel[0]);
        // Root passes every permission check: become nobody.
        if (::geteuid() == 0 &&
            (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)) {
            _exit(2);
        }
        DriverUnderTest under_test({path});
        DeviceHandle handle = nullptr;
        const LinkStatus status = under_test.driver.open(0, handle);
        std::string report = status != SERIAL_CANNOT_OPEN ? "!status " + std::to_string(status)
                             : under_test.warnings.size() != 1
                                 ? "!warnings " + std::to_string(under_test.warnings.size())
                                 : under_test.warnings[0];
        const ssize_t sent = ::write(channel[1], report.data(), report.size());
        _exit(sent == static_cast<ssize_t>(report.size()) ? 0 : 3);
    }
    ::close(channel[1]);
    std::string report;
    char chunk[256];
    ssize_t got = 0;
    while ((got = ::read(channel[0], chunk, sizeof chunk)) > 0) {
        report.append(chunk, static_cast<std::size_t>(got));
    }
    ::close(channel[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        return "!child ended with " + std::to_string(status);
    }
    return report;
}

TEST(SerialDriver, PermissionDeniedNamesThePortAndTheGroupToJoin) {
    Pty pty;
    const std::string& path = pty.slave_path();
    // Only the owner may open it, and the process that opens it is not the owner.
    ASSERT_EQ(::chmod(path.c_str(), ::geteuid() == 0 ? 0600 : 0000), 0);

    // The advice: join the port's group, but never root's.
    struct Case {
        std::string group;
        std::string advice;
    };
    std::vector<Case> cases;
    if (::geteuid() == 0) {
        cases = {{"dialout", "(here: dialout); add your user with 'sudo usermod -aG dialout "},
                 {"root", "usually through membership of the group dialout."}};
    } else {
        const std::string group = owning_group(path);
        cases = {{group, "(here: " + group + ")"}};
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.group);
        if (::geteuid() == 0) {
            const group* entry = ::getgrnam(c.group.c_str());
            ASSERT_NE(entry, nullptr);
            ASSERT_EQ(::chown(path.c_str(), static_cast<uid_t>(-1), entry->gr_gid), 0);
        }
        const std::string warning = open_without_permission(path);
        ASSERT_NE(warning.front(), '!') << warning;
        EXPECT_TRUE(contains(warning, path)) << warning;
        EXPECT_TRUE(contains(warning, "permission denied")) << warning;
        EXPECT_TRUE(contains(warning, c.advice)) << warning;
        EXPECT_EQ(warning.find('\n'), std::string::npos) << warning;
    }
}

}  // namespace
}  // namespace kestrune::serial
