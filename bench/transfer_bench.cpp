// Host time per block of the transfer, against the simulated device with no
// wire or device time: what the program itself adds to every block.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>
#include <string_view>

#include "protocol/bootloader.hpp"
#include "protocol/transfer.hpp"
#include "sim/device.hpp"
#include "sim/fake_clock.hpp"
#include "sim/sim_driver.hpp"
#include "tools/pack.hpp"

namespace {

using namespace kestrune;

constexpr std::uint32_t BLOCKS = 1024;

// A console that only takes the progress text.
class QuietConsole final : public Console {
  public:
    void write_text(std::string_view text) override { written += text.size(); }
    char read_key() override { return 'n'; }
    bool key_waiting() override { return false; }
    void cursor_to_line_start() override {}
    bool has_keyboard() const override { return false; }
    std::size_t written = 0;
};

void transfer_per_block(benchmark::State& state) {
    auto image = std::make_unique<UpdateImage>();
    const auto sample = pack::sample_image(BLOCKS * BLOCK_SIZE);
    std::copy(sample.begin(), sample.end(), image->buffer.begin());
    image->file_length = BLOCKS * BLOCK_SIZE + TRAILER_SIZE;

    sim::DeviceConfig config;
    config.zero_time = true;
    config.flash_size = BLOCKS * BLOCK_SIZE;
    QuietConsole console;

    for (auto _ : state) {
        state.PauseTiming();
        sim::FakeClock clock;
        auto device = std::make_unique<sim::Device>(config);
        sim::SimDriver driver{*device, clock};
        Link link{driver, clock};
        std::uint8_t answer = 0;
        TransferState transfer;
        Progress progress;
        if (open_link(link, MAIN_FIRMWARE_BAUD) != OpenOutcome::opened) {
            state.SkipWithError("link did not open");
            break;
        }
        // The device takes blocks only once it is in its bootloader and erased.
        HandshakeAnswer handshake{};
        enter_bootloader(link, handshake);
        erase_flash(link, answer);
        state.ResumeTiming();

        const TransferOutcome outcome =
            transfer_image(link, *image, transfer, answer, console, progress);

        state.PauseTiming();
        if (outcome != TransferOutcome::completed || device->blocks_written() != BLOCKS) {
            state.SkipWithError("transfer did not complete");
            break;
        }
        state.ResumeTiming();
    }
    state.counters["per_block"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * BLOCKS,
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

BENCHMARK(transfer_per_block)->Unit(benchmark::kMillisecond);

}  // namespace
