// Reading input files on POSIX systems, with plain file descriptors.
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "image/regular_file_posix.hpp"
#include "tools/pack.hpp"

namespace kestrune::pack {

namespace {

std::error_code last_error() {
    return {errno, std::generic_category()};
}

}  // namespace

ReadOutcome read_file_bytes(const std::string& path, std::uint32_t limit,
                            std::vector<std::uint8_t>& bytes, std::error_code& error) {
    bytes.clear();
    error.clear();
    const RegularFile file(path.c_str());
    if (file.not_regular()) {
        return ReadOutcome::not_regular_file;
    }
    if (!file.usable()) {
        error = {file.error(), std::generic_category()};
        return ReadOutcome::cannot_read;
    }
    // One byte more than the limit tells a file that is too long.
    bytes.resize(std::size_t{limit} + 1);
    std::size_t length = 0;
    while (length < bytes.size()) {
        const ssize_t count = ::read(file.fd(), bytes.data() + length, bytes.size() - length);
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
