// Measures the mean Gabor energy of every grid point, scale and orientation over a large body of
// generated fingers (all three rotations of each preprocessed image) and writes the fixed table as
// C++ source. The means are scaled by one factor to the stated scale-0 level; the entries the
// library's data fixes are then set exactly and the rest clamped into the stated range. Before that
// it prints how the body's shape compares with those fixed entries. Once committed the table is
// frozen: stored templates depend on it.
//
//   mean_gabor_tablegen OUT.cpp [fingers] [captures] [first finger] [scale-0 level] [style] [shape]
//
// style: realistic (default), classic or varied. shape: none (default) or rows, one factor per grid
// row that gives the fixed column its shape (see below) and changes no code bit. Runs on four
// threads; the sums are integers, so the output does not depend on the order of the work.
// The fingers are numbered apart from those the tests and the accuracy program use.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "finger_gen.h"
#include "gabor.h"

namespace {

constexpr int kMinEntry = 2164, kMaxEntry = 169963;

int q(int i, int j, int s, int o) { return ((i * 22 + j) * 7 + s) * 16 + o; }

// The entries the library's data fixes.
const int kColumn11[15] = {5259,  17492, 27361, 28490, 27631, 29741, 31571, 33164,
                           32885, 28882, 26172, 25507, 26259, 20471, 8018};  // (i, 11), scale 0, orientation 0
const int kVertical[16] = {67537,  65480,  63881,  65020, 68656, 80776, 106532, 130117,
                           143048, 134950, 105939, 75097, 61556, 54169, 57682,  63011};  // (7, 11), scale 6
const double kScaleLevels[2] = {32000, 69000};  // stated averages at scales 0 and 5

struct Body {
    std::vector<long long> sum = std::vector<long long>(kResponses, 0);
    long long images = 0, failed = 0;
};

void measure(fingergen::Style style, int first, int fingers, int captures, int part, int parts, Body* body) {
    std::vector<int> resp(kResponses);
    std::vector<unsigned char> image(kImageBytes), mask(kImageBytes);
    const float slopes[3] = {0.0f, 0.03f, -0.06f};
    for (int f = first + part; f < first + fingers; f += parts)
        for (int c = 0; c < captures; ++c) {
            fingergen::finger_image(f, c, image.data(), nullptr, style);
            if (PreprocessImage(image.data(), mask.data()) != 0) {
                ++body->failed;
                continue;
            }
            for (float slope : slopes) {
                if (RotateImage140_120(image.data(), mask.data(), slope) != 0) std::abort();
                unsigned char border[140];
                getSmallImageBorder(border, mask.data());
                int row0, bottom, col0, rs, cs;
                SetGaborParam(border, &row0, &bottom, &col0, &rs, &cs);
                if (ExtractGaborFeature(image.data(), resp.data(), row0, bottom, col0, rs, cs) != 0) std::abort();
                for (int k = 0; k < kResponses; ++k) body->sum[k] += resp[k];
                ++body->images;
            }
        }
}

double scale_average(const std::vector<double>& t, int s) {
    double a = 0;
    for (int g = 0; g < kGridPoints; ++g)
        for (int o = 0; o < 16; ++o) a += t[g * 112 + s * 16 + o];
    return a / (kGridPoints * 16);
}

// Peak over orientation 0 of the scale-6 profile of point (i, j).
double peak_ratio(const std::vector<double>& t, int i, int j) {
    double peak = 0;
    for (int o = 0; o < 16; ++o) peak = std::max(peak, t[q(i, j, 6, o)]);
    return peak / t[q(i, j, 6, 0)];
}

// The shape checks against the fixed entries, on scaled but not yet clamped or pasted means.
void report_shape(const char* what, const std::vector<double>& t) {
    std::printf("%s\n  scale averages:", what);
    for (int s = 0; s < 7; ++s) std::printf(" %.0f", scale_average(t, s));
    std::printf("\n  scale 5 / scale 0: %.3f (stated %.3f)\n", scale_average(t, 5) / scale_average(t, 0),
                kScaleLevels[1] / kScaleLevels[0]);
    std::printf("  column (i, 11), scale 0, orientation 0, over row 7 (stated):\n   ");
    for (int i = 0; i < 15; ++i)
        std::printf(" %.2f(%.2f)", t[q(i, 11, 0, 0)] / t[q(7, 11, 0, 0)], kColumn11[i] / double(kColumn11[7]));
    std::printf("\n  ratio to the fixed entry:\n   ");
    for (int i = 0; i < 15; ++i) std::printf(" %.2f", t[q(i, 11, 0, 0)] / kColumn11[i]);
    std::printf("\n  profile (7, 11), scale 6, over orientation 0 (stated):\n   ");
    for (int o = 0; o < 16; ++o)
        std::printf(" %.2f(%.2f)", t[q(7, 11, 6, o)] / t[q(7, 11, 6, 0)], kVertical[o] / double(kVertical[0]));
    std::printf("\n  ratio to the fixed entry:\n   ");
    for (int o = 0; o < 16; ++o) std::printf(" %.2f", t[q(7, 11, 6, o)] / kVertical[o]);
    std::printf("\n  scale-6 peak over orientation 0 at (7, 11) %.2f (stated %.2f); around it:", peak_ratio(t, 7, 11),
                143048.0 / 67537.0);
    for (int i = 6; i <= 8; ++i)
        for (int j = 10; j <= 12; ++j)
            if (i != 7 || j != 11) std::printf(" %.2f", peak_ratio(t, i, j));
    int low = 0, high = 0;
    for (double v : t) low += v<kMinEntry, high += v> kMaxEntry;
    std::printf("\n  entries below the range %d, above it %d\n", low, high);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr,
                     "usage: %s OUT.cpp [fingers] [captures] [first finger] [scale-0 level] "
                     "[realistic|classic|varied] [none|rows]\n",
                     argv[0]);
        return 2;
    }
    const int fingers = argc > 2 ? std::atoi(argv[2]) : 600;
    const int captures = argc > 3 ? std::atoi(argv[3]) : 3;
    const int first = argc > 4 ? std::atoi(argv[4]) : 1000;
    const double level = argc > 5 ? std::atof(argv[5]) : 32000.0;
    const std::string style_name = argc > 6 ? argv[6] : "realistic";
    const std::string shape = argc > 7 ? argv[7] : "none";
    fingergen::Style style;
    if (style_name == "realistic")
        style = fingergen::Style::kRealistic;
    else if (style_name == "classic")
        style = fingergen::Style::kClassic;
    else if (style_name == "varied")
        style = fingergen::Style::kVaried;
    else
        return 2;
    if (shape != "none" && shape != "rows") return 2;

    const int parts = 4;
    std::vector<Body> bodies(parts);
    std::vector<std::thread> workers;
    for (int p = 0; p < parts; ++p)
        workers.emplace_back(measure, style, first, fingers, captures, p, parts, &bodies[p]);
    for (auto& w : workers) w.join();
    Body body;
    for (const Body& b : bodies) {
        for (int k = 0; k < kResponses; ++k) body.sum[k] += b.sum[k];
        body.images += b.images;
        body.failed += b.failed;
    }
    if (body.images == 0) return 1;

    std::vector<double> mean(kResponses);
    for (int k = 0; k < kResponses; ++k) mean[k] = static_cast<double>(body.sum[k]) / static_cast<double>(body.images);
    const double factor = level / scale_average(mean, 0);
    for (double& v : mean) v *= factor;
    std::printf(
        "%s fingers %d..%d x %d captures: %lld rotated images (%lld captures failed preprocessing), "
        "factor %.6g\n",
        style_name.c_str(), first, first + fingers - 1, captures, body.images, body.failed, factor);
    report_shape("measured body, scaled", mean);

    if (shape == "rows") {
        // One factor per grid row, the same for all 22 x 112 entries of the row, so no code bit changes
        // (bits compare entries of one point only): row i takes the factor that gives column (i, 11)
        // at scale 0, orientation 0 the fixed entries' shape relative to row 7. Then the one factor
        // again, so the scale-0 level stays.
        double row[15];
        for (int i = 0; i < 15; ++i)
            row[i] = (kColumn11[i] / double(kColumn11[7])) / (mean[q(i, 11, 0, 0)] / mean[q(7, 11, 0, 0)]);
        std::printf("row factors:");
        for (int i = 0; i < 15; ++i) std::printf(" %.3f", row[i]);
        std::printf("\n");
        for (int k = 0; k < kResponses; ++k) mean[k] *= row[k / (22 * 112)];
        const double again = level / scale_average(mean, 0);
        for (double& v : mean) v *= again;
        report_shape("after the row correction, scaled again", mean);
    }

    std::vector<long long> table(kResponses);
    for (int k = 0; k < kResponses; ++k)
        table[k] = std::min<long long>(std::max<long long>(std::llround(mean[k]), kMinEntry + 1), kMaxEntry - 1);
    for (int i = 0; i < 15; ++i) table[q(i, 11, 0, 0)] = kColumn11[i];
    for (int o = 0; o < 16; ++o) table[q(7, 11, 6, o)] = kVertical[o];
    table[q(0, 2, 0, 0)] = kMinEntry;
    table[q(11, 19, 5, 8)] = kMaxEntry;

    FILE* out = std::fopen(argv[1], "w");
    if (!out) return 1;
    std::fprintf(out,
                 "// Generated by veinalg/tablegen/mean_gabor_tablegen.cpp: %s fingers %d..%d x %d captures\n"
                 "// (%lld rotated images), scale-0 level %.0f, shape %s; frozen: stored templates depend on it.\n"
                 "// From the build folder: veinalg/tablegen/mean_gabor_tablegen ../veinalg/mean_gabor_table.cpp"
                 " %d %d %d %.0f %s %s\n"
                 "#include \"feature.h\"\n\n"
                 "const int32_t MeanGaborFeatureTable[kGaborResponses] = {\n",
                 style_name.c_str(), first, first + fingers - 1, captures, body.images, level, shape.c_str(), fingers,
                 captures, first, level, style_name.c_str(), shape.c_str());
    for (int k = 0; k < kResponses; ++k)
        std::fprintf(out, "%s%lld,%s", k % 16 == 0 ? "    " : "", table[k], k % 16 == 15 ? "\n" : " ");
    std::fprintf(out, "};\n");
    std::fclose(out);

    std::vector<double> final_table(table.begin(), table.end());
    int low = 0, high = 0;
    for (long long v : table) low += v == kMinEntry + 1, high += v == kMaxEntry - 1;
    std::printf("written: %d entries clamped low, %d high\n", low, high);
    report_shape("written table", final_table);
    return 0;
}
