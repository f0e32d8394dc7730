// The answer to the question when there is no keyboard: it comes from standard
// input, so the program can run in scripts (kestrune-update < answer.txt).
#pragma once

namespace kestrune {

inline constexpr int END_OF_INPUT = -1;

// Takes bytes from next_byte until one is y, Y, n or N and returns it; every
// other byte is passed over. The end of the input (END_OF_INPUT) reads as 'N',
// so a script that gives no answer never installs anything.
template <typename NextByte>
char read_answer(NextByte next_byte) {
    for (;;) {
        const int byte = next_byte();
        if (byte == END_OF_INPUT) {
            return 'N';
        }
        if (byte == 'y' || byte == 'Y' || byte == 'n' || byte == 'N') {
            return static_cast<char>(byte);
        }
    }
}

}  // namespace kestrune
