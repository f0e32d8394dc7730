#include "sim/sim_driver.hpp"

#include <algorithm>
#include <string_view>

namespace kestrune::sim {

namespace {

constexpr std::uint32_t PURGE_RECEIVE = 1;
constexpr std::uintptr_t FIRST_HANDLE = 0x51D00;

bool fails(const Fault* fault) {
    return fault != nullptr && fault->kind == FaultKind::fail;
}

// A call as the record shows it: "set_flow_control(0,0,0)".
std::string call_text(std::string_view name, std::initializer_list<unsigned> values) {
    std::string text(name);
    text += '(';
    for (unsigned value : values) {
        if (text.back() != '(') {
            text += ',';
        }
        text += std::to_string(value);
    }
    text += ')';
    return text;
}

}  // namespace

void SimDriver::wait_ms(std::uint32_t milliseconds) {
    time_.wait_until_us(time_.now_us() + std::uint64_t{milliseconds} * 1000);
}

void SimDriver::record(std::string call) {
    calls_.push_back(std::move(call));
    call_times_us_.push_back(time_.now_us());
}

void SimDriver::update_line() {
    device_.set_host_baud(line_8n1_ ? baud_ : 0, time_.now_us());
}

LinkStatus SimDriver::setting_call(FaultPoint operation, DeviceHandle handle, std::string call) {
    record(std::move(call));
    return refusal(handle, device_.driver_call(operation)).value_or(LINK_OK);
}

std::optional<LinkStatus> SimDriver::refusal(DeviceHandle handle, const Fault* fault) const {
    if (!valid(handle)) {
        return STATUS_INVALID_HANDLE;
    }
    if (!device_.connected()) {
        return STATUS_IO_ERROR;
    }
    if (fails(fault)) {
        return fault->status;
    }
    return std::nullopt;
}

LinkStatus SimDriver::open(std::uint32_t device_index, DeviceHandle& handle) {
    record(call_text("open", {device_index}));
    const Fault* fault = device_.driver_call(FaultPoint::open);
    if (!device_.connected() || device_index != 0) {
        return STATUS_DEVICE_NOT_FOUND;
    }
    if (fails(fault)) {
        return fault->status;
    }
    if (open_) {
        return STATUS_DEVICE_NOT_OPENED;  // already in use
    }
    // A new handle for every opening, so that a stale one is told apart.
    ++opened_;
    handle_ = reinterpret_cast<DeviceHandle>(FIRST_HANDLE + opened_ * 16);
    open_ = true;
    baud_ = DEFAULT_BAUD;
    line_8n1_ = true;
    read_timeout_ms_ = DEFAULT_TIMEOUT_MS;
    write_timeout_ms_ = DEFAULT_TIMEOUT_MS;
    update_line();
    handle = handle_;
    return LINK_OK;
}

LinkStatus SimDriver::close(DeviceHandle handle) {
    record("close");
    const Fault* fault = device_.driver_call(FaultPoint::close);
    if (!valid(handle)) {
        return STATUS_INVALID_HANDLE;
    }
    if (device_.connected() && fails(fault)) {
        return fault->status;  // the handle stays open
    }
    // What has arrived and not been read goes with the handle; later bytes
    // find nobody listening.
    open_ = false;
    device_.set_host_baud(0, time_.now_us());
    device_.discard_output(time_.now_us());
    return device_.connected() ? LINK_OK : STATUS_IO_ERROR;
}

LinkStatus SimDriver::read(DeviceHandle handle, std::uint8_t* buffer, std::uint32_t wanted,
                           std::uint32_t& received) {
    record(call_text("read", {wanted}));
    received = 0;
    const Fault* fault = device_.driver_call(FaultPoint::read);
    if (const auto status = refusal(handle, fault)) {
        wait_ms(read_timeout_ms_);
        return *status;
    }
    if (wanted == 0) {
        return LINK_OK;
    }
    std::uint32_t want = wanted;
    if (fault != nullptr) {
        switch (fault->kind) {
            case FaultKind::silent:
                wait_ms(read_timeout_ms_);
                return LINK_OK;
            case FaultKind::garbage:
                received =
                    static_cast<std::uint32_t>(std::min<std::size_t>(wanted, fault->bytes.size()));
                std::copy_n(fault->bytes.begin(), received, buffer);
                return LINK_OK;
            case FaultKind::short_answer:
                want = std::min(want, fault->count);
                break;
            default:
                break;
        }
    }
    const std::uint64_t deadline = time_.now_us() + std::uint64_t{read_timeout_ms_} * 1000;
    const auto arrival = want == 0 ? std::nullopt : device_.output_arrival_us(want);
    time_.wait_until_us(arrival && *arrival <= deadline ? *arrival : deadline);
    received = static_cast<std::uint32_t>(device_.take_output(buffer, want, time_.now_us()));
    return LINK_OK;
}

LinkStatus SimDriver::write(DeviceHandle handle, const std::uint8_t* buffer, std::uint32_t count,
                            std::uint32_t& written) {
    record(call_text("write", {count}));
    writes_.emplace_back(buffer, buffer + count);
    written = 0;
    const Fault* fault = device_.driver_call(FaultPoint::write);
    if (const auto status = refusal(handle, fault)) {
        wait_ms(write_timeout_ms_);
        return *status;
    }
    written = count;
    if (fault != nullptr && fault->kind == FaultKind::silent) {
        return LINK_OK;  // reported as written, lost on the way
    }
    if (fault != nullptr && fault->kind == FaultKind::short_answer && fault->count < count) {
        // The device stopped taking bytes: the driver gives up at its write time-out.
        written = fault->count;
        device_.receive(buffer, written, time_.now_us());
        wait_ms(write_timeout_ms_);
        return LINK_OK;
    }
    device_.receive(buffer, count, time_.now_us());
    return LINK_OK;
}

LinkStatus SimDriver::reset(DeviceHandle handle) {
    return setting_call(FaultPoint::reset, handle, "reset");
}

LinkStatus SimDriver::set_baud_rate(DeviceHandle handle, std::uint32_t baud) {
    const LinkStatus status =
        setting_call(FaultPoint::set_baud_rate, handle, call_text("set_baud_rate", {baud}));
    if (status != LINK_OK) {
        return status;
    }
    if (baud == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    baud_ = baud;
    update_line();
    return LINK_OK;
}

LinkStatus SimDriver::set_data_characteristics(DeviceHandle handle, std::uint8_t word_length,
                                               std::uint8_t stop_bits, std::uint8_t parity) {
    const LinkStatus status =
        setting_call(FaultPoint::set_data_characteristics, handle,
                     call_text("set_data_characteristics", {word_length, stop_bits, parity}));
    if (status != LINK_OK) {
        return status;
    }
    line_8n1_ = word_length == 8 && stop_bits == 0 && parity == 0;
    update_line();
    return LINK_OK;
}

LinkStatus SimDriver::set_flow_control(DeviceHandle handle, std::uint16_t mode, std::uint8_t xon,
                                       std::uint8_t xoff) {
    return setting_call(FaultPoint::set_flow_control, handle,
                        call_text("set_flow_control", {mode, xon, xoff}));
}

LinkStatus SimDriver::set_special_characters(DeviceHandle handle, std::uint8_t event_char,
                                             std::uint8_t event_enable, std::uint8_t error_char,
                                             std::uint8_t error_enable) {
    return setting_call(
        FaultPoint::set_special_characters, handle,
        call_text("set_special_characters", {event_char, event_enable, error_char, error_enable}));
}

LinkStatus SimDriver::purge(DeviceHandle handle, std::uint32_t mask) {
    const LinkStatus status = setting_call(FaultPoint::purge, handle, call_text("purge", {mask}));
    // Written bytes are on the wire at once, so the transmit side has nothing to drop.
    if (status == LINK_OK && (mask & PURGE_RECEIVE) != 0) {
        device_.discard_output(time_.now_us());
    }
    return status;
}

LinkStatus SimDriver::set_timeouts(DeviceHandle handle, std::uint32_t read_timeout_ms,
                                   std::uint32_t write_timeout_ms) {
    const LinkStatus status =
        setting_call(FaultPoint::set_timeouts, handle,
                     call_text("set_timeouts", {read_timeout_ms, write_timeout_ms}));
    if (status == LINK_OK) {
        read_timeout_ms_ = read_timeout_ms;
        write_timeout_ms_ = write_timeout_ms;
    }
    return status;
}

}  // namespace kestrune::sim
