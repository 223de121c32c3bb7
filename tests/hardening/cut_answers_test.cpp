// libkmsremote, loaded by kms_host, against a Vault double that sends the
// status line, the headers and half the body of an answer and then closes the
// connection: a cut login makes the selection fail, a value answer cut once
// is fetched again after a new selection, one cut every time ends in "KMS is
// unavailable"; the process never crashes and no part of a cut answer (the
// token, the value) or the login secret reaches a printed line.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "credentials/kms_credentials.h"
#include "encryption_wrapper/encryption_wrapper.h"
#include "pg_server.h"
#include "test_support.h"
#include "../backup/session_probe.h"
#include "../kms/kmsremote/vault_process.h"

namespace {

TEST(CutAnswers, ConnectionClosedMidAnswerIsAFailedExchange) {
    const std::string lib = testsupport::StagePrefix() + "/lib";
    ASSERT_EQ(0, EncryptionInit((lib + "/aes").c_str(), "libcipherbox.so", nullptr, nullptr));
    testsupport::ScratchDir scratch;
    const std::string state = scratch.MakeDir("vault");
    VaultProcess vault(state, "{}");
    const std::string config = scratch.MakeDir("config");
    ASSERT_EQ(0, KmsCredentialsSave(nullptr, nullptr, nullptr, nullptr, KMS, config + "/" + kKmsCredentialsFileName,
                                    "cluster-7", {{"127.0.0.1", vault.port(), KMS_CREDENTIALS_USERPASS, "dbserver",
                                                   "Login-Secret-4431"}}));
    struct Case {
        std::string rule;
        std::vector<std::string> expected;  // result lines of init and get
    };
    const std::vector<Case> cases = {
        {R"({"method": "POST", "path": "/v1/auth/", "times": -1, "action": "cut"})", {"init -48", "get -48"}},
        {R"({"method": "GET", "path": "/v1/kv/", "times": 1, "action": "cut"})", {"init 0", "get 0 Value-Secret-2207"}},
        {R"({"method": "GET", "path": "/v1/kv/", "times": -1, "action": "cut"})", {"init 0", "get -48"}},
    };
    for (const Case& c : cases) {
        testsupport::WriteFileOrDie(state + "/control.json.tmp",
                                    R"({"users": {"dbserver": "Login-Secret-4431"}, "kv": {"d/c/s/k": )"
                                    R"("Value-Secret-2207"}, "rules": [)" + c.rule + "]}");
        std::rename((state + "/control.json.tmp").c_str(), (state + "/control.json").c_str());
        testsupport::RunOptions o;
        o.argv = {testsupport::BuildDir() + "/tests/kms/kms_host/kms_host", lib + "/libkmsremote.so",
                  "init " + config + " " + lib + "/aes", "get d c s k"};
        o.unset_env = {"VAULT_CACERT", "VAULT_CAPATH", "VAULT_NAMESPACE", "PG_PLUGINS_PATH"};
        o.timeout = std::chrono::seconds(120);
        const testsupport::RunResult r = testsupport::Run(o);
        EXPECT_EQ(r.exit_code, 0) << c.rule << "\n" << r.out << r.err;
        std::vector<std::string> results;
        size_t from = 0;
        for (size_t end; (end = r.out.find('\n', from)) != std::string::npos; from = end + 1) {
            const std::string line = r.out.substr(from, end - from);
            if (line.rfind("init ", 0) == 0 || line.rfind("get ", 0) == 0) results.push_back(line);
        }
        EXPECT_EQ(results, c.expected) << c.rule << "\n" << r.out;
        const std::string printed = r.out + r.err;
        EXPECT_EQ(printed.find("Login-Secret-4431"), std::string::npos) << c.rule << "\n" << printed;
        EXPECT_EQ(printed.find("hvs."), std::string::npos) << c.rule << "\n" << printed;
        const size_t value_lines = c.expected.back() == "get 0 Value-Secret-2207" ? 1 : 0;
        size_t value_seen = 0;
        for (size_t at = 0; (at = printed.find("Value-Secret", at)) != std::string::npos; ++at) ++value_seen;
        EXPECT_EQ(value_seen, value_lines) << c.rule << "\n" << printed;
    }
}

// snaprover on a standby asks the Patroni fake for the leader while the stop
// waits; the fake sends the headers and half the cluster document and closes
// the connection. ping_master logs the failure, the backup still completes
// with a whole label, and the history records it as completed.
TEST(CutAnswers, PatroniAnswerCutWhileTheStandbyStops) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root for the server and the mount namespace";
    testsupport::PgServer server;
    server.CreateRole("bkp", "bkp-secret", "LOGIN SUPERUSER");
    server.CreateDatabase("standby", "bkp");
    server.Sql(session_probe::BackupFunctions() +
               "CREATE FUNCTION public.pg_is_in_recovery() RETURNS boolean LANGUAGE sql AS $$ SELECT true $$;\n"
               "ALTER DATABASE standby SET search_path = public, pg_catalog;",
               "standby");
    testsupport::ScratchDir scratch;
    const std::string etc = scratch.MakeDir("etc");
    const std::string label = scratch.MakeDir("label");
    const std::string fake_dir = scratch.MakeDir("patroni");
    const std::string members = "{\"members\": [{\"name\": \"n1\", \"role\": \"leader\", \"host\": "
                                "\"127.0.0.1\", \"port\": " + std::to_string(server.port()) + "}]}";
    testsupport::WriteFileOrDie(fake_dir + "/answer", "cut\n" + members);
    const session_probe::PatroniFake fake(fake_dir);
    ASSERT_FALSE(fake.port().empty());
    const std::string& patroni_port = fake.port();
    auto snap = [&](const std::string& action) {
        testsupport::RunOptions o;
        o.argv = {testsupport::StagedProgram("snaprover"), action, "-B", label, "--host", "127.0.0.1", "-p",
                  std::to_string(server.port()), "-d", "standby", "-U", "bkp", "--password", "bkp-secret",
                  "--session-id", "C1", "--patroni-port", patroni_port};
        o.binds = {{etc, "/etc/postgres"}};
        o.env = {{"PGHOME", scratch.path()}};
        o.unset_env = {"PG_PLUGINS_PATH", "PGPASSWORD", "PGPASSFILE"};
        o.timeout = std::chrono::seconds(120);
        return testsupport::Run(o);
    };
    ASSERT_EQ(snap("start").exit_code, 0);
    ASSERT_EQ(snap("wait-start").exit_code, 0);
    const testsupport::RunResult stop = snap("stop");
    EXPECT_EQ(stop.exit_code, 0) << stop.out << stop.err;
    EXPECT_EQ(testsupport::ReadFileOrDie(fake_dir + "/requests"), "/cluster\n");
    const std::string log = testsupport::ReadFileOrDie(label + "/snapwarden.log");
    EXPECT_NE(log.find(" - C1 - ERROR - GET http://127.0.0.1:" + patroni_port + "/cluster failed: "), std::string::npos)
        << log;
    EXPECT_NE(log.find("  failure raised in ping_master\n"), std::string::npos) << log;
    EXPECT_EQ(log.find("connect: "), std::string::npos) << log;
    EXPECT_NE(testsupport::ReadFileOrDie(label + "/backup_label").find("START TIMELINE: 1\n"), std::string::npos);
    EXPECT_EQ(session_probe::NewestState(testsupport::ReadFileOrDie(label + "/backup_state"), "C1"), "completed");
}

}  // namespace
