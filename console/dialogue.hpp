// What the user sees and answers: versions, the question, the progress line.
#pragma once

#include <cstdint>

#include "console/console.hpp"

namespace kestrune {

enum class Answer { accepted, declined };

struct Progress {
    // Starts at 1 so that the first percentage, 0, is shown.
    std::uint8_t last_shown = 1;
};

// A firmware version as the device and the update file give it.
struct Version {
    std::uint8_t major = 0;
    std::uint8_t minor = 0;
};

// 255.255 as the old version: the device holds no main firmware.
inline constexpr Version NO_FIRMWARE{0xFF, 0xFF};

void show_versions(Console& console, Version bootloader, Version old_firmware,
                   Version new_firmware);

// Asks "Do you want to continue (Y or N)? " and waits for y, Y, n or N.
Answer confirm_update(Console& console);

// Rewrites the progress row when the percentage changed; image_length > offset.
void show_progress(Console& console, Progress& progress, std::uint32_t offset,
                   std::uint32_t image_length);

}  // namespace kestrune
