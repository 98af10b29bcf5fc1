// Baseline MJPEG/JPEG decoder to YUYV: markers, Huffman decoding, scaled integer IDCT.
#include "jpeg_decoder.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

namespace {

constexpr size_t kUnknownLength = SIZE_MAX;
constexpr int kMaxComponents = 4;
constexpr int kMaxBlocksPerMcu = 6;
constexpr int kLookBits = 10;
constexpr int kLookSize = 1 << kLookBits;
constexpr int kMaxHuffSymbols = 256;
constexpr int kMaxCodeLength = 16;
// Neither EOI nor RST: the reader's state once data has run out or turned out broken.
constexpr int kMarkerNoData = 0x100;
// Held to the range of 16-bit coefficients, far beyond any valid 8-bit frame, so that the
// transform's 64-bit arithmetic cannot overflow on corrupt DC predictions.
constexpr int64_t kMaxCoefficient = 32767;

constexpr int kFixShift = 11;
constexpr int64_t kLumaBias = 0x40400;  // level shift 128 << 11 plus rounding
constexpr int64_t kChromaBias = 1024;   // rounding only

enum Marker : int {
    kSOF0 = 0xC0,
    kSOF2 = 0xC2,
    kDHT = 0xC4,
    kRST0 = 0xD0,
    kSOI = 0xD8,
    kEOI = 0xD9,
    kSOS = 0xDA,
    kDQT = 0xDB,
    kDRI = 0xDD,
};

// Natural (row-major) index of each zig-zag position.
constexpr int kNatural[64] = {
    0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,  12, 19, 26, 33, 40, 48,
    41, 34, 27, 20, 13, 6,  7,  14, 21, 28, 35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23,
    30, 37, 44, 51, 58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63,
};

// AAN scale factors: 512 * sqrt(2), then 1024 * cos(k * pi / 16), rounded.
constexpr int kAanScale[8] = {724, 1004, 946, 851, 724, 569, 392, 200};

// The standard tables (luminance DC, chrominance DC, luminance AC, chrominance AC) in DHT
// payload form, for frames that bring none.
constexpr uint8_t kStandardHuffman[416] = {
    0x00, 0,    1,    5,    1,    1,    1,    1,    1,    1,    0,    0,    0,    0,    0,    0,    0,  //
    0,    1,    2,    3,    4,    5,    6,    7,    8,    9,    10,   11,                               //
    0x01, 0,    3,    1,    1,    1,    1,    1,    1,    1,    1,    1,    0,    0,    0,    0,    0,  //
    0,    1,    2,    3,    4,    5,    6,    7,    8,    9,    10,   11,                               //
    0x10, 0,    2,    1,    3,    3,    2,    4,    3,    5,    5,    4,    4,    0,    0,    1,    0x7d, 0x01,
    0x02, 0x03, 0x00, 0x04, 0x11, 0x05, 0x12, 0x21, 0x31, 0x41, 0x06, 0x13, 0x51, 0x61, 0x07, 0x22, 0x71, 0x14,
    0x32, 0x81, 0x91, 0xa1, 0x08, 0x23, 0x42, 0xb1, 0xc1, 0x15, 0x52, 0xd1, 0xf0, 0x24, 0x33, 0x62, 0x72, 0x82,
    0x09, 0x0a, 0x16, 0x17, 0x18, 0x19, 0x1a, 0x25, 0x26, 0x27, 0x28, 0x29, 0x2a, 0x34, 0x35, 0x36, 0x37, 0x38,
    0x39, 0x3a, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48, 0x49, 0x4a, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5a,
    0x63, 0x64, 0x65, 0x66, 0x67, 0x68, 0x69, 0x6a, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7a, 0x83, 0x84,
    0x85, 0x86, 0x87, 0x88, 0x89, 0x8a, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99, 0x9a, 0xa2, 0xa3, 0xa4,
    0xa5, 0xa6, 0xa7, 0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4, 0xb5, 0xb6, 0xb7, 0xb8, 0xb9, 0xba, 0xc2, 0xc3, 0xc4,
    0xc5, 0xc6, 0xc7, 0xc8, 0xc9, 0xca, 0xd2, 0xd3, 0xd4, 0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda, 0xe1, 0xe2, 0xe3,
    0xe4, 0xe5, 0xe6, 0xe7, 0xe8, 0xe9, 0xea, 0xf1, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8, 0xf9, 0xfa,  //
    0x11, 0,    2,    1,    2,    4,    4,    3,    4,    7,    5,    4,    4,    0,    1,    2,    0x77, 0x00,
    0x01, 0x02, 0x03, 0x11, 0x04, 0x05, 0x21, 0x31, 0x06, 0x12, 0x41, 0x51, 0x07, 0x61, 0x71, 0x13, 0x22, 0x32,
    0x81, 0x08, 0x14, 0x42, 0x91, 0xa1, 0xb1, 0xc1, 0x09, 0x23, 0x33, 0x52, 0xf0, 0x15, 0x62, 0x72, 0xd1, 0x0a,
    0x16, 0x24, 0x34, 0xe1, 0x25, 0xf1, 0x17, 0x18, 0x19, 0x1a, 0x26, 0x27, 0x28, 0x29, 0x2a, 0x35, 0x36, 0x37,
    0x38, 0x39, 0x3a, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48, 0x49, 0x4a, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59,
    0x5a, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68, 0x69, 0x6a, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7a, 0x82,
    0x83, 0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8a, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99, 0x9a, 0xa2,
    0xa3, 0xa4, 0xa5, 0xa6, 0xa7, 0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4, 0xb5, 0xb6, 0xb7, 0xb8, 0xb9, 0xba, 0xc2,
    0xc3, 0xc4, 0xc5, 0xc6, 0xc7, 0xc8, 0xc9, 0xca, 0xd2, 0xd3, 0xd4, 0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda, 0xe2,
    0xe3, 0xe4, 0xe5, 0xe6, 0xe7, 0xe8, 0xe9, 0xea, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8, 0xf9, 0xfa,
};

// One lookahead entry: value_len is code length + size when the value is already
// decoded from the 10 bits (then value holds it), else 0; code_len 0 means no code
// of 10 bits or less begins here.
struct HuffLook {
    int16_t value;
    uint8_t code_len;
    uint8_t value_len;
    uint8_t symbol;
};

struct HuffTable {
    HuffLook look[kLookSize];
    int32_t limit[kMaxCodeLength + 1];   // one more than the largest code of each length
    int32_t offset[kMaxCodeLength + 1];  // symbol index minus code, per length
    int count;                           // symbols in the table
    uint8_t symbols[kMaxHuffSymbols];
};

struct FrameComponent {
    int id;
    int sampling;
    int qtable;
};

struct ScanComponent {
    const HuffTable* dc;
    const HuffTable* ac;
    int sampling;
    int qtable;
    int64_t predictor;
};

struct jpeg_bit_reader {
    const uint8_t* data;
    size_t pos;
    size_t len;
    uint32_t buf;  // the low `bits` bits are unread, most significant first
    int bits;
    int marker;  // 0 while none found
};

enum class Layout { Yuv420, Yuv422, Grey, Yuv444 };

struct Decoder {
    jpeg_bit_reader br;
    uint8_t qtable[4][64];  // zig-zag order, as DQT stores them
    bool qtable_defined[4];
    HuffTable huff[4];  // 2 * class + id
    bool has_dht;
    int restart_interval;
    FrameComponent frame[kMaxComponents];
    int frame_count;
    int frame_width, frame_height;
    ScanComponent scan[kMaxComponents];
    int scan_count;
    int64_t scaled[3][64];                  // zig-zag order: luma, first and second chroma
    int64_t coef[kMaxBlocksPerMcu][64];     // dequantised, natural order
    uint8_t samples[kMaxBlocksPerMcu][64];  // clamped output samples
};

// ---- bounded byte access to the headers ----

inline bool have(const Decoder& d, size_t n) { return d.br.len - d.br.pos >= n; }
inline int u8(Decoder& d) { return d.br.data[d.br.pos++]; }
inline int u16(Decoder& d) {
    const int v = (d.br.data[d.br.pos] << 8) | d.br.data[d.br.pos + 1];
    d.br.pos += 2;
    return v;
}

inline int extend(int v, int s) { return (s && v < (1 << (s - 1))) ? v - (1 << s) + 1 : v; }

bool jpeg_build_huff_table(HuffTable& t, const uint8_t counts[16], const uint8_t* symbols, int n) {
    std::memcpy(t.symbols, symbols, static_cast<size_t>(n));
    std::memset(t.look, 0, sizeof t.look);
    t.count = n;
    int code = 0, k = 0;
    for (int l = 1; l <= kMaxCodeLength; ++l) {
        const int first_code = code, first_index = k;
        for (int i = 0; i < counts[l - 1]; ++i, ++k, ++code) {
            if (code >= (1 << l)) return false;  // the code space is over-filled
            if (l > kLookBits) continue;
            const int sym = symbols[k];
            const int size = sym & 15;
            const int span = kLookBits - l;
            const int base = code << span;
            for (int j = 0; j < (1 << span); ++j) {
                HuffLook& e = t.look[base + j];
                e.code_len = static_cast<uint8_t>(l);
                e.symbol = static_cast<uint8_t>(sym);
                if (l + size <= kLookBits) {
                    const int v = (j >> (span - size)) & ((1 << size) - 1);
                    e.value = static_cast<int16_t>(extend(v, size));
                    e.value_len = static_cast<uint8_t>(l + size);
                } else {
                    e.value = 0;
                    e.value_len = 0;
                }
            }
        }
        t.limit[l] = code;
        t.offset[l] = first_index - first_code;
        code <<= 1;
    }
    return true;
}

// Reads the tables of a DHT segment whose length field (counting itself) is len.
bool read_dht_tables(Decoder& d, int len) {
    while (true) {
        if (!have(d, 17)) return false;
        const int tc_th = u8(d);
        const int tc = tc_th >> 4, th = tc_th & 15;
        if (tc > 1 || th > 1) return false;
        uint8_t counts[16];
        int total = 0;
        for (int i = 0; i < 16; ++i) {
            counts[i] = static_cast<uint8_t>(u8(d));
            total += counts[i];
        }
        len -= 17;
        if (total > kMaxHuffSymbols || !have(d, static_cast<size_t>(total))) return false;
        const uint8_t* syms = d.br.data + d.br.pos;
        d.br.pos += static_cast<size_t>(total);
        len -= total;
        if (!jpeg_build_huff_table(d.huff[2 * tc + th], counts, syms, total)) return false;
        if (len < 3) return true;
    }
}

// Reads segments until the wanted marker (or SOF2); false when the search fails.
bool jpeg_read_markers(Decoder& d, int wanted) {
    while (true) {
        if (!have(d, 2) || d.br.data[d.br.pos] != 0xFF) return false;
        const int marker = d.br.data[d.br.pos + 1];
        d.br.pos += 2;
        if (marker == wanted || marker == kSOF2) return true;
        if (!have(d, 2)) return false;
        const int len = u16(d);
        switch (marker) {
        case kDHT:
            d.has_dht = true;
            if (len > 2 && !read_dht_tables(d, len)) return false;
            break;
        case kDQT: {
            int left = len;
            while (left >= 3) {
                if (!have(d, 65)) return false;
                const int pq_tq = u8(d);
                if (pq_tq > 15 || (pq_tq & 15) > 3) return false;
                std::memcpy(d.qtable[pq_tq], d.br.data + d.br.pos, 64);
                d.qtable_defined[pq_tq] = true;
                d.br.pos += 64;
                left -= 65;
            }
            break;
        }
        case kDRI:
            if (!have(d, 2)) return false;
            d.restart_interval = u16(d);
            break;
        default:
            if (len > 2) {
                if (!have(d, static_cast<size_t>(len - 2))) return false;
                d.br.pos += static_cast<size_t>(len - 2);
            }
            break;
        }
    }
}

// ---- entropy-coded data ----

void jpeg_fill_bits(jpeg_bit_reader& r) {
    if (r.marker == 0) {
        while (r.bits <= 24) {
            if (r.pos >= r.len) {
                r.marker = kMarkerNoData;
                break;
            }
            const uint8_t b = r.data[r.pos++];
            if (b == 0xFF) {
                if (r.pos >= r.len) {
                    r.marker = kMarkerNoData;
                    break;
                }
                const uint8_t next = r.data[r.pos++];
                if (next != 0) {
                    r.marker = next;
                    break;
                }
            }
            r.buf = (r.buf << 8) | b;
            r.bits += 8;
        }
        if (r.marker == 0) return;
    }
    if (r.bits <= 16) {
        r.buf <<= 16;
        r.bits += 16;
    }
}

inline int get_bits(jpeg_bit_reader& r, int n) {
    if (n == 0) return 0;
    if (r.bits < n) jpeg_fill_bits(r);
    r.bits -= n;
    return static_cast<int>((r.buf >> r.bits) & ((1u << n) - 1));
}

// Codes longer than the lookahead, continued bit by bit; -1 when none matches by 16 bits.
__attribute__((noinline)) int decode_long_symbol(jpeg_bit_reader& r, const HuffTable& t, unsigned look, int& value) {
    r.bits -= kLookBits;
    int code = static_cast<int>(look);
    for (int l = kLookBits + 1; l <= kMaxCodeLength; ++l) {
        code = (code << 1) | get_bits(r, 1);
        if (code < t.limit[l]) {
            const int index = code + t.offset[l];
            if (index < 0 || index >= t.count) break;
            const int sym = t.symbols[index];
            const int size = sym & 15;
            value = extend(get_bits(r, size), size);
            return sym;
        }
    }
    value = 0;
    return -1;
}

// Decodes one symbol and its value; -1 when no code matches within 16 bits.
__attribute__((always_inline)) inline int decode_symbol(jpeg_bit_reader& r, const HuffTable& t, int& value) {
    if (r.bits < kLookBits) jpeg_fill_bits(r);
    const unsigned look = (r.buf >> (r.bits - kLookBits)) & (kLookSize - 1);
    const HuffLook& e = t.look[look];
    if (e.value_len) {
        r.bits -= e.value_len;
        value = e.value;
        return e.symbol;
    }
    if (e.code_len) {
        r.bits -= e.code_len;
        const int size = e.symbol & 15;
        value = extend(get_bits(r, size), size);
        return e.symbol;
    }
    return decode_long_symbol(r, t, look, value);
}

inline int64_t clamp_coefficient(int64_t v) {
    return v > kMaxCoefficient ? kMaxCoefficient : (v < -kMaxCoefficient ? -kMaxCoefficient : v);
}

// Which rows and columns of a block hold coded coefficients (bit i for row/column i);
// the transform skips the work that zeros make redundant without changing any result.
struct BlockShape {
    int used;  // coefficient positions used, 1 for a DC-only block
    unsigned rows;
    unsigned cols;
};

// Decodes one block into dequantised natural-order coefficients.
BlockShape decode_block(jpeg_bit_reader& r, ScanComponent& sc, const int64_t* scaled, int64_t* coef) {
    std::memset(coef, 0, 64 * sizeof(int64_t));
    BlockShape shape{1, 1, 1};
    int value;
    if (decode_symbol(r, *sc.dc, value) < 0) {
        r.marker = kMarkerNoData;  // broken data: the block ends with a DC value of 0
        coef[0] = clamp_coefficient(sc.predictor) * scaled[0];
        return shape;
    }
    sc.predictor += value;
    coef[0] = clamp_coefficient(sc.predictor) * scaled[0];
    int k = 1;
    while (k <= 63) {
        const int sym = decode_symbol(r, *sc.ac, value);
        if (sym < 0) {
            r.marker = kMarkerNoData;
            break;
        }
        const int run = sym >> 4, size = sym & 15;
        if (run == 0 && size == 0) break;
        k += run;
        if (k > 63) break;
        const int n = kNatural[k];
        coef[n] = value * scaled[k];
        shape.rows |= 1u << (n >> 3);
        shape.cols |= 1u << (n & 7);
        ++k;
    }
    shape.used = k > 63 ? 64 : k;
    return shape;
}

inline uint8_t clamp_sample(int64_t v) { return static_cast<uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v)); }

