// MD5, SHA-1, CRC-32, CRC-16 and CRC-8 of buffers and files.
#include "img_checksum.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "qv_crc32.h"
#include "qv_owners.h"

namespace {

constexpr int kModeRaw = 0x100;
constexpr int kMd5 = 0, kCrc32 = 1, kCrc16 = 2, kCrc8 = 3, kSha1 = 4;
constexpr int kErrNoData = -3, kErrMode = -12, kErrFile = -18;

struct Crc16Table {
    uint16_t v[256];
};
constexpr Crc16Table MakeCrc16() {
    Crc16Table t{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i << 8;
        for (int k = 0; k < 8; ++k) c = (c & 0x8000) ? (c << 1) ^ 0x1021u : c << 1;
        t.v[i] = static_cast<uint16_t>(c);
    }
    return t;
}
constexpr Crc16Table kCrc16Table = MakeCrc16();

struct Crc8Table {
    uint8_t v[256];
};
constexpr Crc8Table MakeCrc8() {
    Crc8Table t{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0x8Cu : c >> 1;
        t.v[i] = static_cast<uint8_t>(c);
    }
    return t;
}
constexpr Crc8Table kCrc8Table = MakeCrc8();

uint32_t Rol(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

void Md5Init(Md5Context* ctx) {
    ctx->state[0] = 0x67452301u;
    ctx->state[1] = 0xEFCDAB89u;
    ctx->state[2] = 0x98BADCFEu;
    ctx->state[3] = 0x10325476u;
    ctx->count = 0;
}

void Md5Final(Md5Context* ctx, unsigned char digest[16]) {
    const uint64_t bits = ctx->count * 8;
    static const unsigned char kPad[64] = {0x80};
    const int used = static_cast<int>(ctx->count % 64);
    Md5Update(ctx, kPad, used < 56 ? 56 - used : 120 - used);
    unsigned char len[8];
    for (int i = 0; i < 8; ++i) len[i] = static_cast<unsigned char>(bits >> (8 * i));
    Md5Update(ctx, len, 8);
    for (int i = 0; i < 16; ++i) digest[i] = static_cast<unsigned char>(ctx->state[i / 4] >> (8 * (i % 4)));
}

void Sha1(const unsigned char* data, size_t n, unsigned char digest[20]) {
    uint32_t h[5] = {0x67452301u, 0xEFCDAB89u, 0x98BADCFEu, 0x10325476u, 0xC3D2E1F0u};
    size_t full = n / 64;
    for (size_t i = 0; i < full; ++i) Sha1Transform(h, data + 64 * i);
    unsigned char tail[128] = {0};
    size_t rest = n - full * 64;
    std::memcpy(tail, data + full * 64, rest);
    tail[rest] = 0x80;
    size_t tailLen = rest < 56 ? 64 : 128;
    const uint64_t bits = static_cast<uint64_t>(n) * 8;
    for (int i = 0; i < 8; ++i) tail[tailLen - 1 - i] = static_cast<unsigned char>(bits >> (8 * i));
    Sha1Transform(h, tail);
    if (tailLen == 128) Sha1Transform(h, tail + 64);
    for (int i = 0; i < 20; ++i) digest[i] = static_cast<unsigned char>(h[i / 4] >> (24 - 8 * (i % 4)));
}

// Reads a whole file; 0 on success, kErrFile otherwise.
int ReadWhole(const char* path, qv::HeapArray<unsigned char>& out, int* size) {
    if (!*path) return kErrFile;
    FILE* f = std::fopen(path, "rbe");
    if (!f) return kErrFile;
    int rc = kErrFile;
    long n = -1;
    if (std::fseek(f, 0, SEEK_END) == 0) n = std::ftell(f);
    if (n > 0 && n <= INT_MAX && std::fseek(f, 0, SEEK_SET) == 0) {
        out.reset(static_cast<unsigned char*>(std::malloc(static_cast<size_t>(n))));
        if (out && std::fread(out.get(), 1, static_cast<size_t>(n), f) == static_cast<size_t>(n)) {
            *size = static_cast<int>(n);
            rc = 0;
        }
    }
    std::fclose(f);
    return rc;
}

}  // namespace

void Md5Transform(uint32_t state[4], const unsigned char block[64]) {
    static const uint32_t kK[64] = {
        0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
        0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
        0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
        0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
        0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
        0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
        0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
        0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};
    static const int kS[64] = {7,  12, 17, 22, 7,  12, 17, 22, 7,  12, 17, 22, 7,  12, 17, 22, 5,  9,  14, 20, 5,  9,
                               14, 20, 5,  9,  14, 20, 5,  9,  14, 20, 4,  11, 16, 23, 4,  11, 16, 23, 4,  11, 16, 23,
                               4,  11, 16, 23, 6,  10, 15, 21, 6,  10, 15, 21, 6,  10, 15, 21, 6,  10, 15, 21};
    uint32_t m[16];
    for (int i = 0; i < 16; ++i)
        m[i] = static_cast<uint32_t>(block[4 * i]) | (static_cast<uint32_t>(block[4 * i + 1]) << 8) |
               (static_cast<uint32_t>(block[4 * i + 2]) << 16) | (static_cast<uint32_t>(block[4 * i + 3]) << 24);
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    for (int i = 0; i < 64; ++i) {
        uint32_t f;
        int g;
        if (i < 16) {
            f = (b & c) | (~b & d);
            g = i;
        } else if (i < 32) {
            f = (d & b) | (~d & c);
            g = (5 * i + 1) % 16;
        } else if (i < 48) {
            f = b ^ c ^ d;
            g = (3 * i + 5) % 16;
        } else {
            f = c ^ (b | ~d);
            g = (7 * i) % 16;
        }
        uint32_t t = d;
        d = c;
        c = b;
        b = b + Rol(a + f + kK[i] + m[g], kS[i]);
        a = t;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
}

void Md5Update(Md5Context* ctx, const unsigned char* data, int length) {
    if (!ctx || !data || length < 1) return;
    size_t used = static_cast<size_t>(ctx->count % 64);
    ctx->count += static_cast<uint64_t>(length);
    size_t n = static_cast<size_t>(length);
    if (used) {
        size_t take = 64 - used < n ? 64 - used : n;
        std::memcpy(ctx->buffer + used, data, take);
        data += take;
        n -= take;
        if (used + take < 64) return;
        Md5Transform(ctx->state, ctx->buffer);
    }
    for (; n >= 64; n -= 64, data += 64) Md5Transform(ctx->state, data);
    std::memcpy(ctx->buffer, data, n);
}

void Sha1Transform(uint32_t state[5], const unsigned char block[64]) {
    uint32_t w[80];
    for (int i = 0; i < 16; ++i)
        w[i] = (static_cast<uint32_t>(block[4 * i]) << 24) | (static_cast<uint32_t>(block[4 * i + 1]) << 16) |
               (static_cast<uint32_t>(block[4 * i + 2]) << 8) | static_cast<uint32_t>(block[4 * i + 3]);
    for (int i = 16; i < 80; ++i) w[i] = Rol(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3], e = state[4];
    for (int i = 0; i < 80; ++i) {
        uint32_t f, k;
        if (i < 20) {
            f = (b & c) | (~b & d);
            k = 0x5A827999u;
        } else if (i < 40) {
            f = b ^ c ^ d;
            k = 0x6ED9EBA1u;
        } else if (i < 60) {
            f = (b & c) | (b & d) | (c & d);
            k = 0x8F1BBCDCu;
        } else {
            f = b ^ c ^ d;
            k = 0xCA62C1D6u;
        }
        uint32_t t = Rol(a, 5) + f + e + k + w[i];
        e = d;
        d = c;
        c = Rol(b, 30);
        b = a;
        a = t;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
}

unsigned Crc32Update(unsigned crc, const unsigned char* data, int length) {
    if (!data || length <= 0) return crc;
    return qv::crc32_update(crc, data, static_cast<size_t>(length));
}

int CalcChecksum(const void* pathOrData, int length, unsigned char* out, int mode) {
    if (!pathOrData) return kErrNoData;
    qv::HeapArray<unsigned char> file;
    const unsigned char* data = static_cast<const unsigned char*>(pathOrData);
    int n = length;
    if (length < 1) {
        int rc = ReadWhole(static_cast<const char*>(pathOrData), file, &n);
        if (rc != 0) return rc;
        data = file.get();
    }
    const int algo = mode & 0xFF;
    if (algo > kSha1) return kErrMode;

    unsigned char sum[20];
    int bytes = 0;
    switch (algo) {
    case kMd5: {
        Md5Context ctx;
        Md5Init(&ctx);
        Md5Update(&ctx, data, n);
        Md5Final(&ctx, sum);
        bytes = 16;
        break;
    }
    case kCrc32: {
        uint32_t c = Crc32Update(0, data, n);
        for (int i = 0; i < 4; ++i) sum[i] = static_cast<unsigned char>(c >> (8 * i));
        bytes = 4;
        break;
    }
    case kCrc16: {
        uint16_t c = 0;
        for (int i = 0; i < n; ++i) c = static_cast<uint16_t>((c << 8) ^ kCrc16Table.v[((c >> 8) ^ data[i]) & 0xFF]);
        sum[0] = static_cast<unsigned char>(c);
        sum[1] = static_cast<unsigned char>(c >> 8);
        bytes = 2;
        break;
    }
    case kCrc8: {
        uint8_t c = 0;
        for (int i = 0; i < n; ++i) c = kCrc8Table.v[c ^ data[i]];
        sum[0] = c;
        bytes = 1;
        break;
    }
    default:
        Sha1(data, static_cast<size_t>(n), sum);
        bytes = 20;
        break;
    }
    if (mode & kModeRaw) {
        if (out) std::memcpy(out, sum, static_cast<size_t>(bytes));
        return bytes;
    }
    if (out) {
        static const char kHex[] = "0123456789ABCDEF";
        for (int i = 0; i < bytes; ++i) {
            out[2 * i] = static_cast<unsigned char>(kHex[sum[i] >> 4]);
            out[2 * i + 1] = static_cast<unsigned char>(kHex[sum[i] & 15]);
        }
        out[2 * bytes] = 0;
    }
    return 2 * bytes;
}
