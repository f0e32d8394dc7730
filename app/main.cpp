// The program's entry: wires the platform's driver, console and clock to the run.
// Command-line arguments play no part.
#include "app/run.hpp"

namespace {
// 5 MB of image buffer: static storage, never on the stack.
kestrune::RunState run_state(kestrune::system_driver(), kestrune::system_clock(),
                             kestrune::system_console());
}  // namespace

int main() {
    return kestrune::run_update(run_state);
}
