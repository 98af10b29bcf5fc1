// Format dispatch: codec choice by format code, extension and magic bytes, and the shared
// steps before encoding (alpha compositing, output-choice clamping, grey for WSQ).
#include "img_dispatch.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "img_buffer.h"
#include "img_checksum.h"
#include "img_codec.h"

namespace {

const char kVersion[] = "v2.0.9.0";
const char kWsqComment[] = "Kestrilon";
constexpr int kWsqDepth = 8;
constexpr int kMinFileSize = 9;  // smaller results are no image
constexpr int kMagicBytes = 8;

bool SideOk(int v) { return v >= 1 && v <= kImgMaxSide; }

// The pixels an encoder sees: the caller's, or a composite of an alpha layout over a background.
struct EncodeInput {
    const unsigned char* pixels = nullptr;
    int layout = 0;
    int choice = -1;
    unsigned char* composite = nullptr;
    ~EncodeInput() { std::free(composite); }

    bool Prepare(const unsigned char* src, int width, int height, int srcLayout, int backgroundOrChoice) {
        if (srcLayout >= 4) {
            composite = FlattenAlpha(src, width, height, srcLayout, backgroundOrChoice);
            if (!composite) return false;
            pixels = composite;
            layout = kLayoutRgb;
            choice = -1;
            return true;
        }
        pixels = src;
        layout = srcLayout;
        choice = backgroundOrChoice < -1 ? -1 : backgroundOrChoice >= 3 ? 0 : backgroundOrChoice;
        return true;
    }
};

// Encodes grey for WSQ into a new malloc'd stream; 0 on success.
int EncodeWsq(const EncodeInput& in, int width, int height, int dpi, int quality, unsigned char** out, int* length) {
    unsigned char* grey = GreyForWsq(in.pixels, width, height, in.layout, in.choice);
    if (!grey) return -1;
    int r = ImgWsqEncode(out, length, WsqBitRate(quality), grey, width, height, kWsqDepth, dpi, kWsqComment);
    if (grey != in.pixels) std::free(grey);
    return r;
}

// Upper-cased extension after the last ".", at most six characters; false without a ".".
bool Extension(const char* path, char ext[7]) {
    const char* dot = std::strrchr(path, '.');
    if (!dot) return false;
    int n = 0;
    for (const char* p = dot + 1; *p && n < 6; ++p, ++n)
        ext[n] = (*p >= 'a' && *p <= 'z') ? static_cast<char>(*p - 32) : *p;
    ext[n] = '\0';
    return true;
}

bool HasPrefix(const char* ext, const char* prefix) { return std::strncmp(ext, prefix, std::strlen(prefix)) == 0; }

int FileResult(const char* path) {
    int size = ImgFileSize(path);
    return size < kMinFileSize ? 0 : size;
}

enum class Magic { None, Bmp, Tiff, Jpeg, Png, Wsq, Jpc, Jp2, Pnm };

Magic Classify(const unsigned char* d) {
    static const unsigned char kTiffLe[4] = {0x49, 0x49, 0x2A, 0x00};
    static const unsigned char kTiffBe[4] = {0x4D, 0x4D, 0x00, 0x2A};
    static const unsigned char kPng[8] = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
    if (d[0] == 'B' && d[1] == 'M') return Magic::Bmp;
    if (!std::memcmp(d, kTiffLe, 4) || !std::memcmp(d, kTiffBe, 4)) return Magic::Tiff;
    if (d[0] == 0xFF && d[1] == 0xD8) return Magic::Jpeg;
    if (!std::memcmp(d, kPng, 8)) return Magic::Png;
    if (d[0] == 0xFF && d[1] == 0xA0) return Magic::Wsq;
    if (d[0] == 0xFF && d[1] == 0x4F) return Magic::Jpc;
    if (!std::memcmp(d + 4, "jP  ", 4)) return Magic::Jp2;
    if (d[0] == 'P' && d[1] >= '1' && d[1] <= '6') return Magic::Pnm;
    return Magic::None;
}

int ClampRequest(unsigned char** img, int request) {
    if (!img) return -1;
    return request < -3 ? -3 : request >= 3 ? 0 : request;
}

// Decodes WSQ from memory (data) or an open file into 8-bit grey, R,G,B on request 0.
int LoadWsq(unsigned char** img, int* width, int* height, int* layout, int* dpi, int request, const unsigned char* data,
            int length, FILE* file) {
    FreeImgDataSize(img, width, height);
    unsigned char* pixels = nullptr;
    int w = 0, h = 0, depth = 0, ppi = 0, lossy = 0;
    int r = file ? ImgWsqDecodeFile(&pixels, &w, &h, &depth, &ppi, &lossy, file)
                 : ImgWsqDecodeMem(&pixels, &w, &h, &depth, &ppi, &lossy, data, length);
    if (r != 0) {
        std::free(pixels);
        return 0;
    }
    if (!img) {
        std::free(pixels);
    } else {
        *img = pixels;
        int grey = kLayoutGreyLuma;
        // Needs the caller's layout pointer to report the conversion.
        if (!layout || !GreyToRgb(img, w, h, &grey, request < 0 ? -1 : request)) {
            FreeImgData(img);
            return 0;
        }
        if (layout) *layout = grey;
        if (width) *width = w;
        if (height) *height = h;
        if (dpi) *dpi = ppi;
        return kFormatWsq;
    }
    if (width) *width = w;
    if (height) *height = h;
    if (layout) *layout = kLayoutGreyLuma;
    if (dpi) *dpi = ppi;
    return kFormatWsq;
}

}  // namespace

