// WSQ grey-scale image codec: encoding to memory, decoding from memory or an open stream, and writing a
// buffer to a file. Streams and pixels handed out are malloc'd; the caller frees them with free().
#pragma once
#include <cstdio>

#include "qv_export.h"

// Encodes w x h 8-bit grey pixels at r_bitrate bits per pixel. depth and ppi only go into the NIST
// comment; a comment_text beginning "NIST_COM" is merged into it, any other is a second comment.
// 0 on success (*odata of *olen bytes, at most w x h), else negative: -1 bad arguments or rate,
// -14 width or height below 81, -15 larger than the format or the pixel cap, -10..-13 no memory.
QV_EXPORT int wsq_encode_1(unsigned char** odata, int* olen, float r_bitrate, const unsigned char* idata, int w, int h,
                           int d, int ppi, const char* comment_text);

// Decodes a WSQ stream into new 8-bit grey pixels; depth is 8, lossy 1, ppi -1 without a NIST PPI.
// Null out-arguments are not written (and what they would receive is freed). 0 or negative:
// -1 no data, -20/-21 no memory, -23 width or height below 81, or the stream readers' codes (among
// them a frame above the decode budget's pixels and filters of more taps than the transform allows).
QV_EXPORT int wsq_decode_mem(unsigned char** odata, int* ow, int* oh, int* od, int* oppi, int* lossyflag,
                             const unsigned char* idata, int ilen);
// The same from a stream positioned at the start of the file; -1 for a null stream.
QV_EXPORT int wsq_decode_file(unsigned char** odata, int* ow, int* oh, int* od, int* oppi, int* lossyflag, FILE* infp);

// Writes size bytes to path ("wb"): 1 when all were written, else 0 (a partial file is removed).
QV_EXPORT int write_buffer_file(const char* path, const unsigned char* buf, int size);