inline int64_t fix(int64_t x, int64_t k) { return (x * k) >> kFixShift; }

// Vertical pass on one column (stride 8). HighZero: rows 4 to 7 are known to be 0,
// so the same formulas are evaluated with those terms folded away.
template <bool HighZero>
inline void idct_column(int64_t* col) {
    const int64_t a0 = col[0], a1 = col[8], a2 = col[16], a3 = col[24];
    const int64_t a4 = HighZero ? 0 : col[32], a5 = HighZero ? 0 : col[40];
    const int64_t a6 = HighZero ? 0 : col[48], a7 = HighZero ? 0 : col[56];
    if ((a1 | a2 | a3 | a4 | a5 | a6 | a7) == 0) {
        for (int r = 1; r < 8; ++r) col[8 * r] = a0;
        return;
    }
    const int64_t e = a2 + a6;
    const int64_t t12 = fix(a2 - a6, 2896) - e;
    const int64_t t1 = a0 - a4 + t12;
    const int64_t t2 = a0 - a4 - t12;
    const int64_t z10 = a5 - a3, z13 = a5 + a3;
    const int64_t t7 = z13 + a1 + a7;
    const int64_t z5 = fix(z10 + a1 - a7, 1567);
    const int64_t t6 = fix(a1 - a7, 5351) - z5 - t7;
    const int64_t t5 = fix(a1 + a7 - z13, 2896) - t6;
    const int64_t t4 = z5 + fix(z10, 2217) - t5;
    col[0] = a0 + a4 + e + t7;
    col[8] = t1 + t6;
    col[16] = t2 + t5;
    col[24] = a0 + a4 - e + t4;
    col[32] = a0 + a4 - e - t4;
    col[40] = t2 - t5;
    col[48] = t1 - t6;
    col[56] = a0 + a4 + e - t7;
}

