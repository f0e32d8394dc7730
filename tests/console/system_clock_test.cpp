// The system's tick and sleep (the protocol's deadlines rest on them).
#include <gtest/gtest.h>

#include <cstdint>

#include "clock/clock.hpp"

namespace kestrune {
namespace {

TEST(SystemClock, TheTickMovesByAtLeastTheTimeSlept) {
    Clock& clock = system_clock();
    const std::uint32_t start = clock.tick_ms();
    clock.sleep_ms(20);
    const std::uint32_t elapsed = clock.tick_ms() - start;  // unsigned: right across a wrap
    EXPECT_GE(elapsed, 20U);
    EXPECT_LT(elapsed, 5000U);
}

}  // namespace
}  // namespace kestrune
