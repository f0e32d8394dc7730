// A driver that plays back a script: a status per call, bytes per read, and a
// record of every call and of the bytes written.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "link/driver.hpp"
#include "sim/fake_clock.hpp"

namespace kestrune::testing {

// What one read returns. An empty chunk is a read that finds nothing: it spends
// the whole read time-out on the fake clock.
struct ReadChunk {
    std::vector<std::uint8_t> bytes;
    std::uint32_t cost_ms = 0;  // fake time a read with data takes
};

class ScriptedDriver final : public Driver {
  public:
    static constexpr std::uint32_t READ_TIMEOUT_MS = 300;

    explicit ScriptedDriver(sim::FakeClock& clock) : clock_(clock) {}

    // Statuses returned by the next calls of an operation ("open", "reset",
    // "set_baud_rate", "write", ...), in order; 0 once the queue is empty.
    void queue_status(const std::string& operation, LinkStatus status) {
        statuses_[operation].push_back(status);
    }
    // Bytes for the next reads, in order. A read takes at most what it asked for;
    // the rest of the chunk stays for the next read.
    void queue_read(std::vector<std::uint8_t> bytes, std::uint32_t cost_ms = 0) {
        reads_.push_back({std::move(bytes), cost_ms});
    }
    void queue_silence(std::size_t reads = 1) {
        for (std::size_t i = 0; i < reads; ++i) {
            reads_.push_back({});
        }
    }
    // Written counts for the next writes; a full write once the queue is empty.
    void queue_write_count(std::uint32_t written) { write_counts_.push_back(written); }
    // From now on every call fails at once with this status and moves nothing,
    // as a converter that was pulled out does. A caller that keeps calling
    // without letting time pass is stopped with an exception after
    // TIGHT_LOOP_CALLS calls, so that a test of it fails instead of hanging.
    void fail_every_call(LinkStatus status) { failing_status_ = status; }
    static constexpr std::size_t TIGHT_LOOP_CALLS = 100'000;

    // Calls in order, such as "open(0)", "set_baud_rate(1500000)", "read(6)".
    const std::vector<std::string>& calls() const { return calls_; }
    // Calls other than reads and writes.
    std::vector<std::string> setup_calls() const;
    // One entry per write call, the bytes the program handed over.
    const std::vector<std::vector<std::uint8_t>>& writes() const { return writes_; }
    std::size_t read_count() const { return read_count_; }
    std::size_t reads_left() const { return reads_.size(); }

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

    static DeviceHandle handle_value() { return reinterpret_cast<DeviceHandle>(0x5EED); }

  private:
    LinkStatus record(const std::string& operation, const std::string& call);
    void check_handle(DeviceHandle handle) const;
    // Counts a call made while every call fails; throws once they are too many.
    void count_failed_call();

    sim::FakeClock& clock_;
    std::map<std::string, std::deque<LinkStatus>> statuses_;
    std::deque<ReadChunk> reads_;
    std::deque<std::uint32_t> write_counts_;
    std::vector<std::string> calls_;
    std::vector<std::vector<std::uint8_t>> writes_;
    std::size_t read_count_ = 0;
    LinkStatus failing_status_ = LINK_OK;
    std::size_t failed_calls_ = 0;
};

}  // namespace kestrune::testing
