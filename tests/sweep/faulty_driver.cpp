#include "tests/sweep/faulty_driver.hpp"

#include <algorithm>

namespace kestrune::testing {

namespace {

bool failing(std::optional<Injection> fault) {
    return fault == Injection::fail_once || fault == Injection::fail_from_then_on;
}

}  // namespace

std::optional<Injection> FaultyDriver::begin(Operation operation, std::string name) {
    const std::size_t number = calls_.size();
    CallRecord record;
    record.operation = operation;
    record.name = std::move(name);
    record.start_tick = clock_.tick_ms();
    record.deadline = link_ != nullptr ? link_->deadline : 0;
    calls_.push_back(std::move(record));

    const bool hit = fault_ && fault_->call == number;
    if (hit && fault_->kind == Injection::fail_from_then_on) {
        unplugged_ = true;
    }
    if (unplugged_) {
        return Injection::fail_from_then_on;
    }
    return hit ? std::optional{fault_->kind} : std::nullopt;
}

LinkStatus FaultyDriver::end(LinkStatus status) {
    calls_.back().end_tick = clock_.tick_ms();
    return status;
}

template <typename Call>
LinkStatus FaultyDriver::setting(std::string name, Call call) {
    if (failing(begin(Operation::setting, std::move(name)))) {
        return end(FAILED);
    }
    return end(call());
}

LinkStatus FaultyDriver::open(std::uint32_t device_index, DeviceHandle& handle) {
    if (failing(begin(Operation::open, "open(" + std::to_string(device_index) + ")"))) {
        return end(FAILED);
    }
    const LinkStatus status = inner_.open(device_index, handle);
    opened_ += status == LINK_OK ? 1 : 0;
    return end(status);
}

LinkStatus FaultyDriver::close(DeviceHandle handle) {
    const bool fails = failing(begin(Operation::close, "close"));
    const LinkStatus status = inner_.close(handle);
    closed_ += status == LINK_OK ? 1 : 0;
    return end(fails ? FAILED : status);
}

LinkStatus FaultyDriver::read(DeviceHandle handle, std::uint8_t* buffer, std::uint32_t wanted,
                              std::uint32_t& received) {
    const auto fault = begin(Operation::read, "read(" + std::to_string(wanted) + ")");
    calls_.back().asked = wanted;
    received = 0;
    if (failing(fault)) {
        return end(FAILED);
    }
    if (fault == Injection::silence) {
        clock_.advance_ms(READ_TIMEOUT_MS);
        return end(LINK_OK);
    }
    const std::uint32_t asked =
        fault == Injection::cut_after_byte ? std::min(wanted, fault_->byte + 1) : wanted;
    const LinkStatus status = inner_.read(handle, buffer, asked, received);
    if (fault == Injection::damaged_byte && fault_->byte < received) {
        buffer[fault_->byte] ^= 0xFF;
    }
    calls_.back().moved = received;
    calls_.back().bytes.assign(buffer, buffer + received);
    return end(status);
}

LinkStatus FaultyDriver::write(DeviceHandle handle, const std::uint8_t* buffer, std::uint32_t count,
                               std::uint32_t& written) {
    const auto fault = begin(Operation::write, "write(" + std::to_string(count) + ")");
    calls_.back().asked = count;
    calls_.back().bytes.assign(buffer, buffer + count);
    written = 0;
    if (failing(fault)) {
        return end(FAILED);
    }
    if (fault == Injection::silence) {
        written = count;
        calls_.back().moved = count;
        return end(LINK_OK);
    }
    std::vector<std::uint8_t> sent(buffer, buffer + count);
    if (fault == Injection::damaged_byte && fault_->byte < count) {
        sent[fault_->byte] ^= 0xFF;
    }
    const std::uint32_t given =
        fault == Injection::cut_after_byte ? std::min(count, fault_->byte + 1) : count;
    const LinkStatus status = inner_.write(handle, sent.data(), given, written);
    calls_.back().moved = written;
    return end(status);
}

LinkStatus FaultyDriver::reset(DeviceHandle handle) {
    return setting("reset", [&] { return inner_.reset(handle); });
}

LinkStatus FaultyDriver::set_baud_rate(DeviceHandle handle, std::uint32_t baud) {
    return setting("set_baud_rate(" + std::to_string(baud) + ")",
                   [&] { return inner_.set_baud_rate(handle, baud); });
}

LinkStatus FaultyDriver::set_data_characteristics(DeviceHandle handle, std::uint8_t word_length,
                                                  std::uint8_t stop_bits, std::uint8_t parity) {
    return setting("set_data_characteristics", [&] {
        return inner_.set_data_characteristics(handle, word_length, stop_bits, parity);
    });
}

LinkStatus FaultyDriver::set_flow_control(DeviceHandle handle, std::uint16_t mode, std::uint8_t xon,
                                          std::uint8_t xoff) {
    return setting("set_flow_control",
                   [&] { return inner_.set_flow_control(handle, mode, xon, xoff); });
}

LinkStatus FaultyDriver::set_special_characters(DeviceHandle handle, std::uint8_t event_char,
                                                std::uint8_t event_enable, std::uint8_t error_char,
                                                std::uint8_t error_enable) {
    return setting("set_special_characters", [&] {
        return inner_.set_special_characters(handle, event_char, event_enable, error_char,
                                             error_enable);
    });
}

LinkStatus FaultyDriver::purge(DeviceHandle handle, std::uint32_t mask) {
    return setting("purge", [&] { return inner_.purge(handle, mask); });
}

LinkStatus FaultyDriver::set_timeouts(DeviceHandle handle, std::uint32_t read_timeout_ms,
                                      std::uint32_t write_timeout_ms) {
    return setting("set_timeouts",
                   [&] { return inner_.set_timeouts(handle, read_timeout_ms, write_timeout_ms); });
}

}  // namespace kestrune::testing
