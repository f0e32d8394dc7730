// Never a false success, never stuck, always recoverable: a clean whole update
// of a three-block image is recorded, then repeated once for every fault point
// of it (every driver call, every byte moved), each run followed by a power
// cycle of the device and a clean rerun that must complete. The faults on whole
// calls are swept again with the tick wrapping during the run.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/run.hpp"
#include "protocol/exchange.hpp"
#include "protocol/transfer.hpp"
#include "sim/device.hpp"
#include "sim/fake_clock.hpp"
#include "sim/sim_driver.hpp"
#include "tests/support/scratch_folder.hpp"
#include "tests/support/scripted_console.hpp"
#include "tests/sweep/faulty_driver.hpp"
#include "tools/pack.hpp"

namespace kestrune {
namespace {

using testing::CallRecord;
using testing::FaultyDriver;
using testing::InjectedFault;
using testing::Injection;
using testing::Operation;

// 1,200 image bytes: three blocks, the last with 176 image bytes, the 4
// trailer bytes and 332 zeros.
constexpr std::uint32_t IMAGE_LENGTH = 1200;
constexpr std::uint32_t BLOCKS = 3;
constexpr std::uint32_t FLASH_SIZE = 8 * BLOCK_SIZE;
constexpr std::uint8_t VERDICT_GOOD = 0x01;
constexpr std::uint8_t ACCEPTED = 0x80;

// The tick the clock starts at. Runs across the tick wrap start from 250 ms to
// 2.5 s before it, so that it falls in every part of a clean run (about 2 s).
constexpr std::uint32_t START_TICK = 1'000'000;
constexpr std::uint32_t WRAP_LEAD_STEP_MS = 250;
constexpr std::uint32_t WRAP_LEADS = 10;

const std::string START = "Update program start. \n";
const std::string DATA_EXCHANGE_ERROR = "\nData exchange error.\nPress any key to exit.";
const std::string COMPLETED = "\nFirmWare update OK.\nPress any key to exit.";

struct Outcome {
    int exit_code = 0;
    std::string output;
    std::string screen;
    std::vector<CallRecord> calls;
    std::uint32_t handles_opened = 0;
    std::uint32_t handles_closed = 0;
    bool handle_left_open = false;
};

const char* injection_name(Injection kind) {
    switch (kind) {
        case Injection::fail_once:
            return "fails once";
        case Injection::fail_from_then_on:
            return "fails from then on";
        case Injection::silence:
            return "silence";
        case Injection::damaged_byte:
            return "damaged byte";
        case Injection::cut_after_byte:
            return "cut short after byte";
    }
    return "";
}

std::string describe(const InjectedFault& fault, const std::vector<CallRecord>& recorded) {
    std::string text = "call " + std::to_string(fault.call) + " " + recorded[fault.call].name +
                       ": " + injection_name(fault.kind);
    if (fault.kind == Injection::damaged_byte || fault.kind == Injection::cut_after_byte) {
        text += " " + std::to_string(fault.byte);
    }
    return text;
}

bool moves_bytes(const CallRecord& call) {
    return call.operation == Operation::read || call.operation == Operation::write;
}

// Every fault point of the recorded run, call by call.
std::vector<InjectedFault> fault_points(const std::vector<CallRecord>& recorded) {
    std::vector<InjectedFault> points;
    for (std::size_t call = 0; call < recorded.size(); ++call) {
        points.push_back({Injection::fail_once, call});
        points.push_back({Injection::fail_from_then_on, call});
        if (!moves_bytes(recorded[call])) {
            continue;
        }
        points.push_back({Injection::silence, call});
        const std::uint32_t moved = recorded[call].moved;
        for (std::uint32_t byte = 0; byte < moved; ++byte) {
            points.push_back({Injection::damaged_byte, call, byte});
            // A cut after the last byte would be no cut at all.
            if (byte + 1 < moved) {
                points.push_back({Injection::cut_after_byte, call, byte});
            }
        }
    }
    return points;
}

// The protocol's known limit. The block answer carries no block number and
// nothing reads the flash back: when the device's 80 (written) reaches the
// program as another value, the program takes it as a refusal and sends the
// block again, while the device has already stored it and takes the repeat as
// the next block. Nothing on the wire lets either side notice; the flash ends
// up shifted by a block behind a "FirmWare update OK.". Such a run may end
// wrongly; it must still end, close its handle and leave a device that a rerun
// updates.
bool damages_a_block_answer(const InjectedFault& fault, const std::vector<CallRecord>& recorded) {
    if (fault.kind != Injection::damaged_byte || fault.call == 0) {
        return false;
    }
    const CallRecord& read = recorded[fault.call];
    const CallRecord& before = recorded[fault.call - 1];
    // The answer is the one-byte read that follows the one-byte verdict.
    return read.operation == Operation::read && read.moved == 1 &&
           before.operation == Operation::write && before.bytes.size() == 1;
}

// Faults the program recovers from, so the run must still complete: a read
// that fails or brings nothing is made again until its deadline, and from the
// first block on, each block's four calls (block, echo, verdict, answer) also
// get over a failed call, a damaged byte (a bad echo or verdict makes the
// block go again) and a call cut short (the rest goes on the next call). Not so
// a block write or verdict whose bytes are lost, nor a damaged block answer.
bool bound_to_complete(const InjectedFault& fault, const std::vector<CallRecord>& recorded) {
    const CallRecord& call = recorded[fault.call];
    if (fault.kind == Injection::fail_from_then_on || !moves_bytes(call)) {
        return false;
    }
    if (call.operation == Operation::read &&
        (fault.kind == Injection::fail_once || fault.kind == Injection::silence)) {
        return true;
    }
    const auto first_block =
        std::find_if(recorded.begin(), recorded.end(), [](const CallRecord& c) {
            return c.operation == Operation::write && c.bytes.size() == BLOCK_SIZE;
        });
    const bool in_blocks = fault.call >= static_cast<std::size_t>(first_block - recorded.begin());
    const bool lost_write = call.operation == Operation::write && fault.kind == Injection::silence;
    return in_blocks && !lost_write && !damages_a_block_answer(fault, recorded);
}

// The percentages of the progress rows, in the order shown.
std::vector<std::string> progress_rows(const std::string& screen) {
    std::vector<std::string> rows;
    const std::string row = "\rLoad: ";
    for (auto at = screen.find(row); at != std::string::npos; at = screen.find(row, at + 1)) {
        const auto begin = at + row.size();
        rows.push_back(screen.substr(begin, screen.find(" %", begin) - begin));
    }
    return rows;
}

// Blocks the program took as written: a good verdict answered with 80.
std::uint32_t blocks_taken(const std::vector<CallRecord>& calls) {
    std::uint32_t taken = 0;
    bool good_verdict_sent = false;
    for (const CallRecord& call : calls) {
        if (call.operation == Operation::write && call.bytes.size() == 1) {
            good_verdict_sent = call.bytes[0] == VERDICT_GOOD;
        } else if (call.operation == Operation::read && call.moved > 0) {
            taken += good_verdict_sent && call.bytes[0] == ACCEPTED ? 1 : 0;
            good_verdict_sent = false;
        }
    }
    return taken;
}

// How far a tick lies after another one, across the wrap; negative: before.
std::int32_t ticks_after(std::uint32_t tick, std::uint32_t other) {
    return static_cast<std::int32_t>(tick - other);
}

struct WaitFindings {
    std::uint32_t longest_overrun_ms = 0;
    std::vector<std::string> wrong;
};

// The run's deadlines and waits, from the calls alone. A deadline is set just
// before the first call that sees it, at the same tick (nothing between them
// takes time), and lies REPLY_TIMEOUT_MS ahead, ERASE_TIMEOUT_MS for the
// erase's second answer, which follows the 0F that accepts the erase.
//
// A wait's calls are the reads (or writes) made one after the other under one
// deadline. A wait that starts after its deadline (the answer to a command
// written only in part) may make one call; any other wait stops within one
// call past its deadline, and one that gives up (its calls brought nothing, or
// less than a whole block) has reached its deadline. Command writes are no
// wait: a command is written once, and is never a byte or a block long.
WaitFindings check_waits(const std::vector<CallRecord>& calls) {
    WaitFindings findings;
    Deadline previous_deadline = 0;
    bool erase_accepted = false;
    std::size_t first = 0;  // the wait's first call
    std::uint32_t moved = 0;
    for (std::size_t i = 0; i < calls.size(); ++i) {
        const CallRecord& call = calls[i];
        const std::string where = "call " + std::to_string(i) + " " + call.name + ": ";
        if (call.deadline != 0 && call.deadline != previous_deadline) {
            const std::uint32_t nominal = erase_accepted ? ERASE_TIMEOUT_MS : REPLY_TIMEOUT_MS;
            const std::int32_t length = ticks_after(call.deadline, call.start_tick);
            if (length != static_cast<std::int32_t>(nominal)) {
                findings.wrong.push_back(where + "a deadline " + std::to_string(length) +
                                         " ms ahead, not " + std::to_string(nominal));
            }
            erase_accepted = false;
        }
        previous_deadline = call.deadline;
        if (!moves_bytes(call)) {
            continue;
        }
        if (call.operation == Operation::read && call.moved > 0) {
            erase_accepted = call.asked == 1 && call.bytes[0] == ERASE_ACCEPTED;
        }
        const CallRecord* before = i > 0 ? &calls[i - 1] : nullptr;
        if (before == nullptr || before->operation != call.operation ||
            before->deadline != call.deadline) {
            first = i;
            moved = 0;
        }
        moved += call.moved;
        const std::uint32_t wait_start = calls[first].start_tick;
        const std::uint32_t limit =
            ticks_after(wait_start, call.deadline) > 0 ? wait_start : call.deadline;
        const std::int32_t overrun = ticks_after(call.end_tick, limit);
        if (overrun > 0) {
            findings.longest_overrun_ms =
                std::max(findings.longest_overrun_ms, static_cast<std::uint32_t>(overrun));
        }

        const CallRecord* after = i + 1 < calls.size() ? &calls[i + 1] : nullptr;
        const bool wait_ends = after == nullptr || after->operation != call.operation ||
                               after->deadline != call.deadline;
        const std::uint32_t asked = calls[first].asked;
        const bool is_wait = call.operation == Operation::read || asked == 1 || asked == BLOCK_SIZE;
        const std::uint32_t needed = asked == BLOCK_SIZE ? BLOCK_SIZE : 1;
        const std::int32_t early = ticks_after(call.deadline, call.end_tick);
        if (wait_ends && is_wait && moved < needed && early > 0) {
            findings.wrong.push_back(where + "gave up " + std::to_string(early) +
                                     " ms before its deadline");
        }
    }
    return findings;
}

class FaultSweep {
  public:
    FaultSweep() {
        const std::vector<std::uint8_t> image = pack::sample_image(IMAGE_LENGTH);
        std::vector<std::uint8_t> file;
        if (pack::build_update_file(image, {1, 5}, file) != pack::BuildOutcome::built) {
            throw std::runtime_error("cannot build the update file");
        }
        file_ = folder_.write("Kestrune.fwu", file);
        // What the blocks carry: the image, the trailer, zeros to the block's
        // end; the rest of the flash stays erased.
        expected_flash_.assign(FLASH_SIZE, 0xFF);
        std::copy(file.begin(), file.end(), expected_flash_.begin());
        std::fill(expected_flash_.begin() + file.size(),
                  expected_flash_.begin() + BLOCKS * BLOCK_SIZE, std::uint8_t{0});
    }

