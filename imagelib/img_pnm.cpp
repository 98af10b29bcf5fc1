// PBM, PGM and PPM encoder and decoder, text (P1 to P3) and binary (P4 to P6), in memory.
#include "img_pnm.h"

#include <climits>
#include <cstdio>
#include <cstring>

#include "img_buffer.h"
#include "img_codec.h"
#include "img_codec_util.h"
#include "qv_decode_budget.h"

using namespace imgcodec;

namespace {

constexpr int kHeaderReserve = 1024;  // room for the header beyond the raster
constexpr int kMaxDigits = 99;        // longest number accepted in a header or text raster
constexpr int kTextLineGrey = 68;     // P1, P2: break a row once a line holds this many characters
constexpr int kTextLineColour = 60;   // P3
constexpr unsigned kMaxSample = 255;

bool IsDigit(unsigned char c) { return c >= '0' && c <= '9'; }

// Bounded appender; a write past the capacity marks the whole output as failed.
struct Out {
    unsigned char* p;
    size_t cap, pos;
    bool overflow;
    void Put(const char* s, size_t n) {
        if (overflow || n > cap - pos) {
            overflow = true;
            return;
        }
        memcpy(p + pos, s, n);
        pos += n;
    }
    void Byte(unsigned char b) { Put(reinterpret_cast<const char*>(&b), 1); }
    template <typename... A>
    void Format(const char* fmt, A... args) {
        char tmp[64];
        const int n = snprintf(tmp, sizeof(tmp), fmt, args...);
        if (n > 0) Put(tmp, static_cast<size_t>(n));
    }
};

}  // namespace

const unsigned char* PnmSkipToNumber(const unsigned char* cursor, const unsigned char* end) {
    if (cursor == nullptr || end == nullptr) return nullptr;
    for (; cursor < end; ++cursor)
        if (IsDigit(*cursor) || *cursor == '#') return cursor;
    return nullptr;
}

int PnmReadNumber(const unsigned char** cursor, const unsigned char* end, unsigned* value) {
    if (cursor == nullptr || *cursor == nullptr || end == nullptr || value == nullptr) return 0;
    const unsigned char* p = *cursor;
    for (;;) {
        p = PnmSkipToNumber(p, end);
        if (p == nullptr) return 0;
        if (*p != '#') break;
        while (p < end && *p != '\r' && *p != '\n') ++p;
        if (p >= end) return 0;
    }
    unsigned long long v = 0;
    int digits = 0;
    for (; p < end && IsDigit(*p); ++p) {
        if (++digits > kMaxDigits) return 0;
        // saturate: a header number never wraps to a small value
        if (v <= UINT_MAX) v = v * 10 + (*p - '0');
    }
    *value = v > UINT_MAX ? UINT_MAX : static_cast<unsigned>(v);
    *cursor = p;
    return 1;
}

int WritePnm(const unsigned char* pixels, int width, int height, int layout, int formatCode, int binary,
             unsigned char** buf, int* length) {
    if (buf == nullptr || length == nullptr) return 0;
    if (pixels == nullptr || !SizeOk(width, height) || layout < 0 || layout > 3 || formatCode < 12 || formatCode > 14)
        return 0;
    const bool colour_in = layout == 0;
    const int64_t s = static_cast<int64_t>(width) * height * (formatCode == 14 ? 3 : 1);
    const int64_t cap = binary ? s + kHeaderReserve : 5 * s + kHeaderReserve;
    if (cap > INT_MAX) return 0;
    if (!ReallocBytesExact(buf, length, static_cast<int>(cap))) return 0;
    Out out{*buf, static_cast<size_t>(cap), 0, false};
    const int digit = binary ? formatCode - 8 : formatCode - 11;
    out.Format("P%d\n", digit);
    out.Format("%d %d\n", width, height);
    if (formatCode != 12) out.Format("%d\n", 255);
    const int in_bpp = colour_in ? 3 : 1;
    const int limit = formatCode == 14 ? kTextLineColour : kTextLineGrey;
    for (int y = 0; y < height && !out.overflow; ++y) {
        const unsigned char* row = pixels + static_cast<size_t>(y) * width * in_bpp;
        int line = 0;
        unsigned char bits = 0;
        int nbits = 0;
        for (int x = 0; x < width; ++x) {
            const unsigned char* px = row + static_cast<size_t>(x) * in_bpp;
            const int g = colour_in ? LumaRgb(px) : px[0];
            const int r = colour_in ? px[0] : g, gg = colour_in ? px[1] : g, b = colour_in ? px[2] : g;
            const size_t before = out.pos;
            if (binary) {
                if (formatCode == 12) {
                    bits = static_cast<unsigned char>((bits << 1) | (g < 128 ? 1 : 0));
                    if (++nbits == 8) {
                        out.Byte(bits);
                        bits = 0;
                        nbits = 0;
                    }
                } else if (formatCode == 13) {
                    out.Byte(static_cast<unsigned char>(g));
                } else {
                    out.Byte(static_cast<unsigned char>(r));
                    out.Byte(static_cast<unsigned char>(gg));
                    out.Byte(static_cast<unsigned char>(b));
                }
                continue;
            }
            if (formatCode == 12)
                out.Put(g < 128 ? "1 " : "0 ", 2);
            else if (formatCode == 13)
                out.Format("%3d ", g);
            else
                out.Format("%3d %3d %3d ", r, gg, b);
            line += static_cast<int>(out.pos - before);
            if (line >= limit && x + 1 < width) {
                out.Byte('\n');
                line = 0;
            }
        }
        if (binary) {
            if (nbits > 0) out.Byte(static_cast<unsigned char>(bits << (8 - nbits)));
        } else {
            out.Byte('\n');
        }
    }
    if (out.overflow) {
        FreeImgBuffLen(buf, length);
        return 0;
    }
    return static_cast<int>(out.pos);
}

