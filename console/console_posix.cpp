// The console on POSIX systems: the controlling terminal, or standard input
// and output when the program has none (scripts, CI).
#include "console/console_posix.hpp"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include "console/console_answer.hpp"

namespace kestrune {

namespace {

constexpr int ESCAPE = 0x1B;
// Results of reading the terminal besides a byte.
constexpr int TIMED_OUT = -1;
constexpr int CLOSED = -2;
constexpr int NO_CHARACTER = -3;
constexpr int WAIT_FOREVER = -1;
// The bytes of one key's escape sequence arrive together; an Esc followed by
// nothing within this time was the Esc key itself.
constexpr int SEQUENCE_GAP_MS = 50;
// No key sends a longer run of parameter bytes; stop consuming there.
constexpr int SEQUENCE_LIMIT = 32;
// A terminal that has gone away answers the question with no.
constexpr char ANSWER_WHEN_GONE = 'N';

// Signals that end the process (the terminal is put back first), and those of
// job control (the terminal is given back while the program is stopped).
constexpr int HANDLED_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, SIGTSTP, SIGCONT};
constexpr int HANDLED_SIGNAL_COUNT = sizeof HANDLED_SIGNALS / sizeof HANDLED_SIGNALS[0];

// The terminal taken by the one living TerminalConsole. Written before the
// signal handlers are installed and only read by them afterwards.
struct TakenTerminal {
    int fd = -1;
    termios original{};
    termios program_mode{};  // no line editing, no echo
    termios key_mode{};      // the same, and Ctrl+C is a character
};
TakenTerminal taken;
volatile sig_atomic_t terminal_is_taken = 0;
volatile sig_atomic_t in_key_mode = 0;
struct sigaction previous_actions[HANDLED_SIGNAL_COUNT];
bool handler_installed[HANDLED_SIGNAL_COUNT] = {};

using Handler = void (*)(int);

// Everything below up to the handlers is safe to call inside a signal handler.
void apply(const termios& mode) {
    ::tcsetattr(taken.fd, TCSANOW, &mode);
}

void give_terminal_back() {
    if (terminal_is_taken != 0) {
        apply(taken.original);
    }
}

// After a stop: our settings again, unless another job has the terminal now.
void take_terminal_again() {
    if (terminal_is_taken == 0) {
        return;
    }
    const pid_t owner = ::tcgetpgrp(taken.fd);
    if (owner != -1 && owner != ::getpgrp()) {
        return;
    }
    apply(in_key_mode != 0 ? taken.key_mode : taken.program_mode);
}

void set_action(int signal_number, Handler handler) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigfillset(&action.sa_mask);
    ::sigaction(signal_number, &action, nullptr);
}

void unblock(int signal_number) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signal_number);
    ::sigprocmask(SIG_UNBLOCK, &set, nullptr);
}

extern "C" void on_ending_signal(int signal_number) {
    const int saved_errno = errno;
    give_terminal_back();
    // Pending until this handler returns; then the default action ends the
    // process with the signal's status.
    set_action(signal_number, SIG_DFL);
    ::raise(signal_number);
    errno = saved_errno;
}

extern "C" void on_stop_signal(int signal_number) {
    const int saved_errno = errno;
    give_terminal_back();
    set_action(signal_number, SIG_DFL);
    ::raise(signal_number);
    unblock(signal_number);  // the process stops here until it is continued
    set_action(signal_number, on_stop_signal);
    take_terminal_again();
    errno = saved_errno;
}

extern "C" void on_continue_signal(int) {
    const int saved_errno = errno;
    take_terminal_again();
    errno = saved_errno;
}

Handler handler_for(int signal_number) {
    if (signal_number == SIGTSTP) {
        return on_stop_signal;
    }
    if (signal_number == SIGCONT) {
        return on_continue_signal;
    }
    return on_ending_signal;
}

