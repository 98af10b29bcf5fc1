// What a template or feature record must satisfy before it is matched: properties that every
// record made by the encoders has, whatever the picture and whatever the mean energy table.
// The CRC is unkeyed, so a record with a valid CRC proves nothing about where it came from; a
// record that breaks one of these was not made by the encoders and is refused like a damaged one.
//
// Code groups. A point's 16 nibbles are its response vector divided by its Euclidean length and
// scaled to about 21.33 (64 / 3), so their squares add up to about 455. The integer arithmetic can
// push that higher: for a feature, n = calSqrtX(sum v^2) >> 10 rounds the length down, and every
// non-zero v = energy >> 5 is at least 20 (an energy is 0 or 640 * sqrt(d^2 + e^2) >= 640), so
// the length is at least 20 and rounding costs at most a few percent; an exhaustive search over
// every length and every choice of components gives at most 471, the bound for a feature item. The
// merge of an enrolment keeps ten more bits of the length and gives at most 456; a template may
// reach 512, which still refuses a vector about 6% longer than a true one (random nibbles give
// about 1,240 and all-15 nibbles 3,600).
//
// Code bits. The first 80 of a point's 128 bits compare each orientation with the next around the
// circle (orientation 15 with 0) at scales 2 to 6: N(o) < N(o + 1) cannot hold all the way round,
// so no such ring of 16 bits is all ones.
//
// Weights of a feature item (those of a template come from merges and take any byte). A weight is
// floor(count * 255 / (2r + 1)^2), count being the finger rows inside the point's window summed
// over the window's columns, each column adding at most 2r + 1 rows of a band that lies within
// rows 4 to 115 (the finger's edges lie within rows 0 to 119 and the band is shrunk by 4 at each
// edge). Hence:
// - a window cut by the picture's edge has fewer columns: weight <= floor(columns * 255 / (2r + 1));
// - neighbouring points share all but 6 columns (grid step 6) or all but 5 rows (grid step 5), so
//   counts differ by at most 6 (2r + 1) or 5 (2r + 1) and weights by one more than that scaled;
// - the radius-15 window lies inside the radius-27 window of the same point:
//   count15 <= count27 <= count15 + (3025 - 961);
// - at radius 27 the windows of grid rows 0 and 14 span 125 rows with a gap of 15, more than the
//   112 rows a band may cover: together they hold at most 97 rows of each column.
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "feature.h"
#include "match.h"

namespace {

constexpr int kMaxFeatureCodeEnergy = 471;
constexpr int kMaxTmplCodeEnergy = 512;

// Squares of the two nibbles of a code byte.
struct NibbleSquares {
    uint16_t v[256];
    constexpr NibbleSquares() : v() {
        for (int b = 0; b < 256; ++b) v[b] = static_cast<uint16_t>((b >> 4) * (b >> 4) + (b & 15) * (b & 15));
    }
};
constexpr NibbleSquares kNibbleSquares;

bool codes_plausible(const unsigned char* codes, int points, int max_energy) {
    int g = 0;
#if defined(__SSE2__)
    // Four points a step: nibbles widened to 16 bits, squared and paired by madd, then the four
    // partial sums of each point added across lanes.
    const __m128i m4 = _mm_set1_epi8(0x0F), zero = _mm_setzero_si128();
    const __m128i limit = _mm_set1_epi32(max_energy);
    __m128i bad = zero;
    auto partial = [](__m128i lo, __m128i hi) { return _mm_add_epi32(_mm_madd_epi16(lo, lo), _mm_madd_epi16(hi, hi)); };
    for (; g + 4 <= points; g += 4) {
        const __m128i b0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(codes + 8 * g));
        const __m128i b1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(codes + 8 * g + 16));
        const __m128i l0 = _mm_and_si128(b0, m4), h0 = _mm_and_si128(_mm_srli_epi16(b0, 4), m4);
        const __m128i l1 = _mm_and_si128(b1, m4), h1 = _mm_and_si128(_mm_srli_epi16(b1, 4), m4);
        const __m128i sa = partial(_mm_unpacklo_epi8(l0, zero), _mm_unpacklo_epi8(h0, zero));
        const __m128i sb = partial(_mm_unpackhi_epi8(l0, zero), _mm_unpackhi_epi8(h0, zero));
        const __m128i sc = partial(_mm_unpacklo_epi8(l1, zero), _mm_unpacklo_epi8(h1, zero));
        const __m128i sd = partial(_mm_unpackhi_epi8(l1, zero), _mm_unpackhi_epi8(h1, zero));
        const __m128i ab = _mm_add_epi32(_mm_unpacklo_epi32(sa, sb), _mm_unpackhi_epi32(sa, sb));
        const __m128i cd = _mm_add_epi32(_mm_unpacklo_epi32(sc, sd), _mm_unpackhi_epi32(sc, sd));
        const __m128i sums = _mm_add_epi32(_mm_unpacklo_epi64(ab, cd), _mm_unpackhi_epi64(ab, cd));
        bad = _mm_or_si128(bad, _mm_cmpgt_epi32(sums, limit));
    }
    if (_mm_movemask_epi8(bad) != 0) return false;
