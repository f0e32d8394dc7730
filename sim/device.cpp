#include "sim/device.hpp"

#include <algorithm>

namespace kestrune::sim {

namespace {

// The device's messages, written down here on their own so that a wrong
// constant on the program's side shows up as a device that does not answer.
constexpr std::array<std::uint8_t, 6> HANDOVER_REQUEST = {0x5A, 0x5A, 0x63, 0x00, 0xE6, 0xDA};
constexpr std::array<std::uint8_t, 6> HANDOVER_ACK = {0x5A, 0x5A, 0x64, 0x00, 0x71, 0x43};
constexpr std::array<std::uint8_t, 4> VERSION_QUERY = {0x3A, 0x90, 0xC4, 0x17};
constexpr std::array<std::uint8_t, 8> ERASE_COMMAND = {0x7E, 0x04, 0xB9, 0xD2,
                                                       0x66, 0xC1, 0x3F, 0x80};
constexpr std::array<std::uint8_t, 1> ERASE_ACCEPTED = {0x0F};
constexpr std::array<std::uint8_t, 1> ERASE_FINISHED = {0xF0};
constexpr std::uint8_t VERDICT_GOOD = 0x01;
constexpr std::array<std::uint8_t, 1> BLOCK_ACCEPTED = {0x80};
constexpr std::array<std::uint8_t, 1> BLOCK_REFUSAL = {BLOCK_REFUSED};
constexpr std::uint8_t ERASED = 0xFF;
constexpr std::uint64_t BIT_TIMES_PER_BYTE_US = 10'000'000;  // ten bits, in microseconds x baud

std::uint8_t old_firmware_byte(std::size_t offset) {
    return static_cast<std::uint8_t>(offset * 37 + 11);
}

}  // namespace

Device::Device(DeviceConfig config)
    : config_(std::move(config)),
      flash_(config_.flash_size, ERASED),
      firmware_(config_.firmware_version) {
    if (config_.firmware_version) {
        const std::size_t size = std::min(flash_.size(), OLD_FIRMWARE_SIZE);
        for (std::size_t i = 0; i < size; ++i) {
            flash_[i] = old_firmware_byte(i);
        }
    }
}

std::uint64_t Device::wire_duration_us(std::size_t count, std::uint32_t baud) const {
    if (config_.zero_time || baud == 0) {
        return 0;
    }
    return (std::uint64_t{count} * BIT_TIMES_PER_BYTE_US + baud - 1) / baud;
}

std::uint64_t Device::device_time(std::uint64_t micros) const {
    return config_.zero_time ? 0 : micros;
}

std::uint64_t Device::latency_timer_us() const {
    return config_.zero_time ? 0 : config_.latency_timer_us;
}

std::uint32_t Device::listening_baud() const {
    return mode_ == Mode::main_firmware ? FIRMWARE_LINE_BAUD : BOOTLOADER_LINE_BAUD;
}

void Device::set_host_baud(std::uint32_t baud, std::uint64_t at_us) {
    host_baud_ = baud;
    const auto lost = std::erase_if(
        output_, [&](const OutputByte& byte) { return byte.wire_us > at_us && byte.baud != baud; });
    if (lost > 0) {
        // The packets not yet gone are made of what still arrives.
        const auto waiting =
            std::find_if(output_.begin(), output_.end(),
                         [&](const OutputByte& byte) { return byte.at_us > at_us; });
        repack_from(static_cast<std::size_t>(waiting - output_.begin()));
    }
}

void Device::receive(const std::uint8_t* bytes, std::size_t count, std::uint64_t at_us) {
    if (!connected_ || count == 0 || host_baud_ == 0) {
        return;
    }
    const std::uint32_t baud = host_baud_;
    const std::uint64_t start = std::max(at_us, host_wire_free_us_);
    const std::uint64_t duration = wire_duration_us(count, baud);
    host_wire_free_us_ = start + duration;
    wire_time_us_ += duration;
    for (std::size_t i = 0; i < count && connected_; ++i) {
        // The firmware that runs when the byte arrives decides whether it is heard.
        if (baud == listening_baud()) {
            hear(bytes[i], start + wire_duration_us(i + 1, baud));
        }
    }
}

std::size_t Device::take_output(std::uint8_t* dest, std::size_t max, std::uint64_t now_us) {
    std::size_t taken = 0;
    while (taken < max && !output_.empty() && output_.front().at_us <= now_us) {
        const OutputByte& byte = output_.front();
        if (byte.answer_end) {
            // An erase goes on while its first answer waits in the converter.
            const std::uint64_t explained = std::max(
                {byte.wire_us, device_wire_free_us_, busy_until_us_, converter_wait_until_us_});
            if (byte.at_us > explained) {
                converter_wait_us_ += byte.at_us - explained;
                converter_wait_until_us_ = byte.at_us;
            }
        }
        dest[taken++] = byte.value;
        output_.pop_front();
    }
    return taken;
}

std::optional<std::uint64_t> Device::next_output_us() const {
    return output_arrival_us(1);
}

std::optional<std::uint64_t> Device::output_arrival_us(std::size_t count) const {
    if (count == 0 || output_.size() < count) {
        return std::nullopt;
    }
    return output_[count - 1].at_us;
}

void Device::discard_output(std::uint64_t up_to_us) {
    if (output_.empty() || output_.front().wire_us > up_to_us) {
        return;
    }
    while (!output_.empty() && output_.front().wire_us <= up_to_us) {
        output_.pop_front();
    }
    repack_from(0);  // the converter is empty now
}

const Fault* Device::driver_call(FaultPoint operation) {
    const auto index = static_cast<std::size_t>(operation);
    const Fault* fault = find_fault(operation, ++driver_calls_[index]);
    if (fault != nullptr && fault->kind == FaultKind::drop) {
        drop_connection();
    }
    return fault;
}

void Device::drop_connection() {
    connected_ = false;
    output_.clear();
    packet_fill_ = 0;
}

void Device::power_cycle(FaultPlan faults) {
    if (!firmware_ && write_pointer_ > 0) {
        firmware_ = config_.new_firmware_version;
    }
    mode_ = firmware_ ? Mode::main_firmware : Mode::bootloader_commands;
    if (faults == FaultPlan::clear) {
        config_.faults.clear();
    }
    connected_ = true;
    host_wire_free_us_ = 0;
    device_wire_free_us_ = 0;
    busy_until_us_ = 0;
    output_.clear();
    // With the output gone, no packet is left in the converter to take more.
    packet_start_us_ = 0;
    packet_fill_ = 0;
    window_size_ = 0;
    block_fill_ = 0;
    write_pointer_ = 0;
    handovers_ = 0;
    version_queries_ = 0;
    erases_ = 0;
    blocks_received_ = 0;
    blocks_written_ = 0;
    blocks_refused_ = 0;
    driver_calls_ = {};
    wire_time_us_ = 0;
    device_time_us_ = 0;
    converter_wait_us_ = 0;
    converter_wait_until_us_ = 0;
}

const Fault* Device::find_fault(FaultPoint point, std::uint32_t occurrence) const {
    const Fault* every = nullptr;
    for (const Fault& fault : config_.faults) {
        if (fault.point != point) {
            continue;
        }
        if (fault.occurrence == occurrence) {
            return &fault;
        }
        if (fault.occurrence == EVERY && every == nullptr) {
            every = &fault;
        }
    }
    return every;
}

void Device::hear(std::uint8_t byte, std::uint64_t at_us) {
    if (at_us < busy_until_us_) {
        return;  // erasing or writing flash: the byte is lost
    }
    switch (mode_) {
        case Mode::main_firmware:
        case Mode::bootloader_commands:
            hear_command(byte, at_us);
            break;
        case Mode::bootloader_blocks:
            hear_block_byte(byte, at_us);
            break;
        case Mode::awaiting_verdict:
            hear_verdict(byte, at_us);
            break;
    }
}

bool Device::window_ends_with(std::span<const std::uint8_t> message) const {
    return window_size_ >= message.size() &&
           std::equal(message.begin(), message.end(),
                      window_.begin() + static_cast<std::ptrdiff_t>(window_size_ - message.size()));
}

void Device::hear_command(std::uint8_t byte, std::uint64_t at_us) {
    if (window_size_ == window_.size()) {
        std::shift_left(window_.begin(), window_.end(), 1);
        --window_size_;
    }
    window_[window_size_++] = byte;

    if (mode_ == Mode::main_firmware) {
        if (!window_ends_with(HANDOVER_REQUEST)) {
            return;
        }
        window_size_ = 0;
        const Fault* fault = find_fault(FaultPoint::handover, ++handovers_);
        if (fault != nullptr && fault->kind == FaultKind::ignore) {
            return;
        }
        answer(HANDOVER_ACK, at_us, fault);  // still at the main firmware's speed
        if (connected_) {
            mode_ = Mode::bootloader_commands;
        }
    } else if (window_ends_with(VERSION_QUERY)) {
        window_size_ = 0;
        const Fault* fault = find_fault(FaultPoint::version, ++version_queries_);
        if (fault != nullptr && fault->kind == FaultKind::ignore) {
            return;
        }
        const Version firmware = firmware_.value_or(Version{0xFF, 0xFF});
        const std::array<std::uint8_t, 4> report = {config_.bootloader_version.major_version,
                                                    config_.bootloader_version.minor_version,
                                                    firmware.major_version, firmware.minor_version};
        answer(report, at_us, fault);
    } else if (window_ends_with(ERASE_COMMAND)) {
        window_size_ = 0;
        start_erase(at_us);
    }
}

void Device::start_erase(std::uint64_t at_us) {
    ++erases_;
    const Fault* accepted = find_fault(FaultPoint::erase_ack, erases_);
    if (accepted != nullptr && accepted->kind == FaultKind::ignore) {
        return;
    }
    answer(ERASE_ACCEPTED, at_us, accepted);
    if (!connected_) {
        return;
    }
    const Fault* finished = find_fault(FaultPoint::erase_done, erases_);
    const auto leaves_flash = [](const Fault* fault) {
        return fault != nullptr && fault->kind == FaultKind::unerased;
    };
    // The erase starts once the first answer is out.
    const std::uint64_t duration = device_time(config_.erase_time_us);
    busy_until_us_ = std::max(at_us, device_wire_free_us_) + duration;
    device_time_us_ += duration;
    if (!leaves_flash(accepted) && !leaves_flash(finished)) {
        std::fill(flash_.begin(), flash_.end(), ERASED);
    }
    firmware_.reset();
    write_pointer_ = 0;
    block_fill_ = 0;
    mode_ = Mode::bootloader_blocks;
    answer(ERASE_FINISHED, busy_until_us_, finished);
}

void Device::hear_block_byte(std::uint8_t byte, std::uint64_t at_us) {
    block_[block_fill_++] = byte;
    if (block_fill_ < block_.size()) {
        return;
    }
    block_fill_ = 0;
    const Fault* fault = find_fault(FaultPoint::echo, ++blocks_received_);
    if (fault != nullptr && fault->kind == FaultKind::ignore) {
        return;
    }
    if (fault != nullptr && fault->kind == FaultKind::corrupt) {
        block_[fault->count] ^= 0xFF;
    }
    mode_ = Mode::awaiting_verdict;
    answer(block_, at_us, fault);
}

void Device::hear_verdict(std::uint8_t verdict, std::uint64_t at_us) {
    const Fault* fault = find_fault(FaultPoint::block_answer, blocks_received_);
    if (fault != nullptr && fault->kind == FaultKind::ignore) {
        return;
    }
    mode_ = Mode::bootloader_blocks;
    const bool fits = write_pointer_ + block_.size() <= flash_.size();
    const auto target = flash_.begin() + static_cast<std::ptrdiff_t>(write_pointer_);
    const bool accepted = verdict == VERDICT_GOOD &&
                          !(fault != nullptr && fault->kind == FaultKind::refuse) && fits &&
                          std::all_of(target, target + static_cast<std::ptrdiff_t>(block_.size()),
                                      [](std::uint8_t cell) { return cell == ERASED; });
    if (!accepted) {
        ++blocks_refused_;
        answer(BLOCK_REFUSAL, at_us, fault);
        return;
    }
    const std::uint64_t duration = device_time(config_.block_write_time_us);
    busy_until_us_ = std::max(at_us, device_wire_free_us_) + duration;
    device_time_us_ += duration;
    std::copy(block_.begin(), block_.end(), target);
    write_pointer_ += block_.size();
    ++blocks_written_;
    answer(BLOCK_ACCEPTED, busy_until_us_, fault);
}

void Device::answer(std::span<const std::uint8_t> bytes, std::uint64_t ready_us,
                    const Fault* fault) {
    if (fault == nullptr) {
        emit(bytes, ready_us);
        return;
    }
    switch (fault->kind) {
        case FaultKind::silent:
            return;
        case FaultKind::drop:
            drop_connection();
            return;
        case FaultKind::garbage:
            emit(fault->bytes, ready_us);
            return;
        case FaultKind::short_answer:
            emit(bytes.first(std::min<std::size_t>(fault->count, bytes.size())), ready_us);
            return;
        default:  // faults that change what the device does, not what it says
            emit(bytes, ready_us);
            return;
    }
}

void Device::emit(std::span<const std::uint8_t> bytes, std::uint64_t ready_us) {
    if (bytes.empty()) {
        return;
    }
    const std::uint32_t baud = listening_baud();
    const std::uint64_t start = std::max(ready_us, device_wire_free_us_);
    const std::uint64_t duration = wire_duration_us(bytes.size(), baud);
    device_wire_free_us_ = start + duration;
    wire_time_us_ += duration;
    // The device only answers what it heard, so the host listens at its speed
    // now; should the host change speed later, set_host_baud drops the bytes.
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const std::uint64_t arrival = start + wire_duration_us(i + 1, baud);
        convert({arrival, arrival, baud, bytes[i], i + 1 == bytes.size()});
    }
}

