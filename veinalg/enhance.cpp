// Vein enhancement: median, valley curvature, smoothing, blending, local equalisation and the final filter.
#include <cmath>
#include <cstring>

#include "veinalg_internal.h"

namespace {

constexpr int W = kImageWidth;
constexpr int H = kImageHeight;
constexpr int kSatStride = W + 1;
constexpr int kSatSize = (H + 1) * kSatStride;

// Positions of the largest, middle and smallest of three values by neighborPoint2TableIndex.
constexpr int kMaxPos[8] = {0, 0, 0, 2, 1, 0, 1, 2};
constexpr int kMidPos[8] = {1, 2, 1, 0, 0, 1, 2, 1};
constexpr int kMinPos[8] = {2, 1, 2, 1, 2, 2, 0, 0};

struct Triple {
    short max, mid, min;
};

Triple Order(const unsigned char* p) {
    const short v[3] = {p[0], p[1], p[2]};
    const int i = neighborPoint2TableIndex(v);
    return Triple{v[kMaxPos[i]], v[kMidPos[i]], v[kMinPos[i]]};
}

short Median3(short a, short b, short c) {
    const short v[3] = {a, b, c};
    return v[kMidPos[neighborPoint2TableIndex(v)]];
}

// Summed-area table over rows first..last of value(r, c); other rows add nothing.
template <class T, class F>
void Accumulate(T* sat, int first, int last, F value) {
    std::memset(sat, 0, sizeof(T) * kSatSize);
    for (int r = 0; r < H; ++r) {
        T row = 0;
        T* cur = sat + (r + 1) * kSatStride;
        const T* prev = sat + r * kSatStride;
        const bool in = r >= first && r <= last;
        for (int c = 0; c < W; ++c) {
            if (in) row += value(r, c);
            cur[c + 1] = prev[c + 1] + row;
        }
    }
}

template <class T>
T WindowSum(const T* sat, int y0, int y1, int x0, int x1) {
    return sat[(y1 + 1) * kSatStride + x1 + 1] - sat[y0 * kSatStride + x1 + 1] - sat[(y1 + 1) * kSatStride + x0] +
           sat[y0 * kSatStride + x0];
}

int Clamp(int v, int lo, int hi) { return v < lo ? lo : (v > hi ? hi : v); }

// floor() of a value known to be 0 or more: truncation, without a library call.
int FloorNonNegative(double v) { return static_cast<int>(v); }

}  // namespace

int neighborPoint2TableIndex(const short* v) { return 4 * (v[0] < v[1]) + 2 * (v[0] < v[2]) + (v[1] < v[2]); }

int MedianFilter(unsigned char* image, const unsigned char* mask, short top, short bottom) {
    HeapArray<unsigned char> copy = AllocArray<unsigned char>(kImageBytes);
    if (!copy) return -7;
    std::memcpy(copy.get(), image, kImageBytes);
    const unsigned char* src = copy.get();
    const int first_row = top < 1 ? 1 : top;  // the window needs the row above
    for (int x = 1; x < W - 1; ++x) {
        int r0 = -1;
        for (int r = first_row; r <= H - 2; ++r)
            if (mask[r * W + x] == 1) {
                r0 = r;
                break;
            }
        if (r0 < 0) continue;
        // Ordered triples of rows r - 1, r, r + 1, rotated as the window moves down.
        Triple rows[3] = {Order(src + (r0 - 1) * W + x - 1), Order(src + r0 * W + x - 1), Triple{}};
        for (int r = r0; r < bottom && r <= H - 2 && mask[r * W + x] != 0; ++r) {
            const int k = r - r0;
            rows[(k + 2) % 3] = Order(src + (r + 1) * W + x - 1);
            const Triple& a = rows[k % 3];
            const Triple& b = rows[(k + 1) % 3];
            const Triple& c = rows[(k + 2) % 3];
            const short lo_of_max = a.max < b.max ? (a.max < c.max ? a.max : c.max) : (b.max < c.max ? b.max : c.max);
            const short hi_of_min = a.min > b.min ? (a.min > c.min ? a.min : c.min) : (b.min > c.min ? b.min : c.min);
            const short mid_of_mid = Median3(a.mid, b.mid, c.mid);
            image[r * W + x] = static_cast<unsigned char>(Median3(lo_of_max, mid_of_mid, hi_of_min));
        }
    }
    return 0;
}

