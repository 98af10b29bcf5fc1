// Gabor filter bank on the 15 x 22 grid: separable integer filtering, flat-patch correction and
// the magnitudes that the encoders read.
#include "gabor.h"

#include <cmath>
#include <cstring>
#include <memory>
#include <new>

const int kGaborHalf[kScales] = {10, 12, 14, 16, 20, 23, 27};

namespace {

constexpr int kMaxHalf = 27;
constexpr int kPad = 27;                          // zero positions on each side of a vertical row
constexpr int kPadWidth = kVeinWidth + 2 * kPad;  // 194
constexpr int kRowStep = 5, kColStep = 6, kCol0 = 6;

// 32-bit sums wrap like the machine's; computed without signed overflow.
inline int32_t wrap32(int64_t v) { return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(v))); }

void copy_row(unsigned char* image, int dst, int src) {
    std::memcpy(image + dst * kVeinWidth, image + src * kVeinWidth, kVeinWidth);
}

// Fills the rows above the grid and below the finger with finger rows so that the large windows
// see vein texture instead of the white background.
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

void SetGaborParam(const unsigned char* border, int* row0, int* mean_bottom, int* col0, int* row_step,
                   int* col_step) {
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
    auto px = [&](int c, int r) -> int {
        return (r >= 0 && r < kVeinHeight) ? image[r * kVeinWidth + c] : 0;
    };
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

int ExtractGaborFeature(unsigned char* image, int* responses, int row0, int mean_bottom, int col0,
                        int row_step, int col_step) {
    std::unique_ptr<int[]> boxes(new (std::nothrow) int[kGridPoints * kScales]);
    std::unique_ptr<int[]> integral(new (std::nothrow) int[(kVeinHeight + 1) * (kVeinWidth + 1)]);
    if (!boxes || !integral) return -7;

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

    short sums[kVeinWidth * (kMaxHalf + 1)];
    short diffs[kVeinWidth * kMaxHalf];
    int vre[9][kPadWidth], vim[9][kPadWidth];
    for (int i = 0; i < kGridRows; ++i) {
        CalcNeighborSumAndDiff(image, row0 + row_step * i, sums, diffs);
        for (int s = 0; s < kScales; ++s) {
            calcWithWeight(vre, vim, sums, diffs, s);
            const int h = kGaborHalf[s], w = 2 * h + 1;
            for (int j = 0; j < kGridCols; ++j) {
                int c = col0 + col_step * j;
                int box = boxes[(i * kGridCols + j) * kScales + s];
                for (int m = 0; m <= 8; ++m) {
                    const int16_t* xc = GaborXcTable + s * 880 + m * w + h;
                    const int16_t* xs = GaborXsTable + s * 880 + m * w + h;
                    const int* cv = vre[m];
                    const int* sv = vim[m];
                    // Fold +x and -x: Xc is even, Xs odd.
                    int pos = c + kPad;
                    bool inside = pos - h >= 0 && pos + h < kPadWidth;
                    int64_t a = 0, b = 0, e = 0, f = 0;  // sums of Xc*Cv, Xs*Sv, Xs*Cv, Xc*Sv
                    for (int x = -h; x <= h; ++x) {
                        int p = pos + x;
                        int cvx = 0, svx = 0;
                        if (inside || (p >= 0 && p < kPadWidth)) {
                            cvx = cv[p];
                            svx = sv[p];
                        }
                        a += static_cast<int64_t>(xc[x]) * cvx;
                        b += static_cast<int64_t>(xs[x]) * svx;
                        e += static_cast<int64_t>(xs[x]) * cvx;
                        f += static_cast<int64_t>(xc[x]) * svx;
                    }
                    int base = (i * kGridCols + j) * kPointResponses + s * kOrients;
                    // sigma +1 for orientation m, -1 for its mirror 16 - m.
                    int re = wrap32(a - b), im = wrap32(e + f);
                    responses[base + m] = static_cast<int32_t>(std::floor(CalcEnergyValue(box, re, im, base + m)));
                    if (m != 0 && m != 8) {
                        int o = 16 - m;
                        int re2 = wrap32(a + b), im2 = wrap32(f - e);
                        responses[base + o] =
                            static_cast<int32_t>(std::floor(CalcEnergyValue(box, re2, im2, base + o)));
                    }
                }
            }
        }
    }
    return 0;
}
