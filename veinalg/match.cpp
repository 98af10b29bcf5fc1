// Template-to-feature search over grid shifts, coarse to fine, and the score-to-similarity map.
#include "match.h"

#include <cmath>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "feature.h"

namespace {

constexpr uint8_t bits11(int i) {
    int n = 0;
    for (int b = 0; b < 11; ++b) n += (i >> b) & 1;
    return static_cast<uint8_t>(11 - n);
}

struct BitTable {
    uint8_t v[2048];
    constexpr BitTable() : v() {
        for (int i = 0; i < 2048; ++i) v[i] = bits11(i);
    }
};

constexpr BitTable kBitTable;

// hi(a) * hi(b) + lo(a) * lo(b) for every pair of code bytes, index a * 256 + b.
struct NibbleDotTable {
    uint16_t v[65536];
    constexpr NibbleDotTable() : v() {
        for (int a = 0; a < 256; ++a)
            for (int b = 0; b < 256; ++b)
                v[a * 256 + b] = static_cast<uint16_t>((a >> 4) * (b >> 4) + (a & 15) * (b & 15));
    }
};

constexpr NibbleDotTable kNibbleDot;

#if !defined(__SSE2__)
inline uint32_t load32(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}
#endif

// 132 minus the Hamming distance of two 128-bit codes: the sum of the three table look-ups of
// each word, or the same count taken over the whole code at once.
inline int equal_bits(const unsigned char* a, const unsigned char* b) {
#if defined(__SSE2__)
    const __m128i x = _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(a)),
                                    _mm_loadu_si128(reinterpret_cast<const __m128i*>(b)));
    const __m128i m1 = _mm_set1_epi8(0x55), m2 = _mm_set1_epi8(0x33), m4 = _mm_set1_epi8(0x0F);
    __m128i v = _mm_sub_epi8(x, _mm_and_si128(_mm_srli_epi16(x, 1), m1));
    v = _mm_add_epi8(_mm_and_si128(v, m2), _mm_and_si128(_mm_srli_epi16(v, 2), m2));
    v = _mm_and_si128(_mm_add_epi8(v, _mm_srli_epi16(v, 4)), m4);
    const __m128i sums = _mm_sad_epu8(v, _mm_setzero_si128());
    return 132 - (_mm_cvtsi128_si32(sums) + _mm_cvtsi128_si32(_mm_unpackhi_epi64(sums, sums)));
#else
    int m = 0;
    for (int w = 0; w < 4; ++w) {
        uint32_t x = load32(a + 4 * w) ^ load32(b + 4 * w);
        m += GaborFeatureTable[x & 2047] + GaborFeatureTable[(x >> 11) & 2047] + GaborFeatureTable[x >> 22];
    }
    return m;
#endif
}

inline int nibble_dot(const unsigned char* a, const unsigned char* b) {
    const uint16_t* t = kNibbleDot.v;
    return ((t[a[0] << 8 | b[0]] + t[a[1] << 8 | b[1]]) + (t[a[2] << 8 | b[2]] + t[a[3] << 8 | b[3]])) +
           ((t[a[4] << 8 | b[4]] + t[a[5] << 8 | b[5]]) + (t[a[6] << 8 | b[6]] + t[a[7] << 8 | b[7]]));
}

struct Pass {
    int col_from, col_to, col_step;
    int row_from, row_to, row_step;
    int raw_weight;
    int e0;
    bool reset;
};

// Coarse to fine: shifts relative to the current state (columns outer, rows inner), the weight of
// the code-byte score (0: code bits alone), E0 of the weight penalty, and whether the best starts over.
const Pass kPasses[5] = {
    {-9, 9, 3, -6, 6, 3, 0, 2000, true}, {0, 0, 1, -2, 2, 4, 0, 2700, true},   {-2, 2, 4, 0, 0, 1, 0, 2700, false},
    {0, 0, 1, -1, 1, 1, 30, 2900, true}, {-1, 1, 2, 0, 0, 1, 30, 2900, false},
};