#endif
    const uint16_t* sq = kNibbleSquares.v;
    for (codes += 8 * g; g < points; ++g, codes += 8) {
        const int e = sq[codes[0]] + sq[codes[1]] + sq[codes[2]] + sq[codes[3]] + sq[codes[4]] + sq[codes[5]] +
                      sq[codes[6]] + sq[codes[7]];
        if (e > max_energy) return false;
    }
    return true;
}

#if !defined(__SSE2__)
inline uint32_t load_le32(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}
#endif

// The five orientation rings are the halves of words 0 and 1 and the upper half of word 2.
bool bits_plausible(const unsigned char* ms, int points) {
#if defined(__SSE2__)
    // Little-endian words: the rings are 16-bit lanes 0 to 3 and 5 of each point's 16 bytes.
    const __m128i ones = _mm_set1_epi8(-1);
    auto lanes = [&](const unsigned char* p) {
        return _mm_cmpeq_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), ones);
    };
    __m128i a = _mm_setzero_si128(), b = _mm_setzero_si128();
    int g = 0;
    for (; g + 2 <= points; g += 2, ms += 32) {
        a = _mm_or_si128(a, lanes(ms));
        b = _mm_or_si128(b, lanes(ms + 16));
    }
    if (g < points) a = _mm_or_si128(a, lanes(ms));
    return (_mm_movemask_epi8(_mm_or_si128(a, b)) & 0x0CFF) == 0;
#else
    for (int g = 0; g < points; ++g, ms += 16) {
        const uint32_t w0 = load_le32(ms), w1 = load_le32(ms + 4), w2 = load_le32(ms + 8);
        if ((w0 >> 16) == 0xFFFF || (w0 & 0xFFFF) == 0xFFFF || (w1 >> 16) == 0xFFFF || (w1 & 0xFFFF) == 0xFFFF ||
            (w2 >> 16) == 0xFFFF)
            return false;
    }
    return true;
#endif
}

constexpr int kArea15 = 31 * 31, kArea27 = 55 * 55;
constexpr int kBandRows = 112;  // rows 4 .. 115

// Columns of the window of radius r around grid column j (centre 6 + 6j) inside the 140 columns.
constexpr int window_columns(int j, int r) {
    int lo = 6 + 6 * j - r, hi = 6 + 6 * j + r;
    if (lo < 0) lo = 0;
    if (hi > kVeinWidth - 1) hi = kVeinWidth - 1;
    return hi - lo + 1;
}

