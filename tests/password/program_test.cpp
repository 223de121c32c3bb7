// Runs the installed pwforge program directly, the way Ansible does, and checks
// the passwords it produces over many runs.

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>
#include <json/reader.h>

#include "test_support.h"

namespace {

// The module is installed where Ansible looks for modules, not in bin/.
std::string ModulePath() { return testsupport::StagePrefix() + "/share/ansible/plugins/modules/pwforge"; }

using testsupport::RunOptions;
using testsupport::RunResult;
using testsupport::ScratchDir;

constexpr std::string_view kDigits = "0123456789";
constexpr std::string_view kUpper = "ABCDEFGHIJKLMNOPQRSTUVWXYZ";
constexpr std::string_view kLower = "abcdefghijklmnopqrstuvwxyz";
constexpr std::string_view kPunct = "#%&()*+,-./:;<=>?@[]^_{|}~";

struct ModuleRun {
    int exit_code = -1;
    Json::Value result;
    std::string raw;
};

Json::Value ParseJson(const std::string& text) {
    Json::Value v;
    std::string errs;
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    if (!reader->parse(text.data(), text.data() + text.size(), &v, &errs)) {
        ADD_FAILURE() << "not JSON: " << text << " (" << errs << ")";
    }
    return v;
}

class PwforgeProgram : public ::testing::Test {
protected:
    // Writes the arguments file as Ansible does and runs the module with its path.
    ModuleRun RunModule(const std::string& arguments, std::map<std::string, std::string> env = {}) {
        std::string path = scratch_ / ("args" + std::to_string(counter_++));
        testsupport::WriteFileOrDie(path, arguments, 0600);
        RunOptions options;
        options.argv = {ModulePath(), path};
        options.env = std::move(env);
        RunResult r = testsupport::Run(options);
        EXPECT_EQ(r.err, "");
        ModuleRun run;
        run.exit_code = r.exit_code;
        run.raw = r.out;
        run.result = ParseJson(r.out);
        return run;
    }

    std::string Password(const std::string& arguments) {
        ModuleRun run = RunModule(arguments);
        EXPECT_EQ(run.exit_code, 0) << run.raw;
        EXPECT_EQ(run.result["original_message"].asString(), "SUCCESS: password was generated")
            << run.raw;
        EXPECT_FALSE(run.result["changed"].asBool());
        return run.result["message"].asString();
    }

