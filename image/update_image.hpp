// The update file: firmware image, new version and checksum trailer.
//
// Layout, L being the file's length:
//   [0, L-4)  firmware image, sent to the device unchanged
//   L-4       new major version
//   L-3       new minor version
//   L-2, L-1  CRC-16 over bytes [0, L-2), high byte first
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "image/checksum.hpp"

namespace kestrune {

inline constexpr std::uint32_t BLOCK_SIZE = 512;
inline constexpr std::uint32_t IMAGE_CAPACITY = 5'000'000;
inline constexpr std::uint32_t TRAILER_SIZE = 4;
inline constexpr const char* UPDATE_FILE_NAME = "Kestrune.fwu";

struct UpdateImage {
    // The file's bytes from offset 0; every byte past the file's end stays 0,
    // so the last block can always be taken whole.
    std::array<std::uint8_t, IMAGE_CAPACITY + BLOCK_SIZE> buffer{};
    std::uint32_t file_length = 0;
    std::uint16_t computed_checksum = 0;
    std::uint16_t stored_checksum = 0;

    // Valid once the image has loaded (the file then has at least 4 bytes).
    std::uint32_t image_length() const { return file_length - TRAILER_SIZE; }
    std::uint8_t new_major() const { return buffer[file_length - 4]; }
    std::uint8_t new_minor() const { return buffer[file_length - 3]; }
};

enum class LoadOutcome { loaded, not_found, checksum_error };

// Reads the update file into the (zeroed) image and checks it.
LoadOutcome load_update_file(UpdateImage& image, const char* path = UPDATE_FILE_NAME);

// Loads a file's bytes already in memory as load_update_file loads the file:
// its first IMAGE_CAPACITY bytes, zeros after them, then the check.
LoadOutcome load_update_bytes(UpdateImage& image, std::span<const std::uint8_t> file);

// Checks an image whose buffer and file length are filled: computes and
// compares the checksums. A file of fewer than 4 bytes is a checksum error.
LoadOutcome check_update_image(UpdateImage& image);

// The checksum a file of `length` bytes (at least 2) carries in its last two
// bytes, high byte first.
std::uint16_t stored_checksum(const std::uint8_t* file, std::uint32_t length);

}  // namespace kestrune
