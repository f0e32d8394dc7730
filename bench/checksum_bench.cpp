// The update file's checksum over the largest file the updater reads, in the
// form the program uses (sixteen bytes a step) beside the bytewise form.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "image/checksum.hpp"
#include "image/update_image.hpp"
#include "tools/pack.hpp"

namespace {

using ChecksumForm = std::uint16_t (*)(const std::uint8_t*, std::uint32_t, std::uint16_t);

void checksum_of_largest_file(benchmark::State& state, ChecksumForm checksum) {
    const std::vector<std::uint8_t> bytes = kestrune::pack::sample_image(kestrune::IMAGE_CAPACITY);
    for (auto _ : state) {
        std::uint16_t crc =
            checksum(bytes.data(), kestrune::IMAGE_CAPACITY, kestrune::CHECKSUM_SEED);
        benchmark::DoNotOptimize(crc);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            kestrune::IMAGE_CAPACITY);
}

BENCHMARK_CAPTURE(checksum_of_largest_file, sixteen_bytes_a_step, kestrune::image_checksum)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(checksum_of_largest_file, bytewise, kestrune::image_checksum_bytewise)
    ->Unit(benchmark::kMillisecond);

}  // namespace
