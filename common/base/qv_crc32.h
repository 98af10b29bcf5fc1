// The standard CRC-32 (IEEE 802.3: reflected polynomial 0xEDB88320, inverted before and after),
// header-only so that each library carries the one table it needs.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qv {

struct Crc32Table {
    uint32_t v[256];
};

constexpr Crc32Table make_crc32_table() {
    Crc32Table t{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? (0xEDB88320u ^ (c >> 1)) : (c >> 1);
        t.v[i] = c;
    }
    return t;
}

inline constexpr Crc32Table kCrc32Table = make_crc32_table();

// Continues crc over n bytes, so that a chain started with 0 gives the CRC of the concatenation.
inline uint32_t crc32_update(uint32_t crc, const unsigned char* data, size_t n) {
    uint32_t c = ~crc;
    for (size_t i = 0; i < n; ++i) c = kCrc32Table.v[(c ^ data[i]) & 0xFF] ^ (c >> 8);
    return ~c;
}

}  // namespace qv
