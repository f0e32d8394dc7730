// kestrune-demo: the updater's own run, with the real console and clock, against
// the simulated device paced at the link's true speeds. It works in a scratch
// folder of its own, with a sample update file for a device that holds an
// older main firmware, and leaves nothing behind.
#include <cstdio>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "app/run.hpp"
#include "sim/device.hpp"
#include "sim/real_time.hpp"
#include "sim/sim_driver.hpp"
#include "tools/pack.hpp"

namespace {

namespace fs = std::filesystem;

// About ten seconds of blocks at 115,200 baud.
constexpr std::uint32_t SAMPLE_IMAGE_LENGTH = 56 * 1024;

kestrune::sim::DeviceConfig older_device() {
    kestrune::sim::DeviceConfig config;
    config.bootloader_version = {2, 1};
    config.firmware_version = kestrune::sim::Version{1, 4};
    config.erase_time_us = 1'500'000;
    config.block_write_time_us = 4'000;
    return config;
}

// Changes into a new folder for the run and removes it afterwards.
class ScratchFolder {
  public:
    ScratchFolder() : previous_(fs::current_path()) {
        std::random_device random;
        path_ = fs::temp_directory_path() / ("kestrune-demo-" + std::to_string(random()));
        fs::create_directories(path_);
        fs::current_path(path_);
    }
    ~ScratchFolder() {
        std::error_code ignored;
        fs::current_path(previous_, ignored);
        fs::remove_all(path_, ignored);
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

  private:
    fs::path previous_;
    fs::path path_;
};

}  // namespace

int main() {
    using namespace kestrune;
    ScratchFolder folder;

    std::vector<std::uint8_t> file;
    pack::build_update_file(pack::sample_image(SAMPLE_IMAGE_LENGTH), {1, 5}, file);
    if (!pack::write_file_bytes(UPDATE_FILE_NAME, file)) {
        std::fprintf(stderr, "kestrune-demo: cannot write the sample update file\n");
        return 2;
    }

    sim::Device device{older_device()};
    sim::RealTime time;
    sim::SimDriver driver{device, time};
    auto state = std::make_unique<RunState>(driver, system_clock(), system_console());
    return run_update(*state);
}
