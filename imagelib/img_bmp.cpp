// BMP encoder and decoder (file or memory) and the file-or-memory stream functions.
#include <sys/stat.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "img_buffer.h"
#include "img_codec.h"
#include "img_stream.h"
#include "qv_decode_budget.h"
#include "qv_owners.h"

namespace {

constexpr unsigned kBmpSignature = 19778;  // "BM"
constexpr int kFileHeaderSize = 14;
constexpr int kInfoHeaderSize = 40;
constexpr int kHeadersSize = kFileHeaderSize + kInfoHeaderSize;
constexpr int kPaletteEntries = 256;
constexpr int kDefaultPpm = 19685;  // 500 dpi

using Bytes = qv::HeapArray<unsigned char>;

struct FileCloser {
    void operator()(FILE* f) const {
        if (f) std::fclose(f);
    }
};
using File = std::unique_ptr<FILE, FileCloser>;

bool SideOk(int v) { return v >= 1 && v <= kImgMaxSide; }
// Every reader hands out a pixel buffer: the budget's side is the buffers' side.
static_assert(kImgMaxSide == qv::kMaxDecodeSide, "decode side and pixel buffer side differ");

int64_t Stride(int64_t width, int bitsPerPixel) { return ((width * bitsPerPixel + 31) >> 5) * 4; }

// Un-premultiplies one colour byte; colour above its alpha clamps instead of wrapping.
unsigned char Unpremultiply(unsigned char c, unsigned char a) {
    if (a == 0) return c;
    double v = c * 255.0 / a;
    return v >= 255.0 ? 255 : static_cast<unsigned char>(v);
}

void ConvertRow(const unsigned char* src, int width, int layout, int kind, unsigned char* row) {
    if (layout >= 1 && layout <= 3) {
        if (kind == 0) {
            for (int x = 0; x < width; ++x) row[3 * x] = row[3 * x + 1] = row[3 * x + 2] = src[x];
        } else {
            std::memcpy(row, src, static_cast<size_t>(width));
        }
    } else if (layout == kLayoutRgb) {
        for (int x = 0; x < width; ++x) {
            const unsigned char* p = src + 3 * x;
            if (kind == 0) {
                row[3 * x] = p[2];
                row[3 * x + 1] = p[1];
                row[3 * x + 2] = p[0];
            } else if (kind == 1) {
                row[x] = p[1];
            } else {
                row[x] = static_cast<unsigned char>(LumaRgb(p));
            }
        }
    } else if (layout == kLayoutBgra) {
        std::memcpy(row, src, static_cast<size_t>(width) * 4);
    } else {
        for (int x = 0; x < width; ++x) {
            const unsigned char* p = src + 4 * x;
            unsigned char* o = row + 4 * x;
            o[0] = Unpremultiply(p[0], p[3]);
            o[1] = Unpremultiply(p[1], p[3]);
            o[2] = Unpremultiply(p[2], p[3]);
            o[3] = p[3];
        }
    }
}

int WriteBmpTo(FILE* file, const unsigned char* pixels, int width, int height, int layout, int dpi, int outputChoice,
               unsigned char** buf, int* length) {
    if (!pixels || !SideOk(width) || !SideOk(height) || layout < 0 || layout > 5 || outputChoice > 2) return 0;
    const int ppm = dpi >= 0 ? DpiToPpm(dpi) : kDefaultPpm;
    if (outputChoice < 0) outputChoice = layout;
    const int kind = layout <= 3 ? outputChoice : layout;
    const int bits = kind >= 4 ? 32 : kind == 0 ? 24 : 8;
    // Every 8-bit file carries the grey palette, so that readers accept it.
    const bool palette = bits == 8;
    const int dataOffset = palette ? kHeadersSize + 4 * kPaletteEntries : kHeadersSize;
    const int64_t stride = Stride(width, bits);
    const int64_t total = dataOffset + stride * height;
    if (total > INT_MAX) return 0;
    const int imageSize = static_cast<int>(stride * height);

    unsigned char* out = nullptr;
    int remaining = 0;
    if (!file) {
        if (!ReallocBytesExact(buf, length, static_cast<int>(total))) return 0;
        out = *buf;
        remaining = static_cast<int>(total);
    }
    unsigned char head[kHeadersSize + 4 * kPaletteEntries];
    unsigned char* c = head;
    WriteLe16(&c, kBmpSignature);
    WriteLe32(&c, static_cast<unsigned>(total));
    WriteLe16(&c, 0);
    WriteLe16(&c, 0);
    WriteLe32(&c, static_cast<unsigned>(dataOffset));
    WriteLe32(&c, kInfoHeaderSize);
    WriteLe32(&c, static_cast<unsigned>(width));
    WriteLe32(&c, static_cast<unsigned>(height));
    WriteLe16(&c, 1);
    WriteLe16(&c, static_cast<unsigned>(bits));
    WriteLe32(&c, 0);
    WriteLe32(&c, static_cast<unsigned>(imageSize));
    WriteLe32(&c, static_cast<unsigned>(ppm));
    WriteLe32(&c, static_cast<unsigned>(ppm));
    WriteLe32(&c, 0);
    WriteLe32(&c, 0);
    if (palette) {
        for (int i = 0; i < kPaletteEntries; ++i) {
            *c++ = static_cast<unsigned char>(i);
            *c++ = static_cast<unsigned char>(i);
            *c++ = static_cast<unsigned char>(i);
            *c++ = 0;
        }
    }
    if (MemFwrite(head, dataOffset, 1, file, &out, &remaining) != 1) return 0;

    Bytes row(static_cast<unsigned char*>(std::calloc(static_cast<size_t>(stride) + 4, 1)));
    if (!row) return 0;
    const size_t srcStride = static_cast<size_t>(width) * static_cast<size_t>(ImgPixelSize(layout));
    for (int y = height - 1; y >= 0; --y) {
        ConvertRow(pixels + srcStride * static_cast<size_t>(y), width, layout, kind, row.get());
        if (MemFwrite(row.get(), static_cast<int>(stride), 1, file, &out, &remaining) != 1) return 0;
    }
    return file ? 1 : static_cast<int>(total);
}

// Reads whole items from a file or a memory cursor.
struct Source {
    FILE* file;
    const unsigned char* data;
    int remaining;
    bool Read(void* buf, int size) { return MemFread(buf, size, 1, file, &data, &remaining) == 1; }
    // Bytes left to read; a file's size bounds it, so no header can make us allocate past it.
    int64_t Available() const {
        if (!file) return remaining;
        struct stat st;
        long pos = std::ftell(file);
        if (pos < 0 || fstat(fileno(file), &st) != 0) return 0;
        return static_cast<int64_t>(st.st_size) - pos;
    }
    bool Skip(int64_t n) {
        if (n == 0) return true;
        if (file) return std::fseek(file, static_cast<long>(n), SEEK_CUR) == 0;
        if (n > remaining) return false;
        data += n;
        remaining -= static_cast<int>(n);
        return true;
    }
};

int ReadBmpFrom(Source& src, unsigned char** img, int* width, int* height, int* layout, int* dpi, int request) {
    unsigned char head[kHeadersSize];
    if (!src.Read(head, kFileHeaderSize)) return 0;
    const unsigned char* c = head;
    if (ReadLe16(&c) != kBmpSignature) return 0;
    c += 8;  // file size and reserved fields
    const uint32_t dataOffset = ReadLe32(&c);
    if (!src.Read(head + kFileHeaderSize, kInfoHeaderSize)) return 0;
    if (ReadLe32(&c) != kInfoHeaderSize) return 0;
    const int32_t w = static_cast<int32_t>(ReadLe32(&c));
    const int32_t h = static_cast<int32_t>(ReadLe32(&c));
    const unsigned planes = ReadLe16(&c);
    const int bits = ReadLe16(&c);
    const uint32_t compression = ReadLe32(&c);
    c += 4;  // image size
    const int32_t ppm = static_cast<int32_t>(ReadLe32(&c));
    c += 4;  // vertical resolution
    const uint32_t coloursUsed = ReadLe32(&c);
    if (w < 1 || h == 0 || h == INT_MIN || planes != 1 || compression != 0) return 0;
    if (bits != 1 && bits != 4 && bits != 8 && bits != 16 && bits != 24 && bits != 32) return 0;

    int entries = 0;
    if (bits <= 8) {
        const uint32_t most = 1u << bits;
        entries = static_cast<int>(coloursUsed >= 1 && coloursUsed <= most ? coloursUsed : most);
    }
    if (dataOffset < static_cast<uint32_t>(kHeadersSize + 4 * entries)) return 0;
    // Indices beyond the stored entries read black rather than undefined memory.
    unsigned char pal[kPaletteEntries * 4] = {0};
    if (entries > 0 && !src.Read(pal, 4 * entries)) return 0;
    bool greyPalette = entries > 0;
    for (int i = 0; i < entries; ++i)
        if (pal[4 * i] != pal[4 * i + 1] || pal[4 * i] != pal[4 * i + 2]) greyPalette = false;

    int decided;
    if (request == -2 && bits == 32)
        decided = kLayoutBgraPremul;
    else if (request == -3 && bits == 32)
        decided = kLayoutBgra;
    else if (request >= 0)
        decided = request >= 3 ? kLayoutRgb : request;
    else
        decided = greyPalette ? kLayoutGreyLuma : kLayoutRgb;

    if (dpi) *dpi = PpmToDpi(ppm);
    const int absH = h < 0 ? -h : h;
    // The size-only call reports only what the decode accepts: the budget, and rows that are there.
    if (!qv::decode_size_allowed(w, absH)) return 0;
    const int64_t stride = Stride(w, bits);
    const int64_t skip = static_cast<int64_t>(dataOffset) - kHeadersSize - 4 * entries;
    if (src.Available() < skip + stride * absH) return 0;
    if (!img) {
        if (width) *width = w;
        if (height) *height = absH;
        if (layout) *layout = decided;
        return 1;
    }
    Bytes row(static_cast<unsigned char*>(std::malloc(static_cast<size_t>(stride) + 3)));
    if (!row) return 0;
    if (!AllocImgData(img, width, height, layout, w, absH, decided)) return 0;
    if (!src.Skip(skip)) return 0;

    const size_t dstStride = static_cast<size_t>(w) * static_cast<size_t>(ImgPixelSize(decided));
    for (int i = 0; i < absH; ++i) {
        if (!src.Read(row.get(), static_cast<int>(stride))) return 0;
        const int y = h > 0 ? absH - 1 - i : i;
        unsigned char* dst = *img + dstStride * static_cast<size_t>(y);
        const unsigned char* r = row.get();
        for (int x = 0; x < w; ++x) {
            unsigned char px[4] = {0, 0, 0, 255};
            if (bits <= 8) {
                int index;
                if (bits == 1)
                    index = (r[x >> 3] >> (7 - (x & 7))) & 1;
                else if (bits == 4)
                    index = (r[x >> 1] >> ((x & 1) ? 0 : 4)) & 15;
                else
                    index = r[x];
                std::memcpy(px, pal + 4 * index, 3);
            } else if (bits == 16) {
                unsigned v = static_cast<unsigned>(r[2 * x]) | (static_cast<unsigned>(r[2 * x + 1]) << 8);
                px[0] = static_cast<unsigned char>((v & 31) << 3);
                px[1] = static_cast<unsigned char>(((v >> 5) & 31) << 3);
                px[2] = static_cast<unsigned char>(((v >> 10) & 31) << 3);
            } else if (bits == 24) {
                std::memcpy(px, r + 3 * x, 3);
            } else {
                std::memcpy(px, r + 4 * x, 4);
            }
            dst = StoreBmpPixel(px, decided, dst);
        }
    }
    return 1;
}

}  // namespace