// Blocks our signals while the handlers change hands.
class SignalsBlocked {
  public:
    SignalsBlocked() {
        sigset_t set;
        sigemptyset(&set);
        for (const int signal_number : HANDLED_SIGNALS) {
            sigaddset(&set, signal_number);
        }
        ::sigprocmask(SIG_BLOCK, &set, &previous_);
    }
    ~SignalsBlocked() { ::sigprocmask(SIG_SETMASK, &previous_, nullptr); }
    SignalsBlocked(const SignalsBlocked&) = delete;
    SignalsBlocked& operator=(const SignalsBlocked&) = delete;

  private:
    sigset_t previous_;
};

void install_handlers() {
    for (int index = 0; index < HANDLED_SIGNAL_COUNT; ++index) {
        const int signal_number = HANDLED_SIGNALS[index];
        ::sigaction(signal_number, nullptr, &previous_actions[index]);
        // A signal the program was started to ignore (nohup, a background
        // job of a script) stays ignored.
        handler_installed[index] = previous_actions[index].sa_handler != SIG_IGN;
        if (handler_installed[index]) {
            set_action(signal_number, handler_for(signal_number));
        }
    }
}

void remove_handlers() {
    for (int index = 0; index < HANDLED_SIGNAL_COUNT; ++index) {
        if (handler_installed[index]) {
            ::sigaction(HANDLED_SIGNALS[index], &previous_actions[index], nullptr);
            handler_installed[index] = false;
        }
    }
}

// Waits until fd is ready for events; false when it never will be.
bool wait_for(int fd, short events) {
    pollfd entry{fd, events, 0};
    for (;;) {
        const int ready = ::poll(&entry, 1, WAIT_FOREVER);
        if (ready > 0) {
            return true;
        }
        if (ready < 0 && errno != EINTR) {
            return false;
        }
    }
}

int open_terminal() {
    const int fd = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd >= 0 && !is_terminal(fd)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

bool is_terminal(int fd) {
    termios settings{};
    return ::tcgetattr(fd, &settings) == 0;
}

void write_all(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t written = ::write(fd, text.data(), text.size());
        if (written > 0) {
            text.remove_prefix(static_cast<std::size_t>(written));
        } else if (written < 0 && errno == EINTR) {
            continue;
        } else if (written < 0 && errno == EAGAIN && wait_for(fd, POLLOUT)) {
            continue;
        } else {
            return;
        }
    }
}

TerminalConsole::TerminalConsole(int terminal_fd, int output_fd)
    : terminal_fd_(terminal_fd),
      output_fd_(output_fd),
      output_is_terminal_(::isatty(output_fd) == 1) {
    termios original{};
    if (::tcgetattr(terminal_fd, &original) != 0) {
        return;  // not a terminal after all: bytes are read as they come
    }
    taken.fd = terminal_fd;
    taken.original = original;
    taken.program_mode = original;
    taken.program_mode.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | IEXTEN);
    // Ctrl+S and Ctrl+Q are keys like any other, not a stop of the output.
    taken.program_mode.c_iflag &= ~static_cast<tcflag_t>(IXON);
    taken.program_mode.c_cc[VMIN] = 1;
    taken.program_mode.c_cc[VTIME] = 0;
    taken.key_mode = taken.program_mode;
    taken.key_mode.c_lflag &= ~static_cast<tcflag_t>(ISIG);
    in_key_mode = 0;

    const SignalsBlocked blocked;
    install_handlers();
    terminal_is_taken = 1;
    took_terminal_ = true;
    // TCSANOW: keys typed before the start stay queued.
    apply(taken.program_mode);
}

TerminalConsole::~TerminalConsole() {
    if (!took_terminal_) {
        return;
    }
    const SignalsBlocked blocked;
    in_key_mode = 0;
    apply(taken.original);
    terminal_is_taken = 0;
    remove_handlers();
}

void TerminalConsole::write_text(std::string_view text) {
    write_all(output_fd_, text);
}

