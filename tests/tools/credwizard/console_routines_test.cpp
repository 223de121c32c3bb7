// Console input routines run in a child process whose standard input is either a
// pipe (scripted input) or a pseudo-terminal (typed input), so that hidden entry,
// erasing and the restoring of the terminal mode are exercised for real.

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <iostream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "common/console_input.h"
#include "common/console_routines.h"

namespace {

struct ChildOutcome {
    std::string result;  // "value:<answer>" or "exception:<what>"
    std::string output;  // everything the routine printed
    int status = -1;     // exit status, or -signal
};

void WriteAll(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n > 0) done += static_cast<size_t>(n);
        else if (n < 0 && errno != EINTR) return;
    }
}

std::string ReadAvailable(int fd, int timeout_ms) {
    std::string out;
    pollfd p{fd, POLLIN, 0};
    while (poll(&p, 1, timeout_ms) > 0) {
        char buf[4096];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) break;
        out.append(buf, static_cast<size_t>(n));
        timeout_ms = 50;
    }
    return out;
}

// Runs `body` in a child and reports its answer through a pipe.
[[noreturn]] void RunBody(const std::function<std::string()>& body, int result_fd) {
    std::string result;
    try {
        result = "value:" + body();
    } catch (const std::exception& e) {
        result = std::string("exception:") + e.what();
    }
    std::cout << std::flush;
    std::fflush(stdout);
    WriteAll(result_fd, result);
    _exit(0);
}

ChildOutcome Collect(pid_t pid, int result_fd, std::string output) {
    ChildOutcome outcome;
    outcome.output = std::move(output);
    int status = 0;
    waitpid(pid, &status, 0);
    outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    outcome.result = ReadAvailable(result_fd, 1000);
    close(result_fd);
    return outcome;
}

// Standard input is a pipe holding `input`, closed after it.
ChildOutcome RunWithPipe(const std::function<std::string()>& body, const std::string& input) {
    int in[2], out[2], res[2];
    EXPECT_EQ(pipe(in), 0);
    EXPECT_EQ(pipe(out), 0);
    EXPECT_EQ(pipe(res), 0);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        close(in[1]);
        close(out[0]);
        close(res[0]);
        RunBody(body, res[1]);
    }
    close(in[0]);
    close(out[1]);
    close(res[1]);
    WriteAll(in[1], input);
    close(in[1]);
    std::string output;
    for (;;) {
        char buf[4096];
        ssize_t n = read(out[0], buf, sizeof buf);
        if (n <= 0) break;
        output.append(buf, static_cast<size_t>(n));
    }
    close(out[0]);
    return Collect(pid, res[0], output);
}

// A child whose standard input and output are the slave side of a terminal.
class TerminalChild {
public:
    explicit TerminalChild(const std::function<std::string()>& body) {
        EXPECT_EQ(openpty(&master_, &slave_, nullptr, nullptr, nullptr), 0);
        EXPECT_EQ(pipe(res_), 0);
        pid_ = fork();
        if (pid_ == 0) {
            // A process group of its own with the test as parent outside it:
            // not orphaned, so a stop signal does stop it.
            setpgid(0, 0);
            close(master_);
            close(res_[0]);
            dup2(slave_, STDIN_FILENO);
            dup2(slave_, STDOUT_FILENO);
            RunBody(body, res_[1]);
        }
        close(res_[1]);
    }
    ~TerminalChild() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        close(master_);
        close(slave_);
    }

    // Waits until the child printed `marker`.
    bool WaitFor(const std::string& marker) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (output_.find(marker) == std::string::npos) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            output_ += ReadAvailable(master_, 100);
        }
        return true;
    }
    // Waits until the terminal has echo turned off (the secret prompt is active).
    bool WaitForQuietMode() {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (EchoOn()) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return true;
    }
    void Type(const std::string& bytes) { WriteAll(master_, bytes); }
    void Signal(int sig) { kill(pid_, sig); }
    // Waits until the child has stopped (or ended); true when it stopped.
    bool WaitStopped() {
        int status = 0;
        return waitpid(pid_, &status, WUNTRACED) == pid_ && WIFSTOPPED(status);
    }
    ChildOutcome Finish() {
        pid_t pid = pid_;
        pid_ = -1;
        // Drain while waiting so the child never blocks on a full terminal.
        int status = 0;
        while (waitpid(pid, &status, WNOHANG) == 0) output_ += ReadAvailable(master_, 50);
        output_ += ReadAvailable(master_, 50);
        ChildOutcome outcome;
        outcome.output = output_;
        outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
        outcome.result = ReadAvailable(res_[0], 1000);
        close(res_[0]);
        return outcome;
    }
    bool EchoOn() const {
        termios t{};
        tcgetattr(slave_, &t);
        return (t.c_lflag & ECHO) != 0 && (t.c_lflag & ICANON) != 0;
    }

