#include "credentials/cred_tab.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sched.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/error_code.h"
#include "credentials/credential_store.h"
#include "fake_wrapper.h"
#include "identity_fixtures.h"
#include "test_support.h"

namespace fs = std::filesystem;

namespace {

using testsupport::RunInChild;
using testsupport::StartChild;
using testsupport::WaitForChild;

struct Row {
    std::string host;
    uint32_t port;
    std::string database;
    std::string username;
    bool operator==(const Row&) const = default;
};

class CredTabTest : public identity_fixtures::FixedHostTest {
protected:
    void SetUp() override {
        FixedHostTest::SetUp();
        path_ = dir_ / "enc_utils_auth_settings.cfg";
        cred_tab::SetTablePath(path_);
    }
    void TearDown() override {
        cred_tab::SetTablePath(cred_tab::DefaultTablePath());
        FixedHostTest::TearDown();
    }

    static std::vector<Row> Rows(CredTabHandle table) {
        std::vector<Row> rows;
        CredTabIterator it = nullptr;
        EXPECT_EQ(0, CredTabBegin(table, &it));
        CredTabRecord rec{};
        int rc;
        while ((rc = CredTabNext(it, &rec)) == 1) {
            rows.push_back(Row{rec.host ? rec.host : "<null>", rec.port, rec.database ? rec.database : "<null>",
                               rec.username ? rec.username : "<null>"});
        }
        EXPECT_EQ(0, rc);
        EXPECT_EQ(0, CredTabEnd(it));
        return rows;
    }

    static std::string Password(CredTabHandle table, const char* host, uint32_t port, const char* db,
                                const char* user) {
        const char* password = nullptr;
        int rc = CredTabGetPassword(table, host, port, db, user, &password);
        return rc == 0 ? std::string(password) : "rc=" + std::to_string(rc);
    }

    // Stores a plain document as the table file, encrypted like a saved table.
    void StoreTable(const std::string& json) { ASSERT_EQ(0, StoreWriteFile(POSTGRESQL, path_, json)); }

