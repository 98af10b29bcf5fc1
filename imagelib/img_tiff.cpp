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
// The strips or tiles of one plane may cover at most twice the pixel limit: every tiling with
// tiles of up to 1024 a side fits, tiles that overhang the image by nearly their whole size (and
// so decode up to four times its pixels) do not.
constexpr uint64_t kMaxUnitAreaFactor = 2;
// Rows a strip image is read in at a time.
constexpr uint32_t kBandRows = 16;
// Bytes at the start of a JPEG strip or tile searched for its frame and first scan headers.
constexpr tmsize_t kJpegHeaderBytes = 64 * 1024;
// libjpeg's own tables and row buffers beside the coefficients (libtiff counts the same).
constexpr uint64_t kJpegStateBytes = 1 << 20;

// Any one allocation of libtiff may take what a decode may cost beside the raster.
tmsize_t MaxSingleAlloc() { return static_cast<tmsize_t>(qv::decode_memory_limit() - qv::decode_raster_byte_limit()); }

TIFF* OpenClient(const char* name, const char* mode, ImgStream* stream) {
    QuietTiff();
#if TIFFLIB_VERSION >= 20221213
    if (mode[0] == 'r') {
        TIFFOpenOptions* opts = TIFFOpenOptionsAlloc();
        if (opts == nullptr) return nullptr;
        TIFFOpenOptionsSetMaxSingleMemAlloc(opts, MaxSingleAlloc());
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

// Whether libjpeg decodes one strip or tile in more than one scan (a progressive frame, or a first
// scan without every component) and so keeps every coefficient of it, from the markers before the
// first scan, skipped as libjpeg skips them. Headers it cannot find count as more than one scan.
bool JpegMultiScan(const unsigned char* p, size_t n) {
    if (n < 2 || p[0] != 0xFF || p[1] != 0xD8) return true;
    int components = -1;
    bool progressive = false;
    size_t i = 2;
    while (i < n) {
        if (p[i] != 0xFF) {
            ++i;
            continue;
        }
        size_t j = i + 1;
        while (j < n && p[j] == 0xFF) ++j;
        if (j >= n) return true;
        const unsigned char m = p[j];
        i = j + 1;
        if (m == 0x00 || m == 0x01 || (m >= 0xD0 && m <= 0xD7)) continue;  // stuffed zero, TEM, RSTn
        if (m == 0xD8 || m == 0xD9 || i + 2 > n) return true;
        const size_t len = static_cast<size_t>(p[i]) << 8 | p[i + 1];
        if (len < 2 || len > n - i) return true;
        const unsigned char* seg = p + i + 2;
        if (m >= 0xC0 && m <= 0xCF && m != 0xC4 && m != 0xC8 && m != 0xCC) {
            // libjpeg decodes these four frame types and fails on the others
            if (len < 8 || (m != 0xC0 && m != 0xC1 && m != 0xC2 && m != 0xC9 && m != 0xCA)) return true;
            progressive = m == 0xC2 || m == 0xCA;
            components = seg[5];
        } else if (m == 0xDA) {
            return len < 3 || components < 0 || progressive || seg[0] != components;
        }
        i += len;
    }
    return true;
}

// Whether any strip or tile of a JPEG image decodes in more than one scan.
bool AnyJpegMultiScan(TIFF* tif) {
    unsigned char* head = static_cast<unsigned char*>(_TIFFmalloc(kJpegHeaderBytes));
    if (head == nullptr) return true;
    const bool tiled = TIFFIsTiled(tif);
    const uint32_t units = tiled ? TIFFNumberOfTiles(tif) : TIFFNumberOfStrips(tif);
    bool multi = false;
    for (uint32_t u = 0; u < units && !multi; ++u) {
        const tmsize_t n =
            tiled ? TIFFReadRawTile(tif, u, head, kJpegHeaderBytes) : TIFFReadRawStrip(tif, u, head, kJpegHeaderBytes);
        multi = n < 0 || JpegMultiScan(head, static_cast<size_t>(n));
    }
    _TIFFfree(head);
    return multi;
}

// libjpeg's buffer of every coefficient of a uw x uh strip or tile: the first component at full size
// and the others subsampled by hs x vs (as libtiff requires of JPEG data), in 128-byte blocks
// rounded up to whole sampling units.
uint64_t JpegCoefficientBytes(uint64_t uw, uint64_t uh, uint64_t components, uint64_t hs, uint64_t vs) {
    auto blocks = [](uint64_t n, uint64_t sub) { return (n + 8 * sub - 1) / (8 * sub); };
    const uint64_t first = (blocks(uw, 1) + hs) * (blocks(uh, 1) + vs);
    const uint64_t others = (components - 1) * (blocks(uw, hs) + 1) * (blocks(uh, vs) + 1);
    return 128 * (first + others) + kJpegStateBytes;
}

// Read in bands of scanlines instead of whole strips: strips of contiguous samples stored top-down and
// not subsampled (libtiff's JPEG codec upsamples itself). libtiff then holds no whole strip, and
// PixarLog and SGILog write only as much of their work buffers as one band needs.
bool ReadsInBands(TIFF* tif) {
    uint16_t spp = 1, planar = PLANARCONFIG_CONTIG, orientation = ORIENTATION_TOPLEFT, photometric = 0, compression = 0;
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &spp);
    TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &planar);
    TIFFGetFieldDefaulted(tif, TIFFTAG_ORIENTATION, &orientation);
    TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &compression);
    TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric);
    return !TIFFIsTiled(tif) && (planar == PLANARCONFIG_CONTIG || spp == 1) &&
           (orientation == ORIENTATION_TOPLEFT || orientation == ORIENTATION_LEFTTOP) &&
           (photometric != PHOTOMETRIC_YCBCR || compression == COMPRESSION_JPEG);
}

