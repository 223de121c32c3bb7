// keyforge: prints a new random key for the installed encryption plug-in as
// Base64 text. Takes no arguments and touches no files.

#include <cstdio>
#include <exception>
#include <string>

#include "common/console_colour.h"
#include "common/base64.h"
#include "common/common_routines.h"
#include "common/error_code.h"
#include "common/secure_buffer.h"
#include "encryption_wrapper/encryption_wrapper.h"

namespace {

using console_colour::kGreen;
using console_colour::kRed;
using console_colour::PrintLine;

int Fail(const char* what, int code) {
    PrintLine(kRed, std::string(what) + " Error: " + std::to_string(code) + " (" + ErrorCodeToStr(code) + ")");
    return code;
}

int GenerateAndPrintKey() {
    int rc = EncryptionInitInstalled();
    if (rc != ERR_NONE) {
        return Fail("Could not initialize encryption plugin.", rc);
    }
    int keySize = -1;
    rc = EncryptionGetKeySize(&keySize);
    if (rc != ERR_NONE) {
        return Fail("Could not get size of encryption key.", rc);
    }
    common_routines::SecureBuffer key(static_cast<size_t>(keySize), 0);
    rc = EncryptionGenerateKey(key.data(), keySize);
    if (rc != ERR_NONE) {
        return Fail("Could not generate encryption key.", rc);
    }
    // Both texts carry the key; they are built without reallocation and wiped.
    std::string encoded = common_routines::base64_encode(key.data(), key.size());
    std::string text = "Key was generated successfully. Key: ";
    text.reserve(text.size() + encoded.size());
    text += encoded;
    common_routines::SecureWipe(encoded);
    PrintLine(kGreen, text);
    common_routines::SecureWipe(text);
    return ERR_NONE;
}

}  // namespace

int main() {
    // A core file would hold the key.
    common_routines::DisableCoreDumps();
    int status = console_colour::RunReportingExceptions(GenerateAndPrintKey);
    // The key line is the result: output that could not be written is a failure.
    if (!common_routines::CloseStandardOutput()) {
        std::fprintf(stderr, "keyforge: could not write to standard output (%s)\n",
                     ErrorCodeToStr(ERR_WRITE_FILE));
        if (status == ERR_NONE) status = ERR_WRITE_FILE;
    }
    return status;
}
