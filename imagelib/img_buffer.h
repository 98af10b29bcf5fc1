// Pixel buffers of the image library: layouts, format codes, buffer ownership and colour conversions.
//
// Ownership: every pixel buffer and every encoded buffer is malloc'd and belongs to the caller.
// Functions taking an "image pointer" (unsigned char**) or a "byte-buffer pointer" reallocate or
// free the block it holds; on failure they leave it NULL. Functions returning a new buffer hand it
// to the caller, who releases it with free() (or FreeImgData / FreeImgBuff).
#pragma once

#include "qv_export.h"

// Pixel layouts; rows run top-down without padding.
enum ImgPixelLayout {
    kLayoutRgb = 0,         // R, G, B
    kLayoutGreyGreen = 1,   // grey, the green channel when made from colour
    kLayoutGreyLuma = 2,    // grey, the luma when made from colour
    kLayoutUnassigned = 3,  // one byte a pixel; the BMP writer alone accepts it
    kLayoutBgraPremul = 4,  // B, G, R, A with colour premultiplied by alpha
    kLayoutBgra = 5,        // B, G, R, A straight
    kLayoutGreyAlpha = 6,   // grey, A
};

enum ImgFormatCode {
    kFormatBmp = 1,
    kFormatJpeg = 2,
    kFormatTiff = 3,
    kFormatPng = 4,
    kFormatWsq = 5,
    kFormatJp2 = 6,
    kFormatJpc = 7,
    kFormatJ2k = 8,  // written as a JP2 file
    kFormatJ2c = 9,  // written as a JPC code stream
    kFormatPbm = 12,
    kFormatPgm = 13,
    kFormatPpm = 14,
};

// Widths and heights are valid from 1 to this value at every entry of the library.
constexpr int kImgMaxSide = 32767;

// Bytes of one pixel as the library allocates it: 3 for layout 0, 4 above 3, else 1.
int ImgAllocPixelSize(int layout);
// Bytes of one pixel as stored: 3, 1, 1, 1, 4, 4, 2 for layouts 0 to 6 (4 above 6).
int ImgPixelSize(int layout);
// width x height x bytes per pixel computed in 64 bits; 0 when a side lies outside
// 1 to kImgMaxSide, bytes per pixel is below 1 or the product exceeds INT_MAX.
int ImgPlaneSize(int width, int height, int bytesPerPixel);

// Buffer functions.
QV_EXPORT int AllocImgData(unsigned char** img, int* width, int* height, int* layout, int newWidth, int newHeight,
                           int newLayout);
QV_EXPORT int ReallocBytes(unsigned char** buf, int* capacity, int size);
QV_EXPORT int ReallocBytesExact(unsigned char** buf, int* capacity, int size);
QV_EXPORT int GetEncodeCapacity(unsigned char** buf, int* capacity, int width, int height, int layout);
QV_EXPORT void FreeImgBuff(unsigned char** buf);
QV_EXPORT void FreeImgBuffLen(unsigned char** buf, int* length);
QV_EXPORT void FreeImgData(unsigned char** img);
QV_EXPORT void FreeImgDataSize(unsigned char** img, int* width, int* height);
QV_EXPORT unsigned char* CopyImg(unsigned char* dst, const unsigned char* src, int width, int height, int layout);

// Little-endian cursor access; the cursor advances past the value.
QV_EXPORT unsigned short ReadLe16(const unsigned char** cursor);
QV_EXPORT unsigned int ReadLe32(const unsigned char** cursor);
QV_EXPORT void WriteLe16(unsigned char** cursor, unsigned int value);
QV_EXPORT void WriteLe32(unsigned char** cursor, unsigned int value);

// Colour conversions.
QV_EXPORT int LumaRgb(const unsigned char* rgb);
QV_EXPORT int LumaBgr(const unsigned char* bgr);
QV_EXPORT int ChromaU(const unsigned char* rgb);
QV_EXPORT int ChromaV(const unsigned char* rgb);
// Selector 0: the source is grey already (returned itself when dst is NULL and copy is 0);
// 1: LumaRgb, 2: LumaBgr of 3-byte pixels. dst NULL allocates.
QV_EXPORT unsigned char* ToGrey(unsigned char* dst, const unsigned char* src, int width, int height, int selector,
                                int copy);
QV_EXPORT int ToGreyInPlace(unsigned char** img, int width, int height, int* layout, int selector);
// Returns img itself for grey layouts; a new plane (caller frees) for layout 0.
QV_EXPORT unsigned char* GreyForWsq(const unsigned char* img, int width, int height, int layout, int outputChoice);
QV_EXPORT int GreyToRgb(unsigned char** img, int width, int height, int* layout, int request);
QV_EXPORT unsigned char* LumaPlane(const unsigned char* img, int width, int height, int layout);
// Composites a layout 4 or 5 image over the background 0x00BBGGRR into a new R,G,B buffer.
QV_EXPORT unsigned char* FlattenAlpha(const unsigned char* img, int width, int height, int layout, int background);

// Resolution: dots per inch <-> pixels per metre.
int DpiToPpm(int dpi);
int PpmToDpi(int ppm);
