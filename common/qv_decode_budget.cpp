#include "qv_decode_budget.h"

#include <atomic>

namespace qv {
namespace {
std::atomic<uint64_t> g_pixel_limit{kMaxDecodePixels};
}  // namespace

uint64_t decode_pixel_limit() { return g_pixel_limit.load(std::memory_order_relaxed); }

uint64_t decode_sample_limit() {
    const uint64_t pixels = decode_pixel_limit();
    return pixels == kMaxDecodePixels ? kMaxDecodeSamples : 2 * pixels;
}

uint64_t decode_raster_byte_limit() { return kRasterPixelBytes * decode_pixel_limit(); }

// 200 MiB x 2^24 stays far below 2^64.
uint64_t decode_memory_limit() { return kMaxDecodeMemory * decode_pixel_limit() / kMaxDecodePixels; }

void set_decode_pixel_limit_for_fuzzing(uint64_t pixels) {
    g_pixel_limit.store(pixels == 0 || pixels > kMaxDecodePixels ? kMaxDecodePixels : pixels,
                        std::memory_order_relaxed);
}

}  // namespace qv
