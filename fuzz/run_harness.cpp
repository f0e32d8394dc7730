#include "fuzz/run_harness.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string_view>

#include "app/run.hpp"
#include "protocol/bootloader.hpp"
#include "protocol/exchange.hpp"
#include "protocol/transfer.hpp"
#include "sim/device.hpp"
#include "sim/device_config.hpp"
#include "sim/fake_clock.hpp"
#include "sim/sim_driver.hpp"
#include "tools/pack.hpp"

namespace kestrune::fuzz {

namespace {

constexpr std::uint32_t DEFAULT_START_TICK_MS = 1'000'000;
constexpr std::uint64_t TICK_RANGE_MS = std::uint64_t{1} << 32;
constexpr std::uint32_t START_STEP_MS = 100;
constexpr std::uint32_t MAX_CALL_MS = std::max(READ_TIMEOUT_MS, WRITE_TIMEOUT_MS);
constexpr std::uint8_t TIME_MASK = 0x3F;
constexpr std::uint8_t KIND_SHIFT = 6;
// A read that the script does not answer: nothing, after the full time-out.
constexpr std::uint8_t SILENT_READ = MAX_CALL_MS / CALL_TIME_UNIT_MS;
static_assert(SILENT_READ <= TIME_MASK);
constexpr pack::FirmwareVersion NEW_VERSION{2, 0};

[[noreturn]] void breach(std::string_view what, std::uint64_t at_ms) {
    std::fprintf(stderr, "run check failed at %llu ms: %.*s\n",
                 static_cast<unsigned long long>(at_ms), static_cast<int>(what.size()),
                 what.data());
    std::abort();
}

// The update files, one per image length, in a scratch folder of their own
// that goes when the process ends.
class UpdateFiles {
  public:
    ~UpdateFiles() {
        if (!folder_.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(folder_, ignored);
        }
    }

    struct File {
        std::string path;
        std::vector<std::uint8_t> bytes;
    };

    const File& file(std::uint32_t image_length) {
        const auto found = files_.find(image_length);
        if (found != files_.end()) {
            return found->second;
        }
        if (folder_.empty()) {
            std::string pattern = (std::filesystem::temp_directory_path() / "kestrune-fuzz-XXXXXX");
            if (mkdtemp(pattern.data()) == nullptr) {
                breach("cannot make a scratch folder for the update files", 0);
            }
            folder_ = pattern;
        }
        std::vector<std::uint8_t> file;
        pack::build_update_file(pack::sample_image(image_length), NEW_VERSION, file);
        const std::string file_path =
            (folder_ / ("update-" + std::to_string(image_length) + ".fwu")).string();
        if (!pack::write_file_bytes(file_path, file)) {
            breach("cannot write an update file", 0);
        }
        return files_.emplace(image_length, File{file_path, file}).first->second;
    }

  private:
    std::filesystem::path folder_;
    std::map<std::uint32_t, File> files_;
};

UpdateFiles& update_files() {
    static UpdateFiles files;
    return files;
}

// What the device echoes: the bytes that the latest run of writes (write calls
// with no read between them) took, read out from the first on. A block
// written in pieces thus comes back whole.
class Echo {
  public:
    void on_read() { reading_ = true; }
    void on_write(const std::uint8_t* taken, std::uint32_t count) {
        if (reading_) {
            reading_ = false;
            bytes_.clear();
            pos_ = 0;
        }
        bytes_.insert(bytes_.end(), taken, taken + count);
    }
    // The write call about to come starts a new run of writes.
    bool starts_new_writes() const { return reading_; }
    const std::vector<std::uint8_t>& written() const { return bytes_; }
    std::size_t available() const { return bytes_.size() - pos_; }
    bool comes_next(const std::uint8_t* bytes, std::uint32_t count) const {
        return available() >= count && std::equal(bytes, bytes + count, next());
    }
    void take(std::uint8_t* buffer, std::uint32_t count) {
        std::copy_n(next(), count, buffer);
        pos_ += count;
    }
    void skip(std::uint32_t count) { pos_ += count; }

