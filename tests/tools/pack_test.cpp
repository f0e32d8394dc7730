#include "tools/pack.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "image/update_image.hpp"
#include "tests/support/scratch_folder.hpp"

namespace kestrune::pack {
namespace {

std::unique_ptr<UpdateImage> checked_image(const std::vector<std::uint8_t>& file,
                                           LoadOutcome& outcome) {
    auto image = std::make_unique<UpdateImage>();
    std::copy(file.begin(), file.end(), image->buffer.begin());
    image->file_length = static_cast<std::uint32_t>(file.size());
    outcome = check_update_image(*image);
    return image;
}

TEST(BuildUpdateFile, ImageThenVersionThenChecksumThatTheUpdaterAccepts) {
    for (const std::uint32_t size : {0U, 1U, 511U, 512U, 513U, 10'000U}) {
        SCOPED_TRACE(size);
        const std::vector<std::uint8_t> image = sample_image(size);
        std::vector<std::uint8_t> file;
        ASSERT_EQ(build_update_file(image, {7, 200}, file), BuildOutcome::built);
        ASSERT_EQ(file.size(), size + TRAILER_SIZE);
        EXPECT_TRUE(std::equal(image.begin(), image.end(), file.begin()));

        LoadOutcome outcome{};
        const auto loaded = checked_image(file, outcome);
        ASSERT_EQ(outcome, LoadOutcome::loaded);
        EXPECT_EQ(loaded->image_length(), size);
        EXPECT_EQ(loaded->new_major(), 7);
        EXPECT_EQ(loaded->new_minor(), 200);
    }
}

TEST(BuildUpdateFile, RefusesAnImageTheUpdaterCannotCarry) {
    std::vector<std::uint8_t> file{1, 2, 3};
    std::vector<std::uint8_t> image(MAX_IMAGE_LENGTH + 1);
    EXPECT_EQ(build_update_file(image, {1, 0}, file), BuildOutcome::image_too_large);
    EXPECT_TRUE(file.empty());

    image.pop_back();
    ASSERT_EQ(build_update_file(image, {1, 0}, file), BuildOutcome::built);
    EXPECT_EQ(file.size(), IMAGE_CAPACITY);
    LoadOutcome outcome{};
    checked_image(file, outcome);
    EXPECT_EQ(outcome, LoadOutcome::loaded);
}

TEST(SampleImage, SameBytesOnEveryRunAndVaried) {
    const std::vector<std::uint8_t> sample = sample_image(100'000);
    ASSERT_EQ(sample.size(), 100'000U);
    EXPECT_EQ(sample, sample_image(100'000));
    const std::vector<std::uint8_t> shorter = sample_image(1'000);
    EXPECT_TRUE(std::equal(shorter.begin(), shorter.end(), sample.begin()));
    // Pins the generator: demo and end-to-end files must not change under them.
    EXPECT_EQ(image_checksum(sample.data(), 100'000, 0), 0x5EDC);
    std::vector<int> seen(256);
    for (const std::uint8_t byte : sample) {
        ++seen[byte];
    }
    EXPECT_TRUE(std::all_of(seen.begin(), seen.end(), [](int count) { return count > 250; }));
}

TEST(DescribeUpdateFile, GoodBadShortAndLongFiles) {
    std::vector<std::uint8_t> good;
    ASSERT_EQ(build_update_file(sample_image(1'000), {2, 9}, good), BuildOutcome::built);

    const UpdateFileDescription described = describe_update_file(good);
    EXPECT_TRUE(described.has_trailer);
    EXPECT_TRUE(described.checksum_good);
    EXPECT_FALSE(described.cut_short);
    EXPECT_EQ(described.read_length, 1'004U);
    EXPECT_EQ(described.image_length, 1'000U);
    EXPECT_EQ(described.version.major_number, 2);
    EXPECT_EQ(described.version.minor_number, 9);
    EXPECT_EQ(described.stored_checksum, good[1'002] << 8 | good[1'003]);
    EXPECT_EQ(described.computed_checksum, described.stored_checksum);

    std::vector<std::uint8_t> bad = good;
    bad[500] ^= 0x04;
    const UpdateFileDescription bad_description = describe_update_file(bad);
    EXPECT_TRUE(bad_description.has_trailer);
    EXPECT_FALSE(bad_description.checksum_good);
    EXPECT_EQ(bad_description.stored_checksum, described.stored_checksum);
    EXPECT_NE(bad_description.computed_checksum, described.computed_checksum);

    for (std::size_t length = 0; length < TRAILER_SIZE; ++length) {
        const std::vector<std::uint8_t> short_file(good.begin(), good.begin() + length);
        const UpdateFileDescription short_description = describe_update_file(short_file);
        EXPECT_FALSE(short_description.has_trailer) << length;
        EXPECT_FALSE(short_description.checksum_good) << length;
        EXPECT_EQ(short_description.read_length, length);
    }

    // Past the capacity the updater sees only the first 5,000,000 bytes.
    std::vector<std::uint8_t> longest;
    ASSERT_EQ(build_update_file(sample_image(MAX_IMAGE_LENGTH), {4, 4}, longest),
              BuildOutcome::built);
    longest.insert(longest.end(), {0xDE, 0xAD});
    const UpdateFileDescription long_description = describe_update_file(longest);
    EXPECT_TRUE(long_description.cut_short);
    EXPECT_TRUE(long_description.checksum_good);
    EXPECT_EQ(long_description.read_length, IMAGE_CAPACITY);
    EXPECT_EQ(long_description.image_length, MAX_IMAGE_LENGTH);
}

TEST(ParseVersion, AcceptsTwoDecimalBytes) {
    struct Case {
        const char* text;
        bool good;
        std::uint8_t major_number;
        std::uint8_t minor_number;
    };
    const Case cases[] = {
        {"0.0", true, 0, 0},     {"1.2", true, 1, 2},    {"255.255", true, 255, 255},
        {"007.10", true, 7, 10}, {"", false, 0, 0},      {"1", false, 0, 0},
        {"1.", false, 0, 0},     {".1", false, 0, 0},    {"256.0", false, 0, 0},
        {"1.256", false, 0, 0},  {"1.2.3", false, 0, 0}, {"-1.2", false, 0, 0},
        {"+1.2", false, 0, 0},   {" 1.2", false, 0, 0},  {"1.2 ", false, 0, 0},
        {"1,2", false, 0, 0},    {"0x1.2", false, 0, 0}, {"4294967297.1", false, 0, 0},
    };
    for (const Case& c : cases) {
        FirmwareVersion version{99, 99};
        EXPECT_EQ(parse_version(c.text, version), c.good) << '"' << c.text << '"';
        if (c.good) {
            EXPECT_EQ(version.major_number, c.major_number) << c.text;
            EXPECT_EQ(version.minor_number, c.minor_number) << c.text;
        } else {
            EXPECT_EQ(version.major_number, 99) << "changed on failure: " << c.text;
        }
    }
}

TEST(ParseSize, DecimalCountUpToTheLimit) {
    std::uint32_t size = 0;
    EXPECT_TRUE(parse_size("0", 10, size));
    EXPECT_EQ(size, 0U);
    EXPECT_TRUE(parse_size("4999996", MAX_IMAGE_LENGTH, size));
    EXPECT_EQ(size, MAX_IMAGE_LENGTH);
    for (const char* bad : {"", "4999997", "-1", "1e3", " 5", "99999999999999999999"}) {
        EXPECT_FALSE(parse_size(bad, MAX_IMAGE_LENGTH, size)) << '"' << bad << '"';
    }
}

TEST(FileBytes, WriteThenReadWithinAndBeyondTheLimit) {
    const testing::ScratchFolder folder;
    const std::vector<std::uint8_t> bytes = sample_image(3'000);
    const std::string path = folder.file("bytes.bin");
    ASSERT_TRUE(write_file_bytes(path, bytes));

    std::vector<std::uint8_t> read;
    EXPECT_EQ(read_file_bytes(path, 3'000, read), ReadOutcome::read);
    EXPECT_EQ(read, bytes);
    EXPECT_EQ(read_file_bytes(path, 2'999, read), ReadOutcome::longer_than_limit);
    EXPECT_EQ(read.size(), 3'000U);

    std::error_code error;
    EXPECT_EQ(read_file_bytes(folder.file("missing"), 10, read, error), ReadOutcome::cannot_read);
    EXPECT_EQ(error, std::errc::no_such_file_or_directory);
    EXPECT_EQ(read_file_bytes(folder.path().string(), 10, read), ReadOutcome::not_regular_file);
    EXPECT_FALSE(write_file_bytes(folder.file("no-such-folder/out.fwu"), bytes, error));
    EXPECT_EQ(error, std::errc::no_such_file_or_directory);
}

}  // namespace
}  // namespace kestrune::pack
