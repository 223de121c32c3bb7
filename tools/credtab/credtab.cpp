// credtab: view and edit the encrypted database credentials table and check that
// the stored passwords open a connection.

#include <getopt.h>
#include <libpq-fe.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "common/console_colour.h"
#include "common/common_routines.h"
#include "common/console_input.h"
#include "common/error_code.h"
#include "common/product_info.h"
#include "common/secure_buffer.h"
#include "credentials/cred_tab.h"
#include "encryption_wrapper/encryption_wrapper.h"

namespace {

constexpr const char* kResetColour = console_colour::kReset;
using console_colour::kGreen;
using console_colour::kRed;
using product_info::kSupportAddress;

enum Action { kNoAction = 0, kShow = 1, kAdd = 2, kRemove = 3, kReset = 4, kCheck = 5 };

struct Settings {
    std::string host;
    uint32_t port = 0;
    // The -p argument as given, and whether it is a TCP port number (0...65535).
    std::string port_text;
    bool port_usable = true;
    std::string username;
    std::string database;
    bool skip_confirm = false;
    Action action = kNoAction;
};

Settings g_settings;

// Ends the program with `status` after the stack (and with it an open table) is
// unwound.
struct ProgramExit {
    int status;
};

void PrintLine(const std::string& text) { std::cout << kResetColour << text << '\n'; }

void PrintColoured(const char* colour, const std::string& text) {
    std::cout << colour << text << kResetColour << '\n';
}

[[noreturn]] void ExitWithError(int code, const std::string& message) {
    std::cout << kResetColour << message << " (" << ErrorCodeToStr(code) << ")\n" << std::flush;
    throw ProgramExit{1};
}

void PrintHelp(const char* prog) {
    const std::string p = prog;
    PrintLine("credtab - view and edit encrypted postgres credentials");
    PrintLine("Usage: ");
    PrintLine("\t" + p + " show | add | remove | check | reset [options...]");
    PrintLine("Options:");
    PrintLine("\t--host         [-h]  host for which password will be used");
    PrintLine("\t--port         [-p]  port for which password will be used");
    PrintLine("\t--user         [-U]  user name for which password will be used");
    PrintLine("\t--database     [-d]  database for which password will be used");
    PrintLine("\t--skip-confirm [-s]  manual input without confirmation");
    PrintLine("\t--help               show this help, then exit");
    PrintLine("The '" + p + "' utility is used to securely save password information");
    PrintLine(std::string("for internal ") + product_info::kMaker + " utilities");
    PrintLine("the concept is simular to .pgpass, except this utility encrypts password information");
    PrintLine(std::string("Report bugs to <") + kSupportAddress + ">.");
}

[[noreturn]] void HelpAndExit(const char* prog, int status) {
    PrintHelp(prog);
    throw ProgramExit{status};
}

// Converts like std::stoi and keeps the value as the unsigned port of a record
// (a negative number wraps, as records written that way carry it). `usable`
// tells whether it is a TCP port number at all.
bool ParsePort(const char* text, uint32_t& port, bool& usable) {
    int32_t value = 0;
    if (!common_routines::ParsePortText(text, value)) return false;
    port = static_cast<uint32_t>(value);
    usable = value >= 0 && value <= 65535;
    return true;
}

void ParseCommandLine(int argc, char** argv) {
    static const option kLongOptions[] = {
        {"host", required_argument, nullptr, 'h'},
        {"port", required_argument, nullptr, 'p'},
        {"username", required_argument, nullptr, 'U'},
        {"database", required_argument, nullptr, 'd'},
        {"skip-confirm", no_argument, nullptr, 's'},
        {"version", no_argument, nullptr, 'v'},
        {"help", no_argument, nullptr, 1},
        {nullptr, 0, nullptr, 0},
    };
    const char* prog = argv[0];
    int c;
    while ((c = getopt_long(argc, argv, "svh:p:U:d:?", kLongOptions, nullptr)) != -1) {
        switch (c) {
            case 'h': g_settings.host = optarg; break;
            case 'p':
                if (!ParsePort(optarg, g_settings.port, g_settings.port_usable)) {
                    PrintLine(std::string("invalid port value (should be integer): ") + optarg);
                    throw ProgramExit{1};
                }
                g_settings.port_text = optarg;
                break;
            case 'U': g_settings.username = optarg; break;
            case 'd': g_settings.database = optarg; break;
            case 's': g_settings.skip_confirm = true; break;
            case 'v':
                PrintLine(std::string("credtab (") + product_info::kMaker + ") " + product_info::kFullVersion);
                throw ProgramExit{0};
            case 1: HelpAndExit(prog, 0);
            default: HelpAndExit(prog, 1);
        }
    }
    for (int i = optind; i < argc; ++i) {
        const std::string word = argv[i];
        if (word == "show") g_settings.action = kShow;
        else if (word == "add") g_settings.action = kAdd;
        else if (word == "remove") g_settings.action = kRemove;
        else if (word == "reset") g_settings.action = kReset;
        else if (word == "check") g_settings.action = kCheck;
        else HelpAndExit(prog, 1);
    }
    if (g_settings.action == kNoAction) HelpAndExit(prog, 1);
}

void ValidateArgs() {
    bool missing = false;
    if (g_settings.host.empty()) {
        PrintLine("undefined host (use -h <host>)");
        missing = true;
    }
    if (g_settings.port == 0) {
        PrintLine("undefined port (use -p <port>)");
        missing = true;
    }
    if (g_settings.username.empty()) {
        PrintLine("undefined username (use -U <username>)");
        missing = true;
    }
    if (g_settings.database.empty()) {
        PrintLine("undefined database (use -d <database>)");
        missing = true;
    }
    if (missing) throw ProgramExit{1};
}

// A record's text member, or "" when the stored member was not a string.
const char* Text(const char* s) { return s != nullptr ? s : ""; }

bool FilterRecord(const CredTabRecord& record) {
    if (!g_settings.host.empty() && g_settings.host != Text(record.host)) return false;
    if (g_settings.port != 0 && g_settings.port != record.port) return false;
    if (!g_settings.username.empty() && g_settings.username != Text(record.username)) return false;
    if (!g_settings.database.empty() && g_settings.database != Text(record.database)) return false;
    return true;
}

// The table library looks for the encryption plug-in only where PG_PLUGINS_PATH
// points. Without that variable the plug-in installed beside this program is
// loaded first; the table's own initialisation then finds it loaded. A failure
// here is not reported: the table's initialisation reports its own.
void LoadInstalledPlugin() {
    EncryptionInitInstalled();
}

// The open table; closed (and its lock released) when the action ends in any way.
class OpenTable {
public:
    OpenTable() {
        LoadInstalledPlugin();
        int rc = CredTabOpen(&table_);
        if (rc != 0) {
            table_ = nullptr;
            ExitWithError(rc, "cannot load credtab");
        }
    }
    ~OpenTable() { CredTabClose(table_); }
    OpenTable(const OpenTable&) = delete;
    OpenTable& operator=(const OpenTable&) = delete;
    CredTabHandle get() const { return table_; }

private:
    CredTabHandle table_ = nullptr;
};

// One pass over the table's records.
class Iteration {
public:
    explicit Iteration(const OpenTable& table) {
        int rc = CredTabBegin(table.get(), &it_);
        if (rc != 0) {
            it_ = nullptr;
            ExitWithError(rc, "cannot iterate over config");
        }
    }
    ~Iteration() {
        if (it_ != nullptr) CredTabEnd(it_);
    }
    Iteration(const Iteration&) = delete;
    Iteration& operator=(const Iteration&) = delete;

