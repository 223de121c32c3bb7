#include "common/base64.h"

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Value of an alphabet character, -1 for anything else.
int SextetOf(unsigned char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

// Shared encoder: writes the text for `len` bytes to `dst`, returns its length.
size_t Encode(const unsigned char* src, size_t len, char* dst) {
    char* p = dst;
    size_t i = 0;
    for (; i + 3 <= len; i += 3) {
        const uint32_t group = (uint32_t{src[i]} << 16) | (uint32_t{src[i + 1]} << 8) | src[i + 2];
        *p++ = kAlphabet[(group >> 18) & 0x3f];
        *p++ = kAlphabet[(group >> 12) & 0x3f];
        *p++ = kAlphabet[(group >> 6) & 0x3f];
        *p++ = kAlphabet[group & 0x3f];
    }
    const size_t rest = len - i;
    if (rest > 0) {
        uint32_t group = uint32_t{src[i]} << 16;
        if (rest == 2) group |= uint32_t{src[i + 1]} << 8;
        *p++ = kAlphabet[(group >> 18) & 0x3f];
        *p++ = kAlphabet[(group >> 12) & 0x3f];
        *p++ = rest == 2 ? kAlphabet[(group >> 6) & 0x3f] : '=';
        *p++ = '=';
    }
    return static_cast<size_t>(p - dst);
}

}  // namespace

int pg_b64_encode(const char* src, int len, char* dst) {
    if (len <= 0) return 0;
    return static_cast<int>(Encode(reinterpret_cast<const unsigned char*>(src), static_cast<size_t>(len), dst));
}

int pg_b64_decode(const char* src, int len, char* dst) {
    if (len <= 0) return 0;
    if (len % 4 != 0) return -1;
    const auto* s = reinterpret_cast<const unsigned char*>(src);
    char* p = dst;
    for (int g = 0; g < len; g += 4) {
        const bool last_group = g + 4 == len;
        // Padding may only close the final group, as "xx==" or "xxx=". Accepting
        // '=' followed by data would silently drop or misplace bytes.
        int pad = 0;
        if (s[g + 3] == '=') pad = s[g + 2] == '=' ? 2 : 1;
        if (pad > 0 && !last_group) return -1;
        uint32_t group = 0;
        for (int k = 0; k < 4; ++k) {
            int v = 0;
            if (k < 4 - pad) {
                v = SextetOf(s[g + k]);
                if (v < 0) return -1;
            }
            group = (group << 6) | static_cast<uint32_t>(v);
        }
        *p++ = static_cast<char>((group >> 16) & 0xff);
        if (pad < 2) *p++ = static_cast<char>((group >> 8) & 0xff);
        if (pad < 1) *p++ = static_cast<char>(group & 0xff);
    }
    return static_cast<int>(p - dst);
}

int pg_b64_enc_len(int srclen) {
    return (srclen + 2) * 4 / 3;
}

int pg_b64_dec_len(int srclen) {
    // Computed wide: srclen * 3 overflows an int for texts above 700 MB.
    return static_cast<int>(static_cast<int64_t>(srclen) * 3 / 4);
}

int pg_b64_enc_exact_len(int srclen) {
    return static_cast<int>((static_cast<int64_t>(srclen) + 2) / 3 * 4);
}

namespace common_routines {

size_t base64_encoded_length(size_t length) { return (length + 2) / 3 * 4; }

std::string base64_encode(const unsigned char* bytes, size_t length) {
    std::string text(base64_encoded_length(length), '\0');
    if (length > 0) text.resize(Encode(bytes, length, text.data()));
    return text;
}

std::vector<uint8_t> base64_decode(const std::string& text) {
    std::vector<uint8_t> bytes;
    bytes.reserve(text.size() / 4 * 3 + 2);
    uint32_t group = 0;
    int count = 0;
    for (const char ch : text) {
        const int v = SextetOf(static_cast<unsigned char>(ch));
        if (v < 0) break;  // '=' and any other foreign character end the text
        group = (group << 6) | static_cast<uint32_t>(v);
        if (++count == 4) {
            bytes.push_back(static_cast<uint8_t>(group >> 16));
            bytes.push_back(static_cast<uint8_t>(group >> 8));
            bytes.push_back(static_cast<uint8_t>(group));
            group = 0;
            count = 0;
        }
    }
    // A final group of k characters carries k - 1 whole bytes.
    if (count >= 2) {
        group <<= 6 * (4 - count);
        bytes.push_back(static_cast<uint8_t>(group >> 16));
        if (count == 3) bytes.push_back(static_cast<uint8_t>(group >> 8));
    }
    return bytes;
}

}  // namespace common_routines
