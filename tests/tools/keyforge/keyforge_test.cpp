// keyforge from the staged install tree: where it finds the plug-in, what it
// prints and how it exits.

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using testsupport::RunResult;

const std::string kGreen = "\33[32m";
const std::string kRed = "\33[31m";
const std::string kReset = "\33[0m";

class Keyforge : public ::testing::Test {
protected:
    testsupport::ScratchDir scratch_;

    static RunResult Run(const std::string& program, std::vector<std::string> args = {},
                         std::map<std::string, std::string> env = {}, std::vector<testsupport::Bind> binds = {}) {
        testsupport::RunOptions o;
        o.argv = {program};
        o.argv.insert(o.argv.end(), args.begin(), args.end());
        o.env = std::move(env);
        if (o.env.count("PG_PLUGINS_PATH") == 0) {
            o.unset_env = {"PG_PLUGINS_PATH"};
        }
        o.binds = std::move(binds);
        return testsupport::Run(o);
    }

    // A copy of the staged program with its logging library under `root`, in
    // the layout <root>/bin/keyforge and <root>/lib; no plug-in is placed.
    std::string CopyInstall(const std::string& root) const {
        fs::create_directories(root + "/bin");
        fs::create_directories(root + "/lib");
        fs::copy_file(testsupport::StagedProgram("keyforge"), root + "/bin/keyforge");
        fs::copy_file(testsupport::StagePrefix() + "/lib/libclilog.so", root + "/lib/libclilog.so");
        return root + "/bin/keyforge";
    }

    // Base64 text of the key in a success line, or "" when the line is not one.
    static std::string KeyOf(const RunResult& r) {
        static const std::regex line("\33\\[32mKey was generated successfully\\. Key: ([A-Za-z0-9+/=]+)\33\\[0m\n");
        std::smatch m;
        return std::regex_match(r.out, m, line) ? m[1].str() : "";
    }

    static std::string InitFailure(int code, const std::string& message) {
        return kRed + "Could not initialize encryption plugin. Error: " + std::to_string(code) + " (" + message +
               ")" + kReset + "\n";
    }
};

TEST_F(Keyforge, PrintsAFreshAesKeyFromTheInstalledLink) {
    const std::string program = testsupport::StagedProgram("keyforge");
    ASSERT_TRUE(fs::is_symlink(testsupport::StagePrefix() + "/lib/libcipherbox.so"));
    RunResult first = Run(program);
    EXPECT_EQ(first.exit_code, 0) << first.out << first.err;
    EXPECT_EQ(first.err, "");
    const std::string key = KeyOf(first);
    ASSERT_EQ(key.size(), 24u) << testing::PrintToString(first.out);
    EXPECT_EQ(key.substr(22), "==") << "16 bytes";

    // Arguments are ignored; every run draws a new key.
    RunResult second = Run(program, {"--help", "extra"});
    EXPECT_EQ(second.exit_code, 0);
    EXPECT_EQ(KeyOf(second).size(), 24u);
    EXPECT_NE(KeyOf(second), key);
}

TEST_F(Keyforge, RunsFromTheFixedInstallPath) {
    // The staged tree bound over the real prefix: the marker rule then yields
    // /usr/dover-or-04/lib/libcipherbox.so itself.
    RunResult r = Run("/usr/dover-or-04/bin/keyforge", {}, {}, {{testsupport::StagePrefix(), "/usr/dover-or-04"}});
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_EQ(KeyOf(r).size(), 24u) << testing::PrintToString(r.out);
}

TEST_F(Keyforge, PluginsPathOverridesTheInstalledLink) {
    RunResult r = Run(testsupport::StagedProgram("keyforge"), {},
                      {{"PG_PLUGINS_PATH", testsupport::StagePrefix() + "/lib/gost"}});
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_EQ(KeyOf(r).size(), 44u) << "32-byte GOST key: " << testing::PrintToString(r.out);

    const std::string empty = scratch_.MakeDir("empty");
    r = Run(testsupport::StagedProgram("keyforge"), {}, {{"PG_PLUGINS_PATH", empty}});
    EXPECT_EQ(r.out, InitFailure(-18, "shared library is not loaded"));
    EXPECT_EQ(r.exit_code, 256 - 18);
}

TEST_F(Keyforge, MissingPluginIsReportedWithItsCode) {
    const std::string expected = InitFailure(-42, "path to plugins is not found");

    // Installed layout without the plug-in link.
    const std::string prefix = scratch_ / "opt/usr/dover-or-04";
    const std::string program = CopyInstall(prefix);
    RunResult r = Run(program);
    EXPECT_EQ(r.out, expected);
    EXPECT_EQ(r.exit_code, 256 - 42);

    // A regular file where the link belongs is not accepted either.
    fs::copy_file(testsupport::StagePrefix() + "/lib/aes/libcipherbox.so", prefix + "/lib/libcipherbox.so");
    r = Run(program);
    EXPECT_EQ(r.out, expected);
    EXPECT_EQ(r.exit_code, 256 - 42);

    // Replaced by a link it works, with any prefix in front of the marker.
    fs::remove(prefix + "/lib/libcipherbox.so");
    fs::create_symlink(testsupport::StagePrefix() + "/lib/aes/libcipherbox.so", prefix + "/lib/libcipherbox.so");
    r = Run(program);
    EXPECT_EQ(r.exit_code, 0) << r.out;
    EXPECT_EQ(KeyOf(r).size(), 24u);

    // A program outside any .../usr/dover-or-04/bin directory finds nothing.
    const std::string elsewhere = CopyInstall(scratch_ / "elsewhere");
    r = Run(elsewhere);
    EXPECT_EQ(r.out, expected);
    EXPECT_EQ(r.exit_code, 256 - 42);
}

}  // namespace
