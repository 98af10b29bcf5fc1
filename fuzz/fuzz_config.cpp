// Key-path reading and writing of configuration texts, and the utilities' text decoders, on arbitrary
// input: first line the key path, the rest the document. Nothing may throw or write out of bounds.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "json_util.h"
#include "qv_base64.h"
#include "qv_utils.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string in(reinterpret_cast<const char*>(data), size);
    size_t nl = in.find('\n');
    std::string path = nl == std::string::npos ? in : in.substr(0, nl);
    std::string doc = nl == std::string::npos ? "" : in.substr(nl + 1);
    try {
        // The configuration's parse-once reading must see exactly what json_get_value sees.
        JsonDocument once(doc);
        if (once.value(path) != json_get_value(doc, path)) abort();
        std::string set = json_gen_jsonstr(doc, path, "v");
        if (!set.empty()) json_get_value(set, path);
        json_del_value(doc, path);
    } catch (...) {
        abort();  // the helpers must not throw
    }
    // Exactly the decoded length is available: anything written beyond it is caught by ASan.
    std::string text = in.substr(0, in.find('\0'));
    std::vector<unsigned char> out(static_cast<size_t>(GetDeLen(text)));
    int n = -1;
    DeBase64Ex(text, out.data(), n);
    if (n != static_cast<int>(out.size())) abort();
    std::vector<unsigned char> hex(in.size() / 2 + 1);
    int count = 0;
    if (HexStrToByteAry(in, hex.data(), &count, ':') != count || count > static_cast<int>(in.size() / 2)) abort();
    return 0;
}
