// A clock whose time moves only when something sleeps or waits on it.
//
// Serves both as the program's Clock (millisecond tick, wrapping at 2^32) and
// as the simulated device's time, so a five-second time-out costs nothing.
#pragma once

#include <cstdint>

#include "clock/clock.hpp"
#include "sim/sim_time.hpp"

namespace kestrune::sim {

class FakeClock final : public Clock, public SimTime {
  public:
    // The tick starts at start_tick_ms; pick a value near 2^32 to test the wrap.
    explicit FakeClock(std::uint32_t start_tick_ms = 1'000'000) : start_tick_ms_(start_tick_ms) {}

    std::uint32_t tick_ms() override {
        ++tick_reads_;
        return static_cast<std::uint32_t>(start_tick_ms_ + now_us_ / 1000);
    }
    void sleep_ms(std::uint32_t milliseconds) override {
        now_us_ += std::uint64_t{milliseconds} * 1000;
        slept_ms_ += milliseconds;
    }

    std::uint64_t now_us() override { return now_us_; }
    void wait_until_us(std::uint64_t when) override {
        if (when > now_us_) {
            now_us_ = when;
        }
    }

    void advance_ms(std::uint64_t milliseconds) { now_us_ += milliseconds * 1000; }
    // Milliseconds since the clock was made.
    std::uint64_t elapsed_ms() const { return now_us_ / 1000; }
    std::uint64_t slept_ms() const { return slept_ms_; }
    std::uint64_t tick_reads() const { return tick_reads_; }

  private:
    std::uint64_t start_tick_ms_;
    std::uint64_t now_us_ = 0;
    std::uint64_t slept_ms_ = 0;
    std::uint64_t tick_reads_ = 0;
};

}  // namespace kestrune::sim
