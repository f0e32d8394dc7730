#include "image/checksum.hpp"

#include <array>
#include <cstddef>

namespace kestrune {

namespace {

constexpr std::uint16_t CRC_POLYNOMIAL = 0x1021;
constexpr std::size_t STEP_BYTES = 16;

using CrcTable = std::array<std::uint16_t, 256>;

// Table k, entry i: the CRC from a zero start of byte i followed by k zero
// bytes. Table 0 is the usual one-byte table: i << 8 put through eight
// shift-and-divide steps; each further table runs one more zero byte through.
constexpr std::array<CrcTable, STEP_BYTES> make_crc_tables() {
    std::array<CrcTable, STEP_BYTES> tables{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t crc = i << 8;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 0x8000U) != 0 ? (crc << 1) ^ CRC_POLYNOMIAL : crc << 1;
        }
        tables[0][i] = static_cast<std::uint16_t>(crc);
    }
    for (std::size_t k = 1; k < STEP_BYTES; ++k) {
        for (std::uint32_t i = 0; i < 256; ++i) {
            const std::uint16_t previous = tables[k - 1][i];
            tables[k][i] = static_cast<std::uint16_t>(tables[0][previous >> 8] ^ (previous << 8));
        }
    }
    return tables;
}

constexpr std::array<CrcTable, STEP_BYTES> CRC_TABLES = make_crc_tables();
constexpr const CrcTable& CRC_TABLE = CRC_TABLES[0];

static_assert(CRC_TABLE[0] == 0x0000);
static_assert(CRC_TABLE[1] == 0x1021);
static_assert(CRC_TABLE[255] == 0x1EF0);

constexpr std::uint16_t crc_step(std::uint16_t crc, std::uint8_t byte) {
    const std::uint8_t index = static_cast<std::uint8_t>((crc >> 8) ^ byte);
    return static_cast<std::uint16_t>(CRC_TABLE[index] ^ (crc << 8));
}

// Sixteen bytes at once. The CRC is linear: the register's two bytes act as
// if XORed into the first two bytes of the step, and each byte then adds the
// CRC of itself followed by the zero bytes after it within the step. Only the
// first two lookups wait for the register; the other fourteen do not, so the
// processor runs them ahead of it.
std::uint16_t crc_step16(std::uint16_t crc, const std::uint8_t* bytes) {
    std::uint16_t rest = 0;
    for (std::size_t k = 2; k < STEP_BYTES; ++k) {
        rest ^= CRC_TABLES[STEP_BYTES - 1 - k][bytes[k]];
    }
    const std::uint8_t b0 = static_cast<std::uint8_t>(bytes[0] ^ (crc >> 8));
    const std::uint8_t b1 = static_cast<std::uint8_t>(bytes[1] ^ (crc & 0xFF));
    return static_cast<std::uint16_t>(rest ^ CRC_TABLES[STEP_BYTES - 1][b0] ^
                                      CRC_TABLES[STEP_BYTES - 2][b1]);
}

}  // namespace

std::uint16_t image_checksum(const std::uint8_t* data, std::uint32_t count, std::uint16_t seed) {
    std::uint16_t crc = seed;
    std::uint32_t i = 0;
    for (; count - i >= STEP_BYTES; i += STEP_BYTES) {
        crc = crc_step16(crc, data + i);
    }
    for (; i < count; ++i) {
        crc = crc_step(crc, data[i]);
    }
    return crc;
}

std::uint16_t image_checksum_bytewise(const std::uint8_t* data, std::uint32_t count,
                                      std::uint16_t seed) {
    std::uint16_t crc = seed;
    for (std::uint32_t i = 0; i < count; ++i) {
        crc = crc_step(crc, data[i]);
    }
    return crc;
}

}  // namespace kestrune
