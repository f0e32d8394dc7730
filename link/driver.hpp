// The converter's driver operations, as the program uses them.
//
// One method per operation of the driver library. Every operation returns the
// driver's 32-bit status, 0 meaning success. The implementation is chosen per
// platform: the driver library loaded at run time on Windows, the serial port on
// Linux, and the simulated device in tests and the demo.
#pragma once

#include <cstdint>

namespace kestrune {

using LinkStatus = std::uint32_t;
using DeviceHandle = void*;

inline constexpr LinkStatus LINK_OK = 0;

class Driver {
  public:
    virtual ~Driver() = default;

    // Ordinal 1: open the device with the given index; on status 0 the handle is valid.
    virtual LinkStatus open(std::uint32_t device_index, DeviceHandle& handle) = 0;
    // Ordinal 2.
    virtual LinkStatus close(DeviceHandle handle) = 0;
    // Ordinal 3: returns within about the read time-out with what has arrived, possibly nothing.
    virtual LinkStatus read(DeviceHandle handle, std::uint8_t* buffer, std::uint32_t wanted,
                            std::uint32_t& received) = 0;
    // Ordinal 4.
    virtual LinkStatus write(DeviceHandle handle, const std::uint8_t* buffer, std::uint32_t count,
                             std::uint32_t& written) = 0;
    // Ordinal 6.
    virtual LinkStatus reset(DeviceHandle handle) = 0;
    // Ordinal 7.
    virtual LinkStatus set_baud_rate(DeviceHandle handle, std::uint32_t baud) = 0;
    // Ordinal 8.
    virtual LinkStatus set_data_characteristics(DeviceHandle handle, std::uint8_t word_length,
                                                std::uint8_t stop_bits, std::uint8_t parity) = 0;
    // Ordinal 9.
    virtual LinkStatus set_flow_control(DeviceHandle handle, std::uint16_t mode, std::uint8_t xon,
                                        std::uint8_t xoff) = 0;
    // Ordinal 15.
    virtual LinkStatus set_special_characters(DeviceHandle handle, std::uint8_t event_char,
                                              std::uint8_t event_enable, std::uint8_t error_char,
                                              std::uint8_t error_enable) = 0;
    // Ordinal 16.
    virtual LinkStatus purge(DeviceHandle handle, std::uint32_t mask) = 0;
    // Ordinal 17.
    virtual LinkStatus set_timeouts(DeviceHandle handle, std::uint32_t read_timeout_ms,
                                    std::uint32_t write_timeout_ms) = 0;
};

}  // namespace kestrune

namespace kestrune {
// The platform's driver, alive for the whole process.
Driver& system_driver();
}  // namespace kestrune
