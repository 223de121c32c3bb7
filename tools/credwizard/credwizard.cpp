// credwizard: asks the operator for the PostgreSQL HA cluster identifier and the
// KMS endpoints with their logins, and writes them encrypted with the host key
// to /etc/postgres/enc_connection_settings.cfg.

#include <getopt.h>

#include <iostream>
#include <string>
#include <vector>

#include "common/console_colour.h"
#include "common/common_routines.h"
#include "common/console_routines.h"
#include "common/error_code.h"
#include "common/secure_buffer.h"
#include "credentials/kms_credentials.h"
#include "encryption_wrapper/encryption_wrapper.h"

namespace {

using console_routines::GetLine;

// The menus of the dialogue; an option's number is the value it stands for.
const console_routines::Menu kDomainMenu = {
    {KMS, KmsCredentialsDomainToStr(KMS)},
    {POSTGRESQL, KmsCredentialsDomainToStr(POSTGRESQL)},
    {AUTH_TOKEN, KmsCredentialsDomainToStr(AUTH_TOKEN)},
};
const console_routines::Menu kTypeMenu = {
    {KMS_CREDENTIALS_USERPASS, KmsCredentialsTypeToStr(KMS_CREDENTIALS_USERPASS)},
    {KMS_CREDENTIALS_APPROLE, KmsCredentialsTypeToStr(KMS_CREDENTIALS_APPROLE)},
};

using console_colour::kCyan;
using console_colour::kGreen;
using console_colour::kRed;
constexpr const char* kResetColour = console_colour::kReset;
constexpr const char* kDirectory = "/etc/postgres";
constexpr const char* kFileName = "enc_connection_settings.cfg";

void PrintHelp(const std::string& prog) {
    static const char* const kLines[] = {
        "Usage: ",
        "\t<prog> <option>...",
        "Options:",
        "\t--help     [-h]     This help",
        "",
        "The '<prog>' utility is used to cipher and save",
        "a set of KMS access credentials in file with destination path",
        "'/etc/postgres/enc_connection_settings.cfg'.",
        "",
        "The utility runs in interactive mode.",
        "Example of running:",
        "\tPress Ctrl+C to exit",
        "\tChoose credentials domain:",
        "\t1. KMS",
        "\t2. POSTGRESQL",
        "\t1",
        "\tEnter PostgreSQL cluster ID:",
        "\t2",
        "\tEnter IP address:",
        "\t192.168.10.21",
        "\tEnter port:",
        "\t8200",
        "\tChoose credentials type:",
        "\t1. Userpass Auth Method",
        "\t2. AppRole Auth Method",
        "\t1",
        "\tEnter login:",
        "\tlogin",
        "\tEnter password:",
        "\t******",
        "\tConfirm password:",
        "\t******",
        "\tDo you want to add another KMS credentials? (yes/no)?:",
        "\tno",
        "\tCredentials for KMS has been set successfully",
        "",
        "The utility uses following prompts queries:",
        "* Choose credentials domain",
        "\tSpecify one of the options:",
        "\t1. KMS - for encrypting KMS access credentials;",
        "\t2. POSTGRESQL - for encrypting configuration parameters of PostgreSQL HA cluster.",
        "* Enter PostgreSQL cluster ID",
        "\tSpecify an identifier of PostgreSQL HA cluster.",
        "* Enter IP address",
        "  Enter port",
        "\tSpecify KMS connection parameters.",
        "* Choose credentials type",
        "\tSpecify one of the options:",
        // Each method with its own description (the two were once swapped).
        "\t1. Userpass Auth Method - allows users to authenticate with KMS using a username and password combination;",
        "\t2. AppRole Auth Method - allows machines or apps to authenticate with KMS-defined roles.",
        "* Enter login/role ID",
        "  Enter password/secret ID",
        "  Confirm password/secret ID",
        "\tSpecify credentials to authenticate with KMS.",
    };
    for (std::string line : kLines) {
        for (size_t pos; (pos = line.find("<prog>")) != std::string::npos;) line.replace(pos, 6, prog);
        std::cout << kResetColour << line << '\n';
    }
    std::cout << std::flush;
}

// The file is a JSON document: text that is not UTF-8 would be stored other
// than typed.
constexpr const char* kNotUtf8 = "line should be valid UTF-8 text";

// Reports an input error; the question is then asked again.
void InputError(const std::string& text) {
    console_colour::PrintLine(kRed, text);
}

bool QuotedAtEnd(const std::string& s) {
    auto quote = [](char c) { return c == '\'' || c == '"'; };
    return quote(s.front()) || quote(s.back());
}

std::string AskClusterId() {
    for (;;) {
        std::string id = GetLine("Enter PostgreSQL cluster ID:");
        if (id.empty()) {
            InputError("line is empty");
        } else if (!common_routines::IsStorableText(id)) {
            InputError(kNotUtf8);
        } else if (QuotedAtEnd(id)) {
            InputError("line should not contain quotes at the beginning or at the end");
        } else {
            return id;
        }
    }
}

std::string AskAddress() {
    for (;;) {
        std::string address = GetLine("Enter IP address:");
        if (address.empty()) {
            InputError("line is empty");
        } else if (!common_routines::IsIpAddressValid(address.c_str())) {
            InputError("IP address has wrong format: " + address);
        } else {
            return address;
        }
    }
}

int AskPort() {
    for (;;) {
        std::string answer = GetLine("Enter port:");
        if (answer.empty()) {
            InputError("line is empty");
            continue;
        }
        int32_t port = 0;
        if (!common_routines::ParsePortText(answer, port)) {
            InputError("Port has wrong format: " + answer);
            continue;
        }
        if (!common_routines::IsPortValid(port)) {
            InputError("Port number is out of range: " + std::to_string(port));
            continue;
        }
        return port;
    }
}

// Asks for the login name or role ID until one is usable; stores it in `out`.
void AskLogin(int type, common_routines::SecureString& out) {
    const std::string prompt = std::string("Enter ") + console_routines::FirstCredToStr(type) + ":";
    for (;;) {
        std::string login = GetLine(prompt);
        common_routines::WipeOnExit wipe_login(login);
        if (login.empty()) {
            InputError("line is empty");
        } else if (!common_routines::IsStorableText(login)) {
            InputError(kNotUtf8);
        } else {
            out.assign(login);
            return;
        }
    }
}

// Asks for the secret and its confirmation until both agree; stores it in `out`.
void AskSecret(int type, common_routines::SecureString& out) {
    const std::string name = console_routines::SecondCredToStr(type);
    for (;;) {
        std::string secret = console_routines::GetSecret("Enter " + name + ":");
        common_routines::WipeOnExit wipe_secret(secret);
        if (secret.empty()) {
            InputError("line is empty");
            continue;
        }
        if (!common_routines::IsStorableText(secret)) {
            InputError(name + " should be valid UTF-8 text without zero bytes");
            continue;
        }
        std::string confirmation = console_routines::GetSecret("Confirm " + name + ":");
        common_routines::WipeOnExit wipe_confirmation(confirmation);
        if (confirmation == secret) {
            out.assign(secret);
            return;
        }
        InputError(name + "s mismatch");
    }
}

// An endpoint as entered. Its login and secret are SecureStrings, so the list
// of entries may grow freely: what a reallocation or the end of the dialogue
// releases is wiped.
struct Entry {
    std::string address;
    int32_t port = 0;
    KmsCredentialsType type = KMS_CREDENTIALS_TYPE_UNDEFINED;
    common_routines::SecureString login;
    common_routines::SecureString secret;
};

// The items to save, built at their final size (no reallocation leaves a copy
// behind); their logins and secrets are wiped however the save ends.
class SaveItems {
public:
    // Delegating to the default constructor makes the object whole before the
    // copies start, so the destructor wipes them also when a copy fails.
    explicit SaveItems(const std::vector<Entry>& entries) : SaveItems() {
        items_.reserve(entries.size());
        for (const Entry& entry : entries) {
            items_.emplace_back();
            KmsCredentialsItem& item = items_.back();
            item.address = entry.address;
            item.port = entry.port;
            item.type = entry.type;
            item.login.assign(entry.login.view());
            item.secret.assign(entry.secret.view());
        }
    }
    SaveItems() = default;
    ~SaveItems() { KmsCredentialsWipeItems(items_); }
    SaveItems(const SaveItems&) = delete;
    SaveItems& operator=(const SaveItems&) = delete;

