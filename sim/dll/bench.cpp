#include "sim/dll/bench.hpp"

#include <utility>
#include <vector>

#include "sim/device.hpp"
#include "sim/device_config.hpp"
#include "sim/real_time.hpp"
#include "sim/sim_driver.hpp"

namespace kestrune::sim::dll {

namespace {

class Bench {
  public:
    explicit Bench(DeviceConfig config) : device_(std::move(config)), driver_(device_, time_) {}

    SimDriver& driver() { return driver_; }
    const Device& device() const { return device_; }

    void record_new_calls(const BenchFiles& files) {
        const std::vector<std::string>& calls = driver_.calls();
        for (; recorded_ < calls.size(); ++recorded_) {
            files.record(calls[recorded_]);
        }
    }

  private:
    Device device_;
    RealTime time_;
    SimDriver driver_;
    std::size_t recorded_ = 0;
};

BenchFiles bench_files;
std::optional<Bench> bench;
bool bench_tried = false;

}  // namespace

void connect_bench(const BenchFiles& files) {
    bench_files = files;
}

Driver* bench_driver() {
    if (!bench_tried) {
        bench_tried = true;
        DeviceConfig config;
        if (const std::optional<std::string> text = bench_files.read_config()) {
            std::string error;
            std::optional<DeviceConfig> parsed = parse_device_config(*text, error);
            if (!parsed) {
                bench_files.record("config error: " + error);
                return nullptr;
            }
            config = std::move(*parsed);
        }
        bench.emplace(std::move(config));
    }
    return bench ? &bench->driver() : nullptr;
}

void record_new_calls() {
    if (bench) {
        bench->record_new_calls(bench_files);
    }
}

void save_bench_flash() {
    if (bench) {
        const auto flash = bench->device().flash();
        bench_files.save_flash(flash.data(), flash.size());
    }
}

}  // namespace kestrune::sim::dll
