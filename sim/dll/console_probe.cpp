// Test equipment for the end-to-end runs: lists the key presses waiting in the
// console input, without removing any, one line each:
//   down char=113 vk=81
// so that a test can see which key presses a program left unread when it
// ended. Ends with the line "end"; exit status 2 when there is no console.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include <cstdio>

namespace {

constexpr DWORD MAX_EVENTS = 256;
constexpr int EXIT_NO_CONSOLE = 2;

}  // namespace

int main() {
    HANDLE input =
        CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    DWORD pending = 0;
    if (input == INVALID_HANDLE_VALUE || !GetNumberOfConsoleInputEvents(input, &pending)) {
        std::printf("no console\n");
        return EXIT_NO_CONSOLE;
    }
    static INPUT_RECORD events[MAX_EVENTS];
    DWORD seen = 0;
    if (pending > 0 && !PeekConsoleInputW(input, events, MAX_EVENTS, &seen)) {
        seen = 0;
    }
    for (DWORD i = 0; i < seen; ++i) {
        if (events[i].EventType != KEY_EVENT) {
            continue;
        }
        const KEY_EVENT_RECORD& key = events[i].Event.KeyEvent;
        std::printf("%s char=%u vk=%u\n", key.bKeyDown ? "down" : "up",
                    static_cast<unsigned>(key.uChar.UnicodeChar),
                    static_cast<unsigned>(key.wVirtualKeyCode));
    }
    std::printf("end\n");
    CloseHandle(input);
    return 0;
}