  private:
    std::vector<std::uint8_t>::const_iterator next() const {
        return bytes_.begin() + static_cast<std::ptrdiff_t>(pos_);
    }

    std::vector<std::uint8_t> bytes_;
    std::size_t pos_ = 0;
    bool reading_ = true;
};

class ScriptReader {
  public:
    ScriptReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    std::uint8_t next(std::uint8_t fallback) { return pos_ < size_ ? data_[pos_++] : fallback; }
    std::uint16_t next_count() {
        const std::uint8_t high = next(0);
        return static_cast<std::uint16_t>((high << 8) | next(0));
    }
    std::uint32_t next_status() {
        const std::uint8_t status = next(1);
        return status == 0 ? 1 : status;
    }

  private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

std::uint32_t call_time_ms(std::uint8_t control) {
    return std::min<std::uint32_t>((control & TIME_MASK) * CALL_TIME_UNIT_MS, MAX_CALL_MS);
}

bool declines(const RunSetup& setup) {
    return setup.answer == 'N' || setup.answer == 'n';
}

// A user who answers the question as the setup says, may press a key during
// the transfer, and presses one when the program asks for it.
class UserConsole final : public Console {
  public:
    explicit UserConsole(const RunSetup& setup) : setup_(setup) {}

    void write_text(std::string_view text) override {
        output_.append(text);
        asked_for_key_ = asked_for_key_ || text.find("Press any key") != std::string_view::npos;
    }
    char read_key() override { return declines(setup_) ? 'N' : 'Y'; }
    bool key_waiting() override {
        ++key_tests_;
        return asked_for_key_ || (setup_.key_at_test != 0 && key_tests_ >= setup_.key_at_test);
    }
    void cursor_to_line_start() override {}
    bool has_keyboard() const override { return true; }

    const std::string& output() const { return output_; }

  private:
    RunSetup setup_;
    std::string output_;
    bool asked_for_key_ = false;
    std::uint32_t key_tests_ = 0;
};

// The driver whose answers the script gives; it checks how the program uses it.
class ScriptDriver final : public Driver {
  public:
    ScriptDriver(ScriptReader& script, sim::FakeClock& clock, std::uint64_t time_bound_ms,
                 const std::vector<std::uint8_t>& file)
        : script_(script), clock_(clock), time_bound_ms_(time_bound_ms), file_(file) {}

    void watch(const Link& link) { link_ = &link; }
    bool is_open() const { return open_; }
    // Block answers 0x80 to a verdict 0x01; each block so accepted held the
    // file's next 512 bytes (zeros past its end).
    std::uint32_t accepted_blocks() const { return accepted_blocks_; }

