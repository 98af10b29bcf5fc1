// Alignment and merging of full feature records for enrolment.
#include "enroll.h"

#include <cmath>
#include <cstring>

namespace {

const int kRowPenalty[7] = {0, 2, 4, 8, 14, 22, 32};
const int kColPenalty[9] = {0, 1, 3, 6, 10, 15, 21, 28, 36};

inline int equal_bits(const uint32_t* a, const uint32_t* b);

int popcount32(uint32_t x) {
    int n = 0;
    while (x) {
        x &= x - 1;
        ++n;
    }
    return n;
}

inline int equal_bits(const uint32_t* a, const uint32_t* b) {
    int d = 0;
    for (int w = 0; w < 4; ++w) d += popcount32(a[w] ^ b[w]);
    return 128 - d;
}

inline int nibble_dot(const unsigned char* a, const unsigned char* b) {
    int dot = 0;
    for (int k = 0; k < 8; ++k) dot += (a[k] >> 4) * (b[k] >> 4) + (a[k] & 15) * (b[k] & 15);
    return dot;
}

inline int iabs(int v) { return v < 0 ? -v : v; }

// Combined value of b displaced by (tr, tc) against a, with its shift penalty.
int candidate(const FV_FEATURE* a, const FV_FEATURE* b, int tr, int tc, int* penalty) {
    long long s1 = 0, s2 = 0;
    int w1 = 0, w2 = 0;
    for (int i = 0; i < kGridRows; ++i) {
        int bi = i + tr;
        if (bi < 0 || bi >= kGridRows) continue;
        for (int j = 0; j < kGridCols; ++j) {
            int bj = j + tc;
            if (bj < 0 || bj >= kGridCols) continue;
            int ga = i * kGridCols + j, gb = bi * kGridCols + bj;
            int w = a->w15[ga] < b->w15[gb] ? a->w15[ga] : b->w15[gb];
            s1 += static_cast<long long>(w) * nibble_dot(a->codes[ga], b->codes[gb]);
            w1 += w;
            int w27 = a->w27[ga] < b->w27[gb] ? a->w27[ga] : b->w27[gb];
            s2 += static_cast<long long>(w27) * equal_bits(a->ms[ga], b->ms[gb]);
            w2 += w27;
        }
    }
    if (w1 == 0) w1 = 1;
    float rq = static_cast<float>(s1) * 1000.0f / static_cast<float>(w1);
    int raw = ((static_cast<int>(std::floor(static_cast<double>(rq))) >> 8) - 90) / 2;
    if (w2 == 0) w2 = 1;
    float mq = static_cast<float>(s2) * 1000.0f / static_cast<float>(w2) * 330.0f;
    int ms = static_cast<int>(std::floor(static_cast<double>(mq) / 42240.0));
    int wgt = 85 - 3 * iabs(tr) - iabs(tc);
    if (wgt < 10) wgt = 10;
    *penalty = kRowPenalty[iabs(tr)] + kColPenalty[iabs(tc)];
    return (raw * 30 + ms * wgt) / (30 + wgt) - *penalty;
}

struct Pass {
    int col_from, col_to, col_step;
    int row_from, row_to, row_step;
    bool reset;
};

// Half of a merge shift: 0 for 0, else sign * ((|a| - 1) / 2).
inline int half_shift(int a) {
    if (a == 0) return 0;
    int h = (iabs(a) - 1) / 2;
    return a < 0 ? -h : h;
}

inline bool on_grid(int i, int j) { return i >= 0 && i < kGridRows && j >= 0 && j < kGridCols; }

}  // namespace

void MatchTwoFeature(const FV_FEATURE* a, const FV_FEATURE* b, unsigned int* score, int* row_shift, int* col_shift,
                     FineRowSearch rule) {
    *score = 0;
    bool restart = *row_shift == 20;
    Pass passes[4] = {
        {0, 0, 1, -6, 6, 2, true},
        {-8, 8, 2, 0, 0, 1, false},
        {0, 0, 1, -1, 1, restart ? 2 : 1, rule == FineRowSearch::kReset},
        {-1, 1, 2, 0, 0, 1, false},
    };
    int first = 0;
    if (restart) {
        *row_shift = 0;
        *col_shift = 0;
    } else {
        first = 2;
        passes[2].reset = true;
    }
    int best = 0, kept_penalty = 0;
    for (int pi = first; pi < 4; ++pi) {
        const Pass& pass = passes[pi];
        if (pass.reset) best = 0;
        int move_r = 0, move_c = 0;
        for (int dx = pass.col_from; dx <= pass.col_to; dx += pass.col_step)
            for (int dy = pass.row_from; dy <= pass.row_to; dy += pass.row_step) {
                int tc = *col_shift + dx, tr = *row_shift + dy;
                if (iabs(tc) > 8 || iabs(tr) > 6) continue;
                int penalty = 0;
                int s = candidate(a, b, tr, tc, &penalty);
                if (best < s) {
                    best = s;
                    move_r = dy;
                    move_c = dx;
                    kept_penalty = penalty;
                }
            }
        *row_shift += move_r;
        *col_shift += move_c;
    }
    int result = best + kept_penalty / 2;
    if (result < 0) result = 0;
    if (result > 999) result = 999;
    *score = static_cast<unsigned int>(result);
}

