// One update from start message to exit code.
#pragma once

#include "console/console.hpp"
#include "console/dialogue.hpp"
#include "image/update_image.hpp"
#include "link/link.hpp"
#include "protocol/bootloader.hpp"
#include "protocol/transfer.hpp"

namespace kestrune {

inline constexpr std::uint32_t FINAL_PAUSE_MS = 1000;
inline constexpr std::uint32_t KEY_POLL_MS = 10;

enum class Ending { not_found, checksum_error, declined, aborted, data_exchange_error, completed };

// All state of one run. The program keeps one with static storage; the image
// buffer alone is 5 MB.
struct RunState {
    RunState(Driver& driver, Clock& clock, Console& user_console)
        : link{driver, clock}, console(user_console) {}

    Link link;
    Console& console;
    UpdateImage image;
    HandshakeAnswer handshake{};
    VersionReport report;
    TransferState transfer;
    std::uint8_t answer = 0;
    Progress progress;
};

// Runs the update; returns the process exit code (1 after a completed update).
int run_update(RunState& state, const char* update_file = UPDATE_FILE_NAME);

int exit_code(Ending ending);

// Closes the link and prints the ending's text, then pauses one second.
int finish_with_pause(RunState& state, Ending ending);
// Closes the link and prints the ending's text, then waits for a key press,
// which is left unread.
int finish_with_key(RunState& state, Ending ending);

}  // namespace kestrune
