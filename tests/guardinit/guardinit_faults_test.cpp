// guardinit under hostile conditions: an installation directory whose name the
// shell would run, and the operator ending or stopping the program at the
// password prompt.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>

#include "test_support.h"

namespace {

namespace fs = std::filesystem;

// guardinit and the stand-in server in a bin directory of the given name.
class Installation {
public:
    explicit Installation(const std::string& bin_name)
        : bin_(scratch_.MakeDir(bin_name)), records_(scratch_.MakeDir("records")), data_(scratch_.MakeDir("data")) {
        fs::copy_file(testsupport::StagedProgram("guardinit"), bin_ + "/guardinit");
        fs::copy_file(GUARDINIT_FAKE_POSTGRES, bin_ + "/postgres");
    }
    testsupport::RunOptions Options(std::vector<std::string> argv) const {
        testsupport::RunOptions o;
        o.argv = std::move(argv);
        o.env["FAKE_PG_RECORD_DIR"] = records_;
        o.unset_env = {"PGDATA", "FAKE_PG_VERSION_LINE", "FAKE_PG_EXIT", "FAKE_PG_CLOSE_STDIN",
                       "GUARDINIT_TEST_HOLD_WRITER", "LD_PRELOAD", "PG_COLOR"};
        o.cwd = scratch_.path();
        return o;
    }
    std::string guardinit() const { return bin_ + "/guardinit"; }
    const std::string& data() const { return data_; }
    const std::string& records() const { return records_; }
    std::string In(const std::string& name) const { return scratch_ / name; }

private:
    testsupport::ScratchDir scratch_;
    std::string bin_, records_, data_;
};

// The server program's path reaches the shell as one word: "$(...)" and
// backquotes in the installation directory run nothing, and every stage runs.
TEST(GuardinitFaults, InstallationDirectoryIsOneShellWord) {
    Installation install("bin $(touch dollar) `touch backquote` \"q\" 'a'");
    testsupport::RunOptions o =
        install.Options({"/usr/bin/setsid", "-w", install.guardinit(), "-D", install.data(), "-U", "admin"});
    o.stdin_data = "secret\nsecret\n";
    testsupport::RunResult r = testsupport::Run(o);
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("Protection mechanism is initialized."), std::string::npos) << r.out;
    EXPECT_FALSE(fs::exists(install.In("dollar")));
    EXPECT_FALSE(fs::exists(install.In("backquote")));
    int runs = 0;
    std::ifstream(install.records() + "/runs") >> runs;
    EXPECT_EQ(runs, 11);
}

// Ended by a signal from the keyboard at the password prompt (which has echo
// off), guardinit leaves the terminal echoing again; the shell around it then
// shows the terminal's mode.
TEST(GuardinitFaults, TerminalEchoesAgainAfterASignalAtThePasswordPrompt) {
    for (const std::string key : {"\x03", "\x1c"}) {
        Installation install("bin");
        testsupport::PtySession session(install.Options(
            {"/bin/sh", "-c", "trap : INT QUIT; \"$0\" -D \"$1\" -U admin; echo status $?; stty -a",
             install.guardinit(), install.data()}));
        ASSERT_TRUE(session.WaitFor("Enter new security admin password: ")) << session.transcript();
        session.Send(key);
        testsupport::RunResult r = session.Wait();
        const std::string& text = session.transcript();
        EXPECT_TRUE(std::regex_search(text, std::regex("status 13[01]"))) << text;  // 128 + SIGINT / SIGQUIT
        EXPECT_TRUE(std::regex_search(text, std::regex("[ \n;]echo[ \n;]"))) << testing::PrintToString(key) << text;
        EXPECT_FALSE(std::regex_search(text, std::regex("[ \n;]-echo[ \n;]"))) << testing::PrintToString(key) << text;
    }
}

// Ctrl+Z at the password prompt under a shell with job control, then "fg": the
// prompt's mode (canonical input without echo) is back before the password is
// typed, although the shell put its own mode (echo on) back for the stop.
TEST(GuardinitFaults, PasswordStaysHiddenAfterStopAndContinue) {
    Installation install("bin");
    testsupport::RunOptions o = install.Options({"/bin/bash", "--norc", "--noprofile", "-i"});
    o.env.insert({{"PS1", "$ "}, {"TERM", "dumb"}, {"HISTFILE", "/dev/null"}, {"INPUTRC", "/dev/null"}});
    testsupport::PtySession session(o);
    session.Send("tty\n");
    ASSERT_TRUE(session.WaitFor("/dev/pts/"));
    ASSERT_TRUE(session.WaitFor("\r\n"));
    const std::string& text = session.transcript();
    const std::size_t at = text.rfind("/dev/pts/");
    const int tty = open(text.substr(at, text.find('\r', at) - at).c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(tty, 0);
    // Readline runs without canonical input; only the prompt has it without echo.
    auto prompt_mode = [tty] {
        struct termios t;
        return tcgetattr(tty, &t) == 0 && (t.c_lflag & ICANON) && !(t.c_lflag & ECHO);
    };
    session.Send(install.guardinit() + " -D " + install.data() + " -U admin\n");
    ASSERT_TRUE(session.WaitFor("Enter new security admin password: ")) << session.transcript();
    session.Send("\x1a");
    ASSERT_TRUE(session.WaitFor("Stopped")) << session.transcript();
    ASSERT_TRUE(session.WaitFor("$ "));
    session.Send("fg\n");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!prompt_mode() && std::chrono::steady_clock::now() < deadline) usleep(10000);
    EXPECT_TRUE(prompt_mode()) << "echo left on after fg";
    const std::size_t typed_from = session.transcript().size();
    session.Send("Hidden-Pw-4519\n");
    ASSERT_TRUE(session.WaitFor("Enter it again: ")) << session.transcript();
    EXPECT_EQ(session.transcript().find("Hidden-Pw-4519", typed_from), std::string::npos) << session.transcript();
    session.Send("Hidden-Pw-4519\n");
    EXPECT_TRUE(session.WaitFor("syncing data to disk")) << session.transcript();
    session.Send("exit\n");
    session.Wait();
    close(tty);
    EXPECT_EQ(testsupport::ReadFileOrDie(install.records() + "/run-5.stdin"),
              "ALTER USER \"admin\" WITH PASSWORD E'Hidden-Pw-4519';\n\n");
}

}  // namespace
