#include "link/serial_posix_ports.hpp"

#include <libserialport.h>

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdio>

namespace kestrune::serial {

namespace {

bool is_digit(char c) {
    return std::isdigit(static_cast<unsigned char>(c)) != 0;
}

// Compares the digit runs starting at i and j; sets the positions past them.
int compare_numbers(const std::string& left, std::size_t& i, const std::string& right,
                    std::size_t& j) {
    while (i < left.size() && left[i] == '0') {
        ++i;
    }
    while (j < right.size() && right[j] == '0') {
        ++j;
    }
    const std::size_t left_start = i;
    const std::size_t right_start = j;
    while (i < left.size() && is_digit(left[i])) {
        ++i;
    }
    while (j < right.size() && is_digit(right[j])) {
        ++j;
    }
    const std::size_t left_length = i - left_start;
    const std::size_t right_length = j - right_start;
    if (left_length != right_length) {
        return left_length < right_length ? -1 : 1;
    }
    const int order = left.compare(left_start, left_length, right, right_start, right_length);
    return order < 0 ? -1 : (order > 0 ? 1 : 0);
}

}  // namespace

bool name_before(const std::string& left, const std::string& right) {
    std::size_t i = 0;
    std::size_t j = 0;
    while (i < left.size() && j < right.size()) {
        if (is_digit(left[i]) && is_digit(right[j])) {
            const int order = compare_numbers(left, i, right, j);
            if (order != 0) {
                return order < 0;
            }
            continue;
        }
        if (left[i] != right[j]) {
            return static_cast<unsigned char>(left[i]) < static_cast<unsigned char>(right[j]);
        }
        ++i;
        ++j;
    }
    if ((i < left.size()) != (j < right.size())) {
        return j < right.size();
    }
    // Equal as numbers ("ttyUSB01" and "ttyUSB1"): fall back to the plain order.
    return left < right;
}

std::vector<std::string> converter_ports(std::vector<PortListing> ports) {
    std::erase_if(ports, [](const PortListing& port) {
        return port.usb_vendor_id != CONVERTER_USB_VENDOR_ID;
    });
    std::vector<std::string> names;
    names.reserve(ports.size());
    for (PortListing& port : ports) {
        names.push_back(std::move(port.name));
    }
    std::sort(names.begin(), names.end(), name_before);
    return names;
}

std::optional<std::string> select_port(std::vector<PortListing> ports, std::uint32_t index) {
    std::vector<std::string> names = converter_ports(std::move(ports));
    if (index >= names.size()) {
        return std::nullopt;
    }
    return std::move(names[index]);
}

std::string describe_port_choice(const std::vector<std::string>& ports, std::uint32_t index) {
    std::string line = "kestrune-update: using serial port " + ports.at(index);
    std::string others;
    for (std::size_t position = 0; position < ports.size(); ++position) {
        if (position != index) {
            others += (others.empty() ? "" : ", ") + ports[position];
        }
    }
    if (!others.empty()) {
        line += "; other converter ports passed over: " + others;
    }
    return line + ".";
}

std::string describe_no_converter() {
    char vendor[8];
    std::snprintf(vendor, sizeof vendor, "%04x", unsigned{CONVERTER_USB_VENDOR_ID});
    return std::string(
               "kestrune-update: no serial port of a USB-serial converter with vendor "
               "ID ") +
           vendor + " found.";
}

std::vector<PortListing> list_system_ports() {
    std::vector<PortListing> listing;
    sp_port** ports = nullptr;
    if (sp_list_ports(&ports) != SP_OK || ports == nullptr) {
        return listing;
    }
    for (sp_port** port = ports; *port != nullptr; ++port) {
        const char* name = sp_get_port_name(*port);
        if (name == nullptr) {
            continue;
        }
        PortListing entry{name, std::nullopt};
        int vendor = 0;
        int product = 0;
        if (sp_get_port_transport(*port) == SP_TRANSPORT_USB &&
            sp_get_port_usb_vid_pid(*port, &vendor, &product) == SP_OK && vendor >= 0 &&
            vendor <= 0xFFFF) {
            entry.usb_vendor_id = static_cast<std::uint16_t>(vendor);
        }
        listing.push_back(std::move(entry));
    }
    sp_free_port_list(ports);
    return listing;
}

}  // namespace kestrune::serial