    static std::unique_ptr<sim::Device> make_device() {
        std::string error;
        const auto config = sim::parse_device_config(
            "bootloader_version 2.1\nfirmware_version 1.4\nnew_firmware_version 1.5\n"
            "flash_size " +
                std::to_string(FLASH_SIZE) + "\n",
            error);
        if (!config) {
            throw std::runtime_error(error);
        }
        return std::make_unique<sim::Device>(*config);
    }

    // One whole run, answered with Y ahead and no keyboard to wait on.
    Outcome run(sim::Device& device, sim::FakeClock& clock, std::optional<InjectedFault> fault) {
        sim::SimDriver sim_driver{device, clock};
        FaultyDriver driver{sim_driver, clock, fault};
        testing::ScriptedConsole console{clock};
        console.press('y');
        console.set_keyboard(false);
        // The run's state is large (its image buffer alone is 5 MB): one place
        // on the heap serves every run.
        RunState& state = state_->emplace(driver, clock, console);
        driver.watch(state.link);
        Outcome outcome;
        outcome.exit_code = run_update(state, file_.c_str());
        state_->reset();
        outcome.output = console.output();
        outcome.screen = console.screen_log();
        outcome.calls = driver.calls();
        outcome.handles_opened = driver.handles_opened();
        outcome.handles_closed = driver.handles_closed();
        outcome.handle_left_open = sim_driver.is_open();
        return outcome;
    }

