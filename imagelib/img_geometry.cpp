// Geometry transforms, channel statistics and alpha channels of pixel buffers.
#include "img_geometry.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "img_buffer.h"

#include "img_codec_util.h"

using namespace imgcodec;

namespace {

// floor(16384 x sin(i degrees)) for i = 0 to 90, exact (entry 30 is 8192).
constexpr short kSinQ14[91] = {
    0,     285,   571,   857,   1142,  1427,  1712,  1996,  2280,  2563,  2845,  3126,  3406,  3685,  3963,  4240,
    4516,  4790,  5062,  5334,  5603,  5871,  6137,  6401,  6663,  6924,  7182,  7438,  7691,  7943,  8192,  8438,
    8682,  8923,  9161,  9397,  9630,  9860,  10086, 10310, 10531, 10748, 10963, 11173, 11381, 11585, 11785, 11982,
    12175, 12365, 12550, 12732, 12910, 13084, 13254, 13420, 13582, 13740, 13894, 14043, 14188, 14329, 14466, 14598,
    14725, 14848, 14967, 15081, 15190, 15295, 15395, 15491, 15582, 15668, 15749, 15825, 15897, 15964, 16025, 16082,
    16135, 16182, 16224, 16261, 16294, 16321, 16344, 16361, 16374, 16381, 16384};

constexpr int kQ14 = 16384;

bool GeomArgs(const void* p, int w, int h, int layout) {
    return p != nullptr && SizeOk(w, h) && layout >= 0 && layout <= 2;
}

int PixelBytes(int layout) { return layout == 0 ? 3 : 1; }

size_t Bytes(int w, int h, int layout) { return static_cast<size_t>(w) * static_cast<size_t>(h) * PixelBytes(layout); }

unsigned char* NewOrGiven(unsigned char* dst, int w, int h, int layout) {
    if (dst != nullptr) return dst;
    unsigned char* p = nullptr;
    if (!AllocImgData(&p, nullptr, nullptr, nullptr, w, h, layout)) return nullptr;
    return p;
}

int64_t FloorDiv(int64_t a, int64_t b) {
    int64_t q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
    return q;
}

// An index into 0 .. n - 1, the nearest edge for one outside.
int ClampIndex(int64_t i, int n) { return i < 0 ? 0 : i >= n ? n - 1 : static_cast<int>(i); }

// Builds the turned image (turns 1 to 3, -1000 mirror, below -1000 flip) in a new buffer.
unsigned char* TurnedCopy(const unsigned char* src, int w, int h, int layout, int turns) {
    const int bpp = PixelBytes(layout);
    unsigned char* out = static_cast<unsigned char*>(malloc(Bytes(w, h, layout)));
    if (out == nullptr) return nullptr;
    const int nw = (turns == 1 || turns == 3) ? h : w;
    const int nh = (turns == 1 || turns == 3) ? w : h;
    for (int r = 0; r < nh; ++r) {
        for (int c = 0; c < nw; ++c) {
            int sr, sc;
            if (turns == 1) {
                sr = h - 1 - c;
                sc = r;
            } else if (turns == 3) {
                sr = c;
                sc = w - 1 - r;
            } else if (turns == 2) {
                sr = h - 1 - r;
                sc = w - 1 - c;
            } else if (turns == -1000) {
                sr = r;
                sc = w - 1 - c;
            } else {
                sr = h - 1 - r;
                sc = c;
            }
            memcpy(out + (static_cast<size_t>(r) * nw + c) * bpp, src + (static_cast<size_t>(sr) * w + sc) * bpp, bpp);
        }
    }
    return out;
}

}  // namespace

