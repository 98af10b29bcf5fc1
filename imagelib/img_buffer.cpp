// Pixel buffers, byte buffers and colour conversions of the image library.
#include "img_buffer.h"

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

constexpr double kMmPerInch = 25.39999918;

// Luma weights in units of 1/16384 (0.299, 0.587, 0.114); they add up to 16384.
struct LumaTables {
    uint32_t r[256], g[256], b[256];
};

constexpr LumaTables MakeLumaTables() {
    LumaTables t{};
    for (uint32_t i = 0; i < 256; ++i) {
        t.r[i] = i * 4899u;
        t.g[i] = i * 9617u;
        t.b[i] = i * 1868u;
    }
    return t;
}

constexpr LumaTables kLuma = MakeLumaTables();

bool SideOk(int v) { return v >= 1 && v <= kImgMaxSide; }

// width x height x bytes in 64 bits, or -1 when it exceeds INT_MAX (sides and bytes at least 1).
int64_t CheckedProduct(int width, int height, int bytes) {
    int64_t n = static_cast<int64_t>(width) * height;
    if (n > INT_MAX) return -1;
    n *= bytes;
    return n > INT_MAX ? -1 : n;
}

// Reallocates *buf to size bytes; on failure frees the old block and stores NULL.
int Resize(unsigned char** buf, int* capacity, int size) {
    void* p = std::realloc(*buf, static_cast<size_t>(size));
    if (!p) {
        std::free(*buf);
        *buf = nullptr;
        if (capacity) *capacity = 0;
        return 0;
    }
    *buf = static_cast<unsigned char*>(p);
    if (capacity) *capacity = size;
    return 1;
}

unsigned char ClampByte(double v) {
    if (v >= 255.0) return 255;
    if (v <= 0.0) return 0;
    return static_cast<unsigned char>(v);
}

}  // namespace

int ImgAllocPixelSize(int layout) {
    if (layout == kLayoutRgb) return 3;
    if (layout > 3) return 4;
    return 1;
}

int ImgPixelSize(int layout) {
    switch (layout) {
    case kLayoutRgb: return 3;
    case kLayoutGreyGreen:
    case kLayoutGreyLuma:
    case kLayoutUnassigned: return 1;
    case kLayoutGreyAlpha: return 2;
    default: return layout > 3 ? 4 : 1;
    }
}

int ImgPlaneSize(int width, int height, int bytesPerPixel) {
    if (!SideOk(width) || !SideOk(height) || bytesPerPixel < 1) return 0;
    int64_t n = CheckedProduct(width, height, bytesPerPixel);
    return n < 0 ? 0 : static_cast<int>(n);
}

int AllocImgData(unsigned char** img, int* width, int* height, int* layout, int newWidth, int newHeight,
                 int newLayout) {
    if (!img || newWidth < 1 || newHeight < 1) return 0;
    if (*img && width && height && layout && *width == newWidth && *height == newHeight && *layout == newLayout)
        return 1;
    int64_t n = CheckedProduct(newWidth, newHeight, ImgAllocPixelSize(newLayout));
    if (n < 0 || !Resize(img, nullptr, static_cast<int>(n))) {
        std::free(*img);
        *img = nullptr;
        return 0;
    }
    if (width) *width = newWidth;
    if (height) *height = newHeight;
    if (layout) *layout = newLayout;
    return 1;
}

int ReallocBytes(unsigned char** buf, int* capacity, int size) {
    if (!buf) return 0;
    if (size < 1) return 1;
    if (*buf && capacity && size <= *capacity) return 1;
    return Resize(buf, capacity, size);
}

int ReallocBytesExact(unsigned char** buf, int* capacity, int size) {
    if (!buf) return 0;
    if (size < 1) return 1;
    if (*buf && capacity && size == *capacity) return 1;
    return Resize(buf, capacity, size);
}

int GetEncodeCapacity(unsigned char** buf, int* capacity, int width, int height, int layout) {
    int bpp = 1;
    if (layout == kLayoutGreyAlpha)
        bpp = 2;
    else if (layout == kLayoutBgraPremul || layout == kLayoutBgra)
        bpp = 4;
    else if (layout == kLayoutRgb)
        bpp = 3;
    if (width < 1 || height < 1) return 0;
    int64_t n = CheckedProduct(width, height, bpp);
    int64_t size = n + n / 2 + 5120;
    if (n < 0 || size > INT_MAX) return 0;
    return ReallocBytesExact(buf, capacity, static_cast<int>(size));
}

