// The update file's checksum over the largest file the updater reads.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "image/update_image.hpp"
#include "tools/pack.hpp"

namespace {

void checksum_of_largest_file(benchmark::State& state) {
    const std::vector<std::uint8_t> bytes = kestrune::pack::sample_image(kestrune::IMAGE_CAPACITY);
    for (auto _ : state) {
        std::uint16_t crc = kestrune::image_checksum(bytes.data(), kestrune::IMAGE_CAPACITY,
                                                     kestrune::CHECKSUM_SEED);
        benchmark::DoNotOptimize(crc);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            kestrune::IMAGE_CAPACITY);
}

BENCHMARK(checksum_of_largest_file)->Unit(benchmark::kMillisecond);

}  // namespace
