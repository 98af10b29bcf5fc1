// Code bytes, code bits and weight maps of the grid points.
#include "feature.h"

#include <cmath>
#include <cstring>

const int freMS1[5] = {2, 3, 4, 5, 6};
const int freMS2[12] = {0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6};

long long calSqrtX(long long x) {
    if (x < 0) return -1;
    int k = 0;
    while (x > 1024) {
        x >>= 2;
        ++k;
    }
    return static_cast<long long>(SqrtTable[x]) << k;
}

void EncodeGaborFeature(unsigned char* codes, unsigned char* reduced_codes, const int* responses) {
    for (int g = 0; g < kGridPoints; ++g) {
        const int* r = responses + g * kPointResponses;
        int v[16];
        long long sq = 0;
        for (int b = 0; b < 2; ++b)
            for (int t = 0; t < 8; ++t) {
                v[8 * b + t] = r[b * kOrients + 2 * t + 1] >> 5;
                sq += static_cast<long long>(v[8 * b + t]) * v[8 * b + t];
            }
        unsigned n = static_cast<unsigned>(calSqrtX(sq) >> 10);
        if (n == 0) n = 1;
        for (int t = 0; t < 8; ++t) {
            unsigned hi = static_cast<unsigned>(64 * v[2 * t]) / 3 / n;
            unsigned lo = static_cast<unsigned>(64 * v[2 * t + 1]) / 3 / n;
            if (hi > 15) hi = 15;
            if (lo > 15) lo = 15;
            codes[g * 8 + t] = static_cast<unsigned char>(hi * 16 + lo);
        }
    }
    std::memset(reduced_codes, 0, kRawPoints * 8);
    for (int p = 0; p < 8; ++p)
        for (int q = 0; q < 18; ++q)
            std::memcpy(reduced_codes + (p * 18 + q) * 8, codes + (iRaw[p] * kGridCols + jRaw[q]) * 8, 8);
}

void addBit(unsigned int** cursor, unsigned char bit, int* bit_count) {
    if (*bit_count == 32) {
        *bit_count = 0;
        ++*cursor;
    }
    if (*bit_count == 0) **cursor = 0;
    **cursor = **cursor * 2 + bit;
    ++*bit_count;
}

void EncodeFeatureMsPoint(int point, int* bit_count, unsigned int** cursor, const int* normalised) {
    const int* n = normalised + point * kPointResponses;
    auto at = [n](int s, int o) { return n[s * kOrients + o]; };
    for (int s : freMS1)
        for (int o = 0; o < kOrients; ++o) addBit(cursor, at(s, o) < at(s, (o + 1) % kOrients) ? 1 : 0, bit_count);
    for (int pr = 0; pr < 6; ++pr) {
        int s1 = freMS2[2 * pr], s2 = freMS2[2 * pr + 1];
        for (int t = 0; t < 8; ++t)
            addBit(cursor, at(s2, 2 * t) + at(s2, 2 * t + 1) < at(s1, 2 * t) + at(s1, 2 * t + 1) ? 1 : 0, bit_count);
    }
}

int EncodeMsData(unsigned int* ms, unsigned int* reduced_ms, const int* responses, int* normalised) {
    std::memset(ms, 0, sizeof(unsigned int) * kGridPoints * 4);
    std::memset(reduced_ms, 0, sizeof(unsigned int) * kMsPoints * 4);
    for (int q = 0; q < kResponses; ++q)
        normalised[q] = static_cast<int>(std::floor(static_cast<float>(responses[q]) * dMeanFeatureX[q]));
    int count = 0;
    unsigned int* cursor = ms;
    for (int g = 0; g < kGridPoints; ++g) EncodeFeatureMsPoint(g, &count, &cursor, normalised);
    count = 0;
    cursor = reduced_ms;
    for (int p = 0; p < 7; ++p)
        for (int q = 0; q < 14; ++q) EncodeFeatureMsPoint(iMS[p] * kGridCols + jMS[q], &count, &cursor, normalised);
    return 0;
}

namespace {

// Finger rows of the (2r + 1)-wide window around grid point (i, j), band shrunk by 4 rows.
int window_count(const unsigned char* border, int r, int y, int x0) {
    int count = 0;
    for (int x = x0 - r; x <= x0 + r; ++x) {
        if (x < 0 || x >= kVeinWidth) continue;
        int top, bottom;
        if (x == kVeinWidth - 1) {
            top = border[2 * 69];
            bottom = border[2 * 69 + 1];
        } else {
            int a = x / 2, b = (x + 1) / 2;
            top = (border[2 * a] + border[2 * b]) / 2;
            bottom = (border[2 * a + 1] + border[2 * b + 1]) / 2;
        }
        int lo = top + 4 > y - r ? top + 4 : y - r;
        int hi = bottom - 4 < y + r ? bottom - 4 : y + r;
        if (hi >= lo) count += hi - lo + 1;
    }
    return count;
}

unsigned char weight_of(int count, int r) {
    return static_cast<unsigned char>(count * 255 / ((2 * r + 1) * (2 * r + 1)));
}

}  // namespace

int EncodeFeature_wtX(unsigned char* weights, const unsigned char* border, int radius, int row0, int col0, int row_step,
                      int col_step) {
    for (int i = 0; i < kGridRows; ++i)
        for (int j = 0; j < kGridCols; ++j)
            weights[i * kGridCols + j] =
                weight_of(window_count(border, radius, row0 + row_step * i, col0 + col_step * j), radius);
    return 0;
}

int EncodeFeature_wt_rX(unsigned char* weights, const unsigned char* border, int radius, int row0, int col0,
                        int row_step, int col_step) {
    if (radius == 15) {
        std::memset(weights, 0, kRawPoints);
        for (int p = 0; p < 8; ++p)
            for (int q = 0; q < 18; ++q)
                weights[p * 18 + q] = weight_of(
                    window_count(border, radius, row0 + row_step * iRaw[p], col0 + col_step * jRaw[q]), radius);
    } else {
        std::memset(weights, 0, kMsPoints);
        for (int p = 0; p < 7; ++p)
            for (int q = 0; q < 14; ++q)
                weights[p * 14 + q] =
                    weight_of(window_count(border, radius, row0 + row_step * iMS[p], col0 + col_step * jMS[q]), radius);
    }
    return 0;
}

int Decode_FeatureX(FV_FEATURE* feature, int points, char flag) {
    if (flag == 0) return 0;
    int row0, mean_bottom, col0, row_step, col_step;
    SetGaborParam(feature->border, &row0, &mean_bottom, &col0, &row_step, &col_step);
    if (points == kGridPoints) {
        EncodeFeature_wtX(feature->w15, feature->border, 15, row0, col0, row_step, col_step);
        EncodeFeature_wtX(feature->w27, feature->border, 27, row0, col0, row_step, col_step);
    } else {
        EncodeFeature_wt_rX(feature->w15, feature->border, 15, row0, col0, row_step, col_step);
        EncodeFeature_wt_rX(feature->w27, feature->border, 27, row0, col0, row_step, col_step);
    }
    return 0;
}
