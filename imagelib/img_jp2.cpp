// JPEG-2000 encoder and decoder (JP2 files and JPC code streams) over OpenJPEG.
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <openjpeg.h>

#include "img_buffer.h"
#include "img_codec.h"
#include "img_codec_util.h"
#include "img_jp2.h"
#include "qv_decode_budget.h"
#include "qv_owners.h"

using namespace imgcodec;

namespace {

constexpr int kMaxComponents = 64;  // channels the reader represents
constexpr unsigned kMaxPrecision = 31;
constexpr unsigned kMaxColumns = 255;          // palette columns, an 8-bit count
constexpr unsigned kMaxPaletteEntries = 1024;  // the standard's and OpenJPEG's bound
constexpr int kMinEncoded = 10;                // an encoded image of 9 bytes or fewer is refused
constexpr int kMaxResolutions = 6;             // the codec's default number of resolution levels
constexpr size_t kStreamChunk = OPJ_J2K_STREAM_CHUNK_SIZE;
const unsigned char kJp2Signature[12] = {0, 0, 0, 0x0C, 'j', 'P', ' ', ' ', 0x0D, 0x0A, 0x87, 0x0A};
const unsigned char kJ2kSignature[4] = {0xFF, 0x4F, 0xFF, 0x51};

// Growing memory output; the encoder seeks back into it to complete the JP2 boxes.
struct MemWriter {
    unsigned char* data;
    size_t size, capacity, position;
};

OPJ_SIZE_T MemWrite(void* buffer, OPJ_SIZE_T n, void* user) {
    MemWriter* m = static_cast<MemWriter*>(user);
    if (n > static_cast<OPJ_SIZE_T>(INT_MAX) || m->position > static_cast<size_t>(INT_MAX) - n)
        return static_cast<OPJ_SIZE_T>(-1);
    const size_t end = m->position + n;
    if (end > m->capacity) {
        size_t cap = m->capacity < 4096 ? 4096 : m->capacity;
        while (cap < end) cap *= 2;
        unsigned char* p = static_cast<unsigned char*>(realloc(m->data, cap));
        if (p == nullptr) return static_cast<OPJ_SIZE_T>(-1);
        m->data = p;
        m->capacity = cap;
    }
    if (m->position > m->size) memset(m->data + m->size, 0, m->position - m->size);
    memcpy(m->data + m->position, buffer, n);
    m->position = end;
    if (end > m->size) m->size = end;
    return n;
}

OPJ_OFF_T MemWriteSkip(OPJ_OFF_T n, void* user) {
    MemWriter* m = static_cast<MemWriter*>(user);
    const OPJ_OFF_T target = static_cast<OPJ_OFF_T>(m->position) + n;
    if (n < 0 || target > INT_MAX) return -1;
    m->position = static_cast<size_t>(target);
    return n;
}

OPJ_BOOL MemWriteSeek(OPJ_OFF_T offset, void* user) {
    MemWriter* m = static_cast<MemWriter*>(user);
    if (offset < 0 || offset > INT_MAX) return OPJ_FALSE;
    m->position = static_cast<size_t>(offset);
    return OPJ_TRUE;
}

struct MemReader {
    const unsigned char* data;
    size_t size, position;
};

OPJ_SIZE_T MemRead(void* buffer, OPJ_SIZE_T n, void* user) {
    MemReader* m = static_cast<MemReader*>(user);
    if (m->position >= m->size) return static_cast<OPJ_SIZE_T>(-1);
    const size_t left = m->size - m->position;
    const size_t take = n < left ? n : left;
    memcpy(buffer, m->data + m->position, take);
    m->position += take;
    return take;
}

OPJ_OFF_T MemReadSkip(OPJ_OFF_T n, void* user) {
    MemReader* m = static_cast<MemReader*>(user);
    if (n < 0) {
        if (static_cast<size_t>(-n) > m->position) return -1;
        m->position -= static_cast<size_t>(-n);
        return n;
    }
    const size_t left = m->size - m->position;
    if (static_cast<uint64_t>(n) > left) {
        m->position = m->size;
        return static_cast<OPJ_OFF_T>(left);
    }
    m->position += static_cast<size_t>(n);
    return n;
}

OPJ_BOOL MemReadSeek(OPJ_OFF_T offset, void* user) {
    MemReader* m = static_cast<MemReader*>(user);
    if (offset < 0 || static_cast<uint64_t>(offset) > m->size) return OPJ_FALSE;
    m->position = static_cast<size_t>(offset);
    return OPJ_TRUE;
}

// Every tile needs a tile-part: its SOT segment (12 bytes) and SOD marker (2). Within it, every
// component sampled at full resolution covers part of the tile, so it has at least one packet, whose
// header takes at least a byte. A legitimate code stream always holds these bytes.
constexpr uint64_t kTilePartBytes = 14;
constexpr uint64_t kMaxTiles = 65535;  // tile indices are 16 bits, 65535 itself is not one
// What one decode costs, estimated from the main header as OpenJPEG lays it out: 32-bit samples
// for every component, up to 3 output bytes a pixel, and the records it sets up for every tile and
// tile-component while it reads the main header (measured: some 9 KiB and 1 KiB), before any tile
// data. A grey image of the pixel budget keeps room for more than 8,000 tiles.
constexpr uint64_t kSampleBytes = 4;
constexpr uint64_t kOutputPixelBytes = 3;
constexpr uint64_t kTileSetupBytes = 9 << 10;
constexpr uint64_t kTileComponentSetupBytes = 1 << 10;
// and, while it decodes a tile, for every precinct and code-block (measured: some 500 and 300 bytes)
constexpr uint64_t kPrecinctBytes = 512;
constexpr uint64_t kCodeBlockBytes = 320;
constexpr size_t kSizFixedBytes = 40;  // SOC, SIZ marker and length, Rsiz up to Csiz
constexpr size_t kSizComponentBytes = 3;

// The encoded bytes, in memory or in an open file, read at given offsets.
struct ByteSource {
    const unsigned char* data;
    FILE* file;
    uint64_t size;
    bool ReadAt(uint64_t offset, unsigned char* dst, size_t n) const {
        if (offset > size || n > size - offset) return false;
        if (file == nullptr) {
            memcpy(dst, data + offset, n);
            return true;
        }
        return fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0 && fread(dst, 1, n, file) == n;
    }
};

uint32_t Be32(const unsigned char* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

// The boxes of a JP2 header that decide the decoded channels. OpenJPEG would apply a palette (pclr
// with cmap) after decoding as one 32-bit plane per column (a gigabyte for 16 columns at the pixel
// budget) and then reorder the channels by cdef; the reader has it leave all three alone, budgets
// the channels from the boxes, and maps the indices itself in the 8-bit conversion.
struct ChannelBoxes {
    struct Mapping {
        unsigned cmp, mtyp, pcol;
    };
    struct Definition {
        unsigned cn, typ, asoc;
    };
    bool pclr = false, cmap = false;
    unsigned entries = 0, columns = 0;
    unsigned char bits[kMaxColumns], sgnd[kMaxColumns];  // per column
    qv::HeapArray<uint32_t> values;                      // entries x columns, as stored
    Mapping map[kMaxColumns];                            // one per column
    unsigned defs = 0;
    qv::HeapArray<Definition> def;
    bool palette() const { return pclr && cmap; }
};

// One box: its type and contents [body, end).
struct Box {
    char type[4];
    uint64_t body, end;
};

// The box at `at`, within `limit`; a box of length 0 runs to `limit` where the format allows it.
bool ReadBox(const ByteSource& src, uint64_t at, uint64_t limit, bool open_ended, Box* b) {
    unsigned char h[16];
    if (at > limit || limit - at < 8 || !src.ReadAt(at, h, 8)) return false;
    uint64_t len = Be32(h), header = 8;
    if (len == 1) {
        if (limit - at < 16 || !src.ReadAt(at + 8, h + 8, 8)) return false;
        len = (uint64_t(Be32(h + 8)) << 32) | Be32(h + 12);
        header = 16;
    } else if (len == 0) {
        if (!open_ended) return false;
        len = limit - at;
    }
    if (len < header || len > limit - at) return false;
    memcpy(b->type, h + 4, 4);
    b->body = at + header;
    b->end = at + len;
    return true;
}

// A palette as OpenJPEG reads it: 1 to 1024 entries, 1 to 255 columns of 1 to 128 bits, each entry
// stored in whole bytes (at most 4 are kept).
bool ReadPclr(const ByteSource& src, const Box& b, ChannelBoxes* c) {
    unsigned char h[3 + kMaxColumns];
    if (c->pclr || b.end - b.body < 3 || !src.ReadAt(b.body, h, 3)) return false;
    c->entries = (unsigned(h[0]) << 8) | h[1];
    c->columns = h[2];
    if (c->entries < 1 || c->entries > kMaxPaletteEntries || c->columns < 1) return false;
    if (!src.ReadAt(b.body + 3, h + 3, c->columns)) return false;
    uint64_t row = 0;
    for (unsigned i = 0; i < c->columns; ++i) {
        c->bits[i] = static_cast<unsigned char>((h[3 + i] & 0x7F) + 1);
        c->sgnd[i] = (h[3 + i] & 0x80) != 0;
        row += std::min(4, (c->bits[i] + 7) / 8);
    }
    const uint64_t at = b.body + 3 + c->columns;
    if (b.end < at || row * c->entries > b.end - at) return false;
    c->values = qv::heap_alloc<uint32_t>(size_t{c->entries} * c->columns);
    qv::HeapArray<unsigned char> raw = qv::heap_alloc<unsigned char>(row * c->entries);
    if (!c->values || !raw || !src.ReadAt(at, raw.get(), row * c->entries)) return false;
    const unsigned char* p = raw.get();
    for (unsigned k = 0; k < c->entries; ++k) {
        for (unsigned i = 0; i < c->columns; ++i) {
            uint32_t v = 0;
            for (int n = std::min(4, (c->bits[i] + 7) / 8); n > 0; --n) v = (v << 8) | *p++;
            c->values[size_t{k} * c->columns + i] = v;
        }
    }
    c->pclr = true;
    return true;
}

// One mapping per palette column; the palette comes first.
bool ReadCmap(const ByteSource& src, const Box& b, ChannelBoxes* c) {
    unsigned char m[4 * kMaxColumns];
    if (!c->pclr || c->cmap || b.end - b.body < 4 * uint64_t{c->columns} || !src.ReadAt(b.body, m, 4 * c->columns))
        return false;
    for (unsigned i = 0; i < c->columns; ++i)
        c->map[i] = {(unsigned(m[4 * i]) << 8) | m[4 * i + 1], m[4 * i + 2], m[4 * i + 3]};
    c->cmap = true;
    return true;
}

bool ReadCdef(const ByteSource& src, const Box& b, ChannelBoxes* c) {
    unsigned char n[2];
    if (c->def || b.end - b.body < 2 || !src.ReadAt(b.body, n, 2)) return false;
    c->defs = (unsigned(n[0]) << 8) | n[1];
    if (c->defs == 0 || b.end - b.body - 2 < 6 * uint64_t{c->defs}) return false;
    qv::HeapArray<unsigned char> raw = qv::heap_alloc<unsigned char>(6 * size_t{c->defs});
    c->def = qv::heap_alloc<ChannelBoxes::Definition>(c->defs);
    if (!raw || !c->def || !src.ReadAt(b.body + 2, raw.get(), 6 * size_t{c->defs})) return false;
    for (unsigned i = 0; i < c->defs; ++i) {
        const unsigned char* d = raw.get() + 6 * i;
        c->def[i] = {(unsigned(d[0]) << 8) | d[1], (unsigned(d[2]) << 8) | d[3], (unsigned(d[4]) << 8) | d[5]};
    }
    return true;
}

// Offset of the code stream: 0 for a raw one, the contents of the top-level "jp2c" box in a JP2 file,
// with the channel boxes of every header box before it (OpenJPEG reads no box after it).
bool ReadContainer(const ByteSource& src, bool jp2, uint64_t* offset, ChannelBoxes* c) {
    *offset = 0;
    if (!jp2) return true;
    Box top;
    for (uint64_t at = 0; at < src.size; at = top.end) {
        if (!ReadBox(src, at, src.size, true, &top)) return false;
        if (memcmp(top.type, "jp2c", 4) == 0) {
            *offset = top.body;
            return true;
        }
        if (memcmp(top.type, "jp2h", 4) != 0) continue;
        Box b;
        for (uint64_t in = top.body; in < top.end; in = b.end) {
            if (!ReadBox(src, in, top.end, false, &b)) return false;
            if ((memcmp(b.type, "pclr", 4) == 0 && !ReadPclr(src, b, c)) ||
                (memcmp(b.type, "cmap", 4) == 0 && !ReadCmap(src, b, c)) ||
                (memcmp(b.type, "cdef", 4) == 0 && !ReadCdef(src, b, c)))
                return false;
        }
    }
    return false;
}

uint64_t CeilDiv(uint64_t a, uint64_t b) { return (a + b - 1) / b; }

// The coding that decides how many precincts and code-blocks OpenJPEG sets up for each tile: the
// extremes over every COD and COC segment, in the main header and in every tile-part header.
struct CodingExtremes {
    unsigned min_layers = 65535;
    unsigned max_top_ppx = 0, max_top_ppy = 0;  // log2 of the largest precinct sides at a full resolution
    // precincts and code-blocks per sample, over all resolutions, in units of 2^-kDensityBits
    uint64_t precinct_density = 0, block_density = 0;
    bool seen = false;
};

constexpr uint16_t kMarkerCod = 0xFF52, kMarkerCoc = 0xFF53, kMarkerSot = 0xFF90, kMarkerSod = 0xFF93;
constexpr unsigned kDefaultPrecinctLog = 15;
constexpr int kDensityBits = 30;

// One COD or COC segment (the bytes after its length); false for one that cannot be read.
bool NoteCoding(const unsigned char* seg, size_t len, bool coc, unsigned comps, CodingExtremes* e) {
    size_t i = 0;
    if (coc) i += comps < 257 ? 1 : 2;
    const size_t style_at = i;
    if (!coc) {
        if (len < 5) return false;  // style, progression order, layers, colour transform
        e->min_layers = std::min<unsigned>(e->min_layers, (unsigned(seg[2]) << 8) | seg[3]);
        i += 5;
    } else {
        i += 1;
    }
    if (len < i + 5) return false;
    const unsigned levels = seg[i], xcb = seg[i + 1] + 2u, ycb = seg[i + 2] + 2u;
    if (levels > 32 || xcb > 10 || ycb > 10) return false;
    const bool precincts = (seg[style_at] & 1) != 0;
    i += 5;
    if (precincts && len < i + levels + 1) return false;
    uint64_t precinct_density = 0, block_density = 0;
    // resolution r holds a 4^(levels - r)th of the samples
    auto density = [&](unsigned r, unsigned area_log) {
        const int e = kDensityBits - 2 * static_cast<int>(levels - r) - static_cast<int>(area_log);
        return e >= 0 ? uint64_t{1} << e : 0;
    };
    for (unsigned r = 0; r <= levels; ++r) {
        const unsigned ppx = precincts ? seg[i + r] & 15u : kDefaultPrecinctLog;
        const unsigned ppy = precincts ? seg[i + r] >> 4 : kDefaultPrecinctLog;
        const unsigned cut = r > 0 ? 1 : 0;  // a band's code-blocks span half a precinct
        if (ppx < cut || ppy < cut) return false;
        precinct_density += density(r, ppx + ppy);
        block_density += density(r, std::min(xcb, ppx - cut) + std::min(ycb, ppy - cut));
        if (r == levels) {
            e->max_top_ppx = std::max(e->max_top_ppx, ppx);
            e->max_top_ppy = std::max(e->max_top_ppy, ppy);
        }
    }
    e->precinct_density = std::max(e->precinct_density, precinct_density);
    e->block_density = std::max(e->block_density, block_density);
    e->seen = true;
    return true;
}

// Walks the marker segments from `at` up to the end marker (SOT in the main header, SOD in a
// tile-part header), noting every COD and COC; false when they cannot be read.
bool ScanHeader(const ByteSource& src, uint64_t at, uint16_t end, unsigned comps, CodingExtremes* e, uint64_t* end_at) {
    for (;;) {
        unsigned char m[4];
        if (!src.ReadAt(at, m, 2)) return false;
        const uint16_t marker = static_cast<uint16_t>((m[0] << 8) | m[1]);
        if (marker == end) {
            *end_at = at;
            return true;
        }
        if (!src.ReadAt(at + 2, m + 2, 2)) return false;
        const unsigned len = (unsigned(m[2]) << 8) | m[3];
        if (len < 2) return false;
        if (marker == kMarkerCod || marker == kMarkerCoc) {
            unsigned char seg[2 + 4 + 5 + 33];
            const size_t n = std::min<size_t>(len - 2, sizeof seg);
            if (!src.ReadAt(at + 4, seg, n) || !NoteCoding(seg, n, marker == kMarkerCoc, comps, e)) return false;
        }
        at += 2 + len;
    }
}

// The main header from the first segment after SIZ, then every tile-part header along the chain of
// tile-part lengths.
bool ScanCoding(const ByteSource& src, uint64_t after_siz, uint64_t stream_end, unsigned comps, CodingExtremes* e) {
    uint64_t at = 0;
    if (!ScanHeader(src, after_siz, kMarkerSot, comps, e, &at)) return false;
    while (at + 12 <= stream_end) {
        unsigned char sot[12];
        if (!src.ReadAt(at, sot, sizeof sot) || sot[0] != 0xFF || sot[1] != 0x90) break;  // EOC or end
        const uint64_t psot = Be32(sot + 6);
        uint64_t sod = 0;
        if (!ScanHeader(src, at + 12, kMarkerSod, comps, e, &sod)) return false;
        if (psot == 0) break;  // the last tile-part runs to the end
        if (psot < 14) return false;
        at += psot;
    }
    return e->seen;
}

// The image the SIZ segment describes must fit the decode budget (its pixels on the reference grid,
// every component's samples at its own subsampling, and so the channels a palette maps them to),
// its tile grid must fit in the data and the decoder's memory must stay in bounds, all before
// OpenJPEG sets up anything for it.
bool HeaderWithinBudget(const ByteSource& src, bool jp2, ChannelBoxes* boxes) {
    uint64_t at = 0;
    unsigned char siz[kSizFixedBytes];
    if (!ReadContainer(src, jp2, &at, boxes) || !src.ReadAt(at, siz, sizeof siz)) return false;
    if (memcmp(siz, kJ2kSignature, 4) != 0) return false;
    const uint64_t x1 = Be32(siz + 8), y1 = Be32(siz + 12), x0 = Be32(siz + 16), y0 = Be32(siz + 20),
                   tdx = Be32(siz + 24), tdy = Be32(siz + 28), tx0 = Be32(siz + 32), ty0 = Be32(siz + 36);
    unsigned char c[2 + kSizComponentBytes * kMaxComponents];
    if (!src.ReadAt(at + sizeof siz, c, 2)) return false;
    const unsigned comps = (unsigned(c[0]) << 8) | c[1];
    if (comps < 1 || comps > static_cast<unsigned>(kMaxComponents)) return false;
    if (!src.ReadAt(at + sizeof siz + 2, c + 2, kSizComponentBytes * comps)) return false;
    if (x1 <= x0 || y1 <= y0 || tdx == 0 || tdy == 0 || tx0 > x0 || ty0 > y0) return false;
    if (!qv::decode_pixels_allowed(x1 - x0, y1 - y0)) return false;
    uint64_t samples = 0, full = 0, own[kMaxComponents];
    for (unsigned k = 0; k < comps; ++k) {
        const unsigned dx = c[2 + kSizComponentBytes * k + 1], dy = c[2 + kSizComponentBytes * k + 2];
        if (dx == 0 || dy == 0) return false;
        own[k] = (CeilDiv(x1, dx) - CeilDiv(x0, dx)) * (CeilDiv(y1, dy) - CeilDiv(y0, dy));
        samples += own[k];
        if (dx == 1 && dy == 1) ++full;
    }
    if (samples > qv::decode_sample_limit()) return false;
    // a palette image counts as the image it maps to: each column has its component's samples
    if (boxes->palette()) {
        if (boxes->columns > static_cast<unsigned>(kMaxComponents)) return false;
        uint64_t mapped = 0;
        for (unsigned i = 0; i < boxes->columns; ++i) {
            if (boxes->map[i].cmp >= comps || boxes->bits[i] > kMaxPrecision) return false;
            mapped += own[boxes->map[i].cmp];
        }
        if (mapped > qv::decode_sample_limit()) return false;
    }
    const uint64_t across = CeilDiv(x1 - tx0, tdx), down = CeilDiv(y1 - ty0, tdy);
    if (across > kMaxTiles || down > kMaxTiles || across * down > kMaxTiles) return false;
    const uint64_t tiles = across * down;
    if (tiles * (kTilePartBytes + full) > src.size - at) return false;
    // Every precinct of every layer is a packet with a header byte: at its full resolution each
    // full-size component has at least the image's area over the largest precinct of them.
    CodingExtremes coding;
    const uint64_t stream_end = src.size;
    if (!ScanCoding(src, at + sizeof siz + 2 + kSizComponentBytes * comps, stream_end, comps, &coding)) return false;
    const uint64_t px = uint64_t{1} << coding.max_top_ppx, py = uint64_t{1} << coding.max_top_ppy;
    const uint64_t image_precincts = (CeilDiv(x1, px) - x0 / px) * (CeilDiv(y1, py) - y0 / py);
    if (std::max(tiles, image_precincts) * coding.min_layers * full > src.size - at) return false;
    // each precinct and code-block has records of its own
    const uint64_t precincts = (samples * coding.precinct_density) >> kDensityBits;
    const uint64_t blocks = (samples * coding.block_density) >> kDensityBits;
    const uint64_t cost = samples * kSampleBytes + (x1 - x0) * (y1 - y0) * kOutputPixelBytes +
                          tiles * (kTileSetupBytes + comps * kTileComponentSetupBytes) + precincts * kPrecinctBytes +
                          blocks * kCodeBlockBytes;
    return cost <= qv::decode_memory_limit();
}

int ResolutionLevels(int w, int h) {
    const int m = w < h ? w : h;
    int levels = 1;
    while (levels < kMaxResolutions && (1 << levels) <= m) ++levels;
    return levels;
}

// 8-bit value of a decoded sample: signed samples are offset, higher precisions shifted down.
struct SampleMap {
    int64_t offset, top;
    int shift;
    SampleMap(OPJ_UINT32 prec, bool sgnd)
        : offset(sgnd ? int64_t(1) << (prec - 1) : 0),
          top((int64_t(1) << prec) - 1),
          shift(prec > 8 ? static_cast<int>(prec) - 8 : 0) {}
    unsigned char operator()(OPJ_INT32 raw) const {
        int64_t v = raw + offset;
        v = v < 0 ? 0 : v > top ? top : v;
        return static_cast<unsigned char>(v >> shift);
    }
};

bool ComponentsUsable(const opj_image_t* image) {
    if (image == nullptr || image->comps == nullptr || image->numcomps < 1 ||
        image->numcomps > static_cast<OPJ_UINT32>(kMaxComponents))
        return false;
    for (OPJ_UINT32 i = 0; i < image->numcomps; ++i) {
        const opj_image_comp_t& c = image->comps[i];
        if (c.w < 1 || c.h < 1 || c.w > qv::kMaxDecodeSide || c.h > qv::kMaxDecodeSide || c.prec < 1 ||
            c.prec > kMaxPrecision)
            return false;
    }
    return true;
}

// One channel of the decoded image: a component's samples, or a palette column indexed by them.
struct Channel {
    OPJ_UINT32 comp;
    int column;  // -1: the component itself
    OPJ_UINT32 prec;
    bool sgnd;
};

// The channels as OpenJPEG would give them after applying pclr, cmap and cdef, with the checks it
// makes first; false where it would refuse the image.
bool MapChannels(const opj_image_t* image, const ChannelBoxes& b, Channel* ch, unsigned* count) {
    const unsigned comps = image->numcomps, n = b.palette() ? b.columns : comps;
    if (n < 1 || n > static_cast<unsigned>(kMaxComponents)) return false;
    for (unsigned i = 0; i < b.defs; ++i) {
        const ChannelBoxes::Definition& d = b.def[i];
        if (d.cn >= n || (d.asoc != 65535 && d.asoc > n)) return false;
    }
    for (unsigned k = 0; b.defs > 0 && k < n; ++k) {  // a channel definition for every channel
        unsigned i = 0;
        while (i < b.defs && b.def[i].cn != k) ++i;
        if (i == b.defs) return false;
    }
    if (!b.palette()) {
        for (unsigned k = 0; k < n; ++k) ch[k] = {k, -1, image->comps[k].prec, image->comps[k].sgnd != 0};
    } else {
        // each column mapped once, column i to channel i, or a component used directly
        ChannelBoxes::Mapping map[kMaxColumns];
        bool used[kMaxColumns] = {};
        for (unsigned i = 0; i < n; ++i) {
            map[i] = b.map[i];
            const unsigned pcol = map[i].pcol;
            if (map[i].cmp >= comps || map[i].mtyp > 1 || pcol >= n || (used[pcol] && map[i].mtyp == 1) ||
                (map[i].mtyp == 0 && pcol != 0) || (map[i].mtyp == 1 && pcol != i))
                return false;
            used[pcol] = true;
        }
        bool all_used = true;
        for (unsigned i = 0; i < n; ++i) {
            if (!used[i] && map[i].mtyp != 0) return false;
            all_used = all_used && used[i];
        }
        // OpenJPEG reads a one-component image whose columns are not all mapped as all of them mapped
        if (comps == 1 && !all_used)
            for (unsigned i = 0; i < n; ++i) map[i] = {map[i].cmp, 1, i};
        for (unsigned i = 0; i < n; ++i)
            ch[i] = {map[i].cmp, map[i].mtyp == 1 ? static_cast<int>(i) : -1, b.bits[i], b.sgnd[i] != 0};
    }
    // colour channels move to their association; later definitions follow the channel they name
    unsigned at[kMaxComponents];
    for (unsigned k = 0; k < n; ++k) at[k] = k;
    for (unsigned i = 0; i < b.defs; ++i) {
        const ChannelBoxes::Definition& d = b.def[i];
        const unsigned cn = at[d.cn];
        if (d.asoc == 0 || d.asoc == 65535 || d.typ != 0 || cn == d.asoc - 1) continue;
        const unsigned acn = d.asoc - 1;
        std::swap(ch[cn], ch[acn]);
        for (unsigned k = 0; k < n; ++k) at[k] = at[k] == cn ? acn : at[k] == acn ? cn : at[k];
    }
    for (unsigned k = 0; k < n; ++k)
        if (ch[k].prec < 1 || ch[k].prec > kMaxPrecision) return false;
    *count = n;
    return true;
}

bool IsColour(const opj_image_t* image, const Channel* ch, unsigned n) {
    if (n < 3) return false;
    const opj_image_comp_t& c0 = image->comps[ch[0].comp];
    for (unsigned k = 1; k < 3; ++k) {
        const opj_image_comp_t& c = image->comps[ch[k].comp];
        if (c.w != c0.w || c.h != c0.h || ch[k].prec != ch[0].prec) return false;
    }
    return true;
}

// 8-bit values of one channel of the decoded image; a palette column is looked up once per entry.
class ChannelBytes {
public:
    ChannelBytes(const opj_image_t* image, const Channel& ch, const ChannelBoxes& b)
        : data_(image->comps[ch.comp].data), map_(ch.prec, ch.sgnd), column_(ch.column) {
        if (column_ < 0) return;
        top_ = static_cast<OPJ_INT32>(b.entries) - 1;
        for (unsigned k = 0; k < b.entries; ++k)
            lut_[k] = map_(static_cast<OPJ_INT32>(b.values[size_t{k} * b.columns + static_cast<unsigned>(column_)]));
    }
    unsigned char operator()(size_t i) const {
        if (column_ < 0) return map_(data_[i]);
        const OPJ_INT32 k = data_[i];
        return lut_[k < 0 ? 0 : k > top_ ? top_ : k];
    }

private:
    const OPJ_INT32* data_;
    SampleMap map_;
    int column_;
    OPJ_INT32 top_ = 0;
    unsigned char lut_[kMaxPaletteEntries];
};

}  // namespace

namespace imgcodec {

// The rate option text as given to the encoder: empty for quality 0.
void Jp2RateOption(int quality, char* text, size_t size) {
    text[0] = '\0';
    if (quality == 0) return;
    if (quality >= 1 && quality <= 100)
        snprintf(text, size, "rate=%.3f", static_cast<double>(static_cast<float>(quality) / 100.0f));
    else if (quality > 100)
        snprintf(text, size, "rate=%dB", quality);
    else
        snprintf(text, size, "rate=%.5f",
                 static_cast<double>(static_cast<float>(-static_cast<double>(quality)) / 10000.0f));
}

// Compression ratio for OpenJPEG from the rate option; 0 means lossless.
float Jp2RatioFromOption(const char* text, double raw_bytes) {
    if (strncmp(text, "rate=", 5) != 0) return 0;
    const char* v = text + 5;
    const size_t len = strlen(v);
    double ratio = 0;
    if (len > 0 && v[len - 1] == 'B') {
        const double target = atof(v);
        if (target > 0) ratio = raw_bytes / target;
    } else {
        const double rate = atof(v);
        if (rate > 0) ratio = 1.0 / rate;
    }
    return ratio <= 1.0 ? 0.0f : static_cast<float>(ratio);
}

}  // namespace imgcodec

int WriteJp2(const char* path, const unsigned char* pixels, int width, int height, int layout, int, int outputChoice,
             int quality, unsigned char** buf, int* length, int formatCode) {
    const bool to_file = path != nullptr && path[0] != '\0';
    if (!to_file && (buf == nullptr || length == nullptr)) return 0;
    auto fail = [&]() {
        if (!to_file) FreeImgBuffLen(buf, length);
        return 0;
    };
    if (pixels == nullptr || !SizeOk(width, height) || layout < 0 || layout > 3) return fail();
    if (outputChoice < 0) outputChoice = layout;
    const int ncomp = outputChoice != 0 ? 1 : 3;
    if (ImgPlaneSize(width, height, 4 * ncomp) <= 0) return fail();

    opj_image_cmptparm_t parms[3];
    memset(parms, 0, sizeof(parms));
    for (int k = 0; k < ncomp; ++k) {
        parms[k].dx = parms[k].dy = 1;
        parms[k].w = static_cast<OPJ_UINT32>(width);
        parms[k].h = static_cast<OPJ_UINT32>(height);
        parms[k].prec = 8;
        parms[k].sgnd = 0;
    }
    opj_image_t* image =
        opj_image_create(static_cast<OPJ_UINT32>(ncomp), parms, ncomp == 1 ? OPJ_CLRSPC_GRAY : OPJ_CLRSPC_SRGB);
    if (image == nullptr) return fail();
    image->x0 = image->y0 = 0;
    image->x1 = static_cast<OPJ_UINT32>(width);
    image->y1 = static_cast<OPJ_UINT32>(height);
    const bool rgb_in = layout == 0;
    const size_t n = static_cast<size_t>(width) * height;
    for (size_t i = 0; i < n; ++i) {
        if (!rgb_in) {
            for (int k = 0; k < ncomp; ++k) image->comps[k].data[i] = pixels[i];
        } else if (ncomp == 3) {
            for (int k = 0; k < 3; ++k) image->comps[k].data[i] = pixels[3 * i + k];
        } else {
            image->comps[0].data[i] = outputChoice == 1 ? pixels[3 * i + 1] : LumaRgb(pixels + 3 * i);
        }
    }

    char option[32];
    Jp2RateOption(quality, option, sizeof(option));
    opj_cparameters_t p;
    opj_set_default_encoder_parameters(&p);
    p.tcp_numlayers = 1;
    p.tcp_rates[0] = Jp2RatioFromOption(option, static_cast<double>(n) * ncomp);
    p.cp_disto_alloc = 1;
    p.irreversible = 0;
    p.tcp_mct = ncomp == 3 ? 1 : 0;
    p.numresolution = ResolutionLevels(width, height);

    MemWriter mem{nullptr, 0, 0, 0};
    opj_codec_t* codec = opj_create_compress(formatCode == 6 ? OPJ_CODEC_JP2 : OPJ_CODEC_J2K);
    opj_stream_t* stream = nullptr;
    bool ok = codec != nullptr && opj_setup_encoder(codec, &p, image);
    if (ok) {
        // Files too are encoded in memory first: the library's own file stream does not
        // report a failing write or close.
        stream = opj_stream_create(kStreamChunk, OPJ_FALSE);
        if (stream != nullptr) {
            opj_stream_set_user_data(stream, &mem, nullptr);
            opj_stream_set_write_function(stream, MemWrite);
            opj_stream_set_skip_function(stream, MemWriteSkip);
            opj_stream_set_seek_function(stream, MemWriteSeek);
        }
        ok = stream != nullptr && opj_start_compress(codec, image, stream) && opj_encode(codec, stream) &&
             opj_end_compress(codec, stream);
    }
    if (stream != nullptr) opj_stream_destroy(stream);
    if (codec != nullptr) opj_destroy_codec(codec);
    opj_image_destroy(image);
    if (to_file) {
        if (ok) {
            FILE* f = fopen(path, "wbe");
            ok = f != nullptr && fwrite(mem.data, 1, mem.size, f) == mem.size;
            if (f != nullptr && fclose(f) != 0) ok = false;
        }
        free(mem.data);
        return ok ? 1 : 0;
    }
    int result = 0;
    if (ok && mem.size >= static_cast<size_t>(kMinEncoded) && mem.size <= static_cast<size_t>(INT_MAX)) {
        const int size = static_cast<int>(mem.size);
        if (ReallocBytes(buf, length, size)) {
            memcpy(*buf, mem.data, mem.size);
            result = size;
        }
    }
    free(mem.data);
    return result > 0 ? result : fail();
}

int ReadJp2(const char* path, unsigned char** img, int* width, int* height, int* layout, int* dpi, int request,
            const unsigned char* data, int length) {
    const bool from_file = path != nullptr && path[0] != '\0';
    auto fail = [&]() {
        if (img != nullptr) FreeImgData(img);
        return 0;
    };
    ByteSource src{data, nullptr, 0};
    if (from_file) {
        src.file = fopen(path, "rbe");
        if (src.file == nullptr) return fail();
        const off_t end = fseeko(src.file, 0, SEEK_END) == 0 ? ftello(src.file) : -1;
        src.size = end > 0 ? static_cast<uint64_t>(end) : 0;
    } else {
        if (data == nullptr || length < kMinEncoded) return fail();
        src.size = static_cast<uint64_t>(length);
    }
    unsigned char head[12];
    OPJ_CODEC_FORMAT format = OPJ_CODEC_UNKNOWN;
    if (src.ReadAt(0, head, 12) && memcmp(head, kJp2Signature, 12) == 0)
        format = OPJ_CODEC_JP2;
    else if (src.ReadAt(0, head, 4) && memcmp(head, kJ2kSignature, 4) == 0)
        format = OPJ_CODEC_J2K;
    ChannelBoxes boxes;
    const bool plausible = format != OPJ_CODEC_UNKNOWN && HeaderWithinBudget(src, format == OPJ_CODEC_JP2, &boxes);
    if (src.file != nullptr) fclose(src.file);
    if (!plausible) return fail();

    MemReader mem{data, static_cast<size_t>(length > 0 ? length : 0), 0};
    opj_stream_t* stream = nullptr;
    if (from_file) {
        stream = opj_stream_create_default_file_stream(path, OPJ_TRUE);
    } else {
        stream = opj_stream_create(kStreamChunk, OPJ_TRUE);
        if (stream != nullptr) {
            opj_stream_set_user_data(stream, &mem, nullptr);
            opj_stream_set_user_data_length(stream, mem.size);
            opj_stream_set_read_function(stream, MemRead);
            opj_stream_set_skip_function(stream, MemReadSkip);
            opj_stream_set_seek_function(stream, MemReadSeek);
        }
    }
    opj_codec_t* codec = stream != nullptr ? opj_create_decompress(format) : nullptr;
    opj_image_t* image = nullptr;
    int ok = 0, w = 0, h = 0, out_layout = 0;
    do {
        if (codec == nullptr) break;
        opj_dparameters_t p;
        opj_set_default_decoder_parameters(&p);
        p.flags |= OPJ_DPARAMETERS_IGNORE_PCLR_CMAP_CDEF_FLAG;  // the channels are mapped below
        if (!opj_setup_decoder(codec, &p) || !opj_read_header(stream, codec, &image)) break;
        // the size-only call reports the channels the decode gives
        Channel ch[kMaxComponents];
        unsigned channels = 0;
        if (!ComponentsUsable(image) || !MapChannels(image, boxes, ch, &channels)) break;
        bool colour = IsColour(image, ch, channels);
        w = static_cast<int>(image->comps[ch[0].comp].w);
        h = static_cast<int>(image->comps[ch[0].comp].h);
        if (img == nullptr) {
            out_layout = colour ? 0 : 2;
            ok = 1;
            break;
        }
        if (!opj_decode(codec, stream, image) || !opj_end_decompress(codec, stream)) break;
        if (!ComponentsUsable(image) || !MapChannels(image, boxes, ch, &channels)) break;
        colour = IsColour(image, ch, channels);
        w = static_cast<int>(image->comps[ch[0].comp].w);
        h = static_cast<int>(image->comps[ch[0].comp].h);
        // a palette needs every component it maps
        for (unsigned k = 0; k < (boxes.palette() ? channels : colour ? 3u : 1u); ++k)
            if (image->comps[ch[k].comp].data == nullptr) w = 0;
        if (w == 0) break;
        out_layout = request < 0 ? (colour ? 0 : 2) : (request > 2 ? 0 : request);
        if (!AllocImgData(img, nullptr, nullptr, nullptr, w, h, out_layout)) break;
        unsigned char* d = *img;
        const size_t n = static_cast<size_t>(w) * h;
        const ChannelBytes c0(image, ch[0], boxes);
        if (colour) {
            const ChannelBytes c1(image, ch[1], boxes), c2(image, ch[2], boxes);
            for (size_t i = 0; i < n; ++i) {
                const unsigned char rgb[3] = {c0(i), c1(i), c2(i)};
                if (out_layout == 0) {
                    memcpy(d, rgb, 3);
                    d += 3;
                } else {
                    *d++ = out_layout == 1 ? rgb[1] : static_cast<unsigned char>(LumaRgb(rgb));
                }
            }
        } else if (out_layout == 0) {
            for (size_t i = 0; i < n; ++i, d += 3) d[0] = d[1] = d[2] = c0(i);
        } else {
            for (size_t i = 0; i < n; ++i) d[i] = c0(i);
        }
        ok = 1;
    } while (false);
    if (image != nullptr) opj_image_destroy(image);
    if (codec != nullptr) opj_destroy_codec(codec);
    if (stream != nullptr) opj_stream_destroy(stream);
    if (!ok) return fail();
    if (width != nullptr) *width = w;
    if (height != nullptr) *height = h;
    if (layout != nullptr) *layout = out_layout;
    if (dpi != nullptr) *dpi = 0;
    return 1;
}
