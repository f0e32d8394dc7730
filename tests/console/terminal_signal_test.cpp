// The terminal is put back however the program ends or stops. Each case runs
// the console in a child process on a pseudo-terminal and signals it.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <optional>

#include "console/console_posix.hpp"
#include "tests/console/pseudo_terminal.hpp"

namespace kestrune {
namespace {

using testing::PseudoTerminal;
using testing::same_settings;

bool taken_by_console(tcflag_t local_flags) {
    return (local_flags & (ICANON | ECHO)) == 0;
}

// A child process holding a TerminalConsole on the pseudo-terminal, in a
// process group of its own (as a job started by a shell would be).
class ConsoleChild {
  public:
    ConsoleChild(const PseudoTerminal& pty, int ignored_signal = 0) {
        int ready[2];
        if (::pipe(ready) != 0) {
            return;
        }
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(ready[0]);
            ::setpgid(0, 0);
            const rlimit no_core{0, 0};
            ::setrlimit(RLIMIT_CORE, &no_core);
            if (ignored_signal != 0) {
                ::signal(ignored_signal, SIG_IGN);
            }
            TerminalConsole console(pty.terminal(), pty.terminal());
            const char byte = 1;
            if (::write(ready[1], &byte, 1) != 1) {
                ::_exit(2);
            }
            for (;;) {
                ::pause();
            }
        }
        ::close(ready[1]);
        pollfd entry{ready[0], POLLIN, 0};
        char byte = 0;
        started_ =
            ::poll(&entry, 1, testing::PTY_PATIENCE_MS) == 1 && ::read(ready[0], &byte, 1) == 1;
        ::close(ready[0]);
    }
    ~ConsoleChild() {
        if (pid_ > 0 && !ended_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    ConsoleChild(const ConsoleChild&) = delete;
    ConsoleChild& operator=(const ConsoleChild&) = delete;

    bool started() const { return started_; }
    void signal(int signal_number) const { ::kill(pid_, signal_number); }

    // The status of the next change (ended, stopped, continued), if any comes in time.
    std::optional<int> next_change() {
        const auto end =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(testing::PTY_PATIENCE_MS);
        while (std::chrono::steady_clock::now() < end) {
            int status = 0;
            const pid_t changed = ::waitpid(pid_, &status, WNOHANG | WUNTRACED | WCONTINUED);
            if (changed == pid_) {
                ended_ = WIFEXITED(status) || WIFSIGNALED(status);
                return status;
            }
            ::usleep(1000);
        }
        return std::nullopt;
    }

  private:
    pid_t pid_ = -1;
    bool started_ = false;
    bool ended_ = false;
};

TEST(TerminalSignals, AnEndingSignalPutsTheTerminalBackAndStillEndsTheProcess) {
    for (const int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE}) {
        SCOPED_TRACE(::strsignal(signal_number));
        PseudoTerminal pty;
        const termios before = pty.settings();
        ConsoleChild child(pty);
        ASSERT_TRUE(child.started());
        ASSERT_TRUE(taken_by_console(pty.settings().c_lflag));

        child.signal(signal_number);
        const std::optional<int> status = child.next_change();
        ASSERT_TRUE(status.has_value());
        ASSERT_TRUE(WIFSIGNALED(*status));
        EXPECT_EQ(WTERMSIG(*status), signal_number);
        EXPECT_TRUE(same_settings(pty.settings(), before));
    }
}

TEST(TerminalSignals, ASignalTheProgramWasStartedToIgnoreStaysIgnored) {
    PseudoTerminal pty;
    ConsoleChild child(pty, SIGHUP);
    ASSERT_TRUE(child.started());

    child.signal(SIGHUP);
    child.signal(SIGTERM);
    const std::optional<int> status = child.next_change();
    ASSERT_TRUE(status.has_value());
    ASSERT_TRUE(WIFSIGNALED(*status));
    EXPECT_EQ(WTERMSIG(*status), SIGTERM);
}

TEST(TerminalSignals, AStoppedProgramGivesTheTerminalBackAndTakesItAgainWhenContinued) {
    PseudoTerminal pty;
    const termios before = pty.settings();
    ConsoleChild child(pty);
    ASSERT_TRUE(child.started());

    child.signal(SIGTSTP);
    std::optional<int> status = child.next_change();
    ASSERT_TRUE(status.has_value());
    ASSERT_TRUE(WIFSTOPPED(*status));
    EXPECT_TRUE(same_settings(pty.settings(), before));

    child.signal(SIGCONT);
    status = child.next_change();
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFCONTINUED(*status));
    EXPECT_TRUE(pty.settings_become(taken_by_console));

    // And it still ends cleanly afterwards.
    child.signal(SIGTERM);
    status = child.next_change();
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFSIGNALED(*status));
    EXPECT_TRUE(same_settings(pty.settings(), before));
}

}  // namespace
}  // namespace kestrune
