// Small helpers shared by the library's codecs (internal; nothing here is exported).
#pragma once
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "img_buffer.h"

namespace imgcodec {

constexpr double kMmPerInch = 25.39999918;  // millimetres per inch as the library stores it

inline bool SideOk(int v) { return v >= 1 && v <= kImgMaxSide; }
inline bool SizeOk(int w, int h) { return SideOk(w) && SideOk(h); }

// Double to int by truncation, 0 for values an int cannot hold (NaN included).
inline int TruncToInt(double v) {
    if (!(v > static_cast<double>(INT_MIN) - 1.0 && v < static_cast<double>(INT_MAX) + 1.0)) return 0;
    return static_cast<int>(v);
}

// Moves an image narrowed in place into a block of exactly bytes (the caller's image stays as it is
// on failure). Shrinking the large block instead would keep it mapped, and every later decode would
// map and fault a fresh one rather than reuse the heap.
inline bool MoveToExactBlock(unsigned char** img, size_t bytes) {
    unsigned char* exact = static_cast<unsigned char*>(std::malloc(bytes));
    if (exact == nullptr) return false;
    std::memcpy(exact, *img, bytes);
    std::free(*img);
    *img = exact;
    return true;
}

}  // namespace imgcodec
