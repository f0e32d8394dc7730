// The simulated device behind the converter driver library's interface: test
// equipment for running the real Windows program end to end (under wine or on
// Windows) with no device attached.
//
// Built as FTD2XX.DLL; its operations are exported by ordinal only (see the
// .def files), with the driver's argument lists, and run on the real clock.
//
// Files, all in the folder that is current when the library is loaded:
//   sim-device.txt  read at the first open: the device's settings and fault
//                   plan in the simulated device's text form. Without it the
//                   device has its default settings; with a bad line every
//                   open fails and the record says why.
//   sim-calls.txt   the record, written as things happen, one line each:
//                   "attach" when loaded, then every driver call in the
//                   simulated driver's form ("open(0)", "set_baud_rate(115200)",
//                   "read(6)", "write(512)" ...), "ordinal_19(V,W)" for that
//                   call, "config error: ..." and finally "detach" when the
//                   library is let go.
//   sim-flash.bin   the simulated flash, whole, written at every close and
//                   when the library is let go.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "link/driver.hpp"
#include "sim/dll/bench.hpp"

namespace {

using kestrune::DeviceHandle;
using kestrune::Driver;
using kestrune::LinkStatus;
using kestrune::sim::dll::BENCH_BAD_PARAMETER;
using kestrune::sim::dll::BENCH_NO_DEVICE;

constexpr const wchar_t* CONFIG_FILE = L"sim-device.txt";
constexpr const wchar_t* RECORD_FILE = L"sim-calls.txt";
constexpr const wchar_t* FLASH_FILE = L"sim-flash.bin";
// Far above any sensible device description.
constexpr DWORD CONFIG_LIMIT = 64 * 1024;

// The folder that was current when the library was loaded.
std::wstring folder;

std::wstring path_of(const wchar_t* name) {
    return folder + L"\\" + name;
}

// Writes the bytes to the file, replacing it or adding to its end. Plain
// Win32 file calls: this also runs while the process ends.
void put_file(const wchar_t* name, const void* bytes, std::size_t count, bool append) {
    HANDLE file = CreateFileW(path_of(name).c_str(), append ? FILE_APPEND_DATA : GENERIC_WRITE,
                              FILE_SHARE_READ, nullptr, append ? OPEN_ALWAYS : CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return;
    }
    const auto* next = static_cast<const char*>(bytes);
    while (count > 0) {
        constexpr std::size_t MAX_CHUNK = 1 << 24;
        const auto chunk = static_cast<DWORD>(count < MAX_CHUNK ? count : MAX_CHUNK);
        DWORD written = 0;
        if (!WriteFile(file, next, chunk, &written, nullptr) || written == 0) {
            break;
        }
        next += written;
        count -= written;
    }
    CloseHandle(file);
}

void record_line(std::string_view line) {
    std::string text(line);
    text += "\r\n";
    put_file(RECORD_FILE, text.data(), text.size(), true);
}

void save_flash(const std::uint8_t* bytes, std::size_t count) {
    put_file(FLASH_FILE, bytes, count, false);
}

std::optional<std::string> read_config() {
    HANDLE file = CreateFileW(path_of(CONFIG_FILE).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return std::nullopt;
    }
    std::string text(CONFIG_LIMIT, '\0');
    DWORD size = 0;
    if (!ReadFile(file, text.data(), CONFIG_LIMIT, &size, nullptr)) {
        size = 0;
    }
    CloseHandle(file);
    text.resize(size);
    return text;
}

// Runs one driver call on the simulated device and records it; without a
// device the call fails as if none were attached.
template <typename Call>
LinkStatus on_bench(Call call) {
    Driver* driver = kestrune::sim::dll::bench_driver();
    if (driver == nullptr) {
        return BENCH_NO_DEVICE;
    }
    const LinkStatus status = call(*driver);
    kestrune::sim::dll::record_new_calls();
    return status;
}

}  // namespace

