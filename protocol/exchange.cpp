#include "protocol/exchange.hpp"

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

// Repeats one driver call until it reports at least `needed` bytes moved or the
// deadline has passed. The time is tested after every call and before its
// count, so a call that moved bytes but ended at the deadline counts as late.
template <typename DriverCall>
WaitResult repeat_until_moved(Link& link, std::uint32_t needed, DriverCall call) {
    link.transferred = 0;
    const std::uint32_t started = link.clock.tick_ms();
    while (link.transferred < needed) {
        link.last_status = call();
        if (deadline_passed(link, started, link.clock.tick_ms())) {
            return WaitResult::timed_out;
        }
    }
    return WaitResult::done;
}

}  // namespace

void set_deadline(Link& link) {
    // A sum that wrapped past zero would lie in the past; wait until the tick
    // has wrapped itself. Only the last second before the wrap (and tick 0)
    // ever loops here.
    link.deadline = 0;
    while (link.deadline <= REPLY_TIMEOUT_MS) {
        link.deadline = link.clock.tick_ms() + REPLY_TIMEOUT_MS;
        if (link.deadline <= REPLY_TIMEOUT_MS) {
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

WaitResult await_reply(Link& link, std::uint8_t* buffer, std::uint32_t count) {
    return repeat_until_moved(
        link, 1, [&] { return link.driver.read(link.handle, buffer, count, link.transferred); });
}

WaitResult write_block(Link& link, const std::uint8_t* block) {
    return repeat_until_moved(link, BLOCK_SIZE, [&] {
        return link.driver.write(link.handle, block, BLOCK_SIZE, link.transferred);
    });
}

WaitResult read_block(Link& link, std::uint8_t* block) {
    return repeat_until_moved(link, BLOCK_SIZE, [&] {
        return link.driver.read(link.handle, block, BLOCK_SIZE, link.transferred);
    });
}

WaitResult send_byte(Link& link, std::uint8_t byte) {
    return repeat_until_moved(
        link, 1, [&] { return link.driver.write(link.handle, &byte, 1, link.transferred); });
}

}  // namespace kestrune
