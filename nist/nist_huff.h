// Huffman tables of the NIST codecs: code lengths from counts (limited to 16 bits), canonical codes,
// decoding tables and the table segment body. Every array handed out is malloc'd and owned by the caller.
#pragma once
#include <cstdio>

constexpr int kMaxHuffBits = 16;      // longest code written or read
constexpr int kMaxHuffCounts = 256;   // WSQ alphabet bound M (symbols 0..255)
constexpr int kMaxHuffCodeSize = 32;  // deepest tree that is counted

struct HUFFCODE {
    short size;
    unsigned int code;
};

int find_huff_sizes(int** ocodesize, int* freq, int max_huffcounts);
void find_two_least_freq(int* v1, int* v2, const int* freq, int max_huffcounts);
// Counts of code lengths 1..32 (32 bytes); *adjust set when a size exceeds 16. -3 for a size above 32.
int find_num_huff_sizes(unsigned char** obits, int* adjust, const int* codesize, int max_huffcounts);
// Limits the 32 counts to 16 bits in place, keeping exactly the codes present and one free code point.
int sort_huffbits(unsigned char* bits);
int sort_code_sizes(unsigned char** ovalues, const int* codesize, int max_huffcounts);
int build_huffsizes(HUFFCODE** ohuffcode_table, int* last_size, const unsigned char* huffbits, int max_huffcounts);
void assign_huffcodes(HUFFCODE* huffcode_table);
int build_huffcode_table(HUFFCODE** ohuffcode_table, const HUFFCODE* in_huffcode_table, int last_size,
                         const unsigned char* values, int max_huffcounts);
void build_decode_table(int* maxcode, int* mincode, int* valptr, const unsigned char* huffbits,
                        const HUFFCODE* huffcode_table);

// Reads one table after the marker; with read_table_len_flag the segment length first.
int read_huffman_table(unsigned char* otable_id, unsigned char** ohuffbits, unsigned char** ohuffvalues,
                       int max_huffcounts, FILE* infp, int read_table_len_flag, int* bytes_left);
int getc_huffman_table(unsigned char* otable_id, unsigned char** ohuffbits, unsigned char** ohuffvalues,
                       int max_huffcounts, const unsigned char** cbufptr, const unsigned char* ebufptr,
                       int read_table_len_flag, int* bytes_left);
int putc_huffman_table(unsigned short marker, unsigned char table_id, const unsigned char* huffbits,
                       const unsigned char* huffvalues, unsigned char* outbuf, int outalloc, int* outlen);
int write_huffman_table(unsigned short marker, unsigned char table_id, const unsigned char* huffbits,
                        const unsigned char* huffvalues, FILE* outfp);

// Kraft sum of 16 length counts in units of 2^-16 (65536 is a full code space).
long huff_code_space(const unsigned char* huffbits);
