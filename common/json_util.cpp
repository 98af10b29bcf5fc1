// JSON key-path access over jsoncpp; type checks keep jsoncpp from throwing on odd documents.
#include "json_util.h"

#include <json/json.h>

#include <cstdio>

#include "qv_utils.h"

namespace {

constexpr size_t kMaxReadKeys = 4;
constexpr size_t kMaxWriteKeys = 5;

bool parse(const std::string& text, Json::Value& root) {
    Json::Reader reader;
    return reader.parse(text, root, true);
}

// The value at a key path of an already parsed document.
std::string value_at(const Json::Value& root, const std::string& path) {
    std::vector<std::string> keys = str_split(path, ",");
    if (keys.size() > kMaxReadKeys) return "";
    const Json::Value* cur = &root;
    for (const std::string& key : keys) {
        if (cur->isArray()) {
            const Json::Value* found = nullptr;
            for (Json::ArrayIndex i = 0; i < cur->size(); i++) {
                const Json::Value& e = (*cur)[i];
                if (e.isObject() && e.isMember(key)) {
                    found = &e[key];
                    break;
                }
            }
            if (found == nullptr) return "";
            cur = found;
        } else if (cur->isObject() && cur->isMember(key)) {
            cur = &(*cur)[key];
        } else {
            return "";
        }
    }
    if (cur->isNull() || cur->isArray() || cur->isObject()) return "";
    return cur->asString();
}

}  // namespace

std::string json_read_file(std::string path) {
    try {
        return mu_read_txtfile(path);
    } catch (...) {
        return "";
    }
}

int json_write_file(std::string path, std::string json) {
    FILE* f = fopen(path.c_str(), "wbe");
    if (f == nullptr) return 0;
    size_t n = fwrite(json.data(), 1, json.size(), f);
    fclose(f);
    return static_cast<int>(n);
}

std::vector<std::string> json_split(std::string text, std::string delim) {
    try {
        return str_split(text, delim);
    } catch (...) {
        return {};
    }
}

std::string json_get_value(std::string json, std::string path) {
    try {
        if (json.empty()) return "";
        Json::Value root;
        if (!parse(json, root)) return "";
        return value_at(root, path);
    } catch (...) {
        return "";
    }
}

JsonDocument::JsonDocument(const std::string& text) {
    try {
        if (text.empty()) return;
        std::unique_ptr<Json::Value> root(new Json::Value);
        if (parse(text, *root)) root_ = std::move(root);
    } catch (...) {
        root_.reset();
    }
}

JsonDocument::~JsonDocument() = default;

std::string JsonDocument::value(const std::string& path) const {
    try {
        return root_ != nullptr ? value_at(*root_, path) : "";
    } catch (...) {
        return "";
    }
}

std::string json_get_valueex(std::string file, std::string path) {
    if (!file_exist(file.c_str())) return "";
    return json_get_value(json_read_file(file), path);
}

std::string json_gen_jsonstr(std::string json, std::string path, std::string value) {
    try {
        std::vector<std::string> keys = str_split(path, ",");
        if (keys.size() > kMaxWriteKeys) return "";
        Json::Value root;
        if (!json.empty()) parse(json, root);
        Json::Value* cur = &root;
        for (const std::string& key : keys) {
            if (!cur->isNull() && !cur->isObject()) return "";
            cur = &(*cur)[key];
        }
        *cur = Json::Value(value);
        return root.toStyledString();
    } catch (...) {
        return "";
    }
}

std::string json_del_value(std::string json, std::string key) {
    try {
        Json::Value root;
        if (!json.empty()) parse(json, root);
        if (root.isObject() && root.isMember(key)) {
            Json::Value removed;
            root.removeMember(key, &removed);
        }
        if ((root.isObject() || root.isArray()) && root.size() > 0) return root.toStyledString();
        return "";
    } catch (...) {
        return "";
    }
}
