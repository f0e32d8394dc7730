// The device's messages as the tests expect to see them on the wire, and
// devices made from the settings' text form.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "sim/device_config.hpp"

namespace kestrune::sim::test {

using Bytes = std::vector<std::uint8_t>;

inline const Bytes HANDOVER_REQUEST = {0x5A, 0x5A, 0x63, 0x00, 0xE6, 0xDA};
inline const Bytes HANDOVER_ACK = {0x5A, 0x5A, 0x64, 0x00, 0x71, 0x43};
inline const Bytes VERSION_QUERY = {0x3A, 0x90, 0xC4, 0x17};
inline const Bytes ERASE_COMMAND = {0x7E, 0x04, 0xB9, 0xD2, 0x66, 0xC1, 0x3F, 0x80};
inline const Bytes ERASE_ANSWERS = {0x0F, 0xF0};
inline const Bytes VERDICT_GOOD = {0x01};
inline const Bytes VERDICT_BAD = {0xFF};
inline const Bytes ACCEPTED = {0x80};

inline constexpr std::uint32_t FAST = 1'500'000;
inline constexpr std::uint32_t SLOW = 115'200;

// A block whose bytes differ from each other and from an erased cell.
inline Bytes make_block(std::uint8_t seed) {
    Bytes block(512);
    for (std::size_t i = 0; i < block.size(); ++i) {
        block[i] = static_cast<std::uint8_t>(i * 7 + seed) & 0x7F;
    }
    return block;
}

inline DeviceConfig parsed(const std::string& text) {
    std::string error;
    auto config = parse_device_config(text, error);
    EXPECT_TRUE(config.has_value()) << error;
    return config.value_or(DeviceConfig{});
}

}  // namespace kestrune::sim::test