int CalcImageCurvature(unsigned char* image, const unsigned char* mask, unsigned char* curvature_mask, short top,
                       short bottom) {
    HeapArray<unsigned char> out = AllocZeroed<unsigned char>(kImageBytes);
    HeapArray<int32_t> sat = AllocArray<int32_t>(kSatSize);
    if (!out || !sat) return -7;
    std::memset(curvature_mask, 0, kImageBytes);
    Accumulate<int32_t>(sat.get(), top, bottom, [&](int r, int c) { return int32_t(mask[r * W + c]); });

    const unsigned char* im = image;
    auto px = [&](int y, int x) { return int(im[y * W + x]); };
    const int y_first = top + 8 < 8 ? 8 : top + 8;
    const int y_last = bottom - 8 > H - 9 ? H - 9 : bottom - 8;
    for (int y = y_first; y <= y_last; ++y)
        for (int x = 8; x <= W - 9; ++x) {
            if (WindowSum(sat.get(), y - 8, y + 8, x - 8, x + 8) <= 288) continue;
            curvature_mask[y * W + x] = 1;
            const int p = px(y, x);
            auto term = [&](int a, int b, const float* table) {
                return static_cast<float>(f2_tX[2 * (256 - p) + a + b]) * table[256 + a - b];
            };
            float g1 = 0.0f;
            g1 += term(px(y + 8, x), px(y - 8, x), f1_t4X);
            g1 += term(px(y, x + 8), px(y, x - 8), f1_t4X);
            g1 += term(px(y + 8, x + 8), px(y - 8, x - 8), f1_t8X);
            g1 += term(px(y + 8, x - 8), px(y - 8, x + 8), f1_t8X);
            float g2 = 0.0f;
            g2 += term(px(y + 4, x - 8), px(y - 4, x + 8), f1_t5X);
            g2 += term(px(y + 8, x - 4), px(y - 8, x + 4), f1_t5X);
            g2 += term(px(y + 8, x + 4), px(y - 8, x - 4), f1_t5X);
            g2 += term(px(y + 4, x + 8), px(y - 4, x - 8), f1_t5X);
            const float v1 = 12.0f * g1;
            float value = static_cast<float>(static_cast<double>(v1) + 4.0 * static_cast<double>(g2));
            if (value > 255.0f) value = 255.0f;
            out[y * W + x] = static_cast<unsigned char>(FloorNonNegative(value));  // terms are never negative
        }
    std::memcpy(image, out.get(), kImageBytes);
    return 0;
}

int SmoothingByForeground(unsigned char* image, unsigned char border, const unsigned char* mask, short top,
                          short bottom) {
    HeapArray<unsigned char> out = AllocArray<unsigned char>(kImageBytes);
    if (!out) return -7;
    std::memset(out.get(), 255, kImageBytes);
    const int64_t rec[5] = {0, (1 << 20) / 1, (1 << 20) / 2, (1 << 20) / 3, (1 << 20) / 4};
    const int y0 = top < 0 ? 0 : top;
    const int y1 = bottom > H ? H : bottom;
    for (int y = y0; y < y1; ++y)
        for (int x = border; x <= W - 1 - border; ++x) {
            if (mask[y * W + x] == 0) continue;
            int n = 0, s = 0;
            const int pos[4][2] = {{y - 1, x - 1}, {y - 1, x}, {y, x - 1}, {y, x}};
            for (const auto& q : pos) {
                if (q[0] < 0 || q[1] < 0) continue;  // outside the image: no finger
                const int m = mask[q[0] * W + q[1]];
                n += m;
                s += image[q[0] * W + q[1]] * m;
            }
            if (n < 1 || n > 4) continue;
            out[y * W + x] = static_cast<unsigned char>((rec[n] * s + 1024) >> 20);
        }
    std::memcpy(image, out.get(), kImageBytes);
    return 0;
}

