// Vein enhancement: median, valley curvature, smoothing, blending, local equalisation and the final filter.
#include <cmath>
#include <cstring>

#include "veinalg_internal.h"

namespace {

constexpr int W = kImageWidth;
constexpr int H = kImageHeight;
constexpr int kSatStride = W + 1;
constexpr int kSatSize = (H + 1) * kSatStride;

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

// floor() of a value known to be 0 or more: truncation, without a library call.
int FloorNonNegative(double v) { return static_cast<int>(v); }

}  // namespace

int neighborPoint2TableIndex(const short* v) { return 4 * (v[0] < v[1]) + 2 * (v[0] < v[2]) + (v[1] < v[2]); }

int MedianFilter(unsigned char* image, const unsigned char* mask, short top, short bottom) {
    HeapArray<unsigned char> copy = qv::heap_alloc<unsigned char>(kImageBytes);
    if (!copy) return -7;
    std::memcpy(copy.get(), image, kImageBytes);
    const unsigned char* src = copy.get();
    // Rows first[x] .. last[x] - 1 of column x are filtered: its first run of finger pixels.
    const int first_row = top < 1 ? 1 : top;  // the window needs the row above
    int first[W] = {}, last[W] = {};
    int row_lo = H, row_hi = 0;
    for (int x = 1; x < W - 1; ++x) {
        int r = first_row;
        while (r <= H - 2 && mask[r * W + x] != 1) ++r;
        if (r > H - 2) continue;
        first[x] = r;
        while (r < bottom && r <= H - 2 && mask[r * W + x] != 0) ++r;
        last[x] = r;
        if (first[x] < last[x]) {
            row_lo = first[x] < row_lo ? first[x] : row_lo;
            row_hi = last[x] > row_hi ? last[x] : row_hi;
        }
    }
    // Each row's pixel triples ordered once (largest, middle, smallest), three rows kept; the median of
    // nine is the median of {smallest maximum, median of the middles, largest minimum}.
    unsigned char hi3[3][W], mid3[3][W], lo3[3][W], med[W];
    auto order_row = [&](int r) {
        const unsigned char* p = src + r * W;
        unsigned char* mx = hi3[r % 3];
        unsigned char* md = mid3[r % 3];
        unsigned char* mn = lo3[r % 3];
        for (int x = 1; x < W - 1; ++x) {
            const unsigned char a = p[x - 1], b = p[x], c = p[x + 1];
            const unsigned char l = a < b ? a : b, h = a < b ? b : a;
            mx[x] = h > c ? h : c;
            mn[x] = l < c ? l : c;
            const unsigned char hc = h < c ? h : c;
            md[x] = l > hc ? l : hc;
        }
    };
    auto med3 = [](unsigned char a, unsigned char b, unsigned char c) {
        const unsigned char l = a < b ? a : b, h = a < b ? b : a;
        const unsigned char hc = h < c ? h : c;
        return l > hc ? l : hc;
    };
    if (row_lo < row_hi) {
        order_row(row_lo - 1);
        order_row(row_lo);
    }
    for (int r = row_lo; r < row_hi; ++r) {
        order_row(r + 1);
        const unsigned char *a = hi3[(r + 2) % 3], *b = hi3[r % 3], *c = hi3[(r + 1) % 3];
        const unsigned char *d = mid3[(r + 2) % 3], *e = mid3[r % 3], *f = mid3[(r + 1) % 3];
        const unsigned char *g = lo3[(r + 2) % 3], *h = lo3[r % 3], *k = lo3[(r + 1) % 3];
        for (int x = 1; x < W - 1; ++x) {
            const unsigned char ab = a[x] < b[x] ? a[x] : b[x];
            const unsigned char min_of_max = ab < c[x] ? ab : c[x];
            const unsigned char gh = g[x] > h[x] ? g[x] : h[x];
            const unsigned char max_of_min = gh > k[x] ? gh : k[x];
            med[x] = med3(min_of_max, med3(d[x], e[x], f[x]), max_of_min);
        }
        unsigned char* out = image + r * W;
        for (int x = 1; x < W - 1; ++x)
            if (r >= first[x] && r < last[x]) out[x] = med[x];
    }
    return 0;
}

int CalcImageCurvature(unsigned char* image, const unsigned char* mask, unsigned char* curvature_mask, short top,
                       short bottom) {
    HeapArray<unsigned char> out = qv::heap_zeroed<unsigned char>(kImageBytes);
    HeapArray<int32_t> sat = qv::heap_alloc<int32_t>(kSatSize);
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
    HeapArray<unsigned char> out = qv::heap_alloc<unsigned char>(kImageBytes);
    if (!out) return -7;
    std::memset(out.get(), 255, kImageBytes);
    const int64_t rec[5] = {0, (1 << 20) / 1, (1 << 20) / 2, (1 << 20) / 3, (1 << 20) / 4};
    const int y0 = top < 0 ? 0 : top;
    const int y1 = bottom > H ? H : bottom;
    for (int y = y0; y < y1; ++y) {
        const unsigned char* m1 = mask + y * W;
        const unsigned char* i1 = image + y * W;
        const unsigned char* m0 = m1 - W;  // row above, used only when y > 0
        const unsigned char* i0 = i1 - W;
        for (int x = border; x <= W - 1 - border; ++x) {
            if (m1[x] == 0) continue;
            int n, sum;
            if (y > 0 && x > 0) {
                n = m0[x - 1] + m0[x] + m1[x - 1] + m1[x];
                sum = i0[x - 1] * m0[x - 1] + i0[x] * m0[x] + i1[x - 1] * m1[x - 1] + i1[x] * m1[x];
            } else {  // outside the image: no finger
                n = m1[x];
                sum = i1[x] * m1[x];
                if (x > 0) {
                    n += m1[x - 1];
                    sum += i1[x - 1] * m1[x - 1];
                }
                if (y > 0) {
                    n += m0[x];
                    sum += i0[x] * m0[x];
                }
            }
            if (n < 1 || n > 4) continue;
            out[y * W + x] = static_cast<unsigned char>((rec[n] * sum + 1024) >> 20);
        }
    }
    std::memcpy(image, out.get(), kImageBytes);
    return 0;
}