    LinkStatus open(std::uint32_t device_index, DeviceHandle& handle) override {
        if (open_) {
            breach("opened while a handle is open", clock_.elapsed_ms());
        }
        if (++opens_ > handles_.size()) {
            breach("opened more than twice", clock_.elapsed_ms());
        }
        if (device_index != DEVICE_INDEX) {
            breach("opened a device other than 0", clock_.elapsed_ms());
        }
        const LinkStatus status = setting_status();
        if (status == LINK_OK) {
            handle_ = &handles_[opens_ - 1];
            handle = handle_;
            open_ = true;
        }
        return status;
    }
    LinkStatus close(DeviceHandle handle) override {
        check_handle(handle);
        // Whatever the status, the handle is spent.
        open_ = false;
        return setting_status();
    }
    LinkStatus read(DeviceHandle handle, std::uint8_t* buffer, std::uint32_t wanted,
                    std::uint32_t& received) override {
        check_call_start(handle, Call::read);
        echo_.on_read();
        received = 0;
        const std::uint8_t control = script_.next(SILENT_READ);
        LinkStatus status = LINK_OK;
        switch (static_cast<ReadKind>(control >> KIND_SHIFT)) {
            case ReadKind::nothing:
                break;
            case ReadKind::echo:
                received = static_cast<std::uint32_t>(
                    std::min<std::size_t>({script_.next_count(), wanted, echo_.available()}));
                echo_.take(buffer, received);
                break;
            case ReadKind::bytes:
                received = std::min<std::uint32_t>(script_.next_count(), wanted);
                for (std::uint32_t i = 0; i < received; ++i) {
                    buffer[i] = script_.next(0);
                }
                break;
            case ReadKind::failure:
                status = script_.next_status();
                break;
        }
        if (received > 0 && erase_step_ == EraseStep::sent) {
            erase_step_ = buffer[0] == ERASE_ACCEPTED ? EraseStep::accepted : EraseStep::over;
        }
        if (received > 0 && verdict_) {
            // The block's answer.
            verdict_ = false;
            const bool good =
                echo_.written().size() == 1 && echo_.written().front() == VERDICT_ECHO_GOOD;
            if (good && buffer[0] == BLOCK_ACCEPTED) {
                accept_block();
            }
        }
        read_since_writes_ += received;
        clock_.advance_ms(call_time_ms(control));
        return status;
    }
    LinkStatus write(DeviceHandle handle, const std::uint8_t* buffer, std::uint32_t count,
                     std::uint32_t& written) override {
        // Commands (hand-over, version query, erase) come before the first
        // block; every write from the first block on belongs to a wait.
        blocks_begun_ = blocks_begun_ || count == BLOCK_SIZE;
        const bool command = !blocks_begun_;
        check_call_start(handle, command ? Call::command_write : Call::write);
        if (echo_.starts_new_writes()) {
            // One byte after the whole echo of the writes before it has come
            // back: the verdict on that block.
            verdict_ = count == 1 && read_since_writes_ == BLOCK_SIZE;
            if (verdict_) {
                block_ = echo_.written();
            }
            read_since_writes_ = 0;
        }
        written = 0;
        const std::uint8_t control = script_.next(0);
        LinkStatus status = LINK_OK;
        switch (static_cast<WriteKind>(control >> KIND_SHIFT)) {
            case WriteKind::all:
                written = count;
                break;
            case WriteKind::some:
                written = std::min<std::uint32_t>(script_.next_count(), count);
                break;
            case WriteKind::none:
                break;
            case WriteKind::failure:
                status = script_.next_status();
                break;
        }
        echo_.on_write(buffer, written);
        if (command &&
            std::equal(buffer, buffer + count, ERASE_COMMAND.begin(), ERASE_COMMAND.end())) {
            erase_step_ = EraseStep::sent;
        }
        // A command not taken whole leaves the older deadline in force; the
        // answer's wait then makes one read against it, passed or not.
        stale_deadline_read_ = command && status == LINK_OK && written < count;
        clock_.advance_ms(call_time_ms(control));
        return status;
    }
    LinkStatus reset(DeviceHandle handle) override { return setting_call(handle); }
    LinkStatus set_baud_rate(DeviceHandle handle, std::uint32_t) override {
        return setting_call(handle);
    }
    LinkStatus set_data_characteristics(DeviceHandle handle, std::uint8_t, std::uint8_t,
                                        std::uint8_t) override {
        return setting_call(handle);
    }
    LinkStatus set_flow_control(DeviceHandle handle, std::uint16_t, std::uint8_t,
                                std::uint8_t) override {
        return setting_call(handle);
    }
    LinkStatus set_special_characters(DeviceHandle handle, std::uint8_t, std::uint8_t, std::uint8_t,
                                      std::uint8_t) override {
        return setting_call(handle);
    }
    LinkStatus purge(DeviceHandle handle, std::uint32_t) override { return setting_call(handle); }
    LinkStatus set_timeouts(DeviceHandle handle, std::uint32_t, std::uint32_t) override {
        return setting_call(handle);
    }

