// Internal: one reader interface over a stream and a memory cursor, so each WSQ reader is written once
// and the two media differ only in their failure codes.
#pragma once
#include <cstdio>

#include "nist_io.h"

// One failure's code from the stream reader and from the memory reader (the buffer writer's,
// for the writers).
struct WsqCodes {
    int file;
    int mem;
};

struct WsqMemMedium {
    static constexpr bool kFile = false;
    const unsigned char** cur;
    const unsigned char* end;
    int u8(unsigned char* v) { return getc_byte(v, cur, end); }
    int u16(unsigned short* v) { return getc_ushort(v, cur, end); }
    int u32(unsigned int* v) { return getc_uint(v, cur, end); }
    int bytes(unsigned char* dst, int n) { return getc_bytes(&dst, n, cur, end); }
    static constexpr int code(WsqCodes c) { return c.mem; }
};

struct WsqFileMedium {
    static constexpr bool kFile = true;
    FILE* fp;
    int u8(unsigned char* v) { return read_byte(v, fp); }
    int u16(unsigned short* v) { return read_ushort(v, fp); }
    int u32(unsigned int* v) { return read_uint(v, fp); }
    int bytes(unsigned char* dst, int n) {
        if (n < 0 || (n > 0 && fread(dst, 1, static_cast<size_t>(n), fp) != static_cast<size_t>(n)))
            return NIST_ERR_READ_BYTE;
        return 0;
    }
    static constexpr int code(WsqCodes c) { return c.file; }
};
