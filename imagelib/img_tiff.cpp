// TIFF encoder and decoder over libtiff, on files and memory through ImgStream.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <tiffio.h>

#include "img_buffer.h"
#include "img_checksum.h"
#include "img_codec.h"
#include "img_codec_util.h"
#include "img_stream.h"
#include "qv_decode_budget.h"

using namespace imgcodec;

namespace {

const char kWriteName[] = "To.Zpf.Tif.Mem";
const char kReadName[] = "From.Zpf.Tif.Mem";
constexpr float kDefaultDpi = 500.0f;

// libtiff's warning and error handlers are cleared once per process so that it never prints.
int g_tiff_quiet = 0;

void QuietTiff() {
    if (g_tiff_quiet) return;
    g_tiff_quiet = 1;
    TIFFSetWarningHandler(nullptr);
    TIFFSetErrorHandler(nullptr);
}

// What the RGBA reader represents: up to 4 colour samples and a few extra ones, at most 16 bits each.
// Together with the pixel budget this bounds the bytes libtiff decodes for one image (16 a pixel).
constexpr uint16_t kMaxSamplesPerPixel = 8;
constexpr uint16_t kMaxBitsPerSample = 16;

// One strip or tile, every component counted, may hold as many bytes as the RGBA raster of the
// largest image in the budget; libtiff allocates nothing larger (a hostile directory can claim
// strips of gigabytes, which libtiff would allocate before finding the data missing).
uint64_t MaxUnitBytes() { return 4 * qv::decode_pixel_limit(); }

TIFF* OpenClient(const char* name, const char* mode, ImgStream* stream) {
    QuietTiff();
#if TIFFLIB_VERSION >= 20221213
    if (mode[0] == 'r') {
        TIFFOpenOptions* opts = TIFFOpenOptionsAlloc();
        if (opts == nullptr) return nullptr;
        TIFFOpenOptionsSetMaxSingleMemAlloc(opts, static_cast<tmsize_t>(MaxUnitBytes()));
        TIFF* tif = TIFFClientOpenExt(name, mode, static_cast<thandle_t>(stream), ImgStreamRead, ImgStreamWrite,
                                      ImgStreamSeek, ImgStreamClose, ImgStreamSize, ImgStreamMap, ImgStreamUnmap, opts);
        TIFFOpenOptionsFree(opts);
        return tif;
    }
#endif
    return TIFFClientOpen(name, mode, static_cast<thandle_t>(stream), ImgStreamRead, ImgStreamWrite, ImgStreamSeek,
                          ImgStreamClose, ImgStreamSize, ImgStreamMap, ImgStreamUnmap);
}

// Tags, then the rows; false on any libtiff failure.
bool WriteImage(TIFF* tif, const unsigned char* pixels, int width, int height, int layout, bool grey, int quality,
                float resolution, int output) {
    bool ok = TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, static_cast<uint32_t>(width)) &&
              TIFFSetField(tif, TIFFTAG_IMAGELENGTH, static_cast<uint32_t>(height)) &&
              TIFFSetField(tif, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT) &&
              TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8);
    const bool jpeg = quality < 0;
    uint16_t ramp[256];
    if (grey) {
        // libtiff refuses JPEG on a palette image: JPEG grey is min-is-black without a map
        ok = ok && TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1) &&
             TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG) &&
             TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, jpeg ? PHOTOMETRIC_MINISBLACK : PHOTOMETRIC_PALETTE) &&
             TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, static_cast<uint32_t>(height));
        if (!jpeg) {
            for (int i = 0; i < 256; ++i) ramp[i] = static_cast<uint16_t>(i * 257);
            ok = ok && TIFFSetField(tif, TIFFTAG_COLORMAP, ramp, ramp, ramp);
        }
    } else {
        ok = ok && TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 3) &&
             TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG) &&
             TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB) &&
             TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, static_cast<uint32_t>(height));
    }
    if (quality >= 1) {
        ok = ok && TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_LZW) &&
             TIFFSetField(tif, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL);
    } else if (quality == 0) {
        ok = ok && TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_DEFLATE);
    } else {
        const int q = quality < -100 ? 100 : -quality;
        ok = ok && TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_JPEG) &&
             TIFFSetField(tif, TIFFTAG_JPEGQUALITY, q) && TIFFSetField(tif, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB);
    }
    ok = ok && TIFFSetField(tif, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH) &&
         TIFFSetField(tif, TIFFTAG_XRESOLUTION, static_cast<double>(resolution)) &&
         TIFFSetField(tif, TIFFTAG_YRESOLUTION, static_cast<double>(resolution));
    if (!ok) return false;
    const size_t row_bytes = ((static_cast<size_t>(width) * (grey ? 8 : 24) + 31) >> 5) * 4;
    unsigned char* row = static_cast<unsigned char*>(_TIFFmalloc(static_cast<tmsize_t>(row_bytes)));
    if (row == nullptr) return false;
    memset(row, 0, row_bytes);
    const bool rgb_in = layout == 0;
    for (int y = 0; y < height && ok; ++y) {
        const unsigned char* s = pixels + static_cast<size_t>(y) * width * (rgb_in ? 3 : 1);
        unsigned char* d = row;
        for (int x = 0; x < width; ++x) {
            if (!rgb_in) {
                if (grey) {
                    *d++ = s[x];
                } else {
                    d[0] = d[1] = d[2] = s[x];
                    d += 3;
                }
            } else if (!grey) {
                memcpy(d, s + 3 * x, 3);
                d += 3;
            } else if (output == 1) {
                *d++ = s[3 * x + 1];
            } else {
                *d++ = static_cast<unsigned char>(LumaRgb(s + 3 * x));
            }
        }
        if (TIFFWriteScanline(tif, row, static_cast<uint32_t>(y), 0) < 0) ok = false;
    }
    _TIFFfree(row);
    return ok && TIFFWriteDirectory(tif);
}

