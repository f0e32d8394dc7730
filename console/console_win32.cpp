// The console on Windows: the console window the program runs in, or standard
// input and output when it has none (scripts, CI).
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdint>
#include <cstdio>
#include <vector>

#include "console/console.hpp"
#include "console/console_answer.hpp"
#include "console/console_keys.hpp"

namespace kestrune {

namespace {

// A console that has gone away answers the question with no.
constexpr char ANSWER_WHEN_GONE = 'N';
// Raw input: no line editing, no echo, Ctrl+C as a character.
constexpr DWORD RAW_INPUT_OFF = ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT | ENABLE_PROCESSED_INPUT;
// A character the console's code page cannot hold in one byte.
constexpr char UNREPRESENTABLE = '?';

// Standard output in text mode turns "\n" into CR LF. Written through at once,
// so every text is out before the program waits, pauses or talks to the device.
void write_standard_output(std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

char to_single_byte(WCHAR character) {
    if (character < 0x80) {
        return static_cast<char>(character);
    }
    char bytes[4] = {};
    const int count = ::WideCharToMultiByte(::GetConsoleCP(), 0, &character, 1, bytes,
                                            static_cast<int>(sizeof bytes), nullptr, nullptr);
    return count == 1 ? bytes[0] : UNREPRESENTABLE;
}

class WindowsConsole final : public Console {
  public:
    // input: the console's input (CONIN$); screen: its screen buffer (CONOUT$),
    // or INVALID_HANDLE_VALUE when it cannot be had.
    WindowsConsole(HANDLE input, HANDLE screen) : input_(input), screen_(screen) {}

    void write_text(std::string_view text) override { write_standard_output(text); }

    // Raw input only while waiting: no line editing, no echo, and Ctrl+C
    // arrives as code 3 instead of ending the process.
    char read_key() override {
        DWORD previous_mode = 0;
        const bool switched = ::GetConsoleMode(input_, &previous_mode) != 0 &&
                              ::SetConsoleMode(input_, previous_mode & ~RAW_INPUT_OFF) != 0;
        char key = ANSWER_WHEN_GONE;
        for (;;) {
            INPUT_RECORD record{};
            DWORD taken = 0;
            if (::ReadConsoleInputW(input_, &record, 1, &taken) == 0 || taken == 0) {
                break;
            }
            // Releases, mouse, focus, menu and window events, and key presses
            // that produce no character (Shift, cursor and function keys) are
            // consumed and passed over; events after the key stay queued.
            if (record.EventType != KEY_EVENT) {
                continue;
            }
            const KEY_EVENT_RECORD& press = record.Event.KeyEvent;
            if (press.bKeyDown != 0 && press.uChar.UnicodeChar != 0) {
                key = to_single_byte(press.uChar.UnicodeChar);
                break;
            }
        }
        if (switched) {
            ::SetConsoleMode(input_, previous_mode);
        }
        return key;
    }

    // Looks at the whole input queue without removing anything.
    bool key_waiting() override {
        DWORD count = 0;
        if (::GetNumberOfConsoleInputEvents(input_, &count) == 0) {
            return true;  // the console has gone: no key will ever come
        }
        if (count == 0) {
            return false;
        }
        if (peeked_.size() < count) {
            peeked_.resize(count);
        }
        DWORD seen = 0;
        if (::PeekConsoleInputW(input_, peeked_.data(), count, &seen) == 0) {
            return true;
        }
        for (DWORD index = 0; index < seen; ++index) {
            const INPUT_RECORD& record = peeked_[index];
            if (record.EventType == KEY_EVENT &&
                counts_as_key_waiting(
                    record.Event.KeyEvent.bKeyDown != 0, record.Event.KeyEvent.wVirtualKeyCode,
                    static_cast<std::uint16_t>(record.Event.KeyEvent.uChar.UnicodeChar))) {
                return true;
            }
        }
        return false;
    }

    // On the console screen itself, whatever standard output is.
    void cursor_to_line_start() override {
        CONSOLE_SCREEN_BUFFER_INFO info{};
        if (screen_ == INVALID_HANDLE_VALUE || ::GetConsoleScreenBufferInfo(screen_, &info) == 0) {
            return;
        }
        COORD line_start{};
        line_start.X = 0;
        line_start.Y = info.dwCursorPosition.Y;
        ::SetConsoleCursorPosition(screen_, line_start);
    }

    bool has_keyboard() const override { return true; }

  private:
    HANDLE input_;
    HANDLE screen_;
    std::vector<INPUT_RECORD> peeked_;
};

// No console at all: the answer comes from standard input (y, Y, n or N; any
// other byte is passed over and the end of the input reads as 'N').
class StreamConsole final : public Console {
  public:
    void write_text(std::string_view text) override { write_standard_output(text); }

    char read_key() override {
        const HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
        return read_answer([input] {
            unsigned char byte = 0;
            DWORD got = 0;
            if (input == nullptr || input == INVALID_HANDLE_VALUE ||
                ::ReadFile(input, &byte, 1, &got, nullptr) == 0 || got != 1) {
                return END_OF_INPUT;
            }
            return int{byte};
        });
    }

    bool key_waiting() override { return false; }
    void cursor_to_line_start() override {}
    bool has_keyboard() const override { return false; }
};

HANDLE open_console(const wchar_t* name) {
    return ::CreateFileW(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                         nullptr, OPEN_EXISTING, 0, nullptr);
}

// The console's input, also when standard input is redirected; or
// INVALID_HANDLE_VALUE when there is no console, or what answers as one does
// not behave like one.
HANDLE open_console_input() {
    const HANDLE input = open_console(L"CONIN$");
    if (input == INVALID_HANDLE_VALUE) {
        return input;
    }
    DWORD mode = 0;
    DWORD count = 0;
    if (::GetConsoleMode(input, &mode) == 0 ||
        ::GetNumberOfConsoleInputEvents(input, &count) == 0) {
        ::CloseHandle(input);
        return INVALID_HANDLE_VALUE;
    }
    // Wine's console on a Unix terminal leaves the terminal in line mode, and
    // so passes no key press on to the input queue, until the queue has once
    // been looked at in raw mode: key_waiting would see nothing before the
    // first read_key. Look once in raw mode and put the mode back; a Windows
    // console is left exactly as it was, with nothing removed.
    if (::SetConsoleMode(input, mode & ~RAW_INPUT_OFF) != 0) {
        INPUT_RECORD first{};
        DWORD seen = 0;
        ::PeekConsoleInputW(input, &first, 1, &seen);
        ::SetConsoleMode(input, mode);
    }
    return input;
}

}  // namespace

Console& system_console() {
    static const HANDLE input = [] {
        ::_setmode(::_fileno(stdout), _O_TEXT);
        return open_console_input();
    }();
    if (input != INVALID_HANDLE_VALUE) {
        static WindowsConsole console(input, open_console(L"CONOUT$"));
        return console;
    }
    static StreamConsole stream;
    return stream;
}

}  // namespace kestrune
