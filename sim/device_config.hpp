// Settings and fault plan of the simulated device, and their text form.
//
// The text form has one setting or one fault per line. Words are separated by
// blanks; '#' starts a comment that runs to the end of the line; empty lines
// are skipped. A setting that is not given keeps its default; a setting given
// twice takes its last value. Faults apply in the order listed.
//
//   bootloader_version 2.1      # major.minor, each 0..255        (default 1.0)
//   firmware_version 1.4        # major.minor, or none (FF FF)   (default 1.0)
//   new_firmware_version 1.5    # reported by a firmware that an update wrote,
//                               # once a power cycle has started it (default 1.0)
//   erase_time 1500ms           # a whole number with us, ms or s (default 1500ms)
//   block_write_time 4ms        # flash write time per block      (default 4ms)
//   flash_size 5000512          # bytes, at least 512             (default 5000512)
//   zero_time yes               # yes or no: no wire, device or converter time at all
//                               #                                 (default no)
//   latency_timer 16ms          # the converter's latency timer, 0 to 255ms: how long
//                               # a packet that is not full waits (default 16ms;
//                               # 1ms is the low-latency setting, 0ms sends every byte
//                               # as it arrives)
//   packet_payload 62           # data bytes in one USB packet to the host, 1 to 65536
//                               # (default 62: a full-speed converter's 64-byte packet)
//
//   fault POINT N KIND [ARGUMENT...]
//
// N counts the occurrences of POINT from 1 (the n-th hand-over request, the
// n-th block received with repeats included, the n-th driver read); '*' means
// every one. A fault with a number wins over a '*' fault for the same point.
//
//   POINT          occurrence counted                 KINDS it takes
//   handover       hand-over request                  silent ignore garbage short drop
//   version        version query                      silent ignore garbage short drop
//   erase_ack      erase command, first answer        silent ignore garbage short drop unerased
//   erase_done     erase command, second answer       silent garbage short drop unerased
//   echo           block received, its echo           silent ignore garbage short drop corrupt
//   block_answer   block received, its answer         silent ignore garbage short drop refuse
//   read           driver read call                   silent garbage short fail drop
//   write          driver write call                  silent short fail drop
//   open close reset set_baud_rate set_data_characteristics set_flow_control
//   set_special_characters purge set_timeouts         fail drop
//
//   silent        no answer; the device otherwise acts as usual (a silent
//                 hand-over still hands over, a silent block answer still writes)
//   ignore        the device does not hear the message: no answer, no effect
//   garbage B...  the answer is the given bytes (hexadecimal, e.g. 5A 5A 64 01);
//                 a read returns them at once, capped at the count asked for
//   short N       only the first N bytes of the answer are sent; a read waits
//                 for at most N bytes; a write sends the first N and reports N
//                 after its time-out
//   corrupt I     byte I (0..511) of the block arrives inverted: the echo shows
//                 it, and a block accepted anyway is written with it
//   refuse        the block is refused whatever the verdict
//   unerased      the erase is answered as usual but leaves the flash as it was
//   fail S        the driver call returns the non-zero status S (decimal or 0x..);
//                 a failing read or write moves nothing and costs its time-out
//   drop          the connection drops here: reads bring nothing and every
//                 other driver call fails from then on
//
// Example: a device without main firmware whose third block is refused and
// whose link breaks at the tenth block's echo.
//
//   firmware_version none
//   fault block_answer 3 refuse
//   fault echo 10 drop
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrune::sim {

inline constexpr std::uint32_t DEFAULT_FLASH_SIZE = 5'000'512;
inline constexpr std::uint32_t MIN_FLASH_SIZE = 512;
inline constexpr std::uint64_t DEFAULT_LATENCY_TIMER_US = 16'000;
inline constexpr std::uint64_t LOW_LATENCY_TIMER_US = 1'000;
inline constexpr std::uint64_t MAX_LATENCY_TIMER_US = 255'000;
inline constexpr std::uint32_t DEFAULT_PACKET_PAYLOAD = 62;
inline constexpr std::uint32_t MAX_PACKET_PAYLOAD = 65'536;

struct Version {
    std::uint8_t major_version = 0;
    std::uint8_t minor_version = 0;

    friend bool operator==(const Version&, const Version&) = default;
};

enum class FaultPoint : std::uint8_t {
    handover,
    version,
    erase_ack,
    erase_done,
    echo,
    block_answer,
    read,
    write,
    open,
    close,
    reset,
    set_baud_rate,
    set_data_characteristics,
    set_flow_control,
    set_special_characters,
    purge,
    set_timeouts,
};
inline constexpr std::size_t FAULT_POINT_COUNT = 17;

enum class FaultKind : std::uint8_t {
    silent,
    ignore,
    garbage,
    short_answer,
    corrupt,
    refuse,
    unerased,
    fail,
    drop,
};

// Occurrence value meaning "every one".
inline constexpr std::uint32_t EVERY = 0;

struct Fault {
    FaultPoint point = FaultPoint::handover;
    std::uint32_t occurrence = EVERY;  // counted from 1
    FaultKind kind = FaultKind::silent;
    std::vector<std::uint8_t> bytes;  // garbage: the answer sent instead
    std::uint32_t count = 0;          // short: bytes kept; corrupt: index of the byte
    std::uint32_t status = 0;         // fail: the status returned
};

struct DeviceConfig {
    Version bootloader_version{1, 0};
    std::optional<Version> firmware_version = Version{1, 0};  // none: reported as FF FF
    Version new_firmware_version{1, 0};                       // of a firmware written by an update
    std::uint64_t erase_time_us = 1'500'000;
    std::uint64_t block_write_time_us = 4'000;
    std::uint32_t flash_size = DEFAULT_FLASH_SIZE;
    bool zero_time = false;  // no wire time, device time or converter time
    std::uint64_t latency_timer_us = DEFAULT_LATENCY_TIMER_US;
    std::uint32_t packet_payload = DEFAULT_PACKET_PAYLOAD;
    std::vector<Fault> faults;
};

// Reads the text form above. On a bad line returns nothing and sets error to a
// message that names the line, such as "line 3: unknown setting 'speed'".
std::optional<DeviceConfig> parse_device_config(std::string_view text, std::string& error);

// The settings (not the fault plan) in the text form above, one line each,
// every setting given; reading it back gives the same settings.
std::string settings_text(const DeviceConfig& config);

std::string_view fault_point_name(FaultPoint point);
std::string_view fault_kind_name(FaultKind kind);

}  // namespace kestrune::sim
