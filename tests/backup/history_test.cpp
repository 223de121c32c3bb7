// The history files, rotation, WAL file names and shell quoting of snaprover,
// in-process.

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "snaprover.h"
#include "test_support.h"

namespace {

using snaprover::Ctx;
using snaprover::JsonValue;
using testsupport::ReadFileOrDie;
using testsupport::WriteFileOrDie;

class SnaproverHistory : public ::testing::Test {
protected:
    void SetUp() override {
        Ctx().opt.session_id = "A";
        Ctx().opt.label_dir = scratch_.path();
        Ctx().state_path = scratch_ / "backup_state";
        Ctx().wal_state_path = scratch_ / "wal_backup_state";
        Ctx().data_hist = snaprover::History(Ctx().state_path);
        Ctx().wal_hist = snaprover::History(Ctx().wal_state_path);
        Ctx().log = snaprover::Logger();
        Ctx().log.Open(scratch_ / "snapwarden.log", "A");
    }
    std::string Log() const { return ReadFileOrDie(scratch_ / "snapwarden.log"); }
    std::string State() const { return ReadFileOrDie(scratch_ / "backup_state"); }

    testsupport::ScratchDir scratch_;
};

TEST_F(SnaproverHistory, FileFormatIsOneLineWithKeysInInsertionOrder) {
    JsonValue v = JsonValue::Parse(
        " \n[{\"state\": \"x\", \"b\": 1, \"a\": [true, null, 1.50, -2e3], \"\\u00e9\\ud83d\\ude00\\n\": {}}]\t");
    EXPECT_EQ(v.Dump(), "[{\"state\": \"x\", \"b\": 1, \"a\": [true, null, 1.50, -2e3], "
                        "\"\\u00e9\\ud83d\\ude00\\n\": {}}]");
    // Text in another encoding (a session id from a Latin-1 host) reads back
    // as the same bytes.
    const std::string raw = "S\xe9 \xc0\x80 \xed\xa0\x80 \xf8 \xe2\x82";
    JsonValue list = JsonValue::Array();
    list.Append(JsonValue(raw));
    EXPECT_EQ(JsonValue::Parse(list.Dump()).Items()[0].Text(), raw) << list.Dump();
    // A repeated key keeps its place and takes the later value; a record with
    // very many keys (a file from elsewhere) is read in linear time.
    EXPECT_EQ(JsonValue::Parse("{\"a\": 1, \"b\": 2, \"a\": [3]}").Dump(), "{\"a\": [3], \"b\": 2}");
    std::string many = "[{";
    for (int i = 0; i < 400000; ++i) many += (i ? ", \"k" : "\"k") + std::to_string(i) + "\": 0";
    many += "}]";
    EXPECT_EQ(JsonValue::Parse(many).Dump(), many);
    for (const char* bad : {"[1,]", "[\"a\" \"b\"]", "{\"a\" 1}", "[01]", "tru", "[\"\x01\"]", "[] []"}) {
        EXPECT_THROW(JsonValue::Parse(bad), std::runtime_error) << bad;
    }
}

TEST_F(SnaproverHistory, StateOperations) {
    // Missing, empty and blank files are an empty history, quietly.
    EXPECT_EQ(Ctx().data_hist.get_state(), "None");
    for (const char* text : {"", " \n\t "}) {
        WriteFileOrDie(Ctx().state_path, text);
        EXPECT_EQ(Ctx().data_hist.get_state(), "None");
    }
    EXPECT_EQ(Log(), "");
    WriteFileOrDie(Ctx().state_path, "[{\"state\": ");
    EXPECT_EQ(Ctx().data_hist.get_state(), "None");
    EXPECT_NE(Log().find(" - A - ERROR - could not load state. err = "), std::string::npos) << Log();

    // Unfinished records of every session are closed when a new one starts.
    WriteFileOrDie(Ctx().state_path,
                   "[{\"state\": \"started\", \"session_id\": \"A\"}, {\"state\": \"completed\", "
                   "\"session_id\": \"B\"}, {\"state\": \"stopping\", \"session_id\": \"C\"}]");
    snaprover::set_backup_state_starting();
    std::string time = snaprover::now();
    EXPECT_EQ(State(), "[{\"state\": \"failed\", \"session_id\": \"A\"}, {\"state\": \"completed\", \"session_id\": "
                       "\"B\"}, {\"state\": \"failed\", \"session_id\": \"C\"}, {\"state\": \"starting\", "
                       "\"session_id\": \"A\", \"start_time\": \"" + time + "\"}]");
    // The newer of two records of the session is the one read and updated;
    // empty values are not written.
    snaprover::set_backup_state_started("0/2000028");
    snaprover::set_backup_state_completed("0/3000100", 1, "");
    EXPECT_EQ(Ctx().data_hist.get_state(), "completed");
    JsonValue last = JsonValue::Parse(State()).Items().back();
    EXPECT_EQ(last.Dump(), "{\"state\": \"completed\", \"session_id\": \"A\", \"start_time\": \"" + time +
                               "\", \"start_lsn\": \"0/2000028\", \"stop_lsn\": \"0/3000100\", \"stop_time\": \"" +
                               last.Find("stop_time")->Text() + "\", \"tli\": 1}");

    // Another session has no record to update: the file stays as it is.
    std::string before = State();
    Ctx().opt.session_id = "Z";
    snaprover::set_backup_state_failed();
    EXPECT_EQ(State(), before);
    EXPECT_NE(Log().find("ERROR - could not find session\n"), std::string::npos);
}

// Others may write into the label directory: a link or a FIFO planted under
// one of its names is neither followed nor waited on; the target keeps its
// content and mode.
TEST_F(SnaproverHistory, PlantedLinksAndFifosAreLeftAlone) {
    Ctx().log.Open(scratch_ / "own.log", "A");  // the fixture's log name is planted below
    const std::string victim = scratch_ / "victim";
    const std::string victim_text = "[{\"state\": \"started\", \"session_id\": \"A\"}]";
    struct Case {
        const char* name;
        const char* target;  // link target, or nullptr for a FIFO
        void (*act)(const std::string& path);
    };
    const Case cases[] = {
        {"snapwarden.log", "victim", [](const std::string& p) { snaprover::Logger().Open(p, "A"); }},
        {"snapwarden.log", nullptr, [](const std::string& p) { snaprover::Logger().Open(p, "A"); }},
        {"backup_state", "victim", [](const std::string&) { snaprover::set_backup_state_failed(); }},
        {"backup_state", "absent", [](const std::string&) { snaprover::set_backup_state_starting(); }},
        {"backup_state", nullptr, [](const std::string&) { snaprover::set_backup_state_starting(); }},
    };
    for (const Case& c : cases) {
        WriteFileOrDie(victim, victim_text);
        ASSERT_EQ(chmod(victim.c_str(), 0600), 0);
        const std::string path = scratch_ / c.name;
        unlink(path.c_str());
        ASSERT_EQ(c.target ? symlink(c.target, path.c_str()) : mkfifo(path.c_str(), 0666), 0);
        try {
            c.act(path);
        } catch (const std::runtime_error&) {
        }
        struct stat st {};
        ASSERT_EQ(stat(victim.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0600u) << c.name;
        EXPECT_EQ(ReadFileOrDie(victim), victim_text) << c.name;
        EXPECT_EQ(lstat((scratch_ / "absent").c_str(), &st), -1) << c.name;
        unlink(path.c_str());
    }
    EXPECT_NE(ReadFileOrDie(scratch_ / "own.log").find("ERROR - could not write state. err = "), std::string::npos);

    // A log that another user created open to all is appended to as it is.
    const std::string log = scratch_ / "snapwarden.log";
    WriteFileOrDie(log, "", 0666);
    ASSERT_EQ(chmod(log.c_str(), 0666), 0);
    ASSERT_EQ(chmod(scratch_.path().c_str(), 0755), 0);
    EXPECT_EQ(testsupport::RunAsNobody([&] {
                  snaprover::Logger other;
                  other.Open(log, "B");
                  other.Info("appended");
                  return 0;
              }),
              0);
    EXPECT_NE(ReadFileOrDie(log).find(" - B - INFO - appended\n"), std::string::npos);
}

TEST_F(SnaproverHistory, RotationKeepsTheNewestCompletedBackups) {
    struct Case {
        std::vector<int> completed;  // positions counted from 1, oldest first
        int records;
        int64_t keep;
        int first_kept;  // counted from 1
    };
    const Case cases[] = {
        {{2, 4, 5, 6, 8, 9, 10}, 10, 6, 4},
        {{2, 4, 5, 8, 10}, 10, 6, 1},  // only five completed: nothing removed
        {{1, 2, 3, 4, 5}, 5, 6, 1},    // fewer records than N
        {{1, 2, 3, 4, 5}, 5, 1, 5},
        {{1, 2, 3, 4, 5}, 5, 0, 1},    // 0 removes nothing
    };
    for (const Case& c : cases) {
        JsonValue records = JsonValue::Array();
        for (int i = 1; i <= c.records; ++i) {
            bool done = std::find(c.completed.begin(), c.completed.end(), i) != c.completed.end();
            JsonValue r = JsonValue::Object();
            r.Set("state", done ? "completed" : "failed");
            r.Set("session_id", std::to_string(i));
            records.Append(r);
        }
        WriteFileOrDie(Ctx().state_path, records.Dump());
        Ctx().opt.rotate_history = c.keep;
        snaprover::rotate_data_history();
        JsonValue kept = JsonValue::Parse(State());
        ASSERT_EQ(kept.Items().size(), static_cast<size_t>(c.records - c.first_kept + 1)) << c.keep;
        EXPECT_EQ(kept.Items().front().Find("session_id")->Text(), std::to_string(c.first_kept));
    }
    WriteFileOrDie(Ctx().state_path, "[{\"session_id\": \"1\"}, {\"state\": \"completed\"}]");
    Ctx().opt.rotate_history = 2;
    snaprover::rotate_data_history();
    EXPECT_NE(Log().find("ERROR - could not rotate backup history. err = "), std::string::npos);
}

TEST_F(SnaproverHistory, WalFileNamesAndTimelines) {
    EXPECT_EQ(snaprover::get_walfile(1, 0x3000000, 16 << 20), "000000010000000000000002");
    EXPECT_EQ(snaprover::get_walfile(2, 0x100000001LL, 16 << 20), "000000020000000100000000");
    EXPECT_EQ(snaprover::get_walfile(3, 4LL << 30, 1 << 30), "000000030000000000000003");
    EXPECT_EQ(snaprover::get_walfile(3, (4LL << 30) + 1, 1 << 30), "000000030000000100000000");
    EXPECT_EQ(snaprover::get_tli("START WAL LOCATION: 0/2000028\nSTART TIMELINE: 3\nLABEL: x\n"), 3);
    EXPECT_EQ(snaprover::get_tli("START TIMELINE: 3x\n"), std::nullopt);
    EXPECT_NE(Log().find("ERROR - could not find TLI in backup_label. error = "), std::string::npos);
}

TEST_F(SnaproverHistory, ShellQuotingSurvivesTheShell) {
    for (std::string word : {"/srv/backup/label-1", "/srv/my backup", "/x;touch /tmp/snap-never", "$(id)`id`",
                             "it's \"quoted\"\\", "a\nb", "*"}) {
        std::string quoted = snaprover::ShellQuote(word);
        if (word == "/srv/backup/label-1") {
            EXPECT_EQ(quoted, word);
        }
        testsupport::RunResult r = testsupport::RunProgram({"/bin/sh", "-c", "printf '%s' " + quoted});
        EXPECT_EQ(r.out, word);
    }
}

// A writer killed at any moment, or cut off in the middle of its write, leaves
// the old or the new history, never a part of one.
TEST_F(SnaproverHistory, InterruptedWriterLeavesAWholeFile) {
    std::vector<JsonValue> versions;
    for (char fill : {'a', 'b'}) {
        JsonValue record = JsonValue::Object();
        record.Set("state", "completed");
        record.Set("session_id", std::string(fill == 'a' ? 2 << 20 : 3 << 19, fill));
        JsonValue list = JsonValue::Array();
        list.Append(record);
        versions.push_back(list);
    }
    std::mt19937 rng(std::random_device{}());
    std::uniform_int_distribution<useconds_t> delay(0, 30000);
    for (int round = 0; round < 10; ++round) {
        int ready[2];
        ASSERT_EQ(pipe(ready), 0);
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            close(ready[0]);
            for (size_t n = 0;; ++n) {
                Ctx().data_hist.write_history(versions[n % 2]);
                if (n == 0 && write(ready[1], "x", 1) < 0) _exit(1);
            }
        }
        close(ready[1]);
        char c;
        // The first complete write has happened; kill somewhere in the later ones.
        ASSERT_EQ(read(ready[0], &c, 1), 1);
        usleep(delay(rng));
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        close(ready[0]);
        std::string text = State();
        ASSERT_TRUE(text == versions[0].Dump() || text == versions[1].Dump())
            << "round " << round << ": " << text.size() << " bytes";
    }

    // A file-size limit stops the write of the larger version half-way.
    Ctx().data_hist.write_history(versions[1]);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit = {5 << 19, 5 << 19};
        setrlimit(RLIMIT_FSIZE, &limit);
        JsonValue record = JsonValue::Object();
        record.Set("state", "starting");
        record.Set("session_id", "A");
        record.Set("pad", std::string(2 << 20, 'c'));
        Ctx().data_hist.append_state(record);
        _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_EQ(State(), versions[1].Dump());
    EXPECT_NE(Log().find("ERROR - could not write state. err = "), std::string::npos);
}

}  // namespace
