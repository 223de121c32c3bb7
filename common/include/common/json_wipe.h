#pragma once

// Wiping of secrets held in a parsed JSON tree (jsoncpp). Header-only: its
// users link jsoncpp themselves.

#include <json/value.h>

#include "common/secure_buffer.h"

namespace common_routines {

// Zeroes every string in `value` and below it in place, before the tree lets
// go of it; the tree keeps its shape.
inline void WipeJsonStrings(Json::Value& value) {
    if (value.isString()) {
        const char* begin = nullptr;
        const char* end = nullptr;
        // The characters live in a heap block owned by the (non-const) value.
        if (value.getString(&begin, &end) && begin != nullptr) {
            SecureWipe(const_cast<char*>(begin), static_cast<size_t>(end - begin));
        }
    } else if (value.isArray() || value.isObject()) {
        for (auto& member : value) WipeJsonStrings(member);
    }
}

// Wipes the strings of a JSON tree when it goes out of scope, however the scope
// is left: jsoncpp frees its string blocks with free(), unwiped.
class WipeJsonOnExit {
public:
    explicit WipeJsonOnExit(Json::Value& value) : value_(value) {}
    ~WipeJsonOnExit() { WipeJsonStrings(value_); }
    WipeJsonOnExit(const WipeJsonOnExit&) = delete;
    WipeJsonOnExit& operator=(const WipeJsonOnExit&) = delete;

private:
    Json::Value& value_;
};

}  // namespace common_routines
