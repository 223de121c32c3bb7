// paramseal: encrypts the static KMS parameter file /etc/postgres/
// kms_static_params.cfg in place with the host's KMS key, so that libkeydepot
// can read it on this host only. Arguments are ignored.


#include <cstdio>
#include <exception>
#include <string>

#include "common/console_colour.h"
#include "common/common_routines.h"
#include "common/error_code.h"
#include "encryption_wrapper/encryption_wrapper.h"
#include "param_file.h"

namespace {

using console_colour::kGreen;
using console_colour::kRed;
using console_colour::PrintLine;

int Fail(const std::string& what, int code) {
    PrintLine(kRed, what + " Error: " + std::to_string(code) + " (" + ErrorCodeToStr(code) + ")");
    return code;
}

int EncryptStaticParams() {
    int rc = EncryptionInitInstalled();
    if (rc != ERR_NONE) return Fail("Could not initialize encryption plugin.", rc);

    const std::string path = common_routines::JoinPath("/etc/postgres", "kms_static_params.cfg");
    PrintLine(kGreen, "Start to encrypt file: " + path);
    std::string reason;
    rc = paramseal::EncryptFile(path, &reason);
    if (rc != ERR_NONE) {
        if (!reason.empty()) PrintLine(kRed, reason);
        return Fail("Could not encrypt file.", rc);
    }
    PrintLine(kGreen, "File " + path + " was encrypted successfully");
    return ERR_NONE;
}

}  // namespace

int main() {
    // The process holds the plain parameters and the host key: no core dump,
    // also not through a core handler that ignores the size limit.
    common_routines::DisableCoreDumps();
    return console_colour::RunReportingExceptions(EncryptStaticParams);
}