unsigned char* StoreBmpPixel(const unsigned char* bgra, int layout, unsigned char* dst) {
    switch (layout) {
    case kLayoutRgb:
        dst[0] = bgra[2];
        dst[1] = bgra[1];
        dst[2] = bgra[0];
        return dst + 3;
    case kLayoutGreyGreen: dst[0] = bgra[1]; return dst + 1;
    case kLayoutBgraPremul:
        for (int i = 0; i < 3; ++i) dst[i] = static_cast<unsigned char>(bgra[i] * static_cast<double>(bgra[3]) / 255.0);
        dst[3] = bgra[3];
        return dst + 4;
    case kLayoutBgra: std::memcpy(dst, bgra, 4); return dst + 4;
    default: dst[0] = static_cast<unsigned char>(LumaBgr(bgra)); return dst + 1;
    }
}

int WriteBmp(const char* path, const unsigned char* pixels, int width, int height, int layout, int dpi,
             int outputChoice, unsigned char** buf, int* length) {
    if (path && *path) {
        if (!pixels || !SideOk(width) || !SideOk(height) || layout < 0 || layout > 5 || outputChoice > 2) return 0;
        FILE* f = std::fopen(path, "wbe");
        if (!f) return 0;
        int r = WriteBmpTo(f, pixels, width, height, layout, dpi, outputChoice, nullptr, nullptr);
        // Buffered bytes reach the disk only at the close: a failing close is a short write.
        if (std::fclose(f) != 0) r = 0;
        return r;
    }
    if (!buf || !length) return 0;
    int r = WriteBmpTo(nullptr, pixels, width, height, layout, dpi, outputChoice, buf, length);
    if (r == 0) FreeImgBuffLen(buf, length);
    return r;
}