short SinCosQ14(int angle, int sine) {
    int a = angle % 360;
    if (a < 0) a += 360;
    const int q = a / 90, r = a % 90;
    int v;
    if (sine) {
        switch (q) {
        case 0: v = kSinQ14[r]; break;
        case 1: v = kSinQ14[90 - r]; break;
        case 2: v = -kSinQ14[r]; break;
        default: v = -kSinQ14[90 - r]; break;
        }
    } else {
        switch (q) {
        case 0: v = kSinQ14[90 - r]; break;
        case 1: v = -kSinQ14[r]; break;
        case 2: v = -kSinQ14[90 - r]; break;
        default: v = kSinQ14[r]; break;
        }
    }
    return static_cast<short>(v);
}

void SwapRedBlue(unsigned char* pixels, int width, int height, int layout) {
    if (pixels == nullptr || layout != 0 || width < 1 || width > kImgMaxSide || height > kImgMaxSide) return;
    if (height < 1) height = 1;
    for (size_t i = 0, n = static_cast<size_t>(width) * height; i < n; ++i) std::swap(pixels[3 * i], pixels[3 * i + 2]);
}

int InvertImg(unsigned char* pixels, int width, int height, int layout) {
    if (!GeomArgs(pixels, width, height, layout)) return 0;
    for (size_t i = 0, n = Bytes(width, height, layout); i < n; ++i)
        pixels[i] = static_cast<unsigned char>(255 - pixels[i]);
    return 1;
}

int FlipImgRows(unsigned char* pixels, int width, int height, int layout) {
    if (!GeomArgs(pixels, width, height, layout)) return 0;
    const size_t stride = static_cast<size_t>(width) * PixelBytes(layout);
    for (int top = 0, bottom = height - 1; top < bottom; ++top, --bottom)
        std::swap_ranges(pixels + top * stride, pixels + (top + 1) * stride, pixels + bottom * stride);
    return 1;
}

int MirrorImgCols(unsigned char* pixels, int width, int height, int layout) {
    if (!GeomArgs(pixels, width, height, layout)) return 0;
    const int bpp = PixelBytes(layout);
    const size_t stride = static_cast<size_t>(width) * bpp;
    for (int y = 0; y < height; ++y) {
        unsigned char* row = pixels + y * stride;
        for (int l = 0, r = width - 1; l < r; ++l, --r)
            std::swap_ranges(row + l * bpp, row + (l + 1) * bpp, row + r * bpp);
    }
    return 1;
}

unsigned char* RotateImgQuarter(unsigned char* pixels, int* width, int* height, int layout, int turns, int new_buffer) {
    if (width == nullptr || height == nullptr || !GeomArgs(pixels, *width, *height, layout)) return nullptr;
    if (turns > -1000) {
        turns %= 4;
        if (turns < 0) turns += 4;
    } else if (turns < -1000) {
        turns = -1001;
    }
    const int w = *width, h = *height;
    if (turns == 0) {
        if (!new_buffer) return pixels;
        return CopyImg(nullptr, pixels, w, h, layout);
    }
    unsigned char* out = TurnedCopy(pixels, w, h, layout, turns);
    if (out == nullptr) return nullptr;
    if (turns == 1 || turns == 3) {
        *width = h;
        *height = w;
    }
    if (new_buffer) return out;
    memcpy(pixels, out, Bytes(w, h, layout));
    free(out);
    return pixels;
}

int RotateImgQuarterInPlace(unsigned char** image, int* width, int* height, int layout, int turns) {
    if (image == nullptr || width == nullptr || height == nullptr || !GeomArgs(*image, *width, *height, layout))
        return 0;
    turns %= 4;
    if (turns < 0) turns += 4;
    if (turns == 0) return 0;
    if (turns == 2)
        return FlipImgRows(*image, *width, *height, layout) && MirrorImgCols(*image, *width, *height, layout);
    unsigned char* out = TurnedCopy(*image, *width, *height, layout, turns);
    if (out == nullptr) return 0;
    free(*image);
    *image = out;
    std::swap(*width, *height);
    return 1;
}

