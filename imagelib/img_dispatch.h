// Entry points of the image library: encode by format code or file extension, decode by magic bytes.
//
// Encoded output goes to the caller's *buf (NULL or malloc'd), reallocated here; the caller
// releases it with FreeImgBuff. Decoders allocate or reuse the caller's *img (AllocImgData)
// and free it, with width and height 0, on failure. The caller's pixels are never changed.
#pragma once

#include "qv_export.h"

// background or output choice: for layouts 4 and 5 the background 0x00BBGGRR to composite
// over; otherwise -1 keep, 0 colour, 1 green byte, 2 luma. Returns the encoded length, 0 on failure.
QV_EXPORT int SaveImgBuff(const unsigned char* pixels, int width, int height, int layout, int dpi,
                          int backgroundOrChoice, int quality, unsigned char** buf, int* length, int format);
QV_EXPORT int SaveImgBuffAlpha(unsigned char** buf, int* length, int format, const unsigned char* pixels, int width,
                               int height, int layout, int dpi, int key, int tolerance, int alpha,
                               const unsigned char* alphaPlane);
// Returns the written file's size, 0 on failure.
QV_EXPORT int SaveImgFile(const char* path, const unsigned char* pixels, int width, int height, int layout, int dpi,
                          int backgroundOrChoice, int quality);
QV_EXPORT int SaveImgFileAlpha(const char* path, const unsigned char* pixels, int width, int height, int layout,
                               int dpi, int key, int tolerance, int alpha, const unsigned char* alphaPlane);
// request: -1 automatic, -2 / -3 alpha layouts 4 / 5 where the file has alpha, 0 to 2 that layout.
// img may be NULL to report only the sizes. Returns the format code found, 0 on failure.
QV_EXPORT int LoadImgBuff(unsigned char** img, int* width, int* height, int* layout, int* dpi, int request,
                          const unsigned char* data, int length);
QV_EXPORT int LoadImgFile(const char* path, unsigned char** img, int* width, int* height, int* layout, int* dpi,
                          int request);
QV_EXPORT int ConvertImgFile(const char* srcPath, const char* dstPath, int backgroundOrChoice, int quality);
QV_EXPORT const char* GetImgLibVersion();
QV_EXPORT float WsqBitRate(int quality);
QV_EXPORT int Jp2FormatCode(const char* name, int format);
