// Base64 coder of the utilities.
#include "qv_base64.h"

#include <cstring>

char sdk_version[24] = "string_version: 1.0.2.0";

// The alphabet in value order, then the padding character (no terminating NUL).
char B64EnTblX[65] = {
    'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I', 'J', 'K', 'L', 'M', 'N', 'O', 'P',
    'Q', 'R', 'S', 'T', 'U', 'V', 'W', 'X', 'Y', 'Z', 'a', 'b', 'c', 'd', 'e', 'f',
    'g', 'h', 'i', 'j', 'k', 'l', 'm', 'n', 'o', 'p', 'q', 'r', 's', 't', 'u', 'v',
    'w', 'x', 'y', 'z', '0', '1', '2', '3', '4', '5', '6', '7', '8', '9', '+', '/',
    '=',
};

// 6-bit value of every alphabet character by its code; 0 for any other code up to 'z'.
unsigned char B64DeTblX[123] = {
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 62, 0, 0, 0, 63,
    52, 53, 54, 55, 56, 57, 58, 59, 60, 61, 0, 0, 0, 0, 0, 0,
    0, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14,
    15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 0, 0, 0, 0, 0,
    0, 26, 27, 28, 29, 30, 31, 32, 33, 34, 35, 36, 37, 38, 39, 40,
    41, 42, 43, 44, 45, 46, 47, 48, 49, 50, 51,
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

}  // namespace

int GetEnLen(int n) { return n <= 0 ? 0 : (n + 2) / 3 * 4; }

int GetDeLen(std::string text) {
    size_t len = text.size();
    int n = static_cast<int>(len / 4 * 3);
    if (len >= 2 && text[len - 2] == '=')
        n -= 2;
    else if (len >= 1 && text[len - 1] == '=')
        n -= 1;
    return n < 0 ? 0 : n;
}

int EnBase64(unsigned char* src, int n, char* out) {
    if (src == nullptr || out == nullptr || n <= 0) return 0;
    encode(src, n, out);
    return GetEnLen(n);
}

int EnBase64Ex(unsigned char* src, int n, std::string& text) {
    try {
        text.clear();
        if (src == nullptr || n <= 0) return 0;
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
    n = GetDeLen(std::string(text, len));
    if (len == 0 || out == nullptr) return n;
    decode(text, len, out, n);
    return n;
}

int DeBase64Ex(std::string text, unsigned char* out, int& n) {
    n = GetDeLen(text);
    if (text.empty() || out == nullptr) return n;
    decode(text.data(), text.size(), out, n);
    return n;
}
