// credwizard from the staged install tree, driven through a pseudo-terminal with
// a scratch directory bound over /etc/postgres; the written file is read back in
// this process with the same plug-in and host key.

#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/error_code.h"
#include "credentials/kms_credentials.h"
#include "test_support.h"

namespace {

using testsupport::RunResult;

const std::string R = "\33[0m";
const std::string kRed = "\33[31m";

class Credwizard : public ::testing::Test {
protected:
    testsupport::ScratchDir scratch_;
    std::string etc_ = scratch_.MakeDir("etc");
    std::string prog_ = testsupport::StagedProgram("credwizard");

    std::string FilePath() const { return etc_ + "/enc_connection_settings.cfg"; }

    testsupport::RunOptions Options(std::vector<std::string> args = {}) const {
        testsupport::RunOptions o;
        o.argv = {prog_};
        o.argv.insert(o.argv.end(), args.begin(), args.end());
        o.binds = {{etc_, "/etc/postgres"}};
        o.unset_env = {"PG_PLUGINS_PATH"};
        // With a terminal type that knows bracketed paste, readline announces
        // (ESC [ ? 2004 h) when it has taken over the terminal.
        o.env = {{"TERM", "xterm"}, {"INPUTRC", "/dev/null"}};
        return o;
    }

    std::vector<KmsCredentialsItem> Load(std::string* cluster_id = nullptr) const {
        const std::string lib_dir = testsupport::StagePrefix() + "/lib";
        std::vector<KmsCredentialsItem> items;
        EXPECT_EQ(KmsCredentialsLoad(lib_dir.c_str(), "libcipherbox.so", nullptr, nullptr, KMS, FilePath(), items),
                  0);
        if (cluster_id != nullptr) {
            EXPECT_EQ(KmsCredentialsGetClusterId(lib_dir.c_str(), "libcipherbox.so", nullptr, nullptr, KMS,
                                                 FilePath(), *cluster_id),
                      0);
        }
        return items;
    }
};

// One dialogue: waits for each prompt before answering, as a person would.
class Dialogue {
public:
    explicit Dialogue(const testsupport::RunOptions& options) : pty_(options) {}

