// Driver calls as the test drivers record them: those that open and
// configure the link, and the filter that keeps only such calls.
#pragma once

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <string>
#include <vector>

namespace kestrune::testing {

inline std::vector<std::string> opening_calls(std::uint32_t baud) {
    return {
        "open(0)",
        "reset",
        "set_baud_rate(" + std::to_string(baud) + ")",
        "set_data_characteristics(8,0,0)",
        "set_flow_control(0,0,0)",
        "set_special_characters(0,0,0,0)",
        "set_timeouts(300,300)",
        "purge(3)",
    };
}

// The calls other than reads and writes, in order.
inline std::vector<std::string> setup_calls(const std::vector<std::string>& calls) {
    std::vector<std::string> setup;
    std::copy_if(calls.begin(), calls.end(), std::back_inserter(setup),
                 [](const std::string& call) {
                     return call.rfind("read(", 0) != 0 && call.rfind("write(", 0) != 0;
                 });
    return setup;
}

}  // namespace kestrune::testing
