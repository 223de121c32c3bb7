#include "initializer.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "golden_scripts.h"
#include "test_support.h"

namespace guardinit {
namespace {

TEST(GuardinitAdminNameTest, AcceptsPlainLowerCaseIdentifiers) {
    for (std::string name : {"admin", "_admin", "sec_admin_2", "a", "x9", "publicity", "users",
                             "pgadmin", "pg", "nonee"}) {
        EXPECT_EQ(CheckAdminName(name), NameCheck::kOk) << name;
    }
    EXPECT_EQ(CheckAdminName(std::string(63, 'a')), NameCheck::kOk);
}

TEST(GuardinitAdminNameTest, RefusesEmptyAndPgPrefixedNames) {
    EXPECT_EQ(CheckAdminName(""), NameCheck::kEmpty);
    EXPECT_EQ(CheckAdminName("pg_admin"), NameCheck::kReservedPrefix);
    EXPECT_EQ(CheckAdminName("pg_"), NameCheck::kReservedPrefix);
    // The "pg_" rule and its message come first, whatever else is wrong.
    EXPECT_EQ(CheckAdminName("pg_Admin x"), NameCheck::kReservedPrefix);
}

TEST(GuardinitAdminNameTest, RefusesNamesThatNeedQuotingOrAreFolded) {
    for (std::string name :
         {"Admin", "ADMIN", "a b", "a'b", "a\"b", "a\\b", "a;b", "a-b", "a.b", "1admin", "9",
          "a$username$", "adm\xc3\xa4n", "a\tb", "a\nb", " admin", "admin ", "PG_admin"}) {
        EXPECT_EQ(CheckAdminName(name), NameCheck::kNotPlainIdentifier) << name;
    }
    // The server keeps 63 bytes of a role name; a longer one would be cut.
    EXPECT_EQ(CheckAdminName(std::string(64, 'a')), NameCheck::kNotPlainIdentifier);
}

TEST(GuardinitAdminNameTest, RefusesWordsThatGrantReadsAsSomethingElse) {
    for (std::string name : {"public", "none", "user", "select", "all", "current_user",
                             "session_user", "current_role", "to", "with", "grant", "_null_"}) {
        EXPECT_EQ(CheckAdminName(name), NameCheck::kReservedWord) << name;
    }
}

// What the shell makes of `word`, as the single argument of printf.
std::string ShellEcho(const std::string& word) {
    auto r = testsupport::Run({"/bin/sh", "-c", "printf '%s|' " + word});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    return r.out;
}

TEST(GuardinitShellWordTest, PlainPathsStayAsTheyAre) {
    for (std::string path : {"/var/lib/data", "data", "/a/b-c_d.e+f,g:h@i%j=k/12"}) {
        EXPECT_EQ(ShellWord(path), path);
    }
}

TEST(GuardinitShellWordTest, EveryPathReachesTheProgramAsOneUnchangedArgument) {
    for (std::string path : {"/tmp/my data", "/tmp/it's", "/tmp/$HOME", "/tmp/`id`", "/tmp/a;b",
                             "/tmp/a\"b\\c", "/tmp/*", "/tmp/a b'c'' d", "", "/tmp/~x", "/tmp/a\nb",
                             "/tmp/>out"}) {
        EXPECT_EQ(ShellEcho(ShellWord(path)), path + "|") << path;
    }
}

TEST(GuardinitCommandStringTest, BootstrapAndSingleUserCommands) {
    EXPECT_EQ(BootstrapCommand("/opt/bin/postgres", "/srv/data"),
              "\"/opt/bin/postgres\" --boot -D /srv/data -x1 -k -p  ");
    EXPECT_EQ(SingleUserCommand("/opt/bin/postgres", "/srv/data"),
              "\"/opt/bin/postgres\" --single -O -j -c search_path=pg_catalog -c "
              "exit_on_error=true -D /srv/data postgres >/dev/null");
    EXPECT_EQ(BootstrapCommand("/b/postgres", "/srv/my data"),
              "\"/b/postgres\" --boot -D '/srv/my data' -x1 -k -p  ");
}

// Everything written to a stream, read back from its temporary file.
std::string Contents(std::FILE* f) {
    std::fflush(f);
    std::rewind(f);
    std::string text;
    char buf[256];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
    return text;
}

TEST(GuardinitReplayTest, SubstitutesOnlyTheFirstTokenOfEachLine) {
    std::FILE* f = std::tmpfile();
    ASSERT_NE(f, nullptr);
    const std::vector<std::string_view> lines = {
        "insert ( $username$ $username$ )\n",
        "no token\n",
        "GRANT x TO $username$;\n\n",
        "$username$$username$\n",
    };
    OutputStatus status;
    replay_scenario(lines, f, "adm", status);
    EXPECT_EQ(Contents(f),
              "insert ( adm $username$ )\nno token\nGRANT x TO adm;\n\nadm$username$\n");
    EXPECT_FALSE(status.output_failed);
    std::fclose(f);
}

TEST(GuardinitReplayTest, WriteFailureIsRecordedAndNeverCleared) {
    std::FILE* full = std::fopen("/dev/full", "w");
    ASSERT_NE(full, nullptr);
    OutputStatus status;
    const std::vector<std::string_view> lines = {"open pr_object\n", "close pr_object\n"};
    replay_scenario(lines, full, "adm", status);
    EXPECT_TRUE(status.output_failed);
    EXPECT_EQ(status.output_errno, ENOSPC);
    std::fclose(full);

    // A later stage whose writes succeed does not hide the earlier failure.
    std::FILE* ok = std::tmpfile();
    ASSERT_NE(ok, nullptr);
    write_line("ANALYZE;\n\n", ok, status);
    EXPECT_EQ(Contents(ok), "ANALYZE;\n\n");
    EXPECT_TRUE(status.output_failed);
    std::fclose(ok);
}

TEST(GuardinitScriptsTest, TablesReplayToTheReviewedTranscript) {
    const std::vector<guardinit_golden::Run> runs = guardinit_golden::ReadRuns();
    ASSERT_EQ(runs.size(), 11u);
    // The tables each run replays, by run number. Runs 5 (the password) and 11
    // are not tables; the end-to-end test checks every run as sent.
    const std::vector<std::pair<size_t, std::vector<scenarios::Scenario>>> replayed = {
        {1, {scenarios::header, scenarios::checkData}},
        {2, {scenarios::dropUserIfExists}},
        {3, {scenarios::createUser}},
        {4, {scenarios::finalizeAuthData}},
        {6, {scenarios::createPolicy}},
        {7, {scenarios::finalizeData}},
        {8, {scenarios::grantFunctions}},
        {9, {scenarios::lockProtection}},
        {10, {scenarios::finalizeLockData}},
    };
    for (const auto& [run, tables] : replayed) {
        std::FILE* f = std::tmpfile();
        ASSERT_NE(f, nullptr);
        OutputStatus status;
        for (scenarios::Scenario table : tables) replay_scenario(table, f, "sec_admin1", status);
        EXPECT_EQ(Contents(f), runs[run - 1].script) << "run " << run << " (" << runs[run - 1].mode << ")";
        EXPECT_FALSE(status.output_failed);
        std::fclose(f);
    }
}

}  // namespace
}  // namespace guardinit
