// libkmsremote from the staged install tree, loaded by kms_host, against two
// instances of the Vault double (vault_double.py). The KMS credentials file is
// written in this process with the same plug-in and host key; what the
// connector sent is read back from each double's request log.

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <netinet/in.h>
#include <arpa/inet.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <json/json.h>

#include "common/error_code.h"
#include "credentials/kms_credentials.h"
#include "test_support.h"
#include "vault_process.h"

namespace {

namespace fs = std::filesystem;

std::string PluginDir() { return testsupport::StagePrefix() + "/lib/aes"; }

Json::Value ParseJson(const std::string& text) {
    Json::Value value;
    Json::Reader reader;
    EXPECT_TRUE(reader.parse(text, value)) << text;
    return value;
}

// One running Vault double with its own state directory.
class VaultDouble {
public:
    explicit VaultDouble(std::string dir) : dir_(std::move(dir)), process_(dir_, NextControl(Json::objectValue)) {}

    int port() const { return process_.port(); }
    std::string address() const { return "127.0.0.1:" + std::to_string(port()); }
    std::string cert() const { return dir_ + "/cert.pem"; }

    // Replaces what the double does; it takes the new content over at its next request.
    void Control(const Json::Value& control) {
        testsupport::WriteFileOrDie(dir_ + "/control.json.tmp", NextControl(control));
        fs::rename(dir_ + "/control.json.tmp", dir_ + "/control.json");
    }

    // Marks the end of the request log; Requests() returns what came after it.
    void Mark() { mark_ = Log().size(); }
    std::vector<Json::Value> Requests() const {
        std::vector<Json::Value> requests;
        std::istringstream lines(Log().substr(mark_));
        for (std::string line; std::getline(lines, line);) requests.push_back(ParseJson(line));
        return requests;
    }
    int Count(const std::string& pathPrefix) const {
        int n = 0;
        for (const auto& r : Requests()) n += r["path"].asString().rfind(pathPrefix, 0) == 0;
        return n;
    }

private:
    std::string Log() const {
        std::ifstream in(dir_ + "/requests.jsonl");
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    // The control text with a new generation, by which the double sees a change.
    std::string NextControl(const Json::Value& control) {
        Json::Value c = control;
        c["generation"] = ++generation_;
        return Json::FastWriter().write(c);
    }

    std::string dir_;
    int generation_ = 0;
    size_t mark_ = 0;
    VaultProcess process_;
};

struct Entry {
    int port;
    KmsCredentialsType type = KMS_CREDENTIALS_USERPASS;
    std::string login = "dbserver";
    std::string secret = "pw 7\"q";
};

class KmsRemoteTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        scratch_ = new testsupport::ScratchDir();
        a_ = new VaultDouble(scratch_->MakeDir("a"));
        b_ = new VaultDouble(scratch_->MakeDir("b"));
        // A bound socket that never listens: connections to it are refused.
        refused_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        bind(refused_fd_, reinterpret_cast<sockaddr*>(&addr), len);
        getsockname(refused_fd_, reinterpret_cast<sockaddr*>(&addr), &len);
        refused_port_ = ntohs(addr.sin_port);
    }
    static void TearDownTestSuite() {
        delete a_;
        delete b_;
        delete scratch_;
        close(refused_fd_);
    }

    void SetUp() override {
        Json::Value control;
        control["users"]["dbserver"] = "pw 7\"q";
        control["roles"]["role-1"] = "secret-1";
        a_->Control(control);
        b_->Control(control);
        a_->Mark();
        b_->Mark();
    }

    // Writes the KMS credentials file for `entries` into a fresh directory.
    std::string Settings(const std::vector<Entry>& entries, KmsCredentialsDomain domain = KMS) {
        const std::string dir = scratch_->MakeDir("cfg" + std::to_string(++configs_));
        std::vector<KmsCredentialsItem> items;
        for (const auto& e : entries) items.push_back({"127.0.0.1", e.port, e.type, e.login, e.secret});
        EXPECT_EQ(0, KmsCredentialsSave(PluginDir().c_str(), "libcipherbox.so", nullptr, nullptr, domain,
                                        dir + "/" + kKmsCredentialsFileName, "cluster-7", items));
        return dir;
    }

