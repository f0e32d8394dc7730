// Update file reading with POSIX descriptors.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "image/file_reader.hpp"

namespace kestrune {

namespace {

class Descriptor {
  public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};

}  // namespace

bool read_file_prefix(const char* path, std::uint8_t* dest, std::uint32_t capacity,
                      std::uint32_t& length) {
    length = 0;
    // Without O_NONBLOCK, opening a FIFO waits for a writer that may never
    // come. Only a regular file is an update file: a folder, a FIFO, a device
    // or a socket is one that cannot be opened, as it is on Windows.
    const Descriptor file(::open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (file.get() < 0) {
        return false;
    }
    struct stat status {};
    if (::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
        return false;
    }
    // A regular file's read returns all that is there; repeat only after a
    // signal or should the system hand out less.
    while (length < capacity) {
        const ssize_t count = ::read(file.get(), dest + length, capacity - length);
        if (count > 0) {
            length += static_cast<std::uint32_t>(count);  // never more than asked
        } else if (count == 0 || errno != EINTR) {
            break;
        }
    }
    return true;
}

}  // namespace kestrune