// The image within the decode budget, a sample layout the RGBA reader handles, and the buffers it
// will ask of libtiff (one strip or tile with every sample, for separate planes up to four of them)
// within their bound: all from the tags, before libtiff sizes and clears anything.
bool ReadableGeometry(TIFF* tif, uint32_t w, uint32_t h) {
    if (w < 1 || h < 1 || w > static_cast<uint32_t>(kImgMaxSide) || h > static_cast<uint32_t>(kImgMaxSide))
        return false;
    if (!qv::decode_pixels_allowed(w, h)) return false;
    uint16_t spp = 1, bps = 1, planar = PLANARCONFIG_CONTIG;
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &spp);
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bps);
    TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &planar);
    if (spp < 1 || spp > kMaxSamplesPerPixel || bps < 1 || bps > kMaxBitsPerSample) return false;
    char why[1024];
    if (!TIFFRGBAImageOK(tif, why)) return false;
    const uint64_t unit = TIFFIsTiled(tif) ? TIFFTileSize64(tif) : TIFFStripSize64(tif);
    const uint64_t planes = planar == PLANARCONFIG_SEPARATE ? std::min<uint64_t>(spp, 4) : 1;
    return unit > 0 && unit * planes <= MaxUnitBytes();
}

int ReadResolution(TIFF* tif) {
    uint16_t unit = 0;
    float x = 0;
    TIFFGetFieldDefaulted(tif, TIFFTAG_RESOLUTIONUNIT, &unit);
    if (!TIFFGetField(tif, TIFFTAG_XRESOLUTION, &x)) x = 0;
    if (unit == RESUNIT_CENTIMETER) return TruncToInt(x * 100.0 * kMmPerInch / 1000.0 + 0.5);
    if (unit == RESUNIT_INCH) return TruncToInt(x);
    return 0;
}

}  // namespace

int WriteTiff(const char* path, const unsigned char* pixels, int width, int height, int layout, int dpi,
              int outputChoice, int quality, unsigned char** buf, int* length) {
    const bool to_file = path != nullptr && path[0] != '\0';
    if (!to_file && (buf == nullptr || length == nullptr)) return 0;
    auto fail = [&]() {
        if (!to_file) FreeImgBuffLen(buf, length);
        return 0;
    };
    if (pixels == nullptr || !SizeOk(width, height) || layout < 0 || layout > 3) return fail();
    const float resolution = dpi < 0 ? kDefaultDpi : static_cast<float>(dpi);
    if (outputChoice < 0) outputChoice = layout;
    const bool grey = outputChoice != 0;
    ImgStream stream;
    memset(&stream, 0, sizeof(stream));
    stream.writing = 1;
    if (to_file) {
        stream.file = fopen(path, "wbe");
        if (stream.file == nullptr) return 0;
    } else {
        // n + n / 2 + 5120 must stay within an int
        const int plane = ImgPlaneSize(width, height, grey ? 1 : 3);
        if (plane <= 0 || plane > (INT_MAX - 5120) / 3 * 2) return fail();
        if (!GetEncodeCapacity(buf, length, width, height, outputChoice)) return fail();
        stream.data = *buf;
        stream.capacity = *length;
    }
    TIFF* tif = OpenClient(to_file ? path : kWriteName, "w", &stream);
    bool ok = tif != nullptr;
    if (ok) {
        ok = WriteImage(tif, pixels, width, height, layout, grey, quality, resolution, outputChoice);
        TIFFClose(tif);
    }
    if (to_file) {
        if (fclose(stream.file) != 0) ok = false;
        return ok ? 1 : 0;
    }
    if (!ok || stream.length <= 0) return fail();
    return stream.length;
}

