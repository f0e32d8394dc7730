#include "console/dialogue.hpp"

#include <string>

namespace kestrune {

namespace {

std::string version_text(std::uint8_t major, std::uint8_t minor) {
    return std::to_string(major) + "." + std::to_string(minor) + "\n";
}

// A minor number of 100 or more weighs like a higher major number.
int version_weight(std::uint8_t major, std::uint8_t minor) {
    return major * 100 + minor;
}

}  // namespace

void show_versions(Console& console, Version bootloader, Version old_firmware,
                   Version new_firmware) {
    console.write_text("Bootloader firmware version: " +
                       version_text(bootloader.major, bootloader.minor));
    console.write_text("New main firmware version: " +
                       version_text(new_firmware.major, new_firmware.minor));
    if (old_firmware.major == NO_FIRMWARE.major && old_firmware.minor == NO_FIRMWARE.minor) {
        console.write_text("Old main firmware not found. \n");
        return;
    }
    console.write_text("Old main firmware version: " +
                       version_text(old_firmware.major, old_firmware.minor));
    if (version_weight(old_firmware.major, old_firmware.minor) >
        version_weight(new_firmware.major, new_firmware.minor)) {
        console.write_text("This firmvare has more early version. \n");
    }
    if (old_firmware.major == new_firmware.major && old_firmware.minor == new_firmware.minor) {
        console.write_text("This firmvare has identical version. \n");
    }
}

Answer confirm_update(Console& console) {
    console.write_text("Do you want to continue (Y or N)? ");
    for (;;) {
        const char key = console.read_key();
        if (key == 'y' || key == 'Y') {
            console.write_text("Y \n");
            return Answer::accepted;
        }
        if (key == 'n' || key == 'N') {
            console.write_text("N \n");
            return Answer::declined;
        }
    }
}

void show_progress(Console& console, Progress& progress, std::uint32_t offset,
                   std::uint32_t image_length) {
    // 32-bit arithmetic: offsets stay below 5,000,000, so offset * 100 fits.
    const auto percentage = static_cast<std::uint8_t>(offset * 100U / image_length);
    if (percentage != progress.last_shown) {
        console.cursor_to_line_start();
        console.write_text("Load: " + std::to_string(percentage) + " %");
    }
    progress.last_shown = percentage;
}

}  // namespace kestrune
