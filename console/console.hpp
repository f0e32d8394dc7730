// The console the dialogue runs in.
//
// Implementations: the Windows console, a POSIX terminal, standard input and
// output when there is no console at all, and a scripted console in tests.
#pragma once

#include <string_view>

namespace kestrune {

class Console {
  public:
    virtual ~Console() = default;

    // Writes text to standard output. "\n" is a line end; on a console the
    // text is on the screen when this returns.
    virtual void write_text(std::string_view text) = 0;

    // Returns the character of the next key press that produces one. Key
    // presses that produce no character are consumed and skipped; later events
    // stay queued. Without a keyboard, the answer comes from standard input and
    // the end of it reads as 'N'.
    virtual char read_key() = 0;

    // True when a key press is waiting; nothing is removed.
    virtual bool key_waiting() = 0;

    // Moves the cursor to column 1 of its current row on the console screen.
    // Has no effect when output is not a console.
    virtual void cursor_to_line_start() = 0;

    // False when there is no keyboard to wait on (input and output are files
    // or pipes): a wait for a key then ends at once.
    virtual bool has_keyboard() const = 0;
};

}  // namespace kestrune

namespace kestrune {
// The console the program runs in, alive for the whole process.
Console& system_console();
}  // namespace kestrune
