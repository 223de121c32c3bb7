// pwforge's arguments document: any text gives one JSON result, and a result
// without "failed" carries a password of the requested length at least.
#include <cstdlib>
#include <cstring>
#include <string>

#include "module_interface.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A fixed byte stream instead of the kernel's, so runs repeat.
    uint8_t next = 0;
    pwforge::SystemRandom random([&](uint8_t* bytes, size_t count) {
        for (size_t i = 0; i < count; ++i) bytes[i] = next += 97;
    });
    const std::string text(reinterpret_cast<const char*>(data), size);
    pwforge::ModuleOutcome outcome = pwforge::RunWithArguments(text, random);
    const std::string rendered = pwforge::RenderResult(outcome.result);
    if (rendered.empty() || rendered.front() != '{') std::abort();
    return 0;
}
