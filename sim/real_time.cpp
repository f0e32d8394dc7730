#include "sim/real_time.hpp"

#include <thread>

namespace kestrune::sim {

std::uint64_t RealTime::now_us() {
    const auto elapsed = std::chrono::steady_clock::now() - start_;
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(elapsed).count());
}

void RealTime::wait_until_us(std::uint64_t when) {
    // A sleep may end early: on Windows one shorter than the timer's tick
    // returns at once. Sleep again until the time has really come.
    while (now_us() < when) {
        std::this_thread::sleep_until(start_ + std::chrono::microseconds(when));
    }
}

}  // namespace kestrune::sim
