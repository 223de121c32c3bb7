#include "param_file.h"

#include "common/common_routines.h"
#include "common/config_utils.h"
#include "common/error_code.h"
#include "common/secure_buffer.h"
#include "credentials/credential_store.h"

namespace paramseal {

namespace {

// Offset of the first byte that plain parameter text cannot hold, or npos.
size_t FirstNonTextByte(const std::string& text) {
    for (size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if ((c < 0x20 && c != '\t' && c != '\n' && c != '\r') || c == 0x7f) return i;
    }
    return std::string::npos;
}

// The file's plain text, wiped when it goes out of scope.
struct PlainText {
    std::string text;
    ~PlainText() { common_routines::SecureWipe(text); }
};

}  // namespace

int EncryptFile(const std::string& path, std::string* reason) {
    {
        // Refuses what is no valid parameter file; the parsed values are not used.
        common_routines::ConfigUtils config(path);
        const common_routines::ErrorResult loaded = config.LoadConfigFile(true);
        if (loaded && loaded->first < 0) return loaded->first;
    }
    PlainText content;
    const int rc = common_routines::ReadFile(path, content.text);
    if (rc != ERR_NONE) return rc;

    // Encrypted data carries no marker, but it is not text: encrypting it a second
    // time would leave a file the KMS connector can no longer open.
    const size_t bad = FirstNonTextByte(content.text);
    if (bad != std::string::npos) {
        if (reason != nullptr) {
            *reason = "File " + path + " is not a plain text parameter file (control byte at offset " +
                      std::to_string(bad) + "); it may be encrypted already and is left unchanged";
        }
        return ERR_FORMAT;
    }
    // The zero bytes that pad the text to whole cipher blocks would become part of a
    // last value that has no line end: end the text with a line feed.
    if (!content.text.empty() && content.text.back() != '\n') content.text.push_back('\n');
    return StoreWriteFile(KMS, path, content.text);
}

}  // namespace paramseal
