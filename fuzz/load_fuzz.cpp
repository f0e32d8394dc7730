// The update file loader on arbitrary file bytes: it must agree with
// kestrune-pack's description of the same bytes, leave only zeros past the
// file in the buffer, and give the same checksum in both of its forms.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>

#include "image/checksum.hpp"
#include "image/update_image.hpp"
#include "tools/pack.hpp"

namespace {

void check(bool holds, const char* what) {
    if (!holds) {
        std::fprintf(stderr, "load check failed: %s\n", what);
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace kestrune;
    // One image for every input, as a long-lived program keeps one: whatever
    // an earlier file left in the buffer must be gone.
    static const auto image = std::make_unique<UpdateImage>();
    static const auto zeros = std::make_unique<UpdateImage>();

    const std::span<const std::uint8_t> file(data, size);
    const LoadOutcome outcome = load_update_bytes(*image, file);
    const pack::UpdateFileDescription description = pack::describe_update_file(file);

    check(outcome != LoadOutcome::not_found, "bytes in memory reported as not found");
    check((outcome == LoadOutcome::loaded) == description.checksum_good,
          "the loader and kestrune-pack judge the checksum differently");
    check(image->file_length == description.read_length, "file lengths differ");
    check(std::equal(file.begin(), file.begin() + image->file_length, image->buffer.begin()),
          "the buffer does not hold the file's bytes");
    const std::size_t past = image->buffer.size() - image->file_length;
    check(std::memcmp(image->buffer.data() + image->file_length, zeros->buffer.data(), past) == 0,
          "a byte past the file is not zero");
    if (description.has_trailer) {
        check(image->computed_checksum == description.computed_checksum &&
                  image->stored_checksum == description.stored_checksum,
              "the loader and kestrune-pack compute different checksums");
        const std::uint32_t covered = image->file_length - 2;
        check(image_checksum(data, covered, CHECKSUM_SEED) ==
                  image_checksum_bytewise(data, covered, CHECKSUM_SEED),
              "the two checksum forms differ");
    }
    if (outcome == LoadOutcome::loaded) {
        check(image->image_length() == description.image_length &&
                  image->new_major() == description.version.major_number &&
                  image->new_minor() == description.version.minor_number,
              "the loader and kestrune-pack read different lengths or versions");
    }
    return 0;
}
