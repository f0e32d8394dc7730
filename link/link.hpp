// Opening the device and putting its serial side into the fixed configuration.
#pragma once

#include <cstdint>

#include "clock/clock.hpp"
#include "link/driver.hpp"

namespace kestrune {

inline constexpr std::uint32_t DEVICE_INDEX = 0;
inline constexpr std::uint32_t MAIN_FIRMWARE_BAUD = 1'500'000;
inline constexpr std::uint32_t BOOTLOADER_BAUD = 115'200;
inline constexpr std::uint8_t WORD_LENGTH_8 = 8;
inline constexpr std::uint8_t STOP_BITS_1 = 0;
inline constexpr std::uint8_t PARITY_NONE = 0;
inline constexpr std::uint16_t FLOW_CONTROL_NONE = 0;
inline constexpr std::uint32_t READ_TIMEOUT_MS = 300;
inline constexpr std::uint32_t WRITE_TIMEOUT_MS = 300;
inline constexpr std::uint32_t PURGE_RX_TX = 3;

using Deadline = std::uint32_t;

// The connection to the device and the state of its timed exchanges; one per run.
struct Link {
    Driver& driver;
    Clock& clock;
    DeviceHandle handle = nullptr;
    bool open = false;
    LinkStatus last_status = LINK_OK;
    Deadline deadline = 0;
    std::uint32_t transferred = 0;
};

enum class OpenOutcome { opened, open_failure, configuration_failure };

// Opens device 0 and configures it at the given speed. A handle that opened
// stays open when the configuration fails; the run's ending closes it.
OpenOutcome open_link(Link& link, std::uint32_t baud);

// Reset, speed, 8N1, no flow control, no special characters, time-outs, purge.
// Stops at the first of the first five calls that fails.
bool configure_link(Link& link, DeviceHandle handle, std::uint32_t baud);

// Closes the handle if one is open; does nothing otherwise.
void close_link(Link& link);

}  // namespace kestrune
