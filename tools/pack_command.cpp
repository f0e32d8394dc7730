#include "tools/pack_command.hpp"

#include <cstdint>
#include <iomanip>
#include <ios>
#include <sstream>
#include <string>
#include <system_error>

#include "tools/pack.hpp"

namespace kestrune::pack {

namespace {

constexpr const char* USAGE =
    "usage: kestrune-pack build IMAGE MAJOR.MINOR OUT | sample SIZE MAJOR.MINOR OUT | "
    "inspect FILE";

int fail(std::ostream& err, const std::string& message) {
    err << "kestrune-pack: " << message << '\n';
    return EXIT_FAILED;
}

std::string version_text(FirmwareVersion version) {
    return std::to_string(version.major_number) + "." + std::to_string(version.minor_number);
}

std::string too_large_message(const std::string& what) {
    return what + " too large: the image may have at most " + std::to_string(MAX_IMAGE_LENGTH) +
           " bytes (" + std::to_string(IMAGE_CAPACITY) + " with the 4-byte trailer)";
}

std::string quoted(const std::string& text) {
    return "'" + text + "'";
}

// The error for a file that read_file_bytes did not read, or an empty text.
std::string read_failure(const std::string& path, ReadOutcome outcome,
                         const std::error_code& error) {
    switch (outcome) {
        case ReadOutcome::cannot_read:
            return "cannot read " + quoted(path) + ": " + error.message();
        case ReadOutcome::not_regular_file:
            return quoted(path) + " is not a regular file";
        case ReadOutcome::read:
        case ReadOutcome::longer_than_limit:
            break;
    }
    return {};
}

int write_update_file(const std::vector<std::uint8_t>& image, const std::string& version_arg,
                      const std::string& out_path, std::ostream& out, std::ostream& err) {
    FirmwareVersion version;
    if (!parse_version(version_arg, version)) {
        return fail(err, "bad version '" + version_arg + "': expected MAJOR.MINOR, each 0..255");
    }
    std::vector<std::uint8_t> file;
    if (build_update_file(image, version, file) != BuildOutcome::built) {
        return fail(err, too_large_message("image"));
    }
    std::error_code error;
    if (!write_file_bytes(out_path, file, error)) {
        return fail(err, "cannot write " + quoted(out_path) + ": " + error.message());
    }
    out << "wrote " << out_path << ": image " << image.size() << " bytes, version "
        << version_text(version) << '\n';
    return EXIT_DONE;
}

int build_command(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    const std::string& image_path = args[1];
    std::vector<std::uint8_t> image;
    std::error_code error;
    const ReadOutcome outcome = read_file_bytes(image_path, MAX_IMAGE_LENGTH, image, error);
    if (outcome == ReadOutcome::longer_than_limit) {
        return fail(err, too_large_message(quoted(image_path) + " is"));
    }
    if (outcome != ReadOutcome::read) {
        return fail(err, read_failure(image_path, outcome, error));
    }
    return write_update_file(image, args[2], args[3], out, err);
}

int sample_command(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    std::uint32_t size = 0;
    if (!parse_size(args[1], MAX_IMAGE_LENGTH, size)) {
        if (!args[1].empty() && args[1].find_first_not_of("0123456789") == std::string::npos) {
            return fail(err, too_large_message("size " + args[1] + " is"));
        }
        return fail(err, "bad size '" + args[1] + "': expected a number of bytes");
    }
    return write_update_file(sample_image(size), args[2], args[3], out, err);
}

int inspect_command(const std::string& path, std::ostream& out, std::ostream& err) {
    std::vector<std::uint8_t> file;
    std::error_code error;
    // Beyond the capacity the updater reads nothing more: neither does inspect.
    const ReadOutcome outcome = read_file_bytes(path, IMAGE_CAPACITY, file, error);
    if (outcome == ReadOutcome::cannot_read || outcome == ReadOutcome::not_regular_file) {
        return fail(err, read_failure(path, outcome, error));
    }
    const UpdateFileDescription description = describe_update_file(file);
    out << "file: " << path << '\n';
    if (description.cut_short) {
        out << "note: longer than " << IMAGE_CAPACITY << " bytes; the updater reads only the first "
            << IMAGE_CAPACITY << '\n';
    }
    if (!description.has_trailer) {
        out << "file length: " << description.read_length
            << " bytes, too short for the 4-byte trailer\n"
            << "checksum bad\n";
        return EXIT_CHECKSUM_BAD;
    }
    const auto hex = [](std::uint16_t value) {
        std::ostringstream text;
        text << "0x" << std::uppercase << std::hex << std::setw(4) << std::setfill('0') << value;
        return text.str();
    };
    out << "image length: " << description.image_length << " bytes\n"
        << "new version: " << version_text(description.version) << '\n'
        << "checksum: stored " << hex(description.stored_checksum) << ", computed "
        << hex(description.computed_checksum) << '\n'
        << (description.checksum_good ? "checksum good\n" : "checksum bad\n");
    return description.checksum_good ? EXIT_DONE : EXIT_CHECKSUM_BAD;
}

}  // namespace

int run_pack_command(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    const std::string command = args.empty() ? std::string() : args[0];
    if (args.size() == 1 && (command == "-h" || command == "--help" || command == "help")) {
        out << USAGE << '\n';
        return EXIT_DONE;
    }
    if (command == "build" && args.size() == 4) {
        return build_command(args, out, err);
    }
    if (command == "sample" && args.size() == 4) {
        return sample_command(args, out, err);
    }
    if (command == "inspect" && args.size() == 2) {
        return inspect_command(args[1], out, err);
    }
    err << USAGE << '\n';
    return EXIT_FAILED;
}

}  // namespace kestrune::pack
