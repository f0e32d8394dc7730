// Handing the device over from its main firmware to the bootloader, and the
// bootloader's version report.
#pragma once

#include <array>
#include <cstdint>

#include "link/link.hpp"
#include "protocol/version_report.hpp"

namespace kestrune {

// "ZZc", 0, then CRC-16 (seed 0) of those four bytes, low byte first.
inline constexpr std::array<std::uint8_t, 6> HANDOVER_REQUEST{0x5A, 0x5A, 0x63, 0x00, 0xE6, 0xDA};
// "ZZd", 0; the device's CRC bytes after it are not judged.
inline constexpr std::array<std::uint8_t, 4> HANDOVER_ACK_PREFIX{0x5A, 0x5A, 0x64, 0x00};
inline constexpr std::array<std::uint8_t, 4> VERSION_QUERY{0x3A, 0x90, 0xC4, 0x17};
inline constexpr std::uint32_t HANDOVER_ATTEMPTS = 3;
inline constexpr std::uint32_t REOPEN_PAUSE_MS = 100;

enum class EntryOutcome { entered, failed };

// The hand-shake answer is kept across attempts and never cleared.
using HandshakeAnswer = std::array<std::uint8_t, 6>;

// Asks the main firmware to hand over (at most three requests), then reopens
// the link at the bootloader's speed.
EntryOutcome enter_bootloader(Link& link, HandshakeAnswer& answer);

// Fills the report; a short answer leaves the bytes it did not bring as they were.
bool query_versions(Link& link, VersionReport& report);

}  // namespace kestrune
