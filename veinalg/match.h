// Matching of a template record against a three-item feature record, and the similarity map.
// Records are read in place in their stored byte layout; nothing is allocated.
#pragma once
#include <cstdint>

#include "veinalg_internal.h"

// Stored record layouts.
constexpr int kTmplBytes = 2972;
constexpr int kTmplCodes = 8, kTmplMs = 1160, kTmplW15 = 2728, kTmplW27 = 2872;
constexpr int kItemBytes = 8588;
constexpr int kItemCodes = 8, kItemMs = 2648, kItemW15 = 7928, kItemW27 = 8258;
constexpr int kFeatureBytes = 3 * kItemBytes;  // 25,764
static_assert(kTmplBytes == FV_TMPL_SIZE && kItemBytes == FV_FEATURE_ITEM_SIZE, "record sizes");
static_assert(offsetof(FV_ENROLL_TMPL, ms) == kTmplMs && offsetof(FV_ENROLL_TMPL, w27) == kTmplW27, "template");
static_assert(offsetof(FV_EXTRACT_FEATURE, ms) == kItemMs && offsetof(FV_EXTRACT_FEATURE, w27) == kItemW27, "item");

// 11 minus the number of 1 bits of an 11-bit index.
extern const uint8_t GaborFeatureTable[2048];

// Five-pass search of one feature item; the shift state (row 20 = start over) is updated.
int MatchA(const unsigned char* tmpl, const unsigned char* item, unsigned int* score, signed char* row_shift,
           signed char* col_shift, int* detail);
// Runs the search over items k mod 3 for k = 0 .. extra + 2 with one shift state; keeps the best.
int Match_rotX(const unsigned char* tmpl, const unsigned char* items, int* score, signed char* row_shift,
               signed char* col_shift, int* detail, int extra);
// Score 0..999 of a template against the three items of a feature.
void MatchFeatureX(const unsigned char* tmpl, const unsigned char* items, int* score);

// Whether a record's content could have come from the encoders (tag, code groups, code bits and,
// for feature items, weights); records that could not are treated as damaged.
bool TmplContentValid(const unsigned char* tmpl);
bool FeatureItemContentValid(const unsigned char* item);
// 0 when the template and all three feature items pass, else -1.
int CheckRecordContent(const unsigned char* tmpl, const unsigned char* items);
