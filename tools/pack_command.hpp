// The kestrune-pack command line, apart from main so that tests can run it.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace kestrune::pack {

inline constexpr int EXIT_DONE = 0;          // written, or inspected with a good checksum
inline constexpr int EXIT_CHECKSUM_BAD = 1;  // inspected: the updater would refuse the file
inline constexpr int EXIT_FAILED = 2;        // bad arguments, unreadable input, cannot write

// args are the words after the program's name. Reports go to out, one-line
// errors to err. Help and version go to out; a command line the tool does not
// understand gets the reason and the usage on err, and EXIT_FAILED.
int run_pack_command(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace kestrune::pack
