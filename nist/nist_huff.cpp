// Huffman table construction, canonical codes, decoding tables and table segments.
#include "nist_huff.h"

#include <cstdlib>
#include <cstring>

#include "nist_io.h"

int find_huff_sizes(int** ocodesize, int* freq, int max_huffcounts) {
    const int n = max_huffcounts + 1;
    int* codesize = static_cast<int*>(calloc(static_cast<size_t>(n), sizeof(int)));
    if (codesize == nullptr) {
        diag_fprintf(stderr, "ERROR : find_huff_sizes : calloc : codesize\n");
        return -2;
    }
    int* others = static_cast<int*>(malloc(static_cast<size_t>(n) * sizeof(int)));
    if (others == nullptr) {
        diag_fprintf(stderr, "ERROR : find_huff_sizes : malloc : others\n");
        free(codesize);
        return -3;
    }
    for (int i = 0; i < n; i++) others[i] = -1;
    for (;;) {
        int v1, v2;
        find_two_least_freq(&v1, &v2, freq, max_huffcounts);
        if (v2 < 0) break;
        freq[v1] += freq[v2];
        freq[v2] = 0;
        codesize[v1]++;
        int v = v1;
        while (others[v] != -1) {
            v = others[v];
            codesize[v]++;
        }
        others[v] = v2;
        codesize[v2]++;
        v = v2;
        while (others[v] != -1) {
            v = others[v];
            codesize[v]++;
        }
    }
    free(others);
    *ocodesize = codesize;
    return 0;
}

void find_two_least_freq(int* v1, int* v2, const int* freq, int max_huffcounts) {
    int best = -1, second = -1;
    for (int i = 0; i <= max_huffcounts; i++) {
        if (freq[i] == 0) continue;
        if (best < 0 || freq[i] <= freq[best]) {
            second = best;
            best = i;
        } else if (second < 0 || freq[i] <= freq[second]) {
            second = i;
        }
    }
    *v1 = best;
    *v2 = second;
}

int find_num_huff_sizes(unsigned char** obits, int* adjust, const int* codesize, int max_huffcounts) {
    *adjust = 0;
    int counts[kMaxHuffCodeSize] = {0};
    for (int i = 0; i < max_huffcounts; i++) {
        if (codesize[i] == 0) continue;
        if (codesize[i] > kMaxHuffCodeSize) {
            diag_fprintf(stderr, "ERROR : find_num_huff_sizes : code size %d too deep\n", codesize[i]);
            return -3;
        }
        counts[codesize[i] - 1]++;
        if (codesize[i] > kMaxHuffBits) *adjust = 1;
    }
    for (int i = 0; i < kMaxHuffCodeSize; i++) {
        if (counts[i] > 255) {
            diag_fprintf(stderr, "ERROR : find_num_huff_sizes : %d codes of length %d\n", counts[i], i + 1);
            return -3;
        }
    }
    unsigned char* bits = static_cast<unsigned char*>(calloc(kMaxHuffCodeSize, 1));
    if (bits == nullptr) {
        diag_fprintf(stderr, "ERROR : find_num_huff_sizes : calloc : bits\n");
        return -2;
    }
    for (int i = 0; i < kMaxHuffCodeSize; i++) bits[i] = static_cast<unsigned char>(counts[i]);
    *obits = bits;
    return 0;
}

int sort_huffbits(unsigned char* bits) {
    short* tbits = static_cast<short*>(malloc(kMaxHuffCodeSize * sizeof(short)));
    if (tbits == nullptr) {
        diag_fprintf(stderr, "ERROR : sort_huffbits : malloc : tbits\n");
        return -2;
    }
    int present = 0;
    for (int i = 0; i < kMaxHuffCodeSize; i++) {
        tbits[i] = bits[i];
        present += bits[i];
    }
    // Move pairs of over-long codes up, as in Figure K.3 (index = length - 1).
    for (int i = kMaxHuffCodeSize - 1; i > kMaxHuffBits - 1; i--) {
        while (tbits[i] > 0) {
            int j = i - 2;
            while (j >= 0 && tbits[j] == 0) j--;
            if (j < 0) {
                free(tbits);
                diag_fprintf(stderr, "ERROR : sort_huffbits : no shorter code to split\n");
                return -3;
            }
            tbits[i] = static_cast<short>(tbits[i] - 2);
            tbits[i - 1] = static_cast<short>(tbits[i - 1] + 1);
            tbits[j + 1] = static_cast<short>(tbits[j + 1] + 2);
            tbits[j] = static_cast<short>(tbits[j] - 1);
        }
        tbits[i] = 0;
    }
    // An odd count above 16 bits recreated the reserved code point: take back only codes beyond the
    // symbols present, so that no symbol loses its code.
    int total = 0;
    for (int i = 0; i < kMaxHuffBits; i++) total += tbits[i];
    while (total > present) {
        int i = kMaxHuffBits - 1;
        while (i >= 0 && tbits[i] == 0) i--;
        if (i < 0) break;
        tbits[i]--;
        total--;
    }
    for (int i = 0; i < kMaxHuffCodeSize; i++) {
        if (tbits[i] < 0 || tbits[i] > 255) {
            free(tbits);
            diag_fprintf(stderr, "ERROR : sort_huffbits : count out of range\n");
            return -3;
        }
        bits[i] = static_cast<unsigned char>(tbits[i]);
    }
    free(tbits);
    return 0;
}