    // Runs kms_host with the commands and returns its output lines, the log
    // lines reduced to "LEVEL: text".
    static std::vector<std::string> Host(const std::vector<std::string>& commands,
                                         std::map<std::string, std::string> env = {}) {
        testsupport::RunOptions o;
        o.argv = {testsupport::BuildDir() + "/tests/kms/kms_host/kms_host",
                  testsupport::StagePrefix() + "/lib/libkmsremote.so"};
        o.argv.insert(o.argv.end(), commands.begin(), commands.end());
        o.env = std::move(env);
        o.unset_env = {"VAULT_CACERT", "VAULT_CAPATH", "VAULT_NAMESPACE", "PG_PLUGINS_PATH"};
        const testsupport::RunResult r = testsupport::RunProgram(o);
        EXPECT_EQ(0, r.exit_code) << r.out << r.err;
        static const std::regex prefix(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \[\d+\] \S+:\d+ \(\w+\) )");
        std::vector<std::string> lines;
        std::istringstream in(r.out);
        for (std::string line; std::getline(in, line);) lines.push_back(std::regex_replace(line, prefix, ""));
        // Neither a login secret nor a token ever reaches a log line.
        for (const char* secret : {"pw 7", "secret-1", "hvs."}) {
            EXPECT_EQ(std::string::npos, r.out.find(secret)) << r.out;
            EXPECT_EQ(std::string::npos, r.err.find(secret)) << r.err;
        }
        return lines;
    }

    static std::string Init(const std::string& dir) { return "init " + dir + " " + PluginDir(); }

    static void ExpectLines(const std::vector<std::string>& expected, const std::vector<std::string>& actual) {
        // An expected line ending in '*' matches any line that begins with the rest.
        bool same = expected.size() == actual.size();
        for (size_t i = 0; same && i < expected.size(); ++i) {
            const std::string& e = expected[i];
            same = e.ends_with('*') ? actual[i].starts_with(e.substr(0, e.size() - 1)) : actual[i] == e;
        }
        std::string text;
        for (const auto& l : actual) text += l + "\n";
        EXPECT_TRUE(same) << "output:\n" << text;
    }

    static inline testsupport::ScratchDir* scratch_ = nullptr;
    static inline VaultDouble* a_ = nullptr;
    static inline VaultDouble* b_ = nullptr;
    static inline int refused_fd_ = -1;
    static inline int refused_port_ = 0;
    static inline int configs_ = 0;
};

const std::string kUnverified =
    "WARNING: The KMS server certificate is not verified: set VAULT_CACERT or VAULT_CAPATH to verify it.";

std::string Msg(int code) { return ErrorCodeToStr(code); }

std::string Quoted(const std::string& s) { return "\"" + s + "\""; }

Json::Value Rule(const std::string& method, const std::string& path, int times, const std::string& action,
                 int status = 200, const std::string& body = "{}") {
    Json::Value rule;
    if (!method.empty()) rule["method"] = method;
    rule["path"] = path;
    rule["times"] = times;
    rule["action"] = action;
    rule["status"] = status;
    rule["body"] = ParseJson(body);
    return rule;
}

// A "respond" rule whose body is `text` repeated `repeat` times, then `tail`.
Json::Value TextRule(const std::string& method, const std::string& path, const std::string& text, int repeat,
                     const std::string& tail, int status = 200, int times = -1) {
    Json::Value rule = Rule(method, path, times, "respond", status);
    rule["text"] = text;
    rule["repeat"] = repeat;
    rule["tail"] = tail;
    return rule;
}

// Deeper than the JSON reader's nesting limit.
constexpr int kDeepNesting = 1500;

