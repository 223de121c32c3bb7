#pragma once

// A small JSON value that keeps object members in insertion order, for the
// history files: records are read back and rewritten with their keys in the
// order in which they were first set. The writer produces the one-line form
// with ", " and ": " separators and non-ASCII characters as \u escapes.

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace snaprover {

class JsonValue {
public:
    enum class Type { Null, Bool, Number, String, Array, Object };
    using Member = std::pair<std::string, JsonValue>;

    JsonValue() = default;
    JsonValue(std::nullptr_t) {}
    JsonValue(bool b) : type_(Type::Bool), bool_(b) {}
    JsonValue(int64_t n) : type_(Type::Number), text_(std::to_string(n)) {}
    JsonValue(int n) : JsonValue(static_cast<int64_t>(n)) {}
    JsonValue(const char* s) : type_(Type::String), text_(s) {}
    JsonValue(std::string s) : type_(Type::String), text_(std::move(s)) {}
    static JsonValue Array() { JsonValue v; v.type_ = Type::Array; return v; }
    static JsonValue Object() { JsonValue v; v.type_ = Type::Object; return v; }
    // A number kept as its JSON text, so it is written back as it was read.
    static JsonValue RawNumber(std::string text) {
        JsonValue v;
        v.type_ = Type::Number;
        v.text_ = std::move(text);
        return v;
    }

    Type type() const { return type_; }
    bool IsNull() const { return type_ == Type::Null; }
    bool IsString() const { return type_ == Type::String; }
    bool IsArray() const { return type_ == Type::Array; }
    bool IsObject() const { return type_ == Type::Object; }
    bool AsBool() const { return bool_; }
    // Text of a string, or the JSON text of a number.
    const std::string& Text() const { return text_; }
    // Truth in the sense of "present and not empty": false for null, false,
    // 0, "" and empty containers.
    bool Truthy() const;

    // Array access.
    std::vector<JsonValue>& Items() { return items_; }
    const std::vector<JsonValue>& Items() const { return items_; }
    void Append(JsonValue v) { items_.push_back(std::move(v)); }

    // Object access: Find returns null when the key is absent; Set replaces the
    // value in place or adds the key at the end.
    const JsonValue* Find(const std::string& key) const;
    JsonValue* Find(const std::string& key);
    void Set(const std::string& key, JsonValue v);
    const std::vector<Member>& Members() const { return members_; }
    // Members without the key lookup of Set: the caller keeps keys unique.
    std::vector<Member>& Members() { return members_; }

    // One-line text with ", " and ": " separators, ASCII only.
    std::string Dump() const;
    // Parses a complete JSON text (surrounding white space allowed); throws
    // std::runtime_error with the position of the fault.
    static JsonValue Parse(const std::string& text);

private:
    void DumpTo(std::string& out) const;

    Type type_ = Type::Null;
    bool bool_ = false;
    std::string text_;
    std::vector<JsonValue> items_;
    std::vector<Member> members_;
};

}  // namespace snaprover