    // Waits for `prompt`, then types `answer` and Enter.
    void Answer(const std::string& prompt, const std::string& answer) {
        ASSERT_TRUE(pty_.WaitFor(prompt)) << "no prompt " << prompt << " in:\n" << pty_.transcript();
        pty_.Send(answer + "\n");
    }
    // Waits for an error line (red, reset).
    void ExpectError(const std::string& text) {
        ASSERT_TRUE(pty_.WaitFor(kRed + text + R)) << "no error " << text << " in:\n" << pty_.transcript();
    }
    // Types Ctrl+D at a secret prompt (echo is already off when it appears).
    void EndOfFile(const std::string& prompt) {
        ASSERT_TRUE(pty_.WaitFor(prompt)) << pty_.transcript();
        pty_.SendEof();
    }
    // Types Ctrl+D at a line prompt once readline owns the terminal; before that
    // the terminal itself would take it as end of file and readline never sees it.
    void EndOfFileAtLine(const std::string& prompt) {
        ASSERT_TRUE(pty_.WaitFor(prompt)) << pty_.transcript();
        ASSERT_TRUE(pty_.WaitFor("\33[?2004h")) << pty_.transcript();
        pty_.SendEof();
    }
    RunResult Finish() { return pty_.Wait(); }

private:
    testsupport::PtySession pty_;
};

void EnterEndpoint(Dialogue& d, const std::string& address, const std::string& port, const std::string& type,
                   const std::string& login, const std::string& secret, bool another) {
    const bool approle = type == "2";
    d.Answer("Enter IP address:", address);
    d.Answer("Enter port:", port);
    d.Answer("Choose credentials type:", type);
    d.Answer(approle ? "Enter role ID:" : "Enter login:", login);
    d.Answer(approle ? "Enter secret ID:" : "Enter password:", secret);
    d.Answer(approle ? "Confirm secret ID:" : "Confirm password:", secret);
    d.Answer("Do you want to add another KMS credentials? (yes/no)?: ", another ? "yes" : "no");
}

// The whole help, each line after a colour reset; <prog> is the invocation name.
std::string HelpText(const std::string& prog) {
    static const char* const kLines[] = {
        "Usage: ",
        "\t<prog> <option>...",
        "Options:",
        "\t--help     [-h]     This help",
        "",
        "The '<prog>' utility is used to cipher and save",
        "a set of KMS access credentials in file with destination path",
        "'/etc/postgres/enc_connection_settings.cfg'.",
        "",
        "The utility runs in interactive mode.",
        "Example of running:",
        "\tPress Ctrl+C to exit",
        "\tChoose credentials domain:",
        "\t1. KMS",
        "\t2. POSTGRESQL",
        "\t1",
        "\tEnter PostgreSQL cluster ID:",
        "\t2",
        "\tEnter IP address:",
        "\t192.168.10.21",
        "\tEnter port:",
        "\t8200",
        "\tChoose credentials type:",
        "\t1. Userpass Auth Method",
        "\t2. AppRole Auth Method",
        "\t1",
        "\tEnter login:",
        "\tlogin",
        "\tEnter password:",
        "\t******",
        "\tConfirm password:",
        "\t******",
        "\tDo you want to add another KMS credentials? (yes/no)?:",
        "\tno",
        "\tCredentials for KMS has been set successfully",
        "",
        "The utility uses following prompts queries:",
        "* Choose credentials domain",
        "\tSpecify one of the options:",
        "\t1. KMS - for encrypting KMS access credentials;",
        "\t2. POSTGRESQL - for encrypting configuration parameters of PostgreSQL HA cluster.",
        "* Enter PostgreSQL cluster ID",
        "\tSpecify an identifier of PostgreSQL HA cluster.",
        "* Enter IP address",
        "  Enter port",
        "\tSpecify KMS connection parameters.",
        "* Choose credentials type",
        "\tSpecify one of the options:",
        "\t1. Userpass Auth Method - allows users to authenticate with KMS using a username and password "
        "combination;",
        "\t2. AppRole Auth Method - allows machines or apps to authenticate with KMS-defined roles.",
        "* Enter login/role ID",
        "  Enter password/secret ID",
        "  Confirm password/secret ID",
        "\tSpecify credentials to authenticate with KMS.",
    };
    std::string text;
    for (std::string line : kLines) {
        for (size_t pos; (pos = line.find("<prog>")) != std::string::npos;) line.replace(pos, 6, prog);
        text += R + line + "\n";
    }
    return text;
}

TEST_F(Credwizard, AnyOptionShowsHelp) {
    for (const char* option : {"--help", "-h", "-x", "--bogus", "--he"}) {
        testsupport::RunOptions o = Options({option});
        RunResult r = testsupport::Run(o);
        EXPECT_EQ(r.exit_code, 0) << option;
        // Byte for byte, the descriptions of the two login kinds included.
        EXPECT_EQ(r.out, HelpText(prog_)) << option;
    }
    EXPECT_NE(access(FilePath().c_str(), F_OK), 0);
}

TEST_F(Credwizard, TwoEndpointsAreStoredInOrder) {
    Dialogue d(Options());
    d.Answer("Choose credentials domain:", "1");
    d.Answer("Enter PostgreSQL cluster ID:", "pg-\"main\"-cluster");
    EnterEndpoint(d, "10.0.0.1", "8200", "1", "alice", "pw-alice", true);
    EnterEndpoint(d, "192.168.1.20", "65535", "2", "role-7", "sec-7", false);
    RunResult r = d.Finish();
    EXPECT_EQ(r.exit_code, 0) << r.out;
    EXPECT_NE(r.out.find("\33[36mPress Ctrl+C to exit" + R), std::string::npos);
    EXPECT_NE(r.out.find("\33[32mCredentials for KMS has been set successfully" + R), std::string::npos) << r.out;
    for (const char* secret : {"pw-alice", "sec-7"}) EXPECT_EQ(r.out.find(secret), std::string::npos);

    std::string cluster_id;
    std::vector<KmsCredentialsItem> items = Load(&cluster_id);
    EXPECT_EQ(cluster_id, "pg-\"main\"-cluster");
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0].address, "10.0.0.1");
    EXPECT_EQ(items[0].port, 8200);
    EXPECT_EQ(items[0].type, KMS_CREDENTIALS_USERPASS);
    EXPECT_EQ(items[0].login, "alice");
    EXPECT_EQ(items[0].secret, "pw-alice");
    EXPECT_EQ(items[1].address, "192.168.1.20");
    EXPECT_EQ(items[1].port, 65535);
    EXPECT_EQ(items[1].type, KMS_CREDENTIALS_APPROLE);
    EXPECT_EQ(items[1].login, "role-7");
    EXPECT_EQ(items[1].secret, "sec-7");

    // A later run replaces the whole file.
    Dialogue again(Options());
    again.Answer("Choose credentials domain:", "1");
    again.Answer("Enter PostgreSQL cluster ID:", "c2");
    EnterEndpoint(again, "10.1.1.1", "1", "1", "bob", "pw-bob", false);
    ASSERT_EQ(again.Finish().exit_code, 0);
    items = Load(&cluster_id);
    EXPECT_EQ(cluster_id, "c2");
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].login, "bob");
}

