// A driver that passes every call on to another one, records it with its time
// and the deadline then in force, and injects at most one fault of a run.
//
// Calls are numbered from 0 in the order the program makes them; bytes are
// numbered within the call that moves them. A run that repeats a recorded clean
// run makes the same calls up to the fault, so a fault point is a call number,
// or a call number and a byte, with a kind:
//
//   fail_once          the call fails with a non-zero status and moves nothing,
//                      at once; the next call goes ahead as usual
//   fail_from_then_on  this call and every later one fail at once and move
//                      nothing, as on a converter that was pulled out
//   silence            a read returns nothing after the read time-out and the
//                      bytes stay for the next read; a write is reported done
//                      but its bytes are lost
//   damaged_byte       the byte reaches the other end with another value
//   cut_after_byte     a read returns the bytes up to and including this one,
//                      the rest stays for the next read; a write takes the
//                      bytes up to and including this one and reports that
//                      count, the rest is the caller's to send again
//
// A close that fails still lets the handle go, as an operating system does
// with a handle whose device has gone: the decorator passes it on and reports
// the failure. An open that fails gives no handle.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "link/driver.hpp"
#include "link/link.hpp"
#include "sim/fake_clock.hpp"

namespace kestrune::testing {

enum class Injection { fail_once, fail_from_then_on, silence, damaged_byte, cut_after_byte };

struct InjectedFault {
    Injection kind = Injection::fail_once;
    std::size_t call = 0;
    std::uint32_t byte = 0;  // damaged_byte and cut_after_byte only
};

enum class Operation { open, close, read, write, setting };

struct CallRecord {
    Operation operation = Operation::setting;
    std::string name;                 // "read(512)", "set_baud_rate(115200)" ...
    std::vector<std::uint8_t> bytes;  // read: what the program received; write: what it handed over
    std::uint32_t asked = 0;          // bytes asked for or handed over
    std::uint32_t moved = 0;          // bytes received or taken
    std::uint32_t start_tick = 0;
    std::uint32_t end_tick = 0;
    Deadline deadline = 0;  // in force when the call started
};

class FaultyDriver final : public Driver {
  public:
    static constexpr LinkStatus FAILED = 4;  // an I/O error

    FaultyDriver(Driver& inner, sim::FakeClock& clock, std::optional<InjectedFault> fault)
        : inner_(inner), clock_(clock), fault_(fault) {}

    // The run's link, whose deadline each call records.
    void watch(const Link& link) { link_ = &link; }

    const std::vector<CallRecord>& calls() const { return calls_; }
    std::uint32_t handles_opened() const { return opened_; }
    std::uint32_t handles_closed() const { return closed_; }

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
    // Starts the record of the next call; returns the fault that hits it.
    std::optional<Injection> begin(Operation operation, std::string name);
    LinkStatus end(LinkStatus status);
    // A call other than read and write: fails as planned or goes ahead.
    template <typename Call>
    LinkStatus setting(std::string name, Call call);

    Driver& inner_;
    sim::FakeClock& clock_;
    std::optional<InjectedFault> fault_;
    const Link* link_ = nullptr;
    bool unplugged_ = false;
    std::vector<CallRecord> calls_;
    std::uint32_t opened_ = 0;
    std::uint32_t closed_ = 0;
};

}  // namespace kestrune::testing
