// credtab, run from the staged install tree with a scratch directory bound over
// /etc/postgres; the check action runs against a real PostgreSQL server.

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "pg_server.h"
#include "test_support.h"

namespace {

using testsupport::RunResult;

const std::string R = "\33[0m";

class Credtab : public ::testing::Test {
protected:
    testsupport::ScratchDir scratch_;
    std::string etc_ = scratch_.MakeDir("etc");
    std::string prog_ = testsupport::StagedProgram("credtab");

    std::string TablePath() const { return etc_ + "/enc_utils_auth_settings.cfg"; }

    testsupport::RunOptions Options(std::vector<std::string> args,
                                    std::optional<std::string> input = std::nullopt) const {
        testsupport::RunOptions o;
        o.argv = {prog_};
        o.argv.insert(o.argv.end(), args.begin(), args.end());
        o.stdin_data = std::move(input);
        o.binds = {{etc_, "/etc/postgres"}};
        o.unset_env = {"PG_PLUGINS_PATH"};
        return o;
    }

    RunResult Run(std::vector<std::string> args, std::optional<std::string> input = std::nullopt) const {
        return testsupport::Run(Options(std::move(args), std::move(input)));
    }

    // Adds a record without confirmation, the password read from standard input.
    void Add(const std::string& host, const std::string& port, const std::string& db,
             const std::string& user, const std::string& password, const std::string& expected) const {
        RunResult r = Run({"add", "-s", "-h", host, "-p", port, "-d", db, "-U", user}, password + "\n");
        ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
        EXPECT_NE(r.out.find(R + expected + "\n"), std::string::npos) << r.out;
    }

    std::string Help() const {
        return R + "credtab - view and edit encrypted postgres credentials\n" +
               R + "Usage: \n" +
               R + "\t" + prog_ + " show | add | remove | check | reset [options...]\n" +
               R + "Options:\n" +
               R + "\t--host         [-h]  host for which password will be used\n" +
               R + "\t--port         [-p]  port for which password will be used\n" +
               R + "\t--user         [-U]  user name for which password will be used\n" +
               R + "\t--database     [-d]  database for which password will be used\n" +
               R + "\t--skip-confirm [-s]  manual input without confirmation\n" +
               R + "\t--help               show this help, then exit\n" +
               R + "The '" + prog_ + "' utility is used to securely save password information\n" +
               R + "for internal ZurezovEVA VO utilities\n" +
               R + "the concept is simular to .pgpass, except this utility encrypts password information\n" +
               R + "Report bugs to <support@dover-or-04.ru>.\n";
    }
};

const std::string kHeader10 =
    "|      host |      port |  database |  username |\n"
    "|-----------------------------------------------|\n";

TEST_F(Credtab, HelpVersionAndBadCommandLines) {
    RunResult version = Run({"-v"});
    EXPECT_EQ(version.exit_code, 0);
    EXPECT_EQ(version.out, R + "credtab (ZurezovEVA VO) 4.6.0 (11.14)\n");

    RunResult help = Run({"--help"});
    EXPECT_EQ(help.exit_code, 0);
    EXPECT_EQ(help.out, Help());

    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{"-?"}, {}, {"list"}, {"show", "extra"}, {"show", "-x"}, {"-h", "h"}}) {
        RunResult r = Run(args);
        EXPECT_EQ(r.exit_code, 1) << testing::PrintToString(args);
        EXPECT_EQ(r.out, Help()) << testing::PrintToString(args);
    }
    // Nothing is created by a command line that is refused.
    EXPECT_NE(access(TablePath().c_str(), F_OK), 0);
}