int ReadBmp(const char* path, unsigned char** img, int* width, int* height, int* layout, int* dpi, int request,
            const unsigned char* data, int length) {
    int r = 0;
    if (path && *path) {
        File f(std::fopen(path, "rbe"));
        if (f) {
            Source src{f.get(), nullptr, 0};
            r = ReadBmpFrom(src, img, width, height, layout, dpi, request);
        }
    } else if (data && length >= 8) {
        Source src{nullptr, data, length};
        r = ReadBmpFrom(src, img, width, height, layout, dpi, request);
    }
    if (r == 0) FreeImgData(img);
    return r;
}

int MemFread(void* buf, int itemSize, int count, FILE* file, const unsigned char** data, int* remaining) {
    if (file) {
        if (!buf || itemSize < 1 || count < 1) return 0;
        return static_cast<int>(std::fread(buf, static_cast<size_t>(itemSize), static_cast<size_t>(count), file));
    }
    if (!buf || itemSize < 1 || count < 1 || !data || !*data || !remaining || *remaining < itemSize) return 0;
    unsigned char* out = static_cast<unsigned char*>(buf);
    int moved = 0;
    while (moved < count && *remaining >= itemSize) {
        std::memcpy(out, *data, static_cast<size_t>(itemSize));
        out += itemSize;
        *data += itemSize;
        *remaining -= itemSize;
        ++moved;
    }
    return moved;
}

