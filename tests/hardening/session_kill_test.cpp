// snaprover's detached session killed with SIGKILL at each stage of a backup
// (while backup mode is being started, while it is held, while it is being
// stopped): the next backup starts once the server has let go of the dead
// session's connection, the killed backup is recorded as failed, and the
// history stays a readable list. The server is PostgreSQL 15 with the backup
// functions the program calls defined over the new ones, slowed down where a
// stage has to last long enough to be caught.

#include <gtest/gtest.h>
#include <json/json.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <regex>
#include <string>
#include <thread>

#include "pg_server.h"
#include "../backup/session_probe.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using testsupport::RunResult;

const char* const kUser = "bkp";
const char* const kPassword = "bkp-secret";

using session_probe::BackupFunctions;

// Polls a state the programs change (history file, server's list of
// connections, process table).
bool WaitUntil(const std::function<bool()>& done) {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!done()) {
        if (std::chrono::steady_clock::now() > limit) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

class SessionKill : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "needs root for the server and the mount namespace";
        server_ = std::make_unique<testsupport::PgServer>();
        server_->CreateRole(kUser, kPassword, "LOGIN SUPERUSER");
    }

    RunResult Snap(const std::string& action, const std::string& session, const std::string& database) const {
        testsupport::RunOptions o;
        o.argv = {testsupport::StagedProgram("snaprover"), action, "-B", dir_, "--host", "127.0.0.1", "-p",
                  std::to_string(server_->port()), "-d", database, "-U", kUser, "--password", kPassword,
                  "--session-id", session};
        o.binds = {{etc_, "/etc/postgres"}};
        o.env = {{"PGHOME", scratch_.path()}};
        o.unset_env = {"PG_PLUGINS_PATH", "PGPASSWORD", "PGPASSFILE"};
        o.timeout = std::chrono::seconds(120);
        return testsupport::Run(o);
    }

    // Newest state recorded for `session` ("" when none, also while no history exists).
    std::string StateOf(const std::string& session) const {
        try {
            return session_probe::NewestState(testsupport::ReadFileOrDie(dir_ + "/backup_state"), session);
        } catch (...) {
            return "";
        }
    }
    static pid_t SessionProcess(const std::string& session) { return session_probe::SessionProcess(session); }

    bool SessionConnected() const {
        return server_->Sql("SELECT count(*) FROM pg_stat_activity WHERE application_name = 'backup_session';") !=
               "0\n";
    }

    testsupport::ScratchDir scratch_;
    std::string etc_ = scratch_.MakeDir("etc");
    std::string dir_ = scratch_.MakeDir("label");
    std::unique_ptr<testsupport::PgServer> server_;
};

TEST_F(SessionKill, KilledSessionIsRecordedAsFailedByTheNextBackup) {
    struct Stage {
        std::string name;
        int start_delay;
        int stop_delay;
    };
    int n = 0;
    for (const Stage& stage : {Stage{"starting", 3, 0}, Stage{"started", 0, 0}, Stage{"stopping", 0, 3}}) {
        const std::string database = "db" + std::to_string(++n);
        server_->CreateDatabase(database, kUser);
        server_->Sql(BackupFunctions(stage.start_delay, stage.stop_delay), database);
        const std::string killed = "K" + std::to_string(n);

        ASSERT_EQ(Snap("start", killed, database).exit_code, 0) << stage.name;
        if (stage.name != "starting") {
            ASSERT_EQ(Snap("wait-start", killed, database).exit_code, 0) << stage.name;
        }
        std::thread stopper;
        RunResult stop;
        if (stage.name == "stopping") stopper = std::thread([&] { stop = Snap("stop", killed, database); });
        ASSERT_TRUE(WaitUntil([&] { return StateOf(killed) == stage.name; })) << stage.name;
        const pid_t session = SessionProcess(killed);
        ASSERT_GT(session, 0) << stage.name;
        ASSERT_EQ(kill(session, SIGKILL), 0);
        if (stopper.joinable()) {
            stopper.join();
            EXPECT_EQ(stop.exit_code, 1) << stop.out << stop.err;
        }
        ASSERT_TRUE(WaitUntil([&] { return SessionProcess(killed) < 0 && !SessionConnected(); })) << stage.name;

        const std::string next = "N" + std::to_string(n);
        const RunResult started = Snap("start", next, database);
        EXPECT_EQ(started.exit_code, 0) << stage.name << "\n" << started.err;
        EXPECT_EQ(Snap("wait-start", next, database).exit_code, 0) << stage.name;
        EXPECT_EQ(StateOf(killed), "failed") << stage.name;
        EXPECT_EQ(StateOf(next), "started") << stage.name;
        Json::Value history;
        EXPECT_TRUE(Json::Reader().parse(testsupport::ReadFileOrDie(dir_ + "/backup_state"), history) &&
                    history.isArray())
            << stage.name;
        for (const auto& e : fs::directory_iterator(dir_)) {
            EXPECT_EQ(e.path().filename().string().find(".tmp"), std::string::npos) << e.path();
        }

        // The next backup's session goes too (SIGTERM, as an operator would).
        const pid_t other = SessionProcess(next);
        ASSERT_GT(other, 0);
        kill(other, SIGTERM);
        ASSERT_TRUE(WaitUntil([&] { return SessionProcess(next) < 0 && !SessionConnected(); })) << stage.name;
    }
}

}  // namespace
