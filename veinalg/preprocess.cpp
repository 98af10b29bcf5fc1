// Preprocessing pipeline: 320 x 240 finger image -> 140 x 120 vein image and finger mask, with the
// geometric steps (levelling, height normalisation, unrolling, halving) and the small-image rotation.
#include <cmath>
#include <cstring>

#include "veinalg_internal.h"

namespace {

constexpr int W = kImageWidth;
constexpr int H = kImageHeight;
constexpr int kMinFingerPixels = 6400;  // smallest finger area, in pixels of either mask
constexpr int kNoPipelineMemory = 3012;
constexpr int kFingerTooSmall = 3021;

int Clamp(int v, int lo, int hi) { return v < lo ? lo : (v > hi ? hi : v); }

// Cosine and sine of the slope's angle with 20 fraction bits (2^20 = 1,048,576).
void FixedCosSin(float slope, int* cos_f, int* sin_f) {
    const float theta = std::atan(slope);
    *cos_f = static_cast<int>(std::floor(std::cos(theta) * 1048576.0f));
    *sin_f = static_cast<int>(std::floor(std::sin(theta) * 1048576.0f));
}

// Bilinear weights of a 24.8 fixed-point source position, shared by the images sampled there.
struct Bilinear {
    int offset;  // of the upper-left source pixel, for the given stride
    int w00, w01, w10, w11;
    Bilinear(int stride, int sx, int sy) {
        const int ix = sx >> 8, iy = sy >> 8, fx = sx & 255, fy = sy & 255;
        offset = iy * stride + ix;
        w00 = (256 - fx) * (256 - fy);
        w01 = fx * (256 - fy);
        w10 = (256 - fx) * fy;
        w11 = fx * fy;
    }
    unsigned char operator()(const unsigned char* p, int stride) const {
        const unsigned char* r0 = p + offset;
        const unsigned char* r1 = r0 + stride;
        return static_cast<unsigned char>((r0[0] * w00 + r0[1] * w01 + r1[0] * w10 + r1[1] * w11 + 32768) >> 16);
    }
};

int FillMask(unsigned char* mask, const short* top_edge, const short* bottom_edge) {
    std::memset(mask, 0, kImageBytes);
    int count = 0;
    for (int x = 0; x < W; ++x) {
        if (bottom_edge[x] == 0) continue;
        const int y0 = Clamp(top_edge[x], 0, H - 1), y1 = Clamp(bottom_edge[x], 0, H - 1);
        for (int y = y0; y <= y1; ++y) {
            mask[y * W + x] = 1;
            ++count;
        }
    }
    return count;
}

}  // namespace

// Levels the finger about column 160 and moves its middle there to row 120.
int RotateImage320_240(unsigned char* image, unsigned char* mask1, unsigned char* mask2, float slope,
                       const short* top_edge, const short* bottom_edge) {
    HeapArray<unsigned char> copy = qv::heap_alloc<unsigned char>(3 * kImageBytes);
    if (!copy) return -7;
    unsigned char* ci = copy.get();
    unsigned char* c1 = ci + kImageBytes;
    unsigned char* c2 = c1 + kImageBytes;
    std::memcpy(ci, image, kImageBytes);
    std::memcpy(c1, mask1, kImageBytes);
    std::memcpy(c2, mask2, kImageBytes);
    std::memset(image, 0, kImageBytes);
    std::memset(mask1, 0, kImageBytes);
    std::memset(mask2, 0, kImageBytes);
    int cos_f, sin_f;
    FixedCosSin(slope, &cos_f, &sin_f);
    const int yc = (top_edge[160] + bottom_edge[160] + 1) / 2;
    for (int y = 0; y < H; ++y) {
        // |terms| < 2^28 each: the sums fit in 32 bits. Each step right adds cos_f and sin_f.
        const int dy = y - 120;
        int nx = -160 * cos_f - dy * sin_f + (160 << 20);
        int ny = -160 * sin_f + dy * cos_f + (yc << 20);
        for (int x = 0; x < W; ++x, nx += cos_f, ny += sin_f) {
            const int sx = nx >> 12, sy = ny >> 12;
            if (sy < 0 || sy >= 239 * 256 || sx < 0 || sx >= 319 * 256) continue;
            const Bilinear at(W, sx, sy);
            image[y * W + x] = at(ci, W);
            mask1[y * W + x] = at(c1, W);
            mask2[y * W + x] = at(c2, W);
        }
    }
    return 0;
}

