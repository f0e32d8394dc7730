// The system's millisecond tick and sleep on POSIX systems.
#include <errno.h>
#include <time.h>

#include "clock/clock.hpp"

namespace kestrune {

namespace {

class PosixClock final : public Clock {
  public:
    // Monotonic: setting the wall clock moves no deadline. Truncated to 32
    // bits, it wraps like the tick the protocol expects.
    std::uint32_t tick_ms() override {
        timespec now{};
        ::clock_gettime(CLOCK_MONOTONIC, &now);
        const auto milliseconds = static_cast<std::uint64_t>(now.tv_sec) * 1000U +
                                  static_cast<std::uint64_t>(now.tv_nsec) / 1'000'000U;
        return static_cast<std::uint32_t>(milliseconds);
    }

    // Sleeps the whole time, also when a signal interrupts it.
    void sleep_ms(std::uint32_t milliseconds) override {
        timespec left{static_cast<time_t>(milliseconds / 1000U),
                      static_cast<long>(milliseconds % 1000U) * 1'000'000L};
        while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
        }
    }
};

}  // namespace

Clock& system_clock() {
    static PosixClock clock;
    return clock;
}

}  // namespace kestrune
