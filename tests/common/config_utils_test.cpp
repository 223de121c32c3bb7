#include "common/config_utils.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>

#include "common/error_code.h"
#include "test_support.h"

using common_routines::ConfigUtils;
using common_routines::ErrorResult;
using testsupport::ScratchDir;
using testsupport::WriteFileOrDie;
using Map = std::map<std::string, std::string>;

namespace {

Map Parse(const std::string& text, ErrorResult* result = nullptr) {
    ConfigUtils config("/nonexistent/config.cfg");
    ErrorResult r = config.LoadFromString(text);
    if (result != nullptr) *result = r;
    else EXPECT_EQ(r, nullptr) << r->second;
    return config.Values();
}

// Moves a file's modification time by `seconds` relative to now.
void SetMtime(const std::string& path, time_t seconds) {
    timespec times[2];
    clock_gettime(CLOCK_REALTIME, &times[0]);
    times[0].tv_sec += seconds;
    times[1] = times[0];
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

TEST(ConfigSyntax, SetAppendCommentAndBlankLines) {
    EXPECT_EQ(Parse("a=1\n"
                    "  b = two words  \r\n"
                    "\t# comment = x\n"
                    "; other comment\n"
                    "   \t\v\f\n"
                    "\n"
                    "c=\"q\" # not a comment\n"
                    "d = x=y\n"
                    "no separator here\n"
                    "= no key\n"
                    "last=no newline"),
              (Map{{"a", "1"},
                   {"b", "two words"},
                   {"c", "\"q\" # not a comment"},
                   {"d", "x=y"},
                   {"last", "no newline"}}));
}

TEST(ConfigSyntax, AppendLinesJoinWithLineFeeds) {
    EXPECT_EQ(Parse("a=1\na+=2\na += 3\n"), (Map{{"a", "1\n2\n3"}}));
    EXPECT_EQ(Parse("k +=\n"), (Map{{"k", ""}}));
    EXPECT_EQ(Parse("k +=\nk += v\n"), (Map{{"k", "v"}}));
    EXPECT_EQ(Parse("k = v\nk +=\n"), (Map{{"k", "v\n"}}));
    // An empty set line does not create the key and does not count as a duplicate.
    EXPECT_EQ(Parse("key =\n"), Map{});
    EXPECT_EQ(Parse("a=1\na=  \n"), (Map{{"a", "1"}}));
}

TEST(ConfigSyntax, FirstPlusEqualsDecidesTheSeparator) {
    EXPECT_EQ(Parse("x=y+=z\n"), (Map{{"x=y", "z"}}));
    EXPECT_EQ(Parse("+=5\n"), (Map{{"+", "5"}}));
}

TEST(ConfigSyntax, DuplicateSetStopsTheLoadAndKeepsEarlierEntries) {
    ErrorResult r;
    ConfigUtils config("/etc/some.cfg");
    r = config.LoadFromString("first=1\na=1\na=2\nlater=3\n");
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->first, ERR_FORMAT);
    EXPECT_EQ(r->second,
              "LoadFromStream(): File '/etc/some.cfg' contains duplicated parameter 'a'. Error: format error");
    EXPECT_EQ(config.Values(), (Map{{"a", "1"}, {"first", "1"}}));

    // A set after an append of the same key is a duplicate too.
    Map partial = Parse("b+=1\nb=2\n", &r);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->first, ERR_FORMAT);
}

TEST(ConfigSyntax, EveryLoadStartsEmpty) {
    ConfigUtils config("/nonexistent");
    ASSERT_EQ(config.LoadFromString("a=1\n"), nullptr);
    ASSERT_EQ(config.LoadFromString("b=2\n"), nullptr);
    EXPECT_EQ(config.Values(), (Map{{"b", "2"}}));
    std::istringstream stream("c=3");
    ASSERT_EQ(config.LoadFromStream(stream), nullptr);
    EXPECT_EQ(config.Values(), (Map{{"c", "3"}}));
}

TEST(ConfigValues, GetAndSet) {
    ConfigUtils config("/nonexistent");
    ASSERT_EQ(config.LoadFromString("Key=v\n"), nullptr);
    std::string value = "keep";
    ErrorResult r = config.GetValue("key", value);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->first, ERR_NOT_FOUND);
    EXPECT_EQ(r->second, "GetValue(): Could not find value in config by key 'key'. Error: object is not found");
    EXPECT_EQ(value, "keep");
    EXPECT_EQ(config.GetValue("Key", value), nullptr);
    EXPECT_EQ(value, "v");
    config.SetValue("Key", "w");
    config.SetValue("new", "n");
    EXPECT_EQ(config.Values(), (Map{{"Key", "w"}, {"new", "n"}}));
}

