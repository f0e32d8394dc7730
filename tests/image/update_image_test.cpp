#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "image/update_image.hpp"
#include "update_file_bytes.hpp"

namespace kestrune {
namespace {

using testing::image_holding;
using testing::make_update_file;
using testing::pattern_bytes;

TEST(CheckUpdateImage, GoodFileLoadsWithItsVersionAndLength) {
    const auto image = image_holding(make_update_file(pattern_bytes(1'000), 3, 250));
    ASSERT_EQ(check_update_image(*image), LoadOutcome::loaded);
    EXPECT_EQ(image->image_length(), 1'000U);
    EXPECT_EQ(image->new_major(), 3);
    EXPECT_EQ(image->new_minor(), 250);
    EXPECT_EQ(image->computed_checksum, image->stored_checksum);
}

TEST(CheckUpdateImage, FourByteFileHasAnEmptyImage) {
    const std::vector<std::uint8_t> file = make_update_file({}, 1, 2);
    ASSERT_EQ(file.size(), 4U);
    const auto image = image_holding(file);
    ASSERT_EQ(check_update_image(*image), LoadOutcome::loaded);
    EXPECT_EQ(image->image_length(), 0U);
    EXPECT_EQ(image->new_major(), 1);
    EXPECT_EQ(image->new_minor(), 2);
}

TEST(CheckUpdateImage, FilesWithoutAWholeTrailerAreChecksumErrors) {
    // Each of these would pass if the missing bytes were taken from before the
    // buffer or as a checksum of nothing: the seed is 0x56A8.
    const std::vector<std::vector<std::uint8_t>> short_files{
        {}, {0x56}, {0x56, 0xA8}, {0x00, 0x56, 0xA8}, {0xFF, 0xFF, 0xFF}};
    for (const auto& file : short_files) {
        SCOPED_TRACE(file.size());
        const auto image = image_holding(file);
        EXPECT_EQ(check_update_image(*image), LoadOutcome::checksum_error);
    }
}

TEST(CheckUpdateImage, LengthBeyondWhatIsReadIsAChecksumError) {
    auto image = std::make_unique<UpdateImage>();
    image->file_length = IMAGE_CAPACITY + 1;
    EXPECT_EQ(check_update_image(*image), LoadOutcome::checksum_error);
}

TEST(CheckUpdateImage, StoredChecksumIsReadHighByteFirst) {
    std::vector<std::uint8_t> file = make_update_file(pattern_bytes(64), 1, 0);
    const std::size_t high = file.size() - 2;
    const std::size_t low = file.size() - 1;
    ASSERT_NE(file[high], file[low]) << "pick an image whose checksum bytes differ";
    std::swap(file[high], file[low]);
    EXPECT_EQ(check_update_image(*image_holding(file)), LoadOutcome::checksum_error);
}

TEST(CheckUpdateImage, AnyChangedImageOrVersionByteFails) {
    const std::vector<std::uint8_t> good = make_update_file(pattern_bytes(300), 2, 7);
    auto image = image_holding(good);
    // Every byte the checksum covers: the whole image and both version bytes.
    for (std::size_t at = 0; at + 2 < good.size(); ++at) {
        for (const std::uint8_t flip : {0x01, 0x80, 0xFF}) {
            image->buffer[at] = static_cast<std::uint8_t>(good[at] ^ flip);
            ASSERT_EQ(check_update_image(*image), LoadOutcome::checksum_error)
                << "byte " << at << " xor " << int{flip};
        }
        image->buffer[at] = good[at];
    }
    EXPECT_EQ(check_update_image(*image), LoadOutcome::loaded);
}

// The same load as from a file, on bytes in memory: the first five million
// bytes only, and zeros after them even where an earlier file left bytes.
TEST(LoadUpdateBytes, TakesTheFirstFiveMillionBytesAndClearsWhatFollows) {
    auto image = std::make_unique<UpdateImage>();
    const std::vector<std::uint8_t> too_long =
        make_update_file(pattern_bytes(IMAGE_CAPACITY), 9, 9);
    EXPECT_EQ(load_update_bytes(*image, too_long), LoadOutcome::checksum_error);
    EXPECT_EQ(image->file_length, IMAGE_CAPACITY);

    const std::vector<std::uint8_t> file = make_update_file(pattern_bytes(700), 4, 5);
    ASSERT_EQ(load_update_bytes(*image, file), LoadOutcome::loaded);
    EXPECT_EQ(image->file_length, file.size());
    EXPECT_TRUE(std::equal(file.begin(), file.end(), image->buffer.begin()));
    EXPECT_TRUE(std::all_of(image->buffer.begin() + static_cast<std::ptrdiff_t>(file.size()),
                            image->buffer.end(), [](std::uint8_t byte) { return byte == 0; }));
}

}  // namespace
}  // namespace kestrune
