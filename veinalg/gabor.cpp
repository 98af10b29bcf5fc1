// Gabor filter bank on the 15 x 22 grid: separable integer filtering, flat-patch correction and
// the magnitudes that the encoders read.
#include "gabor.h"

#include <cmath>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

const int kGaborHalf[kScales] = {10, 12, 14, 16, 20, 23, 27};

namespace {

constexpr int kMaxHalf = 27;
constexpr int kPad = 27;                          // zero positions on each side of a vertical row
constexpr int kPadWidth = kVeinWidth + 2 * kPad;  // 194
constexpr int kRowStep = 5, kColStep = 6, kCol0 = 6;

// 32-bit sums wrap like the machine's; computed without signed overflow.
inline int32_t wrap32(int64_t v) { return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(v))); }
inline int32_t wrap32(uint32_t v) { return static_cast<int32_t>(v); }

constexpr int kPairs = (kMaxHalf + 1) / 2;  // tap pairs (k, k + 1) for k = 1, 3, ..., 27

// Neighbour sums and differences of one row, held as 16-bit pairs of consecutive k per column so
// that the vertical pass multiplies two taps at once: pair P holds k = 2P + 1 and 2P + 2 (k = 28 is 0).
struct RowSums {
    alignas(16) int32_t centre[kVeinWidth];
    alignas(16) int16_t sums[kPairs][2 * kVeinWidth];
    alignas(16) int16_t diffs[kPairs][2 * kVeinWidth];
};

void neighbour_rows(const unsigned char* image, int row, RowSums* out) {
    auto row_ptr = [&](int r) -> const unsigned char* {
        return (r >= 0 && r < kVeinHeight) ? image + r * kVeinWidth : nullptr;
    };
    const unsigned char* mid = row_ptr(row);
    for (int c = 0; c < kVeinWidth; ++c) out->centre[c] = mid ? mid[c] : 0;
    for (int k = 1; k <= 2 * kPairs; ++k) {
        const unsigned char* up = k <= kMaxHalf ? row_ptr(row - k) : nullptr;
        const unsigned char* down = k <= kMaxHalf ? row_ptr(row + k) : nullptr;
        int16_t* s = out->sums[(k - 1) / 2] + ((k - 1) & 1);
        int16_t* d = out->diffs[(k - 1) / 2] + ((k - 1) & 1);
        for (int c = 0; c < kVeinWidth; ++c) {
            int u = up ? up[c] : 0, w = down ? down[c] : 0;
            s[2 * c] = static_cast<int16_t>(u + w);
            d[2 * c] = static_cast<int16_t>(u - w);
        }
    }
}

// Pair P of the taps of one frequency: low half tap k = 2P + 1, high half tap 2P + 2.
struct TapPairs {
    int16_t c[kPairs][2];
    int16_t s[kPairs][2];
};

TapPairs tap_pairs(int scale, int m) {
    const int h = kGaborHalf[scale], half = h / 2;
    TapPairs t{};
    for (int k = 1; k <= h; ++k) {
        int tc =
            k < half ? GaborYcTable[scale * 112 + (k - 1) * 9 + m] : GaborYc2Table[scale * 160 + (k - half) * 9 + m];
        int ts =
            k < half ? GaborYsTable[scale * 112 + (k - 1) * 9 + m] : GaborYs2Table[scale * 160 + (k - half) * 9 + m];
        t.c[(k - 1) / 2][(k - 1) & 1] = static_cast<int16_t>(tc);
        t.s[(k - 1) / 2][(k - 1) & 1] = static_cast<int16_t>(ts);
    }
    return t;
}