int sort_code_sizes(unsigned char** ovalues, const int* codesize, int max_huffcounts) {
    unsigned char* values = static_cast<unsigned char*>(calloc(static_cast<size_t>(max_huffcounts) + 1, 1));
    if (values == nullptr) {
        diag_fprintf(stderr, "ERROR : sort_code_sizes : calloc : values\n");
        return -2;
    }
    int k = 0;
    for (int len = 1; len <= kMaxHuffCodeSize; len++)
        for (int s = 0; s < max_huffcounts; s++)
            if (codesize[s] == len) values[k++] = static_cast<unsigned char>(s);
    *ovalues = values;
    return 0;
}

int build_huffsizes(HUFFCODE** ohuffcode_table, int* last_size, const unsigned char* huffbits, int max_huffcounts) {
    int total = 0;
    for (int i = 0; i < kMaxHuffBits; i++) total += huffbits[i];
    if (total > max_huffcounts + 1) {
        diag_fprintf(stderr, "ERROR : build_huffsizes : %d codes\n", total);
        return -3;
    }
    HUFFCODE* table = static_cast<HUFFCODE*>(calloc(static_cast<size_t>(max_huffcounts) + 2, sizeof(HUFFCODE)));
    if (table == nullptr) {
        diag_fprintf(stderr, "ERROR : build_huffsizes : calloc : huffcode_table\n");
        return -2;
    }
    int k = 0;
    for (int len = 1; len <= kMaxHuffBits; len++)
        for (int j = 0; j < huffbits[len - 1]; j++) table[k++].size = static_cast<short>(len);
    table[k].size = 0;
    *ohuffcode_table = table;
    *last_size = k;
    return 0;
}

void assign_huffcodes(HUFFCODE* table) {
    if (table[0].size == 0) return;
    unsigned int code = 0;
    short si = table[0].size;
    int k = 0;
    for (;;) {
        do {
            table[k].code = code & 0xFFFFu;
            code++;
            k++;
        } while (table[k].size == si);
        if (table[k].size == 0) break;
        do {
            code <<= 1;
            si++;
        } while (table[k].size != si);
    }
}

int build_huffcode_table(HUFFCODE** ohuffcode_table, const HUFFCODE* in, int last_size, const unsigned char* values,
                         int max_huffcounts) {
    HUFFCODE* table = static_cast<HUFFCODE*>(calloc(static_cast<size_t>(max_huffcounts) + 1, sizeof(HUFFCODE)));
    if (table == nullptr) {
        diag_fprintf(stderr, "ERROR : build_huffcode_table : calloc : new_huffcode_table\n");
        return -2;
    }
    for (int i = 0; i < last_size; i++) {
        if (values[i] > max_huffcounts) continue;
        table[values[i]] = in[i];
    }
    *ohuffcode_table = table;
    return 0;
}

void build_decode_table(int* maxcode, int* mincode, int* valptr, const unsigned char* huffbits, const HUFFCODE* table) {
    for (int i = 0; i <= kMaxHuffBits; i++) maxcode[i] = mincode[i] = valptr[i] = 0;
    int p = 0;
    for (int len = 1; len <= kMaxHuffBits; len++) {
        int n = huffbits[len - 1];
        if (n == 0) {
            maxcode[len] = -1;
            continue;
        }
        valptr[len] = p;
        mincode[len] = static_cast<int>(table[p].code);
        p += n - 1;
        maxcode[len] = static_cast<int>(table[p].code);
        p++;
    }
}

long huff_code_space(const unsigned char* huffbits) {
    long space = 0;
    for (int len = 1; len <= kMaxHuffBits; len++) space += static_cast<long>(huffbits[len - 1]) << (kMaxHuffBits - len);
    return space;
}