    std::string path_;
};

TEST_F(CredTabTest, AddUpdateGetRemoveAndIterate) {
    CredTabHandle table = nullptr;
    ASSERT_EQ(0, CredTabOpen(&table));
    EXPECT_TRUE(Rows(table).empty());

    bool isNew = false;
    ASSERT_EQ(0, CredTabAddRecord(table, "db1", 5432, "postgres", "backup", "pw1", &isNew));
    EXPECT_TRUE(isNew);
    ASSERT_EQ(0, CredTabAddRecord(table, "db1", 5432, "postgres", "other", "pw2", &isNew));
    EXPECT_TRUE(isNew);
    ASSERT_EQ(0, CredTabAddRecord(table, "db2", 0, "replication", "backup", "pw3", &isNew));
    EXPECT_TRUE(isNew);
    // Same key: only the password changes, the record keeps its place.
    ASSERT_EQ(0, CredTabAddRecord(table, "db1", 5432, "postgres", "backup", "pw1-new", &isNew));
    EXPECT_FALSE(isNew);

    EXPECT_EQ((std::vector<Row>{{"db1", 5432, "postgres", "backup"},
                                {"db1", 5432, "postgres", "other"},
                                {"db2", 0, "replication", "backup"}}),
              Rows(table));
    EXPECT_EQ("pw1-new", Password(table, "db1", 5432, "postgres", "backup"));
    EXPECT_EQ("pw3", Password(table, "db2", 0, "replication", "backup"));
    // Keys compare exactly.
    EXPECT_EQ("rc=-3", Password(table, "DB1", 5432, "postgres", "backup"));
    EXPECT_EQ("rc=-3", Password(table, "db1", 5433, "postgres", "backup"));
    EXPECT_EQ("rc=-3", Password(table, "db1", 5432, "postgres", "backu"));

    ASSERT_EQ(0, CredTabRemoveRecord(table, "db1", 5432, "postgres", "backup"));
    EXPECT_EQ(ERR_NOT_FOUND, CredTabRemoveRecord(table, "db1", 5432, "postgres", "backup"));
    EXPECT_EQ((std::vector<Row>{{"db1", 5432, "postgres", "other"}, {"db2", 0, "replication", "backup"}}),
              Rows(table));

    ASSERT_EQ(0, CredTabSave(table));
    ASSERT_EQ(0, CredTabClose(table));

    // The file holds the encrypted document, which loads again.
    EXPECT_EQ(std::string::npos, testsupport::ReadFileOrDie(path_).find("replication"));
    ASSERT_EQ(0, CredTabOpen(&table));
    EXPECT_EQ((std::vector<Row>{{"db1", 5432, "postgres", "other"}, {"db2", 0, "replication", "backup"}}),
              Rows(table));
    EXPECT_EQ("pw2", Password(table, "db1", 5432, "postgres", "other"));
    ASSERT_EQ(0, CredTabClose(table));
}

TEST_F(CredTabTest, ChangesWithoutSaveAreLost) {
    CredTabHandle table = nullptr;
    ASSERT_EQ(0, CredTabOpen(&table));
    bool isNew = false;
    ASSERT_EQ(0, CredTabAddRecord(table, "h", 1, "d", "u", "p", &isNew));
    ASSERT_EQ(0, CredTabClose(table));
    ASSERT_EQ(0, CredTabOpen(&table));
    EXPECT_TRUE(Rows(table).empty());
    ASSERT_EQ(0, CredTabClose(table));
}

TEST_F(CredTabTest, RemovingTheLastRecordSavesAnEmptyArray) {
    CredTabHandle table = nullptr;
    ASSERT_EQ(0, CredTabOpen(&table));
    bool isNew = false;
    ASSERT_EQ(0, CredTabAddRecord(table, "h", 1, "d", "u", "p", &isNew));
    ASSERT_EQ(0, CredTabSave(table));
    ASSERT_EQ(0, CredTabRemoveRecord(table, "h", 1, "d", "u"));
    ASSERT_EQ(0, CredTabSave(table));
    ASSERT_EQ(0, CredTabClose(table));

    std::string text;
    ASSERT_EQ(0, StoreReadFile(POSTGRESQL, path_, text));
    EXPECT_EQ(0u, text.find("[]\n"));
    ASSERT_EQ(0, CredTabOpen(&table));
    EXPECT_TRUE(Rows(table).empty());
    ASSERT_EQ(0, CredTabClose(table));
}

TEST_F(CredTabTest, FirstOpenCreatesAnEmptyPrivateFile) {
    mode_t old = umask(0);
    CredTabHandle table = nullptr;
    ASSERT_EQ(0, CredTabOpen(&table));
    umask(old);
    struct stat st {};
    ASSERT_EQ(0, stat(path_.c_str(), &st));
    EXPECT_EQ(0660u, st.st_mode & 07777);
    EXPECT_EQ(0, st.st_size);
    ASSERT_EQ(0, CredTabSave(table));
    ASSERT_EQ(0, CredTabClose(table));
    ASSERT_EQ(0, stat(path_.c_str(), &st));
    EXPECT_EQ(0660u, st.st_mode & 07777);
}

TEST_F(CredTabTest, ObjectRootLoadsButListOperationsRefuseIt) {
    StoreTable("{\"host\": \"h\"}");
    CredTabHandle table = nullptr;
    ASSERT_EQ(0, CredTabOpen(&table));
    const char* password = nullptr;
    EXPECT_EQ(ERR_FORMAT, CredTabGetPassword(table, "h", 1, "d", "u", &password));
    EXPECT_EQ(ERR_FORMAT, CredTabRemoveRecord(table, "h", 1, "d", "u"));
    CredTabIterator it = nullptr;
    EXPECT_EQ(ERR_FORMAT, CredTabBegin(table, &it));
    bool isNew = false;
    EXPECT_EQ(ERR_FORMAT, CredTabAddRecord(table, "h", 1, "d", "u", "p", &isNew));
    ASSERT_EQ(0, CredTabClose(table));
}

TEST_F(CredTabTest, MistypedMembersNeverMatchAndIterateAsNullOrZero) {
    StoreTable(R"([
        {"database": "d", "host": "h", "password": "p1", "port": -5, "username": "u"},
        {"database": "d", "host": 7, "password": "p2", "port": 5, "username": "u"},
        {"database": "d", "host": "h", "password": 9, "port": 6, "username": "u"},
        "not an object",
        {"database": "d", "host": "h", "password": "dup-first", "port": 8, "username": "u"},
        {"database": "d", "host": "h", "password": "dup-second", "port": 8, "username": "u"}
    ])");
    CredTabHandle table = nullptr;
    ASSERT_EQ(0, CredTabOpen(&table));
    EXPECT_EQ((std::vector<Row>{{"h", 0, "d", "u"},
                                {"<null>", 5, "d", "u"},
                                {"h", 6, "d", "u"},
                                {"<null>", 0, "<null>", "<null>"},
                                {"h", 8, "d", "u"},
                                {"h", 8, "d", "u"}}),
              Rows(table));
    EXPECT_EQ("rc=-3", Password(table, "h", 0, "d", "u"));
    EXPECT_EQ("rc=-3", Password(table, "h", static_cast<uint32_t>(-5), "d", "u"));
    EXPECT_EQ("rc=-3", Password(table, "7", 5, "d", "u"));
    EXPECT_EQ("rc=-2", Password(table, "h", 6, "d", "u"));  // password not a string
    EXPECT_EQ("dup-first", Password(table, "h", 8, "d", "u"));

