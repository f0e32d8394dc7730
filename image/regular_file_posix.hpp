// Opening a file for reading only when it is a regular file, without ever
// waiting: shared by the updater's file reader and kestrune-pack on POSIX.
#pragma once

namespace kestrune {

class RegularFile {
  public:
    // Without O_NONBLOCK, opening a FIFO waits for a writer that may never
    // come; a regular file ignores the flag.
    explicit RegularFile(const char* path);
    ~RegularFile();
    RegularFile(const RegularFile&) = delete;
    RegularFile& operator=(const RegularFile&) = delete;

    // Open, and a regular file.
    bool usable() const { return fd_ >= 0 && regular_; }
    // Open, but a folder, FIFO, device or socket.
    bool not_regular() const { return fd_ >= 0 && !regular_; }
    // errno of the opening or of its check; 0 when both worked.
    int error() const { return error_; }
    int fd() const { return fd_; }

  private:
    int fd_ = -1;
    bool regular_ = false;
    int error_ = 0;
};

}  // namespace kestrune
