// The update file's CRC-16: polynomial 0x1021, most significant bit first, no
// reflection and no final XOR; the updater starts it from CHECKSUM_SEED.
#pragma once

#include <cstdint>

namespace kestrune {

inline constexpr std::uint16_t CHECKSUM_SEED = 0x56A8;

// The CRC of count bytes from seed. A count of 0 returns the seed. Takes
// sixteen bytes a step; gives the same value as image_checksum_bytewise.
std::uint16_t image_checksum(const std::uint8_t* data, std::uint32_t count, std::uint16_t seed);

// The same CRC with one table lookup a byte: the plain form, kept to check the
// fast one against and to measure it by.
std::uint16_t image_checksum_bytewise(const std::uint8_t* data, std::uint32_t count,
                                      std::uint16_t seed);

}  // namespace kestrune
