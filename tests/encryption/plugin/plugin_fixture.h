#pragma once

// Loads one build of the encryption plug-in into the test process (once) and
// offers its entry points plus helpers for comparing with the openssl command.

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "cipherbox/cipherbox.h"

namespace cipherbox_test {

using Bytes = std::vector<uint8_t>;

// The plug-in under test, opened from CIPHERBOX_PATH and kept for the process.
struct Plugin {
    void* handle = nullptr;
    EncryptionFunctionList* table = nullptr;

    static const Plugin& Get();
    // Resolves an export by name (null when missing).
    void* Symbol(const char* name) const { return dlsym(handle, name); }
};

inline const EncryptionFunctionList& Fn() { return *Plugin::Get().table; }

Bytes RandomBytes(size_t n);
// Random bytes drawn again until not all zero: an all-zero buffer passes through
// the plug-in unchanged by design, so it cannot be compared with openssl.
Bytes RandomNonZeroBytes(size_t n);
bool IsAllZero(const Bytes& b);
// What the plug-in decrypts cipherText to when plain is what was encrypted. A
// cipher text that happens to be all zero (one chance in 256 per byte) falls
// under the all-zero rule and decrypts to zeros, not to plain.
Bytes ExpectedRoundTrip(const Bytes& cipherText, const Bytes& plain);
Bytes FromHex(const std::string& hex);
std::string ToHex(const Bytes& b);

int KeySize();
int IvSize();
int BlockSize();

// Runs "openssl enc <cipherArgs> -K .. -iv .." over data and returns its output.
// extraArgs go before the cipher (e.g. "-engine", "gost").
Bytes OpensslEnc(const std::vector<std::string>& cipherArgs, const Bytes& key, const Bytes& iv, const Bytes& data,
                 bool decrypt = false);

}  // namespace cipherbox_test