// Horizontal pass on one row, with the output shift, level offset and clamping.
template <bool HighZero>
inline void idct_row(const int64_t* b, int64_t offset, uint8_t* o) {
    const int64_t b0 = b[0], b1 = b[1], b2 = b[2], b3 = b[3];
    const int64_t b4 = HighZero ? 0 : b[4], b5 = HighZero ? 0 : b[5];
    const int64_t b6 = HighZero ? 0 : b[6], b7 = HighZero ? 0 : b[7];
    if ((b1 | b2 | b3 | b4 | b5 | b6 | b7) == 0) {
        std::memset(o, clamp_sample((b0 >> kFixShift) + offset), 8);
        return;
    }
    const int64_t t12 = fix(b2 - b6, 2896) - (b2 + b6);
    const int64_t t1 = b0 - b4 + t12;
    const int64_t t7 = b3 + b5 + b1 + b7;
    const int64_t z5 = fix(b5 - b3 + b1 - b7, 1567);
    const int64_t t6 = fix(b1 - b7, 5351) - z5 - t7;
    const int64_t t11 = fix(b1 + b7 - b3 - b5, 2896);
    const int64_t m = t6 - t11;
    const int64_t t4 = z5 + fix(b5 - b3, 2217) + m;
    const int64_t even = b2 + b6;
    o[0] = clamp_sample(((b0 + b4 + even + t7) >> kFixShift) + offset);
    o[1] = clamp_sample(((t1 + t6) >> kFixShift) + offset);
    o[2] = clamp_sample(((b0 - b4 - t12 - m) >> kFixShift) + offset);
    o[3] = clamp_sample(((b0 + b4 - even + t4) >> kFixShift) + offset);
    o[4] = clamp_sample(((b0 + b4 - even - t4) >> kFixShift) + offset);
    o[5] = clamp_sample(((b0 - b4 - t12 + m) >> kFixShift) + offset);
    o[6] = clamp_sample(((t1 - t6) >> kFixShift) + offset);
    o[7] = clamp_sample(((b0 + b4 + even - t7) >> kFixShift) + offset);
}

