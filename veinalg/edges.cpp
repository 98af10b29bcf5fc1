// Finger edges: over-exposure cleaning, per-column upper and lower edges, and the finger's slope.
#include <cstdlib>
#include <cstring>

#include "veinalg_internal.h"

// Square-root brightness remapping; dark levels vanish, bright levels are compressed.
const unsigned char BoundaryTable[256] = {
    0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   10,  14,  17,  20,  22,  24,  26,  28,  30,  31,  33,
    34,  36,  37,  38,  40,  41,  42,  43,  44,  45,  46,  47,  48,  50,  50,  51,  52,  53,  54,  55,  56,  57,
    58,  59,  60,  60,  61,  62,  63,  64,  64,  65,  66,  67,  67,  68,  69,  69,  70,  71,  72,  72,  73,  74,
    74,  75,  76,  76,  77,  78,  78,  79,  80,  80,  81,  81,  82,  83,  83,  84,  84,  85,  85,  86,  87,  87,
    88,  88,  89,  89,  90,  91,  91,  92,  92,  93,  93,  94,  94,  95,  95,  96,  96,  97,  97,  98,  98,  99,
    100, 100, 100, 101, 101, 102, 102, 103, 103, 104, 104, 105, 105, 106, 106, 107, 107, 108, 108, 109, 109, 109,
    110, 110, 111, 111, 112, 112, 113, 113, 113, 114, 114, 115, 115, 116, 116, 117, 117, 117, 118, 118, 119, 119,
    120, 120, 120, 121, 121, 122, 122, 122, 123, 123, 124, 124, 124, 125, 125, 126, 126, 126, 127, 127, 128, 128,
    128, 129, 129, 129, 130, 130, 130, 131, 131, 132, 132, 132, 133, 133, 134, 134, 134, 135, 135, 136, 136, 136,
    136, 137, 137, 138, 138, 138, 139, 139, 139, 140, 140, 140, 141, 141, 141, 142, 142, 143, 143, 143, 144, 144,
    144, 145, 145, 145, 146, 146, 146, 147, 147, 147, 148, 148, 148, 149, 149, 149, 150, 150, 150, 151, 151, 151,
    152, 152, 152, 153, 153, 153, 154, 154, 154, 155, 155, 155, 156, 156};

namespace {

constexpr int W = kImageWidth;
constexpr int H = kImageHeight;
constexpr int kStrips = 32;
constexpr int kMaxRecords = 32;
constexpr int kUpperFirst = 9, kUpperLast = 109;
constexpr int kLowerFirst = 129, kLowerLast = 229;
constexpr int kEdgeWeight[17] = {7, 8, 9, 10, 11, 12, 13, 14, 15, 14, 13, 12, 11, 10, 9, 8, 7};

// Sum over columns c0..c0+width-1 of |p[r-1][c] - p[r+1][c]|, rows 1..238; rows 0 and 239 are 0.
void ColumnProfile(const unsigned char* image, int c0, int width, int* profile) {
    profile[0] = profile[H - 1] = 0;
    for (int r = 1; r < H - 1; ++r) {
        int sum = 0;
        const unsigned char* a = image + (r - 1) * W + c0;
        const unsigned char* b = image + (r + 1) * W + c0;
        for (int c = 0; c < width; ++c) sum += std::abs(a[c] - b[c]);
        profile[r] = sum;
    }
}

// The profiles of all 32 strips: per row the absolute differences of the rows around it, summed by strip.
void StripProfiles(const unsigned char* image, int (*profiles)[H]) {
    for (int s = 0; s < kStrips; ++s) profiles[s][0] = profiles[s][H - 1] = 0;
    unsigned char d[W];
    for (int r = 1; r < H - 1; ++r) {
        const unsigned char* a = image + (r - 1) * W;
        const unsigned char* b = image + (r + 1) * W;
        for (int c = 0; c < W; ++c) d[c] = static_cast<unsigned char>(a[c] > b[c] ? a[c] - b[c] : b[c] - a[c]);
        for (int s = 0; s < kStrips; ++s) {
            const unsigned char* q = d + 10 * s;
            profiles[s][r] = q[0] + q[1] + q[2] + q[3] + q[4] + q[5] + q[6] + q[7] + q[8] + q[9];
        }
    }
}

// P[r] = (2 Q[r] + Q[r-1] + Q[r+1]) / 4 for rows first..last from an unsmoothed copy.
void SmoothProfile(int* p, int first, int last) {
    int q[H];
    std::memcpy(q, p, sizeof q);
    for (int r = first; r <= last; ++r) p[r] = (2 * q[r] + q[r - 1] + q[r + 1]) / 4;
}

// The row with the largest value in first..last, the first one on ties.
int MaxRow(const int* p, int first, int last) {
    int best = first;
    for (int r = first + 1; r <= last; ++r)
        if (p[r] > p[best]) best = r;
    return best;
}

bool IsPeak(const int* p, int r) { return p[r - 1] <= p[r] && p[r] >= p[r + 1]; }

void AppendRecord(BLOCK_INFO* records, int* count, int strip, int direction) {
    if (*count >= kMaxRecords) return;
    records[*count] = BLOCK_INFO{strip, direction, 1};
    ++*count;
}

}  // namespace

