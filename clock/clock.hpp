// The system's millisecond tick and sleep.
#pragma once

#include <cstdint>

namespace kestrune {

class Clock {
  public:
    virtual ~Clock() = default;

    // Milliseconds since start-up; wraps to 0 after 2^32 ms.
    virtual std::uint32_t tick_ms() = 0;
    virtual void sleep_ms(std::uint32_t milliseconds) = 0;
};

}  // namespace kestrune

namespace kestrune {
// The system's tick and sleep.
Clock& system_clock();
}  // namespace kestrune
