#include "common/error_code.h"

#include <cstring>

namespace {

// Indexed by -code.
constexpr const char* kMessages[] = {
    "no error",  // ERR_NONE
    "common error",  // ERR_COMMON
    "format error",  // ERR_FORMAT
    "object is not found",  // ERR_NOT_FOUND
    "HTTP error",  // ERR_HTTP
    "object already exists",  // ERR_ALREADY_EXISTS
    "engine is not found",  // ERR_ENGINE_NOT_FOUND
    "engine is not loaded",  // ERR_ENGINE_NOT_LOADED
    "engine is not initialized",  // ERR_ENGINE_NOT_INITIALIZED
    "set up cipher context is failed",  // ERR_CIPHER_SETUP
    "encrypt buffer is failed",  // ERR_ENCRYPT
    "decrypt buffer is failed",  // ERR_DECRYPT
    "key generation is failed",  // ERR_KEY_GENERATION
    "cipher is not found",  // ERR_CIPHER_NOT_FOUND
    "memory allocation failed",  // ERR_ALLOCATION
    "pointer is NULL",  // ERR_NULL_POINTER
    "exception occurred",  // ERR_EXCEPTION
    "input data error",  // ERR_INPUT_DATA
    "shared library is not loaded",  // ERR_LIBRARY_NOT_LOADED
    "message digest is not found",  // ERR_DIGEST_NOT_FOUND
    "key is not obtained from shared memory",  // ERR_SHARED_MEMORY_KEY
    "control block mismatches master key",  // ERR_CONTROL_BLOCK_MISMATCH
    "feature not implemented (or not supported)",  // ERR_NOT_IMPLEMENTED
    "failed to expand path",  // ERR_EXPAND_PATH
    "failed to get current working directory",  // ERR_GET_CWD
    "failed to change working directory",  // ERR_CHANGE_DIR
    "failed to open file",  // ERR_OPEN_FILE
    "failed to read file",  // ERR_READ_FILE
    "failed to read symbolic link",  // ERR_READ_SYMLINK
    "invalid symbolic link",  // ERR_INVALID_SYMLINK
    "failed to get UUID of root FS",  // ERR_ROOT_FS_UUID
    "failed to get machine ID",  // ERR_MACHINE_ID
    "file is not found",  // ERR_FILE_NOT_FOUND
    "failed to call device specific operation",  // ERR_DEVICE_CALL
    "invalid file descriptor",  // ERR_INVALID_FD
    "not enough memory",  // ERR_NOT_ENOUGH_MEMORY
    "failed to write file",  // ERR_WRITE_FILE
    "there is no master key suitable to decrypt encryption keys",  // ERR_NO_MASTER_KEY
    "encryption key is not suitable to decrypt data",  // ERR_KEY_NOT_SUITABLE
    "encryption plugin is not loaded",  // ERR_CIPHER_PLUGIN_NOT_LOADED
    "KMS connection plugin is not loaded",  // ERR_KMS_PLUGIN_NOT_LOADED
    "permission denied for KMS connection",  // ERR_KMS_PERMISSION_DENIED
    "path to plugins is not found",  // ERR_PLUGIN_PATH_NOT_FOUND
    "failed to get file size",  // ERR_FILE_SIZE
    "IV generation is failed",  // ERR_IV_GENERATION
    "size mismatch",  // ERR_SIZE_MISMATCH
    "encryption keys limit is reached",  // ERR_KEYS_LIMIT
    "KMS connection plugin is not initialized",  // ERR_KMS_PLUGIN_NOT_INITIALIZED
    "KMS connection is unavailable",  // ERR_KMS_UNAVAILABLE
    "XLOG file is invalid",  // ERR_XLOG_INVALID
    "XLOG file is not encrypted",  // ERR_XLOG_NOT_ENCRYPTED
};

constexpr int kLowestCode = -static_cast<int>(sizeof(kMessages) / sizeof(kMessages[0]) - 1);

}  // namespace

extern "C" const char* ErrorCodeToStr(int code) {
    if (code > 0) return std::strerror(code);
    if (code < kLowestCode) return "Unknown error";
    return kMessages[-code];
}
