// The driver seam over Linux serial ports: device index N is the N-th port of
// the converter's maker in name order (see select_port).
//
// The run closes the port and opens it again 100 ms later, at the
// bootloader's speed. Were the port really closed in between, another
// program could take it in the gap (and a second open() of a port in
// exclusive mode fails for anyone but root, this process included). So a
// closed port stays open here, parked with its lock, exclusive mode and low
// latency, and the next opening of the same port takes it up again, made
// afresh as a new opening would leave it. The parked port is let go for good
// when another port is opened, when no port of the converter is listed any
// more, when it is found gone or replaced, and when the driver is destroyed
// (the program's end).
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "link/driver.hpp"
#include "link/serial_posix.hpp"
#include "link/serial_posix_ports.hpp"

namespace kestrune::serial {

class SerialDriver final : public Driver {
  public:
    using PortLister = std::function<std::vector<PortListing>()>;
    // Receives the lines for standard error, one at a time, without line end:
    // the port used and the other converter ports passed over, why a port
    // that exists cannot be opened, and that no port of the converter is there.
    using Warning = std::function<void(const std::string&)>;

    SerialDriver(PortLister lister, Warning warning);
    ~SerialDriver() override;

    LinkStatus open(std::uint32_t device_index, DeviceHandle& handle) override;
    LinkStatus close(DeviceHandle handle) override;
    LinkStatus read(DeviceHandle handle, std::uint8_t* buffer, std::uint32_t wanted,
                    std::uint32_t& received) override;
    LinkStatus write(DeviceHandle handle, const std::uint8_t* buffer, std::uint32_t count,
                     std::uint32_t& written) override;
    LinkStatus reset(DeviceHandle handle) override;
    LinkStatus set_baud_rate(DeviceHandle handle, std::uint32_t baud) override;
    LinkStatus set_data_characteristics(DeviceHandle handle, std::uint8_t word_length,
                                        std::uint8_t stop_bits, std::uint8_t parity) override;
    LinkStatus set_flow_control(DeviceHandle handle, std::uint16_t mode, std::uint8_t xon,
                                std::uint8_t xoff) override;
    LinkStatus set_special_characters(DeviceHandle handle, std::uint8_t event_char,
                                      std::uint8_t event_enable, std::uint8_t error_char,
                                      std::uint8_t error_enable) override;
    LinkStatus purge(DeviceHandle handle, std::uint32_t mask) override;
    LinkStatus set_timeouts(DeviceHandle handle, std::uint32_t read_timeout_ms,
                            std::uint32_t write_timeout_ms) override;

  private:
    // The open port behind a handle; nullptr for a handle this driver did not
    // give out or has closed already.
    SerialPort* find(DeviceHandle handle) const;

    struct OpenPort {
        std::string path;
        std::unique_ptr<SerialPort> port;
    };

    // The parked port, made afresh, when it is still the device at `path`.
    std::unique_ptr<SerialPort> take_parked(const std::string& path);
    void tell(const std::string& line) const;

    PortLister lister_;
    Warning warning_;
    std::vector<OpenPort> ports_;
    OpenPort parked_;
    std::string announced_path_;
};

// Writes the line and a line end to standard error.
void warn_on_stderr(const std::string& line);

}  // namespace kestrune::serial
