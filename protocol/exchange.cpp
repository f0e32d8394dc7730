#include "protocol/exchange.hpp"

#include <algorithm>

#include "image/update_image.hpp"

namespace kestrune {

namespace {

// True once the tick has reached the deadline. set_deadline never lets the
// deadline itself wrap, so a tick that has fallen below the one the wait
// started at has run through the top of its range, past the deadline: the
// wait ends there instead of waiting for the tick to come round again. No
// deadline is ever set further ahead than LONGEST_DEADLINE_MS: one that lay
// further ahead when the wait started was set before the tick last wrapped
// (the older deadline a short command write leaves in force) and has passed.
bool deadline_passed(const Link& link, std::uint32_t started, std::uint32_t now) {
    return now >= link.deadline || now < started || link.deadline - started > LONGEST_DEADLINE_MS;
}

// Repeats one driver call until `needed` bytes have moved in all or the
// deadline has passed. Each call is handed the count already moved, so that it
// goes on from there and asks only for the rest. The time is tested after every
// call and before its count, so a call that moved bytes but ended at the
// deadline counts as late.
template <typename DriverCall>
WaitResult repeat_until_moved(Link& link, std::uint32_t needed, DriverCall call) {
    std::uint32_t moved = 0;
    const std::uint32_t started = link.clock.tick_ms();
    while (moved < needed) {
        link.transferred = 0;
        link.last_status = call(moved);
        // A driver that reports more than it was asked for moved no more than that.
        moved += std::min(link.transferred, needed - moved);
        const std::uint32_t now = link.clock.tick_ms();
        if (deadline_passed(link, started, now)) {
            return WaitResult::timed_out;
        }
        if (link.last_status != LINK_OK && link.transferred == 0) {
            // A converter that is gone fails every call at once: pause rather
            // than spin, but never past the deadline.
            link.clock.sleep_ms(std::min(FAILED_CALL_PAUSE_MS, link.deadline - now));
        }
    }
    return WaitResult::done;
}

}  // namespace

void set_deadline(Link& link, std::uint32_t timeout_ms) {
    // A sum that wrapped past zero would lie in the past; wait until the tick
    // has wrapped itself. Only the last timeout_ms before the wrap (and tick 0)
    // ever loop here.
    link.deadline = 0;
    while (link.deadline <= timeout_ms) {
        link.deadline = link.clock.tick_ms() + timeout_ms;
        if (link.deadline <= timeout_ms) {
            link.clock.sleep_ms(1);
        }
    }
}

CommandResult send_command(Link& link, const std::uint8_t* bytes, std::uint32_t count) {
    link.transferred = 0;
    link.last_status = link.driver.write(link.handle, bytes, count, link.transferred);
    if (link.last_status != LINK_OK) {
        return CommandResult::failed;
    }
    // A short write keeps the older deadline: the answer wait then runs
    // against it, or makes a single read if it has already passed.
    if (link.transferred == count) {
        set_deadline(link);
    }
    return CommandResult::sent;
}

// The first read that brings anything ends the wait, so every read starts at
// the buffer's beginning.
WaitResult await_reply(Link& link, std::uint8_t* buffer, std::uint32_t count) {
    return repeat_until_moved(link, 1, [&](std::uint32_t) {
        return link.driver.read(link.handle, buffer, count, link.transferred);
    });
}

WaitResult write_block(Link& link, const std::uint8_t* block) {
    return repeat_until_moved(link, BLOCK_SIZE, [&](std::uint32_t moved) {
        return link.driver.write(link.handle, block + moved, BLOCK_SIZE - moved, link.transferred);
    });
}

WaitResult read_block(Link& link, std::uint8_t* block) {
    return repeat_until_moved(link, BLOCK_SIZE, [&](std::uint32_t moved) {
        return link.driver.read(link.handle, block + moved, BLOCK_SIZE - moved, link.transferred);
    });
}

WaitResult send_byte(Link& link, std::uint8_t byte) {
    return repeat_until_moved(link, 1, [&](std::uint32_t) {
        return link.driver.write(link.handle, &byte, 1, link.transferred);
    });
}

}  // namespace kestrune
