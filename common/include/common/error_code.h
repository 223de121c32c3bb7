#pragma once

// Result codes shared by every deliverable, the plug-ins and the database server.
// 0 is success, -1 ... -50 are the system's own failures and a positive value
// is an errno passed through unchanged. The numbers cross plug-in boundaries
// and are never renumbered.

#ifdef __cplusplus
extern "C" {
#endif

enum ErrorCode {
    ERR_NONE = 0,
    ERR_COMMON = -1,
    ERR_FORMAT = -2,
    ERR_NOT_FOUND = -3,
    ERR_HTTP = -4,
    ERR_ALREADY_EXISTS = -5,
    ERR_ENGINE_NOT_FOUND = -6,
    ERR_ENGINE_NOT_LOADED = -7,
    ERR_ENGINE_NOT_INITIALIZED = -8,
    ERR_CIPHER_SETUP = -9,
    ERR_ENCRYPT = -10,
    ERR_DECRYPT = -11,
    ERR_KEY_GENERATION = -12,
    ERR_CIPHER_NOT_FOUND = -13,
    ERR_ALLOCATION = -14,
    ERR_NULL_POINTER = -15,
    ERR_EXCEPTION = -16,
    ERR_INPUT_DATA = -17,
    ERR_LIBRARY_NOT_LOADED = -18,
    ERR_DIGEST_NOT_FOUND = -19,
    ERR_SHARED_MEMORY_KEY = -20,
    ERR_CONTROL_BLOCK_MISMATCH = -21,
    ERR_NOT_IMPLEMENTED = -22,
    ERR_EXPAND_PATH = -23,
    ERR_GET_CWD = -24,
    ERR_CHANGE_DIR = -25,
    ERR_OPEN_FILE = -26,
    ERR_READ_FILE = -27,
    ERR_READ_SYMLINK = -28,
    ERR_INVALID_SYMLINK = -29,
    ERR_ROOT_FS_UUID = -30,
    ERR_MACHINE_ID = -31,
    ERR_FILE_NOT_FOUND = -32,
    ERR_DEVICE_CALL = -33,
    ERR_INVALID_FD = -34,
    ERR_NOT_ENOUGH_MEMORY = -35,
    ERR_WRITE_FILE = -36,
    ERR_NO_MASTER_KEY = -37,
    ERR_KEY_NOT_SUITABLE = -38,
    ERR_CIPHER_PLUGIN_NOT_LOADED = -39,
    ERR_KMS_PLUGIN_NOT_LOADED = -40,
    ERR_KMS_PERMISSION_DENIED = -41,
    ERR_PLUGIN_PATH_NOT_FOUND = -42,
    ERR_FILE_SIZE = -43,
    ERR_IV_GENERATION = -44,
    ERR_SIZE_MISMATCH = -45,
    ERR_KEYS_LIMIT = -46,
    ERR_KMS_PLUGIN_NOT_INITIALIZED = -47,
    ERR_KMS_UNAVAILABLE = -48,
    ERR_XLOG_INVALID = -49,
    ERR_XLOG_NOT_ENCRYPTED = -50,
};

/* Message for any code: strerror() text for positive codes, the table text
   for 0 ... -50, "Unknown error" below -50. The text is static. */
const char* ErrorCodeToStr(int code);

#ifdef __cplusplus
}
#endif
