// Internal stages of the recognition library: geometry, tables, records and the entry points
// that the interface, preprocessing and the feature stages share. Nothing here is exported.
//
// Buffers: every image and mask buffer passed to these functions belongs to the caller;
// 320 x 240 images and masks are 76,800-byte buffers (stride 320). After PreprocessImage the
// 140 x 120 vein image and mask occupy the first 16,800 bytes of the same buffers (stride 140).
#pragma once

#include <cstddef>
#include <cstdint>

#include "qv_owners.h"
#include "qvfv_alg_api.h"

constexpr int kImageWidth = 320;
constexpr int kImageHeight = 240;
constexpr int kImageBytes = kImageWidth * kImageHeight;  // 76,800
constexpr int kVeinWidth = 140;
constexpr int kVeinHeight = 120;
constexpr int kVeinBytes = kVeinWidth * kVeinHeight;  // 16,800
constexpr int kGaborResponses = 36960;                // 15 x 22 points x 7 scales x 16 orientations
constexpr int kBmpDataOffset = 1078;                  // 14 + 40 + 256 x 4

// Work buffers are obtained per call (qv::heap_alloc, qv::heap_zeroed) and released on every
// path; an empty owner means the memory could not be had.
using qv::HeapArray;

// The tag that begins every template and feature item.
inline constexpr char kRecordTag[4] = {'v', '1', '.', '1'};

// ---- Run-time tables, built once by veinalg_init_handle and read-only afterwards ----
extern float f1_t4X[512];
extern float f1_t5X[512];
extern float f1_t8X[512];
extern int16_t f2_tX[1024];
extern float dMeanFeatureX[kGaborResponses];
// Mean Gabor energy per grid point, scale and orientation (fixed data of the feature stage).
extern const int32_t MeanGaborFeatureTable[kGaborResponses];
// True once veinalg_init_handle has completed.
bool IsInitialised();

// Template point lists: raw points keep code bytes, MS points keep code bits.
extern const int iRaw[8];
extern const int jRaw[18];
extern const int iMS[7];
extern const int jMS[14];

// ---- Internal records of the feature stages ----
// One image's feature at one rotation.
struct FV_FEATURE {
    unsigned char codes[FV_GRID_POINTS][8];  // 16 four-bit codes per point, high nibble first
    uint32_t ms[FV_GRID_POINTS][4];          // 128 code bits per point
    unsigned char border[140];               // 70 pairs {mean upper row, mean lower row}
    unsigned char w15[FV_GRID_POINTS];
    unsigned char w27[FV_GRID_POINTS];
};
// The enrolment result, copied block by block into FV_ENROLL_TMPL.
struct FV_TMPL {
    unsigned char codes[FV_RAW_POINTS][8];
    uint32_t ms[FV_MS_POINTS][4];
    unsigned char w15[FV_RAW_POINTS];
    unsigned char w27[FV_MS_POINTS];
};
struct _byteImage {
    int width;            // carried, not read
    int height;           // carried, not read
    unsigned char* data;  // 76,800-byte buffer
};

// ---- Image input and records ----
// Checks a BMP and writes its 320 x 240 top-down picture into out (76,800 bytes): 0 or -1.
int CutImage(const _image* image, unsigned char* out);
void BilinearZoom(const unsigned char* src, int src_width, int src_height, unsigned char* dst, int dst_width,
                  int dst_height);
void ReverseImage(const unsigned char* src, int width, int height, unsigned char* dst);
void CopyRoiImage(const unsigned char* src, int src_width, int src_height, unsigned char* dst, int width, int height,
                  int x0, int y0);
uint32_t GenerateCRC32(const unsigned char* data, long length);
int CheckTmplData(const FV_ENROLL_TMPL* tmpl);
int CheckFeatureData(const FV_EXTRACT_FEATURE* item);

// ---- Finger edges ----
struct BLOCK_INFO {
    int32_t strip;
    int32_t direction;  // +1 or -1
    int32_t valid;      // 1, or -1 once dropped
};
extern const unsigned char BoundaryTable[256];
void RemoveOverWhiteArea(const unsigned char* src, unsigned char* dst);
void RemoveOverWhiteArea(int row_begin, int row_end, int count, BLOCK_INFO* records, unsigned char* image);
// 0, -1 when no strip has both edges, -7 without memory.
int FindVeinBoundary(const unsigned char* image, short* top_edge, short* bottom_edge);
int CalcSlopeAngle(float* slope, const short* top_edge, const short* bottom_edge, int* upper_flag, int* lower_flag);

// ---- Vein enhancement (320 x 240 images and masks, rows top..bottom) ----
int neighborPoint2TableIndex(const short* v);
int MedianFilter(unsigned char* image, const unsigned char* mask, short top, short bottom);
int CalcImageCurvature(unsigned char* image, const unsigned char* mask, unsigned char* curvature_mask, short top,
                       short bottom);
int SmoothingByForeground(unsigned char* image, unsigned char border, const unsigned char* mask, short top,
                          short bottom);
void MeargeTwoImage(unsigned char* image, const unsigned char* curvature);
int HistogramEqualize(unsigned char* image, unsigned char radius, const unsigned char* mask, short top, short bottom);
int InvertAndRemoveNoisePoint(unsigned char* image, const unsigned char* mask, short top, short bottom);

// ---- Preprocessing ----
extern const uint16_t StretchCalcTable[1280];
// 320 x 240 image -> 140 x 120 vein image and mask in the same buffers. 0; 3012 no memory,
// 3021 finger area too small, -1 no finger edges, -7 a step without memory.
int PreprocessImage(unsigned char* image, unsigned char* mask);
int RotateImage320_240(unsigned char* image, unsigned char* mask1, unsigned char* mask2, float slope,
                       const short* top_edge, const short* bottom_edge);
void FindTopAndBottomBorder(short* top_edge, short* bottom_edge, const unsigned char* mask, short* top, short* bottom);
int NormalizeVeinHeight(unsigned char* image, unsigned char* mask, const short* top_edge, const short* bottom_edge);
int StretchAndRemoveHole(unsigned char* image, int upper_flag, int lower_flag, const short* top_edge,
                         const short* bottom_edge, unsigned char* mask);
int ResizeVeinImage(unsigned char* image, unsigned char* mask);
// Rotates the 140 x 120 image and mask about (70, 60); slope 0 changes nothing. 0 or -7.
int RotateImage140_120(unsigned char* image, unsigned char* mask, float slope);
// 70 pairs {mean upper row, mean lower row} of a 140 x 120 mask, {120, 0} without finger.
void getSmallImageBorder(unsigned char* border, const unsigned char* mask);

// ---- Feature stages, called by the interface ----
// Three feature records of one 320 x 240 image (the buffer is rewritten). 0; -3, 3002, -7.
int GetMatchFeature(unsigned char* image, int height, int width, FV_FEATURE* features);
// Template from one to three 320 x 240 images (buffers rewritten; image2/image3 may be null). 0 or non-zero.
int GetEnrollTmpl(unsigned char* image1, unsigned char* image2, unsigned char* image3, FV_TMPL* tmpl);
// Score 0..999 of a checked template against a checked three-item feature.
void MatchFeatureX(FV_ENROLL_TMPL* tmpl, FV_EXTRACT_FEATURE* items, int* score);
// Score 0..999 -> similarity 0..1.
void MapScoreX(int score, double& similarity);
