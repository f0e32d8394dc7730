// Reading input files on POSIX systems, with plain file descriptors.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "tools/pack.hpp"

namespace kestrune::pack {

namespace {

class FileDescriptor {
  public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    int get() const { return fd_; }

  private:
    int fd_;
};

std::error_code last_error() {
    return {errno, std::generic_category()};
}

}  // namespace

ReadOutcome read_file_bytes(const std::string& path, std::uint32_t limit,
                            std::vector<std::uint8_t>& bytes, std::error_code& error) {
    bytes.clear();
    error.clear();
    // Without O_NONBLOCK, opening a FIFO waits until something opens it for
    // writing, which may be never. Regular files ignore the flag.
    const FileDescriptor file(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (file.get() < 0) {
        error = last_error();
        return ReadOutcome::cannot_read;
    }
    struct stat status {};
    if (::fstat(file.get(), &status) != 0) {
        error = last_error();
        return ReadOutcome::cannot_read;
    }
    if (!S_ISREG(status.st_mode)) {
        return ReadOutcome::not_regular_file;
    }
    // One byte more than the limit tells a file that is too long.
    bytes.resize(std::size_t{limit} + 1);
    std::size_t length = 0;
    while (length < bytes.size()) {
        const ssize_t count = ::read(file.get(), bytes.data() + length, bytes.size() - length);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0) {
            error = last_error();
            bytes.clear();
            return ReadOutcome::cannot_read;
        }
        if (count == 0) {
            break;
        }
        length += static_cast<std::size_t>(count);
    }
    bytes.resize(length);
    return length > limit ? ReadOutcome::longer_than_limit : ReadOutcome::read;
}

}  // namespace kestrune::pack