    // What is wrong with a run's ending; empty when nothing is.
    std::vector<std::string> problems(const Outcome& outcome, const sim::Device& device,
                                      bool known_limit) const {
        std::vector<std::string> found;
        const auto ends_with = [&](const std::string& tail) {
            return outcome.output.size() >= tail.size() &&
                   outcome.output.compare(outcome.output.size() - tail.size(), tail.size(), tail) ==
                       0;
        };
        const bool completed = ends_with(COMPLETED);
        if (outcome.output.rfind(START, 0) != 0 ||
            (!completed && !ends_with(DATA_EXCHANGE_ERROR))) {
            found.push_back("no defined ending: \"" + outcome.output + "\"");
        }
        if ((outcome.exit_code == 1) != completed) {
            found.push_back("exit code " + std::to_string(outcome.exit_code));
        }
        if (completed && !known_limit && !holds_the_blocks(device)) {
            found.push_back("\"FirmWare update OK.\" over a flash that differs");
        }
        if (outcome.handle_left_open || outcome.handles_opened != outcome.handles_closed) {
            found.push_back(std::to_string(outcome.handles_opened) + " handles opened, " +
                            std::to_string(outcome.handles_closed) + " closed");
        }
        WaitFindings waits = check_waits(outcome.calls);
        if (waits.longest_overrun_ms > READ_TIMEOUT_MS) {
            found.push_back("a wait ran " + std::to_string(waits.longest_overrun_ms) +
                            " ms past its deadline");
        }
        found.insert(found.end(), waits.wrong.begin(), waits.wrong.end());
        const std::vector<std::string> rows = progress_rows(outcome.screen);
        const std::uint32_t taken = blocks_taken(outcome.calls);
        const std::string expected_row = taken == 0 ? "0" : clean_rows_.at(taken - 1);
        if ((taken > 0 || !rows.empty()) && (rows.empty() || rows.back() != expected_row)) {
            found.push_back("progress row " + (rows.empty() ? "none" : rows.back()) +
                            " after block " + std::to_string(taken) + " was taken");
        }
        return found;
    }

