// Whole updates against a driver whose answers come from the input; see
// run_harness.hpp for the input's layout and the checks.
#include <cstddef>
#include <cstdint>

#include "fuzz/run_harness.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    kestrune::fuzz::run_script(data, size);
    return 0;
}
