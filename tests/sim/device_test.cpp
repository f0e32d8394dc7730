#include "sim/device.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "tests/sim/fixtures.hpp"

namespace kestrune::sim::test {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

// The host's end of the line: sends at once, then takes every answer byte,
// moving its time to the arrival of the last one.
class HostEnd {
  public:
    explicit HostEnd(DeviceConfig config = {}) : device(std::move(config)) {}

    Bytes exchange(const Bytes& bytes, std::uint32_t baud) {
        device.set_host_baud(baud, now);
        device.receive(bytes.data(), bytes.size(), now);
        now += device.wire_duration_us(bytes.size(), baud);
        Bytes answer;
        while (auto when = device.next_output_us()) {
            now = std::max(now, *when);
            std::uint8_t byte = 0;
            device.take_output(&byte, 1, now);
            answer.push_back(byte);
        }
        return answer;
    }
    void enter_bootloader_and_erase() {
        ASSERT_EQ(exchange(HANDOVER_REQUEST, FAST), HANDOVER_ACK);
        ASSERT_EQ(exchange(ERASE_COMMAND, SLOW), ERASE_ANSWERS);
    }
    // Sends the block, then the verdict; returns the echo and the answer.
    std::pair<Bytes, Bytes> block(const Bytes& block, const Bytes& verdict) {
        Bytes echo = exchange(block, SLOW);
        return {echo, exchange(verdict, SLOW)};
    }

