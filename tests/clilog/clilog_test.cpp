#include "clilog/clilog.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <ctime>
#include <sstream>
#include <set>
#include <string>

#include "test_support.h"

using testsupport::RunOptions;
using testsupport::RunResult;

namespace {

// 2026-03-04 05:06:07 UTC.
constexpr const char* kPinnedSeconds = "1772600767";

RunResult Probe(std::vector<std::string> args, const std::string& clock = std::string(kPinnedSeconds) + ".005000000",
                const std::string& tz = "UTC") {
    RunOptions options;
    options.argv = {CLILOG_PROBE};
    options.argv.insert(options.argv.end(), args.begin(), args.end());
    options.env["TZ"] = tz;
    if (clock.empty()) options.unset_env.push_back("PROBE_CLOCK");
    else options.env["PROBE_CLOCK"] = clock;
    return testsupport::Run(options);
}

std::string PidOf(const RunResult& r) {
    long pid = 0;
    return std::sscanf(r.out.c_str(), "pid=%ld\n", &pid) == 1 ? std::to_string(pid) : std::string("?");
}

std::string Lines(const std::string& pid, const std::string& rest) {
    return "pid=" + pid + "\n" + rest;
}

std::string Capture(const std::string& command) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), pipe)) > 0) out.append(buf, n);
    pclose(pipe);
    return out;
}

TEST(ClilogReport, ErrorGoesToStderrWithTheFullPrefixAndContinues) {
    const RunResult r = Probe({"report", "20"});
    const std::string pid = PidOf(r);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, "2026-03-04 05:06:07.005 [" + pid + "] probe.c:42 (probe_main) ERROR: value 7 and text\n");
    EXPECT_EQ(r.out, Lines(pid, "continued\n"));
}

TEST(ClilogReport, LowerLevelsGoToStdout) {
    const std::pair<int, const char*> levels[] = {{10, "DEBUG"},  {14, "DEBUG"}, {15, "LOG"},
                                                  {16, "LOG"},    {17, "INFO"},  {18, "NOTICE"},
                                                  {19, "WARNING"}, {9, "???"},   {-1, "???"}};
    for (const auto& [level, name] : levels) {
        const RunResult r = Probe({"report", std::to_string(level)}, std::string(kPinnedSeconds) + ".999999999");
        const std::string pid = PidOf(r);
        EXPECT_EQ(r.exit_code, 0) << level;
        EXPECT_EQ(r.err, "") << level;
        EXPECT_EQ(r.out, Lines(pid, "2026-03-04 05:06:07.999 [" + pid + "] probe.c:42 (probe_main) " + name +
                                        ": value 7 and text\ncontinued\n"))
            << level;
    }
}

TEST(ClilogReport, FatalExitsWithStatusOne) {
    const RunResult r = Probe({"report", "21"}, std::string(kPinnedSeconds) + ".000000000");
    const std::string pid = PidOf(r);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "2026-03-04 05:06:07.000 [" + pid + "] probe.c:42 (probe_main) FATAL: value 7 and text\n");
    EXPECT_EQ(r.out, Lines(pid, ""));
}

TEST(ClilogReport, PanicAndUnknownHighLevelsAbort) {
    for (const auto& [level, name] : {std::pair<int, const char*>{22, "PANIC"}, {23, "???"}}) {
        const RunResult r = Probe({"report", std::to_string(level)});
        const std::string pid = PidOf(r);
        EXPECT_EQ(r.term_signal, SIGABRT) << level;
        EXPECT_EQ(r.err, "2026-03-04 05:06:07.005 [" + pid + "] probe.c:42 (probe_main) " + name +
                             ": value 7 and text\n")
            << level;
        EXPECT_EQ(r.out, Lines(pid, "")) << level;
    }
}

TEST(ClilogReport, TimeIsLocalTime) {
    // POSIX zone nine hours east of UTC, no zone database needed.
    const RunResult r = Probe({"report", "20"}, std::string(kPinnedSeconds) + ".123456789", "XYZ-9");
    EXPECT_EQ(r.err, "2026-03-04 14:06:07.123 [" + PidOf(r) + "] probe.c:42 (probe_main) ERROR: value 7 and text\n");
}

