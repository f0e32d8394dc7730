#include "sim/sim_driver.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "sim/fake_clock.hpp"
#include "sim/real_time.hpp"
#include "tests/sim/fixtures.hpp"

namespace kestrune::sim::test {
namespace {

using ::testing::ElementsAre;

// A device, its driver on the fake clock, and the host's calls in the order
// the program makes them.
class Bench {
  public:
    explicit Bench(const std::string& config = "") : device(parsed(config)) {}

    LinkStatus open_at(std::uint32_t baud) {
        LinkStatus status = driver.open(0, handle);
        if (status != LINK_OK) {
            return status;
        }
        for (LinkStatus step : {driver.reset(handle), driver.set_baud_rate(handle, baud),
                                driver.set_data_characteristics(handle, 8, 0, 0),
                                driver.set_flow_control(handle, 0, 0, 0),
                                driver.set_special_characters(handle, 0, 0, 0, 0),
                                driver.set_timeouts(handle, 300, 300), driver.purge(handle, 3)}) {
            status = status != LINK_OK ? status : step;
        }
        return status;
    }
    std::uint32_t write(const Bytes& bytes, LinkStatus* status = nullptr) {
        std::uint32_t written = 0;
        const LinkStatus result =
            driver.write(handle, bytes.data(), static_cast<std::uint32_t>(bytes.size()), written);
        if (status != nullptr) {
            *status = result;
        }
        return written;
    }
    Bytes read(std::uint32_t wanted, LinkStatus* status = nullptr) {
        Bytes buffer(wanted);
        std::uint32_t received = 0;
        const LinkStatus result = driver.read(handle, buffer.data(), wanted, received);
        if (status != nullptr) {
            *status = result;
        }
        buffer.resize(received);
        return buffer;
    }

