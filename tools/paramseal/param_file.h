#pragma once

// Encryption of the static KMS parameter file in place, with the host's KMS key.

#include <string>

namespace paramseal {

// Checks that `path` is a loadable key=value parameter file in plain text, then
// replaces it crash-safely with its encrypted form (zero-padded to whole cipher
// blocks; owner, group and mode kept). Returns 0 or a negative code; on failure
// the file is unchanged. A file holding a NUL or another control byte besides
// tab, CR and LF (such as a file encrypted before) is refused with ERR_FORMAT, a
// file with more than one hard link with ERR_INPUT_DATA, and `reason`, when
// given, receives a description for the user. Anything but a regular file is
// refused with ERR_OPEN_FILE.
int EncryptFile(const std::string& path, std::string* reason = nullptr);

}  // namespace paramseal