// Score of one shift; with `codes` false the code-byte products are left out (passes whose raw
// weight is 0 need only the weights), and `detail` is not written.
int candidate(const unsigned char* tmpl, const unsigned char* item, int tr, int tc, const Pass& pass, bool codes,
              int* detail) {
    int s1 = 0, w1 = 0;  // at most 144 * 255 * 3,600
    for (int p = 0; p < 8; ++p) {
        int row = iRaw[p] + tr;
        if (row < 0 || row >= kGridRows) continue;
        for (int q = 0; q < 18; ++q) {
            int col = jRaw[q] + tc;
            if (col < 0 || col >= kGridCols) continue;
            int t = p * 18 + q, g = row * kGridCols + col;
            int wt = tmpl[kTmplW15 + t], wf = item[kItemW15 + g];
            int w = wt < wf ? wt : wf;
            if (codes) s1 += w * nibble_dot(tmpl + kTmplCodes + 8 * t, item + kItemCodes + 8 * g);
            w1 += w;
        }
    }
    int s2 = 0, w2 = 0;
    for (int p = 0; p < 7; ++p) {
        int row = iMS[p] + tr;
        if (row < 0 || row >= kGridRows) continue;
        for (int q = 0; q < 14; ++q) {
            int col = jMS[q] + tc;
            if (col < 0 || col >= kGridCols) continue;
            int t = p * 14 + q, g = row * kGridCols + col;
            int wt = tmpl[kTmplW27 + t], wf = item[kItemW27 + g];
            int w = wt < wf ? wt : wf;
            w = (w * w) >> 8;
            s2 += w * equal_bits(tmpl + kTmplMs + 16 * t, item + kItemMs + 16 * g);
            w2 += w;
        }
    }
    // raw: the weighted mean code-byte product over 256, less 80, halved.
    if (w1 == 0) w1 = 1;
    float rq = static_cast<float>(s1) * 1000.0f / static_cast<float>(w1);
    int raw = ((static_cast<int>(std::floor(rq)) >> 8) - 80) / 2;
    // ms: the weighted mean of equal bits times 7.8125 (330 / 42.24): about 1,031 when every bit
    // agrees, about 531 for unrelated codes.
    if (w2 == 0) w2 = 1;
    float mq = static_cast<float>(s2) * 1000.0f / static_cast<float>(w2) * 330.0f;
    int ms = static_cast<int>(std::floor(static_cast<double>(mq) / 42240.0));
    // The code bits weigh less the farther the shift, at least 10.
    int atc = tc < 0 ? -tc : tc, atr = tr < 0 ? -tr : tr;
    int wgt = 70 - 3 * atc - atr;
    if (wgt < 10) wgt = 10;
    int a = pass.raw_weight;
    int s = (raw * a + ms * wgt) / (wgt + a);
    // A low total of code-byte weights (below 28,201) lowers the score: E falls below 1000.
    int d = (30000 - w1) / 1800;
    if (d < 0) d = 0;
    int e = ((pass.e0 - d * d) * 1000) / pass.e0;
    if (codes && detail) *detail = ms * 1000 + raw;
    return (e * s) / 1000;
}

}  // namespace

const uint8_t GaborFeatureTable[2048] = {
#define R1(i) kBitTable.v[i]
#define R8(i) R1(i), R1(i + 1), R1(i + 2), R1(i + 3), R1(i + 4), R1(i + 5), R1(i + 6), R1(i + 7)
#define R64(i) R8(i), R8(i + 8), R8(i + 16), R8(i + 24), R8(i + 32), R8(i + 40), R8(i + 48), R8(i + 56)
#define R512(i) R64(i), R64(i + 64), R64(i + 128), R64(i + 192), R64(i + 256), R64(i + 320), R64(i + 384), R64(i + 448)
    R512(0), R512(512), R512(1024), R512(1536)
#undef R512
#undef R64
#undef R8
#undef R1
};

int MatchA(const unsigned char* tmpl, const unsigned char* item, unsigned int* score, signed char* row_shift,
           signed char* col_shift, int* detail) {
    *score = 0;
    int first = 0;
    // Row shift 20 marks a fresh search: all five passes from shift 0, 0; otherwise the fine passes
    // refine the shifts the earlier items found.
    if (*row_shift == 20) {
        *row_shift = 0;
        *col_shift = 0;
    } else {
        first = 3;
    }
    int best = 0;
    for (int pi = first; pi < 5; ++pi) {
        const Pass& pass = kPasses[pi];
        if (pass.reset) best = 0;
        int move_r = 0, move_c = 0;
        for (int dx = pass.col_from; dx <= pass.col_to; dx += pass.col_step)
            for (int dy = pass.row_from; dy <= pass.row_to; dy += pass.row_step) {
                int tc = *col_shift + dx, tr = *row_shift + dy;
                if (tc > 8 || tc < -8 || tr > 6 || tr < -6) continue;  // the largest shifts tried
                int det = 0;
                const bool codes = pass.raw_weight != 0;
                int s = candidate(tmpl, item, tr, tc, pass, codes, &det);
                if (best < s) {
                    if (!codes) candidate(tmpl, item, tr, tc, pass, true, &det);
                    best = s;
                    move_r = dy;
                    move_c = dx;
                    if (detail) *detail = det;
                }
            }
        *row_shift = static_cast<signed char>(*row_shift + move_r);
        *col_shift = static_cast<signed char>(*col_shift + move_c);
    }
    *score = static_cast<unsigned int>(best > 999 ? 999 : best);
    return 0;
}

int Match_rotX(const unsigned char* tmpl, const unsigned char* items, int* score, signed char* row_shift,
               signed char* col_shift, int* detail, int extra) {
    *score = 0;
    for (int k = 0; k <= extra + 2; ++k) {
        unsigned int s = 0;
        int det = 0;
        MatchA(tmpl, items + (k % 3) * kItemBytes, &s, row_shift, col_shift, &det);
        if (static_cast<int>(s) > *score) {
            *score = static_cast<int>(s);
            if (detail) *detail = det;
        }
    }
    return 0;
}

void MatchFeatureX(const unsigned char* tmpl, const unsigned char* items, int* score) {
    signed char row = 20, col = 0;
    int detail = 0;
    Match_rotX(tmpl, items, score, &row, &col, &detail, 0);
}

void MatchFeatureX(FV_ENROLL_TMPL* tmpl, FV_EXTRACT_FEATURE* items, int* score) {
    MatchFeatureX(reinterpret_cast<const unsigned char*>(tmpl), reinterpret_cast<const unsigned char*>(items), score);
}

// Piecewise linear: 501 -> 0.0109, 554 -> 0.5886, 555 -> 0.5968, 699 -> 1.0. The driver's default
// threshold of 70 % is reached from score 592.
void MapScoreX(int score, double& similarity) {
    if (score <= 500)
        similarity = 0.0;
    else if (score <= 554)
        similarity = 0.0109 * score - 5.45;
    else if (score <= 699)
        similarity = 0.0028 * score - 0.9572;
    else
        similarity = 1.0;
}
