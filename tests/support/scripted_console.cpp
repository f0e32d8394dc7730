#include "tests/support/scripted_console.hpp"

#include <stdexcept>

namespace kestrune::testing {

namespace {

// A run that waits on a key nobody scripted would spin for ever on the fake
// clock; stop it loudly instead.
constexpr std::uint64_t KEY_TEST_LIMIT = 10'000'000;

bool produces_character(EventKind kind) {
    return kind == EventKind::character_key;
}

bool counts_as_waiting(EventKind kind) {
    return kind == EventKind::character_key || kind == EventKind::silent_key;
}

}  // namespace

bool ScriptedConsole::visible(const InputEvent& event) const {
    return event.at_ms <= clock_.elapsed_ms();
}

void ScriptedConsole::write_text(std::string_view text) {
    output_.append(text);
    screen_log_.append(text);
}

char ScriptedConsole::read_key() {
    while (!events_.empty()) {
        InputEvent event = events_.front();
        // The user has not pressed it yet: read_key blocks until they do.
        clock_.wait_until_us(event.at_ms * 1000);
        events_.pop_front();
        if (produces_character(event.kind)) {
            return event.character;
        }
    }
    throw std::logic_error("read_key: no key scripted");
}

bool ScriptedConsole::key_waiting() {
    if (++key_tests_ > KEY_TEST_LIMIT) {
        throw std::logic_error("key_waiting: waited for a key that was never scripted");
    }
    for (const InputEvent& event : events_) {
        if (visible(event) && counts_as_waiting(event.kind)) {
            return true;
        }
    }
    return false;
}

void ScriptedConsole::cursor_to_line_start() {
    screen_log_.push_back('\r');
}

}  // namespace kestrune::testing
