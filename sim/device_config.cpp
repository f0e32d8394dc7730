#include "sim/device_config.hpp"

#include <array>
#include <charconv>
#include <limits>

namespace kestrune::sim {

namespace {

// Joins the pieces of a message.
std::string join(std::initializer_list<std::string_view> pieces) {
    std::string result;
    for (std::string_view piece : pieces) {
        result.append(piece);
    }
    return result;
}

constexpr std::array<std::string_view, FAULT_POINT_COUNT> POINT_NAMES = {
    "handover",
    "version",
    "erase_ack",
    "erase_done",
    "echo",
    "block_answer",
    "read",
    "write",
    "open",
    "close",
    "reset",
    "set_baud_rate",
    "set_data_characteristics",
    "set_flow_control",
    "set_special_characters",
    "purge",
    "set_timeouts",
};

constexpr std::size_t FAULT_KIND_COUNT = 9;
constexpr std::array<std::string_view, FAULT_KIND_COUNT> KIND_NAMES = {
    "silent", "ignore", "garbage", "short", "corrupt", "refuse", "unerased", "fail", "drop",
};

constexpr unsigned kind_bit(FaultKind kind) {
    return 1U << static_cast<unsigned>(kind);
}

constexpr unsigned ANSWER_KINDS = kind_bit(FaultKind::silent) | kind_bit(FaultKind::garbage) |
                                  kind_bit(FaultKind::short_answer) | kind_bit(FaultKind::drop);
constexpr unsigned CALL_KINDS = kind_bit(FaultKind::fail) | kind_bit(FaultKind::drop);

// Which kinds each point takes.
constexpr unsigned allowed_kinds(FaultPoint point) {
    switch (point) {
        case FaultPoint::handover:
        case FaultPoint::version:
            return ANSWER_KINDS | kind_bit(FaultKind::ignore);
        case FaultPoint::erase_ack:
            return ANSWER_KINDS | kind_bit(FaultKind::ignore) | kind_bit(FaultKind::unerased);
        case FaultPoint::erase_done:
            return ANSWER_KINDS | kind_bit(FaultKind::unerased);
        case FaultPoint::echo:
            return ANSWER_KINDS | kind_bit(FaultKind::ignore) | kind_bit(FaultKind::corrupt);
        case FaultPoint::block_answer:
            return ANSWER_KINDS | kind_bit(FaultKind::ignore) | kind_bit(FaultKind::refuse);
        case FaultPoint::read:
            return ANSWER_KINDS | kind_bit(FaultKind::fail);
        case FaultPoint::write:
            return CALL_KINDS | kind_bit(FaultKind::silent) | kind_bit(FaultKind::short_answer);
        default:
            return CALL_KINDS;
    }
}

std::vector<std::string_view> split_words(std::string_view line) {
    std::vector<std::string_view> words;
    std::size_t pos = 0;
    const auto is_blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
    while (pos < line.size()) {
        while (pos < line.size() && is_blank(line[pos])) {
            ++pos;
        }
        const std::size_t start = pos;
        while (pos < line.size() && !is_blank(line[pos])) {
            ++pos;
        }
        if (pos > start) {
            words.push_back(line.substr(start, pos - start));
        }
    }
    return words;
}

// A whole number in decimal, or in hexadecimal after "0x".
std::optional<std::uint64_t> parse_number(std::string_view word, std::uint64_t max) {
    int base = 10;
    if (word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X')) {
        word.remove_prefix(2);
        base = 16;
    }
    std::uint64_t value = 0;
    const char* end = word.data() + word.size();
    const auto [ptr, ec] = std::from_chars(word.data(), end, value, base);
    if (word.empty() || ec != std::errc{} || ptr != end || value > max) {
        return std::nullopt;
    }
    return value;
}

std::optional<Version> parse_version(std::string_view word) {
    const std::size_t dot = word.find('.');
    if (dot == std::string_view::npos) {
        return std::nullopt;
    }
    const auto major_part = parse_number(word.substr(0, dot), 255);
    const auto minor_part = parse_number(word.substr(dot + 1), 255);
    if (!major_part || !minor_part) {
        return std::nullopt;
    }
    return Version{static_cast<std::uint8_t>(*major_part), static_cast<std::uint8_t>(*minor_part)};
}

std::optional<std::uint64_t> parse_duration_us(std::string_view word) {
    struct Unit {
        std::string_view suffix;
        std::uint64_t micros;
    };
    // "us" and "ms" before "s", which ends both.
    constexpr std::array<Unit, 3> UNITS = {{{"us", 1}, {"ms", 1000}, {"s", 1'000'000}}};
    for (const Unit& unit : UNITS) {
        if (word.size() > unit.suffix.size() && word.ends_with(unit.suffix)) {
            const auto value = parse_number(word.substr(0, word.size() - unit.suffix.size()),
                                            std::numeric_limits<std::uint32_t>::max());
            if (!value) {
                return std::nullopt;
            }
            return *value * unit.micros;
        }
    }
    return std::nullopt;
}

std::optional<std::uint8_t> parse_hex_byte(std::string_view word) {
    if (word.empty() || word.size() > 2) {
        return std::nullopt;
    }
    std::uint8_t value = 0;
    const char* end = word.data() + word.size();
    const auto [ptr, ec] = std::from_chars(word.data(), end, value, 16);
    if (ec != std::errc{} || ptr != end) {
        return std::nullopt;
    }
    return value;
}

template <typename Enum, std::size_t N>
std::optional<Enum> find_name(const std::array<std::string_view, N>& names, std::string_view word) {
    for (std::size_t i = 0; i < N; ++i) {
        if (names[i] == word) {
            return static_cast<Enum>(i);
        }
    }
    return std::nullopt;
}

// Parses "fault POINT N KIND [ARGUMENT...]"; returns an error text or nothing.
std::optional<std::string> parse_fault(const std::vector<std::string_view>& words, Fault& fault) {
    if (words.size() < 4) {
        return "a fault needs a point, a number and a kind";
    }
    const auto point = find_name<FaultPoint>(POINT_NAMES, words[1]);
    if (!point) {
        return join({"unknown fault point '", words[1], "'"});
    }
    fault.point = *point;
    if (words[2] == "*") {
        fault.occurrence = EVERY;
    } else {
        const auto occurrence = parse_number(words[2], std::numeric_limits<std::uint32_t>::max());
        if (!occurrence || *occurrence == 0) {
            return "the fault's number must be 1 or more, or '*'";
        }
        fault.occurrence = static_cast<std::uint32_t>(*occurrence);
    }
    const auto kind = find_name<FaultKind>(KIND_NAMES, words[3]);
    if (!kind) {
        return join({"unknown fault kind '", words[3], "'"});
    }
    if ((allowed_kinds(fault.point) & kind_bit(*kind)) == 0) {
        return join({"fault kind '", words[3], "' does not apply to '", words[1], "'"});
    }
    fault.kind = *kind;

    const std::size_t arguments = words.size() - 4;
    // Reads the kind's single number argument into target.
    const auto number_argument = [&](std::uint64_t min, std::uint64_t max, const char* what,
                                     std::uint32_t& target) -> std::optional<std::string> {
        const auto value = arguments == 1 ? parse_number(words[4], max) : std::nullopt;
        if (!value || *value < min) {
            return join({"'", words[3], "' needs ", what});
        }
        target = static_cast<std::uint32_t>(*value);
        return std::nullopt;
    };
    switch (fault.kind) {
        case FaultKind::garbage:
            if (arguments == 0) {
                return "'garbage' needs at least one byte";
            }
            for (std::size_t i = 4; i < words.size(); ++i) {
                const auto byte = parse_hex_byte(words[i]);
                if (!byte) {
                    return join({"'", words[i], "' is not a hexadecimal byte"});
                }
                fault.bytes.push_back(*byte);
            }
            return std::nullopt;
        case FaultKind::short_answer:
            return number_argument(0, 0xFFFF'FFFF, "a byte count", fault.count);
        case FaultKind::corrupt:
            return number_argument(0, 511, "a byte index from 0 to 511", fault.count);
        case FaultKind::fail:
            return number_argument(1, 0xFFFF'FFFF, "a non-zero status", fault.status);
        default:
            if (arguments != 0) {
                return join({"'", words[3], "' takes no argument"});
            }
            return std::nullopt;
    }
}

// Parses one setting line; returns an error text or nothing.
std::optional<std::string> parse_setting(const std::vector<std::string_view>& words,
                                         DeviceConfig& config) {
    const std::string_view name = words[0];
    if (words.size() != 2) {
        return join({"'", name, "' takes one value"});
    }
    const std::string_view value = words[1];
    const auto bad_value = [&](const char* expected) {
        return join({"'", value, "' is not ", expected});
    };
    if (name == "bootloader_version" || name == "new_firmware_version") {
        const auto version = parse_version(value);
        if (!version) {
            return bad_value("a version such as 2.1");
        }
        (name == "bootloader_version" ? config.bootloader_version : config.new_firmware_version) =
            *version;
    } else if (name == "firmware_version") {
        if (value == "none") {
            config.firmware_version.reset();
            return std::nullopt;
        }
        const auto version = parse_version(value);
        if (!version) {
            return bad_value("a version such as 1.4, or none");
        }
        config.firmware_version = *version;
    } else if (name == "erase_time" || name == "block_write_time") {
        const auto micros = parse_duration_us(value);
        if (!micros) {
            return bad_value("a time such as 1500ms, 800us or 2s");
        }
        (name == "erase_time" ? config.erase_time_us : config.block_write_time_us) = *micros;
    } else if (name == "flash_size") {
        const auto size = parse_number(value, std::numeric_limits<std::uint32_t>::max());
        if (!size || *size < MIN_FLASH_SIZE) {
            return bad_value("a size of at least 512 bytes");
        }
        config.flash_size = static_cast<std::uint32_t>(*size);
    } else if (name == "zero_time") {
        if (value != "yes" && value != "no") {
            return bad_value("yes or no");
        }
        config.zero_time = value == "yes";
    } else if (name == "latency_timer") {
        const auto micros = parse_duration_us(value);
        if (!micros || *micros > MAX_LATENCY_TIMER_US) {
            return bad_value("a time from 0 to 255ms, such as 16ms or 1ms");
        }
        config.latency_timer_us = *micros;
    } else if (name == "packet_payload") {
        const auto size = parse_number(value, MAX_PACKET_PAYLOAD);
        if (!size || *size == 0) {
            return bad_value("a byte count from 1 to 65536");
        }
        config.packet_payload = static_cast<std::uint32_t>(*size);
    } else {
        return join({"unknown setting '", name, "'"});
    }
    return std::nullopt;
}

std::string version_text(Version version) {
    return std::to_string(version.major_version) + '.' + std::to_string(version.minor_version);
}

// In the largest unit that shows the time exactly.
std::string duration_text(std::uint64_t micros) {
    if (micros % 1000 != 0) {
        return std::to_string(micros) + "us";
    }
    if (micros != 0 && micros % 1'000'000 == 0) {
        return std::to_string(micros / 1'000'000) + "s";
    }
    return std::to_string(micros / 1000) + "ms";
}

}  // namespace

std::string settings_text(const DeviceConfig& config) {
    std::string text;
    const auto line = [&](std::string_view name, const std::string& value) {
        text.append(name).append(" ").append(value).append("\n");
    };
    line("bootloader_version", version_text(config.bootloader_version));
    line("firmware_version",
         config.firmware_version ? version_text(*config.firmware_version) : "none");
    line("erase_time", duration_text(config.erase_time_us));
    line("block_write_time", duration_text(config.block_write_time_us));
    line("flash_size", std::to_string(config.flash_size));
    line("zero_time", config.zero_time ? "yes" : "no");
    line("latency_timer", duration_text(config.latency_timer_us));
    line("packet_payload", std::to_string(config.packet_payload));
    return text;
}

std::string_view fault_point_name(FaultPoint point) {
    return POINT_NAMES.at(static_cast<std::size_t>(point));
}

std::string_view fault_kind_name(FaultKind kind) {
    return KIND_NAMES.at(static_cast<std::size_t>(kind));
}

std::optional<DeviceConfig> parse_device_config(std::string_view text, std::string& error) {
    DeviceConfig config;
    std::size_t line_number = 0;
    while (!text.empty()) {
        ++line_number;
        const std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        line = line.substr(0, line.find('#'));

        const std::vector<std::string_view> words = split_words(line);
        if (words.empty()) {
            continue;
        }
        std::optional<std::string> problem;
        if (words[0] == "fault") {
            Fault fault;
            problem = parse_fault(words, fault);
            if (!problem) {
                config.faults.push_back(std::move(fault));
            }
        } else {
            problem = parse_setting(words, config);
        }
        if (problem) {
            error = join({"line ", std::to_string(line_number), ": ", *problem});
            return std::nullopt;
        }
    }
    error.clear();
    return config;
}

}  // namespace kestrune::sim
