#include "json.h"

#include <cstdio>
#include <stdexcept>
#include <unordered_map>

namespace snaprover {

bool JsonValue::Truthy() const {
    switch (type_) {
        case Type::Null: return false;
        case Type::Bool: return bool_;
        case Type::Number: return text_.find_first_not_of("-+0.eE") != std::string::npos;
        case Type::String: return !text_.empty();
        case Type::Array: return !items_.empty();
        case Type::Object: return !members_.empty();
    }
    return false;
}

const JsonValue* JsonValue::Find(const std::string& key) const {
    for (const auto& m : members_) {
        if (m.first == key) return &m.second;
    }
    return nullptr;
}

JsonValue* JsonValue::Find(const std::string& key) {
    for (auto& m : members_) {
        if (m.first == key) return &m.second;
    }
    return nullptr;
}

void JsonValue::Set(const std::string& key, JsonValue v) {
    type_ = Type::Object;
    if (JsonValue* old = Find(key)) {
        *old = std::move(v);
    } else {
        members_.emplace_back(key, std::move(v));
    }
}

namespace {

void AppendEscape(std::string& out, unsigned code) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "\\u%04x", code & 0xFFFFu);
    out += buf;
}

// Length of the well-formed UTF-8 sequence at `i` (its code point in `code`),
// or 0: overlong forms, surrogates and values beyond U+10FFFF are not
// well-formed.
size_t DecodeUtf8(const std::string& s, size_t i, unsigned& code) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    size_t len = 0;
    unsigned min = 0;
    if (c >= 0xC2 && c <= 0xDF) {
        len = 2, code = c & 0x1Fu, min = 0x80;
    } else if (c >= 0xE0 && c <= 0xEF) {
        len = 3, code = c & 0x0Fu, min = 0x800;
    } else if (c >= 0xF0 && c <= 0xF4) {
        len = 4, code = c & 0x07u, min = 0x10000;
    } else {
        return 0;
    }
    if (i + len > s.size()) return 0;
    for (size_t k = 1; k < len; ++k) {
        unsigned char cc = static_cast<unsigned char>(s[i + k]);
        if ((cc & 0xC0u) != 0x80u) return 0;
        code = (code << 6) | (cc & 0x3Fu);
    }
    if (code < min || code > 0x10FFFF || (code >= 0xD800 && code < 0xE000)) return 0;
    return len;
}

// Writes a string literal; characters outside ASCII become \u escapes (two of
// them, a surrogate pair, above U+FFFF). A byte that is not part of well-formed
// UTF-8 is written as the lone surrogate U+DC80..U+DCFF, which the reader turns
// back into that byte: a session id in another encoding reads back as the same
// bytes and still finds its records.
void DumpString(std::string& out, const std::string& s) {
    out += '"';
    for (size_t i = 0; i < s.size();) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c < 0x80) {
            switch (c) {
                case '"': out += "\\\""; break;
                case '\\': out += "\\\\"; break;
                case '\n': out += "\\n"; break;
                case '\r': out += "\\r"; break;
                case '\t': out += "\\t"; break;
                case '\b': out += "\\b"; break;
                case '\f': out += "\\f"; break;
                default:
                    if (c < 0x20) {
                        AppendEscape(out, c);
                    } else {
                        out += static_cast<char>(c);
                    }
            }
            ++i;
            continue;
        }
        unsigned code = 0;
        size_t len = DecodeUtf8(s, i, code);
        if (len == 0) {
            AppendEscape(out, 0xDC00u + c);
            ++i;
            continue;
        }
        if (code >= 0x10000) {
            code -= 0x10000;
            AppendEscape(out, 0xD800 + (code >> 10));
            AppendEscape(out, 0xDC00 + (code & 0x3FF));
        } else {
            AppendEscape(out, code);
        }
        i += len;
    }
    out += '"';
}