// Sum over the pairs 0..pairs-1 of sums . taps for every column (exact 32-bit integer sums).
void pair_dot(int32_t* out, const int16_t (*rows)[2 * kVeinWidth], const int16_t (*taps)[2], int pairs) {
#if defined(__SSE2__)
    for (int v = 0; v < kVeinWidth / 4; ++v) {
        __m128i acc = _mm_load_si128(reinterpret_cast<const __m128i*>(out) + v);
        for (int p = 0; p < pairs; ++p) {
            int32_t both;
            std::memcpy(&both, taps[p], 4);
            __m128i t = _mm_set1_epi32(both);
            __m128i x = _mm_load_si128(reinterpret_cast<const __m128i*>(rows[p]) + v);
            acc = _mm_add_epi32(acc, _mm_madd_epi16(x, t));
        }
        _mm_store_si128(reinterpret_cast<__m128i*>(out) + v, acc);
    }
#else
    for (int c = 0; c < kVeinWidth; ++c) {
        int32_t acc = out[c];
        for (int p = 0; p < pairs; ++p) acc += rows[p][2 * c] * taps[p][0] + rows[p][2 * c + 1] * taps[p][1];
        out[c] = acc;
    }
#endif
}

// The vertical filters of one scale for all columns and m = 0..8 (the sums of calcWithWeight).
void vertical_pass(int32_t re[9][kPadWidth + 2], int32_t im[9][kPadWidth + 2], const RowSums& rs, int scale) {
    const int pairs = (kGaborHalf[scale] + 1) / 2;
    for (int m = 0; m <= 8; ++m) {
        const TapPairs t = tap_pairs(scale, m);
        alignas(16) int32_t cv[kVeinWidth], sv[kVeinWidth];
        for (int c = 0; c < kVeinWidth; ++c) {
            cv[c] = 200 * rs.centre[c];
            sv[c] = 0;
        }
        pair_dot(cv, rs.sums, t.c, pairs);
        pair_dot(sv, rs.diffs, t.s, pairs);
        std::memcpy(re[m] + kPad, cv, sizeof cv);
        std::memcpy(im[m] + kPad, sv, sizeof sv);
    }
}

#if defined(__SSE2__)
constexpr int kTapSlots = 56;     // 2h + 1 <= 55 taps, padded to whole vectors of eight
constexpr int kSplitWidth = 208;  // padded row positions read by the widest window
static_assert(kPadWidth + 7 <= kSplitWidth, "split rows cover the padded windows");

// A vertical response row split exactly as hi * 32768 + lo with lo in 0..32767, so that 16-bit
// multiply-adds give exact sums: |tap| <= 884, lo < 32768 and 56 taps keep every sum below 2^31.
struct SplitRow {
    alignas(16) int16_t lo[kSplitWidth];
    alignas(16) int16_t hi[kSplitWidth];
};

void split_row(const int32_t* v, SplitRow* out) {
    // Both halves lie within 16 bits, so the saturating packs are exact.
    const __m128i mask = _mm_set1_epi32(0x7FFF);
    constexpr int kWhole = kPadWidth / 8 * 8;
    for (int p = 0; p < kWhole; p += 8) {
        __m128i x0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(v + p));
        __m128i x1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(v + p + 4));
        _mm_store_si128(reinterpret_cast<__m128i*>(out->lo + p),
                        _mm_packs_epi32(_mm_and_si128(x0, mask), _mm_and_si128(x1, mask)));
        _mm_store_si128(reinterpret_cast<__m128i*>(out->hi + p),
                        _mm_packs_epi32(_mm_srai_epi32(x0, 15), _mm_srai_epi32(x1, 15)));
    }
    for (int p = kWhole; p < kPadWidth; ++p) {
        out->lo[p] = static_cast<int16_t>(v[p] & 0x7FFF);
        out->hi[p] = static_cast<int16_t>(v[p] >> 15);
    }
    for (int p = kPadWidth; p < kSplitWidth; ++p) out->lo[p] = out->hi[p] = 0;
}

inline int32_t hsum(__m128i x) {
    x = _mm_add_epi32(x, _mm_shuffle_epi32(x, 0x4E));
    x = _mm_add_epi32(x, _mm_shuffle_epi32(x, 0xB1));
    return _mm_cvtsi128_si32(x);
}

inline uint32_t join(__m128i hi, __m128i lo) {
    return (static_cast<uint32_t>(hsum(hi)) << 15) + static_cast<uint32_t>(hsum(lo));
}

