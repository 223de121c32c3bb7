// Key-value configuration reader: any text loads without a crash, and what
// loads is written back and loads again to the same entries (the writer's
// promise), unless a value begins with a line feed or holds "+=", or a key
// holds '=' (read from a "+=" line): the syntax cannot express those.
#include <cstdlib>
#include <string>

#include "common/config_utils.h"
#include "fuzz_scratch.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using common_routines::ConfigUtils;
    ConfigUtils first("");
    first.LoadFromString(std::string(reinterpret_cast<const char*>(data), size));
    std::string value;
    for (const auto& [key, stored] : first.Values()) {
        if (first.GetValue(key, value) || value != stored) std::abort();
        if (!stored.empty() && stored.front() == '\n') return 0;
        if (key.find('=') != std::string::npos || stored.find("+=") != std::string::npos) return 0;
    }

    static const std::string path = fuzz::ScratchDir() + "/settings.cfg";
    ConfigUtils writer(path);
    for (const auto& [key, stored] : first.Values()) writer.SetValue(key, stored);
    if (writer.SaveConfigFile()) std::abort();
    ConfigUtils reader(path);
    if (reader.LoadConfigFile(true)) std::abort();
    if (reader.Values() != first.Values()) std::abort();
    return 0;
}