// Largest weight step between neighbouring points: 1 + floor(count bound * 255 / area).
constexpr int kStep15Col = 1 + 6 * 31 * 255 / kArea15;  // 50
constexpr int kStep15Row = 1 + 5 * 31 * 255 / kArea15;  // 42
constexpr int kStep27Col = 1 + 6 * 55 * 255 / kArea27;  // 28
constexpr int kStep27Row = 1 + 5 * 55 * 255 / kArea27;  // 24

// Per point: the largest weight its columns allow, and the largest step to the next point of its
// grid row (none after the last column).
struct WeightMaps {
    uint8_t cap15[kGridPoints] = {}, cap27[kGridPoints] = {};
    uint8_t next15[kGridPoints] = {}, next27[kGridPoints] = {};
    int rows_0_14[kGridCols] = {};  // count limit of grid rows 0 and 14 together at radius 27
    constexpr WeightMaps() {
        for (int g = 0; g < kGridPoints; ++g) {
            const int j = g % kGridCols;
            cap15[g] = static_cast<uint8_t>(window_columns(j, 15) * 255 / 31);
            cap27[g] = static_cast<uint8_t>(window_columns(j, 27) * 255 / 55);
            next15[g] = static_cast<uint8_t>(j + 1 < kGridCols ? kStep15Col : 255);
            next27[g] = static_cast<uint8_t>(j + 1 < kGridCols ? kStep27Col : 255);
        }
        // Windows [Y - 27, Y + 27] and [Y + 43, Y + 97]: 125 rows with a 15-row gap.
        for (int j = 0; j < kGridCols; ++j) rows_0_14[j] = window_columns(j, 27) * (kBandRows - 15);
    }
};
constexpr WeightMaps kMaps;

// The nesting of the two windows in weights: weight w means a count c with w * A <= c * 255 <
// (w + 1) * A, so count15 <= count27 gives w15 * 961 < (w27 + 1) * 3025, and count27 <= count15 +
// 2064 gives w27 * 3025 < (w15 + 1) * 961 + 2064 * 255. With d = w15 * 961 - w27 * 3025:
constexpr int kNestLow = -(961 + 2064 * 255);  // d > kNestLow
constexpr int kNestHigh = 3025;                // d < kNestHigh

// Smallest radius-27 count that gives weight w.
constexpr int min_count27(int w) { return (w * kArea27 + 254) / 255; }

// True when some byte of a..a+n differs from the byte `offset` further on by more than its limit.
inline bool steps_exceed(const unsigned char* w, int offset, int n, const uint8_t* limit, int uniform) {
#if defined(__SSE2__)
    __m128i bad = _mm_setzero_si128();
    const __m128i same = _mm_set1_epi8(static_cast<char>(uniform));
    for (int g = 0;; g += 16) {
        if (g > n - 16) g = n - 16;  // the last block overlaps the one before
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(w + g));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(w + g + offset));
        const __m128i d = _mm_or_si128(_mm_subs_epu8(a, b), _mm_subs_epu8(b, a));
        const __m128i l = limit ? _mm_loadu_si128(reinterpret_cast<const __m128i*>(limit + g)) : same;
        bad = _mm_or_si128(bad, _mm_subs_epu8(d, l));
        if (g == n - 16) break;
    }
    return _mm_movemask_epi8(_mm_cmpeq_epi8(bad, _mm_setzero_si128())) != 0xFFFF;
#else
    for (int g = 0; g < n; ++g) {
        const int d = w[g] > w[g + offset] ? w[g] - w[g + offset] : w[g + offset] - w[g];
        if (d > (limit ? limit[g] : uniform)) return true;
    }
    return false;
#endif
}

// True when some weight exceeds its cap.
inline bool caps_exceeded(const unsigned char* w, const uint8_t* cap) {
#if defined(__SSE2__)
    __m128i bad = _mm_setzero_si128();
    for (int g = 0;; g += 16) {
        if (g > kGridPoints - 16) g = kGridPoints - 16;
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(w + g));
        bad = _mm_or_si128(bad, _mm_subs_epu8(a, _mm_loadu_si128(reinterpret_cast<const __m128i*>(cap + g))));
        if (g == kGridPoints - 16) break;
    }
    return _mm_movemask_epi8(_mm_cmpeq_epi8(bad, _mm_setzero_si128())) != 0xFFFF;
