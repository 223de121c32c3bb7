// KMS credentials document after decryption: loading a hostile document
// (wrong types, bad hash, odd addresses and ports, trailing padding) yields a
// code, never a crash; a load that succeeds gives items the writer accepts
// again.
#include <cstdlib>
#include <string>
#include <vector>

#include "credentials/kms_credentials.h"
#include "fuzz_scratch.h"

namespace {
void* Allocate(size_t size) { return std::malloc(size); }
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string dir = fuzz::ScratchDir();
    static const std::string path = dir + "/" + kKmsCredentialsFileName;
    // Zero padding to whole blocks, as the writer leaves it.
    std::vector<uint8_t> padded(data, data + size);
    padded.resize((size / 16 + 1) * 16, 0);
    fuzz::WriteFile(path, padded.data(), padded.size());

    std::vector<KmsCredentialsItem> items;
    const int rc = KmsCredentialsLoad(nullptr, nullptr, nullptr, nullptr, KMS, path, items);
    std::string cluster;
    KmsCredentialsGetClusterId(nullptr, nullptr, nullptr, nullptr, KMS, path, cluster);
    char* copy = nullptr;
    if (KmsCredentialsReadClusterId(nullptr, nullptr, nullptr, nullptr, dir.c_str(), &copy, &Allocate) == 0) {
        if (copy == nullptr || cluster != copy) std::abort();
    }
    std::free(copy);
    if (rc == 0) kms_credentials::KmsCredentialsToJson(cluster, items);
    return 0;
}