unsigned char* RotateImgAngle(unsigned char* dst, const unsigned char* src, int width, int height, int layout,
                              int angle, int cx, int cy, int fill) {
    if (!GeomArgs(src, width, height, layout)) return nullptr;
    unsigned char* out = NewOrGiven(dst, width, height, layout);
    if (out == nullptr) return nullptr;
    int a = angle % 360;
    if (a < 0) a += 360;
    const int64_t sinA = SinCosQ14(a, 1), cosA = SinCosQ14(a, 0);
    const int bpp = PixelBytes(layout);
    const unsigned char fillpx[3] = {static_cast<unsigned char>(fill & 255),
                                     static_cast<unsigned char>((fill >> 8) & 255),
                                     static_cast<unsigned char>((fill >> 16) & 255)};
    unsigned char* o = out;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x, o += bpp) {
            // 64-bit positions: no centre can overflow them
            const int64_t dx = static_cast<int64_t>(x) - cx, dy = static_cast<int64_t>(y) - cy;
            const int64_t sx = cosA * dx + sinA * dy + kQ14 * static_cast<int64_t>(cx);
            const int64_t sy = -sinA * dx + cosA * dy + kQ14 * static_cast<int64_t>(cy);
            // The fill test truncates, so sources up to two pixels left of or above the picture
            // take the edge colour. Sampling rounds down, keeping both weights in 0 to 128 there.
            const int64_t tx = sx / kQ14, ty = sy / kQ14;
            if (tx < -1 || ty < -1 || tx >= width || ty >= height) {
                memcpy(o, fillpx, bpp);
                continue;
            }
            const int64_t x0 = FloorDiv(sx, kQ14), y0 = FloorDiv(sy, kQ14);
            const int fx = static_cast<int>((sx - x0 * kQ14) / 128);
            const int fy = static_cast<int>((sy - y0 * kQ14) / 128);
            const int c0 = ClampIndex(x0, width), c1 = ClampIndex(x0 + 1, width);
            const int r0 = ClampIndex(y0, height), r1 = ClampIndex(y0 + 1, height);
            const unsigned char* p00 = src + (static_cast<size_t>(r0) * width + c0) * bpp;
            const unsigned char* p01 = src + (static_cast<size_t>(r0) * width + c1) * bpp;
            const unsigned char* p10 = src + (static_cast<size_t>(r1) * width + c0) * bpp;
            const unsigned char* p11 = src + (static_cast<size_t>(r1) * width + c1) * bpp;
            for (int k = 0; k < bpp; ++k) {
                const int v = (128 - fy) * (128 - fx) * p00[k] + (128 - fy) * fx * p01[k] + fy * (128 - fx) * p10[k] +
                              fy * fx * p11[k] + 8192;
                o[k] = static_cast<unsigned char>(v / kQ14);
            }
        }
    }
    return out;
}