    // Next record that passes the filter; false at the end.
    bool Next(CredTabRecord& record) {
        for (;;) {
            int rc = CredTabNext(it_, &record);
            if (rc < 0) ExitWithError(rc, "cannot iterate over config");
            if (rc == 0) return false;
            if (FilterRecord(record)) return true;
        }
    }

private:
    CredTabIterator it_ = nullptr;
};

std::string PadLeft(const std::string& value, size_t width) {
    return value.size() >= width ? value : std::string(width - value.size(), ' ') + value;
}

std::string Row(const std::string& host, const std::string& port, const std::string& database,
                const std::string& username, const size_t (&widths)[4]) {
    return "|" + PadLeft(host, widths[0]) + " |" + PadLeft(port, widths[1]) + " |" +
           PadLeft(database, widths[2]) + " |" + PadLeft(username, widths[3]) + " |\n";
}

void Show() {
    OpenTable table;
    size_t widths[4] = {10, 10, 10, 10};
    {
        Iteration it(table);
        CredTabRecord record;
        while (it.Next(record)) {
            widths[0] = std::max(widths[0], std::strlen(Text(record.host)));
            widths[1] = std::max(widths[1], std::to_string(record.port).size());
            widths[2] = std::max(widths[2], std::strlen(Text(record.database)));
            widths[3] = std::max(widths[3], std::strlen(Text(record.username)));
        }
    }
    Iteration it(table);
    std::string out = Row("host", "port", "database", "username", widths);
    out += "|" + std::string(widths[0] + widths[1] + widths[2] + widths[3] + 7, '-') + "|\n";
    CredTabRecord record;
    while (it.Next(record)) {
        out += Row(Text(record.host), std::to_string(record.port), Text(record.database),
                   Text(record.username), widths);
    }
    std::cout << out;
}

std::string RecordText() {
    return "user: \"" + g_settings.username + "\", host: \"" + g_settings.host + "\", port: \"" +
           std::to_string(g_settings.port) + "\", database: \"" + g_settings.database + "\"";
}

void RefuseUnstorable(const std::string& name, const std::string& value) {
    if (common_routines::IsStorableText(value)) return;
    PrintLine("invalid " + name + " value (should be valid UTF-8 text)");
    throw ProgramExit{1};
}

void Add() {
    ValidateArgs();
    // A record whose port no server can listen on would never open a
    // connection; such a port is refused before anything is asked or stored.
    if (!g_settings.port_usable) {
        PrintLine("invalid port value (should be integer): " + g_settings.port_text);
        throw ProgramExit{1};
    }
    // The table is a JSON document: text that is not UTF-8 would be stored
    // other than given, and a zero byte would cut the password short.
    RefuseUnstorable("host", g_settings.host);
    RefuseUnstorable("username", g_settings.username);
    RefuseUnstorable("database", g_settings.database);
    std::string password = common_routines::GetSecret("enter password:");
    common_routines::WipeOnExit wipe_password(password);
    if (!common_routines::IsStorableText(password)) {
        PrintLine("invalid password (should be valid UTF-8 text without zero bytes)");
        throw ProgramExit{1};
    }
    if (!g_settings.skip_confirm) {
        std::string confirmation = common_routines::GetSecret("confirm password:");
        common_routines::WipeOnExit wipe_confirmation(confirmation);
        if (confirmation != password) {
            PrintLine("The passwords entered do not match");
            throw ProgramExit{1};
        }
    }
    PrintLine("Going to add auth record for " + RecordText());
    bool is_new = false;
    {
        OpenTable table;
        int rc = CredTabAddRecord(table.get(), g_settings.host.c_str(), g_settings.port,
                                  g_settings.database.c_str(), g_settings.username.c_str(),
                                  password.c_str(), &is_new);
        common_routines::SecureWipe(password);
        if (rc != 0) ExitWithError(rc, "cannot add auth record");
        rc = CredTabSave(table.get());
        if (rc != 0) ExitWithError(rc, "cannot save auth record");
    }
    PrintLine(is_new ? "new record added" : "record updated");
}

void Remove() {
    ValidateArgs();
    if (!g_settings.skip_confirm && !common_routines::YesNo("Do you want to remove auth record?")) return;
    PrintLine("Going to remove auth record for " + RecordText());
    {
        OpenTable table;
        int rc = CredTabRemoveRecord(table.get(), g_settings.host.c_str(), g_settings.port,
                                     g_settings.database.c_str(), g_settings.username.c_str());
        if (rc != 0) ExitWithError(rc, "cannot remove auth record");
        rc = CredTabSave(table.get());
        if (rc != 0) ExitWithError(rc, "cannot save auth record");
    }
    PrintLine("record removed");
}

void Reset() {
    if (!g_settings.skip_confirm && !common_routines::YesNo("Do you want to reset credtab?")) return;
    if (CredTabReset() != 0) {
        std::perror("could not reset credtab");
        ExitWithError(-1, "reset failed");
    }
    PrintLine("Credtab was reset");
}

// Connection to one record's server; finished when it goes out of scope.
class Connection {
public:
    Connection(const std::string& host, uint32_t port, const std::string& database,
               const std::string& username, const char* password) {
        const std::string port_text = std::to_string(port);
        const char* keywords[8];
        const char* values[8];
        int n = 0;
        keywords[n] = "dbname";
        values[n++] = database.c_str();
        if (database == "replication") {
            keywords[n] = "replication";
            values[n++] = "true";
        }
        keywords[n] = "fallback_application_name";
        values[n++] = "credtab";
        keywords[n] = "host";
        values[n++] = host.c_str();
        keywords[n] = "user";
        values[n++] = username.c_str();
        keywords[n] = "port";
        values[n++] = port_text.c_str();
        keywords[n] = "password";
        values[n++] = password;
        keywords[n] = nullptr;
        values[n] = nullptr;
        conn_ = PQconnectdbParams(keywords, values, 1);
    }
    ~Connection() { PQfinish(conn_); }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    bool ok() const { return conn_ != nullptr && PQstatus(conn_) == CONNECTION_OK; }
    std::string error() const { return conn_ != nullptr ? PQerrorMessage(conn_) : "out of memory"; }

private:
    PGconn* conn_ = nullptr;
};

// One record to check, taken out of the table.
struct CheckItem {
    std::string host;
    uint32_t port = 0;
    std::string database;
    std::string username;
    bool found = false;
    common_routines::SecureString password;
};

void Check() {
    // The records and passwords are taken out first and the table is closed
    // before any server is contacted: a server that never answers would
    // otherwise keep the table locked, and every editor and backup that needs
    // a password waiting, for as long as the connection attempt lasts.
    std::vector<CheckItem> items;
    {
        OpenTable table;
        Iteration it(table);
        CredTabRecord record;
        while (it.Next(record)) {
            CheckItem& item = items.emplace_back();
            item.host = Text(record.host);
            item.port = record.port;
            item.database = Text(record.database);
            item.username = Text(record.username);
            const char* password = nullptr;
            item.found = CredTabGetPassword(table.get(), item.host.c_str(), item.port, item.database.c_str(),
                                            item.username.c_str(), &password) == 0;
            if (item.found) item.password.assign(password);
        }
    }
    bool failed = false;
    for (const CheckItem& item : items) {
        const std::string port = std::to_string(item.port);
        if (!item.found) {
            PrintColoured(kRed, "Could not get auth record for: \"" + item.host + "\", port \"" + port +
                                    "\", database \"" + item.database + "\", user \"" + item.username + "\"");
            failed = true;
            continue;
        }
        Connection conn(item.host, item.port, item.database, item.username, item.password.c_str());
        if (!conn.ok()) {
            PrintColoured(kRed, "Could not connect with host: \"" + item.host + "\", port \"" + port +
                                    "\", database \"" + item.database + "\", user \"" + item.username +
                                    "\", msg \"" + conn.error() + "\"");
            failed = true;
        } else {
            PrintColoured(kGreen, "Connection settings for host: \"" + item.host + "\", port \"" + port +
                                      "\", database \"" + item.database + "\", user \"" + item.username +
                                      "\" are OK");
        }
    }
    if (failed) ExitWithError(-1, "Failed check for some records");
    if (items.empty()) PrintLine("Nothing to check");
}

}  // namespace

int main(int argc, char** argv) {
    // A core file would hold the typed password.
    common_routines::DisableCoreDumps();
    try {
        ParseCommandLine(argc, argv);
        switch (g_settings.action) {
            case kShow: Show(); break;
            case kAdd: Add(); break;
            case kRemove: Remove(); break;
            case kReset: Reset(); break;
            case kCheck: Check(); break;
            case kNoAction: break;
        }
    } catch (const ProgramExit& e) {
        std::cout << std::flush;
        return e.status;
    } catch (const common_routines::EndOfInput&) {
        PrintLine("input closed before an answer was given; nothing was changed");
        std::cout << std::flush;
        return 1;
    } catch (const std::exception& e) {
        std::cout << kResetColour << "unexpected failure: " << e.what() << " ("
                  << ErrorCodeToStr(ERR_EXCEPTION) << ")\n" << std::flush;
        return 1;
    }
    std::cout << std::flush;
    return 0;
}