#else
    for (int g = 0; g < kGridPoints; ++g)
        if (w[g] > cap[g]) return true;
    return false;
#endif
}

inline bool nesting_broken(const unsigned char* w15, const unsigned char* w27) {
#if defined(__SSE2__)
    const __m128i k = _mm_setr_epi16(961, -3025, 961, -3025, 961, -3025, 961, -3025);
    const __m128i lo = _mm_set1_epi32(kNestLow), hi = _mm_set1_epi32(kNestHigh), zero = _mm_setzero_si128();
    __m128i ok = _mm_set1_epi32(-1);
    for (int g = 0;; g += 16) {
        if (g > kGridPoints - 16) g = kGridPoints - 16;
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(w15 + g));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(w27 + g));
        const __m128i pairs[2] = {_mm_unpacklo_epi8(a, b), _mm_unpackhi_epi8(a, b)};
        for (const __m128i& p : pairs) {
            const __m128i d[2] = {_mm_madd_epi16(_mm_unpacklo_epi8(p, zero), k),
                                  _mm_madd_epi16(_mm_unpackhi_epi8(p, zero), k)};
            for (const __m128i& x : d)
                ok = _mm_and_si128(ok, _mm_and_si128(_mm_cmpgt_epi32(x, lo), _mm_cmplt_epi32(x, hi)));
        }
        if (g == kGridPoints - 16) break;
    }
    return _mm_movemask_epi8(ok) != 0xFFFF;
#else
    for (int g = 0; g < kGridPoints; ++g) {
        const int d = w15[g] * 961 - w27[g] * 3025;
        if (d <= kNestLow || d >= kNestHigh) return true;
    }
    return false;
#endif
}

bool weights_plausible(const unsigned char* w15, const unsigned char* w27) {
    if (caps_exceeded(w15, kMaps.cap15) || caps_exceeded(w27, kMaps.cap27)) return false;
    if (steps_exceed(w15, 1, kGridPoints - 1, kMaps.next15, 0) ||
        steps_exceed(w27, 1, kGridPoints - 1, kMaps.next27, 0))
        return false;
    if (steps_exceed(w15, kGridCols, kGridPoints - kGridCols, nullptr, kStep15Row) ||
        steps_exceed(w27, kGridCols, kGridPoints - kGridCols, nullptr, kStep27Row))
        return false;
    if (nesting_broken(w15, w27)) return false;
    const int last = (kGridRows - 1) * kGridCols;
    for (int j = 0; j < kGridCols; ++j)
        if (min_count27(w27[j]) + min_count27(w27[last + j]) > kMaps.rows_0_14[j]) return false;
    return true;
}

bool tagged(const unsigned char* record) { return std::memcmp(record, kRecordTag, sizeof kRecordTag) == 0; }

}  // namespace

bool TmplContentValid(const unsigned char* tmpl) {
    return tagged(tmpl) && codes_plausible(tmpl + kTmplCodes, FV_RAW_POINTS, kMaxTmplCodeEnergy) &&
           bits_plausible(tmpl + kTmplMs, FV_MS_POINTS);
}

bool FeatureItemContentValid(const unsigned char* item) {
    return tagged(item) && codes_plausible(item + kItemCodes, FV_GRID_POINTS, kMaxFeatureCodeEnergy) &&
           bits_plausible(item + kItemMs, FV_GRID_POINTS) && weights_plausible(item + kItemW15, item + kItemW27);
}

int CheckRecordContent(const unsigned char* tmpl, const unsigned char* items) {
    if (!TmplContentValid(tmpl)) return -1;
    for (int k = 0; k < FV_FEATURE_ITEMS; ++k)
        if (!FeatureItemContentValid(items + k * kItemBytes)) return -1;
    return 0;
}
