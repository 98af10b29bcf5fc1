// Pixel-buffer transforms: turns, mirrors, rotation, resizing, cropping, channels,
// thresholds and alpha channels. Buffers are malloc'd; a NULL destination is allocated and
// then belongs to the caller (FreeImgData). Layouts 0 (R,G,B) to 2 (grey) unless stated.
#pragma once
#include "qv_export.h"

// 16384 x sin (sine flag set) or cos of an angle in degrees.
QV_EXPORT short SinCosQ14(int angle, int sine);
// Exchanges R and B of each pixel of a layout 0 image.
QV_EXPORT void SwapRedBlue(unsigned char* pixels, int width, int height, int layout);
QV_EXPORT int InvertImg(unsigned char* pixels, int width, int height, int layout);
QV_EXPORT int FlipImgRows(unsigned char* pixels, int width, int height, int layout);
QV_EXPORT int MirrorImgCols(unsigned char* pixels, int width, int height, int layout);
// Quarter turns clockwise (-1000 mirror, below -1000 flip). With new_buffer set the result
// is a new buffer owned by the caller; otherwise it replaces the pixels and they are returned.
QV_EXPORT unsigned char* RotateImgQuarter(unsigned char* pixels, int* width, int* height, int layout, int turns,
                                          int new_buffer);
QV_EXPORT int RotateImgQuarterInPlace(unsigned char** image, int* width, int* height, int layout, int turns);
// Bilinear rotation in 1/16384 pixel about (cx, cy); outside pixels take the fill.
QV_EXPORT unsigned char* RotateImgAngle(unsigned char* dst, const unsigned char* src, int width, int height, int layout,
                                        int angle, int cx, int cy, int fill);
QV_EXPORT unsigned char* ResizeImg(const unsigned char* src, int width, int height, unsigned char* dst, int new_width,
                                   int new_height, int layout);
QV_EXPORT int ResizeImgToWidth(unsigned char** image, int* width, int* height, int layout, int new_width);
// Mode 0 one byte a pixel, 1 three bytes, 2 three bytes with R and B exchanged; a negative
// source height means rows stored bottom-up. A fill of 0 or more pads what lies outside.
QV_EXPORT unsigned char* CropImg(unsigned char* dst, int x, int y, int crop_width, int crop_height,
                                 const unsigned char* src, int src_width, int src_height, int mode, int fill);
QV_EXPORT unsigned char* ExtractChannel(unsigned char* dst, const unsigned char* src, int width, int height, int layout,
                                        int channel);
QV_EXPORT int ChannelMean(const unsigned char* bytes, int width, int height, int offset, int step);
QV_EXPORT int OtsuThreshold(const unsigned char* bytes, int width, int height, int offset, int step);
QV_EXPORT void SplitColour(int colour, int* red, int* green, int* blue);
// AddTransparency, used by the alpha entries of the dispatch, is declared in img_codec.h.
