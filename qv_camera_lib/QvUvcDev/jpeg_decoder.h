// Baseline MJPEG/JPEG decoder of the camera layer: one compressed frame to YUYV.
//
// The caller owns both buffers: in holds the frame from its SOI marker, out receives
// YUYV rows (Y0 U Y1 V per pixel pair) pitch bytes apart and must hold height rows.
// The number of MCUs comes from width and height; a smaller frame is accepted.
// Nothing is kept between calls; the work memory is allocated and freed per call.
// MCUs written before a failure stay in the output.
#pragma once

#include <cstddef>

#include "qv_export.h"

// Results, in the order the decoder checks them.
enum JpegDecodeResult : int {
    kJpegNoBufferOrMemory = -1,  // a NULL buffer, or no memory for the work state
    kJpegNoSoi = 1,              // the data does not begin with FF D8
    kJpegMarkerSearch = 14,      // SOF0 or SOS not found, or a segment broken or running past the frame
    kJpegBadPrecision = 2,       // sample precision other than 8
    kJpegBadSize = 5,            // frame height or width not a multiple of 8
    kJpegTooManyComponents = 6,  // more than 4 frame components
    kJpegBadSampling = 7,        // a sampling factor above 3
    kJpegBadTableId = 8,         // quantisation table id above 3, or DC/AC table id above 1
    kJpegBadScan = 9,            // unusable component count or first component's sampling
    kJpegUnknownComponent = 10,  // a scan component not in the frame, or a frame without components
    kJpegFrameTooLarge = -5,     // frame wider than width or taller than height
    kJpegNoRestart = 12,         // the expected restart marker is missing or out of order
    kJpegNoEoi = 13,             // no EOI after the last MCU
    kJpegOk = 0,
};

// Reads until the frame's markers say it ends; use only when the length is unknown.
QV_EXPORT int jpeg_decode(unsigned char* out, int pitch, unsigned char* in, int width, int height);

// The same, never reading beyond in[0 .. in_size): the capture path passes the
// buffer's bytes used. Entropy data that runs out reads as zero bits (giving 12 or 13);
// a header segment that runs out gives 14.
int jpeg_decode_bounded(unsigned char* out, int pitch, const unsigned char* in, size_t in_size, int width, int height);
