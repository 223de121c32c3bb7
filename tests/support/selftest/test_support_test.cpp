// Checks of the test harness itself: the isolation every end-to-end test relies on.
#include "test_support.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace testsupport;

TEST(RunTest, CapturesStreamsStatusAndStdin) {
    auto r = RunProgram({"/bin/sh", "-c", "cat; echo err >&2; exit 3"}, std::string("hello\n"));
    EXPECT_EQ(r.exit_code, 3);
    EXPECT_EQ(r.out, "hello\n");
    EXPECT_EQ(r.err, "err\n");

    auto big = std::string(1 << 20, 'x');
    auto echo = RunProgram({"/bin/cat"}, big);
    EXPECT_EQ(echo.out.size(), big.size());

    auto sig = RunProgram({"/bin/sh", "-c", "kill -9 $$"});
    EXPECT_EQ(sig.exit_code, -1);
    EXPECT_EQ(sig.term_signal, 9);
}

TEST(RunTest, BindsOverMissingFixedPathWithoutTouchingHost) {
    ScratchDir dir;
    std::string etc = dir.MakeDir("etc-postgres");
    struct stat before {};
    bool existed = stat("/etc/postgres", &before) == 0;

    RunOptions o;
    o.argv = {"/bin/sh", "-c", "echo inside > /etc/postgres/probe && cat /etc/hostname >/dev/null && ls /etc/postgres"};
    o.binds = {{etc, "/etc/postgres"}};
    auto r = RunProgram(o);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "probe\n");
    EXPECT_EQ(ReadFileOrDie(etc + "/probe"), "inside\n");

    struct stat after {};
    EXPECT_EQ(stat("/etc/postgres", &after) == 0, existed);
    if (!existed) {
        EXPECT_NE(access("/etc/postgres/probe", F_OK), 0);
    }
}

TEST(RunTest, TwoNamespacesSeeTheirOwnDirectories) {
    ScratchDir a, b;
    RunOptions oa, ob;
    oa.argv = ob.argv = {"/bin/sh", "-c", "echo $WHO > /etc/postgres/who"};
    oa.binds = {{a.path(), "/etc/postgres"}};
    ob.binds = {{b.path(), "/etc/postgres"}};
    oa.env["WHO"] = "a";
    ob.env["WHO"] = "b";
    auto ra = RunProgram(oa);
    auto rb = RunProgram(ob);
    ASSERT_EQ(ra.exit_code, 0) << ra.err;
    ASSERT_EQ(rb.exit_code, 0) << rb.err;
    EXPECT_EQ(ReadFileOrDie(a / "who"), "a\n");
    EXPECT_EQ(ReadFileOrDie(b / "who"), "b\n");
}

TEST(PtySessionTest, EchoesTypedInputAndReportsStatus) {
    RunOptions o;
    o.argv = {"/bin/sh", "-c", "printf 'name: '; read x; stty -echo; printf 'secret: '; read y; stty echo; echo; echo \"got $x/$y\"; exit 4"};
    PtySession s(o);
    ASSERT_TRUE(s.WaitFor("name: "));
    s.Send("bob\r");
    ASSERT_TRUE(s.WaitFor("secret: "));
    s.Send("hidden\r");
    auto r = s.Wait();
    EXPECT_EQ(r.exit_code, 4);
    EXPECT_NE(r.out.find("bob"), std::string::npos);
    EXPECT_EQ(r.out.find("secret: hidden"), std::string::npos);
    EXPECT_NE(r.out.find("got bob/hidden"), std::string::npos);
}
