#pragma once

// In-process stand-in for the encryption wrapper, linked into the credential
// store's unit tests instead of the real one. Its cipher is a keyed byte
// permutation (not secure, but reversible, length-preserving, key- and
// IV-dependent, and block-mode strict like the plug-in; or a pass-through), and its key derivation
// is a keyed hash of password, salt and iteration count. Tests can make any
// operation fail and can read what the derivation was given.

#include <cstdint>
#include <string>
#include <vector>

namespace fake_wrapper {

struct State {
    int key_size = 16;
    int iv_size = 16;
    int block_size = 16;
    // The cipher passes the bytes through unchanged (block-mode rule kept), so
    // a fuzzer's input is the plain document the store parses.
    bool plain = false;
    // Non-zero: the named operation returns this code.
    int fail_init = 0;
    int fail_key_size = 0;
    int fail_iv_size = 0;
    int fail_block_size = 0;
    int fail_derive = 0;
    int fail_encrypt = 0;
    int fail_decrypt = 0;
    // Inputs of the last derivation.
    std::vector<uint8_t> last_password;
    std::vector<uint8_t> last_salt;
    int last_iterations = 0;
    int derive_calls = 0;
    int init_calls = 0;
};

// The process-wide state; Reset() restores the defaults.
State& Get();
void Reset();

}  // namespace fake_wrapper