// The image within the decode budget, a sample layout the RGBA reader handles, strips or tiles that
// cover the image without decoding much beyond it, and what the decode will hold within the memory
// limit: all from the tags (and the JPEG headers of large strips or tiles), before libtiff sizes and
// clears anything, in every mode.
bool DecodeFits(TIFF* tif, uint32_t w, uint32_t h) {
    if (!qv::decode_size_allowed(w, h)) return false;
    uint16_t spp = 1, bps = 1, planar = PLANARCONFIG_CONTIG, compression = COMPRESSION_NONE, photometric = 0;
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &spp);
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bps);
    TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &planar);
    TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &compression);
    if (spp < 1 || spp > kMaxSamplesPerPixel || bps < 1 || bps > kMaxBitsPerSample) return false;
    // jbig-kit allocates the picture that its own header claims and aborts the process when it cannot
    if (compression == COMPRESSION_JBIG) return false;
    char why[1024];
    if (!TIFFRGBAImageOK(tif, why)) return false;
    const bool contig = planar == PLANARCONFIG_CONTIG || spp == 1;
    const bool ycbcr = TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric) && photometric == PHOTOMETRIC_YCBCR;
    // the RGBA reader has libjpeg convert YCbCr to RGB, which sizes strips and tiles at full resolution
    if (compression == COMPRESSION_JPEG && ycbcr && contig &&
        !TIFFSetField(tif, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB))
        return false;
    const bool tiled = TIFFIsTiled(tif);
    uint32_t uw = w, uh = h, rows = h;
    TIFFGetFieldDefaulted(tif, TIFFTAG_ROWSPERSTRIP, &rows);
    if (tiled) {
        if (!TIFFGetField(tif, TIFFTAG_TILEWIDTH, &uw) || !TIFFGetField(tif, TIFFTAG_TILELENGTH, &uh)) return false;
    } else {
        uh = std::min(rows, h);
    }
    const uint64_t max_area = kMaxUnitAreaFactor * qv::decode_pixel_limit();
    if (uw < 1 || uh < 1 || uw > max_area || uh > max_area) return false;
    const uint64_t across = (uint64_t{w} + uw - 1) / uw * uw, down = (uint64_t{h} + uh - 1) / uh * uh;
    if (across * down > max_area) return false;
    const uint64_t unit = tiled ? TIFFTileSize64(tif) : TIFFStripSize64(tif);
    const uint64_t planes = contig ? 1 : std::min<uint64_t>(spp, 4);
    // one strip or tile with all its samples holds no more than the raster of the largest image
    if (unit == 0 || unit * planes > qv::decode_raster_byte_limit()) return false;

    // What libtiff holds while it fills the raster: the strip or tile buffers, or a band of rows, and
    // what the codec keeps beside them.
    const bool bands = ReadsInBands(tif);
    const uint64_t line = TIFFScanlineSize64(tif);
    uint64_t work = bands ? kBandRows * line : unit * planes;
    const uint64_t unit_pixels = bands ? uint64_t{kBandRows} * w : uint64_t{uw} * uh;
    switch (compression) {
    case COMPRESSION_PIXARLOG: {
        // 16 bits a sample of all rows of a strip, as the tag gives them (tiles have none, so libtiff
        // cannot read them), written only as far as one read asks
        const uint64_t buffer = 2 * (contig ? spp : 1) * (uint64_t{w} * rows + 1);
        if (buffer > static_cast<uint64_t>(MaxSingleAlloc())) return false;
        work += bands ? 2 * kBandRows * line : buffer;
        break;
    }
    case COMPRESSION_SGILOG:
    case COMPRESSION_SGILOG24:  // 32 bits a pixel
        work += 4 * unit_pixels;
        break;
#ifdef COMPRESSION_LERC
    case COMPRESSION_LERC:
#endif
#ifdef COMPRESSION_WEBP
    case COMPRESSION_WEBP:
#endif
        work += unit;  // a whole strip or tile decoded first, then copied
        break;
    default: break;
    }
    const uint64_t pixels = uint64_t{w} * h;
    const uint64_t raster = qv::kRasterPixelBytes * pixels, image = ImgAllocPixelSize(kLayoutRgb) * pixels;
    // libtiff is closed before the image is allocated beside the raster
    auto fits = [&](uint64_t held) { return raster + std::max(held, image) <= qv::decode_memory_limit(); };
    if (compression == COMPRESSION_JPEG) {
        uint16_t hs = 1, vs = 1;
        if (ycbcr && contig) TIFFGetFieldDefaulted(tif, TIFFTAG_YCBCRSUBSAMPLING, &hs, &vs);
        const uint64_t coefficients =
            JpegCoefficientBytes(uw, uh, contig ? spp : 1, std::max<uint16_t>(hs, 1), std::max<uint16_t>(vs, 1));
        if (!fits(work + coefficients) && AnyJpegMultiScan(tif)) work += coefficients;
    }
    return fits(work);
}

