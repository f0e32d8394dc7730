// Reading input files on Windows, with the C library's files.
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <system_error>

#include "tools/pack.hpp"

namespace kestrune::pack {

namespace {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

}  // namespace

ReadOutcome read_file_bytes(const std::string& path, std::uint32_t limit,
                            std::vector<std::uint8_t>& bytes, std::error_code& error) {
    bytes.clear();
    error.clear();
    // Folders, devices and pipes are no input; ask before opening.
    const std::filesystem::file_status status = std::filesystem::status(path, error);
    if (error) {
        return ReadOutcome::cannot_read;
    }
    if (!std::filesystem::is_regular_file(status)) {
        return ReadOutcome::not_regular_file;
    }
    const std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
    if (!file) {
        error = {errno, std::generic_category()};
        return ReadOutcome::cannot_read;
    }
    // One byte more than the limit tells a file that is too long.
    bytes.resize(std::size_t{limit} + 1);
    const std::size_t length = std::fread(bytes.data(), 1, bytes.size(), file.get());
    if (std::ferror(file.get())) {
        error = std::make_error_code(std::errc::io_error);
        bytes.clear();
        return ReadOutcome::cannot_read;
    }
    bytes.resize(length);
    return length > limit ? ReadOutcome::longer_than_limit : ReadOutcome::read;
}

}  // namespace kestrune::pack