void RemoveOverWhiteArea(const unsigned char* src, unsigned char* dst) {
    std::memcpy(dst, src, kImageBytes);
    int up_max[kStrips], up_peak[kStrips], down_max[kStrips], down_peak[kStrips];
    int profiles[kStrips][H];
    StripProfiles(src, profiles);
    for (int s = 0; s < kStrips; ++s) {
        const int* p = profiles[s];
        up_max[s] = MaxRow(p, kUpperFirst, kUpperLast);
        up_peak[s] = up_max[s];
        int best = 0;
        for (int r = up_max[s] + 1; r <= kUpperLast; ++r)
            if (IsPeak(p, r) && p[r] > best) {
                best = p[r];
                up_peak[s] = r;
            }
        down_max[s] = MaxRow(p, kLowerFirst, kLowerLast);
        down_peak[s] = down_max[s];
        best = 0;
        for (int r = down_max[s] - 1; r >= kLowerFirst; --r)
            if (IsPeak(p, r) && p[r] > best) {
                best = p[r];
                down_peak[s] = r;
            }
    }
    BLOCK_INFO upper[kMaxRecords + 1] = {};
    BLOCK_INFO lower[kMaxRecords + 1] = {};
    int n_upper = 0, n_lower = 0;
    for (int i = 0; i < kStrips - 1; ++i) {
        int d = std::abs(up_max[i] - up_max[i + 1]) - 1;
        int e = std::abs(up_max[i] - up_peak[i + 1]);
        int f = std::abs(up_peak[i] - up_max[i + 1]);
        if (e < d && e <= f) AppendRecord(upper, &n_upper, i, +1);
        if (f < d && f < e) AppendRecord(upper, &n_upper, i + 1, -1);
        d = std::abs(down_max[i] - down_max[i + 1]) - 1;
        e = std::abs(down_max[i] - down_peak[i + 1]);
        f = std::abs(down_peak[i] - down_max[i + 1]);
        if (e < d && e <= f) AppendRecord(lower, &n_lower, i, +1);
        if (f < d && f <= e) AppendRecord(lower, &n_lower, i + 1, -1);
    }
    RemoveOverWhiteArea(0, 119, n_upper, upper, dst);
    RemoveOverWhiteArea(120, 240, n_lower, lower, dst);
}

void RemoveOverWhiteArea(int row_begin, int row_end, int count, BLOCK_INFO* records, unsigned char* image) {
    if (count <= 0) return;
    if (count > kMaxRecords) count = kMaxRecords;
    for (int k = 0; k < count; ++k) {
        const int next = k + 1 < count ? records[k + 1].direction : 0;
        if (records[k].direction == 1 && next == 1) records[k + 1].valid = -1;
        if (records[k].direction == -1 && next == -1) records[k].valid = -1;
    }
    BLOCK_INFO kept[kMaxRecords];
    int m = 0;
    for (int k = 0; k < count; ++k)
        if (records[k].valid == 1) kept[m++] = records[k];
    if (m == 0) return;

    bool flagged[kStrips] = {};
    auto flag = [&](int from, int to) {
        if (from < 0) from = 0;
        if (to > kStrips - 1) to = kStrips - 1;
        for (int s = from; s <= to; ++s) flagged[s] = true;
    };
    int start = 0;
    if (kept[0].direction == -1) {
        flag(0, kept[0].strip);
        start = 1;
    }
    for (int j = start; j < m - 1; j += 2) flag(kept[j].strip, kept[j + 1].strip);
    if (kept[m - 1].direction == 1) flag(kept[m - 1].strip, kStrips - 1);

    if (row_begin < 0) row_begin = 0;
    if (row_end > H) row_end = H;
    for (int s = 0; s < kStrips; ++s) {
        if (!flagged[s]) continue;
        for (int r = row_begin; r < row_end; ++r) {
            unsigned char* px = image + r * W + 10 * s;
            for (int c = 0; c < 10; ++c)
                if (px[c] > 249) px[c] = 0;
        }
    }
}