// The four horizontal sums over one window: Xc*Cv, Xs*Sv, Xs*Cv, Xc*Sv (32-bit wrapping).
void window_dots(const int16_t* xc, const int16_t* xs, const SplitRow& cv, const SplitRow& sv, int start, int nvec,
                 uint32_t* a, uint32_t* b, uint32_t* e, uint32_t* f) {
    __m128i al = _mm_setzero_si128(), ah = al, bl = al, bh = al, el = al, eh = al, fl = al, fh = al;
    for (int v = 0; v < nvec; ++v) {
        const __m128i tc = _mm_load_si128(reinterpret_cast<const __m128i*>(xc) + v);
        const __m128i ts = _mm_load_si128(reinterpret_cast<const __m128i*>(xs) + v);
        const __m128i cl = _mm_loadu_si128(reinterpret_cast<const __m128i*>(cv.lo + start) + v);
        const __m128i ch = _mm_loadu_si128(reinterpret_cast<const __m128i*>(cv.hi + start) + v);
        const __m128i sl = _mm_loadu_si128(reinterpret_cast<const __m128i*>(sv.lo + start) + v);
        const __m128i sh = _mm_loadu_si128(reinterpret_cast<const __m128i*>(sv.hi + start) + v);
        al = _mm_add_epi32(al, _mm_madd_epi16(tc, cl));
        ah = _mm_add_epi32(ah, _mm_madd_epi16(tc, ch));
        el = _mm_add_epi32(el, _mm_madd_epi16(ts, cl));
        eh = _mm_add_epi32(eh, _mm_madd_epi16(ts, ch));
        fl = _mm_add_epi32(fl, _mm_madd_epi16(tc, sl));
        fh = _mm_add_epi32(fh, _mm_madd_epi16(tc, sh));
        bl = _mm_add_epi32(bl, _mm_madd_epi16(ts, sl));
        bh = _mm_add_epi32(bh, _mm_madd_epi16(ts, sh));
    }
    *a = join(ah, al);
    *b = join(bh, bl);
    *e = join(eh, el);
    *f = join(fh, fl);
}
#endif

void copy_row(unsigned char* image, int dst, int src) {
    std::memcpy(image + dst * kVeinWidth, image + src * kVeinWidth, kVeinWidth);
}

// Fills the rows above the grid and below the finger with finger rows so that the large windows
// see vein texture instead of the white background. Rows that do not exist are left out.
void fill_rows(unsigned char* image, int row0, int mean_bottom) {
    int n = row0 < 27 ? row0 : 27;
    for (int k = 0; k < n; ++k) {
        int src = row0 + 4 + k;
        if (src >= 0 && src < kVeinHeight) copy_row(image, k, src);
    }
    int nb = mean_bottom + 27 <= 118 ? 27 : 119 - mean_bottom;
    for (int k = 0; k < nb; ++k) {
        int dst = mean_bottom + k, src = mean_bottom - nb - 4 + k;
        if (dst >= 0 && dst <= 118 && src >= 0 && src < kVeinHeight) copy_row(image, dst, src);
    }
}

}  // namespace

void SetGaborParam(const unsigned char* border, int* row0, int* mean_bottom, int* col0, int* row_step, int* col_step) {
    *row_step = kRowStep;
    *col_step = kColStep;
    *col0 = kCol0;
    int upper = 0, lower = 0, n = 0;
    for (int p = 0; p < 60; ++p) {
        if (border[2 * p] != 120 && border[2 * p + 1] != 0) {
            upper += border[2 * p];
            lower += border[2 * p + 1];
            ++n;
        }
    }
    if (n == 0) n = 1;
    int mu = upper / n, ml = lower / n;
    *mean_bottom = ml;
    *row0 = mu + ((ml - mu) - 14 * kRowStep + 1) / 2;
}

