// guardinit under hostile conditions: an installation directory whose name the
// shell would run, and the operator ending the program at the password prompt.

#include <gtest/gtest.h>

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

}  // namespace
