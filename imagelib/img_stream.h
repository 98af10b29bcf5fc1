// File-or-memory streams shared by the codecs: item copiers and the stream record handed to libtiff.
//
// The record is local to one call; the codec that fills it owns and closes the file and owns
// the buffer. A memory write stream never grows its buffer.
#pragma once

#include <tiffio.h>

#include <cstdio>

#include "qv_export.h"

// With a file: fread/fwrite. Without: moves whole items between buf and *data, advancing
// *data and reducing *remaining; returns the items moved.
QV_EXPORT int MemFread(void* buf, int itemSize, int count, FILE* file, const unsigned char** data, int* remaining);
QV_EXPORT int MemFwrite(const void* buf, int itemSize, int count, FILE* file, unsigned char** data, int* remaining);

struct ImgStream {
    int writing;          // 1 when written, 0 when read
    FILE* file;           // the open file, or NULL for a memory stream
    int fileSize;         // size of a file being read
    unsigned char* data;  // the memory buffer
    int capacity;         // input length when reading, preallocated size when writing
    int position;         // current offset in the buffer
    int length;           // highest offset written so far
};

// libtiff client procedures; the handle is an ImgStream*.
QV_EXPORT tsize_t ImgStreamRead(thandle_t stream, tdata_t buf, tsize_t size);
QV_EXPORT tsize_t ImgStreamWrite(thandle_t stream, tdata_t buf, tsize_t size);
QV_EXPORT toff_t ImgStreamSeek(thandle_t stream, toff_t offset, int whence);
QV_EXPORT int ImgStreamClose(thandle_t stream);
QV_EXPORT toff_t ImgStreamSize(thandle_t stream);
QV_EXPORT int ImgStreamMap(thandle_t stream, tdata_t* base, toff_t* size);
QV_EXPORT void ImgStreamUnmap(thandle_t stream, tdata_t base, toff_t size);
