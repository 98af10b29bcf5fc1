// The camera pixel formats the capture class accepts, one row each: the bytes of the mapped frame
// its conversion reads and its conversion to YUYV. A format without a row is refused.
#pragma once

#include <cstddef>
#include <cstdint>

// One frame to convert at the requested width x height. The capture class owns every buffer:
// src is the mapped frame (rows bpl apart for the packed formats, bytes_used filled by the camera),
// dst the caller's YUYV output (pitch 2 x width), bayer the RGB24 work buffer of 3 x width x height
// bytes (the Bayer formats only).
struct FrameToConvert {
    unsigned char* dst;
    unsigned char* src;
    size_t bytes_used;
    size_t bpl;
    int width;
    int height;
    unsigned char* bayer;
};

// How much of the mapped frame converting width x height pixels reads.
enum class SourceSize {
    Rows2,       // rows bpl apart, 2 bytes a pixel
    Rows1,       // rows bpl apart, 1 byte a pixel
    Rows3,       // rows bpl apart, 3 bytes a pixel
    Planes16,    // no pitch, 16 bits a pixel
    Planes12,    // no pitch, 12 bits a pixel
    Bayer8,      // no pitch, 8 bits a pixel
    Compressed,  // the decoder reads only the bytes the camera filled in
};

struct CaptureFormat {
    uint32_t fourcc;
    SourceSize size;
    bool direct;  // converted without the Bayer work buffer
    void (*convert)(const FrameToConvert& frame);
};

// The row of fourcc, or null.
const CaptureFormat* find_capture_format(uint32_t fourcc);

// Bytes of the mapped frame that the row's conversion of width x height pixels reads; 0 for the
// compressed formats, which are bounded by the bytes used instead.
size_t source_bytes(const CaptureFormat& format, size_t width, size_t height, size_t bpl);

// Every row, for the tests that walk the table.
struct CaptureFormatRows {
    const CaptureFormat* rows;
    size_t count;
};
CaptureFormatRows capture_formats();
