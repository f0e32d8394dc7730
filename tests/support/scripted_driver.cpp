#include "tests/support/scripted_driver.hpp"

#include "tests/support/link_calls.hpp"

#include <algorithm>
#include <stdexcept>

namespace kestrune::testing {

void ScriptedDriver::count_failed_call() {
    if (++failed_calls_ > TIGHT_LOOP_CALLS) {
        throw std::runtime_error("driver called in a tight loop while every call fails");
    }
}

LinkStatus ScriptedDriver::record(const std::string& operation, const std::string& call) {
    calls_.push_back(call);
    if (failing_status_ != LINK_OK) {
        count_failed_call();
        return failing_status_;
    }
    auto& queue = statuses_[operation];
    if (queue.empty()) {
        return LINK_OK;
    }
    LinkStatus status = queue.front();
    queue.pop_front();
    return status;
}

void ScriptedDriver::check_handle(DeviceHandle handle) const {
    if (handle != handle_value()) {
        throw std::logic_error("driver called with a handle it never gave out");
    }
}

std::vector<std::string> ScriptedDriver::setup_calls() const {
    return testing::setup_calls(calls_);
}

LinkStatus ScriptedDriver::open(std::uint32_t device_index, DeviceHandle& handle) {
    LinkStatus status = record("open", "open(" + std::to_string(device_index) + ")");
    if (status == LINK_OK) {
        handle = handle_value();
    }
    return status;
}

LinkStatus ScriptedDriver::close(DeviceHandle handle) {
    check_handle(handle);
    return record("close", "close");
}

LinkStatus ScriptedDriver::read(DeviceHandle handle, std::uint8_t* buffer, std::uint32_t wanted,
                                std::uint32_t& received) {
    check_handle(handle);
    ++read_count_;
    LinkStatus status = record("read", "read(" + std::to_string(wanted) + ")");
    received = 0;
    if (failing_status_ != LINK_OK) {
        return status;
    }
    if (reads_.empty() || reads_.front().bytes.empty()) {
        if (!reads_.empty()) {
            reads_.pop_front();
        }
        clock_.advance_ms(READ_TIMEOUT_MS);
        return status;
    }
    ReadChunk& chunk = reads_.front();
    const auto count =
        static_cast<std::uint32_t>(std::min<std::size_t>(wanted, chunk.bytes.size()));
    std::copy_n(chunk.bytes.begin(), count, buffer);
    received = count;
    clock_.advance_ms(chunk.cost_ms);
    chunk.bytes.erase(chunk.bytes.begin(), chunk.bytes.begin() + count);
    if (chunk.bytes.empty()) {
        reads_.pop_front();
    } else {
        chunk.cost_ms = 0;
    }
    return status;
}

LinkStatus ScriptedDriver::write(DeviceHandle handle, const std::uint8_t* buffer,
                                 std::uint32_t count, std::uint32_t& written) {
    check_handle(handle);
    LinkStatus status = record("write", "write(" + std::to_string(count) + ")");
    writes_.emplace_back(buffer, buffer + count);
    written = 0;
    if (failing_status_ != LINK_OK) {
        return status;
    }
    written = count;
    if (!write_counts_.empty()) {
        written = std::min(count, write_counts_.front());
        write_counts_.pop_front();
    }
    return status;
}

LinkStatus ScriptedDriver::reset(DeviceHandle handle) {
    check_handle(handle);
    return record("reset", "reset");
}

LinkStatus ScriptedDriver::set_baud_rate(DeviceHandle handle, std::uint32_t baud) {
    check_handle(handle);
    return record("set_baud_rate", "set_baud_rate(" + std::to_string(baud) + ")");
}

LinkStatus ScriptedDriver::set_data_characteristics(DeviceHandle handle, std::uint8_t word_length,
                                                    std::uint8_t stop_bits, std::uint8_t parity) {
    check_handle(handle);
    return record("set_data_characteristics",
                  "set_data_characteristics(" + std::to_string(word_length) + "," +
                      std::to_string(stop_bits) + "," + std::to_string(parity) + ")");
}

LinkStatus ScriptedDriver::set_flow_control(DeviceHandle handle, std::uint16_t mode,
                                            std::uint8_t xon, std::uint8_t xoff) {
    check_handle(handle);
    return record("set_flow_control", "set_flow_control(" + std::to_string(mode) + "," +
                                          std::to_string(xon) + "," + std::to_string(xoff) + ")");
}

LinkStatus ScriptedDriver::set_special_characters(DeviceHandle handle, std::uint8_t event_char,
                                                  std::uint8_t event_enable,
                                                  std::uint8_t error_char,
                                                  std::uint8_t error_enable) {
    check_handle(handle);
    return record("set_special_characters", "set_special_characters(" + std::to_string(event_char) +
                                                "," + std::to_string(event_enable) + "," +
                                                std::to_string(error_char) + "," +
                                                std::to_string(error_enable) + ")");
}

LinkStatus ScriptedDriver::purge(DeviceHandle handle, std::uint32_t mask) {
    check_handle(handle);
    return record("purge", "purge(" + std::to_string(mask) + ")");
}

LinkStatus ScriptedDriver::set_timeouts(DeviceHandle handle, std::uint32_t read_timeout_ms,
                                        std::uint32_t write_timeout_ms) {
    check_handle(handle);
    return record("set_timeouts", "set_timeouts(" + std::to_string(read_timeout_ms) + "," +
                                      std::to_string(write_timeout_ms) + ")");
}

}  // namespace kestrune::testing
