// paramseal from the staged install tree with a scratch directory bound over
// /etc/postgres; the result is decrypted in this process with the same host key
// and opened by libkeydepot through kms_host.

#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/error_code.h"
#include "credentials/credential_store.h"
#include "encryption_wrapper/encryption_wrapper.h"
#include "test_support.h"

namespace {

using testsupport::RunResult;

const std::string kGreen = "\33[32m";
const std::string kRed = "\33[31m";
const std::string kReset = "\33[0m";
const std::string kPath = "/etc/postgres/kms_static_params.cfg";

std::string Line(const std::string& colour, const std::string& text) { return colour + text + kReset + "\n"; }

std::string FailureLine(int code) {
    return Line(kRed, "Could not encrypt file. Error: " + std::to_string(code) + " (" + ErrorCodeToStr(code) + ")");
}

// A parameter file with the three static keys, exactly `size` bytes long, with or
// without a line feed after the last line.
std::string Params(size_t size, bool lastLineEnd = true) {
    const std::string head = "actual_master_key = a1\nmaster_key_value_00000000_000000_000 = m1\nwal_key = ";
    const size_t end = lastLineEnd ? 1 : 0;
    return head + std::string(size - head.size() - end, 'w') + (lastLineEnd ? "\n" : "");
}

class Paramseal : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ASSERT_EQ(EncryptionInit(LibDir().c_str(), "libcipherbox.so", nullptr, nullptr), 0);
    }
    static std::string LibDir() { return testsupport::StagePrefix() + "/lib"; }

    testsupport::ScratchDir scratch_;
    std::string etc_ = scratch_.MakeDir("etc");
    std::string file_ = etc_ + "/kms_static_params.cfg";

    RunResult Run(std::vector<std::string> args = {}) const {
        testsupport::RunOptions o;
        o.argv = {testsupport::StagedProgram("paramseal")};
        o.argv.insert(o.argv.end(), args.begin(), args.end());
        o.binds = {{etc_, "/etc/postgres"}};
        o.unset_env = {"PG_PLUGINS_PATH"};
        return testsupport::RunProgram(o);
    }
};

TEST_F(Paramseal, RefusedFilesStayUntouched) {
    struct Case {
        const char* name;
        std::optional<std::string> content;
        int code;
        std::string reason;  // extra red line before the failure line
        bool fifo = false;    // the path is a FIFO that nobody writes to
        bool linked = false;  // the file has a second hard link
    };
    const std::string copy = etc_ + "/copy.cfg";
    const std::string notText = "File " + kPath +
                                " is not a plain text parameter file (control byte at offset 7); it may be "
                                "encrypted already and is left unchanged";
    const std::vector<Case> cases = {
        {"missing", std::nullopt, -32, ""},
        {"duplicate", "a = 1\nb = 2\na = 3\n", -2, ""},
        {"nul_byte", std::string("a = 1\nb\0= 2\n", 12), -2, Line(kRed, notText)},
        {"control_byte", "a = 1\nb\x1b= 2\n", -2, Line(kRed, notText)},
        {"fifo", std::nullopt, -26, "", true},
        {"hard_link", Params(100), -17,
         Line(kRed, "File " + kPath +
                        " has 2 hard links; the plain text would stay under the other names, so it is left unchanged"),
         false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        unlink(file_.c_str());
        unlink(copy.c_str());
        if (c.content) testsupport::WriteFileOrDie(file_, *c.content, 0600);
        if (c.fifo) {
            ASSERT_EQ(mkfifo(file_.c_str(), 0600), 0);
        }
        if (c.linked) {
            ASSERT_EQ(link(file_.c_str(), copy.c_str()), 0);
        }
        RunResult r = Run();
        EXPECT_EQ(r.exit_code, c.code & 0xff);
        EXPECT_EQ(r.out, Line(kGreen, "Start to encrypt file: " + kPath) + c.reason + FailureLine(c.code));
        EXPECT_EQ(r.err, "");
        if (c.content) {
            EXPECT_EQ(testsupport::ReadFileOrDie(file_), *c.content);
        }
    }
}

// Encrypted once in place (block-padded, owner, group and mode kept), refused the
// second time, and opened by libkeydepot on this host.
TEST_F(Paramseal, EncryptsOnceForTheKmsSubstitute) {
    struct Case {
        size_t plainSize;
        size_t encryptedSize;
        unsigned mode;
        bool lastLineEnd = true;  // false: a line feed is added before encryption
    };
    for (const Case& c : std::vector<Case>{{100, 112, 0640}, {96, 96, 0604}, {96, 112, 0600, false}}) {
        SCOPED_TRACE(c.plainSize);
        SCOPED_TRACE(c.lastLineEnd);
        const std::string plain = Params(c.plainSize, c.lastLineEnd);
        testsupport::WriteFileOrDie(file_, plain, c.mode);
        ASSERT_EQ(chown(file_.c_str(), 4321, 8765), 0);

        // Arguments are ignored.
        RunResult r = Run({"--help"});
        EXPECT_EQ(r.exit_code, 0) << r.out;
        EXPECT_EQ(r.out, Line(kGreen, "Start to encrypt file: " + kPath) +
                             Line(kGreen, "File " + kPath + " was encrypted successfully"));
        EXPECT_EQ(r.err, "");

        struct stat st {};
        ASSERT_EQ(stat(file_.c_str(), &st), 0);
        EXPECT_EQ(static_cast<size_t>(st.st_size), c.encryptedSize);
        EXPECT_EQ(st.st_mode & 07777, c.mode);
        EXPECT_EQ(st.st_uid, 4321u);
        EXPECT_EQ(st.st_gid, 8765u);
        const std::string encrypted = testsupport::ReadFileOrDie(file_);
        std::string decrypted;
        ASSERT_EQ(StoreReadFile(KMS, file_, decrypted), 0);
        const std::string ended = c.lastLineEnd ? plain : plain + "\n";
        EXPECT_EQ(decrypted, ended + std::string(c.encryptedSize - ended.size(), '\0'));

        // A second run must not encrypt the file again.
        RunResult second = Run();
        EXPECT_EQ(second.exit_code, 254);
        EXPECT_NE(second.out.find("it may be encrypted already and is left unchanged"), std::string::npos)
            << second.out;
        EXPECT_EQ(testsupport::ReadFileOrDie(file_), encrypted);

        testsupport::WriteFileOrDie(etc_ + "/kms_dynamic_params.cfg", "other = 1\n");
        testsupport::RunOptions host;
        host.argv = {KMS_HOST_PATH, LibDir() + "/libkeydepot.so", "init " + etc_ + " " + LibDir(),
                     "get d c s wal_key"};
        RunResult opened = testsupport::RunProgram(host);
        EXPECT_NE(opened.out.find("\ninit 0\n"), std::string::npos) << opened.out;
        EXPECT_NE(opened.out.find("\nget 0 " + std::string(c.plainSize - 76 + (c.lastLineEnd ? 0 : 1), 'w') + "\n"), std::string::npos)
            << opened.out;
    }
}

}  // namespace