void jpeg_idct_block(int64_t* f, const BlockShape& shape, int64_t bias, bool chroma, uint8_t* out) {
    const int64_t offset = chroma ? 128 : 0;
    if (shape.used <= 1) {
        std::memset(out, clamp_sample(((bias + f[0]) >> kFixShift) + offset), 64);
        return;
    }
    f[0] += bias;
    if (shape.rows == 1) {
        // Only the first row is coded: every column is constant, so all rows are alike.
        if (shape.cols & 0xF0)
            idct_row<false>(f, offset, out);
        else
            idct_row<true>(f, offset, out);
        for (int r = 1; r < 8; ++r) std::memcpy(out + 8 * r, out, 8);
        return;
    }
    // Columns without coefficients stay zero (column 0 always holds the bias).
    const unsigned cols = shape.cols | 1u;
    const bool high_rows_zero = (shape.rows & 0xF0) == 0;
    for (int c = 0; c < 8; ++c) {
        if (!(cols & (1u << c))) continue;
        if (high_rows_zero)
            idct_column<true>(f + c);
        else
            idct_column<false>(f + c);
    }
    if (shape.cols & 0xF0) {
        for (int r = 0; r < 8; ++r) idct_row<false>(f + 8 * r, offset, out + 8 * r);
    } else {
        for (int r = 0; r < 8; ++r) idct_row<true>(f + 8 * r, offset, out + 8 * r);
    }
}

