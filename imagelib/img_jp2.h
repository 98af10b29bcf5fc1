// Rate option of the JPEG-2000 encoder (internal to the library, not exported).
#pragma once
#include <cstddef>

namespace imgcodec {

// The option text for a quality: "" for 0, "rate=%.3f" of quality / 100 for 1 to 100,
// "rate=%dB" (a size in bytes) above 100, "rate=%.5f" of -quality / 10000 below 0.
void Jp2RateOption(int quality, char* text, size_t size);
// The compression ratio that OpenJPEG takes for an option text and a raw size in bytes;
// 0 (lossless) for no option or a ratio of 1 or less.
float Jp2RatioFromOption(const char* text, double raw_bytes);

}  // namespace imgcodec
