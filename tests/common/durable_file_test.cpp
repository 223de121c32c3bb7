#include "common/durable_file.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "common/error_code.h"
#include "test_support.h"

namespace fs = std::filesystem;
using common_routines::DurableReplaceFile;
using common_routines::DurableWriteOptions;

namespace {

int Replace(const std::string& path, const std::string& data, const DurableWriteOptions& options = {}) {
    return DurableReplaceFile(path, data.data(), data.size(), options);
}

// Entries of a directory other than the ones named.
std::vector<std::string> Others(const std::string& dir, const std::vector<std::string>& known) {
    std::vector<std::string> out;
    for (const auto& e : fs::directory_iterator(dir)) {
        std::string name = e.path().filename();
        if (std::find(known.begin(), known.end(), name) == known.end()) out.push_back(name);
    }
    return out;
}

struct stat StatOf(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(0, ::stat(path.c_str(), &st)) << path;
    return st;
}

TEST(DurableFile, ReplacesContentAndLeavesNoTemporaryFile) {
    testsupport::ScratchDir dir;
    std::string path = dir / "f.cfg";
    testsupport::WriteFileOrDie(path, "a much longer old content than the new one", 0640);
    ino_t oldInode = StatOf(path).st_ino;

    bool inPlace = true;
    DurableWriteOptions options;
    options.rewritten_in_place = &inPlace;
    ASSERT_EQ(0, Replace(path, "new", options));
    EXPECT_FALSE(inPlace);
    EXPECT_EQ("new", testsupport::ReadFileOrDie(path));
    EXPECT_NE(oldInode, StatOf(path).st_ino);  // replaced, not rewritten
    EXPECT_TRUE(Others(dir.path(), {"f.cfg"}).empty());

    ASSERT_EQ(0, Replace(path, ""));
    EXPECT_EQ("", testsupport::ReadFileOrDie(path));
}

TEST(DurableFile, KeepsOwnerGroupAndModeOfTheReplacedFile) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to give the file another owner";
    // Another owner; and the writer's own file in a set-group-ID directory of
    // another group, where a new file would take the directory's group.
    struct Case {
        uid_t uid;
        gid_t gid;
        gid_t setgid_dir_group;
    };
    for (const Case& c : {Case{1234, 4321, 0}, Case{0, 0, 4321}}) {
        testsupport::ScratchDir dir;
        if (c.setgid_dir_group != 0) {
            ASSERT_EQ(0, chown(dir.path().c_str(), 0, c.setgid_dir_group));
            ASSERT_EQ(0, chmod(dir.path().c_str(), 02770));
        }
        std::string path = dir / "owned.cfg";
        testsupport::WriteFileOrDie(path, "old", 0640);
        ASSERT_EQ(0, chown(path.c_str(), c.uid, c.gid));
        ASSERT_EQ(0, chmod(path.c_str(), 0640));

        // The temporary file must already carry the final owner and mode when the
        // content is in it, so it is never readable by more users than the result.
        struct stat tempStat {};
        DurableWriteOptions options;
        options.before_rename = [&](int fd) { return fstat(fd, &tempStat) == 0 ? 0 : errno; };
        ASSERT_EQ(0, Replace(path, "new", options));
        EXPECT_EQ(c.uid, tempStat.st_uid);
        EXPECT_EQ(c.gid, tempStat.st_gid);
        EXPECT_EQ(0640u, tempStat.st_mode & 07777);

        struct stat st = StatOf(path);
        EXPECT_EQ(c.uid, st.st_uid);
        EXPECT_EQ(c.gid, st.st_gid);
        EXPECT_EQ(0640u, st.st_mode & 07777);
        EXPECT_EQ("new", testsupport::ReadFileOrDie(path));
    }
}

TEST(DurableFile, NewFileGetsTheRequestedModeLessUmask) {
    testsupport::ScratchDir dir;
    mode_t old = umask(022);
    DurableWriteOptions options;
    options.create_mode = 0660;
    ASSERT_EQ(0, Replace(dir / "new.cfg", "x", options));
    ASSERT_EQ(0, Replace(dir / "default.cfg", "x"));
    umask(old);
    EXPECT_EQ(0640u, StatOf(dir / "new.cfg").st_mode & 07777);
    EXPECT_EQ(0644u, StatOf(dir / "default.cfg").st_mode & 07777);
}

TEST(DurableFile, FailureBeforeRenameKeepsOldContent) {
    testsupport::ScratchDir dir;
    std::string path = dir / "f.cfg";
    testsupport::WriteFileOrDie(path, "old");
    DurableWriteOptions options;
    options.before_rename = [](int) { return ERR_WRITE_FILE; };
    EXPECT_EQ(ERR_WRITE_FILE, Replace(path, "new", options));
    EXPECT_EQ("old", testsupport::ReadFileOrDie(path));
    EXPECT_TRUE(Others(dir.path(), {"f.cfg"}).empty());
}