    bool isNew = false;
    ASSERT_EQ(0, CredTabAddRecord(table, "h", 8, "d", "u", "changed", &isNew));
    EXPECT_FALSE(isNew);
    ASSERT_EQ(0, CredTabRemoveRecord(table, "h", 8, "d", "u"));
    EXPECT_EQ("dup-second", Password(table, "h", 8, "d", "u"));
    ASSERT_EQ(0, CredTabClose(table));
}

TEST_F(CredTabTest, UnreadableTablesFailToOpenWithoutHoldingTheLock) {
    CredTabHandle table = nullptr;
    StoreTable("not json");
    EXPECT_EQ(ERR_FORMAT, CredTabOpen(&table));
    StoreTable("\"a string root\"");
    EXPECT_EQ(ERR_FORMAT, CredTabOpen(&table));
    StoreTable("// comment\n[]");
    EXPECT_EQ(ERR_FORMAT, CredTabOpen(&table));
    testsupport::WriteFileOrDie(path_, "short");
    EXPECT_EQ(ERR_FORMAT, CredTabOpen(&table));  // not whole cipher blocks
    fake_wrapper::Get().fail_init = ERR_LIBRARY_NOT_LOADED;
    EXPECT_EQ(ERR_LIBRARY_NOT_LOADED, CredTabOpen(&table));
    fake_wrapper::Reset();

    // Another process can take the lock now.
    EXPECT_EQ(0, RunInChild([&] {
        testsupport::WriteFileOrDie(path_, "");
        CredTabHandle t = nullptr;
        return CredTabOpen(&t) == 0 && CredTabClose(t) == 0 ? 0 : 1;
    }));
}

TEST_F(CredTabTest, LockFileThatCannotBeOpenedGivesErrno) {
    cred_tab::SetTablePath(dir_ / "missing-dir/table.cfg");
    CredTabHandle table = nullptr;
    EXPECT_EQ(ENOENT, CredTabOpen(&table));
    // The failed lock object is dropped: once the directory exists, opening works.
    fs::create_directory(dir_ / "missing-dir");
    ASSERT_EQ(0, CredTabOpen(&table));
    ASSERT_EQ(0, CredTabClose(table));
}

TEST_F(CredTabTest, ResetMovesTheFileAside) {
    EXPECT_EQ(0, CredTabReset());
    EXPECT_FALSE(fs::exists(path_));
    EXPECT_FALSE(fs::exists(path_ + ".reset"));

    testsupport::WriteFileOrDie(path_ + ".reset", "older");
    testsupport::WriteFileOrDie(path_, "current");
    EXPECT_EQ(0, CredTabReset());
    EXPECT_FALSE(fs::exists(path_));
    EXPECT_EQ("current", testsupport::ReadFileOrDie(path_ + ".reset"));

    // A rename that fails gives -1 with errno set, and the file stays.
    fs::remove(path_ + ".reset");
    fs::create_directories(path_ + ".reset/occupied");
    testsupport::WriteFileOrDie(path_, "current");
    errno = 0;
    EXPECT_EQ(-1, CredTabReset());
    EXPECT_EQ(EISDIR, errno);
    EXPECT_EQ("current", testsupport::ReadFileOrDie(path_));
}

