// The converter's driver operations over the simulated device.
//
// Time comes from a SimTime: a FakeClock in tests (reads move it exactly to
// the arrival of the last byte wanted, or to the read time-out), RealTime in
// the demo. Only device index 0 exists. A write puts the bytes on the wire and
// returns at once with the full count; a read waits until the bytes wanted have
// arrived or the read time-out (300 ms unless set) has passed, and returns what
// has arrived (a read time-out of 0 returns at once). Calls and written bytes are recorded in the
// same text form as the scripted test driver: "open(0)", "set_baud_rate(115200)", "read(6)" ...
//
//   sim::FakeClock clock;
//   sim::Device device{sim::DeviceConfig{}};
//   sim::SimDriver driver{device, clock};
//   Link link{driver, clock};
//   ... run the update over link ...
//   EXPECT_TRUE(std::equal(image.begin(), image.end(), device.flash().begin()));
//
// Statuses: a stale or foreign handle, or any call but open on a closed
// device, gives STATUS_INVALID_HANDLE; opening an index other than 0, or
// anything after the connection dropped, STATUS_DEVICE_NOT_FOUND or
// STATUS_IO_ERROR; faults of the device's plan give their own status. A read
// or write that fails, and a write cut short, still takes its time-out, so a
// caller that loops on it sees time pass.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "link/driver.hpp"
#include "sim/device.hpp"
#include "sim/sim_time.hpp"

namespace kestrune::sim {

inline constexpr LinkStatus STATUS_INVALID_HANDLE = 1;
inline constexpr LinkStatus STATUS_DEVICE_NOT_FOUND = 2;
inline constexpr LinkStatus STATUS_DEVICE_NOT_OPENED = 3;
inline constexpr LinkStatus STATUS_IO_ERROR = 4;
inline constexpr LinkStatus STATUS_INVALID_PARAMETER = 6;

class SimDriver final : public Driver {
  public:
    static constexpr std::uint32_t DEFAULT_TIMEOUT_MS = 300;
    // The converter's speed right after opening, before the host sets one.
    static constexpr std::uint32_t DEFAULT_BAUD = 9600;

    SimDriver(Device& device, SimTime& time) : device_(device), time_(time) {}

    // Every call in order, such as "open(0)", "purge(3)", "write(512)".
    const std::vector<std::string>& calls() const { return calls_; }
    // When each call of calls() was made, in microseconds of the SimTime.
    const std::vector<std::uint64_t>& call_times_us() const { return call_times_us_; }
    // One entry per write call: the bytes the host handed over.
    const std::vector<std::vector<std::uint8_t>>& writes() const { return writes_; }
    bool is_open() const { return open_; }

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
    bool valid(DeviceHandle handle) const { return open_ && handle == handle_; }
    // Records a call other than read and write, and decides its status from
    // the handle, the connection and the fault plan.
    LinkStatus setting_call(FaultPoint operation, DeviceHandle handle, std::string call);
    // The status of a call that the handle, a dropped connection or a planned
    // failure stops; nothing when the call goes ahead.
    std::optional<LinkStatus> refusal(DeviceHandle handle, const Fault* fault) const;
    // Tells the device at which speed the host now listens and sends: none
    // unless the line has 8 data bits, one stop bit and no parity.
    void update_line();
    void wait_ms(std::uint32_t milliseconds);
    void record(std::string call);

    Device& device_;
    SimTime& time_;
    bool open_ = false;
    DeviceHandle handle_ = nullptr;
    std::uintptr_t opened_ = 0;
    std::uint32_t baud_ = DEFAULT_BAUD;
    bool line_8n1_ = true;
    std::uint32_t read_timeout_ms_ = DEFAULT_TIMEOUT_MS;
    std::uint32_t write_timeout_ms_ = DEFAULT_TIMEOUT_MS;
    std::vector<std::string> calls_;
    std::vector<std::uint64_t> call_times_us_;
    std::vector<std::vector<std::uint8_t>> writes_;
};

}  // namespace kestrune::sim
