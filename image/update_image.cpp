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

LoadOutcome load_update_file(UpdateImage& image, const char* path) {
    // Load into a fresh image: its buffer is expected to be all zero, as the
    // transfer sends the bytes past the file's end in the last block. The
    // bytes past what the read returned are cleared all the same, so a reused
    // image or a read that failed part-way leaves nothing stale behind.
    std::uint32_t length = 0;
    const bool opened = read_file_prefix(path, image.buffer.data(), IMAGE_CAPACITY, length);
    image.file_length = opened ? length : 0;
    std::fill(image.buffer.begin() + image.file_length, image.buffer.end(), std::uint8_t{0});
    if (!opened) {
        image.computed_checksum = 0;
        image.stored_checksum = 0;
        return LoadOutcome::not_found;
    }
    return check_update_image(image);
}

}  // namespace kestrune
