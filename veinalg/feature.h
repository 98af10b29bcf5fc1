// Feature encoding of one vein image: code bytes, MS code bits and weight maps of the 15 x 22
// grid, in full form and in the template's reduced form. Callers own every record and buffer.
#pragma once
#include <cstdint>

#include "gabor.h"

constexpr int kRawPoints = 144;  // iRaw x jRaw
constexpr int kMsPoints = 98;    // iMS x jMS
constexpr int kBorderBytes = 140;
static_assert(sizeof(FV_FEATURE::border) == kBorderBytes, "border pairs");

extern const int freMS1[5];
extern const int freMS2[12];
extern const uint16_t SqrtTable[1040];

long long calSqrtX(long long x);
void EncodeGaborFeature(unsigned char* codes, unsigned char* reduced_codes, const int* responses);
int EncodeMsData(unsigned int* ms, unsigned int* reduced_ms, const int* responses, int* normalised);
void EncodeFeatureMsPoint(int point, int* bit_count, unsigned int** cursor, const int* normalised);
void addBit(unsigned int** cursor, unsigned char bit, int* bit_count);
int EncodeFeature_wtX(unsigned char* weights, const unsigned char* border, int radius, int row0, int col0, int row_step,
                      int col_step);
int EncodeFeature_wt_rX(unsigned char* weights, const unsigned char* border, int radius, int row0, int col0,
                        int row_step, int col_step);
int Decode_FeatureX(FV_FEATURE* feature, int points, char flag);

// Border pairs, grid, responses and both encodings of the current 140 x 120 image and mask;
// `normalised` receives 36,960 normalised responses. 0, or -7.
int GetImageGaborFeature(_byteImage* image, FV_FEATURE* feature, FV_FEATURE* reduced, const unsigned char* mask,
                         int* normalised);
// Preprocessing and the three rotated records without weight maps: 0, 3002 or -7.
int GetFeature(_byteImage* image, FV_FEATURE* features);
