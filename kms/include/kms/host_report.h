#pragma once

// What a KMS connector needs from the process that loads it, and the shape of its
// failure results. Part of the kms_connector_common library (kms/common/), which
// both connectors compile in.
//
// A connector does not link libclilog: errstart/errmsg/errfinish (and the
// wrapper's ExceptionalCondition) are resolved from the loading process when the
// library is loaded. Inside the database server they are the server's own; a
// program of this tool set that loads a connector gets them from libclilog.

#include <string>

#include "kms/plugin_kms_connector.h"

namespace kms {

// Message levels of the host's error reporting (PostgreSQL 11 numbering).
inline constexpr int kLevelLog = 15;      // progress
inline constexpr int kLevelWarning = 19;  // failures

// Reports `text` at `level` through the host: errstart(level, file, line,
// operation, no domain); when that returns true, errmsg("%s", text) and
// errfinish. The text is passed as an argument, never as a format.
void ReportToHost(int level, const char* file, int line, const char* operation, const std::string& text);

// Failure result "<operation>(): <context>. Error: <message of code>".
ErrorResult Failure(int code, const std::string& operation, const std::string& context);

// Failure result that passes a lower layer's code on with only the code's message.
ErrorResult CodeFailure(int code);

// A result counts as a failure only when it holds a negative code.
inline bool IsFailure(const ErrorResult& result) { return result && result->first < 0; }

// Code returned at an entry point: the negative code of a failure, else 0.
inline int ResultToCode(const ErrorResult& result) { return IsFailure(result) ? result->first : 0; }

}  // namespace kms

// Reports from the calling place, naming `operation` as the function.
#define KMS_REPORT(level, operation, text) ::kms::ReportToHost((level), __FILE_NAME__, __LINE__, (operation), (text))