void jpeg_scale_qtable(const uint8_t* q, int64_t* scaled) {
    for (int z = 0; z < 64; ++z) {
        const int n = kNatural[z];
        scaled[z] = static_cast<int64_t>(q[z]) * ((kAanScale[n / 8] * kAanScale[n % 8]) / 2048);
    }
}

// ---- MCU writers ----

inline void put_pair(uint8_t* o, uint8_t y0, uint8_t u, uint8_t y1, uint8_t v) {
    o[0] = y0;
    o[1] = u;
    o[2] = y1;
    o[3] = v;
}

void jpeg_mcu420_to_yuyv(const uint8_t (*s)[64], uint8_t* out, std::ptrdiff_t pitch) {
    for (int y = 0; y < 16; ++y, out += pitch) {
        const uint8_t* left = s[(y >> 3) * 2] + (y & 7) * 8;
        const uint8_t* right = s[(y >> 3) * 2 + 1] + (y & 7) * 8;
        const uint8_t* cb = s[4] + (y >> 1) * 8;
        const uint8_t* cr = s[5] + (y >> 1) * 8;
        for (int p = 0; p < 4; ++p) put_pair(out + 4 * p, left[2 * p], cb[p], left[2 * p + 1], cr[p]);
        for (int p = 0; p < 4; ++p) put_pair(out + 16 + 4 * p, right[2 * p], cb[4 + p], right[2 * p + 1], cr[4 + p]);
    }
}

