#include <gtest/gtest.h>

#include <cstdint>
#include <string_view>
#include <vector>

#include "image/update_image.hpp"
#include "update_file_bytes.hpp"

namespace kestrune {
namespace {

// Bit-by-bit CRC-16 (0x1021, MSB first): the plain definition, no table.
std::uint16_t bitwise_crc(const std::vector<std::uint8_t>& data, std::uint16_t seed) {
    std::uint32_t crc = seed;
    for (const std::uint8_t byte : data) {
        crc ^= std::uint32_t{byte} << 8;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 0x8000U) != 0 ? (crc << 1) ^ 0x1021U : crc << 1;
            crc &= 0xFFFFU;
        }
    }
    return static_cast<std::uint16_t>(crc);
}

TEST(ImageChecksum, KnownValues) {
    EXPECT_EQ(image_checksum(nullptr, 0, CHECKSUM_SEED), 0x56A8);
    EXPECT_EQ(image_checksum(nullptr, 0, 0x1234), 0x1234);

    constexpr std::string_view abc = "abc";
    const std::vector<std::uint8_t> abc_bytes(abc.begin(), abc.end());
    EXPECT_EQ(image_checksum(abc_bytes.data(), 3, CHECKSUM_SEED), 0xE56F);

    // One byte from a zero start gives that byte's table entry.
    const std::uint8_t one = 1;
    const std::uint8_t all = 255;
    EXPECT_EQ(image_checksum(&one, 1, 0), 0x1021);
    EXPECT_EQ(image_checksum(&all, 1, 0), 0x1EF0);
}

TEST(ImageChecksum, MatchesBitwiseDefinitionForEveryByteAndSeveralSeeds) {
    std::vector<std::uint8_t> every_byte(256);
    for (std::size_t i = 0; i < every_byte.size(); ++i) {
        every_byte[i] = static_cast<std::uint8_t>(i);
    }
    const std::vector<std::uint8_t> pattern = testing::pattern_bytes(10'007);
    for (const std::uint16_t seed : {0x0000, 0x56A8, 0xFFFF, 0x8001}) {
        SCOPED_TRACE(seed);
        for (std::size_t i = 0; i < every_byte.size(); ++i) {
            const std::vector<std::uint8_t> single{every_byte[i]};
            ASSERT_EQ(image_checksum(single.data(), 1, seed), bitwise_crc(single, seed)) << i;
        }
        EXPECT_EQ(image_checksum(pattern.data(), static_cast<std::uint32_t>(pattern.size()), seed),
                  bitwise_crc(pattern, seed));
    }
}

TEST(ImageChecksum, CountLimitsTheBytesRead) {
    const std::vector<std::uint8_t> data{0x10, 0x20, 0x30, 0x40};
    const std::vector<std::uint8_t> prefix{0x10, 0x20};
    EXPECT_EQ(image_checksum(data.data(), 2, CHECKSUM_SEED), bitwise_crc(prefix, CHECKSUM_SEED));
}

}  // namespace
}  // namespace kestrune
