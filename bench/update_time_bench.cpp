// How long a whole update takes on the line: the updater's own run, from the
// start message to the closed link, against the simulated device on the fake
// clock, for update files of 1 MB and 5 MB (1,000,000 and 5,000,000 bytes).
//
// The time reported is the simulated time (manual time), one run each; the
// CPU column is what that run cost on this machine. The device is the default
// one with its converter's latency timer at 16 ms (as a converter comes), at
// 1 ms (the low-latency setting), and at 0 ms (no converter wait: the wire
// and the flash alone). Counters: blocks sent, the time of one block once the
// transfer runs (per_block_ms), and how the run's time divides into time on
// the wire (wire_s, both directions), erasing and writing flash (flash_s) and
// the converter's wait (converter_s); the 100 ms pause before the link is
// opened again makes up the rest.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "app/run.hpp"
#include "sim/device.hpp"
#include "sim/fake_clock.hpp"
#include "sim/sim_driver.hpp"
#include "tools/pack.hpp"

namespace {

using namespace kestrune;
namespace fs = std::filesystem;

struct Converter {
    const char* name;
    std::uint64_t latency_timer_us;
};
constexpr Converter CONVERTERS[] = {
    {"latency_0ms", 0},
    {"latency_16ms", sim::DEFAULT_LATENCY_TIMER_US},
    {"latency_1ms", sim::LOW_LATENCY_TIMER_US},
};

struct FileSize {
    const char* name;
    std::uint32_t bytes;
};
constexpr FileSize FILE_SIZES[] = {{"100kB", 100'000},
                                   {"500kB", 500'000},
                                   {"1MB", 1'000'000},
                                   {"2MB", 2'000'000},
                                   {"5MB", 5'000'000}};

constexpr double MICROSECONDS_PER_SECOND = 1e6;
constexpr double MICROSECONDS_PER_MS = 1e3;

// Set when an update did not complete: the program then ends with status 1.
bool update_failed = false;

double seconds(std::uint64_t micros) {
    return static_cast<double>(micros) / MICROSECONDS_PER_SECOND;
}

// Answers Y, has no keyboard, and notes the simulated time after every block
// (the transfer looks for a key press there).
class BlockTimingConsole final : public Console {
  public:
    explicit BlockTimingConsole(sim::FakeClock& clock) : clock_(clock) {}

    void write_text(std::string_view) override {}
    char read_key() override { return 'y'; }
    bool key_waiting() override {
        const std::uint64_t now = clock_.now_us();
        if (blocks == 0) {
            first_block_end_us = now;
        }
        last_block_end_us = now;
        ++blocks;
        return false;
    }
    void cursor_to_line_start() override {}
    bool has_keyboard() const override { return false; }

    std::uint64_t blocks = 0;
    std::uint64_t first_block_end_us = 0;
    std::uint64_t last_block_end_us = 0;

  private:
    sim::FakeClock& clock_;
};

sim::DeviceConfig device_config(std::uint64_t latency_timer_us) {
    sim::DeviceConfig config;
    config.bootloader_version = {2, 1};
    config.firmware_version = sim::Version{1, 4};
    config.latency_timer_us = latency_timer_us;
    return config;
}

// A folder of update files of every size, removed at the end.
class UpdateFiles {
  public:
    UpdateFiles() {
        std::random_device random;
        folder_ = fs::temp_directory_path() / ("kestrune-bench-" + std::to_string(random()));
        fs::create_directories(folder_);
    }
    ~UpdateFiles() {
        std::error_code ignored;
        fs::remove_all(folder_, ignored);
    }
    UpdateFiles(const UpdateFiles&) = delete;
    UpdateFiles& operator=(const UpdateFiles&) = delete;

    // The path of a file of that many bytes; empty when it cannot be written.
    std::string make(std::uint32_t file_bytes) {
        std::vector<std::uint8_t> file;
        pack::build_update_file(pack::sample_image(file_bytes - TRAILER_SIZE), {1, 5}, file);
        const fs::path path = folder_ / (std::to_string(file_bytes) + ".fwu");
        return pack::write_file_bytes(path.string(), file) ? path.string() : std::string();
    }

  private:
    fs::path folder_;
};

void whole_update(benchmark::State& state, std::uint64_t latency_timer_us,
                  const std::string& file_path, std::uint32_t file_bytes) {
    const std::uint64_t expected_blocks = (file_bytes - TRAILER_SIZE + BLOCK_SIZE - 1) / BLOCK_SIZE;
    for (auto _ : state) {
        sim::FakeClock clock;
        BlockTimingConsole console{clock};
        auto device = std::make_unique<sim::Device>(device_config(latency_timer_us));
        sim::SimDriver driver{*device, clock};
        auto run = std::make_unique<RunState>(driver, clock, console);
        const std::uint64_t start_us = clock.now_us();
        const int code = run_update(*run, file_path.c_str());
        if (code != 1 || device->blocks_written() != expected_blocks ||
            console.blocks != expected_blocks) {
            state.SkipWithError("the update did not complete");
            update_failed = true;
            break;
        }
        const std::uint64_t run_us = clock.now_us() - start_us;
        state.SetIterationTime(seconds(run_us));
        state.counters["blocks"] = static_cast<double>(console.blocks);
        state.counters["per_block_ms"] =
            static_cast<double>(console.last_block_end_us - console.first_block_end_us) /
            static_cast<double>(console.blocks - 1) / MICROSECONDS_PER_MS;
        state.counters["wire_s"] = seconds(device->wire_time_us());
        state.counters["flash_s"] = seconds(device->device_time_us());
        state.counters["converter_s"] = seconds(device->converter_wait_us());
    }
}

// The device's settings on one line, "name value, name value ...".
std::string settings_line(const sim::DeviceConfig& config) {
    std::string line = sim::settings_text(config);
    for (std::size_t end = line.find('\n'); end != std::string::npos; end = line.find('\n')) {
        line.replace(end, 1, end + 1 == line.size() ? "" : ", ");
    }
    return line;
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    UpdateFiles files;
    for (const FileSize& size : FILE_SIZES) {
        const std::string path = files.make(size.bytes);
        if (path.empty()) {
            std::fprintf(stderr, "kestrune-bench-update-time: cannot write an update file\n");
            return 1;
        }
        for (const Converter& converter : CONVERTERS) {
            const std::string name = std::string("update_time/") + converter.name + "/" + size.name;
            benchmark::RegisterBenchmark(name.c_str(), whole_update, converter.latency_timer_us,
                                         path, size.bytes)
                ->UseManualTime()
                ->Iterations(1)
                ->Unit(benchmark::kSecond);
        }
    }
    benchmark::AddCustomContext("device",
                                settings_line(device_config(sim::DEFAULT_LATENCY_TIMER_US)));
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return update_failed ? 1 : 0;
}
