#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <future>
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

// A unix socket bound to path; the socket is closed with the object.
class BoundSocket {
  public:
    explicit BoundSocket(const std::string& path) : fd_(::socket(AF_UNIX, SOCK_STREAM, 0)) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        bound_ = fd_ >= 0 && path.size() < sizeof address.sun_path &&
                 ::bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    }
    ~BoundSocket() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    BoundSocket(const BoundSocket&) = delete;
    BoundSocket& operator=(const BoundSocket&) = delete;
    bool bound() const { return bound_; }

  private:
    int fd_;
    bool bound_ = false;
};

TEST_F(LoadUpdateFile, AnythingButARegularFileIsNotFoundAndNeverBlocks) {
    const std::string fifo = folder_.file("fifo.fwu");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string socket_path = folder_.file("socket.fwu");
    const BoundSocket socket(socket_path);
    ASSERT_TRUE(socket.bound());

    for (const std::string& path :
         {fifo, std::string("/dev/null"), std::string("/dev/zero"), socket_path}) {
        SCOPED_TRACE(path);
        auto loading = std::async(std::launch::async, [&] {
            auto image = std::make_unique<UpdateImage>();
            return load_update_file(*image, path.c_str());
        });
        if (loading.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
            // Stuck in the opening of a FIFO that has no writer: give it one
            // that writes nothing, so that the loader comes back.
            ::close(::open(path.c_str(), O_WRONLY | O_NONBLOCK));
            ADD_FAILURE() << "the loader blocked";
        }
        EXPECT_EQ(loading.get(), LoadOutcome::not_found);
    }
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