    FakeClock clock;
    Device device;
    SimDriver driver{device, clock};
    DeviceHandle handle = nullptr;
};

TEST(SimDriverHandles, OnlyIndexZeroOnceAndOnlyTheCurrentHandle) {
    Bench bench;
    DeviceHandle other = nullptr;
    EXPECT_NE(bench.driver.open(1, other), LINK_OK);
    ASSERT_EQ(bench.driver.open(0, bench.handle), LINK_OK);
    EXPECT_NE(bench.driver.open(0, other), LINK_OK);  // already in use
    EXPECT_NE(bench.driver.reset(&other), LINK_OK);

    const DeviceHandle first = bench.handle;
    EXPECT_EQ(bench.driver.close(first), LINK_OK);
    EXPECT_NE(bench.driver.close(first), LINK_OK);
    EXPECT_NE(bench.driver.set_baud_rate(first, 115'200), LINK_OK);

    // A read on a closed handle fails, yet still takes its time-out.
    const std::uint64_t before = bench.clock.now_us();
    LinkStatus status = LINK_OK;
    EXPECT_TRUE(bench.read(6, &status).empty());
    EXPECT_NE(status, LINK_OK);
    EXPECT_EQ(bench.clock.now_us() - before, 300'000u);

    ASSERT_EQ(bench.driver.open(0, bench.handle), LINK_OK);
    EXPECT_NE(bench.handle, first);
    EXPECT_NE(bench.driver.reset(first), LINK_OK);
    EXPECT_EQ(bench.driver.reset(bench.handle), LINK_OK);
}

TEST(SimDriverRecord, CallsAndWrittenBytes) {
    Bench bench;
    ASSERT_EQ(bench.open_at(FAST), LINK_OK);
    bench.write(HANDOVER_REQUEST);
    bench.read(6);
    bench.driver.close(bench.handle);
    EXPECT_THAT(
        bench.driver.calls(),
        ElementsAre("open(0)", "reset", "set_baud_rate(1500000)", "set_data_characteristics(8,0,0)",
                    "set_flow_control(0,0,0)", "set_special_characters(0,0,0,0)",
                    "set_timeouts(300,300)", "purge(3)", "write(6)", "read(6)", "close"));
    EXPECT_THAT(bench.driver.writes(), ElementsAre(HANDOVER_REQUEST));
}

TEST(SimDriverRead, ReturnsAtTheLastWantedByteOrAtTheTimeOut) {
    Bench bench{"latency_timer 0ms"};  // bytes reach the host as they arrive
    ASSERT_EQ(bench.open_at(FAST), LINK_OK);
    std::uint64_t start = bench.clock.now_us();
    EXPECT_EQ(bench.write(HANDOVER_REQUEST), 6u);
    EXPECT_EQ(bench.clock.now_us(), start);  // a write returns at once

    // Request and acknowledgement take 40 us each at 1,500,000 baud.
    EXPECT_EQ(bench.read(2), Bytes(HANDOVER_ACK.begin(), HANDOVER_ACK.begin() + 2));
    EXPECT_EQ(bench.clock.now_us() - start, 54u);
    EXPECT_EQ(bench.read(4), Bytes(HANDOVER_ACK.begin() + 2, HANDOVER_ACK.end()));
    EXPECT_EQ(bench.clock.now_us() - start, 80u);

    start = bench.clock.now_us();
    EXPECT_TRUE(bench.read(6).empty());
    EXPECT_EQ(bench.clock.now_us() - start, 300'000u);

    // Fewer bytes than wanted: what came by the time-out that was set, even
    // when the rest is on its way (the erase takes 1.5 s).
    bench.driver.close(bench.handle);
    ASSERT_EQ(bench.open_at(SLOW), LINK_OK);
    bench.driver.set_timeouts(bench.handle, 50, 50);
    start = bench.clock.now_us();
    bench.write(ERASE_COMMAND);
    EXPECT_EQ(bench.read(2), Bytes{0x0F});
    EXPECT_EQ(bench.clock.now_us() - start, 50'000u);
}

TEST(SimDriverLine, WrongSpeedOrFramingIsNotHeard) {
    Bench slow;
    ASSERT_EQ(slow.open_at(SLOW), LINK_OK);
    slow.write(HANDOVER_REQUEST);
    EXPECT_TRUE(slow.read(6).empty());

    Bench seven_bits;
    ASSERT_EQ(seven_bits.open_at(FAST), LINK_OK);
    seven_bits.driver.set_data_characteristics(seven_bits.handle, 7, 0, 0);
    seven_bits.write(HANDOVER_REQUEST);
    EXPECT_TRUE(seven_bits.read(6).empty());
    EXPECT_FALSE(seven_bits.device.in_bootloader());
}

TEST(SimDriverLine, PurgeAndCloseDropWhatWasNotRead) {
    Bench bench;
    ASSERT_EQ(bench.open_at(FAST), LINK_OK);
    bench.write(HANDOVER_REQUEST);
    bench.clock.advance_ms(1);
    bench.driver.purge(bench.handle, 3);
    EXPECT_TRUE(bench.read(6).empty());

    bench.driver.close(bench.handle);
    ASSERT_EQ(bench.open_at(SLOW), LINK_OK);
    bench.write(VERSION_QUERY);
    bench.clock.advance_ms(1);
    bench.driver.close(bench.handle);
    ASSERT_EQ(bench.driver.open(0, bench.handle), LINK_OK);
    bench.driver.set_baud_rate(bench.handle, SLOW);
    EXPECT_TRUE(bench.read(4).empty());
}

TEST(SimDriverFaults, SettingCallsFailAsPlanned) {
    Bench bench{"fault set_baud_rate 2 fail 4\nfault purge * fail 9"};
    ASSERT_EQ(bench.driver.open(0, bench.handle), LINK_OK);
    EXPECT_EQ(bench.driver.set_baud_rate(bench.handle, FAST), LINK_OK);
    EXPECT_EQ(bench.driver.set_baud_rate(bench.handle, SLOW), 4u);
    EXPECT_EQ(bench.driver.set_baud_rate(bench.handle, SLOW), LINK_OK);
    EXPECT_EQ(bench.driver.purge(bench.handle, 3), 9u);
    EXPECT_EQ(bench.driver.purge(bench.handle, 3), 9u);

    Bench absent{"fault open * fail 2"};
    EXPECT_EQ(absent.driver.open(0, absent.handle), 2u);
    EXPECT_FALSE(absent.driver.is_open());
}

TEST(SimDriverFaults, ReadsAndWritesMisbehaveAsPlanned) {
    struct Case {
        const char* fault;
        Bytes first_read;   // read(6) after the hand-over request
        Bytes second_read;  // the next read(6)
        std::uint32_t written = 6;
        LinkStatus write_status = LINK_OK;
        std::uint64_t first_read_us = 80;  // from the write to the end of the first read
    };
    const Bytes ack_head(HANDOVER_ACK.begin(), HANDOVER_ACK.begin() + 2);
    const Bytes ack_tail(HANDOVER_ACK.begin() + 2, HANDOVER_ACK.end());
    const Case cases[] = {
        {"", HANDOVER_ACK, {}},
        {"fault read 1 silent", {}, HANDOVER_ACK, 6, LINK_OK, 300'000},
        {"fault read 1 garbage 01 02 03", {1, 2, 3}, HANDOVER_ACK, 6, LINK_OK, 0},
        {"fault read 1 short 2", ack_head, ack_tail, 6, LINK_OK, 54},
        {"fault read 1 fail 5", {}, HANDOVER_ACK, 6, LINK_OK, 300'000},
        {"fault write 1 silent", {}, {}, 6, LINK_OK, 300'000},
        {"fault write 1 short 3", {}, {}, 3, LINK_OK, 600'000},
        {"fault write 1 fail 7", {}, {}, 0, 7, 600'000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        Bench bench{std::string("latency_timer 0ms\n") + c.fault};
        ASSERT_EQ(bench.open_at(FAST), LINK_OK);
        const std::uint64_t start = bench.clock.now_us();
        LinkStatus status = LINK_OK;
        EXPECT_EQ(bench.write(HANDOVER_REQUEST, &status), c.written);
        EXPECT_EQ(status, c.write_status);
        EXPECT_EQ(bench.read(6), c.first_read);
        EXPECT_EQ(bench.clock.now_us() - start, c.first_read_us);
        EXPECT_EQ(bench.read(6), c.second_read);
    }
}

TEST(SimDriverFaults, DroppedConnectionFailsEverythingWithoutHanging) {
    Bench bench{"fault read 2 drop"};
    ASSERT_EQ(bench.open_at(FAST), LINK_OK);
    bench.write(HANDOVER_REQUEST);
    EXPECT_EQ(bench.read(6), HANDOVER_ACK);

    LinkStatus status = LINK_OK;
    std::uint64_t start = bench.clock.now_us();
    EXPECT_TRUE(bench.read(6, &status).empty());
    EXPECT_NE(status, LINK_OK);
    EXPECT_EQ(bench.clock.now_us() - start, 300'000u);

    start = bench.clock.now_us();
    EXPECT_EQ(bench.write(VERSION_QUERY, &status), 0u);
    EXPECT_NE(status, LINK_OK);
    EXPECT_EQ(bench.clock.now_us() - start, 300'000u);

    EXPECT_NE(bench.driver.set_baud_rate(bench.handle, SLOW), LINK_OK);
    bench.driver.close(bench.handle);
    EXPECT_NE(bench.driver.open(0, bench.handle), LINK_OK);
}

// A whole update made by hand through the driver: the flash ends up holding
// the image, and the simulated time is the wire time, the device time, the
// converter's wait and the host's pause before reopening, nothing more.
TEST(SimDriverUpdate, FlashHoldsTheImageAndTimeAddsUp) {
    for (const char* config : {"firmware_version 0.9", "firmware_version 0.9\nzero_time yes"}) {
        SCOPED_TRACE(config);
        Bench bench{config};
        const std::uint64_t start = bench.clock.now_us();
        ASSERT_EQ(bench.open_at(FAST), LINK_OK);
        bench.write(HANDOVER_REQUEST);
        ASSERT_EQ(bench.read(6), HANDOVER_ACK);
        bench.driver.close(bench.handle);
        bench.clock.sleep_ms(100);
        ASSERT_EQ(bench.open_at(SLOW), LINK_OK);

        bench.write(VERSION_QUERY);
        ASSERT_EQ(bench.read(4), (Bytes{1, 0, 0, 9}));
        bench.write(ERASE_COMMAND);
        ASSERT_EQ(bench.read(1), Bytes{0x0F});
        Bytes finished;  // the erase takes 1.5 s, several read time-outs
        for (int i = 0; i < 10 && finished.empty(); ++i) {
            finished = bench.read(1);
        }
        ASSERT_EQ(finished, Bytes{0xF0});
        Bytes image;
        for (std::uint8_t seed = 1; seed <= 3; ++seed) {
            const Bytes block = make_block(seed);
            image.insert(image.end(), block.begin(), block.end());
            bench.write(block);
            ASSERT_EQ(bench.read(512), block);
            bench.write(VERDICT_GOOD);
            ASSERT_EQ(bench.read(1), ACCEPTED);
        }
        bench.driver.close(bench.handle);

        EXPECT_TRUE(std::equal(image.begin(), image.end(), bench.device.flash().begin()));
        EXPECT_EQ(bench.device.flash()[image.size()], 0xFF);
        EXPECT_EQ(bench.device.blocks_written(), 3u);
        EXPECT_EQ(bench.clock.now_us() - start, bench.device.wire_time_us() +
                                                    bench.device.device_time_us() +
                                                    bench.device.converter_wait_us() + 100'000);
    }
}

TEST(RealTime, WaitsOnTheSteadyClock) {
    RealTime time;
    const std::uint64_t target = time.now_us() + 2'000;
    time.wait_until_us(target);
    EXPECT_GE(time.now_us(), target);
    time.wait_until_us(0);  // a time already past returns at once
}

}  // namespace
}  // namespace kestrune::sim::test
