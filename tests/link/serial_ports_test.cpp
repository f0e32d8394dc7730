// Which listed port is device index N.
#include <gtest/gtest.h>

#include "link/serial_posix_ports.hpp"

namespace kestrune::serial {
namespace {

constexpr std::uint16_t OTHER_MAKER = 0x10C4;

PortListing ours(const char* name) {
    return {name, CONVERTER_USB_VENDOR_ID};
}
PortListing theirs(const char* name) {
    return {name, OTHER_MAKER};
}
PortListing built_in(const char* name) {
    return {name, std::nullopt};
}

TEST(SelectPort, NothingToChooseFrom) {
    EXPECT_EQ(select_port({}, 0), std::nullopt);
    EXPECT_EQ(select_port({theirs("/dev/ttyUSB0"), built_in("/dev/ttyS0")}, 0), std::nullopt);
}

TEST(SelectPort, OtherMakersAndBuiltInPortsAreSkipped) {
    const std::vector<PortListing> ports = {built_in("/dev/ttyS0"), theirs("/dev/ttyACM0"),
                                            theirs("/dev/ttyUSB0"), ours("/dev/ttyUSB1")};
    EXPECT_EQ(select_port(ports, 0), "/dev/ttyUSB1");
    EXPECT_EQ(select_port(ports, 1), std::nullopt);
}

TEST(SelectPort, IndexCountsInNameOrderWithNumbersByValue) {
    const std::vector<PortListing> ports = {ours("/dev/ttyUSB10"), theirs("/dev/ttyUSB0"),
                                            ours("/dev/ttyUSB2"), ours("/dev/ttyUSB1")};
    EXPECT_EQ(select_port(ports, 0), "/dev/ttyUSB1");
    EXPECT_EQ(select_port(ports, 1), "/dev/ttyUSB2");
    EXPECT_EQ(select_port(ports, 2), "/dev/ttyUSB10");
    EXPECT_EQ(select_port(ports, 3), std::nullopt);
    EXPECT_EQ(select_port(ports, 0xFFFFFFFF), std::nullopt);
}

TEST(NameBefore, OrdersNamesAsPeopleReadThem) {
    const struct {
        const char* left;
        const char* right;
    } ordered[] = {
        {"/dev/ttyUSB0", "/dev/ttyUSB1"},   {"/dev/ttyUSB9", "/dev/ttyUSB10"},
        {"/dev/ttyUSB2", "/dev/ttyUSB10"},  {"/dev/ttyACM5", "/dev/ttyUSB0"},
        {"/dev/ttyUSB", "/dev/ttyUSB0"},    {"/dev/ttyUSB01", "/dev/ttyUSB1"},
        {"/dev/ttyUSB1", "/dev/ttyUSB01a"},
    };
    for (const auto& pair : ordered) {
        SCOPED_TRACE(std::string(pair.left) + " < " + pair.right);
        EXPECT_TRUE(name_before(pair.left, pair.right));
        EXPECT_FALSE(name_before(pair.right, pair.left));
    }
    EXPECT_FALSE(name_before("/dev/ttyUSB3", "/dev/ttyUSB3"));
}

}  // namespace
}  // namespace kestrune::serial
