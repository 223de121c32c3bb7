#pragma once

// Generation of one random password that satisfies a password policy.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "random_source.h"

namespace pwforge {

inline constexpr std::string_view kDigits = "0123456789";
inline constexpr std::string_view kUppercase = "ABCDEFGHIJKLMNOPQRSTUVWXYZ";
inline constexpr std::string_view kLowercase = "abcdefghijklmnopqrstuvwxyz";
inline constexpr std::string_view kLetters =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
// Punctuation without the characters that shells, SQL and configuration files
// treat specially: ! " $ ' \ and `.
inline constexpr std::string_view local_punctuation = "#%&()*+,-./:;<=>?@[]^_{|}~";
inline constexpr std::string_view all_symbol_types_string =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"
    "#%&()*+,-./:;<=>?@[]^_{|}~";

inline constexpr char kSuccessText[] = "SUCCESS: password was generated";

// Policy values as the module options carry them; the initialisers are the
// options' defaults.
struct PasswordPolicy {
    std::int64_t min_length = 16;
    std::int64_t alpha_numeric = 3;
    std::int64_t min_alpha_chars = 7;
    std::int64_t min_special_chars = 3;
    std::int64_t min_uppercase = 3;
    std::int64_t min_lowercase = 3;
    std::int64_t max_rpt_chars = 2;
};

// The one table of the policy's options: the name a task gives it and the
// value it sets. Declaration order, which is also the order in which values
// are checked and type errors reported.
struct PolicyOption {
    std::string_view name;
    std::int64_t PasswordPolicy::*member;

    std::int64_t default_value() const { return PasswordPolicy{}.*member; }
};

inline constexpr std::array<PolicyOption, 7> kPolicyOptions = {{
    {"min_length", &PasswordPolicy::min_length},
    {"alpha_numeric", &PasswordPolicy::alpha_numeric},
    {"min_alpha_chars", &PasswordPolicy::min_alpha_chars},
    {"min_special_chars", &PasswordPolicy::min_special_chars},
    {"min_uppercase", &PasswordPolicy::min_uppercase},
    {"min_lowercase", &PasswordPolicy::min_lowercase},
    {"max_rpt_chars", &PasswordPolicy::max_rpt_chars},
}};

// The generated password (nullopt when the policy was refused) and the status text.
using GenerationResult = std::pair<std::optional<std::string>, std::string>;

// Builds a password: the mandatory characters of each kind, filler up to
// min_length plus 0..10 extra, shuffled, wrapped in a leading and trailing letter,
// then one pass that breaks up runs longer than max_rpt_chars. A value outside
// 0..1000 is refused with "ERROR: check intput <name>: min = 0, max = 1000";
// min_length below 16 counts as 16.
GenerationResult generate_password(std::int64_t min_length, std::int64_t alpha_numeric,
                                   std::int64_t min_alpha_chars, std::int64_t min_special_chars,
                                   std::int64_t min_uppercase, std::int64_t min_lowercase,
                                   std::int64_t max_rpt_chars, RandomSource& random);

GenerationResult generate_password(const PasswordPolicy& policy, RandomSource& random);

// `pass_length` characters, each drawn independently and uniformly from
// `symbol_set`; empty when pass_length is zero or negative.
std::string generate_random_symbols_of_the_same_type(std::int64_t pass_length,
                                                     std::string_view symbol_set,
                                                     RandomSource& random);

// The character set holding `one_symbol`, looked up as lower-case letters,
// upper-case letters, local_punctuation, digits; nullopt for any other character.
std::optional<std::string_view> get_symbols_of_the_same_type(char one_symbol);

// One left-to-right pass over `passwrd`: a character that makes a run of equal
// characters (in the original text) longer than `ctrl_length` is replaced by
// another member of its own set, and the run count starts again. ctrl_length 0
// returns the password unchanged.
std::string replace_sequence_of_same_symbols(std::int64_t ctrl_length, const std::string& passwrd,
                                             RandomSource& random);

}  // namespace pwforge