  private:
    LinkStatus setting_status() {
        const std::uint8_t control = script_.next(0);
        return control < FIRST_FAILING_STATUS_BYTE ? LINK_OK
                                                   : control - FIRST_FAILING_STATUS_BYTE + 1;
    }
    LinkStatus setting_call(DeviceHandle handle) {
        check_handle(handle);
        return setting_status();
    }
    void accept_block() {
        const std::size_t start = std::size_t{accepted_blocks_} * BLOCK_SIZE;
        if (start + TRAILER_SIZE >= file_.size()) {
            breach("a block accepted past the end of the image", clock_.elapsed_ms());
        }
        std::vector<std::uint8_t> expected(BLOCK_SIZE, 0);
        const std::size_t length = std::min<std::size_t>(BLOCK_SIZE, file_.size() - start);
        std::copy_n(file_.begin() + static_cast<std::ptrdiff_t>(start), length, expected.begin());
        if (block_ != expected) {
            breach("the device accepted a block other than the file's next one",
                   clock_.elapsed_ms());
        }
        ++accepted_blocks_;
    }
    void check_handle(DeviceHandle handle) const {
        if (!open_ || handle != handle_) {
            breach("a driver call on a handle that is not open", clock_.elapsed_ms());
        }
    }
    enum class Call { read, write, command_write };
    enum class EraseStep { before, sent, accepted, over };

    // Every call of a wait starts no later than the deadline the link holds:
    // the wait tests the tick after each call and never pauses past it. Two
    // kinds of call stand outside a wait: a command's write, and the single
    // read against the older deadline after a command was not taken whole.
    // A deadline that is new is first seen by the call right after it was
    // set, so it must lie its whole length ahead: the erase's answer that
    // the flash is erased gets ERASE_TIMEOUT_MS, every other wait
    // REPLY_TIMEOUT_MS.
    void check_call_start(DeviceHandle handle, Call call) {
        check_handle(handle);
        const std::uint64_t now_ms = clock_.elapsed_ms();
        const std::uint32_t tick_ms = clock_.tick_ms();
        const Deadline deadline = link_->deadline;
        if (trace_) {
            std::fprintf(stderr, "%6llu ms  tick %10u  deadline %10u\n",
                         static_cast<unsigned long long>(now_ms), tick_ms, deadline);
        }
        if (now_ms > time_bound_ms_) {
            breach("the run outlasted its time bound", now_ms);
        }
        if (deadline != deadline_) {
            deadline_ = deadline;
            const bool erasing = erase_step_ == EraseStep::accepted;
            erase_step_ = erasing ? EraseStep::over : erase_step_;
            if (deadline - tick_ms != (erasing ? ERASE_TIMEOUT_MS : REPLY_TIMEOUT_MS)) {
                breach("a deadline set at another distance than its wait's time-out", now_ms);
            }
        }
        const bool stale_read = stale_deadline_read_ && call == Call::read;
        stale_deadline_read_ = false;
        // Wrap-safe: no deadline lies more than a few seconds from the tick.
        const auto past_deadline_ms = static_cast<std::int32_t>(tick_ms - deadline);
        if (past_deadline_ms > 0 && call != Call::command_write && !stale_read) {
            breach("a read or write after its deadline had passed", now_ms);
        }
    }

    ScriptReader& script_;
    sim::FakeClock& clock_;
    std::uint64_t time_bound_ms_;
    const Link* link_ = nullptr;
    std::array<std::uint8_t, 2> handles_{};
    DeviceHandle handle_ = nullptr;
    bool open_ = false;
    std::uint32_t opens_ = 0;
    const std::vector<std::uint8_t>& file_;
    Echo echo_;
    // Bytes the reads brought since the last run of writes.
    std::uint64_t read_since_writes_ = 0;
    bool verdict_ = false;
    std::vector<std::uint8_t> block_;
    std::uint32_t accepted_blocks_ = 0;
    // The deadline the last call saw; the link starts with 0.
    Deadline deadline_ = 0;
    bool blocks_begun_ = false;
    bool stale_deadline_read_ = false;
    EraseStep erase_step_ = EraseStep::before;
    bool trace_ = std::getenv("KESTRUNE_FUZZ_TRACE") != nullptr;
};

// Wraps a driver and writes down its answers as a script.
class ScriptRecorder final : public Driver {
  public:
    ScriptRecorder(Driver& inner, sim::FakeClock& clock) : inner_(inner), clock_(clock) {}