void CalcNeighborSumAndDiff(const unsigned char* image, int row, short* sums, short* diffs) {
    auto px = [&](int c, int r) -> int { return (r >= 0 && r < kVeinHeight) ? image[r * kVeinWidth + c] : 0; };
    for (int c = 0; c < kVeinWidth; ++c) {
        short* s = sums + c * (kMaxHalf + 1);
        short* d = diffs + c * kMaxHalf;
        s[0] = static_cast<short>(px(c, row));
        for (int k = 1; k <= kMaxHalf; ++k) {
            int up = px(c, row - k), down = px(c, row + k);
            s[k] = static_cast<short>(up + down);
            d[k - 1] = static_cast<short>(up - down);
        }
    }
}

void calcWithWeight(int re[9][194], int im[9][194], const short* sums, const short* diffs, int scale) {
    const int h = kGaborHalf[scale], half = h / 2;
    const int16_t* yc = GaborYcTable + scale * 112;
    const int16_t* ys = GaborYsTable + scale * 112;
    const int8_t* yc2 = GaborYc2Table + scale * 160;
    const int8_t* ys2 = GaborYs2Table + scale * 160;
    for (int m = 0; m <= 8; ++m) {
        int tc[kMaxHalf + 1], ts[kMaxHalf + 1];
        for (int k = 1; k <= h; ++k) {
            tc[k] = k < half ? yc[(k - 1) * 9 + m] : yc2[(k - half) * 9 + m];
            ts[k] = k < half ? ys[(k - 1) * 9 + m] : ys2[(k - half) * 9 + m];
        }
        int* r = re[m];
        int* i = im[m];
        for (int p = 0; p < kPad; ++p) r[p] = i[p] = r[kPadWidth - 1 - p] = i[kPadWidth - 1 - p] = 0;
        for (int c = 0; c < kVeinWidth; ++c) {
            const short* s = sums + c * (kMaxHalf + 1);
            const short* d = diffs + c * kMaxHalf;
            int cv = 200 * s[0], sv = 0;
            for (int k = 1; k <= h; ++k) {
                cv += tc[k] * s[k];
                sv += ts[k] * d[k - 1];
            }
            r[c + kPad] = cv;
            i[c + kPad] = sv;
        }
    }
}

float CalcEnergyValue(int box, int re, int im, int index) {
    int32_t level = box >> 4;
    int32_t d = wrap32(static_cast<int64_t>(re) - static_cast<int64_t>(GaborCosTable[index]) * level) >> 12;
    int32_t e = wrap32(static_cast<int64_t>(im) - static_cast<int64_t>(GaborSinTable[index]) * level) >> 12;
    float fd = static_cast<float>(d), fe = static_cast<float>(e);
    float sq = fd * fd + fe * fe;
    double mag = std::sqrt(static_cast<double>(sq));
    return static_cast<float>(640.0 * mag);
}

namespace {

// The 16 energies of one grid point and scale; each is floor(CalcEnergyValue(...)), the magnitudes
// being non-negative, taken two at a time in double precision where the machine allows.
void point_energies(int box, const int32_t* re, const int32_t* im, int index, int32_t* out) {
    const int32_t level = box >> 4;
    alignas(16) int32_t d[kOrients], e[kOrients];
    for (int o = 0; o < kOrients; ++o) {
        d[o] = wrap32(static_cast<int64_t>(re[o]) - static_cast<int64_t>(GaborCosTable[index + o]) * level) >> 12;
        e[o] = wrap32(static_cast<int64_t>(im[o]) - static_cast<int64_t>(GaborSinTable[index + o]) * level) >> 12;
    }
#if defined(__SSE2__)
    const __m128d k640 = _mm_set1_pd(640.0);
    for (int o = 0; o < kOrients; o += 4) {
        const __m128 fd = _mm_cvtepi32_ps(_mm_load_si128(reinterpret_cast<const __m128i*>(d + o)));
        const __m128 fe = _mm_cvtepi32_ps(_mm_load_si128(reinterpret_cast<const __m128i*>(e + o)));
        const __m128 sq = _mm_add_ps(_mm_mul_ps(fd, fd), _mm_mul_ps(fe, fe));
        const __m128d lo = _mm_mul_pd(k640, _mm_sqrt_pd(_mm_cvtps_pd(sq)));
        const __m128d hi = _mm_mul_pd(k640, _mm_sqrt_pd(_mm_cvtps_pd(_mm_movehl_ps(sq, sq))));
        const __m128 mag = _mm_movelh_ps(_mm_cvtpd_ps(lo), _mm_cvtpd_ps(hi));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + o), _mm_cvttps_epi32(mag));
    }
