// kestrune-demo: the updater's own run, with the real console and clock, against
// the simulated device paced at the link's true speeds. It works in a scratch
// folder of its own, with a sample update file for a device that holds an
// older main firmware, and leaves nothing behind.
#include <cstdio>
#include <cstdlib>
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

// About fourteen seconds of blocks at 115,200 baud, through a converter with
// its usual 16 ms latency timer.
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
    ScratchFolder() = default;
    ~ScratchFolder() {
        if (path_.empty()) {
            return;
        }
        std::error_code ignored;
        fs::current_path(previous_, ignored);
        fs::remove_all(path_, ignored);
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    // Makes the folder and changes into it. On failure, `problem` says why in
    // one line, and nothing is left behind.
    bool enter(std::string& problem) {
        std::error_code error;
        previous_ = fs::current_path(error);
        if (error) {
            problem = "cannot find the current folder (was it removed?): " + error.message();
            return false;
        }
        const fs::path temporary = fs::temp_directory_path(error);
        if (error) {
            const char* variable = std::getenv("TMPDIR");
            problem =
                "no folder for temporary files" +
                (variable != nullptr ? " (TMPDIR=" + std::string(variable) + ")" : std::string()) +
                ": " + error.message();
            return false;
        }
        std::random_device random;
        const fs::path path = temporary / ("kestrune-demo-" + std::to_string(random()));
        if (!fs::create_directory(path, error) || error) {
            problem = "cannot make a scratch folder in " + temporary.string() + ": " +
                      (error ? error.message() : "it exists already");
            return false;
        }
        path_ = path;
        fs::current_path(path_, error);
        if (error) {
            problem = "cannot change into " + path_.string() + ": " + error.message();
            return false;
        }
        return true;
    }

  private:
    fs::path previous_;
    fs::path path_;
};

}  // namespace

int main() {
    using namespace kestrune;
    ScratchFolder folder;
    if (std::string problem; !folder.enter(problem)) {
        std::fprintf(stderr, "kestrune-demo: %s\n", problem.c_str());
        return 2;
    }

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