float WsqBitRate(int quality) {
    if (quality == 0) return 2.25f;
    if (quality < 60) return 0.75f;
    if (quality < 100) return 2.25f;
    return static_cast<float>(quality / 10000.0);
}

int Jp2FormatCode(const char* name, int format) {
    if (name && *name) {
        if (!std::strncmp(name, "JP2", 3) || !std::strncmp(name, "J2K", 3)) return kFormatJp2;
        if (!std::strncmp(name, "JPC", 3) || !std::strncmp(name, "J2C", 3)) return kFormatJpc;
        return 0;
    }
    if (format == kFormatJp2 || format == kFormatJ2k) return kFormatJp2;
    if (format == kFormatJpc || format == kFormatJ2c) return kFormatJpc;
    return 0;
}

const char* GetImgLibVersion() { return kVersion; }

int SaveImgBuff(const unsigned char* pixels, int width, int height, int layout, int dpi, int backgroundOrChoice,
                int quality, unsigned char** buf, int* length, int format) {
    if (!buf || !length || !pixels || !SideOk(width) || !SideOk(height) || layout < 0) return 0;
    EncodeInput in;
    if (!in.Prepare(pixels, width, height, layout, backgroundOrChoice)) return 0;
    int r = 0;
    switch (format) {
    case kFormatBmp: r = WriteBmp(nullptr, in.pixels, width, height, in.layout, dpi, in.choice, buf, length); break;
    case kFormatJpeg:
        r = WriteJpeg(nullptr, in.pixels, width, height, in.layout, dpi, in.choice, quality, buf, length);
        break;
    case kFormatTiff:
        r = WriteTiff(nullptr, in.pixels, width, height, in.layout, dpi, in.choice, quality, buf, length);
        break;
    case kFormatPng: r = WritePng(nullptr, in.pixels, width, height, in.layout, dpi, in.choice, buf, length); break;
    case kFormatWsq:
        FreeImgBuffLen(buf, length);
        if (EncodeWsq(in, width, height, dpi, quality, buf, length) == 0) r = *length;
        break;
    case kFormatJp2:
    case kFormatJpc:
    case kFormatJ2k:
    case kFormatJ2c:
        r = WriteJp2(nullptr, in.pixels, width, height, in.layout, dpi, in.choice, quality, buf, length,
                     Jp2FormatCode(nullptr, format));
        break;
    case kFormatPbm:
    case kFormatPgm:
    case kFormatPpm: r = WritePnm(in.pixels, width, height, in.layout, format, quality == 0, buf, length); break;
    default: break;
    }
    if (r <= 0) {
        FreeImgBuffLen(buf, length);
        return 0;
    }
    return r;
}