unsigned char* ResizeImg(const unsigned char* src, int width, int height, unsigned char* dst, int new_width,
                         int new_height, int layout) {
    if (!GeomArgs(src, width, height, layout) || !SizeOk(new_width, new_height)) return nullptr;
    unsigned char* out = NewOrGiven(dst, new_width, new_height, layout);
    if (out == nullptr) return nullptr;
    const int bpp = PixelBytes(layout);
    const size_t stride = static_cast<size_t>(width) * bpp;
    if (new_width == width && new_height == height) {
        memmove(out, src, Bytes(width, height, layout));
        return out;
    }
    unsigned char* o = out;
    if (new_width * 2 == width && new_height * 2 == height) {
        for (int j = 0; j < new_height; ++j) {
            const unsigned char* r0 = src + 2 * j * stride;
            const unsigned char* r1 = r0 + stride;
            for (int i = 0; i < new_width; ++i)
                for (int k = 0; k < bpp; ++k) {
                    const size_t a = (2 * i) * bpp + k, b = (2 * i + 1) * bpp + k;
                    *o++ = static_cast<unsigned char>((r0[a] + r0[b] + r1[a] + r1[b] + 2) >> 2);
                }
        }
        return out;
    }
    const double ystep = height * 128.0 / new_height, xstep = width * 128.0 / new_width;
    for (int j = 0; j < new_height; ++j) {
        const int p = static_cast<int>(j * ystep);
        const int y0 = p >> 7;
        int fy = p & 127;
        if (fy == 0 && new_height != height) fy = 64;
        const int y1 = y0 + 1 < height ? y0 + 1 : y0;
        for (int i = 0; i < new_width; ++i) {
            const int q = static_cast<int>(i * xstep);
            const int x0 = q >> 7;
            int fx = q & 127;
            if (fx == 0 && new_width != width) fx = 64;
            const int x1 = std::min(x0 + 1, width - 1);
            const unsigned char* p00 = src + y0 * stride + x0 * bpp;
            const unsigned char* p01 = src + y0 * stride + x1 * bpp;
            const unsigned char* p10 = src + y1 * stride + x0 * bpp;
            const unsigned char* p11 = src + y1 * stride + x1 * bpp;
            for (int k = 0; k < bpp; ++k) {
                const int v = (128 - fy) * (128 - fx) * p00[k] + (128 - fy) * fx * p01[k] + fy * (128 - fx) * p10[k] +
                              fy * fx * p11[k] + 8192;
                *o++ = static_cast<unsigned char>(v >> 14);
            }
        }
    }
    return out;
}

int ResizeImgToWidth(unsigned char** image, int* width, int* height, int layout, int new_width) {
    if (image == nullptr || width == nullptr || height == nullptr || !GeomArgs(*image, *width, *height, layout) ||
        !SideOk(new_width))
        return 0;
    const int64_t nh = static_cast<int64_t>(new_width) * *height / *width;
    if (nh < 1 || nh > kImgMaxSide) return 0;
    unsigned char* out = ResizeImg(*image, *width, *height, nullptr, new_width, static_cast<int>(nh), layout);
    if (out == nullptr) return 0;
    free(*image);
    *image = out;
    *width = new_width;
    *height = static_cast<int>(nh);
    return 1;
}

unsigned char* CropImg(unsigned char* dst, int x, int y, int crop_width, int crop_height, const unsigned char* src,
                       int src_width, int src_height, int mode, int fill) {
    if (src == nullptr || mode < 0 || mode > 2 || !SizeOk(crop_width, crop_height) || !SideOk(src_width) ||
        src_height == 0 || src_height < -kImgMaxSide || src_height > kImgMaxSide)
        return nullptr;
    const bool bottom_up = src_height < 0;
    const int sh = bottom_up ? -src_height : src_height;
    if (fill < 0 && (crop_width > src_width || crop_height > sh)) return nullptr;
    const int bpp = mode == 0 ? 1 : 3;
    unsigned char* out = NewOrGiven(dst, crop_width, crop_height, mode == 0 ? 2 : 0);
    if (out == nullptr) return nullptr;
    // Window corners in 64 bits: no offset can overflow them.
    int64_t x0 = x, y0 = y;
    const bool inside = x0 >= 0 && y0 >= 0 && x0 + crop_width <= src_width && y0 + crop_height <= sh;
    if (!inside && fill < 0) {
        x0 = std::max<int64_t>(x0, 0);
        if (x0 + crop_width > src_width) x0 = src_width - crop_width;
        y0 = std::max<int64_t>(y0, 0);
        if (y0 + crop_height > sh) y0 = sh - crop_height;
    } else if (!inside) {
        const size_t n = static_cast<size_t>(crop_width) * crop_height;
        for (size_t i = 0; i < n; ++i)
            for (int k = 0; k < bpp; ++k) out[i * bpp + k] = static_cast<unsigned char>(fill >> (8 * k));
    }
    const int64_t cx0 = std::max<int64_t>(x0, 0), cx1 = std::min<int64_t>(x0 + crop_width, src_width);
    const int64_t cy0 = std::max<int64_t>(y0, 0), cy1 = std::min<int64_t>(y0 + crop_height, sh);
    const size_t src_stride = static_cast<size_t>(src_width) * bpp;
    const size_t dst_stride = static_cast<size_t>(crop_width) * bpp;
    for (int64_t r = cy0; r < cy1; ++r) {
        const int64_t stored = bottom_up ? sh - 1 - r : r;
        const unsigned char* s = src + static_cast<size_t>(stored) * src_stride + cx0 * bpp;
        unsigned char* d = out + static_cast<size_t>(r - y0) * dst_stride + (cx0 - x0) * bpp;
        const size_t count = static_cast<size_t>(cx1 > cx0 ? cx1 - cx0 : 0);
        if (mode == 2) {
            for (size_t i = 0; i < count; ++i) {
                d[3 * i] = s[3 * i + 2];
                d[3 * i + 1] = s[3 * i + 1];
                d[3 * i + 2] = s[3 * i];
            }
        } else {
            memcpy(d, s, count * bpp);
        }
    }
    return out;
}