int MergeFeature(FV_FEATURE* out, const FV_FEATURE* base, const FV_FEATURE* other, unsigned int* acc_responses,
                 const int* other_responses, int* out_responses, int* acc_codes, int* acc_w15, unsigned int* acc_w27,
                 int row_shift, int col_shift, int factor) {
    HeapArray<int> new_codes = qv::heap_alloc<int>(kGridPoints * 16);
    HeapArray<int> new_w15 = qv::heap_alloc<int>(kGridPoints);
    HeapArray<unsigned int> new_w27 = qv::heap_alloc<unsigned int>(kGridPoints);
    if (!new_codes || !new_w15 || !new_w27) return -7;

    const int hr = half_shift(row_shift), hc = half_shift(col_shift);
    int bit_count = 0;
    unsigned int* cursor = &out->ms[0][0];
    for (int i = 0; i < kGridRows; ++i)
        for (int j = 0; j < kGridCols; ++j) {
            const int g = i * kGridCols + j;
            const int bi = i - hr, bj = j - hc;
            const int oi = i + row_shift - hr, oj = j + col_shift - hc;
            const bool base_in = on_grid(bi, bj), other_in = on_grid(oi, oj);
            const int gb = base_in ? bi * kGridCols + bj : 0;
            const int go = other_in ? oi * kGridCols + oj : 0;

            // Radius 15: weight sums and nibble values.
            unsigned int u = base_in ? static_cast<unsigned int>(acc_w15[gb]) : 0;
            unsigned int v = other_in ? static_cast<unsigned int>(factor * other->w15[go] / 10) : 0;
            unsigned int t = u + v;
            if (t < 1) t = 1;
            new_w15[g] = static_cast<int>(t);
            int bw = base_in ? base->w15[gb] : 0, ow = other_in ? other->w15[go] : 0;
            out->w15[g] = static_cast<unsigned char>(bw > ow ? bw : ow);
            unsigned int x[16];
            long long sq = 0;
            for (int k = 0; k < 8; ++k) {
                unsigned int onib[2] = {0, 0};
                if (other_in) {
                    onib[0] = other->codes[go][k] >> 4;
                    onib[1] = other->codes[go][k] & 15;
                }
                for (int half = 0; half < 2; ++half) {
                    unsigned int bn = base_in ? static_cast<unsigned int>(acc_codes[gb * 16 + 2 * k + half]) : 0;
                    unsigned int val = (t / 2 + bn * u + onib[half] * v) / t;
                    x[2 * k + half] = val;
                    new_codes[g * 16 + 2 * k + half] = static_cast<int>(val);
                    sq += static_cast<long long>(val) * val;
                }
            }
            long long len = calSqrtX(sq);
            if (len < 1) len = 1;
            for (int k = 0; k < 8; ++k) {
                long long hi = (static_cast<long long>(x[2 * k]) * 65536 / 3) / len;
                long long lo = (static_cast<long long>(x[2 * k + 1]) * 65536 / 3) / len;
                if (hi > 15) hi = 15;
                if (lo > 15) lo = 15;
                out->codes[g][k] = static_cast<unsigned char>(hi * 16 + lo);
            }

            // Radius 27: weight sums and normalised responses.
            unsigned int u27 = base_in ? acc_w27[gb] : 0;
            unsigned int v27 = other_in ? static_cast<unsigned int>(factor * other->w27[go] / 10) : 0;
            unsigned int t27 = u27 + v27;
            if (t27 < 1) t27 = 1;
            new_w27[g] = t27;
            int bw27 = base_in ? base->w27[gb] : 0, ow27 = other_in ? other->w27[go] : 0;
            out->w27[g] = static_cast<unsigned char>(bw27 > ow27 ? bw27 : ow27);
            for (int k = 0; k < kPointResponses; ++k) {
                unsigned int br = base_in ? acc_responses[gb * kPointResponses + k] : 0;
                unsigned int orr = other_in ? static_cast<unsigned int>(other_responses[go * kPointResponses + k]) : 0;
                out_responses[g * kPointResponses + k] = static_cast<int>((t27 / 2 + br * u27 + v27 * orr) / t27);
            }
            EncodeFeatureMsPoint(g, &bit_count, &cursor, out_responses);
        }
    std::memcpy(acc_w15, new_w15.get(), sizeof(int) * kGridPoints);
    std::memcpy(acc_w27, new_w27.get(), sizeof(unsigned int) * kGridPoints);
    std::memcpy(acc_codes, new_codes.get(), sizeof(int) * kGridPoints * 16);
    for (int q = 0; q < kResponses; ++q) acc_responses[q] = static_cast<unsigned int>(out_responses[q]);
    return 0;
}
