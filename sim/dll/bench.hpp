// The simulated device and its driver as the driver library serves them:
// made at the first call from a device description, with every driver call
// added to a record as it happens.
//
// Portable: the library's Windows side hands in the file operations, so that
// this part needs no Windows header (whose macros clash with the simulated
// driver's names).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "link/driver.hpp"

namespace kestrune::sim::dll {

// The files the bench reads and writes.
struct BenchFiles {
    // The device description's text; nothing when there is none.
    std::optional<std::string> (*read_config)() = nullptr;
    // Adds one line to the record.
    void (*record)(std::string_view line) = nullptr;
    // Replaces the saved flash with these bytes.
    void (*save_flash)(const std::uint8_t* bytes, std::size_t count) = nullptr;
};

// What an open reports when there is no device to open.
inline constexpr LinkStatus BENCH_NO_DEVICE = 2;
inline constexpr LinkStatus BENCH_BAD_PARAMETER = 6;

// Sets the files; call once, before anything else.
void connect_bench(const BenchFiles& files);

// The simulated driver, made at the first call from the description (default
// settings without one). Nothing when the description is bad; the record then
// says why, and so it stays.
Driver* bench_driver();

// Adds the driver calls made since the last time to the record.
void record_new_calls();

// Saves the flash, when there is a device.
void save_bench_flash();

}  // namespace kestrune::sim::dll
