// ZPF container: a 16-byte little-endian header in front of a zlib stream.
#include <zlib.h>

#include <climits>
#include <cstdint>
#include <cstring>

#include "img_buffer.h"
#include "img_checksum.h"
#include "qv_decode_budget.h"

namespace {

constexpr int kHeaderSize = 16;
const unsigned char kMagic[4] = {'Z', 'P', 'F', 0};
// The most a container carries: the largest raster the library decodes with room for the headers
// of any file format around it. The packer writes nothing the unpacker refuses.
uint64_t MaxPlainBytes() { return qv::decode_raster_byte_limit() + (uint64_t{1} << 20); }

}  // namespace

int ZpfPack(int level, unsigned char* out, int capacity, const unsigned char* in, int length) {
    if (level >= 1 && level <= 9) {
        if (length < 0 || static_cast<uint64_t>(length) > MaxPlainBytes()) return 0;
        const uint64_t bound = compressBound(static_cast<uLong>(length));
        if (bound + kHeaderSize > INT_MAX) return 0;
        const int needed = static_cast<int>(bound) + kHeaderSize;
        if (!out) return needed;
        if (!in || length == 0) return 0;
        if (capacity != 0 && capacity < needed) return 0;
        uLongf packed = static_cast<uLongf>(bound);
        if (compress2(out + kHeaderSize, &packed, in, static_cast<uLong>(length), level) != Z_OK) return 0;
        unsigned char* c = out;
        std::memcpy(c, kMagic, 4);
        c += 4;
        WriteLe32(&c, static_cast<unsigned>(length));
        WriteLe32(&c, static_cast<unsigned>(packed));
        WriteLe32(&c, 0);
        return static_cast<int>(packed) + kHeaderSize;
    }
    if (level != 0) return 0;
    if (!in || length < kHeaderSize || std::memcmp(in, kMagic, 4) != 0) return 0;
    const unsigned char* c = in + 4;
    const uint32_t plain = ReadLe32(&c);
    const uint32_t packed = ReadLe32(&c);
    if (packed > static_cast<uint32_t>(length - kHeaderSize)) return 0;
    if (plain > MaxPlainBytes() || plain > qv::kDeflateMaxExpansion * packed) return 0;
    if (!out) return static_cast<int>(plain);
    // The header is untrusted: never write more than the caller says it has room for.
    if (capacity < 1 || static_cast<uint32_t>(capacity) < plain) return 0;
    uLongf got = plain;
    if (uncompress(out, &got, in + kHeaderSize, packed) != Z_OK || got != plain) return 0;
    return static_cast<int>(plain);
}
