#include "common/common_routines.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/error_code.h"
#include "test_support.h"

namespace cr = common_routines;

namespace {

using testsupport::ReadFileOrDie;
using testsupport::ScratchDir;
using testsupport::WriteFileOrDie;

std::string Cwd() {
    char buf[PATH_MAX];
    return getcwd(buf, sizeof(buf)) != nullptr ? std::string(buf) : std::string();
}

std::string Real(const std::string& path) {
    char buf[PATH_MAX];
    return realpath(path.c_str(), buf) != nullptr ? std::string(buf) : std::string();
}

using testsupport::RunAsNobody;

TEST(PathText, JoinPathAddsOrDropsOneSlashAtTheSeam) {
    EXPECT_EQ(cr::JoinPath("/a/", "/b"), "/a/b");
    EXPECT_EQ(cr::JoinPath("/a", "b"), "/a/b");
    EXPECT_EQ(cr::JoinPath("/a/", "b"), "/a/b");
    EXPECT_EQ(cr::JoinPath("/a", "/b"), "/a/b");
    EXPECT_EQ(cr::JoinPath("", "b/c"), "b/c");
    EXPECT_EQ(cr::JoinPath("/a", ""), "/a");
    EXPECT_EQ(cr::JoinPath("", ""), "");
    // Only the seam is touched.
    EXPECT_EQ(cr::JoinPath("a//", "//b"), "a///b");
    EXPECT_EQ(cr::JoinPath("a/..", "./b"), "a/.././b");
}

TEST(PathText, ParentAndFileNameSplitAtTheLastSlash) {
    EXPECT_EQ(cr::ExtractParentPath("/usr/lib/x.so"), "/usr/lib");
    EXPECT_EQ(cr::ExtractParentPath("name"), "name");
    EXPECT_EQ(cr::ExtractParentPath("/name"), "");
    EXPECT_EQ(cr::ExtractParentPath("dir/"), "dir");
    EXPECT_EQ(cr::ExtractFileName("/usr/lib/x.so"), "x.so");
    EXPECT_EQ(cr::ExtractFileName("name"), "name");
    EXPECT_EQ(cr::ExtractFileName("dir/"), "");
}

TEST(PathText, CanonicalCheckIsTextual) {
    EXPECT_TRUE(cr::IsPathCanonical("/usr/lib"));
    EXPECT_TRUE(cr::IsPathCanonical("relative/name.ext"));
    EXPECT_FALSE(cr::IsPathCanonical("/home/u/.cfg"));
    EXPECT_FALSE(cr::IsPathCanonical("../x"));
    EXPECT_FALSE(cr::IsPathCanonical("a/.."));
    EXPECT_FALSE(cr::IsPathCanonical("./a"));
    EXPECT_FALSE(cr::IsPathCanonical("name./b"));
}

TEST(FileKinds, LinksAreExaminedWithoutFollowingExceptForExistence) {
    ScratchDir dir;
    const std::string sub = dir.MakeDir("sub");
    const std::string link = dir / "link";
    const std::string dangling = dir / "dangling";
    ASSERT_EQ(symlink(sub.c_str(), link.c_str()), 0);
    ASSERT_EQ(symlink((dir / "missing").c_str(), dangling.c_str()), 0);

    EXPECT_TRUE(cr::IsFolder(sub));
    EXPECT_FALSE(cr::IsFolder(link));
    EXPECT_TRUE(cr::IsSymLink(link));
    EXPECT_FALSE(cr::IsSymLink(sub));
    EXPECT_FALSE(cr::IsFolder(dir / "missing"));
    EXPECT_FALSE(cr::IsSymLink(dir / "missing"));

    EXPECT_TRUE(cr::CheckFileExists(link));
    EXPECT_TRUE(cr::IsSymLink(dangling));
    EXPECT_FALSE(cr::CheckFileExists(dangling));

    std::string target = "untouched";
    EXPECT_EQ(cr::ReadSymLink(link, target), 0);
    EXPECT_EQ(target, sub);
    EXPECT_EQ(cr::ReadSymLink(sub, target), ERR_READ_SYMLINK);
    EXPECT_EQ(target, sub);
}

TEST(MakePathCanonical, ResolvesAgainstCwdDirectoryOrTheDirectoryOfAFile) {
    ScratchDir dir;
    const std::string root = Real(dir.path());
    dir.MakeDir("a/b");
    WriteFileOrDie(dir / "a/file.cfg", "x");
    WriteFileOrDie(dir / "a/b/target", "x");
    ASSERT_EQ(symlink("b/target", (dir / "a/link").c_str()), 0);
    const std::string before = Cwd();

    std::string out;
    EXPECT_EQ(cr::MakePathCanonical(dir / "a/b/../link", "", out), 0);
    EXPECT_EQ(out, root + "/a/b/target");

    out.clear();
    EXPECT_EQ(cr::MakePathCanonical("../b/./../link", dir / "a/b", out), 0);
    EXPECT_EQ(out, root + "/a/b/target");

    // A base that names a file resolves relative to that file's directory.
    out.clear();
    EXPECT_EQ(cr::MakePathCanonical("b/target", dir / "a/file.cfg", out), 0);
    EXPECT_EQ(out, root + "/a/b/target");

    // A link given as base is a file in its own directory, not its target.
    out.clear();
    EXPECT_EQ(cr::MakePathCanonical("file.cfg", dir / "a/link", out), 0);
    EXPECT_EQ(out, root + "/a/file.cfg");

    EXPECT_EQ(Cwd(), before);
}

TEST(MakePathCanonical, BaseFileWithoutDirectoryPartUsesCwdOrRoot) {
    ScratchDir dir;
    WriteFileOrDie(dir / "here.cfg", "x");
    const std::string before = Cwd();
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    std::string out;
    EXPECT_EQ(cr::MakePathCanonical("here.cfg", "here.cfg", out), 0);
    EXPECT_EQ(out, Real(dir.path()) + "/here.cfg");
    EXPECT_EQ(cr::MakePathCanonical("etc", "/no-such-file-under-root", out), 0);
    EXPECT_EQ(out, Real("/etc"));
    ASSERT_EQ(chdir(before.c_str()), 0);
}

TEST(MakePathCanonical, FailuresLeaveOutputAndCwdUnchanged) {
    ScratchDir dir;
    const std::string before = Cwd();
    std::string out = "keep";
    EXPECT_EQ(cr::MakePathCanonical(dir / "missing", "", out), ERR_EXPAND_PATH);
    EXPECT_EQ(cr::MakePathCanonical("missing", dir.path(), out), ERR_EXPAND_PATH);
    EXPECT_EQ(Cwd(), before);
    EXPECT_EQ(cr::MakePathCanonical("x", dir / "no/such/base", out), ERR_CHANGE_DIR);
    EXPECT_EQ(out, "keep");
    EXPECT_EQ(Cwd(), before);
}

TEST(MakePathCanonical, UnreadableWorkingDirectoryGivesGetCwdError) {
    ScratchDir dir;
    const std::string gone = dir.MakeDir("gone");
    const std::string before = Cwd();
    ASSERT_EQ(chdir(gone.c_str()), 0);
    ASSERT_EQ(rmdir(gone.c_str()), 0);
    std::string out = "keep";
    EXPECT_EQ(cr::MakePathCanonical("x", dir.path(), out), ERR_GET_CWD);
    EXPECT_EQ(out, "keep");
    ASSERT_EQ(chdir(before.c_str()), 0);
}

TEST(WholeFiles, WriteThenReadKeepsEveryByte) {
    ScratchDir dir;
    const std::string path = dir / "data";
    const std::string data("a\0b\r\n\xff\n", 7);
    ASSERT_EQ(cr::WriteFile(path, data.data(), data.size()), 0);
    std::string back;
    EXPECT_EQ(cr::ReadFile(path, back), 0);
    EXPECT_EQ(back, data);

    // Rewriting truncates.
    ASSERT_EQ(cr::WriteFile(path, "xy", 2), 0);
    EXPECT_EQ(cr::ReadFile(path, back), 0);
    EXPECT_EQ(back, "xy");

    ASSERT_EQ(cr::WriteFile(path, nullptr, 0), 0);
    back = "stale";
    EXPECT_EQ(cr::ReadFile(path, back), 0);
    EXPECT_EQ(back, "");
    uint64_t size = 7;
    EXPECT_TRUE(cr::GetFileSize(path, size));
    EXPECT_EQ(size, 0u);
}

TEST(WholeFiles, NewFileGetsDefaultModeLessUmask) {
    ScratchDir dir;
    const mode_t previous = umask(027);
    const int rc = cr::WriteFile(dir / "f", "x", 1);
    umask(previous);
    ASSERT_EQ(rc, 0);
    struct stat st {};
    ASSERT_EQ(stat((dir / "f").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
}

TEST(WholeFiles, FailureCodes) {
    ScratchDir dir;
    std::string out = "keep";
    EXPECT_EQ(cr::ReadFile(dir / "missing", out), ERR_FILE_NOT_FOUND);
    EXPECT_EQ(cr::ReadFile(dir.path(), out), ERR_READ_FILE);
    EXPECT_EQ(cr::WriteFile(dir.path(), "x", 1), ERR_OPEN_FILE);
    EXPECT_EQ(cr::WriteFile(dir / "no/such/dir/f", "x", 1), ERR_OPEN_FILE);
    // A device that refuses the data must not pass for a written file.
    EXPECT_EQ(cr::WriteFile("/dev/full", "x", 1), ERR_WRITE_FILE);
    uint64_t size = 42;
    EXPECT_FALSE(cr::GetFileSize(dir / "missing", size));
    EXPECT_EQ(size, 42u);

    const std::string secret = dir / "secret";
    WriteFileOrDie(secret, "s", 0);
    chmod(dir.path().c_str(), 0755);
    EXPECT_EQ(RunAsNobody([&] {
                  std::string text;
                  return -cr::ReadFile(secret, text);
              }),
              -ERR_OPEN_FILE);

    // A FIFO, whose open would wait for a writer for ever (in a child, so that
    // a hang ends there).
    ASSERT_EQ(0, mkfifo((dir / "fifo").c_str(), 0600));
    EXPECT_EQ(testsupport::RunInChild([&] {
                  alarm(120);
                  std::string text;
                  return -cr::ReadFile(dir / "fifo", text);
              }),
              -ERR_OPEN_FILE);
}

TEST(WholeFiles, CopyFile) {
    ScratchDir dir;
    const std::string data("bin\0ary\n", 8);
    WriteFileOrDie(dir / "src", data);
    EXPECT_TRUE(cr::CopyFile(dir / "src", dir / "dst"));
    EXPECT_EQ(ReadFileOrDie(dir / "dst"), data);

    // An empty source gives an empty copy, not a failure.
    WriteFileOrDie(dir / "empty", "");
    WriteFileOrDie(dir / "dst", "old");
    EXPECT_TRUE(cr::CopyFile(dir / "empty", dir / "dst"));
    EXPECT_EQ(ReadFileOrDie(dir / "dst"), "");

    // A missing source is a failure and leaves the destination alone.
    EXPECT_FALSE(cr::CopyFile(dir / "missing", dir / "other"));
    EXPECT_FALSE(cr::CheckFileExists(dir / "other"));
    EXPECT_FALSE(cr::CopyFile(dir / "src", dir / "no/such/dir"));
    EXPECT_FALSE(cr::CopyFile(dir / "src", "/dev/full"));
}

TEST(DirectoryList, ListsEveryEntryOnceWithFullPaths) {
    ScratchDir dir;
    WriteFileOrDie(dir / "b", "");
    WriteFileOrDie(dir / "a", "");
    dir.MakeDir("c");
    ASSERT_EQ(symlink("nowhere", (dir / "d").c_str()), 0);

    auto sorted = cr::GetFilePathListFromDir(dir.path(), std::less<std::string>());
    EXPECT_EQ(sorted, (std::vector<std::string>{dir / "a", dir / "b", dir / "c", dir / "d"}));

    auto raw = cr::GetFilePathListFromDir(dir.path() + "/");
    std::sort(raw.begin(), raw.end());
    EXPECT_EQ(raw, sorted);

    EXPECT_TRUE(cr::GetFilePathListFromDir(dir / "missing").empty());
    EXPECT_TRUE(cr::GetFilePathListFromDir(dir / "a").empty());
}

TEST(Strings, TrimString) {
    EXPECT_EQ(cr::TrimString("\t a b \n"), "a b");
    EXPECT_EQ(cr::TrimString("\f\v\rx\r\v\f"), "x");
    EXPECT_EQ(cr::TrimString("   "), "   ");
    EXPECT_EQ(cr::TrimString(""), "");
    EXPECT_EQ(cr::TrimString("x"), "x");
}

TEST(Strings, SplitString) {
    using V = std::vector<std::string>;
    EXPECT_EQ(cr::SplitString("a,,b", ","), (V{"a", "", "b"}));
    EXPECT_EQ(cr::SplitString(",a,", ","), (V{"", "a"}));
    EXPECT_EQ(cr::SplitString("a b;c", " ;"), (V{"a", "b", "c"}));
    EXPECT_EQ(cr::SplitString("", ","), V{});
    EXPECT_EQ(cr::SplitString("abc", ""), V{"abc"});
    EXPECT_EQ(cr::SplitString(",", ","), V{""});
}

TEST(Network, AddressAndPortValidation) {
    EXPECT_TRUE(cr::IsIpAddressValid("127.0.0.1"));
    EXPECT_TRUE(cr::IsIpAddressValid("255.255.255.255"));
    EXPECT_FALSE(cr::IsIpAddressValid("256.0.0.1"));
    EXPECT_FALSE(cr::IsIpAddressValid("localhost"));
    EXPECT_FALSE(cr::IsIpAddressValid("::1"));
    EXPECT_FALSE(cr::IsIpAddressValid("1.2.3"));
    EXPECT_FALSE(cr::IsIpAddressValid(""));
    EXPECT_FALSE(cr::IsIpAddressValid(nullptr));
    EXPECT_FALSE(cr::IsPortValid(0));
    EXPECT_TRUE(cr::IsPortValid(1));
    EXPECT_TRUE(cr::IsPortValid(65535));
    EXPECT_FALSE(cr::IsPortValid(65536));
    EXPECT_FALSE(cr::IsPortValid(-1));
}

}  // namespace

TEST(StorableText, WellFormedUtf8WithoutZeroBytesOnly) {
    struct Case {
        std::string text;
        bool storable;
    };
    const Case cases[] = {
        {"", true},
        {"plain ascii ~", true},
        {"\xc3\xa9t\xc3\xa9 \xe2\x82\xac \xf0\x9f\x94\x91 \xf4\x8f\xbf\xbf", true},  // up to U+10FFFF
        {std::string("a\0b", 3), false},
        {"\xff", false},
        {"\x80", false},                  // continuation byte alone
        {"\xc3", false},                  // cut short
        {"\xe2\x82", false},
        {"\xc0\xaf", false},              // overlong "/"
        {"\xe0\x80\xaf", false},
        {"\xed\xa0\x80", false},          // UTF-16 surrogate
        {"\xf4\x90\x80\x80", false},      // beyond U+10FFFF
        {"\xf8\x88\x80\x80\x80", false},  // five-byte form
        {"ok\xc3\x28", false},            // bad continuation
    };
    for (const Case& c : cases)
        EXPECT_EQ(cr::IsStorableText(c.text), c.storable) << testing::PrintToString(c.text);
}
