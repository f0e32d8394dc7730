// Update file reading with POSIX descriptors.
#include <unistd.h>

#include <cerrno>

#include "image/file_reader.hpp"
#include "image/regular_file_posix.hpp"

namespace kestrune {

bool read_file_prefix(const char* path, std::uint8_t* dest, std::uint32_t capacity,
                      std::uint32_t& length) {
    length = 0;
    // Only a regular file is an update file: a folder, a FIFO, a device or a
    // socket is one that cannot be opened, as it is on Windows.
    const RegularFile file(path);
    if (!file.usable()) {
        return false;
    }
    // A regular file's read returns all that is there; repeat only after a
    // signal or should the system hand out less.
    while (length < capacity) {
        const ssize_t count = ::read(file.fd(), dest + length, capacity - length);
        if (count > 0) {
            length += static_cast<std::uint32_t>(count);  // never more than asked
        } else if (count == 0 || errno != EINTR) {
            break;
        }
    }
    return true;
}

}  // namespace kestrune
