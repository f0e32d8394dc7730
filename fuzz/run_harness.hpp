// Whole updates whose driver answers come from a byte string: the run target
// of the fuzzer, its seed recorder, and the checks every such run must pass.
//
// The byte string is a script. Its first four bytes set up the run, the rest
// answers the driver calls one after the other; once it runs out, every call
// succeeds, writes take everything at once and reads bring nothing after the
// full read time-out, so any run comes to an end.
//
//   byte 0   the update file: IMAGE_LENGTHS[byte % count] image bytes
//   byte 1   the tick at the start: 0 gives 1,000,000; n gives n * 100 ms
//            before the 32-bit tick wraps
//   byte 2   0: no key during the transfer; n: a key is waiting from the
//            n-th test for one on (the run's key test after each block)
//   byte 3   the answer to the question: 'N' or 'n' declines, anything else
//            accepts
//
// Then one control byte per driver call, and for some calls more bytes:
//
//   open, close and the settings calls
//     c < 0xF0          status 0
//     c >= 0xF0         status c - 0xEF (1..16)
//   read and write: kind = c >> 6, the call takes (c & 0x3F) * 5 ms, at most
//   the driver's 300 ms time-out
//     read  0  nothing arrives
//           1  COUNT: that many bytes (at most those asked for) of the echo:
//              the bytes the latest run of writes (write calls with no read
//              between them) took, going on from where the last echo read
//              stopped
//           2  COUNT, then that many bytes: those bytes
//           3  STATUS (0 counts as 1): that status, nothing moved
//     write 0  every byte taken
//           1  COUNT: that many taken (at most those offered)
//           2  none taken
//           3  STATUS (0 counts as 1): that status, nothing taken
//   COUNT is two bytes, high byte first.
//
// While a run goes on, the driver checks that every call but open is made on
// the one open handle, that the link is opened at most twice and never while
// open, that every new deadline lies its wait's time-out ahead of the tick
// (the erase's for its second answer, the reply time-out for all others), and
// that no call of a wait starts after the deadline. A command's write stands
// outside any wait, and so does the one read against the older deadline that
// a command not taken whole leaves in force. A one-byte write right after
// reads that brought 512 bytes since the writes before them is the verdict on
// the block those writes took; when it is 0x01 and the next read brings 0x80
// first, the block counts as accepted, and it must hold the file's next 512
// bytes (zeros past its end) and lie within the image. After the run: one of
// the defined endings as the last text, exit code 1 exactly with the completed
// one, which needs an accepted block for every block of the image, the link
// closed, and the whole run's simulated time within run_time_bound_ms(). Any
// breach prints what happened and aborts, which the fuzzer reports as a crash.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kestrune::fuzz {

// Image lengths to choose from: three blocks with the trailer and zeros in the
// last one, none, one short block, a last block holding only part of the
// trailer, and whole blocks with the trailer left out of them.
inline constexpr std::array<std::uint32_t, 5> IMAGE_LENGTHS{1'200, 0, 200, 1'533, 1'024};

inline constexpr std::size_t SETUP_BYTES = 4;
inline constexpr std::uint32_t CALL_TIME_UNIT_MS = 5;
inline constexpr std::uint8_t FIRST_FAILING_STATUS_BYTE = 0xF0;

enum class ReadKind : std::uint8_t { nothing = 0, echo = 1, bytes = 2, failure = 3 };
enum class WriteKind : std::uint8_t { all = 0, some = 1, none = 2, failure = 3 };

struct RunSetup {
    std::uint8_t image_choice = 0;
    std::uint8_t start_choice = 0;
    std::uint8_t key_at_test = 0;
    std::uint8_t answer = 'Y';
};

struct RunResult {
    int exit_code = 0;
    std::string output;
    std::uint64_t elapsed_ms = 0;
};

// Runs one update on the script and checks it; aborts on a breach.
RunResult run_script(const std::uint8_t* data, std::size_t size);

// Runs one update against the simulated device with the given settings and
// fault plan (the text form of sim/device_config.hpp), recording its driver
// answers as a script that replays the same run.
std::vector<std::uint8_t> record_script(const RunSetup& setup, const std::string& device_config,
                                        RunResult& result);

// The longest a run of image_length bytes may take on the simulated clock.
std::uint64_t run_time_bound_ms(std::uint32_t image_length);

}  // namespace kestrune::fuzz
