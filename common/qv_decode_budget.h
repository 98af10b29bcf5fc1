// The one decode budget that every reader of outside image data applies, from the header and
// before it allocates: no reader makes an image larger than this, in any mode. Every limit a
// reader shares with another lives here; a reader keeps only what follows from its own format.
#pragma once

#include <cstdint>

namespace qv {

// Pixels of one decoded image (width x height), whatever its format.
constexpr uint64_t kMaxDecodePixels = uint64_t{1} << 24;
// Component samples of one JPEG-2000 image (pixels x components): three full components of
// 2^24 pixels would cost three times the memory of every other reader.
constexpr uint64_t kMaxDecodeSamples = uint64_t{1} << 25;
// Longest side of a decoded image: the pixel buffers' sides are 1 to 32767.
constexpr uint32_t kMaxDecodeSide = 32767;
// Bytes a pixel of the largest raster a reader asks a library for (R, G, B, A of 8 bits).
constexpr uint64_t kRasterPixelBytes = 4;
// What one decode may cost in all, where a reader estimates its library's work from the header.
constexpr uint64_t kMaxDecodeMemory = uint64_t{200} << 20;
// Deflate turns one byte into at most 1,032: more plain bytes than that many times the packed ones
// cannot be what they hold, whatever encoder wrote them.
constexpr uint64_t kDeflateMaxExpansion = 1032;

// The limits in force: the constants above, unless lowered by the hook below.
uint64_t decode_pixel_limit();
uint64_t decode_sample_limit();
// kRasterPixelBytes for every pixel of the pixel limit.
uint64_t decode_raster_byte_limit();
// kMaxDecodeMemory, lowered in proportion with the pixel limit.
uint64_t decode_memory_limit();

// True when an image of width x height (each side below 2^32) stays within the pixel limit.
inline bool decode_pixels_allowed(uint64_t width, uint64_t height) { return width * height <= decode_pixel_limit(); }
// True when both sides are 1 to kMaxDecodeSide and the image stays within the pixel limit.
inline bool decode_size_allowed(uint64_t width, uint64_t height) {
    return width >= 1 && height >= 1 && width <= kMaxDecodeSide && height <= kMaxDecodeSide &&
           decode_pixels_allowed(width, height);
}

// Internal hook for the fuzz targets (never exported, never called by the driver): a lower pixel
// limit keeps each fuzz input fast. The sample limit follows at twice the pixel limit and the other
// limits in proportion; 0 or a value above the budget restores the budget.
void set_decode_pixel_limit_for_fuzzing(uint64_t pixels);

}  // namespace qv
