// WSQ coefficient entropy coding: symbol counting, per-block-group Huffman tables, block coding and the
// bounded block decoder with its marker-aware bit reader. Outputs handed out are malloc'd, caller frees.
#pragma once
#include <cstddef>
#include <cstdio>

#include "nist_huff.h"
#include "wsq_segments.h"

constexpr int kMaxCoeff = 74;
constexpr int kMaxZRun = 100;

// Codes of our own; the first three are the same from memory and streams.
constexpr int kErrTooManyCoeffs = -55;    // a block decodes past the symbol room
constexpr int kErrMagnitude = -56;        // a 16-bit magnitude outside int16
constexpr int kErrNoCode = -57;           // no code within 16 bits
constexpr int kErrNoCodeForSymbol = -45;  // coder: a symbol the table has no code for
constexpr int kErrTableInvariant = -49;   // generated table does not code exactly the symbols present

struct wsq_bit_reader {
    int bit_count;        // bits left in code; 0 fetches a byte
    unsigned char code;   // current byte, consumed bits cleared
    unsigned char code2;  // byte after 0xFF
};

int count_block(int** ocounts, int max_huffcounts, const short* sip, int sip_siz, int MaxCoeff, int MaxZRun);
int gen_block_hufftable(HUFFCODE** ohufftable, unsigned char** ohuffbits, unsigned char** ohuffvalues, const short* sip,
                        const int* block_sizes, int num_sizes);
// Codes sip into outbuf (at most outalloc bytes); *obytes is the coded length with stuffed bytes.
int compress_block(unsigned char* outbuf, int outalloc, int* obytes, const short* sip, int sip_siz, int MaxCoeff,
                   int MaxZRun, const HUFFCODE* codes);
int check_all_ones_huffcode(const HUFFCODE* huffcode_table, int last_size);

// Decodes blocks until EOI into ip, which has room for `room` symbols.
int huffman_decode_data_mem(short* ip, size_t room, wsq_transform_table* dtt, wsq_quant_table* dqt, wsq_huff_table* dht,
                            const unsigned char** cbufptr, const unsigned char* ebufptr);
int huffman_decode_data_file(short* ip, size_t room, wsq_transform_table* dtt, wsq_quant_table* dqt,
                             wsq_huff_table* dht, FILE* infp);

int decode_one_code_mem(int* onodeptr, const int* mincode, const int* maxcode, const int* valptr,
                        const unsigned char* huffvalues, int nvalues, const unsigned char** cbufptr,
                        const unsigned char* ebufptr, wsq_bit_reader* br, unsigned short* marker);
int decode_one_code_file(int* onodeptr, const int* mincode, const int* maxcode, const int* valptr,
                         const unsigned char* huffvalues, int nvalues, FILE* infp, wsq_bit_reader* br,
                         unsigned short* marker);
// n bits (1, 8 or 16); a marker may end the block only on a one-bit request with marker_ok.
int getc_nextbits_wsq(unsigned short* obits, unsigned short* marker, const unsigned char** cbufptr,
                      const unsigned char* ebufptr, wsq_bit_reader* br, int bits_req, bool marker_ok);
int nextbits_wsq(unsigned short* obits, unsigned short* marker, FILE* infp, wsq_bit_reader* br, int bits_req,
                 bool marker_ok);
