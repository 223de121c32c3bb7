#pragma once

// Conversion of exceptions into result codes at exported entry points, so that no
// exception ever crosses a library boundary. Header-only: the encryption plug-in
// uses it without linking the common library.

#include <system_error>

#include "common/error_code.h"

namespace common_routines {

// Runs body and returns its result code; a thrown int is returned as the code, a
// std::system_error as its error value, anything else as ERR_EXCEPTION.
template <typename Body>
int CallReturningCode(Body&& body) noexcept {
    try {
        return body();
    } catch (int code) {
        return code;
    } catch (const std::system_error& e) {
        return e.code().value();
    } catch (...) {
        return ERR_EXCEPTION;
    }
}

}  // namespace common_routines
