// pwseal from the staged install tree; tokens are decrypted back in this process
// with the same plug-in and the same host key.

#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "credentials/credential_store.h"
#include "encryption_wrapper/encryption_wrapper.h"
#include "test_support.h"

namespace {

using testsupport::RunResult;

const std::string R = "\33[0m";

class Pwseal : public ::testing::Test {
protected:
    testsupport::ScratchDir scratch_;
    std::string prog_ = testsupport::StagedProgram("pwseal");

    testsupport::RunOptions Options(std::vector<std::string> args) const {
        testsupport::RunOptions o;
        o.argv = {prog_};
        o.argv.insert(o.argv.end(), args.begin(), args.end());
        o.unset_env = {"PG_PLUGINS_PATH"};
        o.env = {{"TERM", "dumb"}};
        return o;
    }

    RunResult Run(std::vector<std::string> args, std::optional<std::string> input = std::nullopt) const {
        testsupport::RunOptions o = Options(std::move(args));
        o.stdin_data = std::move(input);
        return testsupport::Run(o);
    }

    std::string Help() const {
        return R + "The '" + prog_ + "' is utility to encrypt the password\n" +
               R + "\nUsage:\n" +
               R + "\t" + prog_ + " enc [OPTION]\n" +
               R + "\nOptions:\n" +
               R + "\t -s, --skip-confirm          manual input without confirmation\n" +
               R + "\t -W, --password <password>   password is entered as an argument\n" +
               R + "\nOther options:\n" +
               R + "\t -V, --version               output version information, then exit\n" +
               R + "\t -h, --help                  show this help, then exit\n" +
               R + "\nReport bugs to <support@dover-or-04.ru>.\n";
    }
};

// The Base64 text of a token ("$enc$" + text + one zero byte), checked for shape.
std::string TokenText(const std::string& out) {
    EXPECT_EQ(out.rfind("$enc$", 0), 0u) << testing::PrintToString(out);
    EXPECT_FALSE(out.empty());
    if (out.size() < 6 || out.back() != '\0') {
        ADD_FAILURE() << "token does not end with one zero byte: " << testing::PrintToString(out);
        return {};
    }
    std::string text = out.substr(5, out.size() - 6);
    EXPECT_EQ(text.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/="),
              std::string::npos)
        << text;
    return text;
}

// Decrypts a token's text with this host's POSTGRESQL key.
std::string Decrypt(const std::string& text) {
    const std::string lib_dir = testsupport::StagePrefix() + "/lib";
    EXPECT_EQ(EncryptionInit(lib_dir.c_str(), "libcipherbox.so", nullptr, nullptr), 0);
    std::vector<uint8_t> key, iv;
    EXPECT_EQ(StoreDeriveKey(POSTGRESQL, key, iv), 0);
    int length = 0;
    EXPECT_EQ(StoreDecryptPassword(text.data(), static_cast<int>(text.size()), nullptr, &length, key.data(),
                                   iv.data()),
              0);
    std::string plain(static_cast<size_t>(length) + 1, '\0');
    EXPECT_EQ(StoreDecryptPassword(text.data(), static_cast<int>(text.size()), plain.data(), &length,
                                   key.data(), iv.data()),
              0);
    return plain.c_str();
}

TEST_F(Pwseal, HelpVersionAndHints) {
    RunResult version = Run({"-V"});
    EXPECT_EQ(version.exit_code, 0);
    EXPECT_EQ(version.out, R + "pwseal (ZurezovEVA VO) 4.6.0 (11.14)\n");

    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"--help"}, {"-h"}, {"enc", "-h"}, {"dec"}, {"enc", "dec"}, {"-x", "enc"}, {"--password"}}) {
        RunResult r = Run(args);
        EXPECT_EQ(r.exit_code, 1) << testing::PrintToString(args);
        EXPECT_EQ(r.out, Help()) << testing::PrintToString(args);
    }

    RunResult hint = Run({"-s"});
    EXPECT_EQ(hint.exit_code, 1);
    EXPECT_EQ(hint.out, R + "The \"" + prog_ + "\" is utility to encrypt the password\n" + R + "Try \"" + prog_ +
                            " --help\" for more information\n");
}

