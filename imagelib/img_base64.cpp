// Base64 coder of the image library.
#include "img_base64.h"

#include <climits>
#include <cstdint>
#include <cstring>

namespace {

constexpr char kAlphabet[66] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=";

constexpr unsigned char kEndOfText = 88;  // "X": the NUL byte
constexpr unsigned char kOutside = 68;    // "D": any byte outside the alphabet

struct DecodeTable {
    unsigned char v[256];
};

constexpr DecodeTable MakeDecodeTable() {
    DecodeTable t{};
    for (int i = 0; i < 256; ++i) t.v[i] = kOutside;
    for (int i = 0; i < 64; ++i) t.v[static_cast<unsigned char>(kAlphabet[i])] = static_cast<unsigned char>(i);
    t.v[0] = kEndOfText;
    return t;
}

constexpr DecodeTable kDecode = MakeDecodeTable();

int SeparatorLength(int separator) {
    if (separator < 0 || separator > 0xFFFFFF) return 4;
    if (separator & 0xFF0000) return 3;
    if (separator & 0xFF00) return 2;
    return 1;
}

}  // namespace

void Base64EncodeGroup(char* out, const unsigned char* in) {
    out[0] = kAlphabet[in[0] >> 2];
    out[1] = kAlphabet[((in[0] << 4) | (in[1] >> 4)) & 63];
    out[2] = kAlphabet[((in[1] << 2) | (in[2] >> 6)) & 63];
    out[3] = kAlphabet[in[2] & 63];
}

int Base64InsertBreaks(char* text, int length, int lineLength, int separator) {
    if (length < 1) {
        if (!text) return 0;
        size_t n = std::strlen(text);
        length = n > INT_MAX ? 0 : static_cast<int>(n);
        if (length < 1) return 0;
    }
    if (lineLength < 1) return length;
    int breaks = length / lineLength;
    if (length % lineLength == 0) --breaks;
    if (breaks < 1) return length;
    const int sepLen = SeparatorLength(separator);
    int64_t newLength = static_cast<int64_t>(length) + static_cast<int64_t>(sepLen) * breaks;
    if (newLength > INT_MAX - 2) return 0;  // the size query adds the NUL and one more
    if (!text) return static_cast<int>(newLength) + 1;
    unsigned char sep[4];
    for (int i = 0; i < sepLen; ++i) sep[i] = static_cast<unsigned char>(static_cast<uint32_t>(separator) >> (8 * i));
    int lastLine = length % lineLength;
    if (lastLine == 0) lastLine = lineLength;
    int src = length - lastLine;  // start of the line being moved
    int dst = static_cast<int>(newLength) - lastLine;
    std::memmove(text + dst, text + src, static_cast<size_t>(lastLine));
    while (src > 0) {
        dst -= sepLen;
        std::memcpy(text + dst, sep, static_cast<size_t>(sepLen));
        src -= lineLength;
        dst -= lineLength;
        std::memmove(text + dst, text + src, static_cast<size_t>(lineLength));
    }
    return static_cast<int>(newLength);
}

int Base64EncodeEx(char* out, const unsigned char* in, int length, int lineLength, int separator) {
    int64_t n;
    bool nul = true;
    if (length > 0) {
        n = length;
    } else if (length == 0) {
        n = in ? static_cast<int64_t>(std::strlen(reinterpret_cast<const char*>(in))) : 0;
    } else {
        n = -static_cast<int64_t>(length);
        nul = false;
    }
    const int64_t t = (n + 2) / 3 * 4;
    if (t > INT_MAX - 2) return 0;  // the text and its NUL would not fit the result
    const int textLen = static_cast<int>(t);
    if (!out || !in) {
        int r = Base64InsertBreaks(nullptr, textLen, lineLength, separator);
        if (r == 0 && textLen > 0) return 0;
        return r + 1;
    }
    // Breaks that would overflow the length are refused before anything is written.
    if (lineLength >= 1 && textLen > 0 && Base64InsertBreaks(nullptr, textLen, lineLength, separator) == 0) return 0;
    int64_t full = n / 3;
    char* o = out;
    for (int64_t g = 0; g < full; ++g, o += 4) Base64EncodeGroup(o, in + 3 * g);
    int rest = static_cast<int>(n - full * 3);
    if (rest > 0) {
        unsigned char last[3] = {0, 0, 0};
        std::memcpy(last, in + 3 * full, static_cast<size_t>(rest));
        Base64EncodeGroup(o, last);
        o[3] = '=';
        if (rest == 1) o[2] = '=';
    }
    int len = textLen;
    if (lineLength >= 1 && textLen > 0) len = Base64InsertBreaks(out, textLen, lineLength, separator);
    if (nul) out[len] = '\0';
    return len;
}

int Base64Encode(char* out, const unsigned char* in, int length) { return Base64EncodeEx(out, in, length, 0, 0); }

int Base64DecodeEx(unsigned char* out, const char* text, int length, int lenient) {
    if (length < 0) return -3;
    if (!text) return static_cast<int>((static_cast<int64_t>(length) + 3) / 4 * 3);
    if (length == 0) {
        size_t n = std::strlen(text);
        if (n > INT_MAX) n = INT_MAX;
        length = static_cast<int>(n);
    }
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
    int pos = 0, count = 0;
    bool ended = false;
    while (!ended) {
        unsigned char s[4];
        int k = 0;
        while (k < 4 && pos < length) {
            unsigned char v = kDecode.v[p[pos++]];
            if (v < 64) {
                s[k++] = v;
            } else if (v == kEndOfText || !lenient) {
                ended = true;
                break;
            }
        }
        if (pos >= length) ended = true;
        if (k < 2) break;
        unsigned char b[3];
        b[0] = static_cast<unsigned char>((s[0] << 2) | (s[1] >> 4));
        if (k >= 3) b[1] = static_cast<unsigned char>((s[1] << 4) | (s[2] >> 2));
        if (k == 4) b[2] = static_cast<unsigned char>((s[2] << 6) | s[3]);
        int nb = k - 1;
        if (out) std::memcpy(out + count, b, static_cast<size_t>(nb));
        count += nb;
        if (k < 4) break;
    }
    return count;
}

int Base64Decode(unsigned char* out, const char* text, int length) { return Base64DecodeEx(out, text, length, 0); }