    Device device;
    std::uint64_t now = 0;
};

TEST(DeviceWire, ByteTimesAreTenBitsAtTheLineSpeed) {
    Device device{DeviceConfig{}};
    EXPECT_EQ(device.wire_duration_us(512, SLOW), 44'445u);  // 44.44 ms, rounded up
    EXPECT_EQ(device.wire_duration_us(1, SLOW), 87u);
    EXPECT_EQ(device.wire_duration_us(6, FAST), 40u);

    Device instant{parsed("zero_time yes")};
    EXPECT_EQ(instant.wire_duration_us(512, SLOW), 0u);
}

TEST(DeviceHandover, AnsweredOnlyAtTheMainFirmwareSpeed) {
    HostEnd slow;
    EXPECT_THAT(slow.exchange(HANDOVER_REQUEST, SLOW), IsEmpty());
    EXPECT_FALSE(slow.device.in_bootloader());

    HostEnd fast{parsed("latency_timer 0ms")};  // the wire's times alone
    fast.device.set_host_baud(FAST, 0);
    fast.device.receive(HANDOVER_REQUEST.data(), HANDOVER_REQUEST.size(), 1000);
    // The request takes 40 us, the acknowledgement another 40.
    EXPECT_EQ(fast.device.next_output_us(), 1047u);  // 1040 + 6.67 rounded up
    EXPECT_EQ(fast.device.output_arrival_us(6), 1080u);
    EXPECT_EQ(fast.device.output_arrival_us(7), std::nullopt);
    Bytes ack(6);
    EXPECT_EQ(fast.device.take_output(ack.data(), 6, 1079), 5u);
    EXPECT_EQ(fast.device.take_output(ack.data() + 5, 6, 1080), 1u);
    EXPECT_EQ(ack, HANDOVER_ACK);
    EXPECT_TRUE(fast.device.in_bootloader());
    // The bootloader no longer hears the fast speed.
    EXPECT_THAT(fast.exchange(VERSION_QUERY, FAST), IsEmpty());
}

TEST(DeviceHandover, RequestFoundAmongOtherBytesAndSplitAcrossWrites) {
    HostEnd host;
    EXPECT_THAT(host.exchange({0x00, 0x5A, 0x5A, 0x5A}, FAST), IsEmpty());
    EXPECT_EQ(host.exchange({0x63, 0x00, 0xE6, 0xDA}, FAST), HANDOVER_ACK);
}

TEST(DeviceVersions, ReportsBootloaderAndMainFirmware) {
    struct Case {
        std::string config;
        Bytes report;
    };
    const Case cases[] = {
        {"bootloader_version 2.1\nfirmware_version 1.4", {2, 1, 1, 4}},
        {"bootloader_version 3.250\nfirmware_version none", {3, 250, 0xFF, 0xFF}},
    };
    for (const Case& c : cases) {
        HostEnd host{parsed(c.config)};
        host.exchange(HANDOVER_REQUEST, FAST);
        EXPECT_EQ(host.exchange(VERSION_QUERY, SLOW), c.report) << c.config;
    }
}

TEST(DeviceErase, AnswersAtOnceThenAfterTheEraseTime) {
    HostEnd host{parsed("erase_time 1200ms\nlatency_timer 0ms")};
    host.exchange(HANDOVER_REQUEST, FAST);
    EXPECT_NE(host.device.flash()[0], 0xFF);  // the old firmware

    const std::uint64_t sent = host.now;
    host.device.set_host_baud(SLOW, sent);
    host.device.receive(ERASE_COMMAND.data(), ERASE_COMMAND.size(), sent);
    const std::uint64_t heard = sent + 695;  // 8 bytes at 115,200 baud
    EXPECT_EQ(host.device.next_output_us(), heard + 87);
    EXPECT_EQ(host.device.output_arrival_us(2), heard + 87 + 1'200'000 + 87);
    Bytes answers(2);
    host.device.take_output(answers.data(), 2, heard + 2'000'000);
    EXPECT_EQ(answers, ERASE_ANSWERS);
    EXPECT_TRUE(std::all_of(host.device.flash().begin(), host.device.flash().end(),
                            [](std::uint8_t cell) { return cell == 0xFF; }));
}

TEST(DeviceBlocks, EchoVerdictAndFlashContent) {
    HostEnd host{parsed("block_write_time 3ms\nlatency_timer 0ms")};
    host.enter_bootloader_and_erase();
    const Bytes first = make_block(1);
    const Bytes second = make_block(2);

    // The echo starts once the whole block has arrived: 44.44 ms each way.
    const std::uint64_t sent = host.now;
    auto [echo, answer] = host.block(first, VERDICT_GOOD);
    EXPECT_EQ(echo, first);
    EXPECT_EQ(answer, ACCEPTED);
    EXPECT_EQ(host.now - sent, 2 * 44'445u + 87 + 3'000 + 87);

    // A bad verdict is refused and the same block is expected again.
    std::tie(echo, answer) = host.block(second, VERDICT_BAD);
    EXPECT_EQ(echo, second);
    EXPECT_THAT(answer, ElementsAre(BLOCK_REFUSED));
    std::tie(echo, answer) = host.block(second, VERDICT_GOOD);
    EXPECT_EQ(answer, ACCEPTED);

    const auto flash = host.device.flash();
    EXPECT_TRUE(std::equal(first.begin(), first.end(), flash.begin()));
    EXPECT_TRUE(std::equal(second.begin(), second.end(), flash.begin() + 512));
    EXPECT_EQ(flash[1024], 0xFF);
    EXPECT_EQ(host.device.blocks_received(), 3u);
    EXPECT_EQ(host.device.blocks_written(), 2u);
    EXPECT_EQ(host.device.blocks_refused(), 1u);
}

TEST(DeviceBlocks, RefusedOverCellsNotErasedOrPastTheFlash) {
    // The erase leaves the old firmware in place: every block is refused.
    for (const char* fault : {"fault erase_ack 1 unerased", "fault erase_done 1 unerased"}) {
        HostEnd unerased{parsed(fault)};
        unerased.enter_bootloader_and_erase();
        const Bytes before(unerased.device.flash().begin(), unerased.device.flash().begin() + 512);
        for (int i = 0; i < 2; ++i) {
            EXPECT_THAT(unerased.block(make_block(1), VERDICT_GOOD).second,
                        ElementsAre(BLOCK_REFUSED));
        }
        EXPECT_TRUE(std::equal(before.begin(), before.end(), unerased.device.flash().begin()));
        EXPECT_EQ(unerased.device.blocks_refused(), 2u);
    }

    HostEnd small{parsed("flash_size 1000")};
    small.enter_bootloader_and_erase();
    EXPECT_EQ(small.block(make_block(1), VERDICT_GOOD).second, ACCEPTED);
    EXPECT_THAT(small.block(make_block(2), VERDICT_GOOD).second, ElementsAre(BLOCK_REFUSED));
}

// The host takes every answer whole before it sends again, so its time is the
// wire's, the flash's and what the converter holds back. At 16 ms the
// acknowledgement's six bytes wait from the first one's arrival (33 us before
// the last), the erase's second answer and each block answer wait the whole
// timer (the first erase answer waits while the flash is erased), and the
// echo's last 16 bytes, after eight full packets, wait from the first of them
// (1302 us before the last). At 1 ms the echo goes in packets of 12 bytes,
// its last 8 from 608 us before the last.
TEST(DeviceTime, UpdateTakesExactlyItsWireDeviceAndConverterTime) {
    struct Case {
        const char* config;
        std::uint64_t device_us;
        std::uint64_t converter_us;
    };
    const Case cases[] = {
        {"erase_time 700ms\nblock_write_time 2ms", 704'000,
         15'967 + 16'000 + 3 * (14'698 + 16'000)},
        {"erase_time 700ms\nblock_write_time 2ms\nlatency_timer 1ms", 704'000,
         967 + 1'000 + 3 * (392 + 1'000)},
        {"zero_time yes", 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.config);
        HostEnd host{parsed(c.config)};
        host.enter_bootloader_and_erase();
        host.block(make_block(1), VERDICT_GOOD);
        host.block(make_block(2), VERDICT_BAD);
        host.block(make_block(2), VERDICT_GOOD);
        EXPECT_EQ(host.now, host.device.wire_time_us() + host.device.device_time_us() +
                                host.device.converter_wait_us());
        EXPECT_EQ(host.device.device_time_us(), c.device_us);
        EXPECT_EQ(host.device.converter_wait_us(), c.converter_us);
    }
}

TEST(DeviceTime, BytesArrivingDuringTheEraseAreLost) {
    HostEnd host{parsed("erase_time 1s")};
    host.exchange(HANDOVER_REQUEST, FAST);
    host.device.set_host_baud(SLOW, host.now);
    host.device.receive(ERASE_COMMAND.data(), ERASE_COMMAND.size(), host.now);
    const Bytes block = make_block(1);
    host.device.receive(block.data(), block.size(), host.now + 1000);
    Bytes answers(3);
    EXPECT_EQ(host.device.take_output(answers.data(), 3, host.now + 10'000'000), 2u);
    EXPECT_EQ(host.device.blocks_received(), 0u);
}

// What the device answers at each step of an update when a fault is planned.
TEST(DeviceFaults, ExchangeFaultsChangeTheAnswer) {
    struct Case {
        std::string fault;
        Bytes handover, version, erase, echo_head, answer;
        bool in_bootloader = true;
        std::uint32_t written = 1;
    };
    const Bytes report = {1, 0, 1, 0};
    const Bytes head = {make_block(1)[0], make_block(1)[1]};
    const Case cases[] = {
        {"", HANDOVER_ACK, report, ERASE_ANSWERS, head, ACCEPTED},
        {"fault handover 1 silent", {}, report, ERASE_ANSWERS, head, ACCEPTED},
        {"fault handover * ignore", {}, {}, {}, {}, {}, false, 0},
        {"fault handover 1 garbage 5A 5A 64 01",
         {0x5A, 0x5A, 0x64, 0x01},
         report,
         ERASE_ANSWERS,
         head,
         ACCEPTED},
        {"fault handover 1 short 3", {0x5A, 0x5A, 0x64}, report, ERASE_ANSWERS, head, ACCEPTED},
        {"fault version 1 short 2", HANDOVER_ACK, {1, 0}, ERASE_ANSWERS, head, ACCEPTED},
        {"fault version 1 ignore", HANDOVER_ACK, {}, ERASE_ANSWERS, head, ACCEPTED},
        {"fault erase_ack 1 silent", HANDOVER_ACK, report, {0xF0}, head, ACCEPTED},
        {"fault erase_ack 1 ignore", HANDOVER_ACK, report, {}, {}, {}, true, 0},
        {"fault erase_done 1 garbage 0F", HANDOVER_ACK, report, {0x0F, 0x0F}, head, ACCEPTED},
        {"fault echo 1 short 0", HANDOVER_ACK, report, ERASE_ANSWERS, {}, ACCEPTED},
        {"fault echo 1 ignore", HANDOVER_ACK, report, ERASE_ANSWERS, {}, {}, true, 0},
        {"fault block_answer 1 refuse",
         HANDOVER_ACK,
         report,
         ERASE_ANSWERS,
         head,
         {BLOCK_REFUSED},
         true,
         0},
        {"fault block_answer 1 silent", HANDOVER_ACK, report, ERASE_ANSWERS, head, {}},
        {"fault block_answer 1 ignore", HANDOVER_ACK, report, ERASE_ANSWERS, head, {}, true, 0},
        {"fault block_answer 2 refuse", HANDOVER_ACK, report, ERASE_ANSWERS, head, ACCEPTED},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        HostEnd host{parsed(c.fault)};
        EXPECT_EQ(host.exchange(HANDOVER_REQUEST, FAST), c.handover);
        EXPECT_EQ(host.device.in_bootloader(), c.in_bootloader);
        EXPECT_EQ(host.exchange(VERSION_QUERY, SLOW), c.version);
        EXPECT_EQ(host.exchange(ERASE_COMMAND, SLOW), c.erase);
        const Bytes echo = host.exchange(make_block(1), SLOW);
        EXPECT_EQ(Bytes(echo.begin(), echo.begin() + std::min<std::size_t>(2, echo.size())),
                  c.echo_head);
        EXPECT_EQ(host.exchange(VERDICT_GOOD, SLOW), c.answer);
        EXPECT_EQ(host.device.blocks_written(), c.written);
    }
}

TEST(DeviceFaults, NumberedFaultWinsOverEveryAndCountsRepeats) {
    HostEnd host{parsed("fault version * silent\nfault version 2 garbage AA")};
    host.exchange(HANDOVER_REQUEST, FAST);
    EXPECT_THAT(host.exchange(VERSION_QUERY, SLOW), IsEmpty());
    EXPECT_THAT(host.exchange(VERSION_QUERY, SLOW), ElementsAre(0xAA));
    EXPECT_THAT(host.exchange(VERSION_QUERY, SLOW), IsEmpty());

    // The n-th block counts blocks sent again after a refusal.
    HostEnd blocks{parsed("fault block_answer 2 refuse")};
    blocks.enter_bootloader_and_erase();
    EXPECT_THAT(blocks.block(make_block(1), VERDICT_BAD).second, ElementsAre(BLOCK_REFUSED));
    EXPECT_THAT(blocks.block(make_block(1), VERDICT_GOOD).second, ElementsAre(BLOCK_REFUSED));
    EXPECT_EQ(blocks.block(make_block(1), VERDICT_GOOD).second, ACCEPTED);
}

TEST(DeviceFaults, CorruptedBlockShowsInEchoAndInFlashWhenAcceptedAnyway) {
    HostEnd host{parsed("fault echo 1 corrupt 511")};
    host.enter_bootloader_and_erase();
    Bytes expected = make_block(1);
    expected[511] ^= 0xFF;
    const auto [echo, answer] = host.block(make_block(1), VERDICT_GOOD);
    EXPECT_EQ(echo, expected);
    EXPECT_EQ(answer, ACCEPTED);
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), host.device.flash().begin()));
}

