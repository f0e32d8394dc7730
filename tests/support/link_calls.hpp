// The driver calls that open and configure the link, as the test drivers
// record them.
#pragma once

#include <cstdint>
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

}  // namespace kestrune::testing
