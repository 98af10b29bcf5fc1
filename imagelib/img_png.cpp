// PNG encoder and decoder over libpng, in files and in memory.
#include "img_png.h"

#include <csetjmp>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <png.h>

#include "img_buffer.h"
#include "img_codec.h"
#include "img_codec_util.h"

using namespace imgcodec;

namespace {

constexpr int kSigBytes = 4;  // signature bytes checked before libpng takes over

// Memory I/O of one call: the capacity when writing, the data length when reading.
struct PngMemIo {
    unsigned char* data;
    int size;
    int position;
};


}  // namespace

// libpng memory I/O: the io pointer is the call's PngMemIo.
QV_EXPORT void pngWriterCallback(png_structp png, png_bytep block, png_size_t size) {
    PngMemIo* io = static_cast<PngMemIo*>(png_get_io_ptr(png));
    if (size > static_cast<png_size_t>(io->size - io->position)) png_error(png, "pngWriterCallback failed");
    memcpy(io->data + io->position, block, size);
    io->position += static_cast<int>(size);
}

QV_EXPORT void pngReaderCallback(png_structp png, png_bytep block, png_size_t size) {
    PngMemIo* io = static_cast<PngMemIo*>(png_get_io_ptr(png));
    if (size > static_cast<png_size_t>(io->size - io->position)) png_error(png, "pngReaderCallback failed");
    memcpy(block, io->data + io->position, size);
    io->position += static_cast<int>(size);
}

QV_EXPORT void PngFlushNop(png_structp) {}