int FindVeinBoundary(const unsigned char* image, short* top_edge, short* bottom_edge) {
    HeapArray<unsigned char> mapped = qv::heap_alloc<unsigned char>(kImageBytes);
    HeapArray<unsigned char> grad = qv::heap_zeroed<unsigned char>(kImageBytes);
    if (!mapped || !grad) return -7;
    unsigned char* L = mapped.get();
    unsigned char* G = grad.get();
    for (int i = 0; i < kImageBytes; ++i) L[i] = BoundaryTable[image[i]];
    // Horizontal [1 2 1] sums per row, three rows kept: G compares the rows above and below.
    int16_t hsum[3][W] = {};
    auto horizontal = [&](int r) {
        const unsigned char* l = L + r * W;
        int16_t* h = hsum[r % 3];
        for (int c = 1; c < W - 1; ++c) h[c] = static_cast<int16_t>(l[c - 1] + 2 * l[c] + l[c + 1]);
    };
    horizontal(0);
    horizontal(1);
    for (int r = 1; r < H - 1; ++r) {
        horizontal(r + 1);
        const int16_t* above = hsum[(r - 1) % 3];
        const int16_t* below = hsum[(r + 1) % 3];
        unsigned char* g = G + r * W;
        for (int c = 1; c < W - 1; ++c) g[c] = static_cast<unsigned char>(std::abs((above[c] - below[c]) / 4));
    }

    int up[kStrips], down[kStrips];
    int p[H];
    int profiles[kStrips][H];
    StripProfiles(image, profiles);
    for (int s = 0; s < kStrips; ++s) {
        std::memcpy(p, profiles[s], sizeof p);
        SmoothProfile(p, 3, 236);
        up[s] = MaxRow(p, kUpperFirst, kUpperLast);
        for (int r = up[s] + 1; r <= 110; ++r)
            if (p[r] >= p[r + 1] && p[r] > 200) up[s] = r;
        down[s] = MaxRow(p, kLowerFirst, kLowerLast);
        for (int r = down[s] - 1; r >= 128; --r)
            if (p[r] >= p[r - 1] && p[r] > 200) down[s] = r;
    }
    int first = -1, last = -1;
    for (int s = 0; s < kStrips; ++s)
        if (up[s] != kUpperFirst && down[s] != kLowerFirst) {
            if (first < 0) first = s;
            last = s + 1;
        }
    if (first < 0) return -1;
    int sum_up = 0, sum_down = 0;
    for (int s = first; s < last; ++s) {
        sum_up += up[s];
        sum_down += down[s];
    }
    const int mu = sum_up / (last - first);
    const int md = sum_down / (last - first);

    int eu[kStrips + 1] = {}, ed[kStrips + 1] = {};
    ColumnProfile(image, 150, 20, p);
    SmoothProfile(p, 3, 236);
    eu[16] = mu;
    ed[16] = md;
    auto strict_peak = [&](int r) { return r >= 1 && r <= H - 2 && p[r] > p[r - 1] && p[r] > p[r + 1] && p[r] > 200; };
    for (int k = -8; k <= 8; ++k) {
        if (mu + k >= 0 && strict_peak(mu + k)) eu[16] = mu + k;
        if (md - k < H && strict_peak(md - k)) ed[16] = md - k;
    }

    // Moves one edge on from the strip nearer the centre (at prev): the rough edge when it lies within 5
    // rows, else the strongest weighted response within 8 rows; false when there is none.
    auto follow = [&](int prev, int rough, int* edge) {
        if (std::abs(prev - rough) < 6) {
            *edge = rough;
            return true;
        }
        long best = 0;
        const int k0 = -prev > -8 ? -prev : -8;
        const int k1 = H - 1 - prev < 8 ? H - 1 - prev : 8;
        for (int k = k0; k <= k1; ++k) {
            const long v = static_cast<long>(kEdgeWeight[k + 8]) * p[prev + k];
            if (v > best) {
                best = v;
                *edge = prev + k;
            }
        }
        return best > 0;
    };

    // Follows both edges strip by strip away from the centre on the gradient image.
    auto track = [&](int s, int towards_centre, int c0) {
        for (int r = 0; r < H; ++r) {
            int sum = 0;
            const unsigned char* g = G + r * W + c0;
            for (int c = 0; c < 20; ++c) sum += g[c];
            p[r] = sum;
        }
        SmoothProfile(p, 1, H - 2);
        follow(eu[towards_centre], up[s], &eu[s]);
        return follow(ed[towards_centre], down[s], &ed[s]);
    };
    for (int s = 15; s >= first + 1; --s)
        if (!track(s, s + 1, 10 * s - 9)) break;
    for (int s = 17; s <= last - 1; ++s)
        if (!track(s, s - 1, 10 * s - 10)) break;

    int a = 1, b = kStrips - 1;
    for (int s = 1; s < kStrips; ++s)
        if (eu[s] != 0 && ed[s] != 0) {
            a = s;
            break;
        }
    for (int s = kStrips - 1; s >= 1; --s)
        if (eu[s] != 0 && ed[s] != 0) {
            b = s;
            break;
        }
    int cu[kStrips + 1], cd[kStrips + 1];
    std::memcpy(cu, eu, sizeof cu);
    std::memcpy(cd, ed, sizeof cd);
    for (int s = a + 2; s <= b - 2; ++s) {
        eu[s] = (cu[s - 2] + 2 * cu[s - 1] + 4 * cu[s] + 2 * cu[s + 1] + cu[s + 2] + 5) / 10;
        ed[s] = (cd[s - 2] + 2 * cd[s - 1] + 4 * cd[s] + 2 * cd[s + 1] + cd[s + 2] + 5) / 10;
    }
    std::memset(top_edge, 0, W * sizeof(short));
    std::memset(bottom_edge, 0, W * sizeof(short));
    for (int s = a; s < b; ++s)
        for (int j = 0; j < 10; ++j) {
            top_edge[10 * s + j] = static_cast<short>(((10 - j) * eu[s] + j * eu[s + 1] + 5) / 10);
            bottom_edge[10 * s + j] = static_cast<short>(((10 - j) * ed[s] + j * ed[s + 1] + 5) / 10);
        }
    return 0;
}

