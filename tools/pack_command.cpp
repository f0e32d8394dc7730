#include "tools/pack_command.hpp"

#include <algorithm>
#include <cstdint>
#include <iomanip>
#include <ios>
#include <sstream>
#include <string>
#include <system_error>

#include "tools/pack.hpp"

namespace kestrune::pack {

namespace {

// The project's version, given by the build.
constexpr const char* PACK_VERSION = KESTRUNE_VERSION;

constexpr const char* USAGE =
    "usage: kestrune-pack build IMAGE MAJOR.MINOR OUT\n"
    "       kestrune-pack sample SIZE MAJOR.MINOR OUT\n"
    "       kestrune-pack inspect FILE\n"
    "       kestrune-pack --help | --version\n";

static_assert(MAX_IMAGE_LENGTH == 4'999'996, "the help names the largest image");
constexpr const char* HELP_BODY =
    "Commands:\n"
    "  build IMAGE MAJOR.MINOR OUT\n"
    "      Writes the update file OUT: the bytes of the firmware image IMAGE\n"
    "      unchanged, then the new version (2 bytes), then the CRC-16 over both\n"
    "      (2 bytes, high byte first).\n"
    "  sample SIZE MAJOR.MINOR OUT\n"
    "      Like build, with SIZE bytes of made-up image data, the same on every\n"
    "      run: a file to try the updater and its link with, not a firmware.\n"
    "  inspect FILE\n"
    "      Shows what kestrune-update makes of FILE: image length, new version,\n"
    "      stored and computed checksum, and whether it would accept the file.\n"
    "\n"
    "Arguments:\n"
    "  IMAGE        the firmware image, a regular file of at most 4999996 bytes\n"
    "  MAJOR.MINOR  the new firmware's version, two decimal numbers 0..255\n"
    "  SIZE         a decimal number of bytes, 0..4999996\n"
    "  OUT          the file to write; an existing file is replaced.\n"
    "               kestrune-update reads Kestrune.fwu in its current folder.\n"
    "  FILE         an update file, a regular file\n"
    "\n"
    "Examples:\n"
    "  kestrune-pack build firmware.bin 2.15 Kestrune.fwu\n"
    "  kestrune-pack inspect Kestrune.fwu\n"
    "  kestrune-pack sample 100000 1.0 Kestrune.fwu\n"
    "\n"
    "Exit codes:\n"
    "  0  the file is written; or inspected, and kestrune-update would accept it\n"
    "  1  inspected, and kestrune-update would refuse it: checksum bad or too short\n"
    "  2  wrong arguments, or a file that cannot be read or written\n";

int fail(std::ostream& err, const std::string& message) {
    err << "kestrune-pack: " << message << '\n';
    return EXIT_FAILED;
}

// A command line the tool does not understand: the reason, then the usage.
int fail_usage(std::ostream& err, const std::string& message) {
    err << "kestrune-pack: " << message << '\n' << USAGE;
    return EXIT_FAILED;
}

std::string quoted(const std::string& text) {
    return "'" + text + "'";
}

std::string version_text(FirmwareVersion version) {
    return std::to_string(version.major_number) + "." + std::to_string(version.minor_number);
}

std::string too_large_message(const std::string& what) {
    return what + " too large: the image may have at most " + std::to_string(MAX_IMAGE_LENGTH) +
           " bytes (" + std::to_string(IMAGE_CAPACITY) + " with the 4-byte trailer)";
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
        return fail(err, "bad version " + quoted(version_arg) +
                             ": expected MAJOR.MINOR, each a decimal number 0..255");
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
        return fail(err, "bad size " + quoted(args[1]) + ": expected a decimal number of bytes");
    }
    return write_update_file(sample_image(size), args[2], args[3], out, err);
}

int inspect_command(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    const std::string& path = args[1];
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

int help_command(const std::vector<std::string>&, std::ostream& out, std::ostream&) {
    out << "kestrune-pack " << PACK_VERSION
        << ": builds and inspects update files for kestrune-update.\n\n"
        << USAGE << '\n'
        << HELP_BODY;
    return EXIT_DONE;
}

int version_command(const std::vector<std::string>&, std::ostream& out, std::ostream&) {
    out << "kestrune-pack " << PACK_VERSION << '\n';
    return EXIT_DONE;
}

struct Command {
    const char* name;
    const char* parameters;  // empty: the command takes no arguments
    std::size_t argument_count;
    int (*run)(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
};

constexpr Command COMMANDS[] = {
    {"build", "IMAGE MAJOR.MINOR OUT", 3, build_command},
    {"sample", "SIZE MAJOR.MINOR OUT", 3, sample_command},
    {"inspect", "FILE", 1, inspect_command},
    {"--help", "", 0, help_command},
    {"-h", "", 0, help_command},
    {"help", "", 0, help_command},
    {"--version", "", 0, version_command},
};

}  // namespace

int run_pack_command(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    if (args.empty()) {
        err << USAGE;
        return EXIT_FAILED;
    }
    const std::string& word = args[0];
    const auto command = std::find_if(std::begin(COMMANDS), std::end(COMMANDS),
                                      [&](const Command& c) { return word == c.name; });
    if (command == std::end(COMMANDS)) {
        const bool option = word.size() > 1 && word[0] == '-';
        return fail_usage(err, (option ? "unknown option " : "unknown command ") + quoted(word));
    }
    const std::size_t given = args.size() - 1;
    if (given != command->argument_count) {
        if (command->argument_count == 0) {
            return fail_usage(err, word + " takes no arguments, got " + std::to_string(given));
        }
        return fail_usage(err, word + " takes " + std::to_string(command->argument_count) +
                                   " argument" + (command->argument_count == 1 ? "" : "s") + " (" +
                                   command->parameters + "), got " + std::to_string(given));
    }
    return command->run(args, out, err);
}

}  // namespace kestrune::pack
