#include "common/error_code.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>
#include <utility>

namespace {

// The numbers and texts are shared with the plug-ins and the database server,
// so every entry is checked, not a sample.
const std::pair<int, const char*> kTable[] = {
    {0, "no error"},
    {-1, "common error"},
    {-2, "format error"},
    {-3, "object is not found"},
    {-4, "HTTP error"},
    {-5, "object already exists"},
    {-6, "engine is not found"},
    {-7, "engine is not loaded"},
    {-8, "engine is not initialized"},
    {-9, "set up cipher context is failed"},
    {-10, "encrypt buffer is failed"},
    {-11, "decrypt buffer is failed"},
    {-12, "key generation is failed"},
    {-13, "cipher is not found"},
    {-14, "memory allocation failed"},
    {-15, "pointer is NULL"},
    {-16, "exception occurred"},
    {-17, "input data error"},
    {-18, "shared library is not loaded"},
    {-19, "message digest is not found"},
    {-20, "key is not obtained from shared memory"},
    {-21, "control block mismatches master key"},
    {-22, "feature not implemented (or not supported)"},
    {-23, "failed to expand path"},
    {-24, "failed to get current working directory"},
    {-25, "failed to change working directory"},
    {-26, "failed to open file"},
    {-27, "failed to read file"},
    {-28, "failed to read symbolic link"},
    {-29, "invalid symbolic link"},
    {-30, "failed to get UUID of root FS"},
    {-31, "failed to get machine ID"},
    {-32, "file is not found"},
    {-33, "failed to call device specific operation"},
    {-34, "invalid file descriptor"},
    {-35, "not enough memory"},
    {-36, "failed to write file"},
    {-37, "there is no master key suitable to decrypt encryption keys"},
    {-38, "encryption key is not suitable to decrypt data"},
    {-39, "encryption plugin is not loaded"},
    {-40, "KMS connection plugin is not loaded"},
    {-41, "permission denied for KMS connection"},
    {-42, "path to plugins is not found"},
    {-43, "failed to get file size"},
    {-44, "IV generation is failed"},
    {-45, "size mismatch"},
    {-46, "encryption keys limit is reached"},
    {-47, "KMS connection plugin is not initialized"},
    {-48, "KMS connection is unavailable"},
    {-49, "XLOG file is invalid"},
    {-50, "XLOG file is not encrypted"},
};

TEST(ErrorCodeToStr, RendersEveryCodeOfTheTable) {
    for (const auto& [code, text] : kTable) {
        EXPECT_STREQ(ErrorCodeToStr(code), text) << "code " << code;
    }
    EXPECT_EQ(ERR_XLOG_NOT_ENCRYPTED, -50);
    EXPECT_EQ(ERR_EXCEPTION, -16);
}

TEST(ErrorCodeToStr, PositiveCodesAreSystemErrors) {
    EXPECT_EQ(std::string(ErrorCodeToStr(2)), std::string(std::strerror(2)));
    EXPECT_EQ(std::string(ErrorCodeToStr(13)), std::string(std::strerror(13)));
    // An errno number that happens to equal a table index must not pick the table.
    EXPECT_STRNE(ErrorCodeToStr(16), "exception occurred");
}

TEST(ErrorCodeToStr, CodesBelowTheTableAreUnknown) {
    EXPECT_STREQ(ErrorCodeToStr(-51), "Unknown error");
    EXPECT_STREQ(ErrorCodeToStr(-1000), "Unknown error");
    EXPECT_STREQ(ErrorCodeToStr(INT_MIN), "Unknown error");
}

}  // namespace
