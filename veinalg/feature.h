// Feature encoding of one vein image: code bytes, MS code bits and weight maps of the 15 x 22
// grid, in full form and in the template's reduced form. Callers own every record and buffer.
#pragma once
#include <cstdint>

#include "gabor.h"

constexpr int kRawPoints = 144;  // iRaw x jRaw
constexpr int kMsPoints = 98;    // iMS x jMS
constexpr int kBorderBytes = 140;

// One image at one rotation. Reduced form: only the leading entries are used.
struct FV_FEATURE {
    unsigned char codes[kGridPoints][8];  // two 4-bit codes per byte, high nibble first
    uint32_t ms[kGridPoints][4];          // 128 bits per point, first bit most significant
    unsigned char border[kBorderBytes];    // {mean upper row, mean lower row} per two columns
    unsigned char w15[kGridPoints];
    unsigned char w27[kGridPoints];
};

// A 320 x 240 image in a 76,800-byte buffer; width and height are carried, not read.
struct _byteImage {
    int width;
    int height;
    unsigned char* data;
};

extern const int iRaw[8];
extern const int jRaw[18];
extern const int iMS[7];
extern const int jMS[14];
extern const int freMS1[5];
extern const int freMS2[12];
extern const uint16_t SqrtTable[1040];

// Mean energy of every grid point, scale and orientation; fixed data indexed like the responses.
extern const int32_t MeanGaborFeatureTable[kResponses];
// 16.777216 / MeanGaborFeatureTable, built at initialisation.
extern float dMeanFeatureX[kResponses];

long long calSqrtX(long long x);
void EncodeGaborFeature(unsigned char* codes, unsigned char* reduced_codes, const int* responses);
int EncodeMsData(unsigned int* ms, unsigned int* reduced_ms, const int* responses, int* normalised);
void EncodeFeatureMsPoint(int point, int* bit_count, unsigned int** cursor, const int* normalised);
void addBit(unsigned int** cursor, unsigned char bit, int* bit_count);
int EncodeFeature_wtX(unsigned char* weights, const unsigned char* border, int radius, int row0, int col0,
                      int row_step, int col_step);
int EncodeFeature_wt_rX(unsigned char* weights, const unsigned char* border, int radius, int row0, int col0,
                        int row_step, int col_step);
int Decode_FeatureX(FV_FEATURE* feature, int points, char flag);

// Border pairs, grid, responses and both encodings of the current 140 x 120 image and mask;
// `normalised` receives 36,960 normalised responses. 0, or -7.
int GetImageGaborFeature(_byteImage* image, FV_FEATURE* feature, FV_FEATURE* reduced, const unsigned char* mask,
                         int* normalised);
// Preprocessing and the three rotated records without weight maps: 0, 3002 or -7.
int GetFeature(_byteImage* image, FV_FEATURE* features);
// The three complete records of a 320 x 240 image (buffer rewritten): 0, -3, 3002 or -7.
int GetMatchFeature(unsigned char* image, int height, int width, FV_FEATURE* features);