void jpeg_mcu422_to_yuyv(const uint8_t (*s)[64], uint8_t* out, std::ptrdiff_t pitch) {
    for (int y = 0; y < 8; ++y, out += pitch) {
        const uint8_t* left = s[0] + y * 8;
        const uint8_t* right = s[1] + y * 8;
        const uint8_t* cb = s[2] + y * 8;
        const uint8_t* cr = s[3] + y * 8;
        for (int p = 0; p < 4; ++p) put_pair(out + 4 * p, left[2 * p], cb[p], left[2 * p + 1], cr[p]);
        for (int p = 0; p < 4; ++p) put_pair(out + 16 + 4 * p, right[2 * p], cb[4 + p], right[2 * p + 1], cr[4 + p]);
    }
}

void jpeg_mcu444_to_yuyv(const uint8_t (*s)[64], uint8_t* out, std::ptrdiff_t pitch) {
    for (int y = 0; y < 8; ++y, out += pitch) {
        const uint8_t* l = s[0] + y * 8;
        const uint8_t* cb = s[1] + y * 8;
        const uint8_t* cr = s[2] + y * 8;
        for (int p = 0; p < 4; ++p) put_pair(out + 4 * p, l[2 * p], cb[2 * p], l[2 * p + 1], cr[2 * p]);
    }
}

