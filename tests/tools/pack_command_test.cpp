#include "tools/pack_command.hpp"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "image/update_image.hpp"
#include "tests/support/scratch_folder.hpp"
#include "tools/pack.hpp"

namespace kestrune::pack {
namespace {

struct Result {
    int exit_code;
    std::string out;
    std::string err;
};

Result run(const std::vector<std::string>& args) {
    std::ostringstream out;
    std::ostringstream err;
    const int exit_code = run_pack_command(args, out, err);
    return {exit_code, out.str(), err.str()};
}

// A failure is one line on the error stream and nothing on the output.
void expect_one_line_error(const Result& result, const std::string& contains) {
    EXPECT_EQ(result.exit_code, EXIT_FAILED);
    EXPECT_TRUE(result.out.empty()) << result.out;
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
    EXPECT_TRUE(!result.err.empty() && result.err.back() == '\n') << result.err;
    EXPECT_NE(result.err.find(contains), std::string::npos) << result.err;
}

class PackCommand : public ::testing::Test {
  protected:
    testing::ScratchFolder folder_;
};

TEST_F(PackCommand, BadArgumentsGiveTheReasonAndTheUsage) {
    const std::string out = folder_.file("out.fwu");
    const std::string usage = "usage: kestrune-pack build IMAGE MAJOR.MINOR OUT\n";
    struct Case {
        std::vector<std::string> args;
        std::string reason;  // the first line on the error stream
    };
    const Case cases[] = {
        {{}, ""},
        {{"pack"}, "unknown command 'pack'"},
        {{"--inspect", "a.fwu"}, "unknown option '--inspect'"},
        {{"-v"}, "unknown option '-v'"},
        {{"build"}, "build takes 3 arguments (IMAGE MAJOR.MINOR OUT), got 0"},
        {{"build", "image.bin", "1.0"}, "build takes 3 arguments (IMAGE MAJOR.MINOR OUT), got 2"},
        {{"sample", "100", "1.0", out, "extra"},
         "sample takes 3 arguments (SIZE MAJOR.MINOR OUT), got 4"},
        {{"inspect"}, "inspect takes 1 argument (FILE), got 0"},
        {{"inspect", "a.fwu", "b.fwu"}, "inspect takes 1 argument (FILE), got 2"},
        {{"--version", "x"}, "--version takes no arguments, got 1"},
        {{"--help", "build"}, "--help takes no arguments, got 1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reason);
        const Result result = run(c.args);
        EXPECT_EQ(result.exit_code, EXIT_FAILED);
        EXPECT_TRUE(result.out.empty()) << result.out;
        const std::string first_line = c.reason.empty() ? "" : "kestrune-pack: " + c.reason + "\n";
        EXPECT_EQ(result.err.substr(0, first_line.size() + usage.size()), first_line + usage);
        EXPECT_EQ(result.err.back(), '\n');
    }
    EXPECT_FALSE(std::filesystem::exists(out));
}

TEST_F(PackCommand, HelpAndVersionGoToTheOutput) {
    for (const char* word : {"--help", "-h", "help", "--version"}) {
        SCOPED_TRACE(word);
        const Result result = run({word});
        EXPECT_EQ(result.exit_code, EXIT_DONE);
        EXPECT_TRUE(result.err.empty()) << result.err;
        EXPECT_EQ(result.out.rfind(std::string("kestrune-pack ") + KESTRUNE_VERSION, 0), 0U)
            << result.out;
    }
    // The help describes every command and what each exit code means.
    const std::string help = run({"--help"}).out;
    for (const char* topic : {"  build IMAGE MAJOR.MINOR OUT\n", "  sample SIZE MAJOR.MINOR OUT\n",
                              "  inspect FILE\n", "Examples:\n", "\n  0  ", "\n  1  ", "\n  2  "}) {
        EXPECT_NE(help.find(topic), std::string::npos) << topic;
    }
}

TEST_F(PackCommand, RefusedInputsWriteNothing) {
    const std::string image_path = folder_.write("image.bin", sample_image(100));
    const std::string too_large = folder_.write("large.bin", sample_image(MAX_IMAGE_LENGTH + 1));
    const std::string out = folder_.file("out.fwu");
    struct Case {
        std::vector<std::string> args;
        std::string message;
    };
    const Case cases[] = {
        {{"build", image_path, "256.0", out}, "bad version '256.0'"},
        {{"build", image_path, "1", out}, "bad version '1'"},
        {{"sample", "100", "1.x", out}, "bad version '1.x'"},
        {{"build", folder_.file("missing.bin"), "1.0", out},
         "cannot read '" + folder_.file("missing.bin") + "': No such file or directory"},
        {{"inspect", folder_.file("missing.fwu")}, "': No such file or directory"},
        {{"build", too_large, "1.0", out}, "too large"},
        {{"sample", "4999997", "1.0", out}, "too large"},
        {{"sample", "99999999999", "1.0", out}, "too large"},
        {{"sample", "12k", "1.0", out}, "bad size '12k'"},
        {{"sample", "100", "1.0", folder_.file("no-folder/out.fwu")},
         "cannot write '" + folder_.file("no-folder/out.fwu") + "': No such file or directory"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        expect_one_line_error(run(c.args), c.message);
        EXPECT_FALSE(std::filesystem::exists(out));
    }
}

TEST_F(PackCommand, SampleInspectAndLoad) {
    const std::string path = folder_.file("Kestrune.fwu");
    const Result sampled = run({"sample", "99996", "3.14", path});
    ASSERT_EQ(sampled.exit_code, EXIT_DONE) << sampled.err;
    EXPECT_TRUE(sampled.err.empty());

    const Result inspected = run({"inspect", path});
    EXPECT_EQ(inspected.exit_code, EXIT_DONE);
    EXPECT_NE(inspected.out.find("image length: 99996 bytes\n"), std::string::npos)
        << inspected.out;
    EXPECT_NE(inspected.out.find("new version: 3.14\n"), std::string::npos);
    EXPECT_NE(inspected.out.find("checksum good\n"), std::string::npos);

    auto image = std::make_unique<UpdateImage>();
    ASSERT_EQ(load_update_file(*image, path.c_str()), LoadOutcome::loaded);
    EXPECT_EQ(image->file_length, 100'000U);
    EXPECT_EQ(image->new_major(), 3);
    EXPECT_EQ(image->new_minor(), 14);
    const std::vector<std::uint8_t> expected = sample_image(99'996);
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), image->buffer.begin()));
}

TEST_F(PackCommand, BuildCarriesTheImageUnchanged) {
    // Bytes that a text-mode read or write would change.
    const std::vector<std::uint8_t> image{'\r', '\n', '\n', 0x1A, 0x00, '\r', 0xFF};
    const std::string image_path = folder_.write("image.bin", image);
    const std::string path = folder_.file("built.fwu");
    ASSERT_EQ(run({"build", image_path, "0.255", path}).exit_code, EXIT_DONE);

    auto loaded = std::make_unique<UpdateImage>();
    ASSERT_EQ(load_update_file(*loaded, path.c_str()), LoadOutcome::loaded);
    EXPECT_EQ(loaded->image_length(), image.size());
    EXPECT_TRUE(std::equal(image.begin(), image.end(), loaded->buffer.begin()));
    EXPECT_EQ(loaded->new_major(), 0);
    EXPECT_EQ(loaded->new_minor(), 255);
}

TEST_F(PackCommand, InspectReportsBadAndShortFiles) {
    std::vector<std::uint8_t> file;
    ASSERT_EQ(build_update_file(sample_image(600), {1, 1}, file), BuildOutcome::built);
    file[600] = 2;  // the major version
    const Result bad = run({"inspect", folder_.write("bad.fwu", file)});
    EXPECT_EQ(bad.exit_code, EXIT_CHECKSUM_BAD);
    EXPECT_NE(bad.out.find("new version: 2.1\n"), std::string::npos) << bad.out;
    EXPECT_NE(bad.out.find("checksum bad\n"), std::string::npos);
    EXPECT_EQ(bad.out.find("checksum good"), std::string::npos);

    const Result short_file = run({"inspect", folder_.write("short.fwu", {0x56, 0xA8})});
    EXPECT_EQ(short_file.exit_code, EXIT_CHECKSUM_BAD);
    EXPECT_NE(short_file.out.find("too short"), std::string::npos) << short_file.out;
    EXPECT_NE(short_file.out.find("checksum bad\n"), std::string::npos);
}

#ifndef _WIN32
// Opens the FIFO's writing end now and then until stopped, so that a reader
// stuck in opening it gets through: a test of a tool that would wait on the
// FIFO then fails instead of hanging.
class FifoReleaser {
  public:
    explicit FifoReleaser(std::string path) : path_(std::move(path)), thread_([this] { run(); }) {}
    ~FifoReleaser() {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            stopped_ = true;
        }
        stop_.notify_one();
        thread_.join();
    }
    FifoReleaser(const FifoReleaser&) = delete;
    FifoReleaser& operator=(const FifoReleaser&) = delete;

  private:
    void run() {
        std::unique_lock<std::mutex> lock(mutex_);
        while (!stop_.wait_for(lock, std::chrono::seconds(1), [this] { return stopped_; })) {
            // Succeeds only while a reader has the FIFO open or is opening it.
            const int fd = ::open(path_.c_str(), O_WRONLY | O_NONBLOCK);
            if (fd >= 0) {
                ::close(fd);
            }
        }
    }

    std::string path_;
    std::mutex mutex_;
    std::condition_variable stop_;
    bool stopped_ = false;
    std::thread thread_;
};

TEST_F(PackCommand, ReadsOnlyRegularFilesAndNeverWaitsOnOne) {
    const std::string fifo = folder_.file("Kestrune.fwu");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const FifoReleaser releaser(fifo);
    const std::string out = folder_.file("out.fwu");
    for (const std::string& path : {fifo, std::string("/dev/null"), folder_.path().string()}) {
        SCOPED_TRACE(path);
        expect_one_line_error(run({"inspect", path}), "'" + path + "' is not a regular file");
        expect_one_line_error(run({"build", path, "1.0", out}),
                              "'" + path + "' is not a regular file");
        EXPECT_FALSE(std::filesystem::exists(out));
    }
}
#endif

}  // namespace
}  // namespace kestrune::pack
