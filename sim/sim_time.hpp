// Time as the simulated device sees it, in microseconds.
#pragma once

#include <cstdint>

namespace kestrune::sim {

class SimTime {
  public:
    virtual ~SimTime() = default;
    virtual std::uint64_t now_us() = 0;
    // Returns once now_us() >= when (at once if that is already so).
    virtual void wait_until_us(std::uint64_t when) = 0;
};

}  // namespace kestrune::sim