extern "C" {

std::uint32_t WINAPI sim_open(std::uint32_t device_index, void** handle) {
    if (handle == nullptr) {
        return BENCH_BAD_PARAMETER;
    }
    return on_bench([&](Driver& driver) {
        DeviceHandle opened = nullptr;
        const LinkStatus status = driver.open(device_index, opened);
        if (status == kestrune::LINK_OK) {
            *handle = opened;
        }
        return status;
    });
}

std::uint32_t WINAPI sim_close(void* handle) {
    const LinkStatus status = on_bench([&](Driver& driver) { return driver.close(handle); });
    kestrune::sim::dll::save_bench_flash();
    return status;
}

std::uint32_t WINAPI sim_read(void* handle, void* buffer, std::uint32_t wanted,
                              std::uint32_t* received) {
    if (buffer == nullptr || received == nullptr) {
        return BENCH_BAD_PARAMETER;
    }
    *received = 0;
    return on_bench([&](Driver& driver) {
        return driver.read(handle, static_cast<std::uint8_t*>(buffer), wanted, *received);
    });
}

std::uint32_t WINAPI sim_write(void* handle, const void* buffer, std::uint32_t count,
                               std::uint32_t* written) {
    if (buffer == nullptr || written == nullptr) {
        return BENCH_BAD_PARAMETER;
    }
    *written = 0;
    return on_bench([&](Driver& driver) {
        return driver.write(handle, static_cast<const std::uint8_t*>(buffer), count, *written);
    });
}

std::uint32_t WINAPI sim_reset(void* handle) {
    return on_bench([&](Driver& driver) { return driver.reset(handle); });
}

std::uint32_t WINAPI sim_set_baud_rate(void* handle, std::uint32_t baud) {
    return on_bench([&](Driver& driver) { return driver.set_baud_rate(handle, baud); });
}

std::uint32_t WINAPI sim_set_data_characteristics(void* handle, std::uint8_t word_length,
                                                  std::uint8_t stop_bits, std::uint8_t parity) {
    return on_bench([&](Driver& driver) {
        return driver.set_data_characteristics(handle, word_length, stop_bits, parity);
    });
}

std::uint32_t WINAPI sim_set_flow_control(void* handle, std::uint16_t mode, std::uint8_t xon,
                                          std::uint8_t xoff) {
    return on_bench(
        [&](Driver& driver) { return driver.set_flow_control(handle, mode, xon, xoff); });
}

std::uint32_t WINAPI sim_set_special_characters(void* handle, std::uint8_t event_char,
                                                std::uint8_t event_enable, std::uint8_t error_char,
                                                std::uint8_t error_enable) {
    return on_bench([&](Driver& driver) {
        return driver.set_special_characters(handle, event_char, event_enable, error_char,
                                             error_enable);
    });
}

std::uint32_t WINAPI sim_purge(void* handle, std::uint32_t mask) {
    return on_bench([&](Driver& driver) { return driver.purge(handle, mask); });
}

std::uint32_t WINAPI sim_set_timeouts(void* handle, std::uint32_t read_timeout_ms,
                                      std::uint32_t write_timeout_ms) {
    return on_bench([&](Driver& driver) {
        return driver.set_timeouts(handle, read_timeout_ms, write_timeout_ms);
    });
}

// The driver has this operation; the device ignores it. Recorded, so that a
// test sees whether anything calls it.
std::uint32_t WINAPI sim_ordinal_19(void* /*handle*/, std::uint32_t value, std::uint32_t extra) {
    record_line("ordinal_19(" + std::to_string(value) + "," + std::to_string(extra) + ")");
    return kestrune::LINK_OK;
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID /*reserved*/) {
    if (reason == DLL_PROCESS_ATTACH) {
        DisableThreadLibraryCalls(instance);
        const DWORD length = GetCurrentDirectoryW(0, nullptr);
        folder.assign(length, L'\0');
        folder.resize(GetCurrentDirectoryW(length, folder.data()));
        if (!folder.empty() && folder.back() == L'\\') {
            folder.pop_back();
        }
        kestrune::sim::dll::BenchFiles files;
        files.read_config = read_config;
        files.record = record_line;
        files.save_flash = save_flash;
        kestrune::sim::dll::connect_bench(files);
        put_file(RECORD_FILE, "", 0, false);
        record_line("attach");
    } else if (reason == DLL_PROCESS_DETACH) {
        kestrune::sim::dll::save_bench_flash();
        record_line("detach");
    }
    return TRUE;
}

}  // extern "C"
