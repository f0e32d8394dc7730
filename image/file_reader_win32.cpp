// Update file reading with the Win32 file API.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "image/file_reader.hpp"

namespace kestrune {

namespace {

class FileHandle {
  public:
    explicit FileHandle(HANDLE handle) : handle_(handle) {}
    ~FileHandle() {
        if (handle_ != INVALID_HANDLE_VALUE) {
            CloseHandle(handle_);
        }
    }
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;

    HANDLE get() const { return handle_; }
    bool is_open() const { return handle_ != INVALID_HANDLE_VALUE; }

  private:
    HANDLE handle_;
};

}  // namespace

bool read_file_prefix(const char* path, std::uint8_t* dest, std::uint32_t capacity,
                      std::uint32_t& length) {
    length = 0;
    // Existing files only, and others may keep reading and writing the file
    // while we hold it. The handle closes on return.
    const FileHandle file(CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.is_open()) {
        return false;
    }
    DWORD count = 0;
    // One read request. Should it fail part-way, count holds what the call
    // reports as read and the checksum test decides.
    ReadFile(file.get(), dest, static_cast<DWORD>(capacity), &count, nullptr);
    length = count <= capacity ? static_cast<std::uint32_t>(count) : capacity;
    return true;
}

}  // namespace kestrune