namespace {

// The shared body of the stream and memory table readers.
template <class ReadU8, class ReadU16, class ReadN>
int read_table_body(unsigned char* otable_id, unsigned char** ohuffbits, unsigned char** ohuffvalues,
                    int max_huffcounts, int read_table_len_flag, int* bytes_left, ReadU8 rd8, ReadU16 rd16, ReadN rdn) {
    int ret;
    if (read_table_len_flag) {
        unsigned short len;
        if ((ret = rd16(&len))) return ret;
        *bytes_left = len - 2;
    }
    if (*bytes_left <= 0) {
        diag_fprintf(stderr, "ERROR : read_huffman_table : no huffman table bytes remaining\n");
        return -2;
    }
    unsigned char id;
    if ((ret = rd8(&id))) return ret;
    (*bytes_left)--;
    unsigned char* bits = static_cast<unsigned char*>(calloc(kMaxHuffBits, 1));
    if (bits == nullptr) {
        diag_fprintf(stderr, "ERROR : read_huffman_table : calloc : huffbits\n");
        return -3;
    }
    unsigned short sum = 0;
    for (int i = 0; i < kMaxHuffBits; i++) {
        if ((ret = rd8(&bits[i]))) {
            free(bits);
            return ret;
        }
        sum = static_cast<unsigned short>(sum + bits[i]);
    }
    *bytes_left -= kMaxHuffBits;
    if (sum > max_huffcounts + 1) {
        diag_fprintf(stderr, "ERROR : read_huffman_table : num_hufvals (%d) is larger than MAX_HUFFCOUNTS_WSQ\n", sum);
        free(bits);
        return -4;
    }
    unsigned char* values = static_cast<unsigned char*>(calloc(static_cast<size_t>(max_huffcounts) + 1, 1));
    if (values == nullptr) {
        diag_fprintf(stderr, "ERROR : read_huffman_table : calloc : huffvalues\n");
        free(bits);
        return -5;
    }
    if ((ret = rdn(values, sum))) {
        free(bits);
        free(values);
        return ret;
    }
    *bytes_left -= sum;
    *otable_id = id;
    *ohuffbits = bits;
    *ohuffvalues = values;
    return 0;
}

}  // namespace

int read_huffman_table(unsigned char* otable_id, unsigned char** ohuffbits, unsigned char** ohuffvalues,
                       int max_huffcounts, FILE* infp, int read_table_len_flag, int* bytes_left) {
    return read_table_body(
        otable_id, ohuffbits, ohuffvalues, max_huffcounts, read_table_len_flag, bytes_left,
        [&](unsigned char* b) { return read_byte(b, infp); }, [&](unsigned short* v) { return read_ushort(v, infp); },
        [&](unsigned char* dst, int n) {
            for (int i = 0; i < n; i++) {
                int r = read_byte(&dst[i], infp);
                if (r) return r;
            }
            return 0;
        });
}

int getc_huffman_table(unsigned char* otable_id, unsigned char** ohuffbits, unsigned char** ohuffvalues,
                       int max_huffcounts, const unsigned char** cbufptr, const unsigned char* ebufptr,
                       int read_table_len_flag, int* bytes_left) {
    return read_table_body(
        otable_id, ohuffbits, ohuffvalues, max_huffcounts, read_table_len_flag, bytes_left,
        [&](unsigned char* b) { return getc_byte(b, cbufptr, ebufptr); },
        [&](unsigned short* v) { return getc_ushort(v, cbufptr, ebufptr); },
        [&](unsigned char* dst, int n) { return getc_bytes(&dst, n, cbufptr, ebufptr); });
}

int putc_huffman_table(unsigned short marker, unsigned char table_id, const unsigned char* huffbits,
                       const unsigned char* huffvalues, unsigned char* outbuf, int outalloc, int* outlen) {
    int ret;
    if ((ret = putc_ushort(marker, outbuf, outalloc, outlen))) return ret;
    int values = 0;
    for (int i = 0; i < kMaxHuffBits; i++) values += huffbits[i];
    if ((ret = putc_ushort(static_cast<unsigned short>(19 + values), outbuf, outalloc, outlen))) return ret;
    if ((ret = putc_byte(table_id, outbuf, outalloc, outlen))) return ret;
    for (int i = 0; i < kMaxHuffBits; i++)
        if ((ret = putc_byte(huffbits[i], outbuf, outalloc, outlen))) return ret;
    for (int i = 0; i < values; i++)
        if ((ret = putc_byte(huffvalues[i], outbuf, outalloc, outlen))) return ret;
    return 0;
}

int write_huffman_table(unsigned short marker, unsigned char table_id, const unsigned char* huffbits,
                        const unsigned char* huffvalues, FILE* outfp) {
    int ret;
    if ((ret = write_ushort(marker, outfp))) return ret;
    int values = 0;
    for (int i = 0; i < kMaxHuffBits; i++) values += huffbits[i];
    if ((ret = write_ushort(static_cast<unsigned short>(19 + values), outfp))) return ret;
    if ((ret = write_byte(table_id, outfp))) return ret;
    for (int i = 0; i < kMaxHuffBits; i++)
        if ((ret = write_byte(huffbits[i], outfp))) return ret;
    for (int i = 0; i < values; i++)
        if ((ret = write_byte(huffvalues[i], outfp))) return ret;
    return 0;
}
