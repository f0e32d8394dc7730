#include "image/regular_file_posix.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace kestrune {

RegularFile::RegularFile(const char* path)
    : fd_(::open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC)) {
    if (fd_ < 0) {
        error_ = errno;
        return;
    }
    struct stat status {};
    if (::fstat(fd_, &status) != 0) {
        error_ = errno;
        ::close(fd_);
        fd_ = -1;
        return;
    }
    regular_ = S_ISREG(status.st_mode);
}

RegularFile::~RegularFile() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

}  // namespace kestrune
