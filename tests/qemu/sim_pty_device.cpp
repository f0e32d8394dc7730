// The simulated device at the host's end of an emulated USB-serial converter.
//
//   kestrune-sim-pty-device DEVICE_FILE FOLDER [UNPLUG_AT_BLOCK MONITOR_SOCKET]
//
// Makes a pseudo-terminal and writes the path of its slave side to FOLDER/pty;
// the emulator opens that path as the converter's serial line. The device, set
// up from DEVICE_FILE (the simulated device's text form), is then served on the
// master side at the line speed the emulator passes on, until SIGTERM or
// SIGINT. It then writes FOLDER/flash.bin (the whole flash) and
// FOLDER/device.txt (counts, speeds followed, answer bytes lost).
//
// With UNPLUG_AT_BLOCK, once that many blocks have reached the device the
// converter is pulled: "device_del converter" goes to the emulator's monitor
// on the Unix socket MONITOR_SOCKET.
#include <pty.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "sim/device.hpp"
#include "sim/device_config.hpp"
#include "tests/link/pty_device.hpp"

namespace {

volatile std::sig_atomic_t stop_requested = 0;

void request_stop(int) {
    stop_requested = 1;
}

bool write_file(const std::string& path, const void* data, std::size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
    return static_cast<bool>(out);
}

// Written under another name first, so that a reader never sees half of it.
bool publish(const std::string& path, const std::string& text) {
    const std::string scratch = path + ".new";
    return write_file(scratch, text.data(), text.size()) &&
           std::rename(scratch.c_str(), path.c_str()) == 0;
}

// Sends one command line to the emulator's monitor. Returns the connection,
// left open: the monitor drops what it has not run yet when the other end
// closes. -1 when there is no monitor.
int send_to_monitor(const std::string& socket_path, const std::string& command) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socket_path.size() >= sizeof address.sun_path) {
        return -1;
    }
    std::memcpy(address.sun_path, socket_path.c_str(), socket_path.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    const std::string line = command + "\n";
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
        ::close(fd);
        return -1;
    }
    return fd;
}

int usage() {
    std::cerr << "usage: kestrune-sim-pty-device DEVICE_FILE FOLDER "
                 "[UNPLUG_AT_BLOCK MONITOR_SOCKET]\n";
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace kestrune;
    if (argc != 3 && argc != 5) {
        return usage();
    }
    const std::string folder = argv[2];
    std::optional<std::uint32_t> unplug_at_block;
    std::string monitor;
    if (argc == 5) {
        unplug_at_block = static_cast<std::uint32_t>(std::strtoul(argv[3], nullptr, 10));
        monitor = argv[4];
    }

    std::ifstream config_file(argv[1]);
    std::stringstream config_text;
    config_text << config_file.rdbuf();
    std::string error;
    const auto config = sim::parse_device_config(config_text.str(), error);
    if (!config_file || !config) {
        std::cerr << "kestrune-sim-pty-device: " << argv[1] << ": "
                  << (config ? "cannot be read" : error) << "\n";
        return 2;
    }

    int master = -1;
    int slave = -1;
    if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
        std::perror("kestrune-sim-pty-device: openpty");
        return 2;
    }
    // The slave stays open here too: the master would report a hang-up
    // whenever the emulator has it closed.
    termios raw{};
    ::tcgetattr(slave, &raw);
    ::cfmakeraw(&raw);
    ::tcsetattr(slave, TCSANOW, &raw);

    struct sigaction action {};
    action.sa_handler = request_stop;
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);

    sim::Device device(*config);
    testing::PtyDevice served(master, device);
    if (!publish(folder + "/pty", std::string(::ttyname(slave)) + "\n")) {
        std::cerr << "kestrune-sim-pty-device: cannot write to " << folder << "\n";
        return 2;
    }

    std::vector<std::uint32_t> speeds;
    std::optional<std::uint32_t> unplugged_at;
    int monitor_connection = -1;
    while (stop_requested == 0) {
        served.serve_once();
        if (served.baud() != 0 && (speeds.empty() || speeds.back() != served.baud())) {
            speeds.push_back(served.baud());
        }
        if (unplug_at_block && !unplugged_at && device.blocks_received() >= *unplug_at_block) {
            unplugged_at = device.blocks_received();
            monitor_connection = send_to_monitor(monitor, "device_del converter");
            if (monitor_connection < 0) {
                std::cerr << "kestrune-sim-pty-device: no monitor at " << monitor << "\n";
            }
        }
    }

    std::ostringstream report;
    report << "blocks_received " << device.blocks_received() << "\n"
           << "blocks_written " << device.blocks_written() << "\n"
           << "blocks_refused " << device.blocks_refused() << "\n"
           << "lost " << served.lost() << "\n"
           << "speeds";
    for (const std::uint32_t speed : speeds) {
        report << " " << speed;
    }
    report << "\n";
    if (unplugged_at) {
        report << "unplugged_at_block " << *unplugged_at << "\n";
    }
    const auto flash = device.flash();
    const bool written = write_file(folder + "/flash.bin", flash.data(), flash.size()) &&
                         publish(folder + "/device.txt", report.str());
    if (monitor_connection >= 0) {
        ::close(monitor_connection);
    }
    ::close(slave);
    ::close(master);
    return written ? 0 : 2;
}
