#include "password_generator.h"

#include <algorithm>
#include <array>
#include <stdexcept>
#include <utility>

#include <string.h>

#include "common/secure_buffer.h"

namespace pwforge {

namespace {

constexpr std::int64_t kMinEffectiveLength = 16;
constexpr std::int64_t kMaxOptionValue = 1000;
constexpr std::uint32_t kMaxExtraLength = 10;

std::string RangeErrorText(std::string_view option_name) {
    return "ERROR: check intput " + std::string(option_name) + ": min = 0, max = 1000";
}

char PickOne(std::string_view symbol_set, RandomSource& random) {
    if (symbol_set.empty()) {
        throw std::invalid_argument("cannot pick a character from an empty set");
    }
    return symbol_set[random.Below(static_cast<std::uint32_t>(symbol_set.size()))];
}

// Intermediate copies of a password are wiped before their memory is released.
using common_routines::SecureWipe;

// Fisher-Yates: every ordering is equally likely.
void Shuffle(std::string& chars, RandomSource& random) {
    for (std::size_t i = chars.size(); i > 1; --i) {
        std::size_t j = random.Below(static_cast<std::uint32_t>(i));
        std::swap(chars[i - 1], chars[j]);
    }
}

}  // namespace

std::string generate_random_symbols_of_the_same_type(std::int64_t pass_length,
                                                     std::string_view symbol_set,
                                                     RandomSource& random) {
    std::string result;
    if (pass_length <= 0) {
        return result;
    }
    result.reserve(static_cast<std::size_t>(pass_length));
    for (std::int64_t i = 0; i < pass_length; ++i) {
        result.push_back(PickOne(symbol_set, random));
    }
    return result;
}

std::optional<std::string_view> get_symbols_of_the_same_type(char one_symbol) {
    for (std::string_view set : {kLowercase, kUppercase, local_punctuation, kDigits}) {
        if (set.find(one_symbol) != std::string_view::npos) {
            return set;
        }
    }
    return std::nullopt;
}

std::string replace_sequence_of_same_symbols(std::int64_t ctrl_length, const std::string& passwrd,
                                             RandomSource& random) {
    if (ctrl_length == 0) {
        return passwrd;
    }
    std::string result = passwrd;
    // Runs are judged on the original characters, so a replacement neither ends
    // the run it broke nor is compared with the character after it.
    std::optional<char> prev_symbol;
    std::int64_t counter_same_symbols = 1;
    for (std::size_t pos = 0; pos < passwrd.size(); ++pos) {
        const char curr_symbol = passwrd[pos];
        if (prev_symbol != curr_symbol) {
            counter_same_symbols = 1;
            prev_symbol = curr_symbol;
            continue;
        }
        ++counter_same_symbols;
        if (counter_same_symbols <= ctrl_length) {
            continue;
        }
        std::optional<std::string_view> symbol_set = get_symbols_of_the_same_type(curr_symbol);
        if (!symbol_set) {
            continue;
        }
        std::string others;
        for (char c : *symbol_set) {
            if (c != curr_symbol) {
                others.push_back(c);
            }
        }
        result[pos] = PickOne(others, random);
        counter_same_symbols = 1;
        prev_symbol = curr_symbol;
    }
    return result;
}

GenerationResult generate_password(std::int64_t min_length, std::int64_t alpha_numeric,
                                   std::int64_t min_alpha_chars, std::int64_t min_special_chars,
                                   std::int64_t min_uppercase, std::int64_t min_lowercase,
                                   std::int64_t max_rpt_chars, RandomSource& random) {
    return generate_password(PasswordPolicy{min_length, alpha_numeric, min_alpha_chars, min_special_chars,
                                            min_uppercase, min_lowercase, max_rpt_chars},
                             random);
}

GenerationResult generate_password(const PasswordPolicy& requested, RandomSource& random) {
    PasswordPolicy policy = requested;
    if (policy.min_length < kMinEffectiveLength) {
        policy.min_length = kMinEffectiveLength;
    }
    for (const PolicyOption& option : kPolicyOptions) {
        const std::int64_t value = policy.*option.member;
        if (value < 0 || value > kMaxOptionValue) {
            return {std::nullopt, RangeErrorText(option.name)};
        }
    }
    const auto [min_length, alpha_numeric, min_alpha_chars, min_special_chars, min_uppercase, min_lowercase,
                max_rpt_chars] = policy;

    const std::int64_t extra_letters =
        min_alpha_chars > min_uppercase + min_lowercase
            ? min_alpha_chars - min_uppercase - min_lowercase
            : 0;
    const std::int64_t mandatory =
        alpha_numeric + min_special_chars + min_uppercase + min_lowercase + extra_letters;
    std::string chars;
    // Room for the longest possible result, so growing never leaves an unwiped
    // copy of the characters behind.
    chars.reserve(static_cast<std::size_t>(
        std::max(mandatory, min_length + static_cast<std::int64_t>(kMaxExtraLength))));
    auto append = [&](std::int64_t count, std::string_view symbol_set) {
        std::string part = generate_random_symbols_of_the_same_type(count, symbol_set, random);
        chars += part;
        SecureWipe(part);
    };
    append(alpha_numeric, kDigits);
    append(min_special_chars, local_punctuation);
    append(min_uppercase, kUppercase);
    append(min_lowercase, kLowercase);
    append(extra_letters, kLetters);

    const std::int64_t curr_length = min_length - static_cast<std::int64_t>(chars.size()) +
                                     random.Below(kMaxExtraLength + 1);
    append(curr_length, all_symbol_types_string);

    Shuffle(chars, random);

    std::string password;
    password.reserve(chars.size() + 2);
    // The leading letter is drawn before the trailing one.
    password.push_back(PickOne(kLetters, random));
    password += chars;
    password.push_back(PickOne(kLetters, random));
    SecureWipe(chars);

    std::string final_password = replace_sequence_of_same_symbols(max_rpt_chars, password, random);
    SecureWipe(password);
    return {std::move(final_password), kSuccessText};
}

}  // namespace pwforge
