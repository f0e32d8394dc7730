// Which serial port is device index N: the ports of the converter's maker,
// in name order.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kestrune::serial {

// USB vendor ID of the converter's maker.
inline constexpr std::uint16_t CONVERTER_USB_VENDOR_ID = 0x0403;

struct PortListing {
    std::string name;                            // device path, such as "/dev/ttyUSB0"
    std::optional<std::uint16_t> usb_vendor_id;  // absent for ports that are not on USB
};

// Orders names as people read them: runs of digits compare by their value, so
// "/dev/ttyUSB2" comes before "/dev/ttyUSB10".
bool name_before(const std::string& left, const std::string& right);

// The names of the ports whose USB vendor is the converter's maker, in name order.
std::vector<std::string> converter_ports(std::vector<PortListing> ports);

// The name of device `index`: among the ports whose USB vendor is the
// converter's maker, in name order, the one at `index`; nothing when there
// are not that many.
std::optional<std::string> select_port(std::vector<PortListing> ports, std::uint32_t index);

// The lines for standard error, without line end: the port used and the
// other converter ports passed over (`ports` as converter_ports gives them);
// and that no port of the converter's maker is there at all.
std::string describe_port_choice(const std::vector<std::string>& ports, std::uint32_t index);
std::string describe_no_converter();

// The system's serial ports with their USB vendor IDs; empty when they cannot
// be listed.
std::vector<PortListing> list_system_ports();

}  // namespace kestrune::serial