int MemFwrite(const void* buf, int itemSize, int count, FILE* file, unsigned char** data, int* remaining) {
    if (file) {
        if (!buf || itemSize < 1 || count < 1) return 0;
        return static_cast<int>(std::fwrite(buf, static_cast<size_t>(itemSize), static_cast<size_t>(count), file));
    }
    if (!buf || itemSize < 1 || count < 1 || !data || !*data || !remaining || *remaining < itemSize) return 0;
    const unsigned char* in = static_cast<const unsigned char*>(buf);
    int moved = 0;
    while (moved < count && *remaining >= itemSize) {
        std::memcpy(*data, in, static_cast<size_t>(itemSize));
        in += itemSize;
        *data += itemSize;
        *remaining -= itemSize;
        ++moved;
    }
    return moved;
}

tsize_t ImgStreamRead(thandle_t handle, tdata_t buf, tsize_t size) {
    ImgStream* s = static_cast<ImgStream*>(handle);
    if (!s || !buf || size < 1) return 0;
    if (s->file) return static_cast<tsize_t>(std::fread(buf, 1, static_cast<size_t>(size), s->file));
    if (!s->data || static_cast<int64_t>(s->position) + size > s->capacity) return 0;
    std::memcpy(buf, s->data + s->position, static_cast<size_t>(size));
    s->position += static_cast<int>(size);
    return size;
}

tsize_t ImgStreamWrite(thandle_t handle, tdata_t buf, tsize_t size) {
    ImgStream* s = static_cast<ImgStream*>(handle);
    if (!s || !buf || size < 1) return 0;
    if (s->file) return static_cast<tsize_t>(std::fwrite(buf, 1, static_cast<size_t>(size), s->file));
    if (!s->data || static_cast<int64_t>(s->position) + size > s->capacity) return 0;
    // A seek past the end leaves a gap: fill it so no stale heap bytes are written out.
    if (s->position > s->length) std::memset(s->data + s->length, 0, static_cast<size_t>(s->position - s->length));
    std::memcpy(s->data + s->position, buf, static_cast<size_t>(size));
    s->position += static_cast<int>(size);
    if (s->position > s->length) s->length = s->position;
    return size;
}

toff_t ImgStreamSeek(thandle_t handle, toff_t offset, int whence) {
    ImgStream* s = static_cast<ImgStream*>(handle);
    const toff_t fail = static_cast<toff_t>(-1);
    if (!s) return fail;
    const int64_t off = static_cast<int64_t>(offset);
    if (s->file) {
        if (off > LONG_MAX || off < LONG_MIN) return fail;
        if (std::fseek(s->file, static_cast<long>(off), whence) != 0) return fail;
        if (whence == SEEK_SET) return offset;
        long pos = std::ftell(s->file);
        return pos < 0 ? fail : static_cast<toff_t>(pos);
    }
    // Targets are computed in 64 bits so that no offset wraps into the buffer.
    int64_t target;
    if (whence == SEEK_CUR)
        target = s->position + off;
    else if (whence == SEEK_END)
        target = (s->writing ? s->length : s->capacity) + off;
    else
        target = off;
    if (target < 0 || target > s->capacity) return fail;
    s->position = static_cast<int>(target);
    return static_cast<toff_t>(target);
}

int ImgStreamClose(thandle_t) { return 0; }

toff_t ImgStreamSize(thandle_t handle) {
    ImgStream* s = static_cast<ImgStream*>(handle);
    if (!s) return 0;
    if (s->file) {
        if (!s->writing) return static_cast<toff_t>(s->fileSize);
        std::fflush(s->file);
        struct stat st;
        if (fstat(fileno(s->file), &st) != 0) return 0;
        return static_cast<toff_t>(st.st_size);
    }
    return static_cast<toff_t>(s->writing ? s->length : s->capacity);
}

int ImgStreamMap(thandle_t, tdata_t*, toff_t*) { return 0; }

void ImgStreamUnmap(thandle_t, tdata_t, toff_t) {}