// Milliseconds since the epoch on the wall clock the library reads. time() is
// not used: it reads a coarser clock that can still show the previous second
// after the program has printed the next one.
long long WallClockMillis() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

TEST(ClilogReport, RealClockIsUsed) {
    const long long before = WallClockMillis();
    const RunResult r = Probe({"report", "20"}, "");
    const long long after = WallClockMillis();
    std::tm when{};
    unsigned millis = 0;
    long pid = 0;
    char rest[128] = {};
    ASSERT_EQ(std::sscanf(r.err.c_str(), "%4d-%2d-%2d %2d:%2d:%2d.%3u [%ld] %127[^\n]", &when.tm_year, &when.tm_mon,
                          &when.tm_mday, &when.tm_hour, &when.tm_min, &when.tm_sec, &millis, &pid, rest),
              9)
        << r.err;
    EXPECT_EQ(std::string(rest), "probe.c:42 (probe_main) ERROR: value 7 and text");
    EXPECT_EQ(r.err.size(), std::string("2026-03-04 05:06:07.005 [] ").size() + std::to_string(pid).size() +
                                std::string(rest).size() + 1)
        << "fixed-width date and time fields: " << r.err;
    when.tm_year -= 1900;
    when.tm_mon -= 1;
    // Both sides truncate to the millisecond, so the printed time lies between them.
    const long long printed = static_cast<long long>(timegm(&when)) * 1000 + millis;
    EXPECT_GE(printed, before) << r.err;
    EXPECT_LE(printed, after) << r.err;
}

TEST(ClilogTrap, PrintsTheTrapLineAndAborts) {
    const RunResult r = Probe({"trap"});
    const std::string pid = PidOf(r);
    EXPECT_EQ(r.term_signal, SIGABRT);
    EXPECT_EQ(r.err, "2026-03-04 05:06:07.005 [" + pid +
                         "] fe_assert:32 (ExceptionalCondition) PANIC: "
                         "TRAP: FailedAssertion(\"!(input)\", File: \"wrapper.cpp\", Line: 117)\n");
    // Output still buffered when the trap fires is not lost.
    EXPECT_EQ(r.out, Lines(pid, "before trap\n"));
}

TEST(ClilogTrap, MissingArgumentsStillAbort) {
    const RunResult r = Probe({"trap-null"});
    EXPECT_EQ(r.term_signal, SIGABRT);
    EXPECT_EQ(r.err, "2026-03-04 05:06:07.005 [" + PidOf(r) +
                         "] fe_assert:32 (ExceptionalCondition) PANIC: TRAP: ExceptionalCondition: bad arguments\n");
}

TEST(ClilogTrap, AssertMacroNamesTheNegatedCondition) {
    const RunResult r = Probe({"assert-macro"});
    EXPECT_EQ(r.term_signal, SIGABRT);
    const std::string tail = "TRAP: FailedAssertion(\"!(argc > 99)\", File: \"";
    EXPECT_NE(r.err.find(tail), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("clilog_probe.c\", Line: "), std::string::npos) << r.err;
}

TEST(ClilogLibrary, ExportsOnlyTheFourEntryPointsAndNoCxxRuntime) {
    std::set<std::string> exported;
    const std::string symbols = Capture("nm -D --defined-only '" CLILOG_LIBRARY "'");
    std::istringstream lines(symbols);
    std::string address, type, name;
    while (lines >> address >> type >> name) {
        // Sanitizer builds add their own reserved names.
        if (name.rfind("_", 0) == 0) continue;
        exported.insert(name);
    }
    EXPECT_EQ(exported, (std::set<std::string>{"ExceptionalCondition", "errfinish", "errmsg", "errstart"}));

    const std::string dynamic = Capture("readelf -d '" CLILOG_LIBRARY "'");
    EXPECT_NE(dynamic.find("Library soname: [libclilog.so]"), std::string::npos) << dynamic;
    EXPECT_EQ(dynamic.find("libstdc++"), std::string::npos) << dynamic;
    static_assert(CLILOG_ERROR == 20 && CLILOG_FATAL == 21 && CLILOG_PANIC == 22);
}

}  // namespace
