// Reading and writing JSON texts by a comma-separated key path (keys taken exactly as written).
// Every failure is the empty string (0 bytes for json_write_file); nothing throws.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "qv_export.h"

QV_EXPORT std::string json_read_file(std::string path);  // whole text up to a NUL byte
QV_EXPORT int json_write_file(std::string path, std::string json);
QV_EXPORT std::vector<std::string> json_split(std::string text, std::string delim);
// Value at a path of at most 4 keys as text; "" for arrays, objects and anything missing.
QV_EXPORT std::string json_get_value(std::string json, std::string path);
QV_EXPORT std::string json_get_valueex(std::string file, std::string path);
// Styled document with the string value set at a path of at most 5 keys.
QV_EXPORT std::string json_gen_jsonstr(std::string json, std::string path, std::string value);
// Styled document without the top-level key; "" when nothing is left.
QV_EXPORT std::string json_del_value(std::string json, std::string key);

// ---- internal to the library ----
namespace Json {
class Value;
}

// A JSON text parsed once, for reading many key paths with json_get_value's rules.
class JsonDocument {
public:
    explicit JsonDocument(const std::string& text);  // an empty or unparsable text is no document
    ~JsonDocument();
    JsonDocument(const JsonDocument&) = delete;
    JsonDocument& operator=(const JsonDocument&) = delete;
    bool parsed() const { return root_ != nullptr; }
    std::string value(const std::string& path) const;  // "" as json_get_value gives it

private:
    std::unique_ptr<Json::Value> root_;
};
