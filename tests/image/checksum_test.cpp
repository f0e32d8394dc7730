#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string_view>
#include <vector>

#include "image/checksum.hpp"
#include "update_file_bytes.hpp"

namespace kestrune {
namespace {

using ChecksumForm = std::uint16_t (*)(const std::uint8_t*, std::uint32_t, std::uint16_t);

struct NamedForm {
    const char* name;
    ChecksumForm checksum;
};

constexpr NamedForm FORMS[] = {{"sixteen bytes a step", image_checksum},
                               {"bytewise", image_checksum_bytewise}};

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

std::vector<std::uint8_t> random_bytes(std::size_t count, std::uint32_t seed) {
    std::mt19937 engine(seed);
    std::uniform_int_distribution<int> byte(0, 255);
    std::vector<std::uint8_t> bytes(count);
    for (std::uint8_t& b : bytes) {
        b = static_cast<std::uint8_t>(byte(engine));
    }
    return bytes;
}

TEST(ImageChecksum, KnownValues) {
    constexpr std::string_view abc = "abc";
    const std::vector<std::uint8_t> abc_bytes(abc.begin(), abc.end());
    const std::uint8_t one = 1;
    const std::uint8_t all = 255;
    for (const NamedForm& form : FORMS) {
        SCOPED_TRACE(form.name);
        EXPECT_EQ(form.checksum(nullptr, 0, CHECKSUM_SEED), 0x56A8);
        EXPECT_EQ(form.checksum(nullptr, 0, 0x1234), 0x1234);
        EXPECT_EQ(form.checksum(abc_bytes.data(), 3, CHECKSUM_SEED), 0xE56F);
        // One byte from a zero start gives that byte's table entry.
        EXPECT_EQ(form.checksum(&one, 1, 0), 0x1021);
        EXPECT_EQ(form.checksum(&all, 1, 0), 0x1EF0);
    }
}

TEST(ImageChecksum, MatchesBitwiseDefinitionForEveryByteAndSeveralSeeds) {
    const std::vector<std::uint8_t> pattern = testing::pattern_bytes(10'007);
    for (const NamedForm& form : FORMS) {
        SCOPED_TRACE(form.name);
        for (const std::uint16_t seed : {0x0000, 0x56A8, 0xFFFF, 0x8001}) {
            SCOPED_TRACE(seed);
            for (int byte = 0; byte < 256; ++byte) {
                const std::vector<std::uint8_t> single{static_cast<std::uint8_t>(byte)};
                ASSERT_EQ(form.checksum(single.data(), 1, seed), bitwise_crc(single, seed)) << byte;
            }
            EXPECT_EQ(
                form.checksum(pattern.data(), static_cast<std::uint32_t>(pattern.size()), seed),
                bitwise_crc(pattern, seed));
        }
    }
}

TEST(ImageChecksum, CountLimitsTheBytesRead) {
    const std::vector<std::uint8_t> data{0x10, 0x20, 0x30, 0x40};
    const std::vector<std::uint8_t> prefix{0x10, 0x20};
    for (const NamedForm& form : FORMS) {
        SCOPED_TRACE(form.name);
        EXPECT_EQ(form.checksum(data.data(), 2, CHECKSUM_SEED), bitwise_crc(prefix, CHECKSUM_SEED));
    }
}

// Every length up to 64 at every start offset within sixteen bytes, inside a
// longer buffer so that a form reading past its count gives itself away.
TEST(ImageChecksum, SixteenByteStepsAgreeWithBytewiseOnEveryShortLength) {
    const std::vector<std::uint8_t> bytes = random_bytes(64 + 16 + 16, 1);
    for (const std::uint16_t seed : {0x0000, 0x56A8, 0xFFFF, 0x8001, 0x00FF, 0xFF00}) {
        for (std::uint32_t start = 0; start < 16; ++start) {
            for (std::uint32_t length = 0; length <= 64; ++length) {
                const std::uint8_t* data = bytes.data() + start;
                ASSERT_EQ(image_checksum(data, length, seed),
                          image_checksum_bytewise(data, length, seed))
                    << "seed " << seed << " start " << start << " length " << length;
            }
        }
    }
}

TEST(ImageChecksum, SixteenByteStepsAgreeWithBytewiseOnTheLargestFile) {
    constexpr std::uint32_t LARGEST_FILE_BYTES = 5'000'000;
    const std::vector<std::uint8_t> bytes = random_bytes(LARGEST_FILE_BYTES, 2);
    for (const std::uint16_t seed : {0x0000, 0x56A8}) {
        EXPECT_EQ(image_checksum(bytes.data(), LARGEST_FILE_BYTES, seed),
                  image_checksum_bytewise(bytes.data(), LARGEST_FILE_BYTES, seed));
    }
}

}  // namespace
}  // namespace kestrune
