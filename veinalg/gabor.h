// Gabor filter bank of the feature stage: grid placement on the 140 x 120 vein image and the
// 36,960 energies (15 x 22 points, 7 scales, 16 orientations). Callers own every buffer.
#pragma once
#include <cstdint>

#include "veinalg_internal.h"

constexpr int kGridRows = 15;
constexpr int kGridCols = 22;
constexpr int kGridPoints = kGridRows * kGridCols;  // 330
constexpr int kScales = 7;
constexpr int kOrients = 16;
constexpr int kPointResponses = kScales * kOrients;        // 112
constexpr int kResponses = kGridPoints * kPointResponses;  // 36,960
static_assert(kResponses == kGaborResponses, "response layout");

// Integer taps: horizontal rows [scale][orientation block * (2h + 1) + h + x], inner and outer
// vertical taps [scale][(k - first) * 9 + m]; level corrections indexed like the responses.
extern const int16_t GaborXcTable[7 * 880];
extern const int16_t GaborXsTable[7 * 880];
extern const int16_t GaborYcTable[7 * 112];
extern const int16_t GaborYsTable[7 * 112];
extern const int8_t GaborYc2Table[7 * 160];
extern const int8_t GaborYs2Table[7 * 160];
extern const int32_t GaborCosTable[kResponses];
extern const int32_t GaborSinTable[kResponses];

// Half window size of each scale.
extern const int kGaborHalf[kScales];

// Places the grid inside the finger band given by the 70 border pairs (140 bytes).
void SetGaborParam(const unsigned char* border, int* row0, int* mean_bottom, int* col0, int* row_step, int* col_step);

// Fills all 36,960 responses; rewrites rows of `image` (stride 140) above and below the grid.
// 0, or -7 without work memory (then nothing is changed).
int ExtractGaborFeature(unsigned char* image, int* responses, int row0, int mean_bottom, int col0, int row_step,
                        int col_step);

// Neighbour sums [140][28] and differences [140][27] of one image row.
void CalcNeighborSumAndDiff(const unsigned char* image, int row, short* sums, short* diffs);

// Vertical responses of one scale, column c at position c + 27.
void calcWithWeight(int re[9][194], int im[9][194], const short* sums, const short* diffs, int scale);

// Magnitude of one response after removing the flat-patch response of window sum `box`.
float CalcEnergyValue(int box, int re, int im, int index);
