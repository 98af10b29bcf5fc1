// Big-endian byte I/O on streams and memory, the stuffing bit writer and the silent print gate of the NIST codecs.
// Nothing here allocates except read_ascii_file and filesize's stream; buffers and cursors belong to the caller.
#pragma once
#include "qv_export.h"
#include <cstddef>
#include <cstdio>

// Byte-level failure codes; every reader and writer above passes them up unchanged.
enum {
    NIST_ERR_READ_BYTE = -30,
    NIST_ERR_WRITE_BYTE = -31,
    NIST_ERR_PUTC_BYTE = -32,
    NIST_ERR_PUTC_BYTES = -33,
    NIST_ERR_READ_USHORT = -34,
    NIST_ERR_WRITE_USHORT = -35,
    NIST_ERR_READ_UINT = -36,
    NIST_ERR_WRITE_UINT = -37,
    NIST_ERR_STUFF_FILE = -38,
    NIST_ERR_GETC_BYTE = -39,
    NIST_ERR_GETC_BYTES = -40,
    NIST_ERR_STUFF_MEM = -41,
    // The bit writer ran out of its output area.
    NIST_ERR_BITS_OVERFLOW = -44,
};

bool is_big_endian_host();

int read_byte(unsigned char* ochar, FILE* fp);
int write_byte(unsigned char c, FILE* fp);
int read_ushort(unsigned short* oval, FILE* fp);
int write_ushort(unsigned short val, FILE* fp);
int read_uint(unsigned int* oval, FILE* fp);
int write_uint(unsigned int val, FILE* fp);

int getc_byte(unsigned char* ochar, const unsigned char** cbufptr, const unsigned char* ebufptr);
// Copies count bytes to *odata (the destination pointer itself is not advanced).
int getc_bytes(unsigned char** odata, int count, const unsigned char** cbufptr, const unsigned char* ebufptr);
int getc_ushort(unsigned short* oval, const unsigned char** cbufptr, const unsigned char* ebufptr);
int getc_uint(unsigned int* oval, const unsigned char** cbufptr, const unsigned char* ebufptr);

int putc_byte(unsigned char c, unsigned char* odata, int oalloc, int* olen);
int putc_bytes(const unsigned char* idata, int count, unsigned char* odata, int oalloc, int* olen);
int putc_ushort(unsigned short val, unsigned char* odata, int oalloc, int* olen);
int putc_uint(unsigned int val, unsigned char* odata, int oalloc, int* olen);

// Bit writer: appends the low `size` bits of `code`, MSB first, stuffing 0x00 after every 0xFF.
// `end` is one past the last byte the writer may store; running into it gives NIST_ERR_BITS_OVERFLOW.
int write_code_bits(unsigned char** outbuf, unsigned char* end, unsigned short code, int size, int* outbit,
                    unsigned char* bits, int* bytes);
// Stores a partly filled pending byte, its free low places set to 1.
int flush_code_bits(unsigned char** outbuf, unsigned char* end, int* outbit, unsigned char* bits, int* bytes);

// Whole file as a new NUL-terminated text (caller frees): 0, -2 no memory, -3 cannot open, -4 short read.
int read_ascii_file(const char* path, char** ostr);
// Size of a named file: -2 cannot open, -3 seek fails, -4 position unknown.
long filesize(const char* path);

// Print gate: the diagnostic level is the constant 0, so nothing is ever written; returns 0.
QV_EXPORT int diag_fprintf(FILE* fp, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
// Unconditional print to standard output (kept for tools; the codec never calls it).
int debug_printf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void report_fatal_error(const char* a, const char* b = nullptr, const char* c = nullptr);
void report_system_error(const char* a, const char* b = nullptr, const char* c = nullptr);
// IEEE 802.3 CRC-32 continued from crc; a null buffer returns crc unchanged.
unsigned int crc32_update(unsigned int crc, const unsigned char* buf, size_t len);
void free_if_set(void* p);

// Level of the print gate; tracing compares it with higher thresholds.
constexpr int kNistDebugLevel = 0;
