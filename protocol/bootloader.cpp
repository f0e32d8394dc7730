#include "protocol/bootloader.hpp"

#include <algorithm>

#include "protocol/exchange.hpp"

namespace kestrune {

namespace {

bool acknowledged(const HandshakeAnswer& answer) {
    return std::equal(HANDOVER_ACK_PREFIX.begin(), HANDOVER_ACK_PREFIX.end(), answer.begin());
}

}  // namespace

EntryOutcome enter_bootloader(Link& link, HandshakeAnswer& answer) {
    for (std::uint32_t attempts = 1;; ++attempts) {
        if (send_command(link, HANDOVER_REQUEST.data(), HANDOVER_REQUEST.size()) ==
            CommandResult::failed) {
            return EntryOutcome::failed;
        }
        // No acknowledgement is no failure: a device already in its bootloader
        // does not answer at this speed.
        await_reply(link, answer.data(), static_cast<std::uint32_t>(answer.size()));
        if (acknowledged(answer) || attempts >= HANDOVER_ATTEMPTS) {
            break;
        }
    }
    close_link(link);
    link.clock.sleep_ms(REOPEN_PAUSE_MS);
    if (open_link(link, BOOTLOADER_BAUD) != OpenOutcome::opened) {
        return EntryOutcome::failed;
    }
    return EntryOutcome::entered;
}

bool query_versions(Link& link, VersionReport& report) {
    if (send_command(link, VERSION_QUERY.data(), VERSION_QUERY.size()) == CommandResult::failed) {
        return false;
    }
    return await_reply(link, report.bytes.data(),
                       static_cast<std::uint32_t>(report.bytes.size())) == WaitResult::done;
}

}  // namespace kestrune
