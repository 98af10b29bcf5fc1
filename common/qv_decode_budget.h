// The one decode budget that every reader of outside image data applies, from the header and
// before it allocates: no reader makes an image larger than this, in any mode.
#pragma once

#include <cstdint>

namespace qv {

// Pixels of one decoded image (width x height), whatever its format.
constexpr uint64_t kMaxDecodePixels = uint64_t{1} << 24;
// Component samples of one JPEG-2000 image (pixels x components): three full components of
// 2^24 pixels would cost three times the memory of every other reader.
constexpr uint64_t kMaxDecodeSamples = uint64_t{1} << 25;

// The limits in force: the constants above, unless lowered by the hook below.
uint64_t decode_pixel_limit();
uint64_t decode_sample_limit();
// True when an image of width x height (each side below 2^32) stays within the pixel limit.
inline bool decode_pixels_allowed(uint64_t width, uint64_t height) { return width * height <= decode_pixel_limit(); }

// Internal hook for the fuzz targets (never exported, never called by the driver): a lower pixel
// limit keeps each fuzz input fast. The sample limit follows at twice the pixel limit; 0 or a
// value above the budget restores the budget.
void set_decode_pixel_limit_for_fuzzing(uint64_t pixels);

}  // namespace qv
