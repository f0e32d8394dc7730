// Which key presses of the Windows console count as a key waiting.
//
// The virtual-key codes are plain numbers here, so the rule holds no system
// header and can be checked on any machine.
#pragma once

#include <cstdint>

namespace kestrune {

// Keys that count although some of them produce no character: editing and
// cursor keys, F1 to F12, the keypad, and the letter, digit and punctuation
// keys (those count with Ctrl too, where Ctrl+2 for one produces nothing).
constexpr bool is_counted_virtual_key(std::uint16_t virtual_key) {
    const auto within = [virtual_key](std::uint16_t first, std::uint16_t last) {
        return virtual_key >= first && virtual_key <= last;
    };
    return within(0x08, 0x09)       // Backspace, Tab
           || virtual_key == 0x0C   // Clear: keypad 5 without Num Lock
           || virtual_key == 0x0D   // Enter, also the keypad's
           || virtual_key == 0x1B   // Esc
           || within(0x20, 0x28)    // space, Page Up, Page Down, End, Home, the cursor keys
           || within(0x2D, 0x2E)    // Insert, Delete
           || within(0x30, 0x39)    // 0 to 9
           || within(0x41, 0x5A)    // A to Z
           || within(0x60, 0x6F)    // keypad digits and operators
           || within(0x70, 0x7B)    // F1 to F12
           || within(0xBA, 0xC0)    // punctuation keys
           || within(0xDB, 0xDF)    // more punctuation keys
           || virtual_key == 0xE2;  // the extra key beside left Shift
}

// A key press (not a release) counts when it produces a character or is one of
// the keys above. Shift, Ctrl or Alt alone, the lock keys, Pause, Print Screen,
// the Windows and menu keys produce nothing and are not listed.
constexpr bool counts_as_key_waiting(bool key_down, std::uint16_t virtual_key,
                                     std::uint16_t character) {
    return key_down && (character != 0 || is_counted_virtual_key(virtual_key));
}

}  // namespace kestrune
