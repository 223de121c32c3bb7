// Strict Base64 decoder (encrypted passwords): any text decodes or is refused
// without writing past the documented buffer size, and the bytes of accepted
// text survive an encode/decode round trip (unused low bits of the last
// character may differ from the canonical encoding).
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/base64.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 1 << 16) return 0;
    const int len = static_cast<int>(size);
    const char* text = reinterpret_cast<const char*>(data);
    // Exactly the documented size, so ASan sees any write beyond it.
    std::vector<char> decoded(static_cast<size_t>(pg_b64_dec_len(len)));
    const int n = pg_b64_decode(text, len, decoded.data());
    if (n < 0) return 0;
    if (n > pg_b64_dec_len(len)) std::abort();
    std::vector<char> encoded(static_cast<size_t>(pg_b64_enc_len(n)));
    const int m = pg_b64_encode(decoded.data(), n, encoded.data());
    if (m != len) std::abort();
    std::vector<char> again(static_cast<size_t>(pg_b64_dec_len(m)));
    if (pg_b64_decode(encoded.data(), m, again.data()) != n ||
        (n > 0 && std::memcmp(again.data(), decoded.data(), static_cast<size_t>(n)) != 0)) {
        std::abort();
    }
    return 0;
}