TEST(ConfigFile, LoadMissingOrUnreadable) {
    ScratchDir dir;
    ConfigUtils missing(dir / "missing.cfg");
    ErrorResult r = missing.LoadConfigFile(true);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->first, ERR_FILE_NOT_FOUND);
    EXPECT_EQ(r->second, "LoadConfigFile(): File '" + dir / "missing.cfg" + "' is not found. Error: file is not found");
    EXPECT_EQ(missing.LoadConfigFile(false), nullptr);
    EXPECT_TRUE(missing.Values().empty());

    // A directory opens but cannot be read; it must not load as an empty file.
    ConfigUtils directory(dir.path());
    r = directory.LoadConfigFile(true);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->first, ERR_READ_FILE);

    // A FIFO cannot be opened without waiting for a writer for ever (in a
    // child, so that a hang ends there).
    ASSERT_EQ(0, mkfifo((dir / "fifo.cfg").c_str(), 0600));
    EXPECT_EQ(testsupport::RunInChild([&] {
                  alarm(120);
                  ErrorResult fifo = ConfigUtils(dir / "fifo.cfg").LoadConfigFile(true);
                  return fifo ? -fifo->first : 0;
              }),
              -ERR_OPEN_FILE);
}

TEST(ConfigFile, SaveWritesSortedLinesThatReloadToTheSameMap) {
    ScratchDir dir;
    const std::string path = dir / "out.cfg";
    ConfigUtils config(path);
    config.SetValue("zeta", "last one");
    config.SetValue("alpha", "a = b # c");
    config.SetValue("multi", "one\ntwo\n\nfour");
    config.SetValue("empty", "");
    ASSERT_EQ(config.SaveConfigFile(), nullptr);
    EXPECT_EQ(testsupport::ReadFileOrDie(path),
              "alpha = a = b # c\n"
              "empty += \n"
              "multi = one\nmulti += two\nmulti += \nmulti += four\n"
              "zeta = last one\n");

    ConfigUtils reloaded(path);
    ASSERT_EQ(reloaded.LoadConfigFile(true), nullptr);
    EXPECT_EQ(reloaded.Values(), config.Values());
}

TEST(ConfigFile, SaveFailureNamesPathAndReason) {
    ScratchDir dir;
    ConfigUtils config(dir / "no/such/dir/out.cfg");
    config.SetValue("a", "1");
    ErrorResult r = config.SaveConfigFile();
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->first, ERR_COMMON);
    const std::string head = "SaveConfigFile(): Could not write to file '" + dir / "no/such/dir/out.cfg" + "'. Exception: ";
    EXPECT_EQ(r->second.substr(0, head.size()), head);
    EXPECT_NE(r->second.find(". Error: common error"), std::string::npos);
    EXPECT_GT(r->second.size(), head.size() + std::string(". Error: common error").size());

    ConfigUtils full("/dev/full");
    full.SetValue("a", "1");
    r = full.SaveConfigFile();
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->first, ERR_COMMON);
}

TEST(ConfigFile, LoadedIsActualFollowsTheFileOnDisk) {
    ScratchDir dir;
    const std::string path = dir / "dyn.cfg";
    WriteFileOrDie(path, "a=1\n");
    SetMtime(path, -100);
    ConfigUtils config(path);
    EXPECT_FALSE(config.LoadedIsActual()) << "not loaded yet";
    ASSERT_EQ(config.LoadConfigFile(true), nullptr);
    EXPECT_TRUE(config.LoadedIsActual());

    WriteFileOrDie(path, "a=2\n");
    SetMtime(path, -50);
    EXPECT_FALSE(config.LoadedIsActual());
    EXPECT_FALSE(config.LoadedIsActual()) << "asking does not reload";
    ASSERT_EQ(config.LoadConfigFile(true), nullptr);
    EXPECT_TRUE(config.LoadedIsActual());
    std::string value;
    ASSERT_EQ(config.GetValue("a", value), nullptr);
    EXPECT_EQ(value, "2");

    // A failed load leaves the old stamp in place.
    WriteFileOrDie(path, "a=3\na=4\n");
    SetMtime(path, -10);
    ASSERT_NE(config.LoadConfigFile(true), nullptr);
    EXPECT_FALSE(config.LoadedIsActual());

    // Loading from a string stamps with the file at the bound path.
    ASSERT_EQ(config.LoadFromString("a=5\n"), nullptr);
    EXPECT_TRUE(config.LoadedIsActual());

    ASSERT_EQ(unlink(path.c_str()), 0);
    EXPECT_TRUE(config.LoadedIsActual());
}

TEST(ConfigFile, SameSecondNewerNanosecondsIsStale) {
    ScratchDir dir;
    const std::string path = dir / "ns.cfg";
    WriteFileOrDie(path, "a=1\n");
    timespec times[2] = {{1000, 100}, {1000, 100}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    ConfigUtils config(path);
    ASSERT_EQ(config.LoadConfigFile(true), nullptr);
    EXPECT_TRUE(config.LoadedIsActual());
    times[0].tv_nsec = times[1].tv_nsec = 200;
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    EXPECT_FALSE(config.LoadedIsActual());
    times[0] = times[1] = {999, 999999999};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    EXPECT_TRUE(config.LoadedIsActual());
}

}  // namespace