// Server selection at Init: servers that are down, sealed, on standby or refuse
// the login are reported and skipped; a selection that fails leaves the
// connector uninitialised.
TEST_F(KmsRemoteTest, SelectionSkipsServersThatFailAndReportsThem) {
    const std::string A = a_->address(), B = b_->address();
    const std::string R = "127.0.0.1:" + std::to_string(refused_port_);
    const std::string started = "LOG: Selection of KMS is started.";
    auto connecting = [](const std::string& addr) { return "LOG: Connecting to KMS WEB address " + Quoted(addr) + " ..."; };
    auto unavailable = [](const std::string& addr, const std::string& why) {
        return "WARNING: KMS WEB address " + Quoted(addr) + ": KMS is unavailable. Error: -4 (" + why;
    };
    const std::string completedB = "LOG: Selection of KMS is completed successfully. KMS WEB address: " + Quoted(B);
    const std::string refusedLogin = "WARNING: KMS WEB address " + Quoted(A) +
                                     ": authentification is failed. Error: -4 (GetAuthTokenIfNeeded(): Login is "
                                     "refused. Response code: 400. Errors: invalid username or password. Error: " +
                                     Msg(-4) + ")";
    const std::string unusableToken = "WARNING: KMS WEB address " + Quoted(A) +
                                      ": authentification is failed. Error: -2 (GetAuthTokenIfNeeded(): Json body in "
                                      "response has wrong format. Some of parameters has wrong type or empty. Json "
                                      "Body: (withheld). Error: " + Msg(-2) + ")";
    struct Case {
        const char* name;
        std::vector<Entry> entries;
        Json::Value ruleA;  // null: none
        std::vector<std::string> expected;
        std::map<std::string, std::string> env = {};
    };
    const std::vector<Case> cases = {
        {"first down",
         {{refused_port_}, {b_->port()}},
         {},
         {started, kUnverified, connecting(R), unavailable(R, "DoRequest(): CURL request failed. Error: *"),
          connecting(B), completedB, "init 0", "isinit 0"}},
        {"first sealed",
         {{a_->port()}, {b_->port()}},
         Rule("GET", "/v1/sys/health", -1, "respond", 503, R"({"sealed":true})"),
         {started, kUnverified, connecting(A),
          unavailable(A, "CheckResponseCode(): Response code: 503. Error: " + Msg(-4) + ")"), connecting(B),
          completedB, "init 0", "isinit 0"}},
        {"first standby",
         {{a_->port()}, {b_->port()}},
         Rule("GET", "/v1/sys/health", -1, "respond", 429, R"({"standby":true})"),
         {started, kUnverified, connecting(A),
          unavailable(A, "CheckResponseCode(): Response code: 429. Error: " + Msg(-4) + ")"), connecting(B),
          completedB, "init 0", "isinit 0"}},
        {"first refuses the login",
         {{a_->port(), KMS_CREDENTIALS_USERPASS, "dbserver", "wrong"}, {b_->port()}},
         {},
         {started, kUnverified, connecting(A), refusedLogin, connecting(B), completedB, "init 0", "isinit 0"}},
        {"first answers the login without a usable token",
         {{a_->port()}, {b_->port()}},
         Rule("POST", "/v1/auth/", -1, "respond", 200, R"({"auth":{"client_token":7,"accessor":"hvs.x1"}})"),
         {started, kUnverified, connecting(A), unusableToken, connecting(B), completedB, "init 0", "isinit 0"}},
        {"first issues a token holding a line break",
         {{a_->port()}, {b_->port()}},
         Rule("POST", "/v1/auth/", -1, "respond", 200, R"({"auth":{"client_token":"hvs.x\r\nX-Other: 1"}})"),
         {started, kUnverified, connecting(A), unusableToken, connecting(B), completedB, "init 0", "isinit 0"}},
        {"first answers nested too deep",
         {{a_->port()}, {b_->port()}},
         TextRule("GET", "/v1/sys/health", "[", kDeepNesting, std::string(kDeepNesting, ']')),
         {started, kUnverified, connecting(A),
          "WARNING: KMS WEB address " + Quoted(A) +
              ": KMS is unavailable. Error: -2 (ParseResponse(): Json body in response parsing error. Json "
              "Body: [[*",
          connecting(B), completedB, "init 0", "isinit 0"}},
        // A valid answer, but larger than any answer of a key store: the transfer
        // is cut off instead of growing the database server's memory with it.
        {"first answers without end",
         {{a_->port()}, {b_->port()}},
         TextRule("GET", "/v1/sys/health", " ", 5 << 20, "{}"),
         {started, kUnverified, connecting(A),
          unavailable(A, "DoRequest(): CURL request failed. Error: The answer is longer than 4194304 bytes. Error: " +
                             Msg(-4) + ")"),
          connecting(B), completedB, "init 0", "isinit 0"}},
        {"none usable",
         {{a_->port(), KMS_CREDENTIALS_USERPASS, "dbserver", "wrong"}, {refused_port_}},
         {},
         {started, kUnverified, connecting(A), refusedLogin, connecting(R),
          unavailable(R, "DoRequest(): CURL request failed. Error: *"), "init -48", "isinit -47"}},
        {"empty list", {}, {}, {"init -48", "isinit -47"}},
        // It would end the namespace header and start others.
        {"line break in the namespace",
         {{a_->port()}},
         {},
         {started, kUnverified, "init -17", "isinit -47"},
         {{"VAULT_NAMESPACE", "team-a\r\nX-Vault-Token: hvs.other"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Json::Value control;
        control["users"]["dbserver"] = "pw 7\"q";
        if (!c.ruleA.isNull()) control["rules"].append(c.ruleA);
        a_->Control(control);
        ExpectLines(c.expected, Host({Init(Settings(c.entries)), "isinit"}, c.env));
    }
}

// A settings file that is missing, was encrypted for another key, or was
// changed fails Init before any server is contacted; Init may then be retried.
TEST_F(KmsRemoteTest, UnreadableSettingsFailInitAndInitCanBeRetried) {
    const std::string good = Settings({{a_->port()}});
    const std::string missing = scratch_->MakeDir("missing");
    const std::string foreign = Settings({{a_->port()}}, POSTGRESQL);
    const std::string tampered = Settings({{a_->port()}});
    {
        const std::string path = tampered + "/" + kKmsCredentialsFileName;
        std::string bytes = testsupport::ReadFileOrDie(path);
        bytes[5] ^= 0x20;
        testsupport::WriteFileOrDie(path, bytes, 0600);
    }
    struct Case {
        const char* name;
        std::string dir;
        std::string result;
    } cases[] = {{"missing", missing, "init " + std::to_string(ERR_FILE_NOT_FOUND)},
                 {"foreign", foreign, "init " + std::to_string(ERR_FORMAT)},
                 {"tampered", tampered, "init " + std::to_string(ERR_FORMAT)}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        a_->Mark();
        const auto lines = Host({Init(c.dir), "isinit", Init(good), "isinit"});
        ExpectLines({c.result, "isinit -47", "*", "*", "*", "*", "init 0", "isinit 0"}, lines);
        EXPECT_EQ(1, a_->Count("/v1/sys/health"));
    }
}

// What goes over the wire: login paths and bodies, the token header without a
// blank, the value path and the bodies of the three value operations, the
// namespace header, and one TLS connection for everything.
TEST_F(KmsRemoteTest, RequestsCarryTheExpectedPathsHeadersAndBodies) {
    struct Case {
        const char* name;
        Entry entry;
        std::string name_space;  // empty: VAULT_NAMESPACE unset
        std::string login_path;
        std::string login_body;
    } cases[] = {
        {"userpass", {a_->port()}, "team-a/db", "/v1/auth/userpass/login/dbserver", "{\"password\":\"pw 7\\\"q\"}\n"},
        {"approle", {a_->port(), KMS_CREDENTIALS_APPROLE, "role-1", "secret-1"}, "",
         "/v1/auth/approle/login", "{\"role_id\":\"role-1\",\"secret_id\":\"secret-1\"}\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        a_->Control(ParseJson(R"({"users":{"dbserver":"pw 7\"q"},"roles":{"role-1":"secret-1"},"kv":{}})"));
        a_->Mark();
        std::map<std::string, std::string> env;
        if (!c.name_space.empty()) env["VAULT_NAMESPACE"] = c.name_space;
        const auto lines = Host({Init(Settings({c.entry})), "set kv1 c-9 master key-a value one", "get kv1 c-9 master key-a",
                                 "cas kv1 c-9 master key-b v\\2", "cas kv1 c-9 master key-b v3",
                                 "get kv1 c-9 master key-c"},
                                env);
        ExpectLines({"*", "*", "*", "*", "init 0", "set 0", "get 0 value one", "cas 0", "cas -5", "get -3"}, lines);

        const auto requests = a_->Requests();
        ASSERT_EQ(8u, requests.size());
        const std::string value_path = "/v1/kv/data/kv1/c-9/master/";
        const std::vector<std::vector<std::string>> expected = {
            {"GET", "/v1/sys/health", ""},
            {"POST", c.login_path, c.login_body},
            {"POST", value_path + "key-a", "{\"data\":{\"value\":\"value one\"}}\n"},
            // kms_host asks for the length first, then fetches.
            {"GET", value_path + "key-a", ""},
            {"GET", value_path + "key-a", ""},
            {"POST", value_path + "key-b", "{\"data\":{\"value\":\"v\\\\2\"},\"options\":{\"cas\":\"0\"}}\n"},
            {"POST", value_path + "key-b", "{\"data\":{\"value\":\"v3\"},\"options\":{\"cas\":\"0\"}}\n"},
            {"GET", value_path + "key-c", ""},
        };
        std::set<int> connections;
        for (size_t i = 0; i < requests.size(); ++i) {
            const Json::Value& r = requests[i];
            connections.insert(r["conn"].asInt());
            EXPECT_EQ(expected[i][0], r["method"].asString()) << i;
            EXPECT_EQ(expected[i][1], r["path"].asString()) << i;
            EXPECT_EQ(expected[i][2], r["body"].asString()) << i;
            int tokens = 0, namespaces = 0;
            for (const auto& h : r["headers"]) {
                const std::string line = h.asString();
                if (line.starts_with("X-Vault-Token")) {
                    ++tokens;
                    EXPECT_TRUE(line.starts_with("X-Vault-Token:hvs.")) << line;
                }
                if (line.starts_with("X-Vault-Namespace")) {
                    ++namespaces;
                    EXPECT_EQ("X-Vault-Namespace: " + c.name_space, line);
                }
            }
            // Health check and login go without a token, every value request with one.
            EXPECT_EQ(i >= 2 ? 1 : 0, tokens) << i;
            EXPECT_EQ(c.name_space.empty() ? 0 : 1, namespaces) << i;
        }
        EXPECT_EQ(1u, connections.size());
    }
}

// Names reach the server as path parts whatever they hold: what is not an
// unreserved URL character is percent-encoded (the server decodes it), and a
// "." or ".." part, which would lead the request out of the key-value store, is
// refused before anything is sent.
TEST_F(KmsRemoteTest, NamesAreEscapedInPathsAndDotPartsRefused) {
    a_->Control(ParseJson(R"({"users":{"db@srv+1":"pw 7\"q"},"kv":{}})"));
    a_->Mark();
    Entry entry{a_->port()};
    entry.login = "db@srv+1";
    const auto lines = Host({Init(Settings({entry})), "set kv1 c/9 m k?x#y%z&w=1 v1", "get kv1 c/9 m k?x#y%z&w=1",
                             "get kv1 c-9 .. key", "set kv1 ../../sys policy key v", "cas kv1 c-9 m/. key v"});
    ExpectLines({"*", "*", "*", "*", "init 0", "set 0", "get 0 v1", "get -17", "set -17", "cas -17"}, lines);
    std::vector<std::string> paths;
    for (const auto& r : a_->Requests()) paths.push_back(r["path"].asString());
    const std::string value = "/v1/kv/data/kv1/c/9/m/k%3Fx%23y%25z%26w%3D1";
    EXPECT_EQ(paths, (std::vector<std::string>{"/v1/sys/health", "/v1/auth/userpass/login/db%40srv%2B1", value,
                                               value, value}));
}

// Answers to value requests: which ones fail over to a new selection, which log
// in again, and which fail at once, in the status-200 forms and in the forms a
// real Vault server sends.
TEST_F(KmsRemoteTest, FailureAnswersLeadToFailoverReloginOrImmediateResult) {
    const std::string denied = R"({"errors":["permission denied"]})";
    const std::string cas = R"({"errors":["check-and-set parameter did not match the current version"]})";
    struct Case {
        const char* name;
        Json::Value rule;  // null: none (the double answers like Vault)
        std::string command;
        std::string result;
        int health;  // selections, Init's included
        int logins;
    };
    const std::string get = "get d c s k";
    const std::vector<Case> cases = {
        {"missing key, 404", {}, "get d c s nothing", "get -3", 1, 1},
        {"value found", {}, get, "get 0 stored value", 1, 1},
        {"unavailable once", Rule("GET", "/v1/kv/", 1, "respond", 503, "{}"), get, "get 0 stored value", 2, 2},
        // Every transfer of the value request fails (libcurl itself retries a
        // reused connection once, so a count of failures would be its business).
        {"transfer always fails", Rule("GET", "/v1/kv/", -1, "close"), get, "get -48", 3, 3},
        {"server error three times", Rule("GET", "/v1/kv/", 3, "respond", 500, R"({"errors":["internal"]})"), get,
         "get -48", 3, 3},
        {"4xx that is not Vault's", Rule("GET", "/v1/kv/", 3, "respond", 400, R"(["x"])"), get, "get -48", 3, 3},
        {"token refused once, 403", Rule("GET", "/v1/kv/", 1, "respond", 403, denied), get, "get 0 stored value", 1, 2},
        {"token refused twice, 403", Rule("GET", "/v1/kv/", 2, "respond", 403, denied), get, "get -41", 1, 2},
        {"token refused twice, 200", Rule("GET", "/v1/kv/", 2, "respond", 200, denied), get, "get -41", 1, 2},
        {"other refusal, 400", Rule("GET", "/v1/kv/", 1, "respond", 400, R"({"errors":["invalid path"]})"), get,
         "get -4", 1, 1},
        {"cas conflict, 200", Rule("POST", "/v1/kv/", 1, "respond", 200, cas), "cas d c s new x", "cas -5", 1, 1},
        {"cas conflict, 400", {}, "cas d c s k x", "cas -5", 1, 1},
        {"Init found no server, the request selects again",
         Rule("GET", "/v1/sys/health", 1, "respond", 503, "{}"), get, "get 0 stored value", 2, 1},
        // A standby after a change of leader: the next selection finds the active server.
        {"redirected once", TextRule("GET", "/v1/kv/", "<a href=\"https://10.0.0.9:8200/\">Temporary Redirect</a>.", 1,
                                     "\n", 307, 1),
         get, "get 0 stored value", 2, 2},
        {"value answer nested too deep", TextRule("GET", "/v1/kv/", "[", kDeepNesting, std::string(kDeepNesting, ']')),
         get, "get -2", 1, 1},
        {"set without created_time", Rule("POST", "/v1/kv/", 1, "respond", 200, R"({"data":{}})"), "set d c s k x",
         "set -2", 1, 1},
    };
    const std::string dir = Settings({{a_->port()}});
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Json::Value control = ParseJson(R"({"users":{"dbserver":"pw 7\"q"},"kv":{"d/c/s/k":"stored value"}})");
        if (!c.rule.isNull()) control["rules"].append(c.rule);
        a_->Control(control);
        a_->Mark();
        const auto lines = Host({Init(dir), c.command});
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(c.result, lines.back());
        EXPECT_EQ(c.health, a_->Count("/v1/sys/health"));
        EXPECT_EQ(c.logins, a_->Count("/v1/auth/"));
    }
}

