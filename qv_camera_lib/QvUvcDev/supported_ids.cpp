// Parsing of the supported-id list and the device layer's match against it.
#include "supported_ids.h"

#include <cctype>
#include <cstdlib>

#include "qv_utils.h"

namespace {

bool hex_digits(const std::string& s, size_t min, size_t max) {
    if (s.size() < min || s.size() > max) return false;
    for (char c : s)
        if (!isxdigit(static_cast<unsigned char>(c))) return false;
    return true;
}

}  // namespace

std::vector<SupportedId> parse_supported_ids(const std::string& text) {
    std::vector<SupportedId> ids;
    for (const std::string& piece : str_split(text, ",")) {
        SupportedId id;
        size_t b = piece.find_first_not_of(" \t\r\n");
        size_t e = piece.find_last_not_of(" \t\r\n");
        if (b != std::string::npos) id.text = piece.substr(b, e - b + 1);
        size_t colon = id.text.find(':');
        id.vendor = colon == std::string::npos ? id.text : id.text.substr(0, colon);
        id.product = colon == std::string::npos ? id.text : id.text.substr(colon + 1);
        id.record = hex_digits(id.vendor, 1, 4) && hex_digits(id.product, 1, 4);
        if (id.record) {
            id.vid = static_cast<int>(strtol(id.vendor.c_str(), nullptr, 16));
            id.pid = static_cast<int>(strtol(id.product.c_str(), nullptr, 16));
            for (char c : id.text) id.upper = id.upper || isupper(static_cast<unsigned char>(c));
            id.pair = !id.upper && id.text.size() == 9 && colon == 4;
        }
        ids.push_back(std::move(id));
    }
    if (ids.size() == 1 && ids[0].text.empty()) ids.clear();
    return ids;
}

std::string join_supported_ids(const std::vector<SupportedId>& ids) {
    std::string out;
    for (size_t i = 0; i < ids.size(); i++) out += (i > 0 ? "," : "") + ids[i].text;
    return out;
}

bool lists_device(const std::vector<SupportedId>& ids, int vid, int pid) {
    const std::string key = str_format("%04x:%04x", vid, pid);
    for (const SupportedId& id : ids)
        if (id.text.find(key) != std::string::npos) return true;
    return false;
}
