// WSQ stream segments: markers, decimal-scaled numbers, the decoder's table records and the readers and
// writers of every segment on streams and memory. Readers hand out only new memory, which the caller frees.
#pragma once
#include <cstddef>
#include <cstdio>

#include "nist_fet.h"

constexpr unsigned short SOI_WSQ = 0xFFA0;
constexpr unsigned short EOI_WSQ = 0xFFA1;
constexpr unsigned short SOF_WSQ = 0xFFA2;
constexpr unsigned short SOB_WSQ = 0xFFA3;
constexpr unsigned short DTT_WSQ = 0xFFA4;
constexpr unsigned short DQT_WSQ = 0xFFA5;
constexpr unsigned short DHT_WSQ = 0xFFA6;
constexpr unsigned short COM_WSQ = 0xFFA8;

// Marker classes a marker reader is asked for.
constexpr int ANY_WSQ = 0xFFFF;
constexpr int TBLS_N_SOF = 2;
constexpr int TBLS_N_SOB = 4;

constexpr int kMaxDhtTables = 8;
constexpr int kMaxSubbands = 64;
constexpr int kNumSubbands = 60;
constexpr int kMaxHuffValues = 257;
// Longest filter a transform table may give: the decoder's work grows with the taps, and the
// standard pair has 9 and 7.
constexpr int kMaxFilterTaps = 31;

// Failure codes of our own, the same from streams and memory.
constexpr int kErrFrameSize = -60;   // frame width or height outside 1..32767, or above the pixel budget
constexpr int kErrSegLength = -61;   // a segment length that disagrees with its content
constexpr int kErrFilterTaps = -62;  // a transform table with a filter of 0 taps
constexpr int kErrTableId = -63;     // a Huffman table id of 8 or more (DHT or SOB)
constexpr int kErrCodeSpace = -64;   // Huffman code lengths that over-fill the code space
constexpr int kErrScaleRange = -65;  // writer: a value too small to decimal-scale into a byte
constexpr int kErrLongFilter = -66;  // a transform table with a filter of more than kMaxFilterTaps taps

struct wsq_transform_table {
    float* lofilt;
    float* hifilt;
    unsigned char losz;
    unsigned char hisz;
    char lodef;
    char hidef;
};

struct wsq_quant_table {
    float bin_center;
    float q_bin[kMaxSubbands];
    float z_bin[kMaxSubbands];
    char dqt_def;
};

struct wsq_huff_table {
    unsigned char tabdef;
    unsigned char huffbits[16];
    unsigned char huffvalues[kMaxHuffValues];
};

struct wsq_frame_header {
    unsigned char black;
    unsigned char white;
    unsigned short width;
    unsigned short height;
    float m_shift;
    float r_scale;
    unsigned char wsq_encoder;
    unsigned short software;
};

void init_wsq_decoder_tables(wsq_transform_table* dtt, wsq_quant_table* dqt, wsq_huff_table* dht);
void free_wsq_decoder_tables(wsq_transform_table* dtt);

// Decimal scaling: (scale, value) for a magnitude a below limit; -1 when it does not fit.
int scale_decimal(double a, double limit, unsigned char* oscale, unsigned int* ovalue);
float unscale_decimal(unsigned char scale, unsigned int value);

int read_marker_wsq(unsigned short* omarker, int type, FILE* infp);
int getc_marker_wsq(unsigned short* omarker, int type, const unsigned char** cbufptr, const unsigned char* ebufptr);

int read_table_wsq(unsigned short marker, wsq_transform_table* dtt, wsq_quant_table* dqt, wsq_huff_table* dht,
                   FILE* infp);
int getc_table_wsq(unsigned short marker, wsq_transform_table* dtt, wsq_quant_table* dqt, wsq_huff_table* dht,
                   const unsigned char** cbufptr, const unsigned char* ebufptr);

int read_transform_table(wsq_transform_table* dtt, FILE* infp);
int getc_transform_table(wsq_transform_table* dtt, const unsigned char** cbufptr, const unsigned char* ebufptr);
int write_transform_table(const float* lofilt, int losz, const float* hifilt, int hisz, FILE* outfp);
int putc_transform_table(const float* lofilt, int losz, const float* hifilt, int hisz, unsigned char* odata, int oalloc,
                         int* olen);

int read_quantization_table(wsq_quant_table* dqt, FILE* infp);
int getc_quantization_table(wsq_quant_table* dqt, const unsigned char** cbufptr, const unsigned char* ebufptr);
int write_quantization_table(const float* q, const float* z, FILE* outfp);
int putc_quantization_table(const float* q, const float* z, unsigned char* odata, int oalloc, int* olen);

int read_huffman_table_wsq(wsq_huff_table* dht, FILE* infp);
int getc_huffman_table_wsq(wsq_huff_table* dht, const unsigned char** cbufptr, const unsigned char* ebufptr);

int read_frame_header_wsq(wsq_frame_header* frm, FILE* infp);
int getc_frame_header_wsq(wsq_frame_header* frm, const unsigned char** cbufptr, const unsigned char* ebufptr);
int write_frame_header_wsq(int width, int height, float m_shift, float r_scale, FILE* outfp);
int putc_frame_header_wsq(int width, int height, float m_shift, float r_scale, unsigned char* odata, int oalloc,
                          int* olen);

int read_block_header(unsigned char* huff_table, FILE* infp);
int getc_block_header(unsigned char* huff_table, const unsigned char** cbufptr, const unsigned char* ebufptr);
int write_block_header(int table, FILE* outfp);
int putc_block_header(int table, unsigned char* odata, int oalloc, int* olen);

int read_skip_marker_segment(unsigned short marker, FILE* infp);
int getc_skip_marker_segment(unsigned short marker, const unsigned char** cbufptr, const unsigned char* ebufptr);

// The NIST comment before the first block: a new list, or none (null) with result 0.
int read_nistcom_wsq(FET** onistcom, FILE* infp);
int getc_nistcom_wsq(FET** onistcom, const unsigned char* idata, int ilen);
int putc_nistcom_wsq(const char* comment_text, int w, int h, int d, int ppi, int lossyflag, float r_bitrate,
                     unsigned char* odata, int oalloc, int* olen);

// Resolution from the NIST comment's PPI; -1 when there is no comment or no PPI in it.
int read_ppi_wsq(int* oppi, FILE* infp);
int getc_ppi_wsq(int* oppi, const unsigned char* idata, int ilen);