unsigned char* ExtractChannel(unsigned char* dst, const unsigned char* src, int width, int height, int layout,
                              int channel) {
    if (!GeomArgs(src, width, height, layout)) return nullptr;
    unsigned char* out = NewOrGiven(dst, width, height, layout == 0 ? 2 : layout);
    if (out == nullptr) return nullptr;
    const size_t n = static_cast<size_t>(width) * height;
    if (layout != 0) {
        memmove(out, src, n);
        return out;
    }
    for (size_t i = 0; i < n; ++i) {
        const unsigned char* p = src + 3 * i;
        int v;
        switch (channel) {
        case 0:
        case 1:
        case 2: v = p[channel]; break;
        case 3: v = LumaRgb(p); break;
        case 4: v = ChromaU(p); break;
        case 5: v = ChromaV(p); break;
        default: v = 0; break;
        }
        out[i] = static_cast<unsigned char>(v);
    }
    return out;
}

namespace {

// The bytes taken by the channel statistics: every step-th from offset, within step x N.
template <typename F>
bool ForChannel(const unsigned char* bytes, int width, int height, int offset, int step, F f) {
    if (bytes == nullptr || !SizeOk(width, height)) return false;
    if (offset < 0 || offset > 3) offset = 0;
    if (step < 1 || step > 4) step = 1;
    const size_t end = static_cast<size_t>(step) * width * height;
    for (size_t i = offset; i < end; i += step) f(bytes[i]);
    return true;
}

}  // namespace

int ChannelMean(const unsigned char* bytes, int width, int height, int offset, int step) {
    double sum = 0;
    if (!ForChannel(bytes, width, height, offset, step, [&](unsigned char b) { sum += b; })) return 0;
    return static_cast<int>(sum / (static_cast<double>(width) * height));
}

int OtsuThreshold(const unsigned char* bytes, int width, int height, int offset, int step) {
    double hist[256] = {0};
    double sum = 0;
    if (!ForChannel(bytes, width, height, offset, step, [&](unsigned char b) {
            hist[b] += 1;
            sum += b;
        }))
        return 0;
    const double n = static_cast<double>(width) * height;
    const double mu = sum / n;
    double omega = 0, mu_t = 0, best = 0;
    int result = 0;
    for (int t = 0; t < 256; ++t) {
        omega += hist[t];
        if (!(omega > 0 && omega < n)) continue;
        mu_t += t * hist[t];
        const double d = mu * omega - mu_t;
        const double score = d * d / ((n - omega) * omega);
        if (score > best) {
            best = score;
            result = t;
        }
    }
    return result;
}

void SplitColour(int colour, int* red, int* green, int* blue) {
    if (red != nullptr) *red = colour & 255;
    if (green != nullptr) *green = (colour >> 8) & 255;
    if (blue != nullptr) *blue = (colour >> 16) & 255;
}
