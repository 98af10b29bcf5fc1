// Baseline MJPEG/JPEG decoder of the camera layer: one compressed frame to YUYV.
//
// The caller owns both buffers: in holds the frame from its SOI marker, out receives
// YUYV rows (Y0 U Y1 V per pixel pair) pitch bytes apart and must hold height rows.
// The number of MCUs comes from width and height; a smaller frame is accepted.
// Nothing is kept between calls; the work memory is allocated and freed per call.
//
// Results: -1 NULL buffer or no memory, 1 no SOI, 14 marker search failed or a segment
// is broken or runs past the frame, 2 precision not 8, 5 size not a multiple of 8,
// 6 more than 4 frame components, 7 sampling factor above 3, 8 table id out of range,
// 9 unusable scan (component count or first component's sampling), 10 scan component
// not in the frame (or a frame without components), -5 frame larger than width x height,
// 12 restart marker missing or out of order, 13 no EOI after the last MCU, 0 success.
// MCUs written before a failure stay in the output.
#pragma once

#include <cstddef>

#include "qv_export.h"

// Reads until the frame's markers say it ends; use only when the length is unknown.
QV_EXPORT int jpeg_decode(unsigned char* out, int pitch, unsigned char* in, int width, int height);

// The same, never reading beyond in[0 .. in_size): the capture path passes the
// buffer's bytes used. Entropy data that runs out reads as zero bits (giving 12 or 13);
// a header segment that runs out gives 14.
int jpeg_decode_bounded(unsigned char* out, int pitch, const unsigned char* in, size_t in_size, int width,
                        int height);