// The layout the decode gives for a request of -1 as far as the tags tell: grey for grey
// photometrics and for palettes of grey entries only (as the RGBA reader scales them), else colour.
int InfoLayout(TIFF* tif) {
    uint16_t photometric = 0, bps = 1;
    TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric);
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bps);
    if (photometric == PHOTOMETRIC_MINISBLACK || photometric == PHOTOMETRIC_MINISWHITE ||
        photometric == PHOTOMETRIC_LOGL)
        return kLayoutGreyLuma;
    uint16_t *r = nullptr, *g = nullptr, *b = nullptr;
    if (photometric != PHOTOMETRIC_PALETTE || bps > 8 || !TIFFGetField(tif, TIFFTAG_COLORMAP, &r, &g, &b))
        return kLayoutRgb;
    const size_t n = size_t{1} << bps;
    // a map of 8-bit values is taken as it is, else its high bytes
    bool eight = true;
    for (size_t i = 0; i < n; ++i) eight = eight && r[i] < 256 && g[i] < 256 && b[i] < 256;
    const int shift = eight ? 0 : 8;
    for (size_t i = 0; i < n; ++i) {
        if (r[i] >> shift != g[i] >> shift || g[i] >> shift != b[i] >> shift) return kLayoutRgb;
    }
    return kLayoutGreyLuma;
}

// The RGBA raster of the whole image, top row first.
bool ReadRaster(TIFF* tif, uint32_t* raster, uint32_t w, uint32_t h) {
    char why[1024];
    TIFFRGBAImage img;
    if (!TIFFRGBAImageBegin(&img, tif, 1, why)) return false;
    img.req_orientation = ORIENTATION_TOPLEFT;
    bool ok;
    if (!ReadsInBands(tif) || !img.isContig) {
        ok = TIFFRGBAImageGet(&img, raster, w, h) != 0;
    } else {
        const tmsize_t line = TIFFScanlineSize(tif);
        unsigned char* band = line > 0 ? static_cast<unsigned char*>(_TIFFmalloc(line * kBandRows)) : nullptr;
        ok = band != nullptr;
        for (uint32_t y = 0; y < h && ok; y += kBandRows) {
            const uint32_t n = std::min(kBandRows, h - y);
            for (uint32_t i = 0; i < n && ok; ++i) ok = TIFFReadScanline(tif, band + i * line, y + i, 0) >= 0;
            if (ok) (*img.put.contig)(&img, raster + static_cast<size_t>(y) * w, 0, y, w, n, 0, 0, band);
        }
        if (band != nullptr) _TIFFfree(band);
    }
    TIFFRGBAImageEnd(&img);
    return ok;
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
        if (!DecodeFits(tif, w, h)) break;
        if (dpi != nullptr) res = ReadResolution(tif);
        if (img == nullptr) {
            out_layout = InfoLayout(tif);
            ok = 1;
            break;
        }
        const int iw = static_cast<int>(w), ih = static_cast<int>(h);
        const int raster_bytes = ImgPlaneSize(iw, ih, 4);
        if (raster_bytes <= 0) break;
        raster = static_cast<uint32_t*>(_TIFFmalloc(raster_bytes));
        if (raster == nullptr || !ReadRaster(tif, raster, w, h)) break;
        // the codec's buffers go before the image is allocated
        TIFFClose(tif);
        tif = nullptr;
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
