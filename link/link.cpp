#include "link/link.hpp"

namespace kestrune {

bool configure_link(Link& link, DeviceHandle handle, std::uint32_t baud) {
    Driver& driver = link.driver;
    // The first five calls must succeed; the first that fails ends the
    // configuration and nothing further is sent to the converter.
    if ((link.last_status = driver.reset(handle)) != LINK_OK) {
        return false;
    }
    if ((link.last_status = driver.set_baud_rate(handle, baud)) != LINK_OK) {
        return false;
    }
    if ((link.last_status = driver.set_data_characteristics(handle, WORD_LENGTH_8, STOP_BITS_1,
                                                            PARITY_NONE)) != LINK_OK) {
        return false;
    }
    if ((link.last_status = driver.set_flow_control(handle, FLOW_CONTROL_NONE, 0, 0)) != LINK_OK) {
        return false;
    }
    if ((link.last_status = driver.set_special_characters(handle, 0, 0, 0, 0)) != LINK_OK) {
        return false;
    }
    // Time-outs and purge are best effort: their results change nothing.
    link.last_status = driver.set_timeouts(handle, READ_TIMEOUT_MS, WRITE_TIMEOUT_MS);
    link.last_status = driver.purge(handle, PURGE_RX_TX);
    return true;
}

OpenOutcome open_link(Link& link, std::uint32_t baud) {
    DeviceHandle handle = nullptr;
    link.last_status = link.driver.open(DEVICE_INDEX, handle);
    if (link.last_status != LINK_OK) {
        return OpenOutcome::open_failure;
    }
    link.handle = handle;
    link.open = true;
    if (!configure_link(link, handle, baud)) {
        return OpenOutcome::configuration_failure;
    }
    return OpenOutcome::opened;
}

void close_link(Link& link) {
    if (!link.open) {
        return;
    }
    link.driver.close(link.handle);
    link.open = false;
    link.handle = nullptr;
}

}  // namespace kestrune
