// Base64 coder of the utilities.
#include "qv_base64.h"

#include <climits>
#include <cstring>

// The version is the project's (CMakeLists.txt); a longer one does not fit and fails to compile.
char sdk_version[24] = "string_version: " QV_DRIVER_VERSION;

// The alphabet in value order, then the padding character (no terminating NUL).
char B64EnTblX[65] = {
    'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I', 'J', 'K', 'L', 'M', 'N', 'O', 'P', 'Q', 'R', 'S', 'T', 'U', 'V',
    'W', 'X', 'Y', 'Z', 'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i', 'j', 'k', 'l', 'm', 'n', 'o', 'p', 'q', 'r',
    's', 't', 'u', 'v', 'w', 'x', 'y', 'z', '0', '1', '2', '3', '4', '5', '6', '7', '8', '9', '+', '/', '=',
};

// 6-bit value of every alphabet character by its code; 0 for any other code up to 'z'.
unsigned char B64DeTblX[123] = {
    0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,
    0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  62, 0,  0,  0,  63, 52, 53,
    54, 55, 56, 57, 58, 59, 60, 61, 0,  0,  0,  0,  0,  0,  0,  0,  1,  2,  3,  4,  5,  6,  7,  8,  9,
    10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 0,  0,  0,  0,  0,  0,  26, 27, 28,
    29, 30, 31, 32, 33, 34, 35, 36, 37, 38, 39, 40, 41, 42, 43, 44, 45, 46, 47, 48, 49, 50, 51,
};

namespace {

void encode_group(const unsigned char* b, char* out) {
    out[0] = B64EnTblX[b[0] >> 2];
    out[1] = B64EnTblX[((b[0] << 4) | (b[1] >> 4)) & 63];
    out[2] = B64EnTblX[((b[1] << 2) | (b[2] >> 6)) & 63];
    out[3] = B64EnTblX[b[2] & 63];
}

// Writes the encoded text of n > 0 bytes: exactly GetEnLen(n) characters.
void encode(const unsigned char* src, int n, char* out) {
    int whole = n / 3;
    for (int i = 0; i < whole; i++) encode_group(src + 3 * i, out + 4 * i);
    int rest = n - 3 * whole;
    if (rest > 0) {
        unsigned char last[3] = {0, 0, 0};
        memcpy(last, src + 3 * whole, static_cast<size_t>(rest));
        char* o = out + 4 * whole;
        encode_group(last, o);
        o[3] = '=';
        if (rest == 1) o[2] = '=';
    }
}

unsigned char value_of(unsigned char c) { return c < sizeof B64DeTblX ? B64DeTblX[c] : 0; }

// Decodes into out, writing at most limit bytes (the length the text decodes to).
void decode(const char* text, size_t len, unsigned char* out, int limit) {
    size_t groups = (len + 3) / 4;
    int w = 0;
    for (size_t g = 0; g < groups; g++) {
        unsigned char v[4] = {0, 0, 0, 0};
        for (size_t k = 0; k < 4; k++) {
            size_t i = 4 * g + k;
            if (i < len) v[k] = value_of(static_cast<unsigned char>(text[i]));
        }
        unsigned char bytes[3] = {static_cast<unsigned char>((v[0] << 2) | (v[1] >> 4)),
                                  static_cast<unsigned char>((v[1] << 4) | (v[2] >> 2)),
                                  static_cast<unsigned char>((v[2] << 6) | v[3])};
        for (int k = 0; k < 3 && w < limit; k++) out[w++] = bytes[k];
    }
}

// (length / 4) x 3, less the padding at the very end; never negative.
int decoded_length(const char* text, size_t len) {
    size_t n = len / 4 * 3;
    size_t pad = 0;
    if (len >= 2 && text[len - 2] == '=')
        pad = 2;
    else if (len >= 1 && text[len - 1] == '=')
        pad = 1;
    n = n > pad ? n - pad : 0;
    return n > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(n);
}

}  // namespace

// Inputs whose text length would not fit an int are refused (0): nothing is encoded.
constexpr int kMaxEncodeBytes = INT_MAX / 4 * 3;

int GetEnLen(int n) { return n <= 0 || n > kMaxEncodeBytes ? 0 : (n + 2) / 3 * 4; }

int GetDeLen(std::string text) { return decoded_length(text.data(), text.size()); }

int EnBase64(unsigned char* src, int n, char* out) {
    if (src == nullptr || out == nullptr || GetEnLen(n) == 0) return 0;
    encode(src, n, out);
    return GetEnLen(n);
}

int EnBase64Ex(unsigned char* src, int n, std::string& text) {
    try {
        text.clear();
        if (src == nullptr || GetEnLen(n) == 0) return 0;
        text.resize(static_cast<size_t>(GetEnLen(n)));
        encode(src, n, &text[0]);
        return static_cast<int>(text.size());
    } catch (...) {
        text.clear();
        return 0;
    }
}

int DeBase64(char* text, unsigned char* out, int& n) {
    if (text == nullptr) {
        n = 0;
        return 0;
    }
    size_t len = strlen(text);
    n = decoded_length(text, len);
    if (len == 0 || out == nullptr) return n;
    decode(text, len, out, n);
    return n;
}

int DeBase64Ex(std::string text, unsigned char* out, int& n) {
    n = decoded_length(text.data(), text.size());
    if (text.empty() || out == nullptr) return n;
    decode(text.data(), text.size(), out, n);
    return n;
}