TEST(DurableFile, SymbolicLinkStaysAndItsTargetIsReplaced) {
    testsupport::ScratchDir dir;
    fs::create_directory(dir / "real");
    testsupport::WriteFileOrDie(dir / "real/f.cfg", "old", 0600);
    fs::create_symlink("real/f.cfg", dir / "link.cfg");
    ASSERT_EQ(0, Replace(dir / "link.cfg", "new"));
    EXPECT_TRUE(fs::is_symlink(dir / "link.cfg"));
    EXPECT_EQ("new", testsupport::ReadFileOrDie(dir / "real/f.cfg"));
    EXPECT_EQ(0600u, StatOf(dir / "real/f.cfg").st_mode & 07777);
}

TEST(DurableFile, FallsBackToRewriteInPlaceWhenTheDirectoryIsClosed) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to run as another user";
    testsupport::ScratchDir dir;
    std::string sub = dir.MakeDir("locked", 0755);
    std::string path = sub + "/f.cfg";
    testsupport::WriteFileOrDie(path, "old old old", 0644);
    ASSERT_EQ(0, chown(path.c_str(), 65534, 65534));
    ASSERT_EQ(0, chmod(dir.path().c_str(), 0755));

    // The file's owner may write the file but not create files next to it.
    EXPECT_EQ(0, testsupport::RunAsNobody([&] {
        bool inPlace = false;
        DurableWriteOptions options;
        options.rewritten_in_place = &inPlace;
        int rc = Replace(path, "new", options);
        return rc != 0 ? 11 : inPlace ? 0 : 12;
    }));
    EXPECT_EQ("new", testsupport::ReadFileOrDie(path));
    EXPECT_EQ(65534u, StatOf(path).st_uid);
}

TEST(DurableFile, BindMountedFileIsRewrittenInPlace) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root for a private mount namespace";
    testsupport::ScratchDir dir;
    std::string source = dir / "source.cfg";
    std::string target = dir / "target.cfg";
    testsupport::WriteFileOrDie(source, "old mounted content");
    testsupport::WriteFileOrDie(target, "hidden");

    // A file mounted over the path cannot be renamed over; its content is
    // replaced instead, which the mount's source shows.
    const int status = testsupport::RunInChild([&] {
        if (unshare(CLONE_NEWNS) != 0) return 10;
        if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return 11;
        if (mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) != 0) return 12;
        bool inPlace = false;
        DurableWriteOptions options;
        options.rewritten_in_place = &inPlace;
        int rc = Replace(target, "new", options);
        return rc != 0 ? 13 : inPlace ? 0 : 14;
    });
    if (status == 10 || status == 11) GTEST_SKIP() << "no mount namespace here";
    EXPECT_EQ(0, status);
    EXPECT_EQ("new", testsupport::ReadFileOrDie(source));
    EXPECT_EQ("hidden", testsupport::ReadFileOrDie(target));
    EXPECT_TRUE(Others(dir.path(), {"source.cfg", "target.cfg"}).empty());
}

TEST(DurableFile, MissingDirectoryIsAnOpenFailure) {
    testsupport::ScratchDir dir;
    EXPECT_EQ(ERR_OPEN_FILE, Replace(dir / "absent/f.cfg", "x"));
    EXPECT_EQ(ERR_OPEN_FILE, Replace("", "x"));
}

TEST(DurableFile, StaleTemporaryFilesAreRemovedButNotThoseOfALiveWriter) {
    testsupport::ScratchDir dir;
    std::string path = dir / "t.cfg";
    testsupport::WriteFileOrDie(path, "old");
    testsupport::WriteFileOrDie(dir / ".t.cfg.AbC123", "left by a crash", 0600);
    testsupport::WriteFileOrDie(dir / ".other.cfg.AbC123", "not ours", 0600);
    // A writer still at work holds the lock on its temporary file.
    testsupport::WriteFileOrDie(dir / ".t.cfg.LiVe12", "being written", 0600);
    int live = open((dir / ".t.cfg.LiVe12").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(live, 0);
    ASSERT_EQ(0, flock(live, LOCK_EX));
    for (bool asked : {false, true}) {
        DurableWriteOptions options;
        options.remove_stale_temporaries = asked;
        ASSERT_EQ(0, Replace(path, "new", options));
        std::vector<std::string> others = Others(dir.path(), {"t.cfg"});
        std::sort(others.begin(), others.end());
        EXPECT_EQ((std::vector<std::string>{".other.cfg.AbC123", ".t.cfg.LiVe12"}), others);
        testsupport::WriteFileOrDie(dir / ".t.cfg.AbC123", "left by a crash", 0600);
    }
    close(live);
}

}  // namespace