void jpeg_mcu400_to_yuyv(const uint8_t (*s)[64], uint8_t* out, std::ptrdiff_t pitch) {
    for (int y = 0; y < 8; ++y, out += pitch) {
        const uint8_t* l = s[0] + y * 8;
        for (int p = 0; p < 4; ++p) put_pair(out + 4 * p, l[2 * p], 128, l[2 * p + 1], 128);
    }
}

// ---- the decoder ----

int decode_header(Decoder& d, int width, int height, Layout& layout) {
    if (!have(d, 2) || d.br.data[0] != 0xFF || d.br.data[1] != kSOI) return kJpegNoSoi;
    d.br.pos = 2;
    if (!jpeg_read_markers(d, kSOF0)) return kJpegMarkerSearch;
    if (!have(d, 8)) return kJpegMarkerSearch;
    u16(d);  // segment length: the fields themselves say how much follows
    if (u8(d) != 8) return kJpegBadPrecision;
    d.frame_height = u16(d);
    d.frame_width = u16(d);
    if (d.frame_height % 8 || d.frame_width % 8) return kJpegBadSize;
    d.frame_count = u8(d);
    if (d.frame_count > kMaxComponents) return kJpegTooManyComponents;
    for (int i = 0; i < d.frame_count; ++i) {
        if (!have(d, 3)) return kJpegMarkerSearch;
        FrameComponent& c = d.frame[i];
        c.id = u8(d);
        c.sampling = u8(d);
        c.qtable = u8(d);
        if ((c.sampling >> 4) > 3 || (c.sampling & 15) > 3) return kJpegBadSampling;
        if (c.qtable > 3) return kJpegBadTableId;
    }

    if (!jpeg_read_markers(d, kSOS)) return kJpegMarkerSearch;
    if (!have(d, 3)) return kJpegMarkerSearch;
    u16(d);
    d.scan_count = u8(d);
    if (d.scan_count == 0) return kJpegBadScan;
    if (d.frame_count == 0) return kJpegUnknownComponent;
    if (d.scan_count > kMaxComponents || d.scan_count > d.frame_count) return kJpegBadScan;
    for (int i = 0; i < d.scan_count; ++i) {
        if (!have(d, 2)) return kJpegMarkerSearch;
        const int id = u8(d);
        const int tables = u8(d);
        const int td = tables >> 4, ta = tables & 15;
        if (td > 1 || ta > 1) return kJpegBadTableId;
        const FrameComponent* fc = nullptr;
        for (int k = 0; k < d.frame_count && !fc; ++k)
            if (d.frame[k].id == id) fc = &d.frame[k];
        if (!fc) return kJpegUnknownComponent;
        ScanComponent& sc = d.scan[i];
        sc.dc = &d.huff[td];
        sc.ac = &d.huff[2 + ta];
        sc.sampling = fc->sampling;
        sc.qtable = fc->qtable;
        sc.predictor = 0;
        if (i == 0 && sc.sampling != 0x11 && sc.sampling != 0x21 && sc.sampling != 0x22) return kJpegBadScan;
    }
    if (!have(d, 3)) return kJpegMarkerSearch;
    d.br.pos += 3;  // spectral selection and successive approximation

    const int first = d.scan[0].sampling;
    layout = first == 0x22       ? Layout::Yuv420
             : first == 0x21     ? Layout::Yuv422
             : d.scan_count == 1 ? Layout::Grey
                                 : Layout::Yuv444;
    // The colour layouts read a luma and two chroma components.
    if (layout != Layout::Grey && d.scan_count < 3) return kJpegBadScan;

    if (!d.has_dht) {
        const jpeg_bit_reader saved = d.br;
        d.br.data = kStandardHuffman;
        d.br.pos = 0;
        d.br.len = sizeof kStandardHuffman;
        read_dht_tables(d, static_cast<int>(sizeof kStandardHuffman) + 2);
        d.br = saved;
    }
    if (d.frame_width > width || d.frame_height > height) return kJpegFrameTooLarge;
    return kJpegOk;
}

