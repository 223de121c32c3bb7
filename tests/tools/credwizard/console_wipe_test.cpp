// Typed secrets do not outlive their use in freed memory: every block handed back
// while a secret is typed is searched for the secret's text before it is freed
// (see freed_memory_probe.h).

#include <gtest/gtest.h>
#include <malloc.h>
#include <string.h>

#include <atomic>
#include <cstdlib>
#include <iostream>
#include <new>
#include <sstream>
#include <string>

#include "common/console_input.h"
#include "common/secure_buffer.h"
#include "freed_memory_probe.h"

namespace {

// A piece of the typed secret that occurs nowhere else in this program.
const char kMarker[] = "Qz7!typed-secret-marker#0123456789";
const size_t kMarkerSize = sizeof(kMarker) - 1;

using namespace freed_memory_probe;

// Registers the marker before any test runs.
const bool kMarkerWatched = (SetPattern(0, kMarker, kMarkerSize), true);

// Types `count` bytes of repeated marker text, then `end` (a line feed, or -1
// for the end of input), into the secret reader; its prompt and stars go to a
// string instead of the test's output.
struct TypedSecret {
    std::string result;
    bool ended = false;
};

TypedSecret Type(size_t count, int end) {
    std::string typed;
    for (size_t i = 0; i < count; ++i) typed += kMarker[i % kMarkerSize];
    std::ostringstream shown;
    std::streambuf* saved = std::cout.rdbuf(shown.rdbuf());
    TypedSecret out;
    size_t next = 0;
    g_found = 0;
    g_scanning = true;
    try {
        out.result = common_routines::console_detail::ReadSecret(
            "secret:", [&] { return next < typed.size() ? static_cast<unsigned char>(typed[next++]) : end; });
    } catch (const common_routines::EndOfInput&) {
        out.ended = true;
    }
    g_scanning = false;
    std::cout.rdbuf(saved);
    EXPECT_EQ(out.result.size(), out.ended ? 0u : count);
    common_routines::SecureWipe(out.result);
    common_routines::SecureWipe(typed);
    return out;
}

TEST(TypedSecretWiping, LongSecretLeavesNoCopyWhenItsStorageGrows) {
    // Several times the initial reservation, so the storage moves more than once.
    TypedSecret typed = Type(2000, '\n');
    EXPECT_FALSE(typed.ended);
    EXPECT_EQ(g_found.load(), 0);
}

TEST(TypedSecretWiping, SecretCutOffByEndOfInputIsWiped) {
    TypedSecret typed = Type(700, -1);
    EXPECT_TRUE(typed.ended);
    EXPECT_EQ(g_found.load(), 0);
}

TEST(TypedSecretWiping, ScannerSeesAnUnwipedBlock) {
    // The check itself works: a copy of the text freed without wiping is found.
    g_found = 0;
    g_scanning = true;
    {
        std::string copy(kMarker);
        copy += copy;
    }
    g_scanning = false;
    EXPECT_GE(g_found.load(), 1);
}

}  // namespace
