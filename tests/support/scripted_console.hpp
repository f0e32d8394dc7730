// A console driven by a script of input events, capturing what is written.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>

#include "console/console.hpp"
#include "sim/fake_clock.hpp"

namespace kestrune::testing {

// The kinds of console input event the dialogue has to tell apart.
enum class EventKind {
    character_key,  // a key press that produces a character (letters, Enter, Esc, Ctrl+C ...)
    silent_key,     // a key press with no character that still counts as waiting: F1-F12,
                    // cursor keys, Insert, Delete, Home, End, Page Up/Down
    modifier_key,   // Shift, Ctrl or Alt alone, a lock key, Pause, Print Screen, Windows, menu
    key_release,
    mouse,
    focus,
    window_size,
};

struct InputEvent {
    EventKind kind = EventKind::character_key;
    char character = 0;
    std::uint64_t at_ms = 0;  // on the fake clock: the event is there from this time on
};

class ScriptedConsole final : public Console {
  public:
    explicit ScriptedConsole(sim::FakeClock& clock) : clock_(clock) {}

    // Script helpers.
    void press(char c, std::uint64_t at_ms = 0) { push({EventKind::character_key, c, at_ms}); }
    void push(InputEvent event) { events_.push_back(event); }
    void set_keyboard(bool present) { keyboard_ = present; }

    void write_text(std::string_view text) override;
    char read_key() override;
    bool key_waiting() override;
    void cursor_to_line_start() override;
    bool has_keyboard() const override { return keyboard_; }

    // Everything written, as it would reach a file.
    const std::string& output() const { return output_; }
    // The same with every cursor move shown as '\r'.
    const std::string& screen_log() const { return screen_log_; }
    // Events not yet read (a key only peeked at stays here).
    std::size_t pending() const { return events_.size(); }
    const std::deque<InputEvent>& events() const { return events_; }
    std::uint64_t key_tests() const { return key_tests_; }

  private:
    bool visible(const InputEvent& event) const;

    sim::FakeClock& clock_;
    std::deque<InputEvent> events_;
    std::string output_;
    std::string screen_log_;
    bool keyboard_ = true;
    std::uint64_t key_tests_ = 0;
};

}  // namespace kestrune::testing
