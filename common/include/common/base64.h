#pragma once

// Base64 with the standard alphabet and '=' padding, no line breaks. Two codecs
// produce identical text and differ only in how decoding treats bad input:
// the strict pg_b64_* pair on C buffers (encrypted passwords) and the lenient
// common_routines::base64_* pair on strings (printed keys).

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Encodes `len` bytes of `src` into `dst` and returns the number of characters
// written (no terminating zero). `dst` must hold pg_b64_enc_len(len) bytes.
int pg_b64_encode(const char* src, int len, char* dst);

// Decodes `len` characters of `src` into `dst` and returns the number of bytes
// written, or -1 when the text is not well-formed Base64: white space or any
// character outside the alphabet, a length that is not a multiple of four, or
// '=' anywhere but as "x==" / "xx=" padding of the final group. `dst` must hold
// pg_b64_dec_len(len) bytes.
int pg_b64_decode(const char* src, int len, char* dst);

// (srclen + 2) * 4 / 3: a buffer size always large enough for the encoded text
// (not its exact length).
int pg_b64_enc_len(int srclen);

// srclen * 3 / 4: a buffer size always large enough for the decoded bytes.
int pg_b64_dec_len(int srclen);

// (srclen + 2) / 3 * 4: the exact length of the encoded text of srclen bytes.
// The caller keeps srclen small enough for the result to fit an int.
int pg_b64_enc_exact_len(int srclen);

namespace common_routines {

// Exact length of the encoded text of `length` bytes.
size_t base64_encoded_length(size_t length);

// Encoded text of `length` bytes.
std::string base64_encode(const unsigned char* bytes, size_t length);

// Decodes up to the end, the first '=' or the first character outside the
// alphabet, whichever comes first, ignoring the rest. Never fails: complete
// groups give three bytes, a final group of k characters gives k - 1 bytes.
std::vector<uint8_t> base64_decode(const std::string& text);

}  // namespace common_routines