void FindTopAndBottomBorder(short* top_edge, short* bottom_edge, const unsigned char* mask, short* top, short* bottom) {
    std::memset(top_edge, 0, W * sizeof(short));
    std::memset(bottom_edge, 0, W * sizeof(short));
    // Row by row (row 0 is never an edge): the first row of a column sets its upper edge, every row its lower.
    for (int y = 1; y < H; ++y) {
        const unsigned char* row = mask + y * W;
        for (int x = 0; x < W; ++x)
            if (row[x] == 1) {
                if (top_edge[x] == 0) top_edge[x] = static_cast<short>(y);
                bottom_edge[x] = static_cast<short>(y);
            }
    }
    short t = H - 1, b = 0;
    for (int x = 0; x < W; ++x) {
        if (top_edge[x] != 0 && top_edge[x] < t) t = top_edge[x];
        if (bottom_edge[x] > b) b = bottom_edge[x];
    }
    if (top != nullptr) *top = t;
    if (bottom != nullptr) *bottom = b;
}

int NormalizeVeinHeight(unsigned char* image, unsigned char* mask, const short* top_edge, const short* bottom_edge) {
    int a = 0, b = W - 1;
    for (int x = 0; x < 160; ++x)
        if (top_edge[x] != 0 && bottom_edge[x] != 0) {
            a = x;
            break;
        }
    for (int x = W - 1; x >= 0; --x)
        if (top_edge[x] != 0 && bottom_edge[x] != 0) {
            b = x;
            break;
        }
    // The height is measured over the columns with edges within 80..239.
    if (a <= 80) a = 80;
    if (b > 239) b = 240;
    int h = 120;  // no columns to measure: keep the scale at 1
    if (b > a) {
        long sum = 0;
        for (int x = a; x < b; ++x) sum += bottom_edge[x] - top_edge[x];
        h = static_cast<int>(sum / (b - a));
    }
    // The finger's height moves 35 % of the way towards 120 rows, about row 120.
    const float t = static_cast<float>(h) / 120.0f - 1.0f;
    const float s = static_cast<float>(static_cast<double>(t) * 0.35 + 1.0);

    HeapArray<unsigned char> copy = qv::heap_alloc<unsigned char>(2 * kImageBytes);
    if (!copy) return -7;
    unsigned char* src = copy.get();
    unsigned char* m = src + kImageBytes;
    std::memcpy(src, image, kImageBytes);
    std::memcpy(m, mask, kImageBytes);
    std::memset(image, 0, kImageBytes);
    std::memset(mask, 0, kImageBytes);
    for (int y = 0; y < H; ++y) {
        float sy = static_cast<float>(y - 120) * s + 120.0f;
        // Rows whose source lies outside the image take the nearest image row.
        if (sy < 0.0f) sy = 0.0f;
        if (sy > 239.0f) sy = 239.0f;
        const int iy = Clamp(static_cast<int>(std::floor(sy)), 0, H - 1);
        const int iy1 = iy + 1 < H ? iy + 1 : H - 1;
        const float w0 = static_cast<float>(iy + 1) - sy;
        const float w1 = sy - static_cast<float>(iy);
        const unsigned char* r0 = src + iy * W;
        const unsigned char* r1 = src + iy1 * W;
        const unsigned char* m0 = m + iy * W;
        const unsigned char* m1 = m + iy1 * W;
        for (int x = 0; x < W; ++x) {
            const float v = static_cast<float>(r0[x]) * w0 + static_cast<float>(r1[x]) * w1;
            // Both weights lie in 0..1 and v >= 0: truncation is the floor.
            image[y * W + x] = static_cast<unsigned char>(Clamp(static_cast<int>(v), 0, 255));
            mask[y * W + x] = static_cast<unsigned char>(m0[x] * m1[x]);
        }
    }
    return 0;
}

