#include "tools/pack.hpp"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <system_error>

namespace kestrune::pack {

BuildOutcome build_update_file(std::span<const std::uint8_t> image, FirmwareVersion version,
                               std::vector<std::uint8_t>& file) {
    file.clear();
    if (image.size() > MAX_IMAGE_LENGTH) {
        return BuildOutcome::image_too_large;
    }
    file.reserve(image.size() + TRAILER_SIZE);
    file.assign(image.begin(), image.end());
    file.push_back(version.major_number);
    file.push_back(version.minor_number);
    const std::uint16_t checksum =
        image_checksum(file.data(), static_cast<std::uint32_t>(file.size()), CHECKSUM_SEED);
    file.push_back(static_cast<std::uint8_t>(checksum >> 8));
    file.push_back(static_cast<std::uint8_t>(checksum & 0xFF));
    return BuildOutcome::built;
}

std::vector<std::uint8_t> sample_image(std::uint32_t size) {
    // xorshift32 from a fixed start; the top byte of each state is one image byte.
    std::uint32_t state = 0x2545F491;
    std::vector<std::uint8_t> image(size);
    for (std::uint8_t& byte : image) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        byte = static_cast<std::uint8_t>(state >> 24);
    }
    return image;
}

UpdateFileDescription describe_update_file(std::span<const std::uint8_t> file) {
    UpdateFileDescription description;
    description.cut_short = file.size() > IMAGE_CAPACITY;
    const auto length =
        static_cast<std::uint32_t>(std::min<std::size_t>(file.size(), IMAGE_CAPACITY));
    description.read_length = length;
    description.has_trailer = length >= TRAILER_SIZE;
    if (!description.has_trailer) {
        return description;
    }
    description.image_length = length - TRAILER_SIZE;
    description.version = {file[length - 4], file[length - 3]};
    description.stored_checksum = stored_checksum(file.data(), length);
    description.computed_checksum = image_checksum(file.data(), length - 2, CHECKSUM_SEED);
    description.checksum_good = description.stored_checksum == description.computed_checksum;
    return description;
}

namespace {

bool parse_decimal(std::string_view text, std::uint32_t limit, std::uint32_t& value) {
    // Digits only: no sign, no blanks, no base prefix.
    if (text.empty() ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return false;
    }
    std::uint32_t parsed = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), parsed);
    if (error != std::errc{} || end != text.data() + text.size() || parsed > limit) {
        return false;
    }
    value = parsed;
    return true;
}

}  // namespace

bool parse_version(std::string_view text, FirmwareVersion& version) {
    const std::size_t dot = text.find('.');
    if (dot == std::string_view::npos) {
        return false;
    }
    std::uint32_t major_number = 0;
    std::uint32_t minor_number = 0;
    if (!parse_decimal(text.substr(0, dot), 255, major_number) ||
        !parse_decimal(text.substr(dot + 1), 255, minor_number)) {
        return false;
    }
    version = {static_cast<std::uint8_t>(major_number), static_cast<std::uint8_t>(minor_number)};
    return true;
}

bool parse_size(std::string_view text, std::uint32_t limit, std::uint32_t& size) {
    return parse_decimal(text, limit, size);
}

ReadOutcome read_file_bytes(const std::string& path, std::uint32_t limit,
                            std::vector<std::uint8_t>& bytes) {
    std::error_code ignored;
    return read_file_bytes(path, limit, bytes, ignored);
}

bool write_file_bytes(const std::string& path, std::span<const std::uint8_t> bytes,
                      std::error_code& error) {
    error.clear();
    // The C library's files: binary mode, and errno tells why on every platform.
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        error = {errno, std::generic_category()};
        return false;
    }
    bool written =
        bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    std::error_code reason;
    if (!written) {
        reason = {errno, std::generic_category()};
    }
    // Closing writes out what is still buffered: it can fail too.
    if (std::fclose(file) != 0 && written) {
        written = false;
        reason = {errno, std::generic_category()};
    }
    if (!written) {
        error = reason ? reason : std::make_error_code(std::errc::io_error);
    }
    return written;
}

bool write_file_bytes(const std::string& path, std::span<const std::uint8_t> bytes) {
    std::error_code ignored;
    return write_file_bytes(path, bytes, ignored);
}

}  // namespace kestrune::pack