TEST(DeviceFaults, DropSilencesEverythingAfter) {
    HostEnd host{parsed("fault erase_ack 1 drop")};
    host.exchange(HANDOVER_REQUEST, FAST);
    EXPECT_THAT(host.exchange(ERASE_COMMAND, SLOW), IsEmpty());
    EXPECT_FALSE(host.device.connected());
    EXPECT_THAT(host.exchange(VERSION_QUERY, SLOW), IsEmpty());
    EXPECT_NE(host.device.flash()[0], 0xFF);  // dropped before erasing
}

TEST(DeviceFaults, DriverCallsCountedPerOperation) {
    Device device{parsed("fault set_baud_rate 2 fail 4\nfault read 3 drop")};
    EXPECT_EQ(device.driver_call(FaultPoint::set_baud_rate), nullptr);
    EXPECT_EQ(device.driver_call(FaultPoint::read), nullptr);
    const Fault* fault = device.driver_call(FaultPoint::set_baud_rate);
    ASSERT_NE(fault, nullptr);
    EXPECT_EQ(fault->status, 4u);
    EXPECT_EQ(device.driver_call(FaultPoint::read), nullptr);
    EXPECT_TRUE(device.connected());
    device.driver_call(FaultPoint::read);
    EXPECT_FALSE(device.connected());
}

