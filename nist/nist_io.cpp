// Big-endian byte I/O, bit writer and print gate of the NIST codecs.
#include "nist_io.h"

#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "qv_crc32.h"

bool is_big_endian_host() {
    unsigned int one = 1;
    unsigned char first;
    std::memcpy(&first, &one, 1);
    return first != 1;
}

namespace {

unsigned short swap16(unsigned short v) {
    return is_big_endian_host() ? v : static_cast<unsigned short>((v >> 8) | (v << 8));
}

unsigned int swap32(unsigned int v) {
    if (is_big_endian_host()) return v;
    return (v >> 24) | ((v >> 8) & 0xFF00u) | ((v << 8) & 0xFF0000u) | (v << 24);
}

// Stores one byte of coded data, with its stuffed zero after 0xFF.
int store_coded_byte(unsigned char** outbuf, unsigned char* end, unsigned char b, int* bytes) {
    int need = (b == 0xFF) ? 2 : 1;
    if (*outbuf == nullptr || end - *outbuf < need) {
        diag_fprintf(stderr, "ERROR : write_code_bits : coded data overflows its area\n");
        return NIST_ERR_BITS_OVERFLOW;
    }
    *(*outbuf)++ = b;
    if (b == 0xFF) {
        *(*outbuf)++ = 0;
        (*bytes)++;
    }
    (*bytes)++;
    return 0;
}

}  // namespace

int read_byte(unsigned char* ochar, FILE* fp) {
    unsigned char c;
    if (fp == nullptr || fread(&c, 1, 1, fp) != 1) {
        diag_fprintf(stderr, "ERROR : read_byte : fread : 1 byte\n");
        return NIST_ERR_READ_BYTE;
    }
    *ochar = c;
    return 0;
}

int write_byte(unsigned char c, FILE* fp) {
    if (fp == nullptr || fwrite(&c, 1, 1, fp) != 1) {
        diag_fprintf(stderr, "ERROR : write_byte : fwrite : 1 byte\n");
        return NIST_ERR_WRITE_BYTE;
    }
    return 0;
}

int read_ushort(unsigned short* oval, FILE* fp) {
    unsigned short v;
    if (fp == nullptr || fread(&v, sizeof v, 1, fp) != 1) {
        diag_fprintf(stderr, "ERROR : read_ushort : fread : 2 bytes\n");
        return NIST_ERR_READ_USHORT;
    }
    *oval = swap16(v);
    return 0;
}

int write_ushort(unsigned short val, FILE* fp) {
    unsigned short v = swap16(val);
    if (fp == nullptr || fwrite(&v, sizeof v, 1, fp) != 1) {
        diag_fprintf(stderr, "ERROR : write_ushort : fwrite : 2 bytes\n");
        return NIST_ERR_WRITE_USHORT;
    }
    return 0;
}

int read_uint(unsigned int* oval, FILE* fp) {
    unsigned int v;
    if (fp == nullptr || fread(&v, sizeof v, 1, fp) != 1) {
        diag_fprintf(stderr, "ERROR : read_uint : fread : 4 bytes\n");
        return NIST_ERR_READ_UINT;
    }
    *oval = swap32(v);
    return 0;
}

int write_uint(unsigned int val, FILE* fp) {
    unsigned int v = swap32(val);
    if (fp == nullptr || fwrite(&v, sizeof v, 1, fp) != 1) {
        diag_fprintf(stderr, "ERROR : write_uint : fwrite : 4 bytes\n");
        return NIST_ERR_WRITE_UINT;
    }
    return 0;
}

int getc_byte(unsigned char* ochar, const unsigned char** cbufptr, const unsigned char* ebufptr) {
    if (cbufptr == nullptr || *cbufptr == nullptr || ebufptr == nullptr || *cbufptr >= ebufptr) {
        diag_fprintf(stderr, "ERROR : getc_byte : premature end of buffer\n");
        return NIST_ERR_GETC_BYTE;
    }
    *ochar = *(*cbufptr)++;
    return 0;
}

int getc_bytes(unsigned char** odata, int count, const unsigned char** cbufptr, const unsigned char* ebufptr) {
    if (count < 0 || odata == nullptr || (count > 0 && *odata == nullptr) || cbufptr == nullptr ||
        *cbufptr == nullptr || ebufptr == nullptr || *cbufptr > ebufptr || ebufptr - *cbufptr < count) {
        diag_fprintf(stderr, "ERROR : getc_bytes : premature end of buffer\n");
        return NIST_ERR_GETC_BYTES;
    }
    if (count > 0) std::memcpy(*odata, *cbufptr, static_cast<size_t>(count));
    *cbufptr += count;
    return 0;
}

int getc_ushort(unsigned short* oval, const unsigned char** cbufptr, const unsigned char* ebufptr) {
    unsigned char b[2];
    unsigned char* p = b;
    int ret = getc_bytes(&p, 2, cbufptr, ebufptr);
    if (ret) return ret;
    *oval = static_cast<unsigned short>((b[0] << 8) | b[1]);
    return 0;
}

