#include "kms/host_report.h"

#include "clilog/clilog.h"
#include "common/error_code.h"

namespace kms {

void ReportToHost(int level, const char* file, int line, const char* operation, const std::string& text) {
    if (errstart(level, file, line, operation, nullptr)) {
        errfinish(errmsg("%s", text.c_str()));
    }
}

ErrorResult Failure(int code, const std::string& operation, const std::string& context) {
    return common_routines::MakeErrorResult(code, operation, context);
}

ErrorResult CodeFailure(int code) {
    return std::make_shared<std::pair<int32_t, std::string>>(code, ErrorCodeToStr(code));
}

}  // namespace kms