    void set_clean_rows(const std::string& screen) { clean_rows_ = progress_rows(screen); }

    // The flash holds exactly what the blocks carried, and nothing past them.
    bool holds_the_blocks(const sim::Device& device) const {
        const auto flash = device.flash();
        return std::equal(flash.begin(), flash.end(), expected_flash_.begin(),
                          expected_flash_.end());
    }

  private:
    testing::ScratchFolder folder_;
    std::string file_;
    std::vector<std::uint8_t> expected_flash_;
    std::vector<std::string> clean_rows_;
    std::unique_ptr<std::optional<RunState>> state_ = std::make_unique<std::optional<RunState>>();
};

// What the sweep counts over its fault points.
struct Tally {
    std::map<Injection, std::size_t> points_of_kind;
    std::map<Injection, std::size_t> completed_of_kind;
    std::vector<std::string> exceptions;
    std::size_t runs = 0;
    std::size_t bound = 0;
    std::size_t wrong_at_known_limit = 0;
    std::size_t failures = 0;
    std::uint32_t longest_overrun = 0;

    std::size_t completed() const {
        std::size_t all = 0;
        for (const auto& [kind, count] : completed_of_kind) {
            all += count;
        }
        return all;
    }
};

// A clean run on a new device, its clock started at start_tick; its progress
// rows are the ones every run that takes as many blocks must show.
Outcome clean_run(FaultSweep& sweep, std::uint32_t start_tick) {
    sim::FakeClock clock{start_tick};
    const auto device = FaultSweep::make_device();
    const Outcome clean = sweep.run(*device, clock, std::nullopt);
    EXPECT_EQ(clean.exit_code, 1) << clean.output;
    sweep.set_clean_rows(clean.screen);
    EXPECT_EQ(sweep.problems(clean, *device, false), std::vector<std::string>{});
    return clean;
}

// The fault point's run on a new device whose clock starts at start_tick, then
// a power cycle and a clean rerun.
void sweep_point(FaultSweep& sweep, const InjectedFault& point,
                 const std::vector<CallRecord>& recorded, std::uint32_t start_tick, Tally& tally) {
    ++tally.points_of_kind[point.kind];
    const bool known_limit = damages_a_block_answer(point, recorded);
    if (known_limit) {
        tally.exceptions.push_back(describe(point, recorded));
    }
    sim::FakeClock clock{start_tick};
    const auto device = FaultSweep::make_device();
    const Outcome faulted = sweep.run(*device, clock, point);
    std::vector<std::string> found = sweep.problems(faulted, *device, known_limit);
    const bool recoverable = bound_to_complete(point, recorded);
    tally.bound += recoverable ? 1 : 0;
    if (faulted.exit_code == 1) {
        ++tally.completed_of_kind[point.kind];
    } else if (recoverable) {
        found.push_back("recoverable, but ended: \"" + faulted.output + "\"");
    }
    tally.wrong_at_known_limit +=
        known_limit && faulted.exit_code == 1 && !sweep.holds_the_blocks(*device) ? 1 : 0;
    tally.longest_overrun =
        std::max(tally.longest_overrun, check_waits(faulted.calls).longest_overrun_ms);

    device->power_cycle(sim::Device::FaultPlan::clear);
    const Outcome rerun = sweep.run(*device, clock, std::nullopt);
    tally.runs += 2;
    for (const std::string& problem : sweep.problems(rerun, *device, false)) {
        found.push_back("rerun: " + problem);
    }
    if (rerun.exit_code != 1) {
        found.push_back("rerun: exit code " + std::to_string(rerun.exit_code));
    }
    if (!found.empty() && ++tally.failures <= 20) {
        std::string text =
            "clock from " + std::to_string(start_tick) + ", " + describe(point, recorded);
        for (const std::string& problem : found) {
            text += "\n  " + problem;
        }
        ADD_FAILURE() << text;
    }
}

TEST(FaultSweep, EveryFaultPointEndsDefinedAndARerunCompletes) {
    FaultSweep sweep;
    const Outcome clean = clean_run(sweep, START_TICK);
    ASSERT_EQ(progress_rows(clean.screen), (std::vector<std::string>{"0", "42", "85"}));
    const std::vector<CallRecord>& recorded = clean.calls;

    const std::vector<InjectedFault> points = fault_points(recorded);
    Tally tally;
    tally.runs = 1;
    for (const InjectedFault& point : points) {
        sweep_point(sweep, point, recorded, START_TICK, tally);
    }
    EXPECT_EQ(tally.failures, 0U);

    // Again with the tick wrapping during the run, for a fault at every call.
    Tally at_wrap;
    for (std::uint32_t lead = 1; lead <= WRAP_LEADS; ++lead) {
        const std::uint32_t start_tick = std::uint32_t{0} - lead * WRAP_LEAD_STEP_MS;
        const Outcome clean_at_wrap = clean_run(sweep, start_tick);
        ++at_wrap.runs;
        for (const InjectedFault& point : fault_points(clean_at_wrap.calls)) {
            if (point.kind != Injection::damaged_byte && point.kind != Injection::cut_after_byte) {
                sweep_point(sweep, point, clean_at_wrap.calls, start_tick, at_wrap);
            }
        }
    }
    EXPECT_EQ(at_wrap.failures, 0U);

    std::cout << "fault sweep of a " << BLOCKS << "-block update (" << recorded.size()
              << " driver calls, " << recorded.back().end_tick - recorded.front().start_tick
              << " ms):\n";
    for (const auto& [kind, count] : tally.points_of_kind) {
        std::cout << "  " << injection_name(kind) << ": " << count << " points, "
                  << tally.completed_of_kind[kind] << " completed\n";
    }
    std::cout << "  fault points: " << points.size() << ", runs: " << tally.runs
              << " (each faulted run, then a power cycle and a rerun)\n"
              << "  faulted runs that still completed: " << tally.completed()
              << " (bound to: " << tally.bound << ")\n"
              << "  longest wait past its deadline: " << tally.longest_overrun << " ms (limit "
              << READ_TIMEOUT_MS << " ms)\n"
              << "  exceptions, a damaged block answer (" << tally.exceptions.size() << ", "
              << tally.wrong_at_known_limit << " of them ended wrongly):\n";
    for (const std::string& exception : tally.exceptions) {
        std::cout << "    " << exception << "\n";
    }
    std::size_t wrap_points = 0;
    for (const auto& [kind, count] : at_wrap.points_of_kind) {
        wrap_points += count;
    }
    std::cout << "  across the tick wrap (clock started " << WRAP_LEAD_STEP_MS << " to "
              << WRAP_LEADS * WRAP_LEAD_STEP_MS << " ms before it, in steps of "
              << WRAP_LEAD_STEP_MS << " ms; faults on whole calls): " << wrap_points
              << " fault points, runs: " << at_wrap.runs << ", completed: " << at_wrap.completed()
              << " (bound to: " << at_wrap.bound
              << "), longest wait past its deadline: " << at_wrap.longest_overrun << " ms\n";
    EXPECT_EQ(tally.exceptions.size(), BLOCKS);
}

}  // namespace
}  // namespace kestrune
