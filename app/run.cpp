#include "app/run.hpp"

#include <string_view>

namespace kestrune {

namespace {

constexpr std::string_view PRESS_ANY_KEY = "\nPress any key to exit.";

std::string_view ending_text(Ending ending) {
    switch (ending) {
        case Ending::not_found:
            return "Update-file not found.";
        case Ending::checksum_error:
            return "Hex-file error.";
        case Ending::declined:
            return "Exit.";
        case Ending::aborted:
            return "\nFirmware update terminated by user.";
        case Ending::data_exchange_error:
            return "\nData exchange error.";
        case Ending::completed:
            return "\nFirmWare update OK.";
    }
    return "";
}

int data_exchange_error(RunState& state) {
    return finish_with_key(state, Ending::data_exchange_error);
}

}  // namespace

int exit_code(Ending ending) {
    return ending == Ending::completed ? 1 : 0;
}

int finish_with_pause(RunState& state, Ending ending) {
    close_link(state.link);
    state.console.write_text(ending_text(ending));
    state.link.clock.sleep_ms(FINAL_PAUSE_MS);
    return exit_code(ending);
}

int finish_with_key(RunState& state, Ending ending) {
    close_link(state.link);
    state.console.write_text(ending_text(ending));
    state.console.write_text(PRESS_ANY_KEY);
    // The key press is left unread for whatever reads the console next. Test
    // for it every few milliseconds rather than spinning a core.
    if (state.console.has_keyboard()) {
        while (!state.console.key_waiting()) {
            state.link.clock.sleep_ms(KEY_POLL_MS);
        }
    }
    return exit_code(ending);
}

int run_update(RunState& state, const char* update_file) {
    Console& console = state.console;
    console.write_text("Update program start. \n");

    switch (load_update_file(state.image, update_file)) {
        case LoadOutcome::not_found:
            return finish_with_pause(state, Ending::not_found);
        case LoadOutcome::checksum_error:
            return finish_with_pause(state, Ending::checksum_error);
        case LoadOutcome::loaded:
            break;
    }

    switch (open_link(state.link, MAIN_FIRMWARE_BAUD)) {
        case OpenOutcome::open_failure:
            console.write_text("Device not found! \n");
            return data_exchange_error(state);
        case OpenOutcome::configuration_failure:
            return data_exchange_error(state);
        case OpenOutcome::opened:
            console.write_text("Connection OK. \n");
            break;
    }

    if (enter_bootloader(state.link, state.handshake) == EntryOutcome::failed) {
        return data_exchange_error(state);
    }
    if (!query_versions(state.link, state.report)) {
        return data_exchange_error(state);
    }
    const VersionReport& report = state.report;
    show_versions(console, {report.bootloader_major(), report.bootloader_minor()},
                  {report.firmware_major(), report.firmware_minor()},
                  {state.image.new_major(), state.image.new_minor()});
    if (confirm_update(console) == Answer::declined) {
        return finish_with_pause(state, Ending::declined);
    }

    if (erase_flash(state.link, state.answer) == EraseOutcome::failed) {
        return data_exchange_error(state);
    }
    console.write_text("Erase OK.\n");

    switch (transfer_image(state.link, state.image, state.transfer, state.answer, console,
                           state.progress)) {
        case TransferOutcome::failed:
            return data_exchange_error(state);
        case TransferOutcome::aborted:
            return finish_with_pause(state, Ending::aborted);
        case TransferOutcome::completed:
            break;
    }
    return finish_with_key(state, Ending::completed);
}

}  // namespace kestrune
