#include "link/library_search.hpp"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

namespace kestrune {
namespace {

const std::wstring LIBRARY = L"FTD2XX.DLL";

// A loader on a pretend Windows: records each try, loads what the case offers.
class FakeLoader final : public LibraryLoader {
  public:
    SafeLoad safe_answer = SafeLoad::refused;
    std::wstring program = L"C:\\Tools\\Kestrune\\kestrune-update.exe";
    std::wstring system = L"C:\\Windows\\system32";
    std::set<std::wstring> loadable;  // full paths that load
    std::vector<std::wstring> tries;

    SafeLoad load_with_safe_search(const std::wstring& name, LibraryModule& module) override {
        tries.push_back(L"safe " + name);
        module = safe_answer == SafeLoad::loaded ? this : nullptr;
        return safe_answer;
    }
    LibraryModule load_full_path(const std::wstring& path) override {
        tries.push_back(path);
        return loadable.count(path) != 0 ? this : nullptr;
    }
    std::wstring program_path() override { return program; }
    std::wstring system_folder() override { return system; }
};

TEST(LibrarySearch, TheSafeSearchDecidesWhenTheLoaderKnowsIt) {
    for (const SafeLoad answer : {SafeLoad::loaded, SafeLoad::not_loaded}) {
        FakeLoader loader;
        loader.safe_answer = answer;
        // Present by full path too: a library the safe search did not load
        // must not be taken from anywhere else.
        loader.loadable = {L"C:\\Tools\\Kestrune\\FTD2XX.DLL"};
        const LibraryModule module = load_driver_library(loader, LIBRARY);
        EXPECT_EQ(module, answer == SafeLoad::loaded ? &loader : nullptr);
        EXPECT_EQ(loader.tries, std::vector<std::wstring>{L"safe FTD2XX.DLL"});
    }
}

TEST(LibrarySearch, RefusedSafeSearchTriesTheProgramsFolderThenTheSystemFolder) {
    const std::wstring in_program = L"C:\\Tools\\Kestrune\\FTD2XX.DLL";
    const std::wstring in_system = L"C:\\Windows\\system32\\FTD2XX.DLL";
    struct Case {
        const char* name;
        std::wstring program;
        std::wstring system;
        std::set<std::wstring> loadable;
        std::vector<std::wstring> paths_tried;  // after the safe search
        bool loads;
    };
    const Case cases[] = {
        {"beside the program",
         L"C:\\Tools\\Kestrune\\kestrune-update.exe",
         L"C:\\Windows\\system32",
         {in_program, in_system},
         {in_program},
         true},
        {"in the system folder",
         L"C:\\Tools\\Kestrune\\kestrune-update.exe",
         L"C:\\Windows\\system32",
         {in_system},
         {in_program, in_system},
         true},
        {"nowhere",
         L"C:\\Tools\\Kestrune\\kestrune-update.exe",
         L"C:\\Windows\\system32\\",
         {},
         {in_program, in_system},
         false},
        {"forward slashes",
         L"D:/kestrune-update.exe",
         L"C:\\Windows\\system32",
         {},
         {L"D:/FTD2XX.DLL", in_system},
         false},
        {"network share",
         L"\\\\server\\tools\\kestrune-update.exe",
         L"",
         {},
         {L"\\\\server\\tools\\FTD2XX.DLL"},
         false},
        // Never a bare or relative name: its search would take in the current folder.
        {"folders unknown", L"", L"", {in_program, in_system}, {}, false},
        {"program path without a folder",
         L"kestrune-update.exe",
         L"C:\\Windows\\system32",
         {},
         {in_system},
         false},
        {"relative paths", L"Kestrune\\kestrune-update.exe", L"system32", {}, {}, false},
        {"drive without its root", L"C:kestrune-update.exe", L"C:", {}, {}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeLoader loader;
        loader.program = c.program;
        loader.system = c.system;
        loader.loadable = c.loadable;
        const LibraryModule module = load_driver_library(loader, LIBRARY);
        EXPECT_EQ(module, c.loads ? &loader : nullptr);
        std::vector<std::wstring> expected{L"safe FTD2XX.DLL"};
        expected.insert(expected.end(), c.paths_tried.begin(), c.paths_tried.end());
        EXPECT_EQ(loader.tries, expected);
    }
}

}  // namespace
}  // namespace kestrune
