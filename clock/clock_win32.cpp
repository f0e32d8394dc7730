// The system's millisecond tick and sleep on Windows.
#include <windows.h>

#include "clock/clock.hpp"

namespace kestrune {

namespace {

class WindowsClock final : public Clock {
  public:
    // Milliseconds since start-up, wrapping after 49.7 days.
    std::uint32_t tick_ms() override { return static_cast<std::uint32_t>(::GetTickCount()); }
    void sleep_ms(std::uint32_t milliseconds) override { ::Sleep(milliseconds); }
};

}  // namespace

Clock& system_clock() {
    static WindowsClock clock;
    return clock;
}

}  // namespace kestrune
