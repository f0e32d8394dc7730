#include "protocol/transfer.hpp"

#include <algorithm>

#include "protocol/exchange.hpp"

namespace kestrune {

static_assert(ERASE_TIMEOUT_MS <= LONGEST_DEADLINE_MS);

namespace {

bool answered_with(Link& link, std::uint8_t& answer, std::uint8_t expected) {
    return await_reply(link, &answer, 1) == WaitResult::done && answer == expected;
}

}  // namespace

EraseOutcome erase_flash(Link& link, std::uint8_t& answer) {
    if (send_command(link, ERASE_COMMAND.data(), ERASE_COMMAND.size()) == CommandResult::failed) {
        return EraseOutcome::failed;
    }
    if (!answered_with(link, answer, ERASE_ACCEPTED)) {
        return EraseOutcome::failed;
    }
    // Erasing takes the device far longer than an ordinary answer.
    set_deadline(link, ERASE_TIMEOUT_MS);
    if (!answered_with(link, answer, ERASE_FINISHED)) {
        return EraseOutcome::failed;
    }
    return EraseOutcome::erased;
}

TransferOutcome transfer_image(Link& link, const UpdateImage& image, TransferState& state,
                               std::uint8_t& answer, Console& console, Progress& progress) {
    const std::uint32_t image_length = image.image_length();
    state.offset = 0;
    while (image_length > state.offset) {
        // Every block is BLOCK_SIZE bytes; the last one runs on into the
        // trailer and the zeros after the file, which the buffer always holds.
        const std::uint8_t* block = image.buffer.data() + state.offset;

        set_deadline(link);
        if (write_block(link, block) == WaitResult::timed_out) {
            return TransferOutcome::failed;
        }
        set_deadline(link);
        if (read_block(link, state.echo.data()) == WaitResult::timed_out) {
            return TransferOutcome::failed;
        }
        set_deadline(link);
        const bool echo_good = std::equal(state.echo.begin(), state.echo.end(), block);
        if (send_byte(link, echo_good ? VERDICT_ECHO_GOOD : VERDICT_ECHO_BAD) ==
            WaitResult::timed_out) {
            return TransferOutcome::failed;
        }
        set_deadline(link);
        if (await_reply(link, &answer, 1) == WaitResult::timed_out) {
            return TransferOutcome::failed;
        }

        std::uint32_t next_offset = state.offset;
        if (answer == BLOCK_ACCEPTED && !echo_good) {
            // The device claims to have written a block whose echo differed.
            // Whether it holds the damaged bytes or has moved on cannot be
            // told, so neither going on nor sending the block again is safe.
            return TransferOutcome::failed;
        }
        if (answer == BLOCK_ACCEPTED) {
            next_offset = state.offset + BLOCK_SIZE;
            state.progress_offset = state.offset;
        } else {
            ++state.failures;
            if (state.failures >= FAILURE_LIMIT) {
                return TransferOutcome::failed;
            }
            state.progress_offset = state.offset == 0 ? 0 : state.offset - BLOCK_SIZE;
        }

        show_progress(console, progress, state.progress_offset, image_length);
        if (console.key_waiting()) {
            return TransferOutcome::aborted;
        }
        state.offset = next_offset;
    }
    return TransferOutcome::completed;
}

}  // namespace kestrune
