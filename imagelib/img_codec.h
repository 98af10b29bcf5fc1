// Codec entries behind the format dispatch: one encoder and one decoder per format.
//
// Encoders: a non-empty path writes that file (result 1); otherwise they write to memory
// through buf/length, reallocating *buf (caller owns it, releases it with FreeImgBuff), and
// return the encoded length; on failure 0 with *buf freed. Decoders: a non-empty path reads
// that file, otherwise data/length; they allocate *img through AllocImgData (caller owns it)
// and free it on failure; a NULL img only reports width, height, layout and dpi.
#pragma once

#include <cstdio>

#include "qv_export.h"

// BMP.
QV_EXPORT int WriteBmp(const char* path, const unsigned char* pixels, int width, int height, int layout, int dpi,
                       int outputChoice, unsigned char** buf, int* length);
QV_EXPORT int ReadBmp(const char* path, unsigned char** img, int* width, int* height, int* layout, int* dpi,
                      int request, const unsigned char* data, int length);
QV_EXPORT unsigned char* StoreBmpPixel(const unsigned char* bgra, int layout, unsigned char* dst);

// JPEG and PNG.
QV_EXPORT int WriteJpeg(const char* path, const unsigned char* pixels, int width, int height, int layout, int dpi,
                        int outputChoice, int quality, unsigned char** buf, int* length);
QV_EXPORT int ReadJpeg(const char* path, unsigned char** img, int* width, int* height, int* layout, int* dpi,
                       int request, const unsigned char* data, int length);
QV_EXPORT int WritePng(const char* path, const unsigned char* pixels, int width, int height, int layout, int dpi,
                       int outputChoice, unsigned char** buf, int* length);
QV_EXPORT int ReadPng(const char* path, unsigned char** img, int* width, int* height, int* layout, int* dpi,
                      int request, const unsigned char* data, int length);

// TIFF and JPEG-2000 (format code 6: JP2 file, 7: JPC code stream).
QV_EXPORT int WriteTiff(const char* path, const unsigned char* pixels, int width, int height, int layout, int dpi,
                        int outputChoice, int quality, unsigned char** buf, int* length);
QV_EXPORT int ReadTiff(const char* path, unsigned char** img, int* width, int* height, int* layout, int* dpi,
                       int request, const unsigned char* data, int length);
QV_EXPORT int WriteJp2(const char* path, const unsigned char* pixels, int width, int height, int layout, int dpi,
                       int outputChoice, int quality, unsigned char** buf, int* length, int formatCode);
QV_EXPORT int ReadJp2(const char* path, unsigned char** img, int* width, int* height, int* layout, int* dpi,
                      int request, const unsigned char* data, int length);

// PBM, PGM and PPM, in memory only (format code 12 to 14; binary when the flag is not 0).
QV_EXPORT int WritePnm(const unsigned char* pixels, int width, int height, int layout, int formatCode, int binary,
                       unsigned char** buf, int* length);
QV_EXPORT int ReadPnm(unsigned char** img, int* width, int* height, int* layout, int* dpi, int request,
                      const unsigned char* data, int length);

// Transparency for the alpha entries: a new buffer (caller frees) of layout 5 or 6, or NULL.
QV_EXPORT unsigned char* AddTransparency(const unsigned char* pixels, int width, int height, int* layout, int key,
                                         int tolerance, int alpha, const unsigned char* alphaPlane, int targetFormat);

// WSQ glue to the NIST codec (not exported). Same contracts as the NIST entries: 0 on
// success, negative on failure; outputs are malloc'd and handed to the caller.
int ImgWsqEncode(unsigned char** out, int* length, float bitRate, const unsigned char* grey, int width, int height,
                 int depth, int ppi, const char* comment);
int ImgWsqDecodeMem(unsigned char** pixels, int* width, int* height, int* depth, int* ppi, int* lossy,
                    const unsigned char* data, int length);
int ImgWsqDecodeFile(unsigned char** pixels, int* width, int* height, int* depth, int* ppi, int* lossy, FILE* file);
// 1 when the whole buffer was written to path, else 0.
int ImgWsqWriteFile(const char* path, const unsigned char* buf, int size);