    std::vector<std::uint8_t>& script() { return script_; }

    LinkStatus open(std::uint32_t device_index, DeviceHandle& handle) override {
        return setting(inner_.open(device_index, handle));
    }
    LinkStatus close(DeviceHandle handle) override { return setting(inner_.close(handle)); }
    LinkStatus read(DeviceHandle handle, std::uint8_t* buffer, std::uint32_t wanted,
                    std::uint32_t& received) override {
        const std::uint64_t started_us = clock_.now_us();
        echo_.on_read();
        const LinkStatus status = inner_.read(handle, buffer, wanted, received);
        const std::uint8_t time = time_units(started_us);
        if (status != LINK_OK) {
            put_control(ReadKind::failure, time);
            put_status(status);
        } else if (received == 0) {
            put_control(ReadKind::nothing, time);
        } else if (echo_.comes_next(buffer, received)) {
            put_control(ReadKind::echo, time);
            put_count(received);
            echo_.skip(received);
        } else {
            put_control(ReadKind::bytes, time);
            put_count(received);
            script_.insert(script_.end(), buffer, buffer + received);
        }
        return status;
    }
    LinkStatus write(DeviceHandle handle, const std::uint8_t* buffer, std::uint32_t count,
                     std::uint32_t& written) override {
        const std::uint64_t started_us = clock_.now_us();
        const LinkStatus status = inner_.write(handle, buffer, count, written);
        const std::uint8_t time = time_units(started_us);
        if (status != LINK_OK) {
            put_control(WriteKind::failure, time);
            put_status(status);
        } else if (written == count) {
            put_control(WriteKind::all, time);
        } else if (written == 0) {
            put_control(WriteKind::none, time);
        } else {
            put_control(WriteKind::some, time);
            put_count(written);
        }
        echo_.on_write(buffer, written);
        return status;
    }
    LinkStatus reset(DeviceHandle handle) override { return setting(inner_.reset(handle)); }
    LinkStatus set_baud_rate(DeviceHandle handle, std::uint32_t baud) override {
        return setting(inner_.set_baud_rate(handle, baud));
    }
    LinkStatus set_data_characteristics(DeviceHandle handle, std::uint8_t word_length,
                                        std::uint8_t stop_bits, std::uint8_t parity) override {
        return setting(inner_.set_data_characteristics(handle, word_length, stop_bits, parity));
    }
    LinkStatus set_flow_control(DeviceHandle handle, std::uint16_t mode, std::uint8_t xon,
                                std::uint8_t xoff) override {
        return setting(inner_.set_flow_control(handle, mode, xon, xoff));
    }
    LinkStatus set_special_characters(DeviceHandle handle, std::uint8_t event_char,
                                      std::uint8_t event_enable, std::uint8_t error_char,
                                      std::uint8_t error_enable) override {
        return setting(inner_.set_special_characters(handle, event_char, event_enable, error_char,
                                                     error_enable));
    }
    LinkStatus purge(DeviceHandle handle, std::uint32_t mask) override {
        return setting(inner_.purge(handle, mask));
    }
    LinkStatus set_timeouts(DeviceHandle handle, std::uint32_t read_timeout_ms,
                            std::uint32_t write_timeout_ms) override {
        return setting(inner_.set_timeouts(handle, read_timeout_ms, write_timeout_ms));
    }

