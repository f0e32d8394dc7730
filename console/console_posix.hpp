// The console on POSIX systems: the terminal the program runs in, or standard
// input and output when it has none.
#pragma once

#include <string_view>

#include "console/console.hpp"

namespace kestrune {

// Writes all of text to fd, through at once; gives up quietly when fd fails.
void write_all(int fd, std::string_view text);

// Keys come from the terminal itself (normally /dev/tty), also when standard
// input is redirected. While this object lives the terminal reads without
// line editing and without echo, so a key press is seen at once and a key only
// peeked at is left for whatever reads the terminal next. The settings are put
// back when the object is destroyed, and before the process ends on SIGINT,
// SIGTERM, SIGHUP, SIGQUIT or SIGPIPE (the signal then takes its default
// course, so the exit status stays the signal's); on Ctrl+Z the terminal is
// given back while the program is stopped and taken again when it continues.
// Only one TerminalConsole may live at a time. Neither descriptor is closed.
class TerminalConsole final : public Console {
  public:
    TerminalConsole(int terminal_fd, int output_fd);
    ~TerminalConsole() override;
    TerminalConsole(const TerminalConsole&) = delete;
    TerminalConsole& operator=(const TerminalConsole&) = delete;

    void write_text(std::string_view text) override;
    // Ctrl+C arrives as code 3 while this waits. Cursor and function keys send
    // escape sequences, which are consumed whole and produce nothing; Esc alone
    // is code 27, and Alt with a key produces that key's character. A terminal
    // that has gone away answers 'N'.
    char read_key() override;
    // True while a byte waits on the terminal, and when the terminal has gone
    // away (nothing will ever be typed there again).
    bool key_waiting() override;
    // A carriage return, when standard output is the terminal.
    void cursor_to_line_start() override;
    bool has_keyboard() const override { return true; }

  private:
    int read_byte(int timeout_ms);
    int next_key();
    int skip_sequence(int introducer);

    int terminal_fd_;
    int output_fd_;
    bool output_is_terminal_;
    bool took_terminal_ = false;
};

// No terminal at all: the answer comes from standard input (y, Y, n or N; any
// other byte is passed over and the end of the input reads as 'N'), nothing is
// ever waiting and the cursor does not move.
class StreamConsole final : public Console {
  public:
    StreamConsole(int input_fd, int output_fd) : input_fd_(input_fd), output_fd_(output_fd) {}

    void write_text(std::string_view text) override;
    char read_key() override;
    bool key_waiting() override { return false; }
    void cursor_to_line_start() override {}
    bool has_keyboard() const override { return false; }

  private:
    int input_fd_;
    int output_fd_;
};

// True when fd is a terminal whose settings can be read.
bool is_terminal(int fd);

}  // namespace kestrune