TEST_F(CredTabTest, NullArgumentsAreRefused) {
    CredTabHandle table = nullptr;
    EXPECT_EQ(ERR_NULL_POINTER, CredTabOpen(nullptr));
    ASSERT_EQ(0, CredTabOpen(&table));
    const char* password = nullptr;
    bool isNew = false;
    EXPECT_EQ(ERR_NULL_POINTER, CredTabGetPassword(table, nullptr, 1, "d", "u", &password));
    EXPECT_EQ(ERR_NOT_FOUND, CredTabGetPassword(nullptr, "h", 1, "d", "u", &password));
    EXPECT_EQ(ERR_NULL_POINTER, CredTabAddRecord(table, "h", 1, "d", "u", nullptr, &isNew));
    EXPECT_EQ(ERR_NULL_POINTER, CredTabRemoveRecord(nullptr, "h", 1, "d", "u"));
    CredTabIterator it = nullptr;
    EXPECT_EQ(ERR_FORMAT, CredTabBegin(nullptr, &it));
    EXPECT_EQ(ERR_NULL_POINTER, CredTabBegin(table, nullptr));
    EXPECT_EQ(ERR_NULL_POINTER, CredTabNext(nullptr, nullptr));
    EXPECT_EQ(ERR_NULL_POINTER, CredTabSave(nullptr));
    ASSERT_EQ(0, CredTabClose(table));
    EXPECT_EQ(0, CredTabClose(nullptr));
}

// --- Processes -------------------------------------------------------------

// One line from a pipe, or "" on timeout.
std::string ReadLine(int fd, int timeoutMs) {
    std::string line;
    pollfd p{fd, POLLIN, 0};
    while (poll(&p, 1, timeoutMs) == 1) {
        char c;
        if (read(fd, &c, 1) != 1) break;
        if (c == '\n') return line;
        line += c;
    }
    return line;
}

void Say(int fd, const std::string& word) {
    std::string line = word + "\n";
    if (write(fd, line.data(), line.size()) < 0) _exit(90);
}

// True while `pid` sleeps in flock for a lock that another holds: the kernel
// lists such a waiter in /proc/locks as "<n>: -> FLOCK ... <pid> <dev:inode> ...".
bool WaitsForALock(pid_t pid) {
    std::ifstream locks("/proc/locks");
    const std::string id = " " + std::to_string(pid) + " ";
    std::string line;
    while (std::getline(locks, line)) {
        if (line.find(" -> ") != std::string::npos && line.find(id) != std::string::npos) return true;
    }
    return false;
}

// Waits until `pid` is blocked on a lock ("" then) or a line arrives on `fd`
// first (that line: the process got in). However late the process starts,
// it is seen either waiting or inside. "timeout" after a minute of neither.
std::string BlockedOnLockOrLine(pid_t pid, int fd) {
    pollfd p{fd, POLLIN, 0};
    for (int step = 0; step < 12000; ++step) {
        if (WaitsForALock(pid)) return "";
        if (poll(&p, 1, 5) == 1) return ReadLine(fd, 10000);
    }
    return "timeout";
}

TEST_F(CredTabTest, EditorsInEightProcessesLoseNoRecord) {
    constexpr int kProcesses = 8;
    constexpr int kRecords = 25;
    std::vector<pid_t> children;
    for (int p = 0; p < kProcesses; ++p) {
        children.push_back(StartChild([p] {
            for (int r = 0; r < kRecords; ++r) {
                CredTabHandle table = nullptr;
                if (CredTabOpen(&table) != 0) return 1;
                bool isNew = false;
                std::string host = "host-" + std::to_string(p);
                std::string password = "pw-" + std::to_string(p) + "-" + std::to_string(r);
                if (CredTabAddRecord(table, host.c_str(), static_cast<uint32_t>(r), "db", "user", password.c_str(),
                                     &isNew) != 0)
                    return 2;
                if (CredTabSave(table) != 0) return 3;
                if (CredTabClose(table) != 0) return 4;
            }
            return 0;
        }));
    }
    for (pid_t child : children) EXPECT_EQ(0, WaitForChild(child));

    CredTabHandle table = nullptr;
    ASSERT_EQ(0, CredTabOpen(&table));
    auto rows = Rows(table);
    EXPECT_EQ(static_cast<size_t>(kProcesses * kRecords), rows.size());
    for (int p = 0; p < kProcesses; ++p) {
        for (int r = 0; r < kRecords; ++r) {
            std::string host = "host-" + std::to_string(p);
            EXPECT_EQ("pw-" + std::to_string(p) + "-" + std::to_string(r),
                      Password(table, host.c_str(), static_cast<uint32_t>(r), "db", "user"));
        }
    }
    ASSERT_EQ(0, CredTabClose(table));
    // No temporary files are left next to the table.
    for (const auto& e : fs::directory_iterator(dir_.path()))
        EXPECT_EQ("enc_utils_auth_settings.cfg", e.path().filename().string());
}