int CalcSlopeAngle(float* slope, const short* top_edge, const short* bottom_edge, int* upper_flag, int* lower_flag) {
    *slope = 0.0f;
    int a = -1, b = -1;
    for (int x = 0; x < W; ++x)
        if (top_edge[x] != 0 && bottom_edge[x] != 0) {
            if (a < 0) a = x;
            b = x;
        }
    if (a < 0) {
        a = 0;
        b = W - 1;
    }
    if (a < 20) a = 20;
    if (b > 299) b = 299;
    *upper_flag = 0;
    *lower_flag = 0;
    long n = b - a + 1;
    if (n <= 0) return 0;
    long st = 0, sb = 0;
    for (int x = a; x <= b; ++x) {
        st += top_edge[x];
        sb += bottom_edge[x];
    }
    const long mt = st / n, mb = sb / n;
    long long vt = 0, vb = 0;
    for (int x = a; x <= b; ++x) {
        vt += (top_edge[x] - mt) * (top_edge[x] - mt);
        vb += (bottom_edge[x] - mb) * (bottom_edge[x] - mb);
    }
    *upper_flag = vt / n > 5 ? 1 : 0;
    *lower_flag = vb / n > 5 ? 1 : 0;
    if (!*upper_flag && !*lower_flag) return 0;

    if (a < 80) a = 80;
    if (W - b < 80) b = 240;
    n = b - a + 1;
    if (n <= 0) return 0;
    long long sxx = 0, sx = 0, sxy = 0, sy = 0;
    for (int x = a; x <= b; ++x) {
        int y;
        if (*upper_flag && *lower_flag)
            y = (top_edge[x] + bottom_edge[x]) / 2;
        else if (*upper_flag)
            y = top_edge[x];
        else
            y = bottom_edge[x];
        sxx += static_cast<long long>(x) * x;
        sx += x;
        sxy += static_cast<long long>(y) * x;
        sy += y;
    }
    long long den = n * sxx - sx * sx;
    if (den == 0) den = 1;
    *slope = static_cast<float>(n * sxy - sx * sy) / static_cast<float>(den);
    if (*upper_flag != *lower_flag) *slope /= 2.0f;
    return 0;
}
