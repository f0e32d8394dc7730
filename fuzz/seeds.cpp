// The fuzzers' seed inputs, made from runs that are known to work.
//
//   kestrune-fuzz-seeds --write FOLDER   writes FOLDER/load/* and FOLDER/run/*
//   kestrune-fuzz-seeds --check          records each run seed against the
//                                        simulated device, replays it and
//                                        checks both end alike, as expected
//
// The run seeds are whole updates against the simulated device, clean and
// with one fault each, recorded as driver answer scripts (run_harness.hpp).
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/run_harness.hpp"
#include "tools/pack.hpp"

namespace {

using kestrune::fuzz::RunSetup;

struct RunSeed {
    const char* name;
    RunSetup setup;
    const char* device_config;
    int exit_code;  // ANY_EXIT: either ending is sound
};

constexpr int ANY_EXIT = -1;

constexpr std::uint8_t YES = 'Y';
constexpr std::uint8_t NO = 'N';
// Image choices, as indexes into IMAGE_LENGTHS.
constexpr std::uint8_t THREE_BLOCKS = 0;
constexpr std::uint8_t NO_IMAGE = 1;
constexpr std::uint8_t PART_OF_TRAILER = 3;
constexpr std::uint8_t WHOLE_BLOCKS = 4;
// Start 0.5 s before the tick wraps: the wrap falls in the hand-over; 1.5 s
// before: it falls in the erase's wait.
constexpr std::uint8_t WRAP_IN_HANDOVER = 5;
constexpr std::uint8_t WRAP_IN_ERASE = 15;

const RunSeed RUN_SEEDS[] = {
    {"clean", {THREE_BLOCKS, 0, 0, YES}, "", 1},
    {"clean-no-image", {NO_IMAGE, 0, 0, YES}, "", 1},
    {"clean-part-of-trailer", {PART_OF_TRAILER, 0, 0, YES}, "", 1},
    {"clean-whole-blocks", {WHOLE_BLOCKS, 0, 0, YES}, "firmware_version none", 1},
    {"clean-across-tick-wrap", {THREE_BLOCKS, WRAP_IN_HANDOVER, 0, YES}, "", 1},
    {"erase-across-tick-wrap", {THREE_BLOCKS, WRAP_IN_ERASE, 0, YES}, "", 1},
    {"declined", {THREE_BLOCKS, 0, 0, NO}, "", 0},
    {"aborted-after-second-block", {THREE_BLOCKS, 0, 2, YES}, "", 0},
    {"no-device", {THREE_BLOCKS, 0, 0, YES}, "fault open 1 fail 2", 0},
    {"reopening-fails", {THREE_BLOCKS, 0, 0, YES}, "fault open 2 fail 2", 0},
    {"handover-unanswered-once", {THREE_BLOCKS, 0, 0, YES}, "fault handover 1 ignore", 1},
    {"version-report-short", {THREE_BLOCKS, 0, 0, YES}, "fault version 1 short 2", 1},
    {"erase-never-finishes", {THREE_BLOCKS, 0, 0, YES}, "fault erase_done 1 silent", 0},
    {"echo-corrupt-once", {THREE_BLOCKS, 0, 0, YES}, "fault echo 2 corrupt 7", 1},
    {"echo-short", {THREE_BLOCKS, 0, 0, YES}, "fault echo 1 short 300", 0},
    {"block-refused-once", {THREE_BLOCKS, 0, 0, YES}, "fault block_answer 2 refuse", 1},
    {"block-refused-always", {THREE_BLOCKS, 0, 0, YES}, "fault block_answer * refuse", 0},
    {"handover-request-short", {THREE_BLOCKS, 0, 0, YES}, "fault write 1 short 3", 1},
    {"block-write-short", {THREE_BLOCKS, 0, 0, YES}, "fault write 4 short 100", 1},
    {"read-fails", {THREE_BLOCKS, 0, 0, YES}, "fault read 8 fail 4", 1},
    {"unplugged-in-transfer", {THREE_BLOCKS, 0, 0, YES}, "fault read 10 drop", 0},
};

// Update files for the loader: good ones of several shapes and a few bad.
std::vector<std::pair<std::string, std::vector<std::uint8_t>>> load_seeds() {
    using namespace kestrune::pack;
    std::vector<std::pair<std::string, std::vector<std::uint8_t>>> seeds;
    const auto add_built = [&](const char* name, std::uint32_t image_length) {
        std::vector<std::uint8_t> file;
        build_update_file(sample_image(image_length), {1, 2}, file);
        seeds.emplace_back(name, file);
    };
    add_built("good-no-image", 0);
    add_built("good-short", 37);
    add_built("good-one-block", 512);
    add_built("good-three-blocks", 1'200);
    std::vector<std::uint8_t> swapped = seeds.back().second;
    std::swap(swapped[swapped.size() - 1], swapped[swapped.size() - 2]);
    seeds.emplace_back("checksum-low-byte-first", swapped);
    std::vector<std::uint8_t> damaged = seeds[1].second;
    damaged[5] ^= 0x10;
    seeds.emplace_back("image-byte-damaged", damaged);
    seeds.emplace_back("three-bytes", std::vector<std::uint8_t>{0x01, 0x02, 0x03});
    seeds.emplace_back("empty", std::vector<std::uint8_t>{});
    return seeds;
}

bool write_seeds(const std::filesystem::path& folder) {
    const std::filesystem::path load_folder = folder / "load";
    const std::filesystem::path run_folder = folder / "run";
    std::filesystem::create_directories(load_folder);
    std::filesystem::create_directories(run_folder);
    for (const auto& [name, bytes] : load_seeds()) {
        if (!kestrune::pack::write_file_bytes((load_folder / name).string(), bytes)) {
            return false;
        }
    }
    for (const RunSeed& seed : RUN_SEEDS) {
        kestrune::fuzz::RunResult recorded;
        const std::vector<std::uint8_t> script =
            kestrune::fuzz::record_script(seed.setup, seed.device_config, recorded);
        if (!kestrune::pack::write_file_bytes((run_folder / seed.name).string(), script)) {
            return false;
        }
    }
    return true;
}

bool check_seeds() {
    bool all_good = true;
    for (const RunSeed& seed : RUN_SEEDS) {
        kestrune::fuzz::RunResult recorded;
        const std::vector<std::uint8_t> script =
            kestrune::fuzz::record_script(seed.setup, seed.device_config, recorded);
        const kestrune::fuzz::RunResult replayed =
            kestrune::fuzz::run_script(script.data(), script.size());
        const bool good = (seed.exit_code == ANY_EXIT || recorded.exit_code == seed.exit_code) &&
                          replayed.exit_code == recorded.exit_code &&
                          replayed.output == recorded.output;
        std::printf("%-28s exit %d, %zu script bytes, %llu ms simulated: %s\n", seed.name,
                    replayed.exit_code, script.size(),
                    static_cast<unsigned long long>(replayed.elapsed_ms),
                    good ? "replays alike" : "DIFFERS");
        if (!good) {
            std::printf(
                "  expected exit %d\n  recorded (exit %d):\n%s\n  replayed (exit %d):\n%s\n",
                seed.exit_code, recorded.exit_code, recorded.output.c_str(), replayed.exit_code,
                replayed.output.c_str());
            all_good = false;
        }
    }
    return all_good;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string_view mode = argc > 1 ? argv[1] : "";
    if (mode == "--write" && argc == 3) {
        return write_seeds(argv[2]) ? 0 : 1;
    }
    if (mode == "--check" && argc == 2) {
        return check_seeds() ? 0 : 1;
    }
    std::fprintf(stderr, "usage: kestrune-fuzz-seeds --write FOLDER | --check\n");
    return 2;
}
