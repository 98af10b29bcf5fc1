// Row tables for libpng; the PNG codec entries themselves are in img_codec.h.
#pragma once
#include "qv_export.h"

// One malloc'd block of width x height x bytesPerPixel bytes and an array of height + 1
// pointers whose first entry holds the block; returns the address of the second entry (the
// rows), or NULL. Release with FreeRowPointers.
QV_EXPORT unsigned char** MakeRowPointers(int width, int height, int bytesPerPixel);
// Frees a table made by MakeRowPointers and stores NULL; nothing for NULL.
QV_EXPORT void FreeRowPointers(unsigned char*** rows);

#include <png.h>

// libpng write and read functions for memory (the io pointer is the codec's own record), and a
// flush function that does nothing.
QV_EXPORT void pngWriterCallback(png_structp png, png_bytep block, png_size_t size);
QV_EXPORT void pngReaderCallback(png_structp png, png_bytep block, png_size_t size);
QV_EXPORT void PngFlushNop(png_structp png);
