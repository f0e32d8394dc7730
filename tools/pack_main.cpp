// kestrune-pack: builds, samples and inspects update files.
#include <iostream>
#include <string>
#include <vector>

#include "tools/pack_command.hpp"

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    return kestrune::pack::run_pack_command(args, std::cout, std::cerr);
}
