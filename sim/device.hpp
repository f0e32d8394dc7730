// The simulated device as seen from the host's end of the serial line.
//
// A main firmware that listens and speaks only at 1,500,000 baud and hands over
// to the bootloader when asked; a bootloader that listens and speaks only at
// 115,200 baud, reports versions, erases its flash and takes 512-byte blocks.
// Bytes sent at a speed the running firmware does not use are lost, in both
// directions.
//
// The model is a byte stream with time in microseconds and knows nothing of
// the driver: an adapter puts the host's bytes on the wire with receive(),
// tells it the host's line speed with set_host_baud(), and collects the bytes
// that have reached the host with take_output(). Every byte costs ten bit times
// at the line's speed, one after the other in each direction; erasing and
// writing flash cost device time. Input is handled at once, so the whole future
// output is known: next_output_us() and output_arrival_us() say when it comes,
// and an adapter can wait exactly until then.
//
// Between the line and the host sits the USB-serial converter. The host's
// bytes go out as they are written. The device's bytes reach the host in USB
// packets of packet_payload data bytes, under this rule:
//   - a byte that arrives while the converter holds no bytes starts a packet
//     and starts the latency timer;
//   - later bytes join that packet while it is not full and the timer has not
//     run out (a byte that arrives as it runs out starts the next packet);
//   - a full packet goes as its last byte arrives, one that is not full goes
//     when the timer runs out; the converter is empty again either way.
// So the end of every answer, and every short answer, waits for the timer
// unless it happens to fill a packet. USB's own transfer time is not counted.
// With zero_time, or a latency timer of 0, every byte goes as it arrives.
//
//   sim::Device device{config};
//   device.set_host_baud(1'500'000, now);
//   device.receive(request.data(), request.size(), now);
//   if (auto when = device.output_arrival_us(6)) {      // the whole answer
//       wait_until(*when);
//       device.take_output(answer, 6, *when);
//   }
//
// Exchanges, with the device's answers:
//   main firmware  5A 5A 63 00 E6 DA  ->  5A 5A 64 00 71 43, then the bootloader runs
//   bootloader     3A 90 C4 17        ->  bootloader major, minor, firmware major,
//                                         minor (FF FF: no firmware)
//   bootloader     7E 04 B9 D2 66 C1 3F 80  ->  0F at once; F0 after the erase time,
//                                         the flash all FF and its write pointer at 0
//   after an erase 512 bytes          ->  the same 512 bytes (the echo)
//                  verdict 01         ->  80 after the write time: the block is in
//                                         flash at the write pointer, which moves on
//                  any other verdict  ->  7F (refused); the same block is expected
//                                         again. Cells not erased or a block past the
//                                         end of the flash are refused as well.
// Bytes that arrive while the device erases or writes flash are lost.
//
// A device that holds a main firmware starts with it in the first 64 KiB of
// flash (a fixed pattern); the rest of the flash, and all of it without a main
// firmware, is erased. A new device runs its main firmware.
//
// Power cycle: the flash keeps what it holds, and the device starts in its main
// firmware when it holds one, otherwise in its bootloader. An erase removes the
// main firmware. The blocks written after it form a new one as soon as the
// first of them is in flash: the protocol carries no image length and no end
// of the transfer, so the bootloader cannot tell a complete image from a cut
// one, and, having no check of its own, starts whatever it wrote. The version
// report gives the firmware present: firmware_version at first, FF FF after
// an erase, and new_firmware_version once a firmware written by an update has
// been powered up.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <vector>

#include "sim/device_config.hpp"

namespace kestrune::sim {

inline constexpr std::uint32_t FIRMWARE_LINE_BAUD = 1'500'000;
inline constexpr std::uint32_t BOOTLOADER_LINE_BAUD = 115'200;
inline constexpr std::size_t FLASH_BLOCK_SIZE = 512;
inline constexpr std::size_t OLD_FIRMWARE_SIZE = 64 * 1024;
inline constexpr std::uint8_t BLOCK_REFUSED = 0x7F;

class Device {
  public:
    explicit Device(DeviceConfig config);

    // The host's line speed from at_us on; 0 while the host does not listen.
    // Bytes still on the wire at another speed than the new one are lost;
    // those already in the converter stay.
    void set_host_baud(std::uint32_t baud, std::uint64_t at_us);
    // Bytes from the host, put on the wire at at_us (or when the wire is free).
    void receive(const std::uint8_t* bytes, std::size_t count, std::uint64_t at_us);
    // Moves up to max bytes that have reached the host by now_us into dest.
    std::size_t take_output(std::uint8_t* dest, std::size_t max, std::uint64_t now_us);
    // When the next byte reaches the host; nothing when none is on its way.
    std::optional<std::uint64_t> next_output_us() const;
    // When the count-th byte not yet taken reaches the host; nothing when
    // fewer are coming.
    std::optional<std::uint64_t> output_arrival_us(std::size_t count) const;
    // Drops the bytes that have reached the converter by up_to_us and were not
    // taken, whether they have gone on to the host or still wait for their
    // packet; later bytes start a new packet.
    void discard_output(std::uint64_t up_to_us);