    const std::vector<KmsCredentialsItem>& items() const { return items_; }

private:
    std::vector<KmsCredentialsItem> items_;
};

int RunDialogue() {
    std::cout << kCyan << "Press Ctrl+C to exit" << kResetColour << '\n' << std::flush;
    const std::string path = common_routines::JoinPath(kDirectory, kFileName);

    const int domain = console_routines::ChooseOption("Choose credentials domain:", kDomainMenu);
    const std::string cluster_id = AskClusterId();

    std::vector<Entry> entries;
    for (;;) {
        Entry& entry = entries.emplace_back();
        entry.address = AskAddress();
        entry.port = AskPort();
        const int type = console_routines::ChooseOption("Choose credentials type:", kTypeMenu);
        entry.type = static_cast<KmsCredentialsType>(type);
        AskLogin(type, entry.login);
        AskSecret(type, entry.secret);
        if (!console_routines::YesNo("Do you want to add another KMS credentials?")) break;
    }

    const auto kms_domain = static_cast<KmsCredentialsDomain>(domain);
    // The save looks for the encryption plug-in only where PG_PLUGINS_PATH
    // points; without that variable the plug-in installed beside this program is
    // loaded first. A failure here is left for the save to report.
    EncryptionInitInstalled();
    const SaveItems items(entries);
    int rc = KmsCredentialsSave(nullptr, nullptr, nullptr, nullptr, kms_domain, path, cluster_id, items.items());
    if (rc != 0) {
        std::cout << kRed << "Error: " << ErrorCodeToStr(rc) << kResetColour << '\n' << std::flush;
        return rc;
    }
    std::cout << kGreen << "Credentials for " << KmsCredentialsDomainToStr(kms_domain)
              << " has been set successfully" << kResetColour << '\n'
              << std::flush;
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    static const option kLongOptions[] = {
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    // A core file would hold the typed secrets.
    common_routines::DisableCoreDumps();
    // Any option at all, known or not, shows the help.
    if (getopt_long(argc, argv, "h", kLongOptions, nullptr) != -1) {
        PrintHelp(argv[0]);
        return 0;
    }
    return console_colour::RunReportingExceptions(RunDialogue);
}