namespace {

struct WriteJob {
    png_structp png;
    png_infop info;
    FILE* file;
    PngMemIo io;
    unsigned char** rows;
    const unsigned char* pixels;
    int width, height, layout, kind, ppm;
};

int ColourType(int kind) {
    switch (kind) {
        case 0: return PNG_COLOR_TYPE_RGB;
        case 4: case 5: return PNG_COLOR_TYPE_RGB_ALPHA;
        case 6: return PNG_COLOR_TYPE_GRAY_ALPHA;
        default: return PNG_COLOR_TYPE_GRAY;
    }
}

int KindBytes(int kind) {
    switch (kind) {
        case 0: return 3;
        case 4: case 5: return 4;
        case 6: return 2;
        default: return 1;
    }
}

unsigned char Unpremultiply(unsigned char c, unsigned char a) {
    if (a == 0) return c;
    const int v = c * 255 / a;
    return static_cast<unsigned char>(v > 255 ? 255 : v);
}

// Converts the pixels into the row table in the written kind.
void FillRows(const WriteJob* job) {
    const int w = job->width, kind = job->kind, layout = job->layout;
    const int in_bpp = ImgPixelSize(layout);
    for (int y = 0; y < job->height; ++y) {
        const unsigned char* s = job->pixels + static_cast<size_t>(y) * w * in_bpp;
        unsigned char* d = job->rows[y];
        for (int x = 0; x < w; ++x, s += in_bpp) {
            if (layout == 6) {
                d[0] = s[0];
                d[1] = s[1];
                d += 2;
            } else if (layout == 5) {
                d[0] = s[2];
                d[1] = s[1];
                d[2] = s[0];
                d[3] = s[3];
                d += 4;
            } else if (layout == 4) {
                d[0] = Unpremultiply(s[2], s[3]);
                d[1] = Unpremultiply(s[1], s[3]);
                d[2] = Unpremultiply(s[0], s[3]);
                d[3] = s[3];
                d += 4;
            } else if (layout == 0) {
                if (kind == 0) {
                    d[0] = s[0];
                    d[1] = s[1];
                    d[2] = s[2];
                    d += 3;
                } else if (kind == 1) {
                    *d++ = s[1];
                } else {
                    *d++ = static_cast<unsigned char>(LumaRgb(s));
                }
            } else if (kind == 0) {
                d[0] = d[1] = d[2] = s[0];
                d += 3;
            } else {
                *d++ = s[0];
            }
        }
    }
}

// Between setjmp and a long jump only *job (outside this frame) changes.
int RunWrite(WriteJob* job) {
    job->png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    if (job->png == nullptr) return 0;
    job->info = png_create_info_struct(job->png);
    if (job->info == nullptr) return 0;
    if (setjmp(png_jmpbuf(job->png))) return 0;
    if (job->file != nullptr)
        png_init_io(job->png, job->file);
    else
        png_set_write_fn(job->png, &job->io, pngWriterCallback, PngFlushNop);
    png_set_IHDR(job->png, job->info, static_cast<png_uint_32>(job->width),
                 static_cast<png_uint_32>(job->height), 8, ColourType(job->kind), PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_set_pHYs(job->png, job->info, static_cast<png_uint_32>(job->ppm),
                 static_cast<png_uint_32>(job->ppm), PNG_RESOLUTION_METER);
    job->rows = MakeRowPointers(job->width, job->height, KindBytes(job->kind));
    if (job->rows == nullptr) return 0;
    FillRows(job);
    png_set_rows(job->png, job->info, job->rows);
    png_write_png(job->png, job->info, PNG_TRANSFORM_IDENTITY, nullptr);
    return 1;
}

struct ReadJob {
    png_structp png;
    png_infop info;
    FILE* file;
    PngMemIo io;
    unsigned char** image;
    int request;
    int width, height, layout, dpi;
    bool want_dpi;
};

int ReadResolution(png_structp png, png_infop info) {
    png_uint_32 x = 0, y = 0;
    int unit = 0;
    if (!png_get_pHYs(png, info, &x, &y, &unit)) return 0;
    if (unit == PNG_RESOLUTION_METER) return PpmToDpi(static_cast<int>(x));
    return static_cast<int>(x);
}

int RunRead(ReadJob* job) {
    job->png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    if (job->png == nullptr) return 0;
    job->info = png_create_info_struct(job->png);
    if (job->info == nullptr) return 0;
    if (setjmp(png_jmpbuf(job->png))) return 0;
    // Nothing larger than the library accepts is ever allocated.
    png_set_user_limits(job->png, kImgMaxSide, kImgMaxSide);
    if (job->file != nullptr)
        png_init_io(job->png, job->file);
    else
        png_set_read_fn(job->png, &job->io, pngReaderCallback);
    png_set_sig_bytes(job->png, kSigBytes);
    if (job->image == nullptr) {
        png_read_info(job->png, job->info);
        png_uint_32 w = 0, h = 0;
        int depth = 0, colour = 0;
        png_get_IHDR(job->png, job->info, &w, &h, &depth, &colour, nullptr, nullptr, nullptr);
        job->width = static_cast<int>(w);
        job->height = static_cast<int>(h);
        if (colour == PNG_COLOR_TYPE_GRAY || colour == PNG_COLOR_TYPE_GRAY_ALPHA) {
            job->layout = 2;
        } else if (colour == PNG_COLOR_TYPE_PALETTE) {
            png_colorp palette = nullptr;
            int entries = 0;
            job->layout = 0;
            if (png_get_PLTE(job->png, job->info, &palette, &entries) && entries > 0) {
                job->layout = 2;
                for (int i = 0; i < entries; ++i)
                    if (palette[i].red != palette[i].green || palette[i].green != palette[i].blue)
                        job->layout = 0;
            }
        } else {
            job->layout = 0;
        }
        if (job->want_dpi) job->dpi = ReadResolution(job->png, job->info);
        return 1;
    }
    int transforms = PNG_TRANSFORM_STRIP_16 | PNG_TRANSFORM_PACKING | PNG_TRANSFORM_EXPAND |
                     PNG_TRANSFORM_GRAY_TO_RGB;
    int request = job->request;
    if (request != -2 && request != -3) transforms |= PNG_TRANSFORM_STRIP_ALPHA;
    png_read_png(job->png, job->info, transforms, nullptr);
    png_uint_32 w = 0, h = 0;
    int depth = 0, colour = 0;
    png_get_IHDR(job->png, job->info, &w, &h, &depth, &colour, nullptr, nullptr, nullptr);
    int bpp;
    if (colour == PNG_COLOR_TYPE_RGB) {
        bpp = 3;
        if (request == -2 || request == -3) request = -1;
    } else if (colour == PNG_COLOR_TYPE_RGB_ALPHA) {
        bpp = 4;
    } else {
        return 0;
    }
    if (depth != 8 || w == 0 || h == 0 || w > static_cast<png_uint_32>(kImgMaxSide) ||
        h > static_cast<png_uint_32>(kImgMaxSide))
        return 0;
    const int width = static_cast<int>(w), height = static_cast<int>(h);
    if (png_get_rowbytes(job->png, job->info) != static_cast<png_size_t>(bpp) * w) return 0;
    png_bytepp rows = png_get_rows(job->png, job->info);
    if (rows == nullptr) return 0;
    if (job->want_dpi) job->dpi = ReadResolution(job->png, job->info);
    int layout;
    if (request == -2) {
        layout = 4;
    } else if (request == -3) {
        layout = 5;
    } else if (request < 0) {
        layout = 2;
        for (int y = 0; y < height && layout == 2; ++y)
            for (int x = 0; x < width; ++x) {
                const png_bytep p = rows[y] + x * bpp;
                if (p[0] != p[1] || p[1] != p[2]) {
                    layout = 0;
                    break;
                }
            }
    } else {
        layout = request > 2 ? 0 : request;
    }
    if (!AllocImgData(job->image, nullptr, nullptr, nullptr, width, height, layout)) return 0;
    unsigned char* d = *job->image;
    for (int y = 0; y < height; ++y) {
        const unsigned char* p = rows[y];
        for (int x = 0; x < width; ++x, p += bpp) {
            switch (layout) {
                case 0: d[0] = p[0]; d[1] = p[1]; d[2] = p[2]; d += 3; break;
                case 1: *d++ = p[1]; break;
                case 4: {
                    const double a = p[3] / 255.0;
                    d[0] = static_cast<unsigned char>(p[2] * a);
                    d[1] = static_cast<unsigned char>(p[1] * a);
                    d[2] = static_cast<unsigned char>(p[0] * a);
                    d[3] = p[3];
                    d += 4;
                    break;
                }
                case 5: d[0] = p[2]; d[1] = p[1]; d[2] = p[0]; d[3] = p[3]; d += 4; break;
                default: *d++ = static_cast<unsigned char>(LumaRgb(p)); break;
            }
        }
    }
    job->width = width;
    job->height = height;
    job->layout = layout;
    return 1;
}

// Deflate expands at most about 1032 times: a header whose raster could not come from this
// much data is refused before libpng allocates the rows.
constexpr uint64_t kMaxInflation = 1100;

bool RasterPlausible(const unsigned char* head, size_t head_len, uint64_t total) {
    if (head_len < 26 || memcmp(head + 12, "IHDR", 4) != 0) return true;  // libpng decides
    auto be32 = [&](size_t at) {
        return (uint64_t(head[at]) << 24) | (uint64_t(head[at + 1]) << 16) | (uint64_t(head[at + 2]) << 8) |
               head[at + 3];
    };
    const uint64_t w = be32(16), h = be32(20), depth = head[24];
    static const int kChannels[7] = {1, 0, 3, 1, 2, 0, 4};
    const int ch = head[25] < 7 ? kChannels[head[25]] : 0;
    if (ch == 0) return true;
    const uint64_t raw = h * ((w * ch * depth + 7) / 8 + 1);
    return raw <= kMaxInflation * total;
}

}  // namespace

unsigned char** MakeRowPointers(int width, int height, int bytesPerPixel) {
    const int size = ImgPlaneSize(width, height, bytesPerPixel);
    if (size <= 0) return nullptr;
    unsigned char* block = static_cast<unsigned char*>(malloc(static_cast<size_t>(size)));
    if (block == nullptr) return nullptr;
    unsigned char** table =
        static_cast<unsigned char**>(malloc(sizeof(unsigned char*) * (static_cast<size_t>(height) + 1)));
    if (table == nullptr) {
        free(block);
        return nullptr;
    }
    table[0] = block;
    const size_t stride = static_cast<size_t>(width) * bytesPerPixel;
    for (int y = 0; y < height; ++y) table[y + 1] = block + stride * y;
    return table + 1;
}

void FreeRowPointers(unsigned char*** rows) {
    if (rows == nullptr || *rows == nullptr) return;
    unsigned char** table = *rows - 1;
    free(table[0]);
    free(table);
    *rows = nullptr;
}

int WritePng(const char* path, const unsigned char* pixels, int width, int height, int layout, int dpi,
             int outputChoice, unsigned char** buf, int* length) {
    const bool to_file = path != nullptr && path[0] != '\0';
    if (!to_file && (buf == nullptr || length == nullptr)) return 0;
    auto fail = [&]() {
        if (!to_file) FreeImgBuffLen(buf, length);
        return 0;
    };
    if (pixels == nullptr || !SizeOk(width, height) || layout < 0 || layout > 6 || outputChoice > 2)
        return fail();
    if (outputChoice < 0) outputChoice = layout;
    WriteJob job;
    memset(&job, 0, sizeof(job));
    job.pixels = pixels;
    job.width = width;
    job.height = height;
    job.layout = layout;
    job.kind = layout <= 3 ? outputChoice : layout;
    job.ppm = DpiToPpm(dpi < 0 ? 500 : dpi);
    // The encoded size must stay within an int: n + n / 2 + 5120 for the largest kind.
    const int plane = ImgPlaneSize(width, height, KindBytes(job.kind));
    if (plane <= 0 || plane > (INT_MAX - 5120) / 3 * 2) return fail();
    if (to_file) {
        job.file = fopen(path, "wb");
        if (job.file == nullptr) return 0;
    } else {
        if (!GetEncodeCapacity(buf, length, width, height, job.kind)) return fail();
        job.io.data = *buf;
        job.io.size = *length;
        job.io.position = 0;
    }
    int ok = RunWrite(&job);
    if (job.png != nullptr) png_destroy_write_struct(&job.png, job.info != nullptr ? &job.info : nullptr);
    FreeRowPointers(&job.rows);
    if (to_file) {
        if (fclose(job.file) != 0) ok = 0;
        return ok;
    }
    if (!ok) return fail();
    return job.io.position;
}

int ReadPng(const char* path, unsigned char** img, int* width, int* height, int* layout, int* dpi,
            int request, const unsigned char* data, int length) {
    const bool from_file = path != nullptr && path[0] != '\0';
    auto fail = [&]() {
        if (img != nullptr) FreeImgData(img);
        return 0;
    };
    ReadJob job;
    memset(&job, 0, sizeof(job));
    unsigned char sig[kSigBytes];
    if (from_file) {
        job.file = fopen(path, "rb");
        if (job.file == nullptr) return fail();
        if (fread(sig, 1, kSigBytes, job.file) != static_cast<size_t>(kSigBytes)) {
            fclose(job.file);
            return fail();
        }
    } else {
        if (data == nullptr || length < 8) return fail();
        memcpy(sig, data, kSigBytes);
        job.io.data = const_cast<unsigned char*>(data);
        job.io.size = length;
        job.io.position = kSigBytes;
    }
    bool plausible = true;
    if (img != nullptr) {
        if (from_file) {
            unsigned char head[26];
            long size = -1;
            if (fseek(job.file, 0, SEEK_END) == 0) size = ftell(job.file);
            const size_t got = fseek(job.file, 0, SEEK_SET) == 0 ? fread(head, 1, sizeof(head), job.file) : 0;
            plausible = size > 0 && RasterPlausible(head, got, static_cast<uint64_t>(size)) &&
                        fseek(job.file, kSigBytes, SEEK_SET) == 0;
        } else {
            plausible = RasterPlausible(data, static_cast<size_t>(length), static_cast<uint64_t>(length));
        }
    }
    int ok = 0;
    if (plausible && png_sig_cmp(sig, 0, kSigBytes) == 0) {
        job.image = img;
        job.request = request;
        job.want_dpi = dpi != nullptr;
        ok = RunRead(&job);
    }
    if (job.png != nullptr) png_destroy_read_struct(&job.png, job.info != nullptr ? &job.info : nullptr, nullptr);
    if (job.file != nullptr) fclose(job.file);
    if (!ok) return fail();
    if (width != nullptr) *width = job.width;
    if (height != nullptr) *height = job.height;
    if (layout != nullptr) *layout = job.layout;
    if (dpi != nullptr) *dpi = job.dpi;
    return 1;
}
