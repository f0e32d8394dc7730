#include "image/update_image.hpp"

#include <algorithm>

#include "image/file_reader.hpp"

namespace kestrune {

std::uint16_t stored_checksum(const std::uint8_t* file, std::uint32_t length) {
    return static_cast<std::uint16_t>((file[length - 2] << 8) | file[length - 1]);
}

LoadOutcome check_update_image(UpdateImage& image) {
    const std::uint32_t length = image.file_length;
    image.computed_checksum = 0;
    image.stored_checksum = 0;
    // Without a whole trailer there is no version and no stored checksum to
    // compare; such a file, like one the buffer could not have held, is bad.
    if (length < TRAILER_SIZE || length > IMAGE_CAPACITY) {
        return LoadOutcome::checksum_error;
    }
    image.computed_checksum = image_checksum(image.buffer.data(), length - 2, CHECKSUM_SEED);
    image.stored_checksum = stored_checksum(image.buffer.data(), length);
    return image.computed_checksum == image.stored_checksum ? LoadOutcome::loaded
                                                            : LoadOutcome::checksum_error;
}

namespace {

// Takes the file as the first length bytes of the buffer. The bytes past them
// are cleared all the same, so a reused image or a read that failed part-way
// leaves nothing stale behind.
void set_file_length(UpdateImage& image, std::uint32_t length) {
    image.file_length = length;
    std::fill(image.buffer.begin() + length, image.buffer.end(), std::uint8_t{0});
}

}  // namespace

LoadOutcome load_update_file(UpdateImage& image, const char* path) {
    // Load into a fresh image: its buffer is expected to be all zero, as the
    // transfer sends the bytes past the file's end in the last block.
    std::uint32_t length = 0;
    const bool opened = read_file_prefix(path, image.buffer.data(), IMAGE_CAPACITY, length);
    set_file_length(image, opened ? length : 0);
    if (!opened) {
        image.computed_checksum = 0;
        image.stored_checksum = 0;
        return LoadOutcome::not_found;
    }
    return check_update_image(image);
}

LoadOutcome load_update_bytes(UpdateImage& image, std::span<const std::uint8_t> file) {
    const auto length =
        static_cast<std::uint32_t>(std::min<std::size_t>(file.size(), IMAGE_CAPACITY));
    std::copy_n(file.begin(), length, image.buffer.begin());
    set_file_length(image, length);
    return check_update_image(image);
}

}  // namespace kestrune
