#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "image/update_image.hpp"
#include "tests/support/scratch_folder.hpp"
#include "update_file_bytes.hpp"

namespace kestrune {
namespace {

namespace fs = std::filesystem;
using testing::make_update_file;
using testing::pattern_bytes;

class LoadUpdateFile : public ::testing::Test {
  protected:
    testing::ScratchFolder folder_;
    std::unique_ptr<UpdateImage> image_ = std::make_unique<UpdateImage>();
};

bool all_zero_from(const UpdateImage& image, std::size_t from) {
    return std::all_of(image.buffer.begin() + static_cast<std::ptrdiff_t>(from), image.buffer.end(),
                       [](std::uint8_t byte) { return byte == 0; });
}

TEST_F(LoadUpdateFile, MissingFileOrAFolderIsNotFound) {
    EXPECT_EQ(load_update_file(*image_, folder_.file("Kestrune.fwu").c_str()),
              LoadOutcome::not_found);
    EXPECT_EQ(load_update_file(*image_, folder_.path().string().c_str()), LoadOutcome::not_found);
}

TEST_F(LoadUpdateFile, EmptyFileIsAChecksumError) {
    const std::string path = folder_.write("Kestrune.fwu", {});
    EXPECT_EQ(load_update_file(*image_, path.c_str()), LoadOutcome::checksum_error);
    EXPECT_EQ(image_->file_length, 0U);
}

TEST_F(LoadUpdateFile, HundredThousandByteFile) {
    const std::vector<std::uint8_t> file = make_update_file(pattern_bytes(99'996), 4, 1);
    ASSERT_EQ(file.size(), 100'000U);
    const std::string path = folder_.write("Kestrune.fwu", file);

    ASSERT_EQ(load_update_file(*image_, path.c_str()), LoadOutcome::loaded);
    EXPECT_EQ(image_->file_length, 100'000U);
    EXPECT_EQ(image_->image_length(), 99'996U);
    EXPECT_EQ(image_->new_major(), 4);
    EXPECT_EQ(image_->new_minor(), 1);
    EXPECT_TRUE(std::equal(file.begin(), file.end(), image_->buffer.begin()));
    EXPECT_TRUE(all_zero_from(*image_, file.size()));
}

TEST_F(LoadUpdateFile, BytesPastTheFileAreZeroEvenInAReusedImage) {
    std::fill(image_->buffer.begin(), image_->buffer.end(), std::uint8_t{0xEE});
    const std::vector<std::uint8_t> file = make_update_file(pattern_bytes(1'000), 1, 1);
    const std::string path = folder_.write("Kestrune.fwu", file);

    ASSERT_EQ(load_update_file(*image_, path.c_str()), LoadOutcome::loaded);
    EXPECT_TRUE(all_zero_from(*image_, file.size()));
}

TEST_F(LoadUpdateFile, OnlyTheFirstFiveMillionBytesAreRead) {
    // A valid update file of exactly the capacity, then more bytes: the tail
    // is never read, so the file passes.
    std::vector<std::uint8_t> file =
        make_update_file(pattern_bytes(IMAGE_CAPACITY - TRAILER_SIZE), 9, 9);
    file.insert(file.end(), 10, std::uint8_t{0xAB});
    ASSERT_EQ(load_update_file(*image_, folder_.write("long.fwu", file).c_str()),
              LoadOutcome::loaded);
    EXPECT_EQ(image_->file_length, IMAGE_CAPACITY);
    EXPECT_EQ(image_->image_length(), IMAGE_CAPACITY - TRAILER_SIZE);
    EXPECT_TRUE(all_zero_from(*image_, IMAGE_CAPACITY));

    // A file whose valid trailer sits at its real end, past the capacity, fails.
    const std::vector<std::uint8_t> too_long =
        make_update_file(pattern_bytes(IMAGE_CAPACITY), 9, 9);
    EXPECT_EQ(load_update_file(*image_, folder_.write("too-long.fwu", too_long).c_str()),
              LoadOutcome::checksum_error);
    EXPECT_EQ(image_->file_length, IMAGE_CAPACITY);
}

TEST_F(LoadUpdateFile, FileIsClosedOnEveryOutcome) {
    const fs::path open_files = "/proc/self/fd";
    if (!fs::is_directory(open_files)) {
        GTEST_SKIP() << "no " << open_files << " to count open files";
    }
    const auto count_open = [&] {
        return std::distance(fs::directory_iterator(open_files), fs::directory_iterator{});
    };
    const std::string good = folder_.write("good.fwu", make_update_file(pattern_bytes(10), 1, 2));
    const std::string bad = folder_.write("bad.fwu", {1, 2, 3, 4, 5});
    const std::string short_file = folder_.write("short.fwu", {1, 2});

    const auto before = count_open();
    EXPECT_EQ(load_update_file(*image_, good.c_str()), LoadOutcome::loaded);
    EXPECT_EQ(load_update_file(*image_, bad.c_str()), LoadOutcome::checksum_error);
    EXPECT_EQ(load_update_file(*image_, short_file.c_str()), LoadOutcome::checksum_error);
    EXPECT_EQ(count_open(), before);
}

}  // namespace
}  // namespace kestrune
