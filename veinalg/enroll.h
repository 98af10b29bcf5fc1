// Enrolment: alignment of two full feature records, merging of aligned records and the template
// built from one to three images. Callers own the records and accumulators.
#pragma once
#include <cstdint>

#include "feature.h"

// How the restarted alignment treats its fine row search: as specified (the best is reset, so only
// one row up or down can win), or keeping the best position reached before the fine passes.
enum class FineRowSearch { kReset, kKeepBest };

// Aligns b on a (point (i, j) of a against (i + row, j + column) of b). A row shift of 20 starts
// the search over from (0, 0); the shifts hold the final state afterwards. score: 0..999.
void MatchTwoFeature(const FV_FEATURE* a, const FV_FEATURE* b, unsigned int* score, int* row_shift, int* col_shift,
                     FineRowSearch rule = FineRowSearch::kReset);

// Merges `other` (normalised responses other_responses), displaced by the shifts, into the
// accumulators with weight factor / 10 and writes the merged record into `out`. 0, or -7.
int MergeFeature(FV_FEATURE* out, const FV_FEATURE* base, const FV_FEATURE* other, unsigned int* acc_responses,
                 const int* other_responses, int* out_responses, int* acc_codes, int* acc_w15, unsigned int* acc_w27,
                 int row_shift, int col_shift, int factor);

// Order of merging from the pairwise scores (scores[i][j]: image j aligned on image i): the base
// has the largest total (lowest number among equals), then each next image agrees best with those
// chosen; with no positive agreement the lowest-numbered image left follows.
void EnrolOrder(const unsigned int scores[3][3], int n, int order[3]);
// Weight (0..9, tenths) of the third image from its score against the first merge.
int ThirdImageFactor(unsigned int score);

// GetEnrollTmpl with the fine row search of the alignments chosen.
int GetEnrollTmplWith(unsigned char* image1, unsigned char* image2, unsigned char* image3, FV_TMPL* tmpl,
                      FineRowSearch rule);
