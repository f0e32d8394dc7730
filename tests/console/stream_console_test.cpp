// The console without a terminal: answers from standard input, for scripts.
#include <gtest/gtest.h>
#include <unistd.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "console/console_posix.hpp"

namespace kestrune {
namespace {

// Standard input and output as pipes; the input is complete and closed.
class Pipes {
  public:
    explicit Pipes(const std::string& input) {
        if (::pipe(input_) != 0 || ::pipe(output_) != 0) {
            throw std::runtime_error("no pipe");
        }
        if (::write(input_[1], input.data(), input.size()) != static_cast<ssize_t>(input.size())) {
            throw std::runtime_error("cannot fill the input pipe");
        }
        ::close(input_[1]);
    }
    ~Pipes() {
        ::close(input_[0]);
        ::close(output_[0]);
        if (output_[1] >= 0) {
            ::close(output_[1]);
        }
    }
    Pipes(const Pipes&) = delete;
    Pipes& operator=(const Pipes&) = delete;

    int input() const { return input_[0]; }
    int output() const { return output_[1]; }
    std::string written() {
        ::close(output_[1]);
        output_[1] = -1;
        std::string text;
        char chunk[256];
        ssize_t got = 0;
        while ((got = ::read(output_[0], chunk, sizeof chunk)) > 0) {
            text.append(chunk, static_cast<std::size_t>(got));
        }
        return text;
    }

  private:
    int input_[2] = {-1, -1};
    int output_[2] = {-1, -1};
};

struct AnswerCase {
    const char* name;
    std::string input;
    std::string answers;  // one read_key each
};

TEST(StreamConsole, AnswersWithYOrNFromStandardInputAndNAtItsEnd) {
    const std::vector<AnswerCase> cases = {
        {"answers in order", "yYnN", "yYnNN"},
        {"other bytes passed over", "x\r\n \x03\x1b[Ay\n", "yN"},
        {"empty input", "", "NN"},
        {"the rest of a word passed over", "yes\n", "yN"},
    };
    for (const AnswerCase& answer : cases) {
        SCOPED_TRACE(answer.name);
        Pipes pipes(answer.input);
        StreamConsole console(pipes.input(), pipes.output());
        std::string got;
        for (std::size_t index = 0; index < answer.answers.size(); ++index) {
            got.push_back(console.read_key());
        }
        EXPECT_EQ(got, answer.answers);
    }
}

TEST(StreamConsole, HasNoKeyboardAndNoCursor) {
    Pipes pipes("y");
    StreamConsole console(pipes.input(), pipes.output());
    EXPECT_FALSE(console.has_keyboard());
    EXPECT_FALSE(console.key_waiting()) << "a byte of input is no key press";

    console.write_text("Load: 0 %");
    console.cursor_to_line_start();
    console.write_text("Load: 1 %\n");
    EXPECT_EQ(pipes.written(), "Load: 0 %Load: 1 %\n");
    EXPECT_EQ(console.read_key(), 'y') << "key_waiting took the input";
}

}  // namespace
}  // namespace kestrune
