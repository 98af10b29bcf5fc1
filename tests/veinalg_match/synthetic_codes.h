// Feature grids with codes shaped like real ones: code bytes encoded from random responses.
#pragma once
#include <cstdint>
#include <vector>

#include "feature.h"

struct TestRng {
    unsigned s;
    unsigned next() { return s = s * 1664525u + 1013904223u; }
};

// Code groups of 330 points from random responses and random MS words. Neighbouring points are
// unrelated; with `same_down_columns` every point takes the codes of its column's first row, so
// that row shifts change nothing but the overlap, as with the long veins of a real finger.
inline void random_codes(unsigned seed, unsigned char (*codes)[8], uint32_t (*ms)[4], bool same_down_columns = false) {
    TestRng r{seed};
    std::vector<int> resp(kResponses);
    for (auto& v : resp) v = static_cast<int>(r.next() >> 12);
    std::vector<unsigned char> reduced(kRawPoints * 8);
    EncodeGaborFeature(&codes[0][0], reduced.data(), resp.data());
    for (int p = 0; p < kGridPoints; ++p)
        for (int w = 0; w < 4; ++w) ms[p][w] = r.next();
    if (same_down_columns)
        for (int p = kGridCols; p < kGridPoints; ++p) {
            for (int k = 0; k < 8; ++k) codes[p][k] = codes[p % kGridCols][k];
            for (int w = 0; w < 4; ++w) ms[p][w] = ms[p % kGridCols][w];
        }
}