  private:
    LinkStatus setting(LinkStatus status) {
        const LinkStatus highest = 0xFF - FIRST_FAILING_STATUS_BYTE + 1;
        script_.push_back(status == LINK_OK
                              ? 0
                              : static_cast<std::uint8_t>(FIRST_FAILING_STATUS_BYTE - 1 +
                                                          std::min<LinkStatus>(status, highest)));
        return status;
    }
    // The call's time in whole units, rounded up.
    std::uint8_t time_units(std::uint64_t started_us) const {
        const std::uint64_t unit_us = std::uint64_t{CALL_TIME_UNIT_MS} * 1000;
        const std::uint64_t units = (clock_.now_us() - started_us + unit_us - 1) / unit_us;
        return static_cast<std::uint8_t>(std::min<std::uint64_t>(units, SILENT_READ));
    }
    template <typename Kind>
    void put_control(Kind kind, std::uint8_t time) {
        script_.push_back(
            static_cast<std::uint8_t>((static_cast<unsigned>(kind) << KIND_SHIFT) | time));
    }
    void put_count(std::uint32_t count) {
        script_.push_back(static_cast<std::uint8_t>(count >> 8));
        script_.push_back(static_cast<std::uint8_t>(count & 0xFF));
    }
    void put_status(LinkStatus status) {
        script_.push_back(static_cast<std::uint8_t>(std::clamp<LinkStatus>(status, 1, 0xFF)));
    }