    ScratchDir scratch_;
    int counter_ = 0;
};

int CountIn(const std::string& s, std::string_view set) {
    return static_cast<int>(std::count_if(s.begin(), s.end(), [&](char c) {
        return set.find(c) != std::string_view::npos;
    }));
}

bool IsLetter(char c) {
    return kUpper.find(c) != std::string_view::npos || kLower.find(c) != std::string_view::npos;
}

// Runs of at least `length` equal neighbours.
int RunsOfAtLeast(const std::string& s, std::size_t length) {
    int runs = 0;
    std::size_t i = 0;
    while (i < s.size()) {
        std::size_t j = i;
        while (j < s.size() && s[j] == s[i]) ++j;
        if (j - i >= length) ++runs;
        i = j;
    }
    return runs;
}

TEST_F(PwforgeProgram, DefaultPolicyHoldsForEveryPassword) {
    std::set<std::string> seen;
    std::set<std::size_t> lengths;
    for (int i = 0; i < 300; ++i) {
        std::string pw = Password("{}");
        ASSERT_GE(pw.size(), 18u) << pw;
        ASSERT_LE(pw.size(), 28u) << pw;
        lengths.insert(pw.size());
        EXPECT_TRUE(IsLetter(pw.front())) << pw;
        EXPECT_TRUE(IsLetter(pw.back())) << pw;
        EXPECT_GE(CountIn(pw, kDigits), 3) << pw;
        EXPECT_GE(CountIn(pw, kPunct), 3) << pw;
        EXPECT_GE(CountIn(pw, kUpper), 3) << pw;
        EXPECT_GE(CountIn(pw, kLower), 3) << pw;
        EXPECT_GE(CountIn(pw, kUpper) + CountIn(pw, kLower), 9) << pw;
        EXPECT_EQ(CountIn(pw, kDigits) + CountIn(pw, kPunct) + CountIn(pw, kUpper) +
                      CountIn(pw, kLower),
                  static_cast<int>(pw.size()))
            << pw;
        seen.insert(pw);
    }
    EXPECT_EQ(seen.size(), 300u);
    // Every length from 18 to 28 turns up.
    EXPECT_EQ(lengths.size(), 11u);
}

TEST_F(PwforgeProgram, ShortMinimumLengthsActAsSixteen) {
    for (const char* args : {R"({"min_length": 5})", R"({"min_length": -1})",
                             R"({"min_length": "0"})"}) {
        std::size_t shortest = 100, longest = 0;
        for (int i = 0; i < 80; ++i) {
            std::string pw = Password(args);
            shortest = std::min(shortest, pw.size());
            longest = std::max(longest, pw.size());
        }
        EXPECT_GE(shortest, 18u) << args;
        EXPECT_LE(shortest, 20u) << args;
        EXPECT_GE(longest, 26u) << args;
        EXPECT_LE(longest, 28u) << args;
    }
}

TEST_F(PwforgeProgram, OutOfRangeOptionsAreRefusedWithTheirTexts) {
    struct Case {
        const char* args;
        const char* text;
    } cases[] = {
        {R"({"min_length": 1001})", "ERROR: check intput min_length: min = 0, max = 1000"},
        {R"({"min_length": "1001"})", "ERROR: check intput min_length: min = 0, max = 1000"},
        {R"({"alpha_numeric": -1})", "ERROR: check intput alpha_numeric: min = 0, max = 1000"},
        {R"({"min_alpha_chars": 1001})",
         "ERROR: check intput min_alpha_chars: min = 0, max = 1000"},
        {R"({"min_special_chars": -7})",
         "ERROR: check intput min_special_chars: min = 0, max = 1000"},
        {R"({"min_uppercase": 5000})", "ERROR: check intput min_uppercase: min = 0, max = 1000"},
        {R"({"min_lowercase": "-2"})", "ERROR: check intput min_lowercase: min = 0, max = 1000"},
        {R"({"max_rpt_chars": 1001, "min_lowercase": 2000})",
         "ERROR: check intput min_lowercase: min = 0, max = 1000"},
        {R"({"max_rpt_chars": -1})", "ERROR: check intput max_rpt_chars: min = 0, max = 1000"},
    };
    for (const auto& c : cases) {
        ModuleRun run = RunModule(c.args);
        // A refusal is a normal result, not a module failure.
        EXPECT_EQ(run.exit_code, 0) << c.args;
        EXPECT_FALSE(run.result.isMember("failed")) << run.raw;
        EXPECT_FALSE(run.result["changed"].asBool()) << run.raw;
        EXPECT_TRUE(run.result["message"].isNull()) << run.raw;
        EXPECT_EQ(run.result["original_message"].asString(), c.text) << run.raw;
    }
    // The extremes of the range are accepted.
    std::string pw = Password(R"({"min_length": 1000, "max_rpt_chars": 1000})");
    EXPECT_GE(pw.size(), 1002u);
    EXPECT_LE(pw.size(), 1012u);
}

TEST_F(PwforgeProgram, MandatoryCountsAboveTheMinimumGiveTheirSumPlusTwo) {
    const std::string args =
        R"({"alpha_numeric": 10, "min_special_chars": 11, "min_uppercase": 12,)"
        R"( "min_lowercase": 13, "min_alpha_chars": 30, "min_length": "16"})";
    for (int i = 0; i < 40; ++i) {
        std::string pw = Password(args);
        ASSERT_EQ(pw.size(), 10u + 11 + 12 + 13 + 5 + 2) << pw;
        EXPECT_GE(CountIn(pw, kDigits), 10) << pw;
        EXPECT_GE(CountIn(pw, kPunct), 11) << pw;
        EXPECT_GE(CountIn(pw, kUpper), 12) << pw;
        EXPECT_GE(CountIn(pw, kLower), 13) << pw;
        EXPECT_GE(CountIn(pw, kUpper) + CountIn(pw, kLower), 32) << pw;
    }
    // min_alpha_chars not above upper + lower adds nothing.
    std::string pw = Password(
        R"({"alpha_numeric": 20, "min_special_chars": 0, "min_uppercase": 5, "min_lowercase": 5,)"
        R"( "min_alpha_chars": 10})");
    EXPECT_EQ(pw.size(), 32u);
}

TEST_F(PwforgeProgram, RepeatLimitShortensRunsInOnePass) {
    // Long passwords of mostly digits have many runs of equal neighbours.
    const std::string base = R"({"min_length": 1000, "alpha_numeric": 1000, "min_alpha_chars": 0,)"
                             R"( "min_special_chars": 0, "min_uppercase": 0, "min_lowercase": 0,)";
    int pairs_unlimited = 0, triples_unlimited = 0, pairs_one = 0, triples_two = 0;
    for (int i = 0; i < 8; ++i) {
        std::string unlimited = Password(base + R"( "max_rpt_chars": 0})");
        pairs_unlimited += RunsOfAtLeast(unlimited, 2);
        triples_unlimited += RunsOfAtLeast(unlimited, 3);
        pairs_one += RunsOfAtLeast(Password(base + R"( "max_rpt_chars": 1})"), 2);
        triples_two += RunsOfAtLeast(Password(base + R"( "max_rpt_chars": 2})"), 3);
    }
    // About 90 pairs and 9 triples per password are left alone at 0. With a limit,
    // only a replacement that happens to equal its successor leaves a run behind.
    EXPECT_GT(pairs_unlimited, 400);
    EXPECT_GT(triples_unlimited, 20);
    EXPECT_LT(pairs_one * 3, pairs_unlimited);
    EXPECT_LT(triples_two * 5, triples_unlimited);
}

// Chi-square statistic of the counts of each member of `set` in `text`.
double ChiSquare(const std::string& text, std::string_view set, int* missing) {
    std::map<char, long> counts;
    long total = 0;
    for (char c : text) {
        if (set.find(c) != std::string_view::npos) {
            counts[c]++;
            total++;
        }
    }
    *missing = static_cast<int>(set.size() - counts.size());
    const double expected = static_cast<double>(total) / static_cast<double>(set.size());
    double chi = 0;
    for (char c : set) {
        const double d = static_cast<double>(counts[c]) - expected;
        chi += d * d / expected;
    }
    return chi;
}

TEST_F(PwforgeProgram, CharactersOfEachSetAreEquallyLikely) {
    // Each run yields 1000 characters of every set; 100 runs give 100000 per set,
    // enough to see a bias of a few percent on single characters.
    std::string all;
    for (int i = 0; i < 100; ++i) {
        all += Password(
            R"({"min_length": 1000, "alpha_numeric": 1000, "min_special_chars": 1000,)"
            R"( "min_uppercase": 1000, "min_lowercase": 1000, "min_alpha_chars": 0})");
    }
    // Bounds near a one-in-a-billion chance for uniform choice (9 and 25 degrees of
    // freedom), so the check fails only for a real bias.
    struct SetCheck {
        std::string_view set;
        double bound;
    } checks[] = {{kDigits, 64.0}, {kUpper, 95.0}, {kLower, 95.0}, {kPunct, 95.0}};
    for (const auto& check : checks) {
        int missing = 0;
        double chi = ChiSquare(all, check.set, &missing);
        EXPECT_EQ(missing, 0) << check.set;
        EXPECT_LT(chi, check.bound) << check.set;
    }

    // The filler of step 5 draws from all 88 characters at once; without mandatory
    // counts and repeat limit it makes up the whole password between the two
    // framing letters.
    std::string filler;
    for (int i = 0; i < 100; ++i) {
        std::string pw = Password(
            R"({"min_length": 1000, "alpha_numeric": 0, "min_special_chars": 0,)"
            R"( "min_uppercase": 0, "min_lowercase": 0, "min_alpha_chars": 0,)"
            R"( "max_rpt_chars": 0})");
        ASSERT_GE(pw.size(), 1002u);
        filler += pw.substr(1, pw.size() - 2);
    }
    const std::string every_kind =
        std::string(kUpper) + std::string(kLower) + std::string(kDigits) + std::string(kPunct);
    int missing = 0;
    // Near one in a billion for uniform choice with 87 degrees of freedom.
    EXPECT_LT(ChiSquare(filler, every_kind, &missing), 192.0);
    EXPECT_EQ(missing, 0);
}

TEST_F(PwforgeProgram, PasswordsDoNotDependOnTheClock) {
    // With every clock frozen at one instant, runs must still differ.
    std::map<std::string, std::string> env = {
        {"LD_PRELOAD", PWFORGE_TEST_SHIM},
        {"ASAN_OPTIONS", "verify_asan_link_order=0"},
    };
    std::set<std::string> seen;
    for (int i = 0; i < 20; ++i) {
        ModuleRun run = RunModule("{}", env);
        ASSERT_EQ(run.exit_code, 0) << run.raw;
        seen.insert(run.result["message"].asString());
    }
    EXPECT_EQ(seen.size(), 20u);
}

TEST_F(PwforgeProgram, UnavailableRandomSourceFailsTheTask) {
    ModuleRun run = RunModule("{}", {{"LD_PRELOAD", PWFORGE_TEST_SHIM},
                                     {"ASAN_OPTIONS", "verify_asan_link_order=0"},
                                     {"SHIM_FAIL_GETRANDOM", "1"}});
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_TRUE(run.result["failed"].asBool()) << run.raw;
    EXPECT_NE(run.result["msg"].asString().find("getrandom"), std::string::npos) << run.raw;
    EXPECT_EQ(run.result["message"].asString(), "") << run.raw;
}

TEST_F(PwforgeProgram, ArgumentsArriveAsFileTextOrStandardInput) {
    RunResult inline_json = testsupport::Run(
        {ModulePath(), R"({"min_length": 40})"});
    EXPECT_EQ(inline_json.exit_code, 0);
    EXPECT_GE(ParseJson(inline_json.out)["message"].asString().size(), 42u) << inline_json.out;

    RunResult from_stdin =
        testsupport::Run({ModulePath()}, R"({"ANSIBLE_MODULE_ARGS": {}})");
    EXPECT_EQ(from_stdin.exit_code, 0);
    EXPECT_EQ(ParseJson(from_stdin.out)["original_message"].asString(),
              "SUCCESS: password was generated");

    ModuleRun garbage = RunModule("min_length=20");
    EXPECT_EQ(garbage.exit_code, 1);
    EXPECT_TRUE(garbage.result["failed"].asBool());
    EXPECT_EQ(garbage.result["msg"].asString(),
              "Error: Module unable to decode valid JSON on stdin.  Unable to figure out what "
              "parameters were passed");
}

}  // namespace
