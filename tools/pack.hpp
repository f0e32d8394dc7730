// Building and describing update files: image bytes, then the new major and
// minor version, then the CRC-16 over both, high byte first.
//
// Used by kestrune-pack, by tests and by the demo. Nothing here prints.
//
//   std::vector<std::uint8_t> file;
//   pack::build_update_file(pack::sample_image(100'000), {1, 2}, file);
//   pack::write_file_bytes("Kestrune.fwu", file);
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "image/update_image.hpp"

namespace kestrune::pack {

// The largest image the updater can carry: image and trailer fill what it reads.
inline constexpr std::uint32_t MAX_IMAGE_LENGTH = IMAGE_CAPACITY - TRAILER_SIZE;

struct FirmwareVersion {
    std::uint8_t major_number = 0;
    std::uint8_t minor_number = 0;
};

enum class BuildOutcome { built, image_too_large };

// Fills file with the update file for image and version. An image longer than
// MAX_IMAGE_LENGTH is refused and file is left empty.
BuildOutcome build_update_file(std::span<const std::uint8_t> image, FirmwareVersion version,
                               std::vector<std::uint8_t>& file);

// size bytes of pseudo-random data, the same on every run and platform.
std::vector<std::uint8_t> sample_image(std::uint32_t size);

// What the updater would make of a file with these bytes.
struct UpdateFileDescription {
    std::uint32_t read_length = 0;  // the bytes the updater reads: at most IMAGE_CAPACITY
    bool cut_short = false;         // the file has more bytes than the updater reads
    bool has_trailer = false;       // read_length >= TRAILER_SIZE; the fields below need it
    std::uint32_t image_length = 0;
    FirmwareVersion version;
    std::uint16_t stored_checksum = 0;
    std::uint16_t computed_checksum = 0;
    bool checksum_good = false;  // has_trailer and the two checksums agree
};

UpdateFileDescription describe_update_file(std::span<const std::uint8_t> file);

// "MAJOR.MINOR", each a decimal number 0..255.
bool parse_version(std::string_view text, FirmwareVersion& version);

// A decimal byte count no larger than limit.
bool parse_size(std::string_view text, std::uint32_t limit, std::uint32_t& size);

enum class ReadOutcome { read, cannot_read, not_regular_file, longer_than_limit };

// Reads a whole file of at most limit bytes into bytes. A longer file gives
// longer_than_limit with its first limit + 1 bytes in bytes; the rest is not
// read. Only a regular file is read: a folder, a device or a FIFO gives
// not_regular_file at once, without waiting for a writer. cannot_read sets
// error to the system's reason.
ReadOutcome read_file_bytes(const std::string& path, std::uint32_t limit,
                            std::vector<std::uint8_t>& bytes, std::error_code& error);
ReadOutcome read_file_bytes(const std::string& path, std::uint32_t limit,
                            std::vector<std::uint8_t>& bytes);

// Creates or replaces the file at path. False when it cannot be written whole,
// with error set to the system's reason.
bool write_file_bytes(const std::string& path, std::span<const std::uint8_t> bytes,
                      std::error_code& error);
bool write_file_bytes(const std::string& path, std::span<const std::uint8_t> bytes);

}  // namespace kestrune::pack
