// Runs the strict and lenient Base64 decoders on arbitrary text and checks their bounds.
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "imagelib.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > INT_MAX / 2) return 0;
    const int len = static_cast<int>(size);
    const char* text = reinterpret_cast<const char*>(data);
    const int bound = Base64DecodeEx(nullptr, nullptr, len, 0);
    for (int lenient = 0; lenient < 2; ++lenient) {
        if (len == 0) break;  // length 0 means a NUL-terminated text, which fuzz data is not
        std::vector<unsigned char> out(static_cast<size_t>(bound) + 1);
        const int counted = Base64DecodeEx(nullptr, text, len, lenient);
        const int n = Base64DecodeEx(out.data(), text, len, lenient);
        if (n < 0 || n > bound || n != counted) abort();
        // What was decoded encodes and decodes back to itself.
        std::vector<char> enc(static_cast<size_t>(Base64Encode(nullptr, out.data(), n > 0 ? n : 1)) + 1);
        if (n > 0) {
            const int t = Base64Encode(enc.data(), out.data(), n);
            std::vector<unsigned char> back(static_cast<size_t>(n) + 3);
            if (Base64Decode(back.data(), enc.data(), t) != n ||
                std::memcmp(back.data(), out.data(), static_cast<size_t>(n)) != 0)
                abort();
        }
    }
    return 0;
}