int StretchAndRemoveHole(unsigned char* image, int upper_flag, int lower_flag, const short* top_edge,
                         const short* bottom_edge, unsigned char* mask) {
    HeapArray<unsigned char> out = qv::heap_alloc<unsigned char>(kImageBytes);
    if (!out) return -7;
    std::memset(out.get(), 255, kImageBytes);
    unsigned char* o = out.get();
    const uint16_t* T = StretchCalcTable;
    for (int c = 5; c <= 314; ++c) {
        const int upper = top_edge[c], lower = bottom_edge[c];
        const int mid = Clamp((upper + lower) / 2, 0, H - 1);
        int hh = mid - upper;
        if (2 * hh < lower - upper) hh = lower - mid;
        o[mid * W + c] = image[mid * W + c];
        if (hh <= 0) continue;
        // Each side reaches 1190/1024 of the half height, 1150/1024 when its edge varies.
        int d = ((1190 - 40 * lower_flag) * hh) / 1024;
        if (d > 240 - mid) d = 240 - mid;
        int u = ((1190 - 40 * upper_flag) * hh) / 1024;
        if (u > mid + 1) u = mid + 1;
        const int m = d < u ? d : u;
        // Output offset k is k / hh of the half height, in 1/1024 steps with 8 fraction bits (t); the
        // table gives the source offset in 4096ths of the half height, times hh: r rows and g/4096.
        auto source = [&](int k, int* r, int* g) {
            const int t = (k << 18) / hh;
            const int i = Clamp(t >> 8, 0, 1277);
            const int f = t & 255;
            const int v = (T[i + 1] + (((T[i + 2] - T[i + 1]) * f) >> 8)) * hh;
            *r = v >> 12;
            *g = v & 4095;
        };
        auto down = [&](int k) {
            int r, g;
            source(k, &r, &g);
            const int ra = Clamp(mid + r, 0, H - 1), rb = Clamp(mid + r + 1, 0, H - 1);
            o[(mid + k) * W + c] =
                static_cast<unsigned char>(((4096 - g) * image[ra * W + c] + g * image[rb * W + c] + 2048) >> 12);
            mask[(mid + k) * W + c] = 1;
        };
        auto up = [&](int k) {
            int r, g;
            source(k, &r, &g);
            const int ra = Clamp(mid - r, 0, H - 1), rb = Clamp(mid - r - 1, 0, H - 1);
            o[(mid - k) * W + c] =
                static_cast<unsigned char>(((4096 - g) * image[ra * W + c] + g * image[rb * W + c] + 2048) >> 12);
            mask[(mid - k) * W + c] = 1;
        };
        for (int k = 0; k < m; ++k) {
            down(k);
            up(k);
        }
        for (int k = m; k < d; ++k) down(k);
        for (int k = m; k < u; ++k) up(k);
    }
    std::memcpy(image, o, kImageBytes);
    return 0;
}

int ResizeVeinImage(unsigned char* image, unsigned char* mask) {
    constexpr int w = 160, h = 120;
    HeapArray<unsigned char> buf = qv::heap_alloc<unsigned char>(2 * w * h);
    if (!buf) return -7;
    unsigned char* im = buf.get();
    unsigned char* mk = im + w * h;
    std::memset(im, 255, w * h);
    std::memset(mk, 0, w * h);
    // Rows 0 and 119 and the columns outside 5..149 stay white, outside the finger.
    for (int y = 1; y <= 118; ++y)
        for (int x = 5; x <= 149; ++x) {
            const int a = 2 * y * W + 2 * x, b = a + W;
            im[y * w + x] = static_cast<unsigned char>((image[a] + image[a + 1] + image[b] + image[b + 1] + 2) >> 2);
            mk[y * w + x] = static_cast<unsigned char>((mask[a] + mask[a + 1] + mask[b] + mask[b + 1]) >> 2);
        }
    std::memcpy(image, im, w * h);
    std::memcpy(mask, mk, w * h);
    return 0;
}

// Turns the finished image about its centre (70, 60), without recentring.
int RotateImage140_120(unsigned char* image, unsigned char* mask, float slope) {
    if (slope == 0.0f) return 0;
    constexpr int w = kVeinWidth, h = kVeinHeight;
    HeapArray<unsigned char> copy = qv::heap_alloc<unsigned char>(2 * kVeinBytes);
    if (!copy) return -7;
    unsigned char* ci = copy.get();
    unsigned char* cm = ci + kVeinBytes;
    std::memcpy(ci, image, kVeinBytes);
    std::memcpy(cm, mask, kVeinBytes);
    std::memset(image, 0, kVeinBytes);
    std::memset(mask, 0, kVeinBytes);
    int cos_f, sin_f;
    FixedCosSin(slope, &cos_f, &sin_f);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const int64_t dx = x - 70, dy = y - 60;
            const int sx = static_cast<int>((dx * cos_f - dy * sin_f + (int64_t(70) << 20)) >> 12);
            const int sy = static_cast<int>((dx * sin_f + dy * cos_f + (int64_t(60) << 20)) >> 12);
            if (sy < 0 || sy >= 119 * 256 || sx < 0 || sx >= 139 * 256) continue;
            const Bilinear at(w, sx, sy);
            image[y * w + x] = at(ci, w);
            mask[y * w + x] = at(cm, w);
        }
    return 0;
}