int SaveImgFile(const char* path, const unsigned char* pixels, int width, int height, int layout, int dpi,
                int backgroundOrChoice, int quality) {
    if (!path || !*path || !pixels || !SideOk(width) || !SideOk(height) || layout < 0) return 0;
    EncodeInput in;
    if (!in.Prepare(pixels, width, height, layout, backgroundOrChoice)) return 0;
    char ext[7];
    if (!Extension(path, ext)) return 0;
    int ok = 0;
    if (HasPrefix(ext, "BMP")) {
        ok = WriteBmp(path, in.pixels, width, height, in.layout, dpi, in.choice, nullptr, nullptr);
    } else if (HasPrefix(ext, "JPG") || HasPrefix(ext, "JPEG")) {
        ok = WriteJpeg(path, in.pixels, width, height, in.layout, dpi, in.choice, quality, nullptr, nullptr);
    } else if (HasPrefix(ext, "TIF")) {
        ok = WriteTiff(path, in.pixels, width, height, in.layout, dpi, in.choice, quality, nullptr, nullptr);
    } else if (HasPrefix(ext, "PNG")) {
        ok = WritePng(path, in.pixels, width, height, in.layout, dpi, in.choice, nullptr, nullptr);
    } else if (HasPrefix(ext, "WSQ")) {
        unsigned char* out = nullptr;
        int len = 0;
        if (EncodeWsq(in, width, height, dpi, quality, &out, &len) == 0 && out && len != 0)
            ok = ImgWsqWriteFile(path, out, len);
        std::free(out);
    } else if (int code = Jp2FormatCode(ext, 0)) {
        ok = WriteJp2(path, in.pixels, width, height, in.layout, dpi, in.choice, quality, nullptr, nullptr, code);
    } else if (ext[0] == '\0') {
        ok = 0;
    } else if (HasPrefix(ext, "PBM") || HasPrefix(ext, "PGM") || HasPrefix(ext, "PPM")) {
        const int code = ext[1] == 'B' ? kFormatPbm : ext[1] == 'G' ? kFormatPgm : kFormatPpm;
        unsigned char* out = nullptr;
        int len = 0;
        int n = WritePnm(in.pixels, width, height, in.layout, code, quality == 0, &out, &len);
        ok = n > 0 && ImgWriteFile(path, out, n, 0) == n;
        std::free(out);
    }
    return ok ? FileResult(path) : 0;
}

namespace {

// Adds the alpha channel the arguments ask for (the pixels as they are when none is added) and writes
// BMP or PNG: to the file when path is given, else into the caller's buffer. The writer's result.
int WriteWithAlpha(const char* path, unsigned char** buf, int* length, int format, const unsigned char* pixels,
                   int width, int height, int layout, int dpi, int key, int tolerance, int alpha,
                   const unsigned char* alphaPlane) {
    int newLayout = layout;
    unsigned char* withAlpha =
        AddTransparency(pixels, width, height, &newLayout, key, tolerance, alpha, alphaPlane, format);
    const unsigned char* src = withAlpha ? withAlpha : pixels;
    if (!withAlpha) newLayout = layout;
    const int r = format == kFormatBmp ? WriteBmp(path, src, width, height, newLayout, dpi, -1, buf, length)
                                       : WritePng(path, src, width, height, newLayout, dpi, -1, buf, length);
    std::free(withAlpha);
    return r;
}

}  // namespace

int SaveImgBuffAlpha(unsigned char** buf, int* length, int format, const unsigned char* pixels, int width, int height,
                     int layout, int dpi, int key, int tolerance, int alpha, const unsigned char* alphaPlane) {
    if (!buf || !length || !pixels || !SideOk(width) || !SideOk(height)) return 0;
    if (layout < 0 || layout > 5 || layout == kLayoutUnassigned) return 0;
    if (format != kFormatBmp && format != kFormatPng) {
        FreeImgBuffLen(buf, length);
        return 0;
    }
    const int r = WriteWithAlpha(nullptr, buf, length, format, pixels, width, height, layout, dpi, key, tolerance,
                                 alpha, alphaPlane);
    if (r <= 0) {
        FreeImgBuffLen(buf, length);
        return 0;
    }
    return r;
}

int SaveImgFileAlpha(const char* path, const unsigned char* pixels, int width, int height, int layout, int dpi, int key,
                     int tolerance, int alpha, const unsigned char* alphaPlane) {
    if (!path || !*path || !pixels || !SideOk(width) || !SideOk(height)) return 0;
    if (layout < 0 || layout > 5 || layout == kLayoutUnassigned) return 0;
    char ext[7];
    if (!Extension(path, ext)) return 0;
    int format;
    if (HasPrefix(ext, "BMP"))
        format = kFormatBmp;
    else if (HasPrefix(ext, "PNG"))
        format = kFormatPng;
    else
        return 0;
    if (!WriteWithAlpha(path, nullptr, nullptr, format, pixels, width, height, layout, dpi, key, tolerance, alpha,
                        alphaPlane))
        return 0;
    return FileResult(path);
}

