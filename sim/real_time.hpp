// The simulated device's time on the steady clock, for the demo: waits really
// sleep, so the device answers at the pace of the real line.
#pragma once

#include <chrono>
#include <cstdint>

#include "sim/sim_time.hpp"

namespace kestrune::sim {

class RealTime final : public SimTime {
  public:
    RealTime() : start_(std::chrono::steady_clock::now()) {}

    // Microseconds since this object was made.
    std::uint64_t now_us() override;
    void wait_until_us(std::uint64_t when) override;

  private:
    std::chrono::steady_clock::time_point start_;
};

}  // namespace kestrune::sim