// A child created by fork after Init builds its own connection; the parent's
// connection stays usable (no new handshake for the parent).
TEST_F(KmsRemoteTest, ForkedChildUsesItsOwnConnection) {
    a_->Control(ParseJson(R"({"users":{"dbserver":"pw 7\"q"},"kv":{"d/c/s/k":"v-1"}})"));
    a_->Mark();
    const auto lines = Host({Init(Settings({{a_->port()}})), "get d c s k", "fork-get d c s k", "wait", "get d c s k"});
    ExpectLines({"*", "*", "*", "*", "init 0", "get 0 v-1", "fork-get started", "child get 0 v-1", "wait 0", "get 0 v-1"},
                lines);
    const auto requests = a_->Requests();
    // Health check, login, then two requests per get (length, then value).
    ASSERT_EQ(8u, requests.size());
    const int parent = requests[0]["conn"].asInt();
    EXPECT_EQ(parent, requests[3]["conn"].asInt());
    EXPECT_NE(parent, requests[4]["conn"].asInt());  // the child
    EXPECT_EQ(requests[4]["conn"].asInt(), requests[5]["conn"].asInt());
    EXPECT_EQ(parent, requests[6]["conn"].asInt());
    EXPECT_EQ(parent, requests[7]["conn"].asInt());
}