TEST_F(CredTabTest, ChildClosingAnInheritedTableKeepsTheParentsLock) {
    CredTabHandle table = nullptr;
    ASSERT_EQ(0, CredTabOpen(&table));
    // A forked child that closes what it inherited must not unlock the parent.
    ASSERT_EQ(0, RunInChild([&] { return CredTabClose(table) == 0 ? 0 : 1; }));

    EXPECT_EQ(0, RunInChild([&] {
        int fd = open(path_.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return 2;
        int rc = flock(fd, LOCK_EX | LOCK_NB) == 0 ? 1 : (errno == EWOULDBLOCK ? 0 : 3);
        close(fd);
        return rc;
    })) << "the parent's lock was released by its child";
    ASSERT_EQ(0, CredTabClose(table));
}

TEST_F(CredTabTest, EditorOpeningAfterASaveWaitsForTheSaver) {
    int pipeFds[2];
    ASSERT_EQ(0, pipe(pipeFds));
    CredTabHandle table = nullptr;
    ASSERT_EQ(0, CredTabOpen(&table));
    bool isNew = false;
    ASSERT_EQ(0, CredTabAddRecord(table, "h", 1, "d", "u", "p", &isNew));
    ASSERT_EQ(0, CredTabSave(table));  // the table file is now a new file

    pid_t late = StartChild([&] {
        CredTabHandle t = nullptr;
        if (CredTabOpen(&t) != 0) return 1;
        Say(pipeFds[1], "opened");
        CredTabClose(t);
        return 0;
    });
    // The saver still holds the lock, so the late editor must wait for it.
    EXPECT_EQ("", BlockedOnLockOrLine(late, pipeFds[0]));
    ASSERT_EQ(0, CredTabClose(table));
    EXPECT_EQ("opened", ReadLine(pipeFds[0], 10000));
    EXPECT_EQ(0, WaitForChild(late));
    close(pipeFds[0]);
    close(pipeFds[1]);
}

TEST_F(CredTabTest, EditorThatWaitedOnAReplacedFileStillExcludesOthers) {
    int pipeFds[2], leaveFds[2];
    ASSERT_EQ(0, pipe(pipeFds));
    ASSERT_EQ(0, pipe(leaveFds));
    CredTabHandle table = nullptr;
    ASSERT_EQ(0, CredTabOpen(&table));

    // B starts waiting on the file as it is now.
    pid_t b = StartChild([&] {
        CredTabHandle t = nullptr;
        if (CredTabOpen(&t) != 0) return 1;
        Say(pipeFds[1], "b-in");
        ReadLine(leaveFds[0], 60000);
        Say(pipeFds[1], "b-out");
        CredTabClose(t);
        return 0;
    });
    ASSERT_EQ("", BlockedOnLockOrLine(b, pipeFds[0]));
    bool isNew = false;
    ASSERT_EQ(0, CredTabAddRecord(table, "h", 1, "d", "u", "p", &isNew));
    ASSERT_EQ(0, CredTabSave(table));  // replaces the file B waits on
    ASSERT_EQ(0, CredTabClose(table));
    ASSERT_EQ("b-in", ReadLine(pipeFds[0], 10000));

    // C opens the current file while B is inside; it must wait for B.
    pid_t c = StartChild([&] {
        CredTabHandle t = nullptr;
        if (CredTabOpen(&t) != 0) return 1;
        Say(pipeFds[1], "c-in");
        CredTabClose(t);
        return 0;
    });
    EXPECT_EQ("", BlockedOnLockOrLine(c, pipeFds[0]));
    Say(leaveFds[1], "leave");
    EXPECT_EQ("b-out", ReadLine(pipeFds[0], 10000));
    EXPECT_EQ("c-in", ReadLine(pipeFds[0], 10000));
    EXPECT_EQ(0, WaitForChild(b));
    EXPECT_EQ(0, WaitForChild(c));
    for (int fd : {pipeFds[0], pipeFds[1], leaveFds[0], leaveFds[1]}) close(fd);
}

TEST_F(CredTabTest, SaveIntoABindMountedTableKeepsTheLock) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root for a private mount namespace";
    std::string source = dir_ / "mounted-table.cfg";
    testsupport::WriteFileOrDie(source, "");
    testsupport::WriteFileOrDie(path_, "");
    int pipeFds[2];
    ASSERT_EQ(0, pipe(pipeFds));

    // The table file is a mount point, so saving rewrites it in place; the
    // lock must stay on it and keep a second editor out until close.
    pid_t editor = StartChild([&] {
        if (unshare(CLONE_NEWNS) != 0) return 10;
        if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return 10;
        if (mount(source.c_str(), path_.c_str(), nullptr, MS_BIND, nullptr) != 0) return 10;
        CredTabHandle table = nullptr;
        if (CredTabOpen(&table) != 0) return 1;
        bool isNew = false;
        CredTabAddRecord(table, "h", 1, "d", "u", "p", &isNew);
        if (CredTabSave(table) != 0) return 2;
        pid_t second = StartChild([&] {
            CredTabHandle t = nullptr;
            if (CredTabOpen(&t) != 0) return 1;
            Say(pipeFds[1], "second-in");
            CredTabClose(t);
            return 0;
        });
        // The second editor must be seen waiting, not inside.
        if (!BlockedOnLockOrLine(second, pipeFds[0]).empty()) return 4;
        Say(pipeFds[1], "first-out");
        CredTabClose(table);
        return WaitForChild(second) == 0 ? 0 : 3;
    });
    int status = WaitForChild(editor);
    if (status == 10) GTEST_SKIP() << "no mount namespace here";
    EXPECT_EQ(0, status);
    EXPECT_EQ("first-out", ReadLine(pipeFds[0], 5000));
    EXPECT_EQ("second-in", ReadLine(pipeFds[0], 5000));
    close(pipeFds[0]);
    close(pipeFds[1]);

    // The record went into the mounted file.
    std::string text;
    ASSERT_EQ(0, StoreReadFile(POSTGRESQL, source, text));
    EXPECT_NE(std::string::npos, text.find("\"password\" : \"p\""));
}