void Device::convert(OutputByte byte) {
    const std::uint64_t timer_us = latency_timer_us();
    if (timer_us == 0 || config_.packet_payload == 1) {
        // Nothing is held back: every byte goes as it arrives.
        packet_fill_ = 0;
        output_.push_back(byte);
        return;
    }
    const bool joins = packet_fill_ > 0 && packet_fill_ < config_.packet_payload &&
                       byte.wire_us < packet_start_us_ + timer_us;
    if (!joins) {
        packet_start_us_ = byte.wire_us;
        packet_fill_ = 0;
    }
    ++packet_fill_;
    if (packet_fill_ < config_.packet_payload) {
        byte.at_us = packet_start_us_ + timer_us;
        output_.push_back(byte);
        return;
    }
    // Full: the packet goes now, with the bytes that were waiting in it.
    byte.at_us = byte.wire_us;
    const std::size_t waiting = std::min(packet_fill_ - 1, output_.size());
    for (auto it = output_.end() - static_cast<std::ptrdiff_t>(waiting); it != output_.end();
         ++it) {
        it->at_us = byte.wire_us;
    }
    output_.push_back(byte);
}

void Device::repack_from(std::size_t first) {
    const auto from = output_.begin() + static_cast<std::ptrdiff_t>(first);
    const std::vector<OutputByte> again(from, output_.end());
    output_.erase(from, output_.end());
    packet_fill_ = 0;
    for (const OutputByte& byte : again) {
        convert(byte);
    }
}

}  // namespace kestrune::sim
