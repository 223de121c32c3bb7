// In-process tests of the password generator and the module's option handling,
// driven by scripted random sources where exact results matter.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <deque>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <json/reader.h>

#include "module_interface.h"
#include "password_generator.h"
#include "random_source.h"

namespace pwforge {
namespace {

// Answers each draw with the next scripted index (taken modulo the bound); when the
// script runs out it keeps answering `fallback` (clamped to the bound).
class ScriptedRandom : public RandomSource {
public:
    explicit ScriptedRandom(std::deque<std::uint32_t> script = {}, std::uint32_t fallback = 0)
        : script_(std::move(script)), fallback_(fallback) {}
    std::uint32_t Below(std::uint32_t bound) override {
        bounds.push_back(bound);
        if (!script_.empty()) {
            std::uint32_t v = script_.front();
            script_.pop_front();
            return v % bound;
        }
        return fallback_ < bound ? fallback_ : bound - 1;
    }
    std::vector<std::uint32_t> bounds;

private:
    std::deque<std::uint32_t> script_;
    std::uint32_t fallback_;
};

// Feeds SystemRandom fixed 32-bit words in place of kernel bytes.
SystemRandom::ByteFiller WordFiller(std::vector<std::uint32_t> words, int* fills = nullptr) {
    return [words, fills, next = std::size_t{0}](std::uint8_t* data, std::size_t size) mutable {
        if (fills != nullptr) {
            ++*fills;
        }
        for (std::size_t off = 0; off + 4 <= size; off += 4) {
            std::uint32_t w = next < words.size() ? words[next] : 0xFFFFFFFFu;
            ++next;
            std::memcpy(data + off, &w, 4);
        }
    };
}

TEST(PwforgeSystemRandom, RejectsTheLowValuesThatWouldBiasTheResidues) {
    // 2^32 mod 3 == 1 and 2^32 mod 10 == 6: those lowest words must be skipped.
    SystemRandom three(WordFiller({0, 7}));
    EXPECT_EQ(three.Below(3), 7u % 3);

    SystemRandom ten(WordFiller({0, 5, 6, 13}));
    EXPECT_EQ(ten.Below(10), 6u);
    EXPECT_EQ(ten.Below(10), 3u);

    // A power of two needs no rejection at all.
    SystemRandom eight(WordFiller({0, 9}));
    EXPECT_EQ(eight.Below(8), 0u);
    EXPECT_EQ(eight.Below(8), 1u);

    // bound 1 always yields 0; bound 0 is a caller error.
    SystemRandom one(WordFiller({12345}));
    EXPECT_EQ(one.Below(1), 0u);
    EXPECT_THROW(one.Below(0), std::invalid_argument);
}

TEST(PwforgeSystemRandom, FetchesBytesInBatchesAndFromTheKernel) {
    int fills = 0;
    SystemRandom random(WordFiller(std::vector<std::uint32_t>(200, 1000u), &fills));
    for (int i = 0; i < 64; ++i) {
        random.Below(26);
    }
    EXPECT_EQ(fills, 1);
    random.Below(26);
    EXPECT_EQ(fills, 2);

    // The real source gives values that are in range and not all the same.
    SystemRandom kernel;
    std::vector<int> seen(88, 0);
    for (int i = 0; i < 5000; ++i) {
        std::uint32_t v = kernel.Below(88);
        ASSERT_LT(v, 88u);
        seen[v]++;
    }
    for (int count : seen) {
        EXPECT_GT(count, 0);
    }
}

TEST(PwforgeCharacterSets, SetsHaveTheirMembersAndLookupOrder) {
    EXPECT_EQ(local_punctuation, "#%&()*+,-./:;<=>?@[]^_{|}~");
    EXPECT_EQ(all_symbol_types_string.size(), 88u);
    EXPECT_EQ(all_symbol_types_string,
              std::string(kUppercase) + std::string(kLowercase) + std::string(kDigits) +
                  std::string(local_punctuation));

    EXPECT_EQ(get_symbols_of_the_same_type('q'), kLowercase);
    EXPECT_EQ(get_symbols_of_the_same_type('Q'), kUppercase);
    EXPECT_EQ(get_symbols_of_the_same_type('~'), local_punctuation);
    EXPECT_EQ(get_symbols_of_the_same_type('#'), local_punctuation);
    EXPECT_EQ(get_symbols_of_the_same_type('0'), kDigits);
    for (char c : std::string("!\"$'\\` \t\x7f")) {
        EXPECT_FALSE(get_symbols_of_the_same_type(c).has_value()) << int(c);
    }
    EXPECT_FALSE(get_symbols_of_the_same_type('\0').has_value());
}

TEST(PwforgeRandomSymbols, DrawsFromTheSetAndNothingForNonPositiveCounts) {
    ScriptedRandom random({0, 1, 2, 9});
    EXPECT_EQ(generate_random_symbols_of_the_same_type(4, kDigits, random), "0129");
    EXPECT_EQ(random.bounds, std::vector<std::uint32_t>(4, 10));

    ScriptedRandom untouched;
    EXPECT_EQ(generate_random_symbols_of_the_same_type(0, kDigits, untouched), "");
    EXPECT_EQ(generate_random_symbols_of_the_same_type(-5, kDigits, untouched), "");
    EXPECT_TRUE(untouched.bounds.empty());
}

TEST(PwforgeReplacementPass, ZeroLimitLeavesThePasswordAlone) {
    ScriptedRandom random;
    EXPECT_EQ(replace_sequence_of_same_symbols(0, "aaaa....1111", random), "aaaa....1111");
    EXPECT_TRUE(random.bounds.empty());
}

TEST(PwforgeReplacementPass, ThirdOfThreeFullStopsBecomesOtherPunctuation) {
    // Every member of local_punctuation except '.' can take the third place.
    std::string without_stop;
    for (char c : local_punctuation) {
        if (c != '.') without_stop.push_back(c);
    }
    for (std::uint32_t pick = 0; pick < without_stop.size(); ++pick) {
        ScriptedRandom random({pick});
        std::string out = replace_sequence_of_same_symbols(2, "a...b", random);
        EXPECT_EQ(out, std::string("a..") + without_stop[pick] + "b");
        EXPECT_EQ(random.bounds, std::vector<std::uint32_t>{25});
    }
    // Two full stops are within the limit.
    ScriptedRandom random;
    EXPECT_EQ(replace_sequence_of_same_symbols(2, "a..b", random), "a..b");
}

TEST(PwforgeReplacementPass, LimitOneReplacesTheSecondOfEveryEqualPair) {
    // Replacement picks index 0 of the set with the repeated character removed.
    ScriptedRandom random;
    EXPECT_EQ(replace_sequence_of_same_symbols(1, "aaXX11##", random), "abXA10#%");
    EXPECT_EQ(random.bounds, (std::vector<std::uint32_t>{25, 25, 9, 25}));
}

TEST(PwforgeReplacementPass, RunsAreJudgedOnTheOriginalCharacters) {
    ScriptedRandom random;
    // The replaced position still counts as the run's character and starts the
    // count again, so after the first break every ctrl_length-th one is replaced.
    EXPECT_EQ(replace_sequence_of_same_symbols(1, "aaaa", random), "abbb");
    EXPECT_EQ(replace_sequence_of_same_symbols(2, "zzzzzzz", random), "zzazaza");
    EXPECT_EQ(replace_sequence_of_same_symbols(3, "zzzzzzzz", random), "zzzazzaz");

    // A replacement is not compared with its successor: one pass may leave a new
    // pair behind.
    ScriptedRandom picks_b({0});
    EXPECT_EQ(replace_sequence_of_same_symbols(1, "aab", picks_b), "abb");

    // Removing the repeated character shifts later members down by one.
    ScriptedRandom picks_2({2});
    EXPECT_EQ(replace_sequence_of_same_symbols(1, "cc", picks_2), "cd");
    ScriptedRandom picks_1({1});
    EXPECT_EQ(replace_sequence_of_same_symbols(1, "cc", picks_1), "cb");
}

TEST(PwforgeReplacementPass, CharactersOutsideEverySetAreKept) {
    ScriptedRandom random;
    EXPECT_EQ(replace_sequence_of_same_symbols(1, "!!!$$", random), "!!!$$");
    EXPECT_TRUE(random.bounds.empty());
    // The run count still starts again at the next different character.
    EXPECT_EQ(replace_sequence_of_same_symbols(2, "!!!aa", random), "!!!aa");
}

int CountIn(const std::string& s, std::string_view set) {
    int n = 0;
    for (char c : s) n += set.find(c) != std::string_view::npos;
    return n;
}

TEST(PwforgeGeneratePassword, LengthFollowsTheMinimumPlusTheDrawnExtra) {
    // All draws 0: the extra of 0..10 is 0, so defaults give 16 + 2.
    ScriptedRandom low;
    auto [pw_low, status_low] = generate_password(PasswordPolicy{}, low);
    ASSERT_TRUE(pw_low.has_value());
    EXPECT_EQ(status_low, "SUCCESS: password was generated");
    EXPECT_EQ(pw_low->size(), 18u);

    // All draws as high as possible: extra 10, so 28.
    ScriptedRandom high({}, 0xFFFFFFFFu);
    auto [pw_high, status_high] = generate_password(PasswordPolicy{}, high);
    ASSERT_TRUE(pw_high.has_value());
    EXPECT_EQ(pw_high->size(), 28u);

    // Below 16 (including 0 and negative) means 16.
    for (std::int64_t min_length : {-1, 0, 5, 15}) {
        PasswordPolicy p;
        p.min_length = min_length;
        ScriptedRandom r;
        auto [pw, status] = generate_password(p, r);
        ASSERT_TRUE(pw.has_value()) << min_length;
        EXPECT_EQ(pw->size(), 18u) << min_length;
    }
    PasswordPolicy longer;
    longer.min_length = 1000;
    ScriptedRandom r;
    EXPECT_EQ(generate_password(longer, r).first->size(), 1002u);
}

TEST(PwforgeGeneratePassword, StepsDrawInTheirOrderAndRepeatsAreBrokenLast) {
    // Draws: 3 digits, 3 punctuation, 3 upper, 3 lower, 1 extra letter (7 > 3 + 3),
    // the extra length 0..10 (5 here, so 16 - 13 + 5 = 8 filler characters), the
    // shuffle, the leading and the trailing letter, then the replacement pass.
    const std::deque<std::uint32_t> script = {1,  2, 3, 4,  5,  6,  7,  8,  9, 10,
                                              11, 12, 13, 5, 20, 21, 22, 23, 24};
    std::vector<std::uint32_t> expected_bounds = {10, 10, 10, 26, 26, 26, 26, 26, 26,
                                                  26, 26, 26, 52, 11};
    expected_bounds.insert(expected_bounds.end(), 8, 88);
    for (std::uint32_t i = 21; i >= 2; --i) {
        expected_bounds.push_back(i);
    }
    expected_bounds.insert(expected_bounds.end(), {52, 52});

    // max_rpt_chars 0: the password of step 7 comes back untouched, runs and all.
    ScriptedRandom untouched(script);
    auto [kept, kept_status] = generate_password(16, 3, 7, 3, 3, 3, 0, untouched);
    ASSERT_TRUE(kept.has_value());
    EXPECT_EQ(*kept, "A23)*+HIJklmNUVWXYAAA1A");
    EXPECT_EQ(kept_status, "SUCCESS: password was generated");
    EXPECT_EQ(untouched.bounds, expected_bounds);

    // max_rpt_chars 2: the run "AAA" is judged after the letters are added, so its
    // third character alone is replaced by another upper-case letter.
    ScriptedRandom limited(script);
    auto [broken, broken_status] = generate_password(16, 3, 7, 3, 3, 3, 2, limited);
    ASSERT_TRUE(broken.has_value());
    EXPECT_EQ(*broken, "A23)*+HIJklmNUVWXYAAB1A");
    expected_bounds.push_back(25);
    EXPECT_EQ(limited.bounds, expected_bounds);
}

TEST(PwforgeGeneratePassword, MandatoryCountsBeyondTheMinimumSetTheLength) {
    ScriptedRandom high({}, 0xFFFFFFFFu);
    // 10 + 10 + 10 + 10 + (25 - 20) letters = 45 > 16 + 10.
    auto [pw, status] = generate_password(16, 10, 25, 10, 10, 10, 2, high);
    ASSERT_TRUE(pw.has_value());
    EXPECT_EQ(pw->size(), 47u);

    // min_alpha_chars not above upper + lower adds no letters: 40 + 2 either way.
    ScriptedRandom r1, r2;
    EXPECT_EQ(generate_password(16, 30, 10, 0, 5, 5, 0, r1).first->size(), 42u);
    EXPECT_EQ(generate_password(16, 30, 4, 0, 5, 5, 0, r2).first->size(), 42u);
    ScriptedRandom r3;
    EXPECT_EQ(generate_password(16, 30, 12, 0, 5, 5, 0, r3).first->size(), 44u);
}

TEST(PwforgeGeneratePassword, CountsOfEveryKindHoldWithTheSystemSource) {
    SystemRandom random;
    for (int i = 0; i < 500; ++i) {
        auto [pw, status] = generate_password(PasswordPolicy{}, random);
        ASSERT_TRUE(pw.has_value());
        const std::string& s = *pw;
        ASSERT_GE(s.size(), 18u);
        ASSERT_LE(s.size(), 28u);
        EXPECT_NE(kLetters.find(s.front()), std::string_view::npos) << s;
        EXPECT_NE(kLetters.find(s.back()), std::string_view::npos) << s;
        EXPECT_GE(CountIn(s, kDigits), 3) << s;
        EXPECT_GE(CountIn(s, local_punctuation), 3) << s;
        EXPECT_GE(CountIn(s, kUppercase), 3) << s;
        EXPECT_GE(CountIn(s, kLowercase), 3) << s;
        EXPECT_GE(CountIn(s, kLetters), 9) << s;
        EXPECT_EQ(CountIn(s, all_symbol_types_string), static_cast<int>(s.size())) << s;
    }
}

TEST(PwforgeGeneratePassword, RefusesOutOfRangeOptionsInDeclarationOrder) {
    const char* names[] = {"min_length",    "alpha_numeric", "min_alpha_chars", "min_special_chars",
                           "min_uppercase", "min_lowercase", "max_rpt_chars"};
    for (int i = 0; i < 7; ++i) {
        for (std::int64_t bad : {std::int64_t{1001}, std::int64_t{-1}}) {
            if (i == 0 && bad < 0) continue;  // a low minimum length is raised to 16
            std::int64_t v[7] = {16, 3, 7, 3, 3, 3, 2};
            v[i] = bad;
            // A later option is also out of range; the earlier one is reported.
            if (i < 6) v[6] = 5000;
            ScriptedRandom random;
            auto [pw, status] = generate_password(v[0], v[1], v[2], v[3], v[4], v[5], v[6], random);
            EXPECT_FALSE(pw.has_value());
            EXPECT_EQ(status, std::string("ERROR: check intput ") + names[i] +
                                  ": min = 0, max = 1000");
            EXPECT_TRUE(random.bounds.empty());
        }
    }
    // The bounds themselves are accepted.
    SystemRandom random;
    EXPECT_TRUE(generate_password(1000, 1000, 0, 1000, 0, 1000, 1000, random).first.has_value());
    EXPECT_TRUE(generate_password(0, 0, 0, 0, 0, 0, 0, random).first.has_value());
}

// ----- option conversion and the module result -----

Json::Value Parse(const std::string& text) {
    Json::Value v;
    std::string errs;
    Json::CharReaderBuilder b;
    std::istringstream in(text);
    EXPECT_TRUE(Json::parseFromStream(b, in, &v, &errs)) << errs;
    return v;
}

TEST(PwforgeAnsibleInt, AcceptsWhatPythonIntAccepts) {
    struct Case {
        const char* text;
        std::int64_t expected;
    } accepted[] = {
        {"\"16\"", 16},      {"\" -5 \"", -5},  {"\"+1_000\"", 1000}, {"\"016\"", 16},
        {"\"\\t7\\n\"", 7},  {"-3", -3},        {"true", 1},          {"false", 0},
        {"12", 12},          {"\"-0\"", 0},
    };
    for (const auto& c : accepted) {
        std::string doc = std::string("[") + c.text + "]";
        Json::Value v = Parse(doc)[0];
        std::int64_t out = -999;
        std::string type;
        EXPECT_TRUE(ConvertAnsibleInt(v, std::string_view(c.text), out, type)) << c.text;
        EXPECT_EQ(out, c.expected) << c.text;
    }
}

TEST(PwforgeAnsibleInt, RejectsOtherValuesWithTheirPythonTypes) {
    struct Case {
        const char* text;
        const char* type;
    } rejected[] = {
        {"\"abc\"", "<class 'str'>"}, {"\"\"", "<class 'str'>"},    {"\"1__0\"", "<class 'str'>"},
        {"\"_1\"", "<class 'str'>"},  {"\"1_\"", "<class 'str'>"},  {"\"0x10\"", "<class 'str'>"},
        {"\"1.0\"", "<class 'str'>"}, {"\"- 1\"", "<class 'str'>"}, {"1.5", "<class 'float'>"},
        {"2e3", "<class 'float'>"},   {"[1]", "<class 'list'>"},    {"{\"a\":1}", "<class 'dict'>"},
    };
    for (const auto& c : rejected) {
        std::string doc = std::string("[") + c.text + "]";
        Json::Value v = Parse(doc)[0];
        std::int64_t out = 0;
        std::string type;
        EXPECT_FALSE(ConvertAnsibleInt(v, std::string_view(c.text), out, type)) << c.text;
        EXPECT_EQ(type, c.type) << c.text;
    }
}

TEST(PwforgeAnsibleInt, IntegersBeyondSixtyFourBitsSaturate) {
    std::int64_t out = 0;
    std::string type;
    const char* big = "123456789012345678901234567890";
    ASSERT_TRUE(ConvertAnsibleInt(Parse(std::string("[") + big + "]")[0], big, out, type));
    EXPECT_EQ(out, INT64_MAX);
    const char* small = "-123456789012345678901234567890";
    ASSERT_TRUE(ConvertAnsibleInt(Parse(std::string("[") + small + "]")[0], small, out, type));
    EXPECT_EQ(out, INT64_MIN);
    ASSERT_TRUE(ConvertAnsibleInt(Json::Value("99999999999999999999999"), "", out, type));
    EXPECT_EQ(out, INT64_MAX);
    // Python refuses decimal strings of more than 4300 digits.
    EXPECT_FALSE(ConvertAnsibleInt(Json::Value(std::string(4301, '1')), "", out, type));
}

TEST(PwforgeModuleRun, NullOptionsTakeTheirDefaults) {
    SystemRandom random;
    ModuleOutcome o = RunWithArguments(R"({"min_length": null, "max_rpt_chars": null})", random);
    EXPECT_EQ(o.exit_status, 0);
    EXPECT_EQ(o.result["original_message"].asString(), "SUCCESS: password was generated");
    EXPECT_EQ(o.result["invocation"]["module_args"]["min_length"].asInt(), 16);
    EXPECT_EQ(o.result["invocation"]["module_args"]["max_rpt_chars"].asInt(), 2);
}

TEST(PwforgeModuleRun, TypeErrorsComeBeforeUnknownOptionsAndInOptionOrder) {
    SystemRandom random;
    ModuleOutcome o = RunWithArguments(
        R"({"zzz": 1, "max_rpt_chars": "x", "alpha_numeric": [1], "_ansible_check_mode": true})",
        random);
    EXPECT_EQ(o.exit_status, 1);
    EXPECT_TRUE(o.result["failed"].asBool());
    EXPECT_EQ(o.result["msg"].asString(),
              "argument 'alpha_numeric' is of type <class 'list'> and we were unable to convert "
              "to int: <class 'list'> cannot be converted to an int");

    o = RunWithArguments(R"({"zzz": 1, "aaa": 2, "_ansible_module_name": "renamed"})", random);
    EXPECT_EQ(o.exit_status, 1);
    EXPECT_EQ(o.result["msg"].asString(),
              "Unsupported parameters for (renamed) module: aaa, zzz. Supported parameters "
              "include: alpha_numeric, max_rpt_chars, min_alpha_chars, min_length, "
              "min_lowercase, min_special_chars, min_uppercase.");
    EXPECT_FALSE(o.result["changed"].asBool());
}

TEST(PwforgeModuleRun, AnsibleSettingsAndWrappedArgumentsAreUnderstood) {
    SystemRandom random;
    ModuleOutcome o = RunWithArguments(
        R"({"_ansible_check_mode": true, "_ansible_some_future_key": [1], "min_length": "40"})",
        random);
    ASSERT_EQ(o.exit_status, 0) << RenderResult(o.result);
    EXPECT_GE(o.result["message"].asString().size(), 42u);
    EXPECT_FALSE(o.result["invocation"]["module_args"].isMember("_ansible_check_mode"));

    // A literal too large for 64 bits is still an integer, refused by the range check.
    o = RunWithArguments(R"({"alpha_numeric": 123456789012345678901234567890})", random);
    EXPECT_EQ(o.exit_status, 0);
    EXPECT_TRUE(o.result["message"].isNull());
    EXPECT_EQ(o.result["original_message"].asString(),
              "ERROR: check intput alpha_numeric: min = 0, max = 1000");

    o = RunWithArguments(R"({"ANSIBLE_MODULE_ARGS": {"min_length": 30, "alpha_numeric": 2.5}})",
                         random);
    EXPECT_EQ(o.exit_status, 1);
    EXPECT_NE(o.result["msg"].asString().find("'alpha_numeric' is of type <class 'float'>"),
              std::string::npos);

    for (const char* bad : {"", "not json", "[1, 2]", "{\"a\": 1} trailing"}) {
        o = RunWithArguments(bad, random);
        EXPECT_EQ(o.exit_status, 1) << bad;
        EXPECT_TRUE(o.result["failed"].asBool()) << bad;
        EXPECT_FALSE(o.result.isMember("invocation")) << bad;
    }
}

}  // namespace
}  // namespace pwforge