TEST_F(CredTabTest, KilledSaverLeavesOldOrNewTable) {
    // Each child appends records n, n+1, ... saving after each; the table must
    // always hold records 0 .. k-1 for some k that never goes back. The child
    // reports every completed save, and is killed at a random moment after
    // its first one, so each round lands somewhere inside a later save.
    std::mt19937 random(12345);
    size_t known = 0;
    for (int round = 0; round < 40; ++round) {
        int pipeFds[2];
        ASSERT_EQ(0, pipe(pipeFds));
        pid_t child = StartChild([&] {
            for (;;) {
                CredTabHandle table = nullptr;
                if (CredTabOpen(&table) != 0) return 1;
                CredTabIterator it = nullptr;
                CredTabBegin(table, &it);
                CredTabRecord rec{};
                uint32_t count = 0;
                while (CredTabNext(it, &rec) == 1) ++count;
                CredTabEnd(it);
                bool isNew = false;
                std::string password(200 + count % 50, 'x');
                CredTabAddRecord(table, "host", count, "db", "user", password.c_str(), &isNew);
                if (CredTabSave(table) != 0) return 2;
                CredTabClose(table);
                Say(pipeFds[1], "saved");
            }
        });
        close(pipeFds[1]);
        ASSERT_EQ("saved", ReadLine(pipeFds[0], 30000)) << "round " << round;
        std::this_thread::sleep_for(std::chrono::microseconds(std::uniform_int_distribution<int>(0, 8000)(random)));
        kill(child, SIGKILL);
        close(pipeFds[0]);
        // -1: ended by the signal; an exit status would be a failed save.
        ASSERT_EQ(-1, WaitForChild(child)) << "saver failed, round " << round;

        CredTabHandle table = nullptr;
        ASSERT_EQ(0, CredTabOpen(&table)) << "round " << round;
        auto rows = Rows(table);
        ASSERT_GT(rows.size(), known) << "round " << round;
        for (size_t i = 0; i < rows.size(); ++i) ASSERT_EQ(i, rows[i].port) << "round " << round;
        known = rows.size();
        ASSERT_EQ(0, CredTabClose(table));
    }
}

}  // namespace
