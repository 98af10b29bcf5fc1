// PNG encoder and decoder over libpng, in files and in memory.
#include "img_png.h"

#include <csetjmp>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <png.h>
#include <sys/stat.h>

#include "img_buffer.h"
#include "img_codec.h"
#include "img_codec_util.h"
#include "qv_decode_budget.h"

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
    case 4:
    case 5: return PNG_COLOR_TYPE_RGB_ALPHA;
    case 6: return PNG_COLOR_TYPE_GRAY_ALPHA;
    default: return PNG_COLOR_TYPE_GRAY;
    }
}

int KindBytes(int kind) {
    switch (kind) {
    case 0: return 3;
    case 4:
    case 5: return 4;
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
    png_set_IHDR(job->png, job->info, static_cast<png_uint_32>(job->width), static_cast<png_uint_32>(job->height), 8,
                 ColourType(job->kind), PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_set_pHYs(job->png, job->info, static_cast<png_uint_32>(job->ppm), static_cast<png_uint_32>(job->ppm),
                 PNG_RESOLUTION_METER);
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
    png_bytepp rows;     // pointers into *image while it is decoded whole
    unsigned char* row;  // one decoded row on its way into *image
    uint64_t input_bytes;
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

// Work caps of libpng that do not depend on the pixels: no ancillary chunk may ask for more than
// this (a few hundred bytes of header can otherwise declare a 2 GiB sPLT), and every ancillary
// chunk the reader does not use is skipped unread.
constexpr png_alloc_size_t kMaxChunkBytes = png_alloc_size_t(4) << 20;

void LimitLibpng(png_structp png) {
    png_set_user_limits(png, qv::kMaxDecodeSide, qv::kMaxDecodeSide);
    png_set_chunk_malloc_max(png, kMaxChunkBytes);
    // Ignore every ancillary chunk but tRNS (it gives the alpha of palette and grey images), then
    // handle pHYs again for the resolution.
    png_set_keep_unknown_chunks(png, PNG_HANDLE_CHUNK_NEVER, nullptr, -1);
    static const png_byte kPhys[] = {'p', 'H', 'Y', 's', '\0'};
    png_set_keep_unknown_chunks(png, PNG_HANDLE_CHUNK_AS_DEFAULT, kPhys, 1);
}

// The header's image within the decode budget, and a raster the file can hold (no more than
// deflate can expand the whole file to).
bool HeaderAccepted(png_structp png, png_infop info, uint64_t input_bytes) {
    const uint64_t w = png_get_image_width(png, info), h = png_get_image_height(png, info);
    if (!qv::decode_size_allowed(w, h)) return false;
    const uint64_t raw = h * (uint64_t{png_get_rowbytes(png, info)} + 1);  // each row has its filter byte
    return raw <= qv::kDeflateMaxExpansion * input_bytes;
}

int InfoLayout(png_structp png, png_infop info) {
    const int colour = png_get_color_type(png, info);
    if (colour == PNG_COLOR_TYPE_GRAY || colour == PNG_COLOR_TYPE_GRAY_ALPHA) return 2;
    if (colour != PNG_COLOR_TYPE_PALETTE) return 0;
    png_colorp palette = nullptr;
    int entries = 0;
    if (!png_get_PLTE(png, info, &palette, &entries) || entries <= 0) return 0;
    for (int i = 0; i < entries; ++i)
        if (palette[i].red != palette[i].green || palette[i].green != palette[i].blue) return 0;
    return 2;
}

// Converts n decoded R,G,B(,A) pixels of bpp bytes into the layout (whose pixels are never
// larger), front to back, so in place as well.
void Convert(const unsigned char* src, unsigned char* dst, size_t n, int bpp, int layout) {
    const unsigned char* p = src;
    unsigned char* d = dst;
    for (size_t i = 0; i < n; ++i, p += bpp) {
        const unsigned char r = p[0], g = p[1], b = p[2], a = bpp == 4 ? p[3] : 255;
        switch (layout) {
        case 0:
            d[0] = r;
            d[1] = g;
            d[2] = b;
            d += 3;
            break;
        case 1: *d++ = g; break;
        case 4: {
            const double f = a / 255.0;
            d[0] = static_cast<unsigned char>(b * f);
            d[1] = static_cast<unsigned char>(g * f);
            d[2] = static_cast<unsigned char>(r * f);
            d[3] = a;
            d += 4;
            break;
        }
        case 5:
            d[0] = b;
            d[1] = g;
            d[2] = r;
            d[3] = a;
            d += 4;
            break;
        default: {
            const unsigned char rgb[3] = {r, g, b};
            *d++ = static_cast<unsigned char>(LumaRgb(rgb));
            break;
        }
        }
    }
}

bool AllGrey(const unsigned char* px, size_t n, int bpp) {
    for (size_t i = 0; i < n; ++i, px += bpp)
        if (px[0] != px[1] || px[1] != px[2]) return false;
    return true;
}

int RunRead(ReadJob* job) {
    job->png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    if (job->png == nullptr) return 0;
    job->info = png_create_info_struct(job->png);
    if (job->info == nullptr) return 0;
    if (setjmp(png_jmpbuf(job->png))) return 0;
    LimitLibpng(job->png);
    if (job->file != nullptr)
        png_init_io(job->png, job->file);
    else
        png_set_read_fn(job->png, &job->io, pngReaderCallback);
    png_set_sig_bytes(job->png, kSigBytes);
    png_read_info(job->png, job->info);
    if (!HeaderAccepted(job->png, job->info, job->input_bytes)) return 0;
    job->width = static_cast<int>(png_get_image_width(job->png, job->info));
    job->height = static_cast<int>(png_get_image_height(job->png, job->info));
    if (job->image == nullptr) {
        job->layout = InfoLayout(job->png, job->info);
        if (job->want_dpi) job->dpi = ReadResolution(job->png, job->info);
        return 1;
    }
    int request = job->request;
    const bool grey_file = InfoLayout(job->png, job->info) == 2;  // every decoded pixel has R = G = B
    const bool interlaced = png_get_interlace_type(job->png, job->info) != PNG_INTERLACE_NONE;
    png_set_strip_16(job->png);
    png_set_packing(job->png);
    png_set_expand(job->png);
    png_set_gray_to_rgb(job->png);
    if (request != -2 && request != -3) png_set_strip_alpha(job->png);
    png_set_interlace_handling(job->png);
    png_read_update_info(job->png, job->info);
    const int colour = png_get_color_type(job->png, job->info);
    int bpp;
    if (colour == PNG_COLOR_TYPE_RGB) {
        bpp = 3;
        if (request == -2 || request == -3) request = -1;
    } else if (colour == PNG_COLOR_TYPE_RGB_ALPHA) {
        bpp = 4;
    } else {
        return 0;
    }
    const int width = job->width, height = job->height;
    if (png_get_bit_depth(job->png, job->info) != 8 ||
        png_get_rowbytes(job->png, job->info) != static_cast<png_size_t>(bpp) * width)
        return 0;
    const size_t n = static_cast<size_t>(width) * height;
    const size_t stride = static_cast<size_t>(width) * bpp;
    int layout = -1;  // not known before the pixels
    if (request == -2)
        layout = 4;
    else if (request == -3)
        layout = 5;
    else if (request >= 0)
        layout = request > 2 ? 0 : request;
    else if (grey_file)
        layout = 2;
    if (layout >= 0 && !interlaced) {
        // Row by row into the image: nothing larger than it is allocated.
        if (!AllocImgData(job->image, nullptr, nullptr, nullptr, width, height, layout)) return 0;
        const size_t out_stride = static_cast<size_t>(width) * ImgAllocPixelSize(layout);
        const bool direct = layout == 0 && bpp == 3;
        if (!direct) {
            job->row = static_cast<unsigned char*>(malloc(stride));
            if (job->row == nullptr) return 0;
        }
        for (int y = 0; y < height; ++y) {
            unsigned char* out = *job->image + out_stride * y;
            png_read_row(job->png, direct ? out : job->row, nullptr);
            if (!direct) Convert(job->row, out, static_cast<size_t>(width), bpp, layout);
        }
        png_read_end(job->png, job->info);
    } else {
        // The whole raster first, in the caller's image, then narrowed to the layout in place.
        if (!AllocImgData(job->image, nullptr, nullptr, nullptr, width, height, bpp == 4 ? 5 : 0)) return 0;
        job->rows = static_cast<png_bytepp>(malloc(sizeof(png_bytep) * static_cast<size_t>(height)));
        if (job->rows == nullptr) return 0;
        for (int y = 0; y < height; ++y) job->rows[y] = *job->image + stride * y;
        png_read_image(job->png, job->rows);
        png_read_end(job->png, job->info);
        if (layout < 0) layout = AllGrey(*job->image, n, bpp) ? 2 : 0;
        if (layout != 0 || bpp != 3) Convert(*job->image, *job->image, n, bpp, layout);
        if (ImgAllocPixelSize(layout) < bpp && !MoveToExactBlock(job->image, n * ImgAllocPixelSize(layout))) return 0;
    }
    if (job->want_dpi) job->dpi = ReadResolution(job->png, job->info);
    job->layout = layout;
    return 1;
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
    if (pixels == nullptr || !SizeOk(width, height) || layout < 0 || layout > 6 || outputChoice > 2) return fail();
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
        job.file = fopen(path, "wbe");
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

int ReadPng(const char* path, unsigned char** img, int* width, int* height, int* layout, int* dpi, int request,
            const unsigned char* data, int length) {
    const bool from_file = path != nullptr && path[0] != '\0';
    auto fail = [&]() {
        if (img != nullptr) FreeImgData(img);
        return 0;
    };
    ReadJob job;
    memset(&job, 0, sizeof(job));
    unsigned char sig[kSigBytes];
    if (from_file) {
        job.file = fopen(path, "rbe");
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
    if (from_file) {
        struct stat st;
        if (fstat(fileno(job.file), &st) == 0 && st.st_size > 0) job.input_bytes = static_cast<uint64_t>(st.st_size);
    } else {
        job.input_bytes = static_cast<uint64_t>(length);
    }
    int ok = 0;
    if (png_sig_cmp(sig, 0, kSigBytes) == 0) {
        job.image = img;
        job.request = request;
        job.want_dpi = dpi != nullptr;
        ok = RunRead(&job);
    }
    if (job.png != nullptr) png_destroy_read_struct(&job.png, job.info != nullptr ? &job.info : nullptr, nullptr);
    free(job.rows);
    free(job.row);
    if (job.file != nullptr) fclose(job.file);
    if (!ok) return fail();
    if (width != nullptr) *width = job.width;
    if (height != nullptr) *height = job.height;
    if (layout != nullptr) *layout = job.layout;
    if (dpi != nullptr) *dpi = job.dpi;
    return 1;
}