private:
    int master_ = -1;
    int slave_ = -1;
    int res_[2] = {-1, -1};
    pid_t pid_ = -1;
    std::string output_;
};

const std::string kYellowPrompt = "\33[33menter password:\33[0m\n";

TEST(SecretEntry, TypedSecretIsHiddenAndErasedWithEitherBackspaceByte) {
    TerminalChild child([] { return common_routines::GetSecret("enter password:"); });
    ASSERT_TRUE(child.WaitFor("enter password:"));
    ASSERT_TRUE(child.WaitForQuietMode());
    // DEL (127) is what most terminals send for Backspace; BS (8) erases too, and
    // erasing with nothing typed does nothing.
    child.Type(std::string("\b") + "ab\x7f" + "cd\b" + "e\n");
    ChildOutcome outcome = child.Finish();
    EXPECT_EQ(outcome.result, "value:ace");
    // The terminal turns each line feed into CR LF on output.
    EXPECT_EQ(outcome.output, "\33[33menter password:\33[0m\r\n**\b \b**\b \b*\r\n");
    EXPECT_TRUE(child.EchoOn());
}

TEST(SecretEntry, TerminalModeIsRestoredWhenInterrupted) {
    TerminalChild child([] { return common_routines::GetSecret("enter password:"); });
    ASSERT_TRUE(child.WaitFor("enter password:"));
    ASSERT_TRUE(child.WaitForQuietMode());
    child.Type("abc");
    ASSERT_TRUE(child.WaitFor("***"));
    child.Signal(SIGINT);
    ChildOutcome outcome = child.Finish();
    EXPECT_EQ(outcome.status, -SIGINT);
    EXPECT_TRUE(child.EchoOn());
}

// Ctrl+Z at a secret prompt hands the terminal back with echo; after "fg" the
// rest of the secret is hidden again, whatever mode the shell left behind.
TEST(SecretEntry, StoppedEntryRestoresEchoAndHidesAgainWhenContinued) {
    for (auto body : {+[] { return common_routines::GetSecret("enter password:"); },
                      +[] { return console_routines::GetSecret("enter password:"); }}) {
        TerminalChild child(body);
        ASSERT_TRUE(child.WaitFor("enter password:"));
        ASSERT_TRUE(child.WaitForQuietMode());
        child.Type("ab");
        ASSERT_TRUE(child.WaitFor("**"));
        child.Signal(SIGTSTP);
        ASSERT_TRUE(child.WaitStopped());
        EXPECT_TRUE(child.EchoOn());
        child.Signal(SIGCONT);
        ASSERT_TRUE(child.WaitForQuietMode());
        child.Type("cd\n");
        ChildOutcome outcome = child.Finish();
        EXPECT_EQ(outcome.result, "value:abcd");
        EXPECT_EQ(outcome.output, kYellowPrompt.substr(0, kYellowPrompt.size() - 1) + "\r\n****\r\n");
        EXPECT_TRUE(child.EchoOn());
    }
}

TEST(SecretEntry, EndOfFileKeyAtEmptySecretEndsTheInput) {
    TerminalChild child([] { return console_routines::GetSecret("enter password:"); });
    ASSERT_TRUE(child.WaitFor("enter password:"));
    ASSERT_TRUE(child.WaitForQuietMode());
    child.Type("\x04");
    ChildOutcome outcome = child.Finish();
    EXPECT_EQ(outcome.result, "exception:end of input");
    EXPECT_TRUE(child.EchoOn());
}

TEST(SecretEntry, ScriptedInput) {
    auto common = [] { return common_routines::GetSecret("enter password:"); };
    auto console = [] { return console_routines::GetSecret("enter password:"); };
    for (const auto& body : {std::function<std::string()>(common), std::function<std::string()>(console)}) {
        ChildOutcome two = RunWithPipe(body, "s3cret\nnext\n");
        EXPECT_EQ(two.result, "value:s3cret");
        EXPECT_EQ(two.output, kYellowPrompt + "******\n");
        // Secrets keep blanks; an empty line is an empty secret.
        EXPECT_EQ(RunWithPipe(body, " a b \n").result, "value: a b ");
        EXPECT_EQ(RunWithPipe(body, "\n").result, "value:");
        // Input that closes before the line end never yields a secret.
        EXPECT_EQ(RunWithPipe(body, "abc").result, "exception:end of input");
        EXPECT_EQ(RunWithPipe(body, "").result, "exception:end of input");
    }
}

