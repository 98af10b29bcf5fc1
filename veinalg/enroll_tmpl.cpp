// Enrolment template from one to three finger images.
#include <cstring>

#include "enroll.h"

namespace {

constexpr int kMaxImages = 3;
constexpr int kRecords = 3 * kMaxImages;

// Everything one enrolment works on; obtained at once, released on return.
struct EnrolWork {
    FV_FEATURE records[kRecords];
    FV_FEATURE tmpl_record;
    FV_FEATURE discard;
    FV_FEATURE merged[2];
    int normalised[kRecords][kResponses];
    unsigned int acc_responses[kResponses];
    int out_responses[kResponses];
    int acc_codes[kGridPoints * 16];
    int acc_w15[kGridPoints];
    unsigned int acc_w27[kGridPoints];
    unsigned char mask[kImageBytes];
};

struct PairResult {
    unsigned int score = 0;
    int rotation = 0;
    int row = 0, col = 0;
};

// Best of the three rotations of `other` aligned on `base`: a strictly larger score replaces,
// rotation 0 with its own shifts stands when none scores above 0.
PairResult align_rotations(const FV_FEATURE* base, const FV_FEATURE* other_rotations, FineRowSearch rule) {
    PairResult best;
    for (int r = 0; r < 3; ++r) {
        unsigned int s = 0;
        int row = 20, col = 0;
        MatchTwoFeature(base, &other_rotations[r], &s, &row, &col, rule);
        if (r == 0) {
            best = {s, 0, row, col};
        } else if (s > best.score) {
            best = {s, r, row, col};
        }
    }
    return best;
}

}  // namespace

void EnrolOrder(const unsigned int scores[3][3], int n, int order[3]) {
    bool chosen[kMaxImages] = {false, false, false};
    long long best_total = -1;
    for (int i = 0; i < n; ++i) {
        long long total = 0;
        for (int j = 0; j < n; ++j)
            if (j != i) total += scores[i][j];
        if (total > best_total) {
            best_total = total;
            order[0] = i;
        }
    }
    chosen[order[0]] = true;
    for (int l = 1; l < n; ++l) {
        int pick = -1;
        long long best_sum = 0;
        for (int k = 0; k < n; ++k) {
            if (chosen[k]) continue;
            long long sum = 0;
            for (int c = 0; c < l; ++c) sum += scores[order[c]][k];
            if (sum > best_sum) {
                best_sum = sum;
                pick = k;
            }
        }
        // No positive agreement at all: take the lowest-numbered image left.
        for (int k = 0; k < n && pick < 0; ++k)
            if (!chosen[k]) pick = k;
        order[l] = pick;
        chosen[pick] = true;
    }
}

int ThirdImageFactor(unsigned int score) {
    unsigned int s = score > 600 ? 600 : score;
    return static_cast<int>((s * 10 + 350) / 700);
}

