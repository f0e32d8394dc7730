#pragma once

#include <array>
#include <cstdint>

namespace kestrune {

// Bootloader major and minor, main firmware major and minor (FF FF: none).
struct VersionReport {
    std::array<std::uint8_t, 4> bytes{};

    std::uint8_t bootloader_major() const { return bytes[0]; }
    std::uint8_t bootloader_minor() const { return bytes[1]; }
    std::uint8_t firmware_major() const { return bytes[2]; }
    std::uint8_t firmware_minor() const { return bytes[3]; }
};

}  // namespace kestrune
