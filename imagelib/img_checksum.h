// Checksums and digests of buffers and files, the ZPF compressed container, and whole-file I/O.
//
// The caller owns every buffer passed in; ImgReadFile reallocates the caller's block and
// ImgReadFileBuf returns a new one, both released with free() (or FreeImgBuff).
#pragma once

#include <cstdint>

#include "qv_export.h"

// Mode: low byte 0 MD5, 1 CRC-32, 2 CRC-16/XMODEM, 3 CRC-8/MAXIM, 4 SHA-1; bit 8 (0x100) raw
// bytes instead of upper-case hex text with a NUL. length >= 1: pathOrData is the data;
// otherwise it is a file path. Returns the bytes or characters written (or needed when out
// is NULL), -3 for no data, -12 for an unknown mode, -18 when the file cannot be used.
QV_EXPORT int CalcChecksum(const void* pathOrData, int length, unsigned char* out, int mode);
// Chains: start with 0, feed the pieces, get the standard CRC-32 of their concatenation.
QV_EXPORT unsigned Crc32Update(unsigned crc, const unsigned char* data, int length);

// MD5 state; start with state 67452301 EFCDAB89 98BADCFE 10325476 and count 0.
struct Md5Context {
    uint32_t state[4];
    uint64_t count;  // bytes fed so far
    unsigned char buffer[64];
};
QV_EXPORT void Md5Update(Md5Context* ctx, const unsigned char* data, int length);
QV_EXPORT void Md5Transform(uint32_t state[4], const unsigned char block[64]);
QV_EXPORT void Sha1Transform(uint32_t state[5], const unsigned char block[64]);

// Level 1 to 9 packs in into a ZPF container; level 0 unpacks one. A NULL out returns the
// size needed; a capacity of 0 means the caller guarantees room when packing and is refused
// when unpacking. Returns the bytes written, 0 on failure.
QV_EXPORT int ZpfPack(int level, unsigned char* out, int capacity, const unsigned char* in, int length);

// Reads a whole file into *buf (reallocated to size + extra bytes; NUL after the data when
// extra > 0); returns the size, 0 on failure with *buf freed.
QV_EXPORT int ImgReadFile(const char* path, unsigned char** buf, int extra);
QV_EXPORT unsigned char* ImgReadFileBuf(const char* path, int extra, int* size);
QV_EXPORT int ImgReadFileHead(const char* path, unsigned char* buf, int n);
// File size, -3 for no path, -18 when the file cannot be used.
QV_EXPORT int ImgFileSize(const char* path);
// Writes (append != 0: appends) n bytes; returns the count written.
QV_EXPORT int ImgWriteFile(const char* path, const unsigned char* buf, int n, int append);
