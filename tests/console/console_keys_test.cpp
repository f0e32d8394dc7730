// Which Windows console key presses count as a key waiting.
#include "console/console_keys.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace kestrune {
namespace {

struct KeyCase {
    const char* name;
    bool down;
    std::uint16_t virtual_key;
    std::uint16_t character;
    bool counts;
};

TEST(ConsoleKeys, KeyPressesThatCountAsWaiting) {
    const std::vector<KeyCase> cases = {
        {"y", true, 0x59, 'y', true},
        {"Shift+Y", true, 0x59, 'Y', true},
        {"Ctrl+Y", true, 0x59, 25, true},
        {"Ctrl+C", true, 0x43, 3, true},
        {"Ctrl+2, no character", true, 0x32, 0, true},
        {"comma", true, 0xBC, ',', true},
        {"Enter", true, 0x0D, '\r', true},
        {"Esc", true, 0x1B, 27, true},
        {"Tab", true, 0x09, '\t', true},
        {"Backspace", true, 0x08, 8, true},
        {"space", true, 0x20, ' ', true},
        {"cursor left", true, 0x25, 0, true},
        {"cursor down", true, 0x28, 0, true},
        {"Page Up", true, 0x21, 0, true},
        {"Home", true, 0x24, 0, true},
        {"Insert", true, 0x2D, 0, true},
        {"Delete", true, 0x2E, 0, true},
        {"F1", true, 0x70, 0, true},
        {"F12", true, 0x7B, 0, true},
        {"keypad 0", true, 0x60, '0', true},
        {"keypad +", true, 0x6B, '+', true},
        {"keypad 5 without Num Lock", true, 0x0C, 0, true},
        {"a character from elsewhere", true, 0xE7, 0xE4, true},
        {"y released", false, 0x59, 'y', false},
        {"F1 released", false, 0x70, 0, false},
        {"F13", true, 0x7C, 0, false},
        {"Shift", true, 0x10, 0, false},
        {"Ctrl", true, 0x11, 0, false},
        {"Alt", true, 0x12, 0, false},
        {"left Shift", true, 0xA0, 0, false},
        {"right Alt", true, 0xA5, 0, false},
        {"Caps Lock", true, 0x14, 0, false},
        {"Num Lock", true, 0x90, 0, false},
        {"Scroll Lock", true, 0x91, 0, false},
        {"Pause", true, 0x13, 0, false},
        {"Print Screen", true, 0x2C, 0, false},
        {"left Windows", true, 0x5B, 0, false},
        {"right Windows", true, 0x5C, 0, false},
        {"menu", true, 0x5D, 0, false},
    };
    for (const KeyCase& key : cases) {
        EXPECT_EQ(counts_as_key_waiting(key.down, key.virtual_key, key.character), key.counts)
            << key.name;
    }
}

}  // namespace
}  // namespace kestrune