    Driver& inner_;
    sim::FakeClock& clock_;
    std::vector<std::uint8_t> script_;
    Echo echo_;
};

std::uint32_t image_length_of(const RunSetup& setup) {
    return IMAGE_LENGTHS[setup.image_choice % IMAGE_LENGTHS.size()];
}

std::uint32_t start_tick_of(const RunSetup& setup) {
    if (setup.start_choice == 0) {
        return DEFAULT_START_TICK_MS;
    }
    return static_cast<std::uint32_t>(TICK_RANGE_MS -
                                      std::uint64_t{setup.start_choice} * START_STEP_MS);
}

struct EndingText {
    std::string_view text;
    int exit_code;
};

// The text each ending leaves last, and its exit code.
constexpr std::array<EndingText, 6> ENDINGS{{
    {"Update-file not found.", 0},
    {"Hex-file error.", 0},
    {"Exit.", 0},
    {"\nFirmware update terminated by user.", 0},
    {"\nData exchange error.\nPress any key to exit.", 0},
    {"\nFirmWare update OK.\nPress any key to exit.", 1},
}};

// Texts that only an ending prints.
constexpr std::array<std::string_view, 6> ENDING_MARKS{
    "Update-file not found.", "Hex-file error.",      "Exit.",
    "terminated by user.",    "Data exchange error.", "FirmWare update OK.",
};

void check_ending(const RunResult& result, std::uint32_t accepted_blocks, std::uint32_t blocks) {
    const std::string_view output = result.output;
    const auto ending = std::find_if(ENDINGS.begin(), ENDINGS.end(),
                                     [&](const EndingText& e) { return output.ends_with(e.text); });
    if (ending == ENDINGS.end()) {
        breach("the run ended without one of the endings", result.elapsed_ms);
    }
    const std::string_view before = output.substr(0, output.size() - ending->text.size());
    for (const std::string_view mark : ENDING_MARKS) {
        if (before.find(mark) != std::string_view::npos) {
            breach("an ending's text before the run's ending", result.elapsed_ms);
        }
    }
    if (result.exit_code != ending->exit_code) {
        breach("the exit code does not belong to the ending", result.elapsed_ms);
    }
    if (result.exit_code == 1 && accepted_blocks < blocks) {
        breach("completed with fewer blocks accepted than the image has", result.elapsed_ms);
    }
}

RunSetup read_setup(const std::uint8_t* data, std::size_t size) {
    ScriptReader reader(data, std::min(size, SETUP_BYTES));
    RunSetup setup;
    setup.image_choice = reader.next(setup.image_choice);
    setup.start_choice = reader.next(setup.start_choice);
    setup.key_at_test = reader.next(setup.key_at_test);
    setup.answer = reader.next(setup.answer);
    return setup;
}

}  // namespace

std::uint64_t run_time_bound_ms(std::uint32_t image_length) {
    const std::uint64_t blocks = (std::uint64_t{image_length} + BLOCK_SIZE - 1) / BLOCK_SIZE;
    // A wait ends at the first call that returns at or past its deadline.
    // Its last call starts no later than the deadline; a pause after a
    // failed call never reaches past it.
    const std::uint64_t wait_ms = REPLY_TIMEOUT_MS + MAX_CALL_MS;
    const std::uint64_t handover_ms = HANDOVER_ATTEMPTS * (MAX_CALL_MS + wait_ms) + REOPEN_PAUSE_MS;
    const std::uint64_t versions_ms = MAX_CALL_MS + wait_ms;
    const std::uint64_t erase_ms = MAX_CALL_MS + wait_ms + ERASE_TIMEOUT_MS + MAX_CALL_MS;
    // Each block attempt is accepted, or refused and counted, or ends the
    // run; four waits each: the block, its echo, the verdict and the answer.
    const std::uint64_t transfer_ms = (blocks + FAILURE_LIMIT) * 4 * wait_ms;
    // Setting a deadline waits through the tick's wrap, once in a run and at
    // most the longest deadline's length: the erase's may be the one.
    const std::uint64_t wrap_ms = LONGEST_DEADLINE_MS + 1;
    return handover_ms + versions_ms + erase_ms + transfer_ms + wrap_ms + FINAL_PAUSE_MS;
}

RunResult run_script(const std::uint8_t* data, std::size_t size) {
    const RunSetup setup = read_setup(data, size);
    const std::uint32_t image_length = image_length_of(setup);
    const std::uint32_t blocks = (image_length + BLOCK_SIZE - 1) / BLOCK_SIZE;
    const std::uint64_t bound_ms = run_time_bound_ms(image_length);
    const UpdateFiles::File& file = update_files().file(image_length);

    const std::size_t skipped = std::min(size, SETUP_BYTES);
    ScriptReader script(data + skipped, size - skipped);
    sim::FakeClock clock(start_tick_of(setup));
    ScriptDriver driver(script, clock, bound_ms, file.bytes);
    UserConsole console(setup);
    // One place for the 5 MB state of every run, made anew each time: a fresh
    // allocation per run would cost the fuzzer more than the run itself.
    static std::optional<RunState> state;
    state.emplace(driver, clock, console);
    driver.watch(state->link);

    RunResult result;
    result.exit_code = run_update(*state, file.path.c_str());
    result.output = console.output();
    result.elapsed_ms = clock.elapsed_ms();

    check_ending(result, driver.accepted_blocks(), blocks);
    if (driver.is_open()) {
        breach("the run ended with the link open", result.elapsed_ms);
    }
    if (result.elapsed_ms > bound_ms) {
        breach("the run outlasted its time bound", result.elapsed_ms);
    }
    if (declines(setup) && result.exit_code != 0) {
        breach("a declined update ended as completed", result.elapsed_ms);
    }
    return result;
}

std::vector<std::uint8_t> record_script(const RunSetup& setup, const std::string& device_config,
                                        RunResult& result) {
    std::string error;
    const std::optional<sim::DeviceConfig> config = sim::parse_device_config(device_config, error);
    if (!config) {
        breach("bad device settings: " + error, 0);
    }
    const std::string& path = update_files().file(image_length_of(setup)).path;
    sim::FakeClock clock(start_tick_of(setup));
    sim::Device device(*config);
    sim::SimDriver simulated(device, clock);
    ScriptRecorder recorder(simulated, clock);
    UserConsole console(setup);
    const auto state = std::make_unique<RunState>(recorder, clock, console);

    result.exit_code = run_update(*state, path.c_str());
    result.output = console.output();
    result.elapsed_ms = clock.elapsed_ms();

    std::vector<std::uint8_t> script{setup.image_choice, setup.start_choice, setup.key_at_test,
                                     setup.answer};
    script.insert(script.end(), recorder.script().begin(), recorder.script().end());
    return script;
}

}  // namespace kestrune::fuzz