namespace {

// Decodes by the format the magic bytes named, from the file at path when one is given, else from the
// data. WSQ files are read from wsqFile. The format code, or 0.
int ReadByMagic(Magic magic, const char* path, const unsigned char* data, int length, FILE* wsqFile,
                unsigned char** img, int* width, int* height, int* layout, int* dpi, int request) {
    const int plain = request < 0 ? -1 : request;  // what TIFF, JPEG, JPEG-2000 and WSQ receive
    switch (magic) {
    case Magic::Bmp: return ReadBmp(path, img, width, height, layout, dpi, request, data, length) ? kFormatBmp : 0;
    case Magic::Tiff: return ReadTiff(path, img, width, height, layout, dpi, plain, data, length) ? kFormatTiff : 0;
    case Magic::Jpeg: return ReadJpeg(path, img, width, height, layout, dpi, plain, data, length) ? kFormatJpeg : 0;
    case Magic::Png: return ReadPng(path, img, width, height, layout, dpi, request, data, length) ? kFormatPng : 0;
    case Magic::Wsq: return LoadWsq(img, width, height, layout, dpi, plain, data, length, wsqFile);
    case Magic::Jpc: return ReadJp2(path, img, width, height, layout, dpi, plain, data, length) ? kFormatJpc : 0;
    case Magic::Jp2: return ReadJp2(path, img, width, height, layout, dpi, plain, data, length) ? kFormatJp2 : 0;
    case Magic::Pnm: {
        // The PNM reader works on memory only.
        int size = length;
        unsigned char* whole = path ? ImgReadFileBuf(path, 0, &size) : nullptr;
        const unsigned char* bytes = path ? whole : data;
        int code = bytes ? ReadPnm(img, width, height, layout, dpi, request, bytes, size) : 0;
        std::free(whole);
        return (code >= kFormatPbm && code <= kFormatPpm) ? code : 0;
    }
    case Magic::None: break;
    }
    return 0;
}

}  // namespace

int LoadImgBuff(unsigned char** img, int* width, int* height, int* layout, int* dpi, int request,
                const unsigned char* data, int length) {
    if (!data || length < kMinFileSize) return 0;
    request = ClampRequest(img, request);
    const int r = ReadByMagic(Classify(data), nullptr, data, length, nullptr, img, width, height, layout, dpi, request);
    if (r == 0) FreeImgDataSize(img, width, height);
    return r;
}

int LoadImgFile(const char* path, unsigned char** img, int* width, int* height, int* layout, int* dpi, int request) {
    if (!path || !*path) return 0;
    unsigned char head[kMagicBytes];
    if (ImgReadFileHead(path, head, kMagicBytes) < kMagicBytes) return 0;
    request = ClampRequest(img, request);
    Magic magic = Classify(head);
    FILE* wsqFile = nullptr;
    if (magic == Magic::Wsq) {
        wsqFile = std::fopen(path, "rbe");
        // A file that cannot be opened again is tested on like any other data.
        if (!wsqFile) {
            unsigned char other[kMagicBytes];
            std::memcpy(other, head, kMagicBytes);
            other[1] = 0;
            magic = Classify(other);
        }
    }
    const int r = ReadByMagic(magic, path, nullptr, 0, wsqFile, img, width, height, layout, dpi, request);
    if (wsqFile) std::fclose(wsqFile);
    if (r == 0) FreeImgDataSize(img, width, height);
    return r;
}

int ConvertImgFile(const char* srcPath, const char* dstPath, int backgroundOrChoice, int quality) {
    unsigned char* img = nullptr;
    int w = 0, h = 0, layout = 0, dpi = 0;
    if (!LoadImgFile(srcPath, &img, &w, &h, &layout, &dpi, -1)) return 0;
    int r = SaveImgFile(dstPath, img, w, h, layout, dpi, backgroundOrChoice, quality);
    FreeImgData(&img);
    return r;
}
