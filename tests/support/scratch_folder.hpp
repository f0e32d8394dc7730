// A folder of its own for one test, removed with everything in it afterwards.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace kestrune::testing {

class ScratchFolder {
  public:
    ScratchFolder() {
        std::random_device random;
        path_ = std::filesystem::temp_directory_path() /
                ("kestrune-test-" + std::to_string(random()) + std::to_string(random()));
        std::filesystem::create_directories(path_);
    }
    ~ScratchFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::string file(const std::string& name) const { return (path_ / name).string(); }

    // Writes the bytes to a file in the folder and returns its path.
    std::string write(const std::string& name, const std::vector<std::uint8_t>& bytes) const {
        const std::filesystem::path target = path_ / name;
        std::ofstream out(target, std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
        if (!out) {
            throw std::runtime_error("cannot write " + target.string());
        }
        return target.string();
    }

  private:
    std::filesystem::path path_;
};

}  // namespace kestrune::testing