void MeargeTwoImage(unsigned char* image, const unsigned char* curvature) {
    for (int i = 0; i < kImageBytes; ++i)
        image[i] = static_cast<unsigned char>(255 - ((255 - image[i] + 4 * curvature[i]) * 8) / 40);
}

int HistogramEqualize(unsigned char* image, unsigned char radius, const unsigned char* mask, short top, short bottom) {
    HeapArray<unsigned char> copy = qv::heap_alloc<unsigned char>(kImageBytes);
    HeapArray<uint16_t> level = qv::heap_alloc<uint16_t>(kImageBytes);
    if (!copy || !level) return -7;  // before the image is touched
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
                const int leaving = out_row[c], entering = in_row[c];
                if (leaving == entering) continue;  // outside the finger both are level 256
                win.remove(leaving);
                win.add(entering);
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
            const int below_ref = win.below(ref), up_to_ref = below_ref + win.count[ref];
            const int base = inclusive ? up_to_ref : below_ref;
            for (int xx = x - 1; xx <= x + 1; ++xx) {
                if (!mrow[xx]) continue;
                const int v = srow[xx];
                int rank = base;
                if (v > ref) {  // levels ref + 1 .. v
                    if (v - ref <= 16)
                        for (int l = ref + 1; l <= v; ++l) rank += win.count[l];
                    else
                        rank += win.below(v + 1) - up_to_ref;
                } else if (v < ref) {  // levels v .. ref - 1
                    if (ref - v <= 16)
                        for (int l = v; l < ref; ++l) rank -= win.count[l];
                    else
                        rank -= below_ref - win.below(v);
                }
                if (n > 0) image[y * W + xx] = static_cast<unsigned char>((n / 2 + 255 * rank) / n);
            }
        }
    }
    return 0;
}

int InvertAndRemoveNoisePoint(unsigned char* image, const unsigned char* mask, short top, short bottom) {
    // The 7 x 7 window sums of mask * image, mask * image^2 and mask over the rows top .. bottom - 1, kept as
    // running column sums over the window's rows and prefix sums across them (exact integers).
    HeapArray<unsigned char> copy = qv::heap_alloc<unsigned char>(kImageBytes);
    if (!copy) return -7;
    std::memcpy(copy.get(), image, kImageBytes);
    const unsigned char* src = copy.get();
    int32_t col_s[W] = {}, col_q[W] = {}, col_n[W] = {};
    int32_t pre_s[W + 1], pre_q[W + 1], pre_n[W + 1];
    auto take_row = [&](int r, int sign) {
        if (r < top || r > bottom - 1 || r < 0 || r >= H) return;  // only the accumulated rows count
        const unsigned char* m = mask + r * W;
        const unsigned char* v = src + r * W;
        for (int c = 0; c < W; ++c) {
            const int32_t mv = m[c] * v[c];
            col_s[c] += sign * mv;
            col_q[c] += sign * mv * v[c];
            col_n[c] += sign * m[c];
        }
    };
    float inverse[50];
    inverse[0] = 1.0f;
    for (int n = 1; n < 50; ++n) inverse[n] = static_cast<float>(1.0 / static_cast<double>(n));

    std::memset(image, 255, kImageBytes);
    const int y_first = top < 0 ? 0 : top;
    const int y_last = bottom > H - 1 ? H - 1 : bottom;
    if (y_first > y_last) return 0;
    for (int r = y_first - 3; r <= y_first + 3; ++r) take_row(r, 1);
    for (int y = y_first; y <= y_last; ++y) {
        if (y > y_first) {
            take_row(y - 4, -1);
            take_row(y + 3, 1);
        }
        pre_s[0] = pre_q[0] = pre_n[0] = 0;
        for (int c = 0; c < W; ++c) {
            pre_s[c + 1] = pre_s[c] + col_s[c];
            pre_q[c + 1] = pre_q[c] + col_q[c];
            pre_n[c + 1] = pre_n[c] + col_n[c];
        }
        for (int x = 0; x < W; ++x) {
            if (mask[y * W + x] == 0) continue;
            const int xa = x - 3 < 0 ? 0 : x - 3, xb = x + 3 > W - 1 ? W - 1 : x + 3;
            const int n = pre_n[xb + 1] - pre_n[xa];
            const float inv = n >= 0 && n < 50 ? inverse[n] : static_cast<float>(1.0 / static_cast<double>(n));
            const float mean = static_cast<float>(pre_s[xb + 1] - pre_s[xa]) * inv;
            const float var = static_cast<float>(pre_q[xb + 1] - pre_q[xa]) * inv - mean * mean;
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
