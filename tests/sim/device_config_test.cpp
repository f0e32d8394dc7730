#include "sim/device_config.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/sim/fixtures.hpp"

namespace kestrune::sim {
namespace {

using test::parsed;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

TEST(DeviceConfigText, EmptyTextGivesTheDefaults) {
    std::string error = "stale";
    const auto config = parse_device_config("", error);
    ASSERT_TRUE(config.has_value());
    EXPECT_TRUE(error.empty());
    EXPECT_EQ(config->bootloader_version, (Version{1, 0}));
    EXPECT_EQ(config->firmware_version, (Version{1, 0}));
    EXPECT_EQ(config->new_firmware_version, (Version{1, 0}));
    EXPECT_EQ(config->flash_size, 5'000'512u);
    EXPECT_FALSE(config->zero_time);
    EXPECT_EQ(config->latency_timer_us, 16'000u);
    EXPECT_EQ(config->packet_payload, 62u);
    EXPECT_TRUE(config->faults.empty());
}

TEST(DeviceConfigText, ReadsSettingsAndFaults) {
    const char* text =
        "# a device without main firmware\r\n"
        "bootloader_version 2.17\r\n"
        "firmware_version 1.4\n"
        "firmware_version none   # the later line counts\n"
        "new_firmware_version 1.5\n"
        "\n"
        "  erase_time 2s\n"
        "block_write_time 800us\n"
        "flash_size 0x100000\n"
        "zero_time yes\n"
        "latency_timer 1ms\n"
        "packet_payload 510\n"
        "fault handover * ignore\n"
        "fault version 2 garbage 5a 0 FF\n"
        "fault echo 3 corrupt 511\n"
        "fault read 17 short 2\n"
        "fault set_baud_rate 2 fail 0x10\n"
        "fault block_answer 40 drop";
    std::string error;
    const auto config = parse_device_config(text, error);
    ASSERT_TRUE(config.has_value()) << error;
    EXPECT_EQ(config->bootloader_version, (Version{2, 17}));
    EXPECT_FALSE(config->firmware_version.has_value());
    EXPECT_EQ(config->new_firmware_version, (Version{1, 5}));
    EXPECT_EQ(config->erase_time_us, 2'000'000u);
    EXPECT_EQ(config->block_write_time_us, 800u);
    EXPECT_EQ(config->flash_size, 0x100000u);
    EXPECT_TRUE(config->zero_time);
    EXPECT_EQ(config->latency_timer_us, 1'000u);
    EXPECT_EQ(config->packet_payload, 510u);

    const auto& faults = config->faults;
    ASSERT_EQ(faults.size(), 6u);
    EXPECT_EQ(faults[0].point, FaultPoint::handover);
    EXPECT_EQ(faults[0].occurrence, EVERY);
    EXPECT_EQ(faults[0].kind, FaultKind::ignore);
    EXPECT_EQ(faults[1].occurrence, 2u);
    EXPECT_THAT(faults[1].bytes, ElementsAre(0x5A, 0x00, 0xFF));
    EXPECT_EQ(faults[2].kind, FaultKind::corrupt);
    EXPECT_EQ(faults[2].count, 511u);
    EXPECT_EQ(faults[3].point, FaultPoint::read);
    EXPECT_EQ(faults[3].kind, FaultKind::short_answer);
    EXPECT_EQ(faults[3].count, 2u);
    EXPECT_EQ(faults[4].kind, FaultKind::fail);
    EXPECT_EQ(faults[4].status, 16u);
    EXPECT_EQ(faults[5].point, FaultPoint::block_answer);
    EXPECT_EQ(faults[5].kind, FaultKind::drop);
}

TEST(DeviceConfigText, BadLineIsNamedWithItsNumber) {
    struct Case {
        const char* line;
        const char* message;
    };
    const Case cases[] = {
        {"speed 115200", "unknown setting 'speed'"},
        {"bootloader_version 1", "is not a version"},
        {"bootloader_version 1.256", "is not a version"},
        {"firmware_version 1.-1", "is not a version"},
        {"erase_time 1500", "is not a time"},
        {"erase_time ms", "is not a time"},
        {"flash_size 511", "at least 512"},
        {"zero_time maybe", "yes or no"},
        {"zero_time", "takes one value"},
        {"latency_timer 256ms", "from 0 to 255ms"},
        {"latency_timer 16", "from 0 to 255ms"},
        {"packet_payload 0", "from 1 to 65536"},
        {"packet_payload 65537", "from 1 to 65536"},
        {"fault handover", "needs a point, a number and a kind"},
        {"fault wobble 1 silent", "unknown fault point 'wobble'"},
        {"fault handover 0 silent", "1 or more"},
        {"fault handover x silent", "1 or more"},
        {"fault handover 1 explode", "unknown fault kind"},
        {"fault handover 1 corrupt 3", "does not apply to 'handover'"},
        {"fault erase_done 1 ignore", "does not apply"},
        {"fault reset 1 silent", "does not apply"},
        {"fault write 1 garbage 01", "does not apply"},
        {"fault version 1 garbage", "at least one byte"},
        {"fault version 1 garbage 5A 100", "'100' is not a hexadecimal byte"},
        {"fault version 1 short", "needs a byte count"},
        {"fault echo 1 corrupt 512", "from 0 to 511"},
        {"fault open 1 fail 0", "non-zero status"},
        {"fault open 1 fail", "non-zero status"},
        {"fault open 1 drop now", "takes no argument"},
    };
    for (const Case& c : cases) {
        std::string error;
        const std::string text = "# settings\nzero_time no\n" + std::string(c.line) + "\n";
        EXPECT_FALSE(parse_device_config(text, error).has_value()) << c.line;
        EXPECT_THAT(error, HasSubstr("line 3: ")) << c.line;
        EXPECT_THAT(error, HasSubstr(c.message)) << c.line;
    }
}

TEST(DeviceConfigText, SettingsWrittenInTheirTextForm) {
    struct Case {
        const char* text;
        const char* written;
    };
    const Case cases[] = {
        {"",
         "bootloader_version 1.0\nfirmware_version 1.0\nerase_time 1500ms\n"
         "block_write_time 4ms\nflash_size 5000512\nzero_time no\nlatency_timer 16ms\n"
         "packet_payload 62\n"},
        {"bootloader_version 2.17\nfirmware_version none\nerase_time 2s\n"
         "block_write_time 1234567us\nflash_size 0x100000\nzero_time yes\n"
         "latency_timer 0ms\npacket_payload 510\nfault echo 1 drop",
         "bootloader_version 2.17\nfirmware_version none\nerase_time 2s\n"
         "block_write_time 1234567us\nflash_size 1048576\nzero_time yes\nlatency_timer 0ms\n"
         "packet_payload 510\n"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(settings_text(parsed(c.text)), c.written) << c.text;
        EXPECT_EQ(settings_text(parsed(c.written)), c.written) << "read back";
    }
}

}  // namespace
}  // namespace kestrune::sim
