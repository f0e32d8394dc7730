// Small helpers for building update file bytes in image tests.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

#include "image/update_image.hpp"

namespace kestrune::testing {

// Bytes 0, 1, 2 ... of a repeating, not too regular pattern.
inline std::vector<std::uint8_t> pattern_bytes(std::size_t count) {
    std::vector<std::uint8_t> bytes(count);
    for (std::size_t i = 0; i < count; ++i) {
        bytes[i] = static_cast<std::uint8_t>((i * 7 + i / 251) & 0xFF);
    }
    return bytes;
}

// The image followed by the version bytes and the checksum, high byte first.
inline std::vector<std::uint8_t> make_update_file(std::vector<std::uint8_t> image,
                                                  std::uint8_t major, std::uint8_t minor) {
    image.push_back(major);
    image.push_back(minor);
    const std::uint16_t crc =
        image_checksum(image.data(), static_cast<std::uint32_t>(image.size()), CHECKSUM_SEED);
    image.push_back(static_cast<std::uint8_t>(crc >> 8));
    image.push_back(static_cast<std::uint8_t>(crc & 0xFF));
    return image;
}

// A fresh image on the heap (it is 5 MB) holding the given file bytes.
inline std::unique_ptr<UpdateImage> image_holding(const std::vector<std::uint8_t>& file) {
    auto image = std::make_unique<UpdateImage>();
    std::copy(file.begin(), file.end(), image->buffer.begin());
    image->file_length = static_cast<std::uint32_t>(file.size());
    return image;
}

}  // namespace kestrune::testing