// Where the device starts after a power cycle, and what it reports then.
TEST(DevicePowerCycle, StartsInTheFirmwareItHoldsAndKeepsTheFlash) {
    struct Case {
        const char* what;
        std::uint32_t blocks;  // written after an erase; none: no erase at all
        bool erase;
        bool starts_in_firmware;
        Bytes report;
    };
    const Case cases[] = {
        {"untouched", 0, false, true, {2, 1, 1, 4}},
        {"erased, nothing written", 0, true, false, {2, 1, 0xFF, 0xFF}},
        {"erased, one block written", 1, true, true, {2, 1, 1, 5}},
        {"erased, two blocks written", 2, true, true, {2, 1, 1, 5}},
    };
    for (const Case& c : cases) {
        HostEnd host{
            parsed("bootloader_version 2.1\nfirmware_version 1.4\n"
                   "new_firmware_version 1.5")};
        if (c.erase) {
            host.enter_bootloader_and_erase();
        }
        for (std::uint8_t i = 0; i < c.blocks; ++i) {
            ASSERT_EQ(host.block(make_block(i), VERDICT_GOOD).second, ACCEPTED) << c.what;
        }
        const Bytes flash_before(host.device.flash().begin(), host.device.flash().end());

        host.device.power_cycle(Device::FaultPlan::keep);
        EXPECT_TRUE(
            std::equal(flash_before.begin(), flash_before.end(), host.device.flash().begin()))
            << c.what;
        EXPECT_EQ(host.device.in_bootloader(), !c.starts_in_firmware) << c.what;
        EXPECT_EQ(host.exchange(HANDOVER_REQUEST, FAST).empty(), !c.starts_in_firmware) << c.what;
        EXPECT_EQ(host.exchange(VERSION_QUERY, SLOW), c.report) << c.what;
        EXPECT_EQ(host.device.blocks_written(), 0u) << c.what;
    }
}

