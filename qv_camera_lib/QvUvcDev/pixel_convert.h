// Pixel conversions of camera frames to and from YUYV, Bayer demosaicing and YUYV-to-JPEG.
//
// Every buffer belongs to the caller: sources are only read, destinations must hold
// height rows at the given pitch (pitches in bytes, sizes in pixels). Nothing is
// allocated except the encoder's work rows, which it frees before returning.
// A width or height of 0 or less converts nothing; odd widths convert width / 2 pixel
// pairs and never read past the end of a source row.
#pragma once

#include "qv_export.h"

// Packed sources with a pitch: YYUV, UYVY, YVYU, GREY, Y16 (little-endian; the high
// byte becomes the luma, chroma 128), RGB3 (R G B) and BGR3 (B G R).
QV_EXPORT void yyuv_to_yuyv(unsigned char* dst, int dst_pitch, unsigned char* src, int src_pitch, int width,
                            int height);
QV_EXPORT void uyvy_to_yuyv(unsigned char* dst, int dst_pitch, unsigned char* src, int src_pitch, int width,
                            int height);
QV_EXPORT void yvyu_to_yuyv(unsigned char* dst, int dst_pitch, unsigned char* src, int src_pitch, int width,
                            int height);
QV_EXPORT void grey_to_yuyv(unsigned char* dst, int dst_pitch, unsigned char* src, int src_pitch, int width,
                            int height);
QV_EXPORT void y16_to_yuyv(unsigned char* dst, int dst_pitch, unsigned char* src, int src_pitch, int width, int height);
QV_EXPORT void rgb_to_yuyv(unsigned char* dst, int dst_pitch, unsigned char* src, int src_pitch, int width, int height);
QV_EXPORT void bgr_to_yuyv(unsigned char* dst, int dst_pitch, unsigned char* src, int src_pitch, int width, int height);

// Planar and semi-planar sources without a pitch: planes and rows follow each other
// without gaps. For an odd height in the 4:2:0 layouts the last row takes the chroma of
// the last chroma row (128 when there is none). Y41P converts whole 8-pixel groups only;
// S501/S505/S508 convert height / 2 row pairs.
QV_EXPORT void yuv420_to_yuyv(unsigned char* dst, int dst_pitch, unsigned char* src, int width, int height);
QV_EXPORT void yvu420_to_yuyv(unsigned char* dst, int dst_pitch, unsigned char* src, int width, int height);
QV_EXPORT void nv12_to_yuyv(unsigned char* dst, int dst_pitch, unsigned char* src, int width, int height);
QV_EXPORT void nv21_to_yuyv(unsigned char* dst, int dst_pitch, unsigned char* src, int width, int height);
QV_EXPORT void nv16_to_yuyv(unsigned char* dst, int dst_pitch, unsigned char* src, int width, int height);
QV_EXPORT void nv61_to_yuyv(unsigned char* dst, int dst_pitch, unsigned char* src, int width, int height);
QV_EXPORT void y41p_to_yuyv(unsigned char* dst, int dst_pitch, unsigned char* src, int width, int height);
QV_EXPORT void s501_to_yuyv(unsigned char* dst, int dst_pitch, unsigned char* src, int width, int height);
QV_EXPORT void s505_to_yuyv(unsigned char* dst, int dst_pitch, unsigned char* src, int width, int height);
QV_EXPORT void s508_to_yuyv(unsigned char* dst, int dst_pitch, unsigned char* src, int width, int height);

// Bilinear demosaic of one byte per pixel to RGB24 (width x height x 3 bytes, no pitch).
// pattern: 1 GRBG, 2 BGGR (BA81), 3 RGGB, anything else GBRG. A colour with no
// neighbour inside the image (frames under 3 x 2) takes the pixel's own sample.
QV_EXPORT void bayer_to_rgb24(unsigned char* src, unsigned char* dst, int width, int height, int pattern);

// YUYV to RGB, one row of width pixels: rgb24 and bgr24 write 3 bytes per pixel
// (R G B and B G R); rgb32 and bgr32 write R G B and leave the fourth byte as it was;
// rgb565 writes one little-endian 16-bit word per pixel.
QV_EXPORT void yuyv_to_rgb24_line(unsigned char* src, unsigned char* dst, int width);
QV_EXPORT void yuyv_to_bgr24_line(unsigned char* src, unsigned char* dst, int width);
QV_EXPORT void yuyv_to_rgb32_line(unsigned char* src, unsigned char* dst, int width);
QV_EXPORT void yuyv_to_bgr32_line(unsigned char* src, unsigned char* dst, int width);
QV_EXPORT void yuyv_to_rgb565_line(unsigned char* src, unsigned char* dst, int width);

// The same for height rows, the source advancing by src_pitch, the destination by dst_pitch.
QV_EXPORT void yuyv_to_rgb24(unsigned char* src, int src_pitch, unsigned char* dst, int dst_pitch, int width,
                             int height);
QV_EXPORT void yuyv_to_bgr24(unsigned char* src, int src_pitch, unsigned char* dst, int dst_pitch, int width,
                             int height);
QV_EXPORT void yuyv_to_rgb32(unsigned char* src, int src_pitch, unsigned char* dst, int dst_pitch, int width,
                             int height);
QV_EXPORT void yuyv_to_bgr32(unsigned char* src, int src_pitch, unsigned char* dst, int dst_pitch, int width,
                             int height);
QV_EXPORT void yuyv_to_rgb565(unsigned char* src, int src_pitch, unsigned char* dst, int dst_pitch, int width,
                              int height);

// YUYV to planar YUV: the luma plane at dst (rows dst_pitch apart), the chroma planes
// after dst_rows luma rows. The 4:2:0 forms average the chroma of each row pair; the
// planar ones space chroma rows cp = ((dst_pitch / 2) + 15) rounded down to 16 apart.
QV_EXPORT void yuyv_to_yvu420sp(unsigned char* dst, int dst_pitch, int dst_rows, unsigned char* src, int src_pitch,
                                int width, int height);
QV_EXPORT void yuyv_to_yvu420p(unsigned char* dst, int dst_pitch, int dst_rows, unsigned char* src, int src_pitch,
                               int width, int height);
QV_EXPORT void yuyv_to_yuv420p(unsigned char* dst, int dst_pitch, int dst_rows, unsigned char* src, int src_pitch,
                               int width, int height);
QV_EXPORT void yuyv_to_yvu422p(unsigned char* dst, int dst_pitch, int dst_rows, unsigned char* src, int src_pitch,
                               int width, int height);

// Encodes the YUYV frame (size rounded down to multiples of 16) as a 4:2:0 baseline JPEG
// into out[0 .. out_size). Returns the byte count, or 0 when the rounded size is below
// 16 x 16, an argument is unusable, libjpeg fails or the output did not fit.
QV_EXPORT int yuyv_to_jpeg(unsigned char* yuyv, unsigned char* out, int out_size, int width, int height, int src_pitch,
                           int quality);