TEST_F(Credtab, PortValues) {
    RunResult bad = Run({"show", "-p", "abc"});
    EXPECT_EQ(bad.exit_code, 1);
    EXPECT_EQ(bad.out, R + "invalid port value (should be integer): abc\n");

    RunResult too_long = Run({"show", "-p", "99999999999"});
    EXPECT_EQ(too_long.exit_code, 1);
    EXPECT_EQ(too_long.out, R + "invalid port value (should be integer): 99999999999\n");

    // Negative and over-large numbers are no ports: add refuses them before it
    // asks for a password, so no record that can never connect is stored.
    for (const char* port : {"-5", "65536"}) {
        RunResult r = Run({"add", "-s", "-h", "h", "-p", port, "-d", "d", "-U", "u"}, "pw\n");
        EXPECT_EQ(r.exit_code, 1) << port;
        EXPECT_EQ(r.out, R + "invalid port value (should be integer): " + port + "\n");
    }
    EXPECT_NE(access(TablePath().c_str(), F_OK), 0);
    // Still usable as filters, so records stored with such a port can be listed
    // and removed.
    for (const char* port : {"-5", "65536"}) {
        RunResult shown = Run({"show", "-p", port});
        EXPECT_EQ(shown.exit_code, 0) << port;
        EXPECT_EQ(shown.out, kHeader10) << port;
    }

    // Trailing characters are ignored and leading blanks skipped.
    Add("h", "12x", "d", "u", "pw", "new record added");
    RunResult shown = Run({"show", "--port", " 12"});
    EXPECT_EQ(shown.exit_code, 0);
    EXPECT_EQ(shown.out, kHeader10 + "|         h |        12 |         d |         u |\n");

    // The highest TCP port is a port like any other.
    Add("h", "65535", "d", "u", "pw", "new record added");
    RunResult highest = Run({"show", "-p", "65535"});
    EXPECT_EQ(highest.exit_code, 0);
    EXPECT_EQ(highest.out, kHeader10 + "|         h |     65535 |         d |         u |\n");
}

TEST_F(Credtab, MissingRecordValuesAreListedInOrder) {
    RunResult none = Run({"add"});
    EXPECT_EQ(none.exit_code, 1);
    EXPECT_EQ(none.out, R + "undefined host (use -h <host>)\n" + R + "undefined port (use -p <port>)\n" + R +
                            "undefined username (use -U <username>)\n" + R +
                            "undefined database (use -d <database>)\n");

    // Checked before any password is asked for; port 0 counts as not given.
    RunResult only_db = Run({"add", "-h", "h", "-p", "5432", "-U", "u"}, "secret\n");
    EXPECT_EQ(only_db.exit_code, 1);
    EXPECT_EQ(only_db.out, R + "undefined database (use -d <database>)\n");

    RunResult remove = Run({"remove", "-d", "d", "-p", "0", "-s"});
    EXPECT_EQ(remove.exit_code, 1);
    EXPECT_EQ(remove.out, R + "undefined host (use -h <host>)\n" + R + "undefined port (use -p <port>)\n" + R +
                              "undefined username (use -U <username>)\n");
    EXPECT_NE(access(TablePath().c_str(), F_OK), 0);
}

TEST_F(Credtab, AddUpdateAndShow) {
    RunResult empty = Run({"show"});
    EXPECT_EQ(empty.exit_code, 0);
    EXPECT_EQ(empty.out, kHeader10);

    RunResult added = Run({"add", "-h", "h1", "-p", "5432", "-d", "db1", "-U", "u1"}, "first-pw\nfirst-pw\n");
    EXPECT_EQ(added.exit_code, 0) << added.out;
    EXPECT_EQ(added.out, "\33[33menter password:\33[0m\n********\n\33[33mconfirm password:\33[0m\n********\n" +
                             R + "Going to add auth record for user: \"u1\", host: \"h1\", port: \"5432\", database: \"db1\"\n" +
                             R + "new record added\n");

    Add("h1", "5432", "db1", "u1", "second-pw", "record updated");
    Add("h1", "5432", "db1", "u2", "", "new record added");
    // Abbreviated long options.
    RunResult abbreviated = Run({"add", "--skip", "--ho", "a-very-long-host-name.example", "--po", "6543",
                                 "--data", "warehouse", "--user", "reporting_user"},
                                "x\n");
    EXPECT_EQ(abbreviated.exit_code, 0) << abbreviated.out;

    RunResult all = Run({"show"});
    EXPECT_EQ(all.exit_code, 0);
    // Host column 29 wide, username column 14 wide, the others at their minimum.
    const std::string sp(25, ' ');
    EXPECT_EQ(all.out,
              "|" + sp + "host |      port |  database |" + std::string(6, ' ') + "username |\n"
              "|" + std::string(29 + 10 + 10 + 14 + 7, '-') + "|\n"
              "|" + sp + "  h1 |      5432 |       db1 |" + std::string(12, ' ') + "u1 |\n"
              "|" + sp + "  h1 |      5432 |       db1 |" + std::string(12, ' ') + "u2 |\n"
              "|a-very-long-host-name.example |      6543 | warehouse |reporting_user |\n");
    for (const char* secret : {"first-pw", "second-pw"}) EXPECT_EQ(all.out.find(secret), std::string::npos);

    // Filters compare exactly; options not given match everything.
    RunResult by_user = Run({"show", "-U", "u2"});
    EXPECT_EQ(by_user.out, kHeader10 + "|        h1 |      5432 |       db1 |        u2 |\n");
    RunResult by_port = Run({"show", "-p", "6543", "-h", "a-very-long-host-name.example"});
    EXPECT_NE(by_port.out.find("warehouse"), std::string::npos);
    EXPECT_EQ(by_port.out.find("db1"), std::string::npos);
    RunResult no_match = Run({"show", "-h", "H1"});
    EXPECT_EQ(no_match.out, kHeader10);

    // The table on disk is encrypted: neither passwords nor names are readable.
    std::string raw = testsupport::ReadFileOrDie(TablePath());
    for (const char* text : {"second-pw", "db1", "reporting_user"}) EXPECT_EQ(raw.find(text), std::string::npos);
}