// A second run on the same device meets the plan afresh: counts start again,
// a dropped connection is back, and the plan itself is kept or cleared.
TEST(DevicePowerCycle, FaultPlanStartsAgainOrIsCleared) {
    for (const auto plan : {Device::FaultPlan::keep, Device::FaultPlan::clear}) {
        HostEnd host{parsed("fault handover 1 silent\nfault read 2 drop")};
        EXPECT_THAT(host.exchange(HANDOVER_REQUEST, FAST), IsEmpty());
        host.device.driver_call(FaultPoint::read);
        host.device.driver_call(FaultPoint::read);
        ASSERT_FALSE(host.device.connected());

        host.device.power_cycle(plan);
        EXPECT_TRUE(host.device.connected());
        const bool kept = plan == Device::FaultPlan::keep;
        EXPECT_EQ(host.device.driver_call(FaultPoint::read), nullptr);
        EXPECT_EQ(host.device.driver_call(FaultPoint::read) != nullptr, kept);
        EXPECT_EQ(host.device.connected(), !kept);
        host.device.power_cycle(Device::FaultPlan::keep);
        EXPECT_EQ(host.exchange(HANDOVER_REQUEST, FAST).empty(), kept);
    }
}

// The power goes while an answer waits in the converter: that answer is gone,
// the next one starts a packet of its own however soon it comes, and the
// converter's wait counts from zero again.
TEST(DevicePowerCycle, ConverterStartsEmpty) {
    HostEnd host;
    ASSERT_EQ(host.exchange(HANDOVER_REQUEST, FAST), HANDOVER_ACK);
    ASSERT_GT(host.device.converter_wait_us(), 0u);
    host.device.set_host_baud(SLOW, host.now);
    host.device.receive(VERSION_QUERY.data(), VERSION_QUERY.size(), host.now);
    host.now += host.device.wire_duration_us(VERSION_QUERY.size(), SLOW);
    ASSERT_TRUE(host.device.next_output_us().has_value());

    host.device.power_cycle(Device::FaultPlan::keep);
    EXPECT_EQ(host.device.converter_wait_us(), 0u);
    EXPECT_FALSE(host.device.next_output_us().has_value());
    host.device.set_host_baud(FAST, host.now);
    host.device.receive(HANDOVER_REQUEST.data(), HANDOVER_REQUEST.size(), host.now);
    const std::uint64_t first_byte = host.now +
                                     host.device.wire_duration_us(HANDOVER_REQUEST.size(), FAST) +
                                     host.device.wire_duration_us(1, FAST);
    EXPECT_EQ(host.device.output_arrival_us(1), first_byte + 16'000);
}

// When the n-th byte of a block's echo reaches the host, counted from the
// moment the block has crossed the wire. On the wire alone byte n arrives at
// n * 86.81 us, rounded up.
TEST(DeviceConverter, EchoReachesTheHostInPackets) {
    struct Case {
        const char* config;
        std::size_t byte;
        std::uint64_t at_us;
    };
    const Case cases[] = {
        // Full 62-byte packets go as their last byte arrives; the last 16
        // bytes go 16 ms after the first of them (byte 497, at 43,143 us).
        {"", 1, 5'382},
        {"", 62, 5'382},
        {"", 63, 10'764},
        {"", 496, 43'056},
        {"", 497, 59'143},
        {"", 512, 59'143},
        // The timer runs out before a packet fills: 12 bytes each, from the
        // first byte on; byte 505 starts the last one at 43,837 us.
        {"latency_timer 1ms", 1, 1'087},
        {"latency_timer 1ms", 12, 1'087},
        {"latency_timer 1ms", 13, 2'129},
        {"latency_timer 1ms", 512, 44'837},
        // A large packet: 185 bytes arrive within the first 16 ms, then 185.
        {"packet_payload 510", 185, 16'087},
        {"packet_payload 510", 186, 32'146},
        {"packet_payload 510", 512, 48'205},
        // Every byte goes as it arrives.
        {"latency_timer 0ms", 1, 87},
        {"latency_timer 0ms", 512, 44'445},
        {"packet_payload 1", 497, 43'143},
        {"zero_time yes", 512, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.config) + ", byte " + std::to_string(c.byte));
        HostEnd host{parsed(c.config)};
        host.enter_bootloader_and_erase();
        const Bytes block = make_block(1);
        host.device.receive(block.data(), block.size(), host.now);
        const std::uint64_t echo_starts = host.now + host.device.wire_duration_us(512, SLOW);
        EXPECT_EQ(host.device.output_arrival_us(c.byte), echo_starts + c.at_us);
    }
}

TEST(DeviceConverter, LaterAnswerJoinsThePacketStillWaiting) {
    HostEnd host;
    host.exchange(HANDOVER_REQUEST, FAST);
    host.device.set_host_baud(SLOW, host.now);
    // Two queries back to back: the second report arrives 261 to 609 us
    // after the first one's first byte, within its timer.
    host.device.receive(VERSION_QUERY.data(), VERSION_QUERY.size(), host.now);
    host.device.receive(VERSION_QUERY.data(), VERSION_QUERY.size(), host.now);
    const std::uint64_t first_byte = host.now + 348 + 87;
    EXPECT_EQ(host.device.output_arrival_us(1), first_byte + 16'000);
    EXPECT_EQ(host.device.output_arrival_us(8), first_byte + 16'000);
}

// The acknowledgement's bytes arrive at 47, 54, 60, 67, 74 and 80 us.
TEST(DeviceOutput, HostSpeedChangeLosesBytesStillOnTheWay) {
    // The host switches speed at 60 us and hears no more of them. The three in
    // the converter go when the timer runs out, also in packets of four that
    // the lost fourth byte would have filled.
    for (const char* config : {"", "packet_payload 4"}) {
        SCOPED_TRACE(config);
        HostEnd host{parsed(config)};
        host.device.set_host_baud(FAST, 0);
        host.device.receive(HANDOVER_REQUEST.data(), HANDOVER_REQUEST.size(), 0);
        host.device.set_host_baud(SLOW, 60);
        EXPECT_EQ(host.device.next_output_us(), 16'047u);
        EXPECT_EQ(host.device.output_arrival_us(4), std::nullopt);
        Bytes got(6);
        EXPECT_EQ(host.device.take_output(got.data(), 6, 100'000), 3u);
    }

    // A purge at 60 us empties the converter: the rest start a packet of their own.
    HostEnd purged;
    purged.device.set_host_baud(FAST, 0);
    purged.device.receive(HANDOVER_REQUEST.data(), HANDOVER_REQUEST.size(), 0);
    purged.device.discard_output(60);
    EXPECT_EQ(purged.device.next_output_us(), 16'067u);
    Bytes got(6);
    EXPECT_EQ(purged.device.take_output(got.data(), 6, 100'000), 3u);
}

}  // namespace
}  // namespace kestrune::sim::test