void MeargeTwoImage(unsigned char* image, const unsigned char* curvature) {
    for (int i = 0; i < kImageBytes; ++i)
        image[i] = static_cast<unsigned char>(255 - ((255 - image[i] + 4 * curvature[i]) * 8) / 40);
}

int HistogramEqualize(unsigned char* image, unsigned char radius, const unsigned char* mask, short top, short bottom) {
    HeapArray<unsigned char> copy = AllocArray<unsigned char>(kImageBytes);
    if (!copy) return -7;
    std::memcpy(copy.get(), image, kImageBytes);
    std::memset(image, 0, kImageBytes);
    const unsigned char* src = copy.get();
    const int r = radius;
    const int y0 = top > r + 1 ? top : r + 1;
    const int y1 = bottom < H - 1 - r ? bottom : H - 1 - r;
    if (y0 > y1) return 0;

    // Counts per level and per block of 16 levels, so that rank counts take at most 31 additions.
    // Pixels outside the mask go to an extra level 256 that no count reads.
    struct Hist {
        int count[257];
        int block[17];
        void add(int v) {
            ++count[v];
            ++block[v >> 4];
        }
        void remove(int v) {
            --count[v];
            --block[v >> 4];
        }
        int below(int v) const {  // values < v, v in 0..256
            int sum = 0;
            const int full = v >> 4;
            for (int b = 0; b < full; ++b) sum += block[b];
            for (int l = full << 4; l < v; ++l) sum += count[l];
            return sum;
        }
        int high() const {  // values >= 128
            int sum = 0;
            for (int b = 8; b < 16; ++b) sum += block[b];
            return sum;
        }
    };
    HeapArray<uint16_t> level = AllocArray<uint16_t>(kImageBytes);
    if (!level) return -7;
    uint16_t* lv = level.get();
    for (int i = 0; i < kImageBytes; ++i) lv[i] = mask[i] ? src[i] : 256;

    Hist band{};
    for (int col = 0; col < r && col < W; ++col)
        for (int row = y0 - r - 1; row <= y0 + r - 1; ++row) band.add(lv[row * W + col]);
    auto band_column = [&](int col, bool add) {
        for (int row = y0 - r - 1; row <= y0 + r - 1; ++row) {
            if (add)
                band.add(lv[row * W + col]);
            else
                band.remove(lv[row * W + col]);
        }
    };

    for (int x = 2; x <= W - 3; x += 3) {
        for (int xx = x; xx >= x - 2; --xx) {
            if (xx > r) band_column(xx - r - 1, false);
            if (xx + r < W) band_column(xx + r, true);
        }
        const int c0 = x - r < 0 ? 0 : x - r;
        const int c1 = x + r > W - 1 ? W - 1 : x + r;
        Hist win = band;
        for (int y = y0; y <= y1; ++y) {
            const uint16_t* out_row = lv + (y - r - 1) * W;
            const uint16_t* in_row = lv + (y + r) * W;
            for (int c = c0; c <= c1; ++c) {
                win.remove(out_row[c]);
                win.add(in_row[c]);
            }
            const unsigned char* mrow = mask + y * W;
            if (!mrow[x - 1] && !mrow[x] && !mrow[x + 1]) continue;
            const unsigned char* srow = src + y * W;
            const int ref = mrow[x] ? srow[x] : (mrow[x + 1] ? srow[x + 1] : srow[x - 1]);
            const int n = win.below(256);
            const int lo = n - win.high();
            int near = 0;
            for (int v = ref - 2; v <= ref + 2; ++v)
                if (v >= 0 && v <= 255) near += win.count[v];
            const bool inclusive = lo <= n / 2 || lo <= 750 || static_cast<double>(near) >= 0.9 * n;
            const int below_ref = win.below(ref), up_to_ref = win.below(ref + 1);
            const int base = inclusive ? up_to_ref : below_ref;
            for (int xx = x - 1; xx <= x + 1; ++xx) {
                if (!mrow[xx]) continue;
                const int v = srow[xx];
                int rank = base;
                if (v > ref)
                    rank += win.below(v + 1) - up_to_ref;  // levels ref + 1 .. v
                else if (v < ref)
                    rank -= below_ref - win.below(v);  // levels v .. ref - 1
                if (n > 0) image[y * W + xx] = static_cast<unsigned char>((n / 2 + 255 * rank) / n);
            }
        }
    }
    return 0;
}