// With VAULT_CACERT (or VAULT_CAPATH) the server must present a certificate
// that chains to it; an untrusted server gets no request at all, so no login is
// ever sent to it.
TEST_F(KmsRemoteTest, CertificateIsVerifiedWhenCertificatesAreNamed) {
    const std::string dir = Settings({{a_->port()}});
    const std::string ca_dir = scratch_->MakeDir("ca");
    fs::copy_file(a_->cert(), ca_dir + "/double-a.pem");
    ASSERT_EQ(0, std::system(("openssl rehash " + ca_dir + " >/dev/null 2>&1").c_str()));
    struct Case {
        const char* name;
        std::string variable;
        std::string ca;
        std::string result;
        size_t requests;
    } cases[] = {{"trusted file", "VAULT_CACERT", a_->cert(), "init 0", 2},
                 {"untrusted file", "VAULT_CACERT", b_->cert(), "init -48", 0},
                 {"trusted directory", "VAULT_CAPATH", ca_dir, "init 0", 2}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        a_->Mark();
        const auto lines = Host({Init(dir)}, {{c.variable, c.ca}});
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(c.result, lines.back());
        for (const auto& l : lines) EXPECT_NE(kUnverified, l);
        EXPECT_EQ(c.requests, a_->Requests().size());
    }
}

}  // namespace