void FreeImgBuff(unsigned char** buf) {
    if (!buf || !*buf) return;
    std::free(*buf);
    *buf = nullptr;
}

void FreeImgBuffLen(unsigned char** buf, int* length) {
    FreeImgBuff(buf);
    if (length) *length = 0;
}

void FreeImgData(unsigned char** img) { FreeImgBuff(img); }

void FreeImgDataSize(unsigned char** img, int* width, int* height) {
    FreeImgData(img);
    if (width) *width = 0;
    if (height) *height = 0;
}

unsigned char* CopyImg(unsigned char* dst, const unsigned char* src, int width, int height, int layout) {
    if (!src || layout < 0) return nullptr;
    // Grey with alpha holds two bytes a pixel, though the allocator reserves four.
    int n = ImgPlaneSize(width, height, ImgPixelSize(layout));
    if (n == 0) return nullptr;
    if (!dst) {
        dst = static_cast<unsigned char*>(std::malloc(static_cast<size_t>(n)));
        if (!dst) return nullptr;
    }
    std::memmove(dst, src, static_cast<size_t>(n));
    return dst;
}

unsigned short ReadLe16(const unsigned char** cursor) {
    const unsigned char* p = *cursor;
    *cursor = p + 2;
    return static_cast<unsigned short>(p[0] | (p[1] << 8));
}

unsigned int ReadLe32(const unsigned char** cursor) {
    const unsigned char* p = *cursor;
    *cursor = p + 4;
    return static_cast<unsigned int>(p[0]) | (static_cast<unsigned int>(p[1]) << 8) |
           (static_cast<unsigned int>(p[2]) << 16) | (static_cast<unsigned int>(p[3]) << 24);
}

void WriteLe16(unsigned char** cursor, unsigned int value) {
    unsigned char* p = *cursor;
    p[0] = static_cast<unsigned char>(value);
    p[1] = static_cast<unsigned char>(value >> 8);
    *cursor = p + 2;
}

void WriteLe32(unsigned char** cursor, unsigned int value) {
    unsigned char* p = *cursor;
    p[0] = static_cast<unsigned char>(value);
    p[1] = static_cast<unsigned char>(value >> 8);
    p[2] = static_cast<unsigned char>(value >> 16);
    p[3] = static_cast<unsigned char>(value >> 24);
    *cursor = p + 4;
}

int LumaRgb(const unsigned char* rgb) {
    return static_cast<int>((kLuma.r[rgb[0]] + kLuma.g[rgb[1]] + kLuma.b[rgb[2]] + 8192u) >> 14);
}

int LumaBgr(const unsigned char* bgr) {
    return static_cast<int>((kLuma.r[bgr[2]] + kLuma.g[bgr[1]] + kLuma.b[bgr[0]] + 8192u) >> 14);
}

int ChromaU(const unsigned char* rgb) {
    int32_t s = -9633 * rgb[0] - 18939 * rgb[1] + 28573 * rgb[2];
    return s < 0 ? 0 : s >> 16;
}

int ChromaV(const unsigned char* rgb) {
    int32_t s = 40304 * rgb[0] - 33751 * rgb[1] - 6653 * rgb[2];
    return s < 0 ? 0 : s >> 16;
}

unsigned char* ToGrey(unsigned char* dst, const unsigned char* src, int width, int height, int selector, int copy) {
    if (!src || selector < 0 || selector > 2) return nullptr;
    int n = ImgPlaneSize(width, height, 1);
    if (n == 0) return nullptr;
    if (selector == 0 && !dst && copy == 0) return const_cast<unsigned char*>(src);
    if (!dst) {
        dst = static_cast<unsigned char*>(std::malloc(static_cast<size_t>(n)));
        if (!dst) return nullptr;
    }
    if (selector == 0) {
        std::memmove(dst, src, static_cast<size_t>(n));
    } else {
        for (int i = 0; i < n; ++i)
            dst[i] = static_cast<unsigned char>(selector == 1 ? LumaRgb(src + 3 * i) : LumaBgr(src + 3 * i));
    }
    return dst;
}

