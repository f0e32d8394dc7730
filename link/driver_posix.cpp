// The driver on Linux: the converter's serial port.
#include <algorithm>
#include <cstdio>
#include <vector>

#include "link/serial_posix_driver.hpp"

namespace kestrune::serial {

SerialDriver::SerialDriver(PortLister lister, Warning warning)
    : lister_(std::move(lister)), warning_(std::move(warning)) {}

SerialDriver::~SerialDriver() = default;

namespace {

template <typename OpenPorts>
auto find_open(OpenPorts& ports, DeviceHandle handle) {
    return std::find_if(ports.begin(), ports.end(),
                        [handle](const auto& open) { return open.port.get() == handle; });
}

}  // namespace

SerialPort* SerialDriver::find(DeviceHandle handle) const {
    const auto found = find_open(ports_, handle);
    return found == ports_.end() ? nullptr : found->port.get();
}

std::unique_ptr<SerialPort> SerialDriver::take_parked(const std::string& path) {
    OpenPort parked = std::move(parked_);
    parked_ = {};
    if (!parked.port || parked.path != path || !parked.port->still_at(path) ||
        parked.port->start_afresh() != LINK_OK) {
        return nullptr;  // the parked port, if any, closes here
    }
    return std::move(parked.port);
}

LinkStatus SerialDriver::open(std::uint32_t device_index, DeviceHandle& handle) {
    const std::vector<std::string> listed = converter_ports(lister_());
    if (device_index >= listed.size()) {
        parked_ = {};
        if (listed.empty()) {
            tell(describe_no_converter());
        }
        return SERIAL_NOT_FOUND;
    }
    const std::string& path = listed[device_index];
    std::unique_ptr<SerialPort> port = take_parked(path);
    if (!port) {
        OpenResult opened = open_serial_port(path);
        if (opened.status != LINK_OK) {
            if (opened.status == SERIAL_CANNOT_OPEN) {
                tell(describe_open_failure(path, opened.failure, opened.error,
                                           opened.failure == OpenFailure::permission
                                               ? owning_group(path)
                                               : std::string{}));
            }
            return opened.status;
        }
        port = std::move(opened.port);
    }
    // Said once for each port chosen, not again when it is opened again.
    if (path != announced_path_) {
        announced_path_ = path;
        tell(describe_port_choice(listed, device_index));
    }
    handle = port.get();
    ports_.push_back({path, std::move(port)});
    return LINK_OK;
}

void SerialDriver::tell(const std::string& line) const {
    if (warning_) {
        warning_(line);
    }
}

LinkStatus SerialDriver::close(DeviceHandle handle) {
    const auto found = find_open(ports_, handle);
    if (found == ports_.end()) {
        return SERIAL_INVALID_ARGUMENT;
    }
    // Parked, not closed: see the class's description.
    parked_ = std::move(*found);
    ports_.erase(found);
    return LINK_OK;
}

LinkStatus SerialDriver::read(DeviceHandle handle, std::uint8_t* buffer, std::uint32_t wanted,
                              std::uint32_t& received) {
    received = 0;
    SerialPort* port = find(handle);
    return port == nullptr ? SERIAL_INVALID_ARGUMENT : port->read(buffer, wanted, received);
}

LinkStatus SerialDriver::write(DeviceHandle handle, const std::uint8_t* buffer, std::uint32_t count,
                               std::uint32_t& written) {
    written = 0;
    SerialPort* port = find(handle);
    return port == nullptr ? SERIAL_INVALID_ARGUMENT : port->write(buffer, count, written);
}

LinkStatus SerialDriver::reset(DeviceHandle handle) {
    SerialPort* port = find(handle);
    return port == nullptr ? SERIAL_INVALID_ARGUMENT : port->reset();
}

LinkStatus SerialDriver::set_baud_rate(DeviceHandle handle, std::uint32_t baud) {
    SerialPort* port = find(handle);
    return port == nullptr ? SERIAL_INVALID_ARGUMENT : port->set_baud_rate(baud);
}

LinkStatus SerialDriver::set_data_characteristics(DeviceHandle handle, std::uint8_t word_length,
                                                  std::uint8_t stop_bits, std::uint8_t parity) {
    SerialPort* port = find(handle);
    return port == nullptr ? SERIAL_INVALID_ARGUMENT
                           : port->set_data_characteristics(word_length, stop_bits, parity);
}

LinkStatus SerialDriver::set_flow_control(DeviceHandle handle, std::uint16_t mode, std::uint8_t xon,
                                          std::uint8_t xoff) {
    SerialPort* port = find(handle);
    return port == nullptr ? SERIAL_INVALID_ARGUMENT : port->set_flow_control(mode, xon, xoff);
}

LinkStatus SerialDriver::set_special_characters(DeviceHandle handle, std::uint8_t event_char,
                                                std::uint8_t event_enable, std::uint8_t error_char,
                                                std::uint8_t error_enable) {
    SerialPort* port = find(handle);
    return port == nullptr
               ? SERIAL_INVALID_ARGUMENT
               : port->set_special_characters(event_char, event_enable, error_char, error_enable);
}

LinkStatus SerialDriver::purge(DeviceHandle handle, std::uint32_t mask) {
    SerialPort* port = find(handle);
    return port == nullptr ? SERIAL_INVALID_ARGUMENT : port->purge(mask);
}

LinkStatus SerialDriver::set_timeouts(DeviceHandle handle, std::uint32_t read_timeout_ms,
                                      std::uint32_t write_timeout_ms) {
    SerialPort* port = find(handle);
    return port == nullptr ? SERIAL_INVALID_ARGUMENT
                           : port->set_timeouts(read_timeout_ms, write_timeout_ms);
}

void warn_on_stderr(const std::string& line) {
    std::fputs(line.c_str(), stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
}

}  // namespace kestrune::serial

namespace kestrune {

Driver& system_driver() {
    static serial::SerialDriver driver(serial::list_system_ports, serial::warn_on_stderr);
    return driver;
}

}  // namespace kestrune
