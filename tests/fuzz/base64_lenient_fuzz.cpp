// Lenient Base64 decoder (printed keys): never fails, and the bytes it yields
// survive an encode/decode round trip unchanged.
#include <cstdlib>
#include <string>

#include "common/base64.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::vector<uint8_t> bytes = common_routines::base64_decode(text);
    if (bytes.size() > size) std::abort();
    const std::string again = common_routines::base64_encode(bytes.data(), bytes.size());
    if (common_routines::base64_decode(again) != bytes) std::abort();
    return 0;
}