void getSmallImageBorder(unsigned char* border, const unsigned char* mask) {
    constexpr int w = kVeinWidth, h = kVeinHeight;
    std::memset(border, 0, 140);
    for (int p = 0; p < 70; ++p) {
        int up_sum = 0, up_count = 0, low_sum = 0, low_count = 0;
        for (int x = 2 * p; x <= 2 * p + 1; ++x) {
            for (int y = 0; y < h; ++y)
                if (mask[y * w + x] != 0) {
                    up_sum += y;
                    ++up_count;
                    break;
                }
            for (int y = h - 1; y >= 1; --y)
                if (mask[y * w + x] != 0) {
                    low_sum += y;
                    ++low_count;
                    break;
                }
        }
        border[2 * p] = static_cast<unsigned char>(up_count ? up_sum / up_count : 120);
        border[2 * p + 1] = static_cast<unsigned char>(low_count ? low_sum / low_count : 0);
    }
}

int PreprocessImage(unsigned char* image, unsigned char* mask) {
    HeapArray<unsigned char> cleaned = qv::heap_alloc<unsigned char>(kImageBytes);
    HeapArray<unsigned char> plain = qv::heap_alloc<unsigned char>(kImageBytes);
    HeapArray<unsigned char> mask2 = qv::heap_alloc<unsigned char>(kImageBytes);
    HeapArray<unsigned char> curvature_mask = qv::heap_alloc<unsigned char>(kImageBytes);
    if (!cleaned || !plain || !mask2 || !curvature_mask) return kNoPipelineMemory;
    short cleaned_top[W] = {}, cleaned_bottom[W] = {}, plain_top[W] = {}, plain_bottom[W] = {};

    RemoveOverWhiteArea(image, cleaned.get());
    std::memcpy(plain.get(), image, kImageBytes);
    int r = FindVeinBoundary(cleaned.get(), cleaned_top, cleaned_bottom);
    if (r != 0) return r;
    r = FindVeinBoundary(plain.get(), plain_top, plain_bottom);
    plain.reset();
    if (r != 0) return r;

    float slope = 0.0f;
    int upper_flag = 0, lower_flag = 0;
    CalcSlopeAngle(&slope, plain_top, plain_bottom, &upper_flag, &lower_flag);

    const int count1 = FillMask(mask, cleaned_top, cleaned_bottom);
    const int count2 = FillMask(mask2.get(), plain_top, plain_bottom);
    if (count1 < kMinFingerPixels || count2 < kMinFingerPixels) return kFingerTooSmall;

    if ((r = RotateImage320_240(image, mask, mask2.get(), slope, cleaned_top, cleaned_bottom)) != 0) return r;
    FindTopAndBottomBorder(plain_top, plain_bottom, mask2.get(), nullptr, nullptr);
    if ((r = NormalizeVeinHeight(image, mask, plain_top, plain_bottom)) != 0) return r;
    FindTopAndBottomBorder(cleaned_top, cleaned_bottom, mask, nullptr, nullptr);
    if ((r = StretchAndRemoveHole(image, upper_flag, lower_flag, cleaned_top, cleaned_bottom, mask)) != 0) return r;
    short top = 0, bottom = 0;
    FindTopAndBottomBorder(cleaned_top, cleaned_bottom, mask, &top, &bottom);

    if ((r = MedianFilter(image, mask, top, bottom)) != 0) return r;
    unsigned char* curvature = cleaned.get();
    std::memcpy(curvature, image, kImageBytes);
    if ((r = CalcImageCurvature(curvature, mask, curvature_mask.get(), top, bottom)) != 0) return r;
    if ((r = SmoothingByForeground(curvature, 1, mask, top, bottom)) != 0) return r;
    if ((r = SmoothingByForeground(curvature, 1, mask, top, bottom)) != 0) return r;
    MeargeTwoImage(image, curvature);

    unsigned char* mask1_copy = mask2.get();
    std::memcpy(mask1_copy, mask, kImageBytes);
    std::memcpy(mask, curvature_mask.get(), kImageBytes);
    if ((r = HistogramEqualize(image, 15, mask, top, bottom)) != 0) return r;
    if ((r = InvertAndRemoveNoisePoint(image, mask, top, bottom)) != 0) return r;
    std::memcpy(mask, mask1_copy, kImageBytes);
    cleaned.reset();
    mask2.reset();
    curvature_mask.reset();

    if ((r = ResizeVeinImage(image, mask)) != 0) return r;
    // Crop to columns 10..149 of the halved image (20..299 of the full width); the rows overlap.
    for (int k = 0; k < kVeinHeight; ++k) {
        std::memmove(image + k * kVeinWidth, image + k * 160 + 10, kVeinWidth);
        std::memmove(mask + k * kVeinWidth, mask + k * 160 + 10, kVeinWidth);
    }
    return 0;
}