TEST_F(Credwizard, InvalidAnswersAreAskedAgain) {
    Dialogue d(Options());
    d.Answer("Choose credentials domain:", "");
    d.ExpectError("Line is empty");
    d.Answer("Choose credentials domain:", "4");
    d.ExpectError("Option is out of range");
    d.Answer("Choose credentials domain:", "KMS");
    d.ExpectError("Line is not a number");
    d.Answer("Choose credentials domain:", " 1 ");

    d.Answer("Enter PostgreSQL cluster ID:", "");
    d.ExpectError("line is empty");
    d.Answer("Enter PostgreSQL cluster ID:", "'c1'");
    d.ExpectError("line should not contain quotes at the beginning or at the end");
    d.Answer("Enter PostgreSQL cluster ID:", "c1\"");
    d.ExpectError("line should not contain quotes at the beginning or at the end");
    d.Answer("Enter PostgreSQL cluster ID:", "  c1  ");

    d.Answer("Enter IP address:", "");
    d.ExpectError("line is empty");
    d.Answer("Enter IP address:", "10.0.0.256");
    d.ExpectError("IP address has wrong format: 10.0.0.256");
    d.Answer("Enter IP address:", "kms.example");
    d.ExpectError("IP address has wrong format: kms.example");
    d.Answer("Enter IP address:", "10.0.0.9");

    d.Answer("Enter port:", "");
    d.ExpectError("line is empty");
    d.Answer("Enter port:", "0");
    d.ExpectError("Port number is out of range: 0");
    d.Answer("Enter port:", "65536");
    d.ExpectError("Port number is out of range: 65536");
    d.Answer("Enter port:", "abc");
    d.ExpectError("Port has wrong format: abc");
    d.Answer("Enter port:", "8200");

    d.Answer("Choose credentials type:", "3");
    d.ExpectError("Option is out of range");
    d.Answer("Choose credentials type:", "1");
    d.Answer("Enter login:", "");
    d.ExpectError("line is empty");
    d.Answer("Enter login:", "carol");
    d.Answer("Enter password:", "");
    d.ExpectError("line is empty");
    d.Answer("Enter password:", "first");
    d.Answer("Confirm password:", "second");
    d.ExpectError("passwords mismatch");
    // The mend: DEL erases the mistyped character.
    d.Answer("Enter password:", "firsd\x7ft");
    d.Answer("Confirm password:", "first");
    d.Answer("(yes/no)?: ", "perhaps");
    d.Answer("Please type 'yes' or 'no': ", "y");

    d.Answer("Enter IP address:", "10.0.0.10");
    d.Answer("Enter port:", "8201");
    d.Answer("Choose credentials type:", "2");
    d.Answer("Enter role ID:", "role");
    d.Answer("Enter secret ID:", "s1");
    d.Answer("Confirm secret ID:", "s2");
    d.ExpectError("secret IDs mismatch");
    d.Answer("Enter secret ID:", "s1");
    d.Answer("Confirm secret ID:", "s1");
    d.Answer("(yes/no)?: ", "NO");
    RunResult r = d.Finish();
    EXPECT_EQ(r.exit_code, 0) << r.out;

    std::string cluster_id;
    std::vector<KmsCredentialsItem> items = Load(&cluster_id);
    EXPECT_EQ(cluster_id, "c1");
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0].secret, "first");
    EXPECT_EQ(items[1].secret, "s1");
}