int ReadPnm(unsigned char** img, int* width, int* height, int* layout, int* dpi, int request, const unsigned char* data,
            int length) {
    auto fail = [&]() {
        if (img != nullptr) FreeImgData(img);
        return 0;
    };
    if (data == nullptr || length < 8 || data[0] != 'P' || data[1] < '1' || data[1] > '6') return fail();
    const int kind = data[1] - '0';
    const bool binary = kind >= 4;
    const int code = 11 + (binary ? kind - 3 : kind);
    const unsigned char* end = data + length;
    const unsigned char* p = data + 2;
    unsigned w = 0, h = 0, maxval = 1;
    if (!PnmReadNumber(&p, end, &w) || !PnmReadNumber(&p, end, &h)) return fail();
    if (!qv::decode_size_allowed(w, h)) return fail();
    if (code != 12) {
        if (!PnmReadNumber(&p, end, &maxval) || maxval < 1 || maxval > kMaxSample) return fail();
    }
    if (p >= end || (*p != '\r' && *p != '\n') || p + 1 >= end) return fail();
    ++p;  // the raster starts right after the line end
    const int iw = static_cast<int>(w), ih = static_cast<int>(h);
    const int natural = code == 14 ? 0 : 2;
    if (dpi != nullptr) *dpi = 0;
    const size_t n = static_cast<size_t>(iw) * ih;
    const size_t avail = static_cast<size_t>(end - p);
    // The raster must be there before the image is allocated, and before the size-only call
    // reports it: a short header cannot claim a gigabyte. Text samples take at least one
    // character each.
    size_t need = n;
    if (kind == 4) need = (static_cast<size_t>(iw) + 7) / 8 * ih;
    if (kind == 3 || kind == 6) need = 3 * n;
    if (avail < need) return fail();
    if (img == nullptr) {
        if (width != nullptr) *width = iw;
        if (height != nullptr) *height = ih;
        if (layout != nullptr) *layout = natural;
        return code;
    }
    const int out_layout = request == 0 ? 0 : (request > 0 ? 2 : natural);
    if (!AllocImgData(img, nullptr, nullptr, nullptr, iw, ih, out_layout)) return fail();
    unsigned char* d = *img;
    auto store_grey = [&](unsigned char g) {
        if (out_layout == 0) {
            d[0] = d[1] = d[2] = g;
            d += 3;
        } else {
            *d++ = g;
        }
    };
    auto store_rgb = [&](const unsigned char* rgb) {
        if (out_layout == 0) {
            d[0] = rgb[0];
            d[1] = rgb[1];
            d[2] = rgb[2];
            d += 3;
        } else {
            *d++ = static_cast<unsigned char>(LumaRgb(rgb));
        }
    };
    if (kind == 4) {
        const size_t stride = (static_cast<size_t>(iw) + 7) / 8;
        if (avail < stride * ih) return fail();
        for (int y = 0; y < ih; ++y) {
            const unsigned char* row = p + stride * y;
            for (int x = 0; x < iw; ++x) store_grey(((row[x >> 3] >> (7 - (x & 7))) & 1) ? 0 : 255);
        }
    } else if (kind == 5) {
        if (avail < n) return fail();
        for (size_t i = 0; i < n; ++i) store_grey(p[i]);
    } else if (kind == 6) {
        if (avail / 3 < n) return fail();
        for (size_t i = 0; i < n; ++i) store_rgb(p + 3 * i);
    } else {
        for (size_t i = 0; i < n; ++i) {
            unsigned v[3];
            const int count = kind == 3 ? 3 : 1;
            for (int k = 0; k < count; ++k)
                if (!PnmReadNumber(&p, end, &v[k])) return fail();
            if (kind == 1) {
                store_grey(v[0] == 0 ? 255 : 0);
            } else if (kind == 2) {
                store_grey(static_cast<unsigned char>(v[0] & 255));
            } else {
                const unsigned char rgb[3] = {static_cast<unsigned char>(v[0] & 255),
                                              static_cast<unsigned char>(v[1] & 255),
                                              static_cast<unsigned char>(v[2] & 255)};
                store_rgb(rgb);
            }
        }
    }
    if (width != nullptr) *width = iw;
    if (height != nullptr) *height = ih;
    if (layout != nullptr) *layout = out_layout;
    return code;
}