TEST_F(Credtab, AddRefusesMismatchAndClosedInput) {
    RunResult mismatch = Run({"add", "-h", "h", "-p", "1", "-d", "d", "-U", "u"}, "one\ntwo\n");
    EXPECT_EQ(mismatch.exit_code, 1);
    EXPECT_NE(mismatch.out.find(R + "The passwords entered do not match\n"), std::string::npos);

    // Input closed before the confirmation is complete: nothing is stored.
    RunResult closed = Run({"add", "-h", "h", "-p", "1", "-d", "d", "-U", "u"}, "one\non");
    EXPECT_EQ(closed.exit_code, 1);
    EXPECT_NE(closed.out.find(R + "input closed before an answer was given; nothing was changed\n"),
              std::string::npos);
    EXPECT_EQ(closed.out.find("Going to add"), std::string::npos);

    RunResult nothing = Run({"add", "-s", "-h", "h", "-p", "1", "-d", "d", "-U", "u"});
    EXPECT_EQ(nothing.exit_code, 1);
    EXPECT_EQ(Run({"show"}).out, kHeader10);
}

TEST_F(Credtab, RemoveAsksUnlessSkipped) {
    Add("h", "1", "d", "u1", "p", "new record added");
    Add("h", "1", "d", "u2", "p", "new record added");
    Add("h", "1", "d", "u3", "p", "new record added");

    RunResult declined = Run({"remove", "-h", "h", "-p", "1", "-d", "d", "-U", "u1"}, "maybe\nN\n");
    EXPECT_EQ(declined.exit_code, 0);
    EXPECT_EQ(declined.out, "\33[33mDo you want to remove auth record? (yes/no)?: \33[0m\n"
                            "\33[33mPlease type 'yes' or 'no': \33[0m\n");

    RunResult accepted = Run({"remove", "-h", "h", "-p", "1", "-d", "d", "-U", "u1"}, "yes\n");
    EXPECT_EQ(accepted.exit_code, 0);
    EXPECT_EQ(accepted.out, "\33[33mDo you want to remove auth record? (yes/no)?: \33[0m\n" + R +
                                "Going to remove auth record for user: \"u1\", host: \"h\", port: \"1\", database: \"d\"\n" +
                                R + "record removed\n");

    RunResult skipped = Run({"remove", "-s", "-h", "h", "-p", "1", "-d", "d", "-U", "u3"});
    EXPECT_EQ(skipped.exit_code, 0);
    EXPECT_NE(skipped.out.find(R + "record removed\n"), std::string::npos);

    const std::string before = testsupport::ReadFileOrDie(TablePath());
    RunResult missing = Run({"remove", "-s", "-h", "h", "-p", "1", "-d", "d", "-U", "u1"});
    EXPECT_EQ(missing.exit_code, 1);
    EXPECT_NE(missing.out.find(R + "cannot remove auth record (object is not found)\n"), std::string::npos);
    EXPECT_EQ(testsupport::ReadFileOrDie(TablePath()), before);

    EXPECT_EQ(Run({"show"}).out, kHeader10 + "|         h |         1 |         d |        u2 |\n");

    // Removing the last record leaves an empty table that still loads.
    EXPECT_EQ(Run({"remove", "-s", "-h", "h", "-p", "1", "-d", "d", "-U", "u2"}).exit_code, 0);
    RunResult empty = Run({"show"});
    EXPECT_EQ(empty.exit_code, 0);
    EXPECT_EQ(empty.out, kHeader10);
}

