// KMS credentials document after decryption: loading a hostile document
// (wrong types, bad hash, odd addresses and ports, trailing padding) yields a
// code or, for members of the wrong JSON type, a library exception that every
// caller converts (the connector's entry points, the flat read), never a crash.
#include <cstdlib>
#include <string>
#include <vector>

#include <json/json.h>

#include "credentials/kms_credentials.h"
#include "fake_wrapper.h"
#include "fuzz_scratch.h"

namespace {
void* Allocate(size_t size) { return std::malloc(size); }
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string dir = [] {
        fake_wrapper::Get().plain = true;
        return fuzz::ScratchDir();
    }();
    static const std::string path = dir + "/" + kKmsCredentialsFileName;
    // Zero padding to whole blocks, as the writer leaves it.
    std::vector<uint8_t> padded(data, data + size);
    padded.resize((size / 16 + 1) * 16, 0);
    fuzz::WriteFile(path, padded.data(), padded.size());

    std::vector<KmsCredentialsItem> items;
    int rc = -1;
    std::string cluster;
    try {
        rc = KmsCredentialsLoad(nullptr, nullptr, nullptr, nullptr, KMS, path, items);
        KmsCredentialsGetClusterId(nullptr, nullptr, nullptr, nullptr, KMS, path, cluster);
    } catch (const Json::Exception&) {
        return 0;
    }
    char* copy = nullptr;
    if (KmsCredentialsReadClusterId(nullptr, nullptr, nullptr, nullptr, dir.c_str(), &copy, &Allocate) == 0) {
        if (copy == nullptr || cluster != copy) std::abort();
    }
    std::free(copy);
    if (rc == 0) kms_credentials::KmsCredentialsToJson(cluster, items);
    return 0;
}
