#pragma once

// Encryption of the static KMS parameter file in place, with the host's KMS key.

#include <string>

namespace paramseal {

// Checks that `path` is a loadable key=value parameter file in plain text, then
// replaces it crash-safely with its encrypted form (zero-padded to whole cipher
// blocks; owner, group and mode kept). Returns 0 or a negative code; on failure
// the file is unchanged. A file holding a NUL or another control byte besides
// tab, CR and LF (such as a file encrypted before) is refused with ERR_FORMAT and
// `reason`, when given, receives a description for the user.
int EncryptFile(const std::string& path, std::string* reason = nullptr);

}  // namespace paramseal
