// Database credentials table after decryption: opening a hostile table
// (records of wrong shape or type, padding, deep nesting) and walking, looking
// up, adding and removing records never crashes.
#include <cstdlib>
#include <string>
#include <vector>

#include "credentials/cred_tab.h"
#include "fake_wrapper.h"
#include "fuzz_scratch.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string path = [] {
        fake_wrapper::Get().plain = true;
        std::string p = fuzz::ScratchDir() + "/enc_utils_auth_settings.cfg";
        cred_tab::SetTablePath(p);
        return p;
    }();
    std::vector<uint8_t> padded(data, data + size);
    padded.resize((size / 16 + 1) * 16, 0);
    fuzz::WriteFile(path, padded.data(), padded.size());

    CredTabHandle table = nullptr;
    if (CredTabOpen(&table) != 0) return 0;
    CredTabIterator it = nullptr;
    std::vector<CredTabRecord> records;
    if (CredTabBegin(table, &it) == 0) {
        CredTabRecord record{};
        while (CredTabNext(it, &record) == 1) records.push_back(record);
        CredTabEnd(it);
    }
    const char* password = nullptr;
    for (const CredTabRecord& r : records) {
        if (r.host && r.database && r.username) {
            CredTabGetPassword(table, r.host, r.port, r.database, r.username, &password);
        }
    }
    bool is_new = false;
    CredTabAddRecord(table, "h", 5432, "d", "u", "p", &is_new);
    if (!records.empty() && records[0].host && records[0].database && records[0].username) {
        const std::string host = records[0].host, db = records[0].database, user = records[0].username;
        CredTabRemoveRecord(table, host.c_str(), records[0].port, db.c_str(), user.c_str());
    }
    CredTabRemoveRecord(table, "h", 5432, "d", "u");
    CredTabClose(table);
    return 0;
}
