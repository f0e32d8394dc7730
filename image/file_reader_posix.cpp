// Update file reading with the C library's buffered files.
#include <sys/stat.h>

#include <cstdio>
#include <memory>

#include "image/file_reader.hpp"

namespace kestrune {

namespace {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

}  // namespace

bool read_file_prefix(const char* path, std::uint8_t* dest, std::uint32_t capacity,
                      std::uint32_t& length) {
    length = 0;
    // "rb": no line-end or end-of-file translation; the file closes on return.
    const std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path, "rb"));
    if (!file) {
        return false;
    }
    // The C library opens a folder for reading too; like Windows, call that a
    // file that cannot be opened rather than an empty one.
    struct stat status {};
    if (fstat(fileno(file.get()), &status) == 0 && S_ISDIR(status.st_mode)) {
        return false;
    }
    const std::size_t count = std::fread(dest, 1, capacity, file.get());
    length = static_cast<std::uint32_t>(count);  // fread never returns more than capacity
    return true;
}

}  // namespace kestrune