TEST_F(Pwseal, PasswordFromCommandLine) {
    RunResult first = Run({"enc", "-W", "s3cret!"});
    ASSERT_EQ(first.exit_code, 0) << first.out << first.err;
    // No prompt, no confirmation, no line end: just the token and its zero byte.
    std::string text = TokenText(first.out);
    EXPECT_EQ(first.out.find('\n'), std::string::npos);
    EXPECT_EQ(first.err, "");
    // 7 bytes padded to one block, then Base64.
    int block = 0;
    {
        const std::string lib_dir = testsupport::StagePrefix() + "/lib";
        ASSERT_EQ(EncryptionInit(lib_dir.c_str(), "libcipherbox.so", nullptr, nullptr), 0);
        ASSERT_EQ(EncryptionGetBlockSize(&block), 0);
    }
    EXPECT_EQ(text.size(), static_cast<size_t>((block + 2) / 3 * 4));
    EXPECT_EQ(Decrypt(text), "s3cret!");

    // Deterministic on one host.
    EXPECT_EQ(Run({"--password=s3cret!", "enc"}).out, first.out);
    EXPECT_NE(Run({"enc", "-W", "s3cret?"}).out, first.out);

    // A password longer than one block.
    const std::string long_password(3 * block + 1, 'p');
    RunResult longer = Run({"enc", "-W", long_password});
    EXPECT_EQ(Decrypt(TokenText(longer.out)), long_password);
}

TEST_F(Pwseal, TypedPassword) {
    {
        // An empty -W argument asks as if it had not been given.
        testsupport::PtySession pty(Options({"enc", "-W", ""}));
        ASSERT_TRUE(pty.WaitFor("enter password:"));
        pty.Send("hunter3\x7f" "2\n");
        ASSERT_TRUE(pty.WaitFor("enter password:"));
        pty.Send("hunter2\n");
        RunResult r = pty.Wait();
        EXPECT_EQ(r.exit_code, 0) << r.out;
        EXPECT_EQ(r.out.find("hunter"), std::string::npos);
        size_t at = r.out.find("$enc$");
        ASSERT_NE(at, std::string::npos) << r.out;
        EXPECT_EQ(Decrypt(TokenText(r.out.substr(at))), "hunter2");
    }
    {
        testsupport::PtySession pty(Options({"enc", "-s"}));
        ASSERT_TRUE(pty.WaitFor("enter password:"));
        pty.Send("once\n");
        RunResult r = pty.Wait();
        EXPECT_EQ(r.exit_code, 0) << r.out;
        size_t at = r.out.find("$enc$");
        ASSERT_NE(at, std::string::npos) << r.out;
        EXPECT_EQ(Decrypt(TokenText(r.out.substr(at))), "once");
    }
    RunResult mismatch = Run({"enc"}, "one\ntwo\n");
    EXPECT_EQ(mismatch.exit_code, 1);
    EXPECT_EQ(mismatch.out, "\33[33menter password:\33[0m\n***\n\33[33menter password:\33[0m\n***\n" + R +
                                "The passwords entered do not match\n");

    RunResult closed = Run({"enc"}, "one\n");
    EXPECT_EQ(closed.exit_code, 1);
    EXPECT_EQ(closed.out.find("$enc$"), std::string::npos);
    EXPECT_NE(closed.out.find(R + "input closed before the password was entered; nothing was encrypted\n"),
              std::string::npos)
        << closed.out;
}

TEST_F(Pwseal, MissingPluginIsReported) {
    testsupport::RunOptions o = Options({"enc", "-W", "pw"});
    o.env["PG_PLUGINS_PATH"] = scratch_.MakeDir("empty");
    RunResult r = testsupport::Run(o);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out.rfind(R + "Error by password encryption (", 0), 0u) << r.out;
    EXPECT_EQ(r.out.find("$enc$"), std::string::npos);
}

}  // namespace