int TerminalConsole::read_byte(int timeout_ms) {
    for (;;) {
        pollfd entry{terminal_fd_, POLLIN, 0};
        const int ready = ::poll(&entry, 1, timeout_ms);
        if (ready == 0) {
            return TIMED_OUT;
        }
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            return CLOSED;
        }
        unsigned char byte = 0;
        const ssize_t got = ::read(terminal_fd_, &byte, 1);
        if (got == 1) {
            return byte;
        }
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) {
            continue;
        }
        return CLOSED;  // hung up: nothing will be typed here again
    }
}

// The character of the next key press, NO_CHARACTER for a key that produces
// none, or CLOSED.
int TerminalConsole::next_key() {
    int byte = read_byte(WAIT_FOREVER);
    while (byte == ESCAPE) {
        const int next = read_byte(SEQUENCE_GAP_MS);
        if (next == TIMED_OUT) {
            return ESCAPE;  // the Esc key itself
        }
        if (next == '[' || next == 'O') {
            return skip_sequence(next);
        }
        byte = next;  // Alt with a key sends Esc before the key's own byte
    }
    return byte;
}

// Consumes the rest of a cursor or function key's sequence after Esc and its
// introducer ('[' or 'O'): ESC [ A, ESC O P, ESC [ 1 5 ~, ESC [ 1 ; 5 A.
int TerminalConsole::skip_sequence(int introducer) {
    int byte = read_byte(SEQUENCE_GAP_MS);
    if (byte == TIMED_OUT) {
        return introducer;  // Alt+[ or Alt+O
    }
    if (introducer == '[' && byte == '[') {
        byte = read_byte(SEQUENCE_GAP_MS);  // the Linux console's F1 to F5: ESC [ [ A
        return byte == CLOSED ? CLOSED : NO_CHARACTER;
    }
    // Parameter and intermediate bytes, then the final byte.
    for (int count = 0; byte >= 0x20 && byte <= 0x3F && count < SEQUENCE_LIMIT; ++count) {
        byte = read_byte(SEQUENCE_GAP_MS);
    }
    return byte == CLOSED ? CLOSED : NO_CHARACTER;
}

char TerminalConsole::read_key() {
    if (took_terminal_) {
        in_key_mode = 1;
        apply(taken.key_mode);
    }
    int key = NO_CHARACTER;
    while (key == NO_CHARACTER) {
        key = next_key();
    }
    if (took_terminal_) {
        in_key_mode = 0;
        apply(taken.program_mode);
    }
    return key == CLOSED ? ANSWER_WHEN_GONE : static_cast<char>(key);
}

bool TerminalConsole::key_waiting() {
    pollfd entry{terminal_fd_, POLLIN, 0};
    int ready = 0;
    do {
        ready = ::poll(&entry, 1, 0);
    } while (ready < 0 && errno == EINTR);
    // A hang-up shows as an event too: a wait for a key must end then.
    return ready != 0;
}

void TerminalConsole::cursor_to_line_start() {
    if (output_is_terminal_) {
        write_all(output_fd_, "\r");
    }
}

void StreamConsole::write_text(std::string_view text) {
    write_all(output_fd_, text);
}

char StreamConsole::read_key() {
    return read_answer([this] {
        for (;;) {
            unsigned char byte = 0;
            const ssize_t got = ::read(input_fd_, &byte, 1);
            if (got == 1) {
                return int{byte};
            }
            if (got < 0 && (errno == EINTR || (errno == EAGAIN && wait_for(input_fd_, POLLIN)))) {
                continue;
            }
            return END_OF_INPUT;
        }
    });
}

Console& system_console() {
    // Output that nobody reads any more (a pipe into a reader that has quit)
    // must not end an update half way: the write fails, is dropped, and the
    // run goes on to its ending and exit code.
    ::signal(SIGPIPE, SIG_IGN);
    static const int terminal_fd = open_terminal();
    if (terminal_fd >= 0) {
        static TerminalConsole terminal(terminal_fd, STDOUT_FILENO);
        return terminal;
    }
    static StreamConsole stream(STDIN_FILENO, STDOUT_FILENO);
    return stream;
}

}  // namespace kestrune
