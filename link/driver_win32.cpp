// The converter's driver library, loaded at run time and called by ordinal.
//
// The library is looked for only in the program's own folder and in the system
// folders, never in the current folder (link/library_search.hpp chooses where).
// It is loaded once, at the first open.
// When the library or any operation the program uses is missing, every open
// fails with DRIVER_UNAVAILABLE and nothing else is ever called.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include <cstdint>
#include <string>

#include "link/driver.hpp"
#include "link/library_search.hpp"

namespace kestrune {

namespace {

// What an open reports when there is no library to open with.
constexpr LinkStatus DRIVER_UNAVAILABLE = 2;

constexpr const wchar_t* DRIVER_LIBRARY = L"FTD2XX.DLL";

// The library's operations, as it exports them. Statuses and counts are
// 32-bit unsigned, the handle is an opaque pointer.
using OpenFn = std::uint32_t(WINAPI*)(std::uint32_t device_index, void** handle);
using CloseFn = std::uint32_t(WINAPI*)(void* handle);
using ReadFn = std::uint32_t(WINAPI*)(void* handle, void* buffer, std::uint32_t wanted,
                                      std::uint32_t* received);
using WriteFn = std::uint32_t(WINAPI*)(void* handle, const void* buffer, std::uint32_t count,
                                       std::uint32_t* written);
using ResetFn = std::uint32_t(WINAPI*)(void* handle);
using SetBaudRateFn = std::uint32_t(WINAPI*)(void* handle, std::uint32_t baud);
using SetDataCharacteristicsFn = std::uint32_t(WINAPI*)(void* handle, std::uint8_t word_length,
                                                        std::uint8_t stop_bits,
                                                        std::uint8_t parity);
using SetFlowControlFn = std::uint32_t(WINAPI*)(void* handle, std::uint16_t mode, std::uint8_t xon,
                                                std::uint8_t xoff);
using SetCharsFn = std::uint32_t(WINAPI*)(void* handle, std::uint8_t event_char,
                                          std::uint8_t event_enable, std::uint8_t error_char,
                                          std::uint8_t error_enable);
using PurgeFn = std::uint32_t(WINAPI*)(void* handle, std::uint32_t mask);
using SetTimeoutsFn = std::uint32_t(WINAPI*)(void* handle, std::uint32_t read_timeout_ms,
                                             std::uint32_t write_timeout_ms);

enum Ordinal : WORD {
    ORDINAL_OPEN = 1,
    ORDINAL_CLOSE = 2,
    ORDINAL_READ = 3,
    ORDINAL_WRITE = 4,
    ORDINAL_RESET = 6,
    ORDINAL_SET_BAUD_RATE = 7,
    ORDINAL_SET_DATA_CHARACTERISTICS = 8,
    ORDINAL_SET_FLOW_CONTROL = 9,
    ORDINAL_SET_CHARS = 15,
    ORDINAL_PURGE = 16,
    ORDINAL_SET_TIMEOUTS = 17,
};

struct DriverTable {
    OpenFn open = nullptr;
    CloseFn close = nullptr;
    ReadFn read = nullptr;
    WriteFn write = nullptr;
    ResetFn reset = nullptr;
    SetBaudRateFn set_baud_rate = nullptr;
    SetDataCharacteristicsFn set_data_characteristics = nullptr;
    SetFlowControlFn set_flow_control = nullptr;
    SetCharsFn set_chars = nullptr;
    PurgeFn purge = nullptr;
    SetTimeoutsFn set_timeouts = nullptr;
};

// Looks up one operation by ordinal; false when the library lacks it.
template <typename Fn>
bool find_operation(HMODULE module, Ordinal ordinal, Fn& operation) {
    FARPROC address = GetProcAddress(module, MAKEINTRESOURCEA(ordinal));
    if (address == nullptr) {
        return false;
    }
    // Through a plain function pointer type, so that the compiler accepts the
    // change of signature without complaint.
    operation = reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(address));
    return true;
}

// Windows' own library loader, for load_driver_library.
class SystemLibraryLoader final : public LibraryLoader {
  public:
    SafeLoad load_with_safe_search(const std::wstring& name, LibraryModule& module) override {
        const HMODULE loaded =
            LoadLibraryExW(name.c_str(), nullptr, LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
        module = loaded;
        if (loaded != nullptr) {
            return SafeLoad::loaded;
        }
        // Windows 7 without its update does not know the flag.
        return GetLastError() == ERROR_INVALID_PARAMETER ? SafeLoad::refused : SafeLoad::not_loaded;
    }

    LibraryModule load_full_path(const std::wstring& path) override {
        // What the library needs in turn is looked for in its own folder first.
        return LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    }

    std::wstring program_path() override {
        // Long paths may exceed MAX_PATH: grow until the whole path fits.
        std::wstring path(MAX_PATH, L'\0');
        while (path.size() <= LONGEST_PATH_CHARS) {
            const DWORD length =
                GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
            if (length == 0) {
                return {};
            }
            if (length < path.size()) {
                path.resize(length);
                return path;
            }
            path.resize(path.size() * 2);
        }
        return {};
    }

    std::wstring system_folder() override {
        std::wstring folder(MAX_PATH, L'\0');
        UINT length = GetSystemDirectoryW(folder.data(), static_cast<UINT>(folder.size()));
        if (length >= folder.size()) {
            // Too small: length is the size needed, with the closing zero.
            folder.resize(length);
            length = GetSystemDirectoryW(folder.data(), static_cast<UINT>(folder.size()));
        }
        if (length == 0 || length >= folder.size()) {
            return {};
        }
        folder.resize(length);
        return folder;
    }

  private:
    static constexpr std::size_t LONGEST_PATH_CHARS = 32'768;
};

// Loads the library and fills the table; the table is complete or the result false.
bool load_driver_table(DriverTable& table) {
    SystemLibraryLoader loader;
    const auto module = static_cast<HMODULE>(load_driver_library(loader, DRIVER_LIBRARY));
    if (module == nullptr) {
        return false;
    }
    DriverTable found;
    const bool complete =
        find_operation(module, ORDINAL_OPEN, found.open) &&
        find_operation(module, ORDINAL_CLOSE, found.close) &&
        find_operation(module, ORDINAL_READ, found.read) &&
        find_operation(module, ORDINAL_WRITE, found.write) &&
        find_operation(module, ORDINAL_RESET, found.reset) &&
        find_operation(module, ORDINAL_SET_BAUD_RATE, found.set_baud_rate) &&
        find_operation(module, ORDINAL_SET_DATA_CHARACTERISTICS, found.set_data_characteristics) &&
        find_operation(module, ORDINAL_SET_FLOW_CONTROL, found.set_flow_control) &&
        find_operation(module, ORDINAL_SET_CHARS, found.set_chars) &&
        find_operation(module, ORDINAL_PURGE, found.purge) &&
        find_operation(module, ORDINAL_SET_TIMEOUTS, found.set_timeouts);
    if (!complete) {
        // A library that lacks an operation is not one the program can drive;
        // none of its operations is ever called.
        FreeLibrary(module);
        return false;
    }
    // Kept loaded for the rest of the process.
    table = found;
    return true;
}

class LibraryDriver final : public Driver {
  public:
    LinkStatus open(std::uint32_t device_index, DeviceHandle& handle) override {
        if (!loaded()) {
            return DRIVER_UNAVAILABLE;
        }
        void* opened = nullptr;
        const LinkStatus status = table_.open(device_index, &opened);
        if (status == LINK_OK) {
            handle = opened;
        }
        return status;
    }

