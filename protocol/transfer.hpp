// Erasing the main firmware's flash and sending the image block by block.
#pragma once

#include <array>
#include <cstdint>

#include "console/console.hpp"
#include "console/dialogue.hpp"
#include "image/update_image.hpp"
#include "link/link.hpp"

namespace kestrune {

inline constexpr std::array<std::uint8_t, 8> ERASE_COMMAND{0x7E, 0x04, 0xB9, 0xD2,
                                                           0x66, 0xC1, 0x3F, 0x80};
inline constexpr std::uint8_t ERASE_ACCEPTED = 0x0F;
inline constexpr std::uint8_t ERASE_FINISHED = 0xF0;
inline constexpr std::uint32_t ERASE_TIMEOUT_MS = 5000;
inline constexpr std::uint8_t VERDICT_ECHO_GOOD = 0x01;
inline constexpr std::uint8_t VERDICT_ECHO_BAD = 0xFF;
inline constexpr std::uint8_t BLOCK_ACCEPTED = 0x80;
inline constexpr std::uint32_t FAILURE_LIMIT = 20;

struct TransferState {
    std::uint32_t offset = 0;
    std::uint32_t failures = 0;  // refusals over the whole run, never reset
    std::uint32_t progress_offset = 0;
    std::array<std::uint8_t, BLOCK_SIZE> echo{};
};

enum class EraseOutcome { erased, failed };
enum class TransferOutcome { completed, aborted, failed };

// `answer` is the one answer byte shared by the erase and the block answers.
EraseOutcome erase_flash(Link& link, std::uint8_t& answer);

TransferOutcome transfer_image(Link& link, const UpdateImage& image, TransferState& state,
                               std::uint8_t& answer, Console& console, Progress& progress);

}  // namespace kestrune