int InvertAndRemoveNoisePoint(unsigned char* image, const unsigned char* mask, short top, short bottom) {
    // Window sums of the squares stay below 2^32 (49 x 255^2), so modular 32-bit tables give them exactly.
    HeapArray<int32_t> s1 = AllocArray<int32_t>(kSatSize);
    HeapArray<uint32_t> s2 = AllocArray<uint32_t>(kSatSize);
    HeapArray<int32_t> sm = AllocArray<int32_t>(kSatSize);
    if (!s1 || !s2 || !sm) return -7;
    std::memset(s1.get(), 0, sizeof(int32_t) * kSatStride);
    std::memset(s2.get(), 0, sizeof(uint32_t) * kSatStride);
    std::memset(sm.get(), 0, sizeof(int32_t) * kSatStride);
    for (int r = 0; r < H; ++r) {
        int32_t a = 0, m = 0;
        uint32_t b = 0;
        const bool in = r >= top && r <= bottom - 1;
        const int32_t* p1 = s1.get() + r * kSatStride;
        const uint32_t* p2 = s2.get() + r * kSatStride;
        const int32_t* pm = sm.get() + r * kSatStride;
        int32_t* c1 = s1.get() + (r + 1) * kSatStride;
        uint32_t* c2 = s2.get() + (r + 1) * kSatStride;
        int32_t* cm = sm.get() + (r + 1) * kSatStride;
        c1[0] = 0;
        c2[0] = 0;
        cm[0] = 0;
        for (int c = 0; c < W; ++c) {
            if (in && mask[r * W + c]) {
                const int32_t v = mask[r * W + c] * image[r * W + c];
                a += v;
                b += static_cast<uint32_t>(v) * image[r * W + c];
                m += mask[r * W + c];
            }
            c1[c + 1] = p1[c + 1] + a;
            c2[c + 1] = p2[c + 1] + b;
            cm[c + 1] = pm[c + 1] + m;
        }
    }
    float inverse[50];
    inverse[0] = 1.0f;
    for (int n = 1; n < 50; ++n) inverse[n] = static_cast<float>(1.0 / static_cast<double>(n));
    std::memset(image, 255, kImageBytes);
    const int y_first = top < 0 ? 0 : top;
    const int y_last = bottom > H - 1 ? H - 1 : bottom;
    for (int y = y_first; y <= y_last; ++y) {
        const int ya = Clamp(y - 3, 0, H - 1), yb = Clamp(y + 3, 0, H - 1);
        for (int x = 0; x < W; ++x) {
            if (mask[y * W + x] == 0) continue;
            const int xa = Clamp(x - 3, 0, W - 1), xb = Clamp(x + 3, 0, W - 1);
            const int n = WindowSum(sm.get(), ya, yb, xa, xb);
            const float inv = n < 50 ? inverse[n] : static_cast<float>(1.0 / static_cast<double>(n));
            const float mean = static_cast<float>(WindowSum(s1.get(), ya, yb, xa, xb)) * inv;
            const float var = static_cast<float>(WindowSum(s2.get(), ya, yb, xa, xb)) * inv - mean * mean;
            if (var * 0.02f >= 100.0f) {
                image[y * W + x] = 255;
                continue;
            }
            float v = static_cast<float>(FloorNonNegative(mean) * 2.1);  // a mean of bytes is never negative
            if (v > 255.0f) v = 255.0f;
            image[y * W + x] = static_cast<unsigned char>(FloorNonNegative(v));
        }
    }
    return 0;
}