int GetEnrollTmplWith(unsigned char* image1, unsigned char* image2, unsigned char* image3, FV_TMPL* tmpl,
                      FineRowSearch rule) {
    if (!image1 || (image3 && !image2)) return -3;
    unsigned char* images[kMaxImages] = {image1, image2, image3};
    const int n = image3 ? 3 : (image2 ? 2 : 1);

    HeapArray<EnrolWork> work = qv::heap_alloc<EnrolWork>(1);
    if (!work) return 3012;
    EnrolWork& w = work[0];

    const float slopes[3] = {0.0f, 0.03f, -0.06f};
    for (int k = 0; k < n; ++k) {
        int rc = PreprocessImage(images[k], w.mask);
        if (rc != 0) return rc;
        _byteImage img{320, 240, images[k]};
        for (int r = 0; r < 3; ++r) {
            if (RotateImage140_120(images[k], w.mask, slopes[r]) != 0) return -7;
            FV_FEATURE* reduced = (k == 0 && r == 0) ? &w.tmpl_record : &w.discard;
            rc = GetImageGaborFeature(&img, &w.records[3 * k + r], reduced, w.mask, w.normalised[3 * k + r]);
            if (rc != 0) return rc;
            Decode_FeatureX(&w.records[3 * k + r], kGridPoints, 1);
        }
    }

    FV_FEATURE& t = w.tmpl_record;
    if (n == 1) {
        int row0, mean_bottom, col0, row_step, col_step;
        SetGaborParam(t.border, &row0, &mean_bottom, &col0, &row_step, &col_step);
        EncodeFeature_wt_rX(t.w15, t.border, 15, row0, col0, row_step, col_step);
        EncodeFeature_wt_rX(t.w27, t.border, 27, row0, col0, row_step, col_step);
    } else {
        PairResult pairs[kMaxImages][kMaxImages];
        for (int i = 0; i < n; ++i)
            for (int j = 0; j < n; ++j)
                if (i != j) pairs[i][j] = align_rotations(&w.records[3 * i], &w.records[3 * j], rule);

        unsigned int scores[3][3] = {{0, 0, 0}, {0, 0, 0}, {0, 0, 0}};
        for (int i = 0; i < n; ++i)
            for (int j = 0; j < n; ++j)
                if (i != j) scores[i][j] = pairs[i][j].score;
        int order[kMaxImages] = {0, 0, 0};
        EnrolOrder(scores, n, order);

        const int b = order[0];
        const FV_FEATURE& base = w.records[3 * b];
        for (int q = 0; q < kResponses; ++q) w.acc_responses[q] = static_cast<unsigned int>(w.normalised[3 * b][q]);
        for (int g = 0; g < kGridPoints; ++g) {
            w.acc_w15[g] = base.w15[g];
            w.acc_w27[g] = base.w27[g];
            for (int k = 0; k < 8; ++k) {
                w.acc_codes[g * 16 + 2 * k] = base.codes[g][k] >> 4;
                w.acc_codes[g * 16 + 2 * k + 1] = base.codes[g][k] & 15;
            }
        }
        const int p = order[1];
        const PairResult& bp = pairs[b][p];
        int rc = MergeFeature(&w.merged[0], &base, &w.records[3 * p + bp.rotation], w.acc_responses,
                              w.normalised[3 * p + bp.rotation], w.out_responses, w.acc_codes, w.acc_w15, w.acc_w27,
                              bp.row, bp.col, 10);
        if (rc != 0) return rc;
        const FV_FEATURE* merged = &w.merged[0];
        if (n == 3) {
            const int q = order[2];
            PairResult third = align_rotations(&w.merged[0], &w.records[3 * q], rule);
            const int factor = ThirdImageFactor(third.score);
            rc = MergeFeature(&w.merged[1], &w.merged[0], &w.records[3 * q + third.rotation], w.acc_responses,
                              w.normalised[3 * q + third.rotation], w.out_responses, w.acc_codes, w.acc_w15, w.acc_w27,
                              third.row, third.col, factor);
            if (rc != 0) return rc;
            merged = &w.merged[1];
        }

        for (int pi = 0; pi < 8; ++pi)
            for (int qi = 0; qi < 18; ++qi) {
                int g = iRaw[pi] * kGridCols + jRaw[qi];
                std::memcpy(t.codes[pi * 18 + qi], merged->codes[g], 8);
                t.w15[pi * 18 + qi] = merged->w15[g];
            }
        int bit_count = 0;
        unsigned int* cursor = &t.ms[0][0];
        for (int pi = 0; pi < 7; ++pi)
            for (int qi = 0; qi < 14; ++qi) {
                int g = iMS[pi] * kGridCols + jMS[qi];
                t.w27[pi * 14 + qi] = merged->w27[g];
                EncodeFeatureMsPoint(g, &bit_count, &cursor, w.out_responses);
            }
    }

    std::memcpy(tmpl->codes, t.codes, sizeof(tmpl->codes));
    std::memcpy(tmpl->ms, t.ms, sizeof(tmpl->ms));
    std::memcpy(tmpl->w15, t.w15, sizeof(tmpl->w15));
    std::memcpy(tmpl->w27, t.w27, sizeof(tmpl->w27));
    return 0;
}

int GetEnrollTmpl(unsigned char* image1, unsigned char* image2, unsigned char* image3, FV_TMPL* tmpl) {
    return GetEnrollTmplWith(image1, image2, image3, tmpl, FineRowSearch::kReset);
}