int decode_scan(Decoder& d, unsigned char* out, std::ptrdiff_t pitch, int width, int height, Layout layout) {
    int mcu_w = 8, mcu_h = 8, luma_blocks = 1, chroma = 0;
    void (*write)(const uint8_t(*)[64], uint8_t*, std::ptrdiff_t) = jpeg_mcu400_to_yuyv;
    switch (layout) {
    case Layout::Yuv420:
        mcu_w = 16;
        mcu_h = 16;
        luma_blocks = 4;
        chroma = 2;
        write = jpeg_mcu420_to_yuyv;
        break;
    case Layout::Yuv422:
        mcu_w = 16;
        luma_blocks = 2;
        chroma = 2;
        write = jpeg_mcu422_to_yuyv;
        break;
    case Layout::Yuv444:
        chroma = 2;
        write = jpeg_mcu444_to_yuyv;
        break;
    case Layout::Grey: break;
    }
    const int used_components = chroma ? 3 : 1;
    for (int i = 0; i < used_components; ++i) {
        jpeg_scale_qtable(d.qtable[d.scan[i].qtable], d.scaled[i]);
        // A table that no DQT defined reads as broken data.
        if (!d.qtable_defined[d.scan[i].qtable]) d.br.marker = kMarkerNoData;
    }
    const int mcus_x = width / mcu_w, mcus_y = height / mcu_h;
    const int interval = d.restart_interval;
    int countdown = interval + 1;
    int expected = kRST0;
    jpeg_bit_reader& r = d.br;
    for (int my = 0; my < mcus_y; ++my) {
        for (int mx = 0; mx < mcus_x; ++mx) {
            if (interval && --countdown == 0) {
                jpeg_fill_bits(r);
                if (r.marker != expected) return kJpegNoRestart;
                r.buf = 0;
                r.bits = 0;
                r.marker = 0;
                expected = (expected + 1) & ~0x08;
                countdown = interval;
                for (int i = 0; i < d.scan_count; ++i) d.scan[i].predictor = 0;
            }
            int b = 0;
            for (; b < luma_blocks; ++b) {
                const BlockShape shape = decode_block(r, d.scan[0], d.scaled[0], d.coef[b]);
                jpeg_idct_block(d.coef[b], shape, kLumaBias, false, d.samples[b]);
            }
            for (int c = 1; c <= chroma; ++c, ++b) {
                const BlockShape shape = decode_block(r, d.scan[c], d.scaled[c], d.coef[b]);
                jpeg_idct_block(d.coef[b], shape, kChromaBias, true, d.samples[b]);
            }
            uint8_t* dst =
                out + pitch * (static_cast<std::ptrdiff_t>(my) * mcu_h) + static_cast<std::ptrdiff_t>(mx) * mcu_w * 2;
            write(d.samples, dst, pitch);
        }
    }
    jpeg_fill_bits(r);
    return r.marker == kEOI ? kJpegOk : kJpegNoEoi;
}

}  // namespace

int jpeg_decode_bounded(unsigned char* out, int pitch, const unsigned char* in, size_t in_size, int width, int height) {
    if (!in || !out) return kJpegNoBufferOrMemory;
    std::unique_ptr<Decoder> d(new (std::nothrow) Decoder());
    if (!d) return kJpegNoBufferOrMemory;
    d->br.data = in;
    d->br.len = in_size;
    Layout layout = Layout::Grey;
    int result = decode_header(*d, width, height, layout);
    if (result == kJpegOk) result = decode_scan(*d, out, pitch, width, height, layout);
    return result;
}

int jpeg_decode(unsigned char* out, int pitch, unsigned char* in, int width, int height) {
    return jpeg_decode_bounded(out, pitch, in, kUnknownLength, width, height);
}