int getc_uint(unsigned int* oval, const unsigned char** cbufptr, const unsigned char* ebufptr) {
    unsigned char b[4];
    unsigned char* p = b;
    int ret = getc_bytes(&p, 4, cbufptr, ebufptr);
    if (ret) return ret;
    *oval = (static_cast<unsigned int>(b[0]) << 24) | (static_cast<unsigned int>(b[1]) << 16) |
            (static_cast<unsigned int>(b[2]) << 8) | b[3];
    return 0;
}

int putc_byte(unsigned char c, unsigned char* odata, int oalloc, int* olen) {
    if (odata == nullptr || olen == nullptr || *olen < 0 || *olen >= oalloc) {
        diag_fprintf(stderr, "ERROR : putc_byte : buffer overlow\n");
        return NIST_ERR_PUTC_BYTE;
    }
    odata[(*olen)++] = c;
    return 0;
}

int putc_bytes(const unsigned char* idata, int count, unsigned char* odata, int oalloc, int* olen) {
    if (count < 0 || odata == nullptr || olen == nullptr || *olen < 0 || *olen > oalloc || count > oalloc - *olen ||
        (count > 0 && idata == nullptr)) {
        diag_fprintf(stderr, "ERROR : putc_bytes : buffer overlow\n");
        return NIST_ERR_PUTC_BYTES;
    }
    if (count > 0) std::memcpy(odata + *olen, idata, static_cast<size_t>(count));
    *olen += count;
    return 0;
}

int putc_ushort(unsigned short val, unsigned char* odata, int oalloc, int* olen) {
    const unsigned char b[2] = {static_cast<unsigned char>(val >> 8), static_cast<unsigned char>(val)};
    return putc_bytes(b, 2, odata, oalloc, olen);
}

int putc_uint(unsigned int val, unsigned char* odata, int oalloc, int* olen) {
    const unsigned char b[4] = {static_cast<unsigned char>(val >> 24), static_cast<unsigned char>(val >> 16),
                                static_cast<unsigned char>(val >> 8), static_cast<unsigned char>(val)};
    return putc_bytes(b, 4, odata, oalloc, olen);
}

int write_code_bits(unsigned char** outbuf, unsigned char* end, unsigned short code, int size, int* outbit,
                    unsigned char* bits, int* bytes) {
    // As many bits at a time as the pending byte has room for, most significant first.
    while (size > 0) {
        const int room = *outbit + 1;
        const int take = size < room ? size : room;
        size -= take;
        const unsigned int part = (static_cast<unsigned int>(code) >> size) & ((1u << take) - 1u);
        *bits = static_cast<unsigned char>((static_cast<unsigned int>(*bits) << take) | part);
        *outbit -= take;
        if (*outbit < 0) {
            int ret = store_coded_byte(outbuf, end, *bits, bytes);
            if (ret) return ret;
            *outbit = 7;
            *bits = 0;
        }
    }
    return 0;
}

int flush_code_bits(unsigned char** outbuf, unsigned char* end, int* outbit, unsigned char* bits, int* bytes) {
    if (*outbit == 7) return 0;
    for (int i = 0; i <= *outbit; i++) *bits = static_cast<unsigned char>((*bits << 1) | 1);
    int ret = store_coded_byte(outbuf, end, *bits, bytes);
    if (ret) return ret;
    *outbit = 7;
    *bits = 0;
    return 0;
}

int read_ascii_file(const char* path, char** ostr) {
    long size = filesize(path);
    if (size < 0) return static_cast<int>(size);
    FILE* fp = fopen(path, "rbe");
    if (fp == nullptr) return -3;
    char* s = static_cast<char*>(calloc(static_cast<size_t>(size) + 1, 1));
    if (s == nullptr) {
        fclose(fp);
        return -2;
    }
    size_t n = fread(s, 1, static_cast<size_t>(size), fp);
    fclose(fp);
    if (n != static_cast<size_t>(size)) {
        free(s);
        return -4;
    }
    *ostr = s;
    return 0;
}

long filesize(const char* path) {
    FILE* fp = path ? fopen(path, "rbe") : nullptr;
    if (fp == nullptr) return -2;
    if (fseek(fp, 0L, SEEK_END) != 0) {
        fclose(fp);
        return -3;
    }
    long size = ftell(fp);
    fclose(fp);
    return size < 0 ? -4 : size;
}

int diag_fprintf(FILE* fp, const char* fmt, ...) {
    if (kNistDebugLevel == 0) return 0;
    va_list ap;
    va_start(ap, fmt);
    int n = vfprintf(fp, fmt, ap);
    va_end(ap);
    return n;
}

int debug_printf(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    int n = vprintf(fmt, ap);
    va_end(ap);
    return n;
}

void report_fatal_error(const char* a, const char* b, const char* c) {
    if (kNistDebugLevel == 0) return;
    fflush(stdout);
    if (c)
        diag_fprintf(stderr, "ERROR: %s: %s: %s\n", a, b ? b : "", c);
    else if (b)
        diag_fprintf(stderr, "ERROR: %s: %s\n", a, b);
    else
        diag_fprintf(stderr, "ERROR: %s\n", a ? a : "");
}

void report_system_error(const char* a, const char* b, const char* c) { report_fatal_error(a, b, c); }

unsigned int crc32_update(unsigned int crc, const unsigned char* buf, size_t len) {
    if (buf == nullptr) return crc;
    return qv::crc32_update(crc, buf, len);
}

void free_if_set(void* p) {
    if (p) free(p);
}