void AppendUtf8(std::string& out, unsigned code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

class Parser {
public:
    explicit Parser(const std::string& text) : s_(text) {}

    JsonValue Document() {
        SkipSpace();
        JsonValue v = Value(0);
        SkipSpace();
        if (pos_ != s_.size()) Fail("extra data");
        return v;
    }

private:
    [[noreturn]] void Fail(const std::string& what) const {
        throw std::runtime_error(what + " at char " + std::to_string(pos_));
    }
    void SkipSpace() {
        while (pos_ < s_.size() && (s_[pos_] == ' ' || s_[pos_] == '\t' || s_[pos_] == '\n' || s_[pos_] == '\r')) {
            ++pos_;
        }
    }
    bool Literal(const char* word) {
        size_t n = std::char_traits<char>::length(word);
        if (s_.compare(pos_, n, word) != 0) return false;
        pos_ += n;
        return true;
    }
    JsonValue Value(int depth) {
        if (depth > 512) Fail("nesting too deep");
        if (pos_ >= s_.size()) Fail("expecting value");
        char c = s_[pos_];
        if (c == '{') return ObjectValue(depth);
        if (c == '[') return ArrayValue(depth);
        if (c == '"') return JsonValue(StringValue());
        if (Literal("true")) return JsonValue(true);
        if (Literal("false")) return JsonValue(false);
        if (Literal("null")) return JsonValue();
        return NumberValue();
    }
    JsonValue NumberValue() {
        size_t start = pos_;
        auto digits = [&] {
            size_t from = pos_;
            while (pos_ < s_.size() && s_[pos_] >= '0' && s_[pos_] <= '9') ++pos_;
            return pos_ > from;
        };
        if (pos_ < s_.size() && s_[pos_] == '-') ++pos_;
        if (pos_ < s_.size() && s_[pos_] == '0') {
            ++pos_;
        } else if (!digits()) {
            pos_ = start;
            Fail("expecting value");
        }
        if (pos_ < s_.size() && s_[pos_] == '.') {
            ++pos_;
            if (!digits()) Fail("invalid number");
        }
        if (pos_ < s_.size() && (s_[pos_] == 'e' || s_[pos_] == 'E')) {
            ++pos_;
            if (pos_ < s_.size() && (s_[pos_] == '+' || s_[pos_] == '-')) ++pos_;
            if (!digits()) Fail("invalid number");
        }
        return JsonValue::RawNumber(s_.substr(start, pos_ - start));
    }
    unsigned Hex4() {
        if (pos_ + 4 > s_.size()) Fail("invalid \\u escape");
        unsigned v = 0;
        for (int i = 0; i < 4; ++i) {
            char h = s_[pos_++];
            v <<= 4;
            if (h >= '0' && h <= '9') v |= static_cast<unsigned>(h - '0');
            else if (h >= 'a' && h <= 'f') v |= static_cast<unsigned>(h - 'a' + 10);
            else if (h >= 'A' && h <= 'F') v |= static_cast<unsigned>(h - 'A' + 10);
            else Fail("invalid \\u escape");
        }
        return v;
    }
    std::string StringValue() {
        ++pos_;  // opening quote
        std::string out;
        for (;;) {
            if (pos_ >= s_.size()) Fail("unterminated string");
            char c = s_[pos_++];
            if (c == '"') return out;
            if (static_cast<unsigned char>(c) < 0x20) Fail("invalid control character");
            if (c != '\\') {
                out += c;
                continue;
            }
            if (pos_ >= s_.size()) Fail("unterminated string");
            char e = s_[pos_++];
            switch (e) {
                case '"': out += '"'; break;
                case '\\': out += '\\'; break;
                case '/': out += '/'; break;
                case 'b': out += '\b'; break;
                case 'f': out += '\f'; break;
                case 'n': out += '\n'; break;
                case 'r': out += '\r'; break;
                case 't': out += '\t'; break;
                case 'u': {
                    unsigned code = Hex4();
                    if (code >= 0xD800 && code < 0xDC00 && s_.compare(pos_, 2, "\\u") == 0) {
                        size_t save = pos_;
                        pos_ += 2;
                        unsigned low = Hex4();
                        if (low >= 0xDC00 && low < 0xE000) {
                            code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
                        } else {
                            pos_ = save;
                        }
                    }
                    if (code >= 0xDC80 && code <= 0xDCFF) {
                        out += static_cast<char>(code - 0xDC00);  // a byte outside UTF-8, as written
                    } else {
                        AppendUtf8(out, code);
                    }
                    break;
                }
                default: Fail("invalid escape");
            }
        }
    }
    JsonValue ArrayValue(int depth) {
        ++pos_;
        JsonValue arr = JsonValue::Array();
        SkipSpace();
        if (pos_ < s_.size() && s_[pos_] == ']') {
            ++pos_;
            return arr;
        }
        for (;;) {
            SkipSpace();
            arr.Append(Value(depth + 1));
            SkipSpace();
            if (pos_ < s_.size() && s_[pos_] == ',') {
                ++pos_;
                continue;
            }
            if (pos_ < s_.size() && s_[pos_] == ']') {
                ++pos_;
                return arr;
            }
            Fail("expecting ',' delimiter");
        }
    }
    JsonValue ObjectValue(int depth) {
        ++pos_;
        JsonValue obj = JsonValue::Object();
        // Position of each key among the members: a repeated key replaces the
        // earlier value in place, found without walking all members (a
        // history file with many keys would otherwise take quadratic time).
        std::unordered_map<std::string, size_t> index;
        SkipSpace();
        if (pos_ < s_.size() && s_[pos_] == '}') {
            ++pos_;
            return obj;
        }
        for (;;) {
            SkipSpace();
            if (pos_ >= s_.size() || s_[pos_] != '"') Fail("expecting property name enclosed in double quotes");
            std::string key = StringValue();
            SkipSpace();
            if (pos_ >= s_.size() || s_[pos_] != ':') Fail("expecting ':' delimiter");
            ++pos_;
            SkipSpace();
            JsonValue value = Value(depth + 1);
            auto [at, fresh] = index.emplace(key, obj.Members().size());
            if (fresh) {
                obj.Members().emplace_back(std::move(key), std::move(value));
            } else {
                obj.Members()[at->second].second = std::move(value);
            }
            SkipSpace();
            if (pos_ < s_.size() && s_[pos_] == ',') {
                ++pos_;
                continue;
            }
            if (pos_ < s_.size() && s_[pos_] == '}') {
                ++pos_;
                return obj;
            }
            Fail("expecting ',' delimiter");
        }
    }

    const std::string& s_;
    size_t pos_ = 0;
};

}  // namespace

void JsonValue::DumpTo(std::string& out) const {
    switch (type_) {
        case Type::Null: out += "null"; break;
        case Type::Bool: out += bool_ ? "true" : "false"; break;
        case Type::Number: out += text_; break;
        case Type::String: DumpString(out, text_); break;
        case Type::Array:
            out += '[';
            for (size_t i = 0; i < items_.size(); ++i) {
                if (i > 0) out += ", ";
                items_[i].DumpTo(out);
            }
            out += ']';
            break;
        case Type::Object:
            out += '{';
            for (size_t i = 0; i < members_.size(); ++i) {
                if (i > 0) out += ", ";
                DumpString(out, members_[i].first);
                out += ": ";
                members_[i].second.DumpTo(out);
            }
            out += '}';
            break;
    }
}

std::string JsonValue::Dump() const {
    std::string out;
    DumpTo(out);
    return out;
}

JsonValue JsonValue::Parse(const std::string& text) { return Parser(text).Document(); }

}  // namespace snaprover
