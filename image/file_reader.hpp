// Reading the update file: the one place the image library touches the file
// system. One implementation per platform, chosen by the build.
#pragma once

#include <cstdint>

namespace kestrune {

// Opens the file at path for binary reading (existing files only; others may
// still read and write it), reads up to capacity bytes into dest in one read
// request and closes it again on every path. Returns false when the file
// cannot be opened; otherwise true, with length set to the number of bytes the
// read returned (fewer than the file holds when the read stops early). The
// bytes of dest from length on are left in an undefined state.
bool read_file_prefix(const char* path, std::uint8_t* dest, std::uint32_t capacity,
                      std::uint32_t& length);

}  // namespace kestrune