    LinkStatus close(DeviceHandle handle) override {
        if (!ready()) {
            return DRIVER_UNAVAILABLE;
        }
        return table_.close(handle);
    }

    LinkStatus read(DeviceHandle handle, std::uint8_t* buffer, std::uint32_t wanted,
                    std::uint32_t& received) override {
        received = 0;
        if (!ready()) {
            return DRIVER_UNAVAILABLE;
        }
        std::uint32_t count = 0;
        const LinkStatus status = table_.read(handle, buffer, wanted, &count);
        // Never trust a count beyond what was asked for.
        received = count <= wanted ? count : wanted;
        return status;
    }

    LinkStatus write(DeviceHandle handle, const std::uint8_t* buffer, std::uint32_t count,
                     std::uint32_t& written) override {
        written = 0;
        if (!ready()) {
            return DRIVER_UNAVAILABLE;
        }
        std::uint32_t done = 0;
        const LinkStatus status = table_.write(handle, buffer, count, &done);
        written = done <= count ? done : count;
        return status;
    }

    LinkStatus reset(DeviceHandle handle) override {
        return ready() ? table_.reset(handle) : DRIVER_UNAVAILABLE;
    }

    LinkStatus set_baud_rate(DeviceHandle handle, std::uint32_t baud) override {
        return ready() ? table_.set_baud_rate(handle, baud) : DRIVER_UNAVAILABLE;
    }

    LinkStatus set_data_characteristics(DeviceHandle handle, std::uint8_t word_length,
                                        std::uint8_t stop_bits, std::uint8_t parity) override {
        return ready() ? table_.set_data_characteristics(handle, word_length, stop_bits, parity)
                       : DRIVER_UNAVAILABLE;
    }

    LinkStatus set_flow_control(DeviceHandle handle, std::uint16_t mode, std::uint8_t xon,
                                std::uint8_t xoff) override {
        return ready() ? table_.set_flow_control(handle, mode, xon, xoff) : DRIVER_UNAVAILABLE;
    }

    LinkStatus set_special_characters(DeviceHandle handle, std::uint8_t event_char,
                                      std::uint8_t event_enable, std::uint8_t error_char,
                                      std::uint8_t error_enable) override {
        return ready()
                   ? table_.set_chars(handle, event_char, event_enable, error_char, error_enable)
                   : DRIVER_UNAVAILABLE;
    }

    LinkStatus purge(DeviceHandle handle, std::uint32_t mask) override {
        return ready() ? table_.purge(handle, mask) : DRIVER_UNAVAILABLE;
    }

    LinkStatus set_timeouts(DeviceHandle handle, std::uint32_t read_timeout_ms,
                            std::uint32_t write_timeout_ms) override {
        return ready() ? table_.set_timeouts(handle, read_timeout_ms, write_timeout_ms)
                       : DRIVER_UNAVAILABLE;
    }

  private:
    // Loads the library on the first call only; later calls give the same answer.
    bool loaded() {
        if (!load_tried_) {
            load_tried_ = true;
            available_ = load_driver_table(table_);
        }
        return available_;
    }

    // The other operations never load the library themselves: they only run
    // after an open has succeeded.
    bool ready() const { return available_; }

    DriverTable table_;
    bool load_tried_ = false;
    bool available_ = false;
};

}  // namespace

Driver& system_driver() {
    static LibraryDriver driver;
    return driver;
}

}  // namespace kestrune
