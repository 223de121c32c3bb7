// pwseal: turns a password into the host-bound encrypted token "$enc$<Base64>"
// that configuration files may carry instead of the plain password.

#include <getopt.h>

#include <cstdint>
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "common/console_colour.h"
#include "common/common_routines.h"
#include "common/console_input.h"
#include "common/error_code.h"
#include "common/product_info.h"
#include "common/secure_buffer.h"
#include "credentials/credential_store.h"
#include "encryption_wrapper/encryption_wrapper.h"

namespace {

constexpr const char* kResetColour = console_colour::kReset;
using product_info::kSupportAddress;

struct ProgramExit {
    int status;
};

void PrintLine(const std::string& text) { std::cout << kResetColour << text << '\n'; }

[[noreturn]] void HelpAndExit(const std::string& prog) {
    PrintLine("The '" + prog + "' is utility to encrypt the password");
    PrintLine("\nUsage:");
    PrintLine("\t" + prog + " enc [OPTION]");
    PrintLine("\nOptions:");
    PrintLine("\t -s, --skip-confirm          manual input without confirmation");
    PrintLine("\t -W, --password <password>   password is entered as an argument");
    PrintLine("\nOther options:");
    PrintLine("\t -V, --version               output version information, then exit");
    PrintLine("\t -h, --help                  show this help, then exit");
    PrintLine(std::string("\nReport bugs to <") + kSupportAddress + ">.");
    throw ProgramExit{1};
}

[[noreturn]] void Fail(int code) {
    std::cout << kResetColour << "Error by password encryption" << " (" << ErrorCodeToStr(code)
              << ")\n";
    throw ProgramExit{1};
}

using credential_store::KeyMaterial;

// Encrypts `password` with the host's POSTGRESQL key and writes the token.
void Seal(const std::string& password) {
    int rc = EncryptionInitInstalled();
    if (rc != 0) Fail(rc);
    KeyMaterial material;
    std::vector<uint8_t>& key = material.key;
    std::vector<uint8_t>& iv = material.iv;
    rc = StoreDeriveKey(POSTGRESQL, key, iv);
    if (rc != 0) Fail(rc);
    int length = 0;
    rc = StoreEncryptPassword(password.data(), static_cast<int>(password.size()), nullptr, &length,
                              key.data(), iv.data());
    if (rc != 0) Fail(rc);
    // The token is printed with the terminating zero byte of the Base64 text.
    std::string token(static_cast<size_t>(length) + 1, '\0');
    rc = StoreEncryptPassword(password.data(), static_cast<int>(password.size()), token.data(),
                              &length, key.data(), iv.data());
    if (rc != 0) Fail(rc);
    std::cout << "$enc$";
    std::cout.write(token.data(), static_cast<std::streamsize>(token.size()));
}

int Run(int argc, char** argv) {
    static const option kLongOptions[] = {
        {"skip-confirm", no_argument, nullptr, 's'},
        {"password", required_argument, nullptr, 'W'},
        {"version", no_argument, nullptr, 'V'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    const std::string prog = argv[0];
    bool skip_confirm = false;
    std::string password;
    int c;
    while ((c = getopt_long(argc, argv, "sW:Vh", kLongOptions, nullptr)) != -1) {
        switch (c) {
            case 's': skip_confirm = true; break;
            case 'W':
                // Out of the command line that other users can read.
                password = optarg;
                common_routines::SecureWipe(optarg, password.size());
                break;
            case 'V':
                PrintLine(std::string("pwseal (") + product_info::kMaker + ") " + product_info::kFullVersion);
                return 0;
            default: HelpAndExit(prog);
        }
    }
    bool encrypt = false;
    for (int i = optind; i < argc; ++i) {
        if (std::string(argv[i]) != "enc") HelpAndExit(prog);
        encrypt = true;
    }
    if (!encrypt) {
        PrintLine("The \"" + prog + "\" is utility to encrypt the password");
        PrintLine("Try \"" + prog + " --help\" for more information");
        return 1;
    }

    common_routines::WipeOnExit wipe_password(password);
    if (password.empty()) {
        password = common_routines::GetSecret("enter password:");
        if (!skip_confirm) {
            std::string again = common_routines::GetSecret("enter password:");
            common_routines::WipeOnExit wipe_again(again);
            if (again != password) {
                PrintLine("The passwords entered do not match");
                return 1;
            }
        }
    }
    // The decrypted token ends at the first zero byte, and configuration files
    // are text: such a password would not come back as typed.
    if (!common_routines::IsStorableText(password)) {
        PrintLine("invalid password (should be valid UTF-8 text without zero bytes)");
        return 1;
    }
    Seal(password);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    // A core file would hold the typed password.
    common_routines::DisableCoreDumps();
    int status = 1;
    try {
        status = Run(argc, argv);
    } catch (const ProgramExit& e) {
        status = e.status;
    } catch (const common_routines::EndOfInput&) {
        PrintLine("input closed before the password was entered; nothing was encrypted");
        status = 1;
    } catch (const std::exception&) {
        std::cout << kResetColour << "Error by password encryption" << " (" << ErrorCodeToStr(ERR_EXCEPTION)
                  << ")\n";
        status = 1;
    }
    // The token is the result: output that could not be written is a failure.
    if (!common_routines::CloseStandardOutput()) {
        std::fputs("pwseal: could not write to standard output\n", stderr);
        status = 1;
    }
    return status;
}