TEST_F(Credtab, ResetMovesTheTableAside) {
    RunResult absent = Run({"reset", "-s"});
    EXPECT_EQ(absent.exit_code, 0);
    EXPECT_EQ(absent.out, R + "Credtab was reset\n");
    EXPECT_NE(access((TablePath() + ".reset").c_str(), F_OK), 0);

    Add("h", "1", "d", "u", "p", "new record added");
    const std::string table = testsupport::ReadFileOrDie(TablePath());

    RunResult declined = Run({"reset"}, "no\n");
    EXPECT_EQ(declined.exit_code, 0);
    EXPECT_EQ(declined.out, "\33[33mDo you want to reset credtab? (yes/no)?: \33[0m\n");
    EXPECT_EQ(testsupport::ReadFileOrDie(TablePath()), table);

    RunResult accepted = Run({"reset"}, "y\n");
    EXPECT_EQ(accepted.exit_code, 0);
    EXPECT_EQ(accepted.out, "\33[33mDo you want to reset credtab? (yes/no)?: \33[0m\n" + R + "Credtab was reset\n");
    EXPECT_EQ(testsupport::ReadFileOrDie(TablePath() + ".reset"), table);
    EXPECT_EQ(Run({"show"}).out, kHeader10);

    // End of input at the question leaves the table alone.
    Add("h", "1", "d", "u", "p", "new record added");
    RunResult closed = Run({"reset"});
    EXPECT_EQ(closed.exit_code, 1);
    EXPECT_EQ(Run({"show"}).out, kHeader10 + "|         h |         1 |         d |         u |\n");
}

TEST_F(Credtab, PermissionFailureShowsSystemText) {
    ASSERT_EQ(chmod(etc_.c_str(), 0555), 0);
    testsupport::RunOptions o = Options({"show"});
    o.run_as_uid = 65534;
    RunResult r = testsupport::Run(o);
    EXPECT_EQ(r.exit_code, 1) << r.out << r.err;
    EXPECT_EQ(r.out, R + "cannot load credtab (Permission denied)\n");
    chmod(etc_.c_str(), 0755);
}

TEST_F(Credtab, PluginPathVariableTakesPrecedence) {
    testsupport::RunOptions o = Options({"show"});
    o.env["PG_PLUGINS_PATH"] = scratch_.MakeDir("no-plugins");
    RunResult r = testsupport::Run(o);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, R + "cannot load credtab (shared library is not loaded)\n");
}

TEST_F(Credtab, TypedPasswordHonoursBackspace) {
    testsupport::RunOptions o = Options({"add", "-h", "h", "-p", "1", "-d", "d", "-U", "u"});
    testsupport::PtySession pty(o);
    ASSERT_TRUE(pty.WaitFor("enter password:"));
    // DEL is what the Backspace key sends on most terminals.
    pty.Send("pazz\x7f\x7fss\n");
    ASSERT_TRUE(pty.WaitFor("confirm password:"));
    pty.Send("pass\n");
    RunResult r = pty.Wait();
    EXPECT_EQ(r.exit_code, 0) << r.out;
    EXPECT_NE(r.out.find("new record added"), std::string::npos) << r.out;
    // Nothing typed is echoed, only stars and the erasing.
    EXPECT_EQ(r.out.find("pazz"), std::string::npos);
    EXPECT_NE(r.out.find("****\b \b\b \b**"), std::string::npos) << r.out;
}

// A server that accepts the connection and never answers keeps the check
// waiting; the table is not locked meanwhile, so other editors go on.
TEST_F(Credtab, CheckWaitingForASilentServerLeavesTheTableFree) {
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(0, bind(listener, reinterpret_cast<sockaddr*>(&address), length));
    ASSERT_EQ(0, listen(listener, 4));
    ASSERT_EQ(0, getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length));
    Add("127.0.0.1", std::to_string(ntohs(address.sin_port)), "db", "u", "pw", "new record added");

    testsupport::PtySession check(Options({"check"}));
    const int connection = accept(listener, nullptr, nullptr);
    ASSERT_GE(connection, 0);
    // The check now waits for an answer; a second editor must not wait for it.
    testsupport::RunOptions show = Options({"show"});
    show.timeout = std::chrono::seconds(60);
    RunResult shown = testsupport::Run(show);
    EXPECT_EQ(shown.exit_code, 0);
    EXPECT_NE(shown.out.find("|        db |         u |"), std::string::npos) << shown.out;

    close(listener);
    close(connection);
    RunResult checked = check.Wait();
    EXPECT_EQ(checked.exit_code, 1);
    EXPECT_NE(checked.out.find("Could not connect with host: \"127.0.0.1\""), std::string::npos) << checked.out;
}

