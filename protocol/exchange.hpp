// Deadline-bounded exchanges with the device.
//
// Every wait repeats a driver read or write, each of which returns within about
// the read time-out, and tests the tick after every call: a wait never outlasts
// its deadline by more than one driver call.
#pragma once

#include <cstdint>

#include "link/link.hpp"

namespace kestrune {

inline constexpr std::uint32_t REPLY_TIMEOUT_MS = 1000;
// No deadline lies further ahead of the tick than this when it is set: the
// erase's is the longest.
inline constexpr std::uint32_t LONGEST_DEADLINE_MS = 5000;

enum class CommandResult { sent, failed };
enum class WaitResult { done, timed_out };

// Deadline = tick + 1000, never a sum that wrapped past zero.
void set_deadline(Link& link);

// Writes the command; renews the deadline only when every byte was written.
CommandResult send_command(Link& link, const std::uint8_t* bytes, std::uint32_t count);

// Reads until a read brings something (possibly fewer than count bytes) or the
// deadline passes. Bytes not brought keep their earlier values.
WaitResult await_reply(Link& link, std::uint8_t* buffer, std::uint32_t count);

// Writes the whole block until one call writes all of it.
WaitResult write_block(Link& link, const std::uint8_t* block);

// Reads until one call returns a whole block.
WaitResult read_block(Link& link, std::uint8_t* block);

WaitResult send_byte(Link& link, std::uint8_t byte);

}  // namespace kestrune