int ReadTiff(const char* path, unsigned char** img, int* width, int* height, int* layout, int* dpi, int request,
             const unsigned char* data, int length) {
    const bool from_file = path != nullptr && path[0] != '\0';
    auto fail = [&]() {
        if (img != nullptr) FreeImgData(img);
        return 0;
    };
    ImgStream stream;
    memset(&stream, 0, sizeof(stream));
    if (from_file) {
        const int size = ImgFileSize(path);
        if (size < 1) return fail();
        stream.file = fopen(path, "rbe");
        if (stream.file == nullptr) return fail();
        stream.fileSize = size;
    } else {
        if (data == nullptr || length < 8) return fail();
        stream.data = const_cast<unsigned char*>(data);
        stream.capacity = length;
    }
    TIFF* tif = OpenClient(from_file ? path : kReadName, "r", &stream);
    uint32_t* raster = nullptr;
    int ok = 0;
    uint32_t w = 0, h = 0;
    int out_layout = 0, res = 0;
    do {
        if (tif == nullptr || TIFFNumberOfDirectories(tif) == 0 || !TIFFSetDirectory(tif, 0)) break;
        if (!TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &w) || !TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &h)) break;
        if (!ReadableGeometry(tif, w, h)) break;
        if (dpi != nullptr) res = ReadResolution(tif);
        if (img == nullptr) {
            uint16_t bps = 1, spp = 1;
            if (!TIFFGetField(tif, TIFFTAG_BITSPERSAMPLE, &bps)) bps = 1;
            if (!TIFFGetField(tif, TIFFTAG_SAMPLESPERPIXEL, &spp)) spp = 1;
            out_layout = static_cast<unsigned>(bps) * spp < 9u ? 2 : 0;
            ok = 1;
            break;
        }
        const int iw = static_cast<int>(w), ih = static_cast<int>(h);
        const int raster_bytes = ImgPlaneSize(iw, ih, 4);
        if (raster_bytes <= 0) break;
        raster = static_cast<uint32_t*>(_TIFFmalloc(raster_bytes));
        if (raster == nullptr) break;
        if (!TIFFReadRGBAImageOriented(tif, w, h, raster, ORIENTATION_TOPLEFT, 1)) break;
        const size_t n = static_cast<size_t>(iw) * ih;
        if (request < 0) {
            out_layout = 2;
            for (size_t i = 0; i < n; ++i) {
                const uint32_t p = raster[i];
                if (TIFFGetR(p) != TIFFGetG(p) || TIFFGetG(p) != TIFFGetB(p)) {
                    out_layout = 0;
                    break;
                }
            }
        } else {
            out_layout = request > 2 ? 0 : request;
        }
        if (!AllocImgData(img, nullptr, nullptr, nullptr, iw, ih, out_layout)) break;
        unsigned char* d = *img;
        for (size_t i = 0; i < n; ++i) {
            const uint32_t p = raster[i];
            const unsigned char rgb[3] = {static_cast<unsigned char>(TIFFGetR(p)),
                                          static_cast<unsigned char>(TIFFGetG(p)),
                                          static_cast<unsigned char>(TIFFGetB(p))};
            if (out_layout == 0) {
                memcpy(d, rgb, 3);
                d += 3;
            } else if (out_layout == 1) {
                *d++ = rgb[1];
            } else {
                *d++ = static_cast<unsigned char>(LumaRgb(rgb));
            }
        }
        ok = 1;
    } while (false);
    if (raster != nullptr) _TIFFfree(raster);
    if (tif != nullptr) TIFFClose(tif);
    if (stream.file != nullptr) fclose(stream.file);
    if (!ok) return fail();
    if (width != nullptr) *width = static_cast<int>(w);
    if (height != nullptr) *height = static_cast<int>(h);
    if (layout != nullptr) *layout = out_layout;
    if (dpi != nullptr) *dpi = res;
    return 1;
}