#else
    for (int o = 0; o < kOrients; ++o) {
        float fd = static_cast<float>(d[o]), fe = static_cast<float>(e[o]);
        float sq = fd * fd + fe * fe;
        out[o] = static_cast<int32_t>(std::floor(static_cast<float>(640.0 * std::sqrt(static_cast<double>(sq)))));
    }
#endif
}

}  // namespace

int ExtractGaborFeature(unsigned char* image, int* responses, int row0, int mean_bottom, int col0, int row_step,
                        int col_step) {
    HeapArray<int> boxes = qv::heap_alloc<int>(kGridPoints * kScales);
    HeapArray<int> integral = qv::heap_alloc<int>((kVeinHeight + 1) * (kVeinWidth + 1));
    HeapArray<RowSums> rows = qv::heap_alloc<RowSums>(1);
    if (!boxes || !integral || !rows) return -7;
#if defined(__SSE2__)
    HeapArray<int16_t> taps = qv::heap_alloc<int16_t>(2 * kScales * 9 * kTapSlots + 8);
    HeapArray<SplitRow> split = qv::heap_alloc<SplitRow>(18);
    if (!taps || !split) return -7;
#endif
    // Every buffer is held: from here on the image is rewritten.

    fill_rows(image, row0, mean_bottom);

    // Integral image with a zero margin before the first row and column.
    const int iw = kVeinWidth + 1;
    for (int c = 0; c < iw; ++c) integral[c] = 0;
    for (int r = 0; r < kVeinHeight; ++r) {
        int run = 0;
        integral[(r + 1) * iw] = 0;
        for (int c = 0; c < kVeinWidth; ++c) {
            run += image[r * kVeinWidth + c];
            integral[(r + 1) * iw + c + 1] = integral[r * iw + c + 1] + run;
        }
    }
    auto clamp = [](int v, int lo, int hi) { return v < lo ? lo : (v > hi ? hi : v); };
    for (int i = 0; i < kGridRows; ++i)
        for (int j = 0; j < kGridCols; ++j) {
            int r = row0 + row_step * i, c = col0 + col_step * j;
            for (int s = 0; s < kScales; ++s) {
                int h = kGaborHalf[s];
                int y0 = clamp(r - h, 0, kVeinHeight), y1 = clamp(r + h + 1, 0, kVeinHeight);
                int x0 = clamp(c - h, 0, kVeinWidth), x1 = clamp(c + h + 1, 0, kVeinWidth);
                boxes[(i * kGridCols + j) * kScales + s] =
                    integral[y1 * iw + x1] - integral[y0 * iw + x1] - integral[y1 * iw + x0] + integral[y0 * iw + x0];
            }
        }

    alignas(16) int32_t vre[9][kPadWidth + 2];
    alignas(16) int32_t vim[9][kPadWidth + 2];
    std::memset(vre, 0, sizeof vre);
    std::memset(vim, 0, sizeof vim);
#if defined(__SSE2__)
    // Horizontal taps of blocks 0..8 of every scale, zero-padded to whole vectors.
    int16_t* tap_base = taps.get() + ((8 - reinterpret_cast<uintptr_t>(taps.get()) / 2 % 8) % 8);
    auto tap_c = [&](int s, int m) { return tap_base + ((s * 9 + m) * 2) * kTapSlots; };
    auto tap_s = [&](int s, int m) { return tap_base + ((s * 9 + m) * 2 + 1) * kTapSlots; };
    for (int s = 0; s < kScales; ++s) {
        const int h = kGaborHalf[s], w = 2 * h + 1;
        for (int m = 0; m <= 8; ++m)
            for (int t = 0; t < kTapSlots; ++t) {
                tap_c(s, m)[t] = t < w ? GaborXcTable[s * 880 + m * w + t] : 0;
                tap_s(s, m)[t] = t < w ? GaborXsTable[s * 880 + m * w + t] : 0;
            }
    }
#endif
    for (int i = 0; i < kGridRows; ++i) {
        neighbour_rows(image, row0 + row_step * i, rows.get());
        for (int s = 0; s < kScales; ++s) {
            vertical_pass(vre, vim, rows[0], s);
            const int h = kGaborHalf[s], w = 2 * h + 1;
#if defined(__SSE2__)
            const int nvec = (w + 7) / 8;
            for (int m = 0; m <= 8; ++m) {
                split_row(vre[m], &split[2 * m]);
                split_row(vim[m], &split[2 * m + 1]);
            }
#endif
            for (int j = 0; j < kGridCols; ++j) {
                const int c = col0 + col_step * j;
                const int pos = c + kPad;
                const bool inside = pos - h >= 0 && pos + h < kPadWidth;
                const int box = boxes[(i * kGridCols + j) * kScales + s];
                const int base = (i * kGridCols + j) * kPointResponses + s * kOrients;
                int32_t re16[kOrients], im16[kOrients];
                for (int m = 0; m <= 8; ++m) {
                    const int16_t* xc = GaborXcTable + s * 880 + m * w + h;
                    const int16_t* xs = GaborXsTable + s * 880 + m * w + h;
                    // Sums of Xc*Cv, Xs*Sv, Xs*Cv and Xc*Sv, 32-bit wrapping; Xc is even and Xs
                    // odd (Xs(0) = 0), so the taps at +x and -x are folded.
                    uint32_t a, b = 0, e = 0, f;
#if defined(__SSE2__)
                    if (inside) {
                        window_dots(tap_c(s, m), tap_s(s, m), split[2 * m], split[2 * m + 1], pos - h, nvec, &a, &b, &e,
                                    &f);
                    } else
#endif
                        if (inside) {
                        const int32_t* cv = vre[m] + pos;
                        const int32_t* sv = vim[m] + pos;
                        a = static_cast<uint32_t>(xc[0]) * static_cast<uint32_t>(cv[0]);
                        f = static_cast<uint32_t>(xc[0]) * static_cast<uint32_t>(sv[0]);
                        for (int x = 1; x <= h; ++x) {
                            uint32_t cx = static_cast<uint32_t>(xc[x]), sx = static_cast<uint32_t>(xs[x]);
                            a += cx * static_cast<uint32_t>(cv[x] + cv[-x]);
                            f += cx * static_cast<uint32_t>(sv[x] + sv[-x]);
                            b += sx * static_cast<uint32_t>(sv[x] - sv[-x]);
                            e += sx * static_cast<uint32_t>(cv[x] - cv[-x]);
                        }
                    } else {
                        a = f = 0;
                        for (int x = -h; x <= h; ++x) {
                            int p = pos + x;
                            if (p < 0 || p >= kPadWidth) continue;
                            uint32_t cx = static_cast<uint32_t>(xc[x]), sx = static_cast<uint32_t>(xs[x]);
                            a += cx * static_cast<uint32_t>(vre[m][p]);
                            b += sx * static_cast<uint32_t>(vim[m][p]);
                            e += sx * static_cast<uint32_t>(vre[m][p]);
                            f += cx * static_cast<uint32_t>(vim[m][p]);
                        }
                    }
                    // sigma +1 for orientation m, -1 for its mirror 16 - m.
                    re16[m] = wrap32(a - b);
                    im16[m] = wrap32(e + f);
                    if (m != 0 && m != 8) {
                        re16[16 - m] = wrap32(a + b);
                        im16[16 - m] = wrap32(f - e);
                    }
                }
                point_energies(box, re16, im16, base, responses + base);
            }
        }
    }
    return 0;
}