// The check action against a live server.
class CredtabCheck : public Credtab {
protected:
    static void SetUpTestSuite() {
        server_ = new testsupport::PgServer();
        server_->CreateRole("app_user", "app-pass");
        server_->CreateDatabase("appdb", "app_user");
        server_->CreateRole("repl_user", "repl-pass", "LOGIN REPLICATION");
    }
    static void TearDownTestSuite() {
        delete server_;
        server_ = nullptr;
    }
    static std::string Port() { return std::to_string(server_->port()); }
    static testsupport::PgServer* server_;
};

testsupport::PgServer* CredtabCheck::server_ = nullptr;

TEST_F(CredtabCheck, EmptyTableHasNothingToCheck) {
    RunResult r = Run({"check"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, R + "Nothing to check\n");

    Add("127.0.0.1", Port(), "appdb", "app_user", "app-pass", "new record added");
    RunResult filtered = Run({"check", "-U", "nobody"});
    EXPECT_EQ(filtered.exit_code, 0);
    EXPECT_EQ(filtered.out, R + "Nothing to check\n");
}

TEST_F(CredtabCheck, GoodAndBadPasswords) {
    Add("127.0.0.1", Port(), "appdb", "app_user", "app-pass", "new record added");
    const std::string ok = "\33[32mConnection settings for host: \"127.0.0.1\", port \"" + Port() +
                           "\", database \"appdb\", user \"app_user\" are OK\33[0m\n";
    RunResult good = Run({"check"});
    EXPECT_EQ(good.exit_code, 0) << good.out;
    EXPECT_EQ(good.out, ok);

    Add("127.0.0.1", Port(), "postgres", "app_user", "wrong-pass", "new record added");
    RunResult bad = Run({"check"});
    EXPECT_EQ(bad.exit_code, 1);
    const std::string failed_prefix = "\33[31mCould not connect with host: \"127.0.0.1\", port \"" + Port() +
                                      "\", database \"postgres\", user \"app_user\", msg \"";
    size_t at = bad.out.find(failed_prefix);
    ASSERT_NE(at, std::string::npos) << bad.out;
    EXPECT_NE(bad.out.find("password authentication failed for user \"app_user\"", at), std::string::npos)
        << bad.out;
    EXPECT_EQ(bad.out.rfind(ok, 0), 0u) << bad.out;
    const std::string last = R + "Failed check for some records (common error)\n";
    ASSERT_GE(bad.out.size(), last.size());
    EXPECT_EQ(bad.out.substr(bad.out.size() - last.size()), last);

    // Filters pick the records that are checked.
    RunResult only_good = Run({"check", "-d", "appdb"});
    EXPECT_EQ(only_good.exit_code, 0);
    EXPECT_EQ(only_good.out, ok);
}

TEST_F(CredtabCheck, ReplicationDatabaseIsCheckedAsReplicationConnection) {
    // No database is called "replication": only a replication connection can
    // succeed, and only for a role allowed to replicate.
    Add("127.0.0.1", Port(), "replication", "repl_user", "repl-pass", "new record added");
    RunResult good = Run({"check"});
    EXPECT_EQ(good.exit_code, 0) << good.out;
    EXPECT_NE(good.out.find("database \"replication\", user \"repl_user\" are OK"), std::string::npos);

    Add("127.0.0.1", Port(), "replication", "app_user", "app-pass", "new record added");
    RunResult refused = Run({"check", "-U", "app_user"});
    EXPECT_EQ(refused.exit_code, 1);
    EXPECT_NE(refused.out.find("replication"), std::string::npos);
    EXPECT_NE(refused.out.find("Could not connect with host"), std::string::npos);
}

TEST_F(CredtabCheck, TypedPasswordWithCorrectionOpensConnection) {
    testsupport::RunOptions o =
        Options({"add", "-s", "-h", "127.0.0.1", "-p", Port(), "-d", "appdb", "-U", "app_user"});
    testsupport::PtySession pty(o);
    ASSERT_TRUE(pty.WaitFor("enter password:"));
    pty.Send("app-pasz\x7fs\n");
    RunResult added = pty.Wait();
    ASSERT_EQ(added.exit_code, 0) << added.out;
    RunResult r = Run({"check"});
    EXPECT_EQ(r.exit_code, 0) << r.out;
    EXPECT_NE(r.out.find("are OK"), std::string::npos);
}

}  // namespace
