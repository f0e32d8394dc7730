// Where the converter's driver library is loaded from.
//
// Only from the program's own folder and the system folder, never from the
// current folder: that is where the update file lives, and whatever was
// downloaded beside it. The loader's safe search does exactly that. A Windows
// that does not know the safe search (Windows 7 without its update) refuses
// it; the library is then loaded by full path, first from the program's
// folder, then from the system folder. A bare name is never loaded, since its
// search would take in the current folder.
#pragma once

#include <string>

namespace kestrune {

using LibraryModule = void*;

enum class SafeLoad {
    loaded,
    refused,    // the loader does not know the safe search
    not_loaded  // anything else: not found, or found and unusable
};

// The operations of the system's library loader that the search uses.
class LibraryLoader {
  public:
    virtual ~LibraryLoader() = default;

    // Loads the library named name from the program's folder or the system folders.
    virtual SafeLoad load_with_safe_search(const std::wstring& name, LibraryModule& module) = 0;
    // Loads the library at the full path; nullptr when it cannot.
    virtual LibraryModule load_full_path(const std::wstring& path) = 0;
    // The program file's full path; empty when unknown.
    virtual std::wstring program_path() = 0;
    // The system folder's full path; empty when unknown.
    virtual std::wstring system_folder() = 0;
};

// Loads the library named name as above; nullptr when no try loaded it.
LibraryModule load_driver_library(LibraryLoader& loader, const std::wstring& name);

}  // namespace kestrune