TEST_F(Credwizard, EndOfInputWritesNothing) {
    testsupport::WriteFileOrDie(FilePath(), "old contents");
    {
        Dialogue d(Options());
        d.Answer("Choose credentials domain:", "1");
        d.Answer("Enter PostgreSQL cluster ID:", "c1");
        d.EndOfFileAtLine("Enter IP address:");
        RunResult r = d.Finish();
        EXPECT_EQ(r.exit_code, 240);
        EXPECT_NE(r.out.find(kRed + "Exception occurred: readline returned NULL" + R), std::string::npos) << r.out;
    }
    {
        // Ctrl+D at an empty secret prompt ends the dialogue the same way.
        Dialogue d(Options());
        d.Answer("Choose credentials domain:", "1");
        d.Answer("Enter PostgreSQL cluster ID:", "c1");
        d.Answer("Enter IP address:", "10.0.0.1");
        d.Answer("Enter port:", "8200");
        d.Answer("Choose credentials type:", "1");
        d.Answer("Enter login:", "u");
        d.EndOfFile("Enter password:");
        RunResult r = d.Finish();
        EXPECT_EQ(r.exit_code, 240);
        EXPECT_NE(r.out.find(kRed + "Exception occurred: end of input" + R), std::string::npos) << r.out;
    }
    // Words that are not options are ignored; closed input ends the dialogue.
    testsupport::RunOptions o = Options({"words", "only"});
    RunResult piped = testsupport::Run(o);
    EXPECT_EQ(piped.exit_code, 240);
    EXPECT_NE(piped.out.find("Choose credentials domain:"), std::string::npos);
    EXPECT_EQ(testsupport::ReadFileOrDie(FilePath()), "old contents");

    // A last answer that the input ends in the middle of is no answer: readline
    // would hand "no" back as if Enter had been pressed, and the file be written.
    o = Options();
    o.stdin_data = "1\nc1\n10.0.0.1\n8200\n1\nu\np\np\nno";
    RunResult unfinished = testsupport::Run(o);
    EXPECT_EQ(unfinished.exit_code, 240) << unfinished.out;
    EXPECT_NE(unfinished.out.find(kRed + "Exception occurred: readline returned NULL" + R), std::string::npos)
        << unfinished.out;
    EXPECT_EQ(unfinished.out.find("has been set successfully"), std::string::npos);
    EXPECT_EQ(testsupport::ReadFileOrDie(FilePath()), "old contents");
    // The same answers with the line end written save the file.
    o.stdin_data = *o.stdin_data + "\n";
    RunResult finished = testsupport::Run(o);
    EXPECT_EQ(finished.exit_code, 0) << finished.out;
    EXPECT_EQ(Load().size(), 1u);
}

TEST_F(Credwizard, SaveFailureExitsWithItsCode) {
    ASSERT_EQ(chmod(etc_.c_str(), 0555), 0);
    testsupport::RunOptions o = Options();
    o.run_as_uid = 65534;
    o.stdin_data = "1\nc1\n10.0.0.1\n8200\n1\nu\np\np\nno\n";
    RunResult r = testsupport::Run(o);
    chmod(etc_.c_str(), 0755);
    EXPECT_NE(r.exit_code, 0) << r.out;
    size_t at = r.out.find(kRed + "Error: ");
    ASSERT_NE(at, std::string::npos) << r.out;
    // The status is the code whose text is printed.
    const int code = r.exit_code > 127 ? r.exit_code - 256 : r.exit_code;
    EXPECT_NE(r.out.find(kRed + "Error: " + ErrorCodeToStr(code) + R + "\n", at), std::string::npos) << r.out;
    EXPECT_NE(access(FilePath().c_str(), F_OK), 0);

    // A code of the system's own is negative; the status keeps its low 8 bits.
    o = Options();
    o.env["PG_PLUGINS_PATH"] = scratch_.MakeDir("no-plugins");
    o.stdin_data = "1\nc1\n10.0.0.1\n8200\n1\nu\np\np\nno\n";
    RunResult no_plugin = testsupport::Run(o);
    EXPECT_EQ(no_plugin.exit_code, 256 + ERR_LIBRARY_NOT_LOADED) << no_plugin.out;
    EXPECT_NE(no_plugin.out.find(kRed + "Error: shared library is not loaded" + R + "\n"), std::string::npos)
        << no_plugin.out;
    EXPECT_NE(access(FilePath().c_str(), F_OK), 0);
}

}  // namespace