int ToGreyInPlace(unsigned char** img, int width, int height, int* layout, int selector) {
    if (!img || !*img || !layout || *layout != kLayoutRgb || selector < 0 || selector > 2) return 0;
    int n = ImgPlaneSize(width, height, 1);
    if (n == 0) return 0;
    unsigned char* grey;
    if (selector == 0) {
        grey = static_cast<unsigned char*>(std::malloc(static_cast<size_t>(n)));
        if (!grey) return 0;
        for (int i = 0; i < n; ++i) grey[i] = (*img)[3 * i + 1];
    } else {
        grey = ToGrey(nullptr, *img, width, height, selector, 1);
        if (!grey) return 0;
    }
    std::free(*img);
    *img = grey;
    *layout = selector == 0 ? kLayoutGreyGreen : kLayoutGreyLuma;
    return 1;
}

unsigned char* GreyForWsq(const unsigned char* img, int width, int height, int layout, int outputChoice) {
    (void)outputChoice;  // every choice takes the luma of a colour pixel
    if (!img) return nullptr;
    int n = ImgPlaneSize(width, height, 1);
    if (n == 0) return nullptr;
    if (layout != kLayoutRgb) return const_cast<unsigned char*>(img);
    unsigned char* grey = static_cast<unsigned char*>(std::malloc(static_cast<size_t>(n)));
    if (!grey) return nullptr;
    for (int i = 0; i < n; ++i) grey[i] = static_cast<unsigned char>(LumaRgb(img + 3 * i));
    return grey;
}

int GreyToRgb(unsigned char** img, int width, int height, int* layout, int request) {
    if (!img || !*img || !layout || width < 1 || height < 1) return 0;
    if (*layout == kLayoutRgb || request != 0) return 1;
    int n = ImgPlaneSize(width, height, 3);
    if (n == 0) return 0;
    unsigned char* rgb = static_cast<unsigned char*>(std::malloc(static_cast<size_t>(n)));
    if (!rgb) return 0;
    const unsigned char* g = *img;
    for (int i = 0; i < n / 3; ++i) rgb[3 * i] = rgb[3 * i + 1] = rgb[3 * i + 2] = g[i];
    std::free(*img);
    *img = rgb;
    *layout = kLayoutRgb;
    return 1;
}

unsigned char* LumaPlane(const unsigned char* img, int width, int height, int layout) {
    if (!img || layout < 0 || layout > 5 || layout == kLayoutUnassigned) return nullptr;
    int n = ImgPlaneSize(width, height, 1);
    if (n == 0) return nullptr;
    unsigned char* out = static_cast<unsigned char*>(std::malloc(static_cast<size_t>(n)));
    if (!out) return nullptr;
    for (int i = 0; i < n; ++i) {
        if (layout == kLayoutRgb)
            out[i] = static_cast<unsigned char>(LumaRgb(img + 3 * i));
        else if (layout >= 4)
            out[i] = static_cast<unsigned char>(LumaBgr(img + 4 * i));
        else
            out[i] = img[i];
    }
    return out;
}

unsigned char* FlattenAlpha(const unsigned char* img, int width, int height, int layout, int background) {
    if (!img || (layout != kLayoutBgraPremul && layout != kLayoutBgra)) return nullptr;
    int n = ImgPlaneSize(width, height, 1);
    if (n == 0 || ImgPlaneSize(width, height, 4) == 0) return nullptr;
    unsigned char* out = static_cast<unsigned char*>(std::malloc(static_cast<size_t>(n) * 3));
    if (!out) return nullptr;
    const double bR = background & 0xFF, bG = (background >> 8) & 0xFF, bB = (background >> 16) & 0xFF;
    for (int i = 0; i < n; ++i) {
        const unsigned char* p = img + 4 * i;
        double a = p[3] / 255.0, rest = 1.0 - a;
        unsigned char* o = out + 3 * i;
        if (layout == kLayoutBgraPremul) {
            // Premultiplied input may carry colour above its alpha: clamp instead of wrapping.
            o[0] = ClampByte(p[2] + bR * rest);
            o[1] = ClampByte(p[1] + bG * rest);
            o[2] = ClampByte(p[0] + bB * rest);
        } else {
            o[0] = ClampByte(p[2] * a + bR * rest);
            o[1] = ClampByte(p[1] * a + bG * rest);
            o[2] = ClampByte(p[0] * a + bB * rest);
        }
    }
    return out;
}

int DpiToPpm(int dpi) {
    // The product is a 32-bit int, as stored files expect; wrap it without undefined behaviour.
    int32_t product = static_cast<int32_t>(static_cast<uint32_t>(dpi) * 1000u);
    return static_cast<int>(product / kMmPerInch + 0.5);
}

int PpmToDpi(int ppm) { return static_cast<int>(ppm * kMmPerInch / 1000.0 + 0.5); }
