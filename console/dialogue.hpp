// What the user sees and answers: versions, the question, the progress line.
#pragma once

#include <cstdint>

#include "console/console.hpp"
#include "protocol/version_report.hpp"

namespace kestrune {

enum class Answer { accepted, declined };

struct Progress {
    // Starts at 1 so that the first percentage, 0, is shown.
    std::uint8_t last_shown = 1;
};

void show_versions(Console& console, const VersionReport& report, std::uint8_t new_major,
                   std::uint8_t new_minor);

// Asks "Do you want to continue (Y or N)? " and waits for y, Y, n or N.
Answer confirm_update(Console& console);

// Rewrites the progress row when the percentage changed; image_length > offset.
void show_progress(Console& console, Progress& progress, std::uint32_t offset,
                   std::uint32_t image_length);

}  // namespace kestrune
