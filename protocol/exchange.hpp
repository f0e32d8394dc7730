// Deadline-bounded exchanges with the device.
//
// Every wait repeats a driver read or write, each of which returns within about
// the read time-out, and tests the tick after every call: a wait never outlasts
// its deadline by more than one driver call. A call that fails without moving
// anything is followed by a short pause, so that a driver failing at once does
// not make a wait spin.
#pragma once

#include <cstdint>

#include "link/link.hpp"

namespace kestrune {

inline constexpr std::uint32_t REPLY_TIMEOUT_MS = 1000;
// After a driver call that failed and moved nothing, the wait pauses this long
// (never past its deadline) before it tries again.
inline constexpr std::uint32_t FAILED_CALL_PAUSE_MS = 5;
// No deadline lies further ahead of the tick than this when it is set: the
// erase's is the longest.
inline constexpr std::uint32_t LONGEST_DEADLINE_MS = 5000;

enum class CommandResult { sent, failed };
enum class WaitResult { done, timed_out };

// Deadline = tick + timeout_ms, never a sum that wrapped past zero: close to
// the wrap it waits until the tick has wrapped.
void set_deadline(Link& link, std::uint32_t timeout_ms = REPLY_TIMEOUT_MS);

// Writes the command; renews the deadline only when every byte was written.
CommandResult send_command(Link& link, const std::uint8_t* bytes, std::uint32_t count);

// Reads until a read brings something (possibly fewer than count bytes) or the
// deadline passes. Bytes not brought keep their earlier values.
WaitResult await_reply(Link& link, std::uint8_t* buffer, std::uint32_t count);

// Writes the block; after a short write, writes only the bytes not yet taken.
WaitResult write_block(Link& link, const std::uint8_t* block);

// Reads until the whole block has arrived, each read asking only for the rest.
WaitResult read_block(Link& link, std::uint8_t* block);

WaitResult send_byte(Link& link, std::uint8_t byte);

}  // namespace kestrune