TEST(SecretEntry, ConsoleSecretLeavesFollowingLinesForReadline) {
    ChildOutcome outcome = RunWithPipe(
        [] {
            std::string secret = console_routines::GetSecret("Enter password:");
            return secret + "|" + console_routines::GetLine("next:");
        },
        "pw\n  after  \n");
    EXPECT_EQ(outcome.result, "value:pw|after");
}

TEST(YesNoQuestion, AnswersAndRetries) {
    const std::string question = "\33[33mDo it? (yes/no)?: \33[0m\n";
    const std::string retry = "\33[33mPlease type 'yes' or 'no': \33[0m\n";
    auto common = [] { return std::string(common_routines::YesNo("Do it?") ? "yes" : "no"); };
    auto console = [] { return std::string(console_routines::YesNo("Do it?") ? "yes" : "no"); };

    for (const char* yes : {"y\n", "Yes\n", "YES\n"}) EXPECT_EQ(RunWithPipe(common, yes).result, "value:yes");
    for (const char* no : {"n\n", "No\n"}) EXPECT_EQ(RunWithPipe(common, no).result, "value:no");

    ChildOutcome refused = RunWithPipe(common, " yes\nmaybe\nno\n");
    EXPECT_EQ(refused.result, "value:no");
    EXPECT_EQ(refused.output, question + retry + retry);

    // The readline variant trims the answer.
    EXPECT_EQ(RunWithPipe(console, " yes \n").result, "value:yes");

    EXPECT_EQ(RunWithPipe(common, "maybe\n").result, "exception:end of input");
    EXPECT_EQ(RunWithPipe(common, "yes").result, "exception:end of input");
    EXPECT_EQ(RunWithPipe(console, "maybe\n").result, "exception:readline returned NULL");
}

TEST(LineEntry, PromptAndEndOfInput) {
    ChildOutcome common = RunWithPipe([] { return common_routines::GetLine("Name:"); }, "  raw \n");
    EXPECT_EQ(common.result, "value:  raw ");
    EXPECT_EQ(common.output, "\33[33mName:\33[0m\n");

    ChildOutcome console = RunWithPipe([] { return console_routines::GetLine("Name:"); }, "\t trimmed \r\n");
    EXPECT_EQ(console.result, "value:trimmed");
    EXPECT_EQ(console.output.rfind("\33[33mName:\33[0m\n", 0), 0u);

    EXPECT_EQ(RunWithPipe([] { return console_routines::GetLine(""); }, "").result,
              "exception:readline returned NULL");
    // A line that the input ends in the middle of is no answer either.
    EXPECT_EQ(RunWithPipe([] { return console_routines::GetLine(""); }, "no").result,
              "exception:readline returned NULL");
    EXPECT_EQ(RunWithPipe([] { return console_routines::GetLine("") + "|" + console_routines::GetLine(""); },
                          "first\nsecond")
                  .result,
              "exception:readline returned NULL");
}

TEST(Menu, ChoosesOnlyListedNumbers) {
    const console_routines::Menu menu = {{2, "second"}, {1, "first"}};
    auto choose = [&menu] { return std::to_string(console_routines::ChooseOption("Pick:", menu)); };
    const std::string shown = "\33[33mPick:\33[0m\n1. first\n2. second\n";

    EXPECT_EQ(RunWithPipe(choose, "2abc\n").result, "value:2");

    ChildOutcome retried = RunWithPipe(choose, "\n0\n3\nabc\n99999999999\n1\n");
    EXPECT_EQ(retried.result, "value:1");
    for (const char* message : {"Line is empty", "Option is out of range", "Line is not a number"}) {
        EXPECT_NE(retried.output.find(std::string("\33[31m") + message + "\33[0m\n"), std::string::npos)
            << message;
    }
    // Out of range twice (0 and 3), not a number twice (abc and the 11-digit value).
    size_t count = 0;
    for (size_t pos = 0; (pos = retried.output.find("Option is out of range", pos)) != std::string::npos; ++pos)
        ++count;
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(retried.output.rfind(shown, 0), 0u);

    EXPECT_EQ(RunWithPipe(choose, "7\n").result, "exception:readline returned NULL");
}

TEST(Menu, CredentialLabels) {
    EXPECT_STREQ(console_routines::FirstCredToStr(1), "login");
    EXPECT_STREQ(console_routines::FirstCredToStr(2), "role ID");
    EXPECT_STREQ(console_routines::SecondCredToStr(1), "password");
    EXPECT_STREQ(console_routines::SecondCredToStr(2), "secret ID");
    EXPECT_STREQ(console_routines::FirstCredToStr(-1), "unknown");
    EXPECT_STREQ(console_routines::SecondCredToStr(3), "unknown");
}

}  // namespace
