#include "link/library_search.hpp"

namespace kestrune {

namespace {

bool is_separator(wchar_t c) {
    return c == L'\\' || c == L'/';
}

// "C:\..." or "\\server\..." (also "\\?\..."): a path that no current folder
// or current drive can change.
bool is_absolute(const std::wstring& path) {
    const bool drive =
        path.size() >= 3 &&
        ((path[0] >= L'A' && path[0] <= L'Z') || (path[0] >= L'a' && path[0] <= L'z')) &&
        path[1] == L':' && is_separator(path[2]);
    const bool network = path.size() >= 3 && is_separator(path[0]) && is_separator(path[1]);
    return drive || network;
}

// The folder part of a file's full path, with its closing separator.
std::wstring folder_of(const std::wstring& path) {
    const std::size_t last = path.find_last_of(L"\\/");
    return last == std::wstring::npos ? std::wstring() : path.substr(0, last + 1);
}

// name inside folder; empty when the folder is not a full path.
std::wstring inside(std::wstring folder, const std::wstring& name) {
    if (!is_absolute(folder)) {
        return {};
    }
    if (!is_separator(folder.back())) {
        folder += L'\\';
    }
    return folder + name;
}

}  // namespace

LibraryModule load_driver_library(LibraryLoader& loader, const std::wstring& name) {
    LibraryModule module = nullptr;
    const SafeLoad safe = loader.load_with_safe_search(name, module);
    if (safe != SafeLoad::refused) {
        return safe == SafeLoad::loaded ? module : nullptr;
    }
    const std::wstring program_copy = inside(folder_of(loader.program_path()), name);
    if (!program_copy.empty()) {
        module = loader.load_full_path(program_copy);
        if (module != nullptr) {
            return module;
        }
    }
    const std::wstring system_copy = inside(loader.system_folder(), name);
    return system_copy.empty() ? nullptr : loader.load_full_path(system_copy);
}

}  // namespace kestrune