    // Counts one driver call of an operation (a FaultPoint from read on) and
    // returns the fault planned for it, if any. A drop takes effect at once.
    const Fault* driver_call(FaultPoint operation);
    bool connected() const { return connected_; }
    // From now on nothing more is heard or said.
    void drop_connection();

    enum class FaultPlan { keep, clear };
    // Switches the device off and on (see above). Everything but the flash
    // starts afresh: nothing is on the wire, the connection is back, and the
    // counts that number fault occurrences, driver calls included, start again
    // from 1, as do the block counts and times below. The fault plan is kept
    // for the next run or cleared.
    void power_cycle(FaultPlan faults);

    std::span<const std::uint8_t> flash() const { return flash_; }
    bool in_bootloader() const { return mode_ != Mode::main_firmware; }
    std::uint32_t blocks_received() const { return blocks_received_; }
    std::uint32_t blocks_written() const { return blocks_written_; }
    std::uint32_t blocks_refused() const { return blocks_refused_; }
    // Time spent on the wire, both directions, and erasing and writing flash.
    std::uint64_t wire_time_us() const { return wire_time_us_; }
    std::uint64_t device_time_us() const { return device_time_us_; }
    // How long the host waited on the converter alone for the answers it took:
    // from the arrival of an answer's last byte, or the end of whatever the
    // device went on to do and send, until the byte's packet went; time
    // already counted for an earlier answer counts once. For a host that takes
    // every answer whole before it sends again, its time is wire time, device
    // time and this.
    std::uint64_t converter_wait_us() const { return converter_wait_us_; }
    const DeviceConfig& config() const { return config_; }

    // Microseconds that count bytes take at a speed (zero when time is off).
    std::uint64_t wire_duration_us(std::size_t count, std::uint32_t baud) const;

  private:
    enum class Mode { main_firmware, bootloader_commands, bootloader_blocks, awaiting_verdict };

    struct OutputByte {
        std::uint64_t wire_us;  // reaches the converter
        std::uint64_t at_us;    // reaches the host, with its packet
        std::uint32_t baud;
        std::uint8_t value;
        bool answer_end;  // the last byte of an answer
    };

    std::uint32_t listening_baud() const;
    void hear(std::uint8_t byte, std::uint64_t at_us);
    void hear_command(std::uint8_t byte, std::uint64_t at_us);
    void hear_block_byte(std::uint8_t byte, std::uint64_t at_us);
    void hear_verdict(std::uint8_t verdict, std::uint64_t at_us);
    void start_erase(std::uint64_t at_us);
    bool window_ends_with(std::span<const std::uint8_t> message) const;
    const Fault* find_fault(FaultPoint point, std::uint32_t occurrence) const;
    // Sends an answer as the fault (if any) lets it through.
    void answer(std::span<const std::uint8_t> bytes, std::uint64_t ready_us, const Fault* fault);
    void emit(std::span<const std::uint8_t> bytes, std::uint64_t ready_us);
    // Puts a byte that has reached the converter into its packet and queues it.
    void convert(OutputByte byte);
    // Packs the queued bytes from index first on anew, into an empty converter.
    void repack_from(std::size_t first);
    std::uint64_t device_time(std::uint64_t micros) const;
    std::uint64_t latency_timer_us() const;

    DeviceConfig config_;
    std::vector<std::uint8_t> flash_;
    std::optional<Version> firmware_;  // the main firmware in flash, if any
    Mode mode_ = Mode::main_firmware;
    bool connected_ = true;
    std::uint32_t host_baud_ = 0;

    std::uint64_t host_wire_free_us_ = 0;    // end of the host's last byte
    std::uint64_t device_wire_free_us_ = 0;  // end of the device's last byte
    std::uint64_t busy_until_us_ = 0;        // end of the erase or write in progress
    std::deque<OutputByte> output_;
    // The latest packet: when its first byte arrived, and how many bytes it
    // has (the last ones queued, while it may still take more); 0: none.
    std::uint64_t packet_start_us_ = 0;
    std::size_t packet_fill_ = 0;

    std::array<std::uint8_t, 8> window_{};  // the last command bytes heard
    std::size_t window_size_ = 0;
    std::array<std::uint8_t, FLASH_BLOCK_SIZE> block_{};
    std::size_t block_fill_ = 0;
    std::size_t write_pointer_ = 0;

    std::uint32_t handovers_ = 0;
    std::uint32_t version_queries_ = 0;
    std::uint32_t erases_ = 0;
    std::uint32_t blocks_received_ = 0;
    std::uint32_t blocks_written_ = 0;
    std::uint32_t blocks_refused_ = 0;
    std::array<std::uint32_t, FAULT_POINT_COUNT> driver_calls_{};
    std::uint64_t wire_time_us_ = 0;
    std::uint64_t device_time_us_ = 0;
    std::uint64_t converter_wait_us_ = 0;
    std::uint64_t converter_wait_until_us_ = 0;  // the end of the last wait counted
};

}  // namespace kestrune::sim
