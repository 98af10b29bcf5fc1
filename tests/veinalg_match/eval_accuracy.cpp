// Accuracy over generated fingers. Three modes:
//
//   veinalg_accuracy [fingers] [classic|varied|realistic] [first finger]
//   veinalg_accuracy thresholds [fingers] [style] [first finger] [-jN]
//   veinalg_accuracy tolerance [fingers] [first finger] [-jN]
//   veinalg_accuracy smoke
//
// The first enrols from three captures, probes with three others, and prints the genuine and
// impostor similarity distributions, the shares at the driver's thresholds, the highest impostor and
// the equal error rate; then the driver's same-finger check. Runs both rules of the enrolment
// alignment's fine row search. First it prints what the mean energy table does to the code bits:
// the share of ones at every bit position of the template's MS points (an unbiased table keeps each
// near one half) and the share of equal bits at zero shift between different fingers and between
// captures of one finger.
//
// "thresholds" goes the driver's way through the exported functions (quality check, same-finger
// check, template, feature, the score cut to whole percent) and prints, for the thresholds 60 to 80,
// the shares of impostor and genuine comparisons that pass with their 95% bounds; then, since false
// accepts cluster in look-alike fingers, by finger pair: how many pairs pass, how many of a pair's
// comparisons pass, and a 95% bound by bootstrap over fingers. "tolerance" enrols realistic
// fingers the same way, changes one thing at a time on a probe capture (pose, exposure, blur,
// noise, JPEG quality, a band over the finger) and prints per level how many pass at
// 0.70, how many the quality check refuses, how many give no feature and how many score too low.
// "smoke" runs both on a few fingers (the tolerance only at the ends of each change) and fails when
// a result is impossible (the CI test). -jN uses N threads (at most 8); the results do not depend
// on N.
//
// Measure on fingers the table was not made from: the table generator uses realistic fingers 1000
// to 1999, so take realistic fingers outside them (0..999, 2000 on) or another style.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "enroll.h"
#include "finger_gen.h"
#include "match.h"
#include "qvfv_alg_api.h"

namespace {

fingergen::Style g_style = fingergen::Style::kVaried;
int g_first = 0;

std::vector<unsigned char> image_of(int finger, int capture) {
    return fingergen::finger_image(g_first + finger, capture, nullptr, g_style);
}

std::vector<unsigned char> feature_of(int finger, int capture) {
    std::vector<unsigned char> bmp = fingergen::grey_to_bmp(image_of(finger, capture).data(), 320, 240);
    _image img{bmp.data(), static_cast<int>(bmp.size())};
    std::vector<unsigned char> out(50000);
    int n = veinalg_make_feature(nullptr, &img, 1, out.data(), static_cast<int>(out.size()), nullptr);
    if (n != FV_FEATURE_SIZE) return {};
    out.resize(n);
    return out;
}

// Records made here that the matcher's content check refuses (there must be none).
int g_checked = 0, g_refused = 0;

void note_feature(const std::vector<unsigned char>& f) {
    if (f.empty()) return;
    ++g_checked;
    for (int k = 0; k < FV_FEATURE_ITEMS; ++k)
        if (!FeatureItemContentValid(f.data() + k * kItemBytes)) {
            ++g_refused;
            break;
        }
}

void note_tmpl(const std::vector<unsigned char>& t) {
    if (t.empty()) return;
    ++g_checked;
    g_refused += TmplContentValid(t.data()) ? 0 : 1;
}

// Stored template of the given captures, built with the chosen rule.
std::vector<unsigned char> tmpl_of(int finger, const int* captures, int n, FineRowSearch rule) {
    std::vector<std::vector<unsigned char>> images;
    for (int k = 0; k < n; ++k) images.push_back(image_of(finger, captures[k]));
    FV_TMPL t;
    if (GetEnrollTmplWith(images[0].data(), n > 1 ? images[1].data() : nullptr, n > 2 ? images[2].data() : nullptr, &t,
                          rule) != 0)
        return {};
    std::vector<unsigned char> out(kTmplBytes, 0);
    std::memcpy(&out[0], "v1.1", 4);
    std::memcpy(&out[kTmplCodes], t.codes, sizeof t.codes);
    std::memcpy(&out[kTmplMs], t.ms, sizeof t.ms);
    std::memcpy(&out[kTmplW15], t.w15, sizeof t.w15);
    std::memcpy(&out[kTmplW27], t.w27, sizeof t.w27);
    return out;
}

int score_of(const std::vector<unsigned char>& t, const std::vector<unsigned char>& f) {
    int score = 0;
    MatchFeatureX(t.data(), f.data(), &score);
    return score;
}

double similarity_of(int score) {
    double s = 0;
    MapScoreX(score, s);
    return s;
}

// Equal error rate over thresholds on the score 0..999.
double score_eer(const std::vector<int>& gen, const std::vector<int>& imp) {
    double best = 1, at = 0;
    for (int t = 0; t <= 1000; ++t) {
        double frr = 0, far = 0;
        for (int s : gen) frr += s < t;
        for (int s : imp) far += s >= t;
        frr /= gen.size();
        far /= imp.size();
        double gap = frr > far ? frr - far : far - frr;
        if (gap < best) best = gap, at = (frr + far) / 2;
    }
    return 100.0 * at;
}

void histogram(const char* name, const std::vector<double>& v) {
    int bins[21] = {0};
    for (double s : v) bins[std::min(20, static_cast<int>(s * 20 + 1e-9))]++;
    std::printf("  %s (%zu):", name, v.size());
    for (int b = 0; b <= 20; ++b)
        if (bins[b]) std::printf(" [%.2f]%d", b / 20.0, bins[b]);
    std::printf("\n");
}

double share_at_least(const std::vector<double>& v, double t) {
    size_t n = 0;
    for (double s : v) n += static_cast<int>(s * 100) >= static_cast<int>(t * 100 + 1e-9);
    return v.empty() ? 0 : 100.0 * n / v.size();
}

// Equal error rate over thresholds on the similarity.
double eer(const std::vector<double>& gen, const std::vector<double>& imp) {
    double best = 1, at = 0;
    for (int k = 0; k <= 1000; ++k) {
        double t = k / 1000.0;
        double frr = 0, far = 0;
        for (double s : gen) frr += s < t;
        for (double s : imp) far += s >= t;
        frr /= gen.size();
        far /= imp.size();
        double gap = frr > far ? frr - far : far - frr;
        if (gap < best) best = gap, at = (frr + far) / 2;
    }
    return 100.0 * at;
}

// MS bit n (0..127) of grid point g of a feature's first item.
int ms_bit(const std::vector<unsigned char>& f, int g, int n) {
    uint32_t w;
    std::memcpy(&w, &f[kItemMs + (g * 4 + n / 32) * 4], 4);
    return (w >> (31 - n % 32)) & 1;
}

// Bit statistics over the template's MS points of the probes (item 0, zero shift).
void bit_statistics(const std::vector<std::vector<unsigned char>>& probes, int fingers) {
    static const int kIMs[7] = {1, 3, 5, 7, 9, 11, 13};
    static const int kJMs[14] = {1, 2, 4, 5, 7, 8, 10, 11, 13, 14, 16, 17, 19, 20};
    std::vector<int> points;
    for (int i : kIMs)
        for (int j : kJMs) points.push_back(i * 22 + j);
    const int positions = static_cast<int>(points.size()) * 128;
    std::vector<double> ones(positions, 0);
    std::vector<std::vector<unsigned char>> bits;  // per probe, 0/1 per position; empty when missing
    int n = 0;
    for (const auto& p : probes) {
        bits.emplace_back();
        if (p.empty()) continue;
        bits.back().resize(positions);
        for (size_t k = 0; k < points.size(); ++k)
            for (int b = 0; b < 128; ++b)
                bits.back()[k * 128 + b] = static_cast<unsigned char>(ms_bit(p, points[k], b));
        for (int k = 0; k < positions; ++k) ones[k] += bits.back()[k];
        ++n;
    }
    if (n == 0) return;
    double lo = 1, hi = 0, dev = 0;
    int outside = 0;
    double per_bit[128] = {0};
    for (int k = 0; k < positions; ++k) {
        const double share = ones[k] / n;
        lo = std::min(lo, share), hi = std::max(hi, share);
        dev += std::abs(share - 0.5);
        outside += std::abs(share - 0.5) > 0.05;
        per_bit[k % 128] += share / points.size();
    }
    // Bits 0..79 compare neighbouring orientations of scales 2..6, bits 80..127 neighbouring scales.
    double bit_lo = 1, bit_hi = 0, orient_lo = 1, orient_hi = 0, scale_lo = 1, scale_hi = 0;
    for (int b = 0; b < 128; ++b) {
        const double v = per_bit[b];
        bit_lo = std::min(bit_lo, v), bit_hi = std::max(bit_hi, v);
        if (b < 80)
            orient_lo = std::min(orient_lo, v), orient_hi = std::max(orient_hi, v);
        else
            scale_lo = std::min(scale_lo, v), scale_hi = std::max(scale_hi, v);
    }
    std::printf("MS bits over %d probes at the template's %zu MS points (%d positions):\n", n, points.size(),
                positions);
    std::printf(
        "  share of ones per position: lowest %.3f, highest %.3f, mean distance from 1/2 %.4f, "
        "%d positions (%.1f%%) farther than 0.05 (chance alone: about %.1f%%)\n",
        lo, hi, dev / positions, outside, 100.0 * outside / positions,
        200.0 * std::erfc(0.05 / std::sqrt(0.25 / n) / std::sqrt(2.0)) / 2);
    std::printf(
        "  share of ones per bit kind, averaged over the points: lowest %.3f, highest %.3f "
        "(orientation bits %.3f..%.3f, scale bits %.3f..%.3f)\n",
        bit_lo, bit_hi, orient_lo, orient_hi, scale_lo, scale_hi);
    // Equal bits at zero shift.
    double same_sum = 0, diff_sum = 0, diff_hi = 0;
    long long same_n = 0, diff_n = 0;
    for (size_t a = 0; a < bits.size(); ++a) {
        if (bits[a].empty()) continue;
        for (size_t b = a + 1; b < bits.size(); ++b) {
            if (bits[b].empty()) continue;
            int eq = 0;
            for (int k = 0; k < positions; ++k) eq += bits[a][k] == bits[b][k];
            const double share = static_cast<double>(eq) / positions;
            if (static_cast<int>(a) / 3 == static_cast<int>(b) / 3) {
                same_sum += share, ++same_n;
            } else {
                diff_sum += share, ++diff_n;
                diff_hi = std::max(diff_hi, share);
            }
        }
    }
    (void)fingers;
    std::printf(
        "  equal bits at zero shift: different fingers %.4f (highest %.4f, %lld pairs), "
        "captures of one finger %.4f (%lld pairs)\n",
        diff_n ? diff_sum / diff_n : 0, diff_hi, diff_n, same_n ? same_sum / same_n : 0, same_n);
}

// The distributions of the first mode.
int distributions(int fingers) {
    std::vector<std::vector<unsigned char>> probes(fingers * 3);
    int missing = 0;
    for (int f = 0; f < fingers; ++f)
        for (int c = 0; c < 3; ++c) {
            probes[f * 3 + c] = feature_of(f, 3 + c);
            missing += probes[f * 3 + c].empty();
        }
    const char* style_name = g_style == fingergen::Style::kClassic  ? "classic"
                             : g_style == fingergen::Style::kVaried ? "varied"
                                                                    : "realistic";
    std::printf("%d %s fingers (%d..%d) x 6 captures; %d of %d probe captures gave no feature (%.2f%%)\n", fingers,
                style_name, g_first, g_first + fingers - 1, missing, fingers * 3, 100.0 * missing / (fingers * 3));
    bit_statistics(probes, fingers);
    for (const auto& p : probes) note_feature(p);

    const FineRowSearch rules[2] = {FineRowSearch::kReset, FineRowSearch::kKeepBest};
    const char* names[2] = {"fine row search restarted (as specified)", "fine row search keeping its best"};
    for (int r = 0; r < 2; ++r) {
        std::vector<double> gen, imp;
        std::vector<int> gen_scores, imp_scores;
        int no_tmpl = 0;
        const int enrol[3] = {0, 1, 2};
        for (int f = 0; f < fingers; ++f) {
            auto t = tmpl_of(f, enrol, 3, rules[r]);
            note_tmpl(t);
            if (t.empty()) {
                ++no_tmpl;
                continue;
            }
            for (int g = 0; g < fingers; ++g)
                for (int c = 0; c < 3; ++c) {
                    const auto& p = probes[g * 3 + c];
                    if (p.empty()) continue;
                    const int sc = score_of(t, p);
                    (g == f ? gen : imp).push_back(similarity_of(sc));
                    (g == f ? gen_scores : imp_scores).push_back(sc);
                }
        }
        std::printf("\n%s: %d templates failed\n", names[r], no_tmpl);
        histogram("genuine", gen);
        histogram("impostor", imp);
        std::sort(gen.begin(), gen.end());
        std::printf("  genuine >= 0.70: %.2f%%, >= 0.60: %.2f%%, lowest genuine %.4f\n", share_at_least(gen, 0.70),
                    share_at_least(gen, 0.60), gen.empty() ? 0 : gen.front());
        std::printf("  highest impostor %.4f, impostors >= 0.60: %.3f%%, >= 0.70: %.3f%%\n",
                    imp.empty() ? 0 : *std::max_element(imp.begin(), imp.end()), share_at_least(imp, 0.60),
                    share_at_least(imp, 0.70));
        std::printf("  equal error rate %.2f%% on the similarity, %.3f%% on the score\n", eer(gen, imp),
                    score_eer(gen_scores, imp_scores));
        std::sort(gen_scores.begin(), gen_scores.end());
        std::sort(imp_scores.begin(), imp_scores.end());
        if (!gen_scores.empty() && !imp_scores.empty())
            std::printf("  scores: genuine lowest %d median %d; impostor median %d highest %d (0.70 needs 592)\n",
                        gen_scores.front(), gen_scores[gen_scores.size() / 2], imp_scores[imp_scores.size() / 2],
                        imp_scores.back());
    }

    // The driver's same-finger rule: one image given three times against two other captures.
    int pass = 0, total = 0;
    for (int f = 0; f < fingers; ++f) {
        std::vector<unsigned char> bmp = fingergen::grey_to_bmp(image_of(f, 0).data(), 320, 240);
        _image imgs[3] = {{bmp.data(), static_cast<int>(bmp.size())},
                          {bmp.data(), static_cast<int>(bmp.size())},
                          {bmp.data(), static_cast<int>(bmp.size())}};
        std::vector<unsigned char> t(FV_TMPL_SIZE, 0);
        if (veinalg_make_tmpl(nullptr, imgs, 3, t.data(), nullptr) != FV_TMPL_SIZE) continue;
        note_tmpl(t);
        bool ok = true;
        for (int c = 1; c <= 2; ++c) {
            auto p = feature_of(f, c);
            note_feature(p);
            double s =
                p.empty() ? 0 : veinalg_match(nullptr, t.data(), FV_TMPL_SIZE, p.data(), FV_FEATURE_SIZE, nullptr);
            ok = ok && s * 100 >= 60;
        }
        pass += ok;
        ++total;
    }
    std::printf("\nsame-finger check (template of capture 0 x 3 vs captures 1 and 2 >= 0.60): %d of %d (%.1f%%)\n",
                pass, total, total ? 100.0 * pass / total : 0);
    std::printf("records refused by the matcher's content check: %d of %d\n", g_refused, g_checked);
    return 0;
}

// ---------------------------------------------------------------- the driver's way

constexpr int kW = fingergen::kWidth, kH = fingergen::kHeight;
constexpr int kFeatureOut = 50000;  // the output size the driver passes

// fn(0) .. fn(n - 1) on the given number of threads; each call writes only its own results.
template <class Fn>
void parallel_for(int n, int threads, const Fn& fn) {
    std::atomic<int> next{0};
    auto work = [&] {
        for (int i = next.fetch_add(1); i < n; i = next.fetch_add(1)) fn(i);
    };
    std::vector<std::thread> pool;
    for (int t = 1; t < threads; ++t) pool.emplace_back(work);
    work();
    for (auto& th : pool) th.join();
}

// What the driver's capture makes of one frame.
enum class Take { kRefused, kNoFeature, kFeature };

Take driver_feature(const std::vector<unsigned char>& grey, std::vector<unsigned char>& feature) {
    feature.clear();
    if (veinalg_image_quality(grey.data(), kW, kH) != 1) return Take::kRefused;
    std::vector<unsigned char> bmp = fingergen::grey_to_bmp(grey.data(), kW, kH);
    _image img{bmp.data(), static_cast<int>(bmp.size())};
    std::vector<unsigned char> out(kFeatureOut, 0);
    if (veinalg_make_feature(nullptr, &img, 1, out.data(), kFeatureOut, nullptr) != FV_FEATURE_SIZE)
        return Take::kNoFeature;
    out.resize(FV_FEATURE_SIZE);
    feature = std::move(out);
    return Take::kFeature;
}

// What the driver's enrolment makes of three frames.
enum class Enrol { kDone, kRefused, kNotSame, kNoTemplate };

Enrol driver_template(const std::vector<unsigned char> grey[3], std::vector<unsigned char>& tmpl) {
    tmpl.clear();
    std::vector<unsigned char> bmp[3];
    for (int k = 0; k < 3; ++k) {
        if (veinalg_image_quality(grey[k].data(), kW, kH) != 1) return Enrol::kRefused;
        bmp[k] = fingergen::grey_to_bmp(grey[k].data(), kW, kH);
    }
    const int len = static_cast<int>(bmp[0].size());
    // The same-finger check: a template of the first image alone against features of the others.
    _image first[3] = {{bmp[0].data(), len}, {bmp[0].data(), len}, {bmp[0].data(), len}};
    std::vector<unsigned char> t(FV_TMPL_SIZE, 0);
    const int tl = veinalg_make_tmpl(nullptr, first, 3, t.data(), nullptr);
    if (tl < 0) return Enrol::kNotSame;
    for (int k = 1; k < 3; ++k) {
        _image im{bmp[k].data(), len};
        std::vector<unsigned char> f(kFeatureOut, 0);
        const int fl = veinalg_make_feature(nullptr, &im, 1, f.data(), kFeatureOut, nullptr);
        if (fl < 0) return Enrol::kNotSame;
        if (!(veinalg_match(nullptr, t.data(), tl, f.data(), fl, nullptr) * 100.0 >= 60.0)) return Enrol::kNotSame;
    }
    _image all[3] = {{bmp[0].data(), len}, {bmp[1].data(), len}, {bmp[2].data(), len}};
    tmpl.assign(FV_TMPL_SIZE, 0);
    if (veinalg_make_tmpl(nullptr, all, 3, tmpl.data(), nullptr) != FV_TMPL_SIZE) {
        tmpl.clear();
        return Enrol::kNoTemplate;
    }
    return Enrol::kDone;
}

Enrol enrol_finger(int finger, std::vector<unsigned char>& tmpl) {
    const std::vector<unsigned char> grey[3] = {image_of(finger, 0), image_of(finger, 1), image_of(finger, 2)};
    return driver_template(grey, tmpl);
}

double driver_similarity(const std::vector<unsigned char>& tmpl, const std::vector<unsigned char>& feature) {
    return veinalg_match(nullptr, tmpl.data(), FV_TMPL_SIZE, feature.data(), FV_FEATURE_SIZE, nullptr);
}

// The driver's score: the similarity in whole percent, cut (not rounded); a match needs at least
// the threshold.
int driver_score(double similarity) { return std::min(100, static_cast<int>(similarity * 100.0)); }

// Probability of at most k in n trials of probability p, summed from its largest term down.
double binomial_cdf(long long k, long long n, double p) {
    if (k >= n || p <= 0) return 1.0;
    if (p >= 1) return 0.0;
    const double lp = std::log(p), lq = std::log1p(-p);
    const double ln = std::lgamma(n + 1.0);
    auto log_term = [&](long long i) {
        return ln - std::lgamma(i + 1.0) - std::lgamma(n - i + 1.0) + i * lp + (n - i) * lq;
    };
    const long long mode = std::min(k, static_cast<long long>((n + 1) * p));
    const double top = log_term(mode);
    double sum = 0, lt = top;
    for (long long i = mode; i >= 0 && lt - top > -60; --i) {
        sum += std::exp(lt - top);
        if (i > 0) lt += std::log(static_cast<double>(i) / static_cast<double>(n - i + 1)) - lp + lq;
    }
    return std::min(1.0, std::exp(top) * sum);
}

// One-sided 95% upper bound (Clopper-Pearson) of a share seen k times in n: the share at which k
// or fewer would be seen with a probability of 5%. For k = 0 it is 1 - 0.05^(1/n), about 3/n (the
// rule of three).
double upper_bound95(long long k, long long n) {
    if (n <= 0 || k >= n) return 1.0;
    double lo = static_cast<double>(k) / n, hi = 1.0;
    for (int it = 0; it < 100; ++it) {
        const double mid = (lo + hi) / 2;
        (binomial_cdf(k, n, mid) > 0.05 ? lo : hi) = mid;
    }
    return hi;
}

double lower_bound95(long long k, long long n) { return n <= 0 ? 0.0 : 1.0 - upper_bound95(n - k, n); }

const char* style_name() {
    return g_style == fingergen::Style::kClassic  ? "classic"
           : g_style == fingergen::Style::kVaried ? "varied"
                                                  : "realistic";
}

constexpr int kThresholds[] = {60, 65, 70, 75, 80};
constexpr int kThresholdCount = sizeof kThresholds / sizeof kThresholds[0];
constexpr int kResamples = 2000;
constexpr uint64_t kBootstrapSeed = 25;

// An impostor probe (finger, driver score) scoring at least the lowest threshold.
struct PassingProbe {
    int finger, score;
};

// Impostor comparisons passing per threshold between two fingers: ordered (a template against the
// other finger's probes) or, summed over both ways, a pair.
struct PairPasses {
    int a, b;
    int pass[kThresholdCount];
};

// The fingers each template's passing probes came from, one entry per finger.
std::vector<PairPasses> ordered_pairs(int tmpl, std::vector<PassingProbe> passing) {
    std::sort(passing.begin(), passing.end(),
              [](const PassingProbe& x, const PassingProbe& y) { return x.finger < y.finger; });
    std::vector<PairPasses> out;
    for (const PassingProbe& p : passing) {
        if (out.empty() || out.back().b != p.finger) out.push_back({tmpl, p.finger, {}});
        for (int t = 0; t < kThresholdCount; ++t) out.back().pass[t] += p.score >= kThresholds[t];
    }
    return out;
}

// Both ways of each pair summed, the lower finger first.
std::vector<PairPasses> unordered_pairs(std::vector<PairPasses> ordered) {
    for (PairPasses& p : ordered)
        if (p.a > p.b) std::swap(p.a, p.b);
    std::sort(ordered.begin(), ordered.end(),
              [](const PairPasses& x, const PairPasses& y) { return x.a != y.a ? x.a < y.a : x.b < y.b; });
    std::vector<PairPasses> out;
    for (const PairPasses& p : ordered) {
        if (out.empty() || out.back().a != p.a || out.back().b != p.b) {
            out.push_back(p);
            continue;
        }
        for (int t = 0; t < kThresholdCount; ++t) out.back().pass[t] += p.pass[t];
    }
    return out;
}

uint64_t splitmix64(uint64_t& state) {
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

// 95% upper bound of the impostor share at each threshold by bootstrap over fingers: the fingers are
// drawn with replacement, so the comparisons of a look-alike pair come and go together, and the 95th
// percentile of the share over kResamples draws is taken. A finger drawn twice is not compared with
// itself. Each resample has its own seeded generator (no library distribution), so the figure
// depends neither on -jN nor on the platform. has_tmpl and probes: per finger, whether it has a
// template and how many probe features; a refused record counts as a comparison (there are none).
std::vector<double> bootstrap95(const std::vector<PairPasses>& ordered, const std::vector<int>& has_tmpl,
                                const std::vector<int>& probes, int threads) {
    const int n = static_cast<int>(has_tmpl.size());
    std::vector<std::vector<double>> shares(kThresholdCount, std::vector<double>(kResamples, 0.0));
    parallel_for(kResamples, threads, [&](int r) {
        uint64_t state = kBootstrapSeed * 0x100000000ull + static_cast<uint64_t>(r);
        std::vector<long long> w(n, 0);
        for (int k = 0; k < n; ++k)
            w[static_cast<size_t>(((splitmix64(state) >> 32) * static_cast<uint64_t>(n)) >> 32)]++;
        long long tmpls = 0, features = 0, self = 0;
        for (int k = 0; k < n; ++k) {
            tmpls += w[k] * has_tmpl[k];
            features += w[k] * probes[k];
            self += w[k] * w[k] * has_tmpl[k] * probes[k];
        }
        const long long comparisons = tmpls * features - self;
        long long pass[kThresholdCount] = {};
        for (const PairPasses& p : ordered) {
            const long long weight = w[p.a] * w[p.b];
            if (weight == 0) continue;
            for (int t = 0; t < kThresholdCount; ++t) pass[t] += weight * p.pass[t];
        }
        for (int t = 0; t < kThresholdCount; ++t)
            shares[t][r] = comparisons > 0 ? static_cast<double>(pass[t]) / comparisons : 0.0;
    });
    std::vector<double> bound(kThresholdCount);
    for (int t = 0; t < kThresholdCount; ++t) {
        std::sort(shares[t].begin(), shares[t].end());
        bound[t] = shares[t][(kResamples * 95 + 99) / 100 - 1];
    }
    return bound;
}

// Counts of one run of the threshold mode, kept for the smoke test.
struct ThresholdRun {
    long long genuine = 0, genuine_pass70 = 0, impostor = 0, refused_records = 0;
    int enrolled = 0;
    long long impostor_pass[kThresholdCount] = {}, pair_pass[kThresholdCount] = {};
    int pair_most = 0;  // most comparisons passing in one pair
    std::vector<PairPasses> ordered;
    std::vector<int> has_tmpl, probes;
    std::vector<double> bootstrap;
};

// Every template against every probe the driver's way; shares passing at the thresholds 60 to 80.
ThresholdRun thresholds(int fingers, int threads) {
    struct Finger {
        Enrol enrol = Enrol::kDone;
        std::vector<unsigned char> tmpl;
        Take take[3] = {Take::kFeature, Take::kFeature, Take::kFeature};
        std::vector<unsigned char> probe[3];
    };
    std::vector<Finger> f(fingers);
    parallel_for(fingers, threads, [&](int i) {
        f[i].enrol = enrol_finger(i, f[i].tmpl);
        for (int c = 0; c < 3; ++c) f[i].take[c] = driver_feature(image_of(i, 3 + c), f[i].probe[c]);
    });

    constexpr int kBins = 101;  // driver scores 0..100
    struct Row {
        long long gen[kBins] = {}, imp[kBins] = {};
        long long refused = 0;
        double top = -1, low = 2;  // highest impostor, lowest genuine similarity
        int top_finger = -1, top_capture = -1;
        std::vector<PassingProbe> passing;  // impostor probes scoring at least the lowest threshold
    };
    std::vector<Row> rows(fingers);
    parallel_for(fingers, threads, [&](int i) {
        Row& r = rows[i];
        if (f[i].tmpl.empty()) return;
        for (int g = 0; g < fingers; ++g)
            for (int c = 0; c < 3; ++c) {
                if (f[g].probe[c].empty()) continue;
                const double s = driver_similarity(f[i].tmpl, f[g].probe[c]);
                if (s < 0) {
                    ++r.refused;
                    continue;
                }
                if (g == i) {
                    r.gen[driver_score(s)]++;
                    r.low = std::min(r.low, s);
                } else {
                    const int score = driver_score(s);
                    r.imp[score]++;
                    if (score >= kThresholds[0]) r.passing.push_back({g, score});
                    if (s > r.top) r.top = s, r.top_finger = g, r.top_capture = 3 + c;
                }
            }
    });

    int enrol_counts[4] = {0, 0, 0, 0}, take_counts[3] = {0, 0, 0};
    for (const Finger& x : f) {
        enrol_counts[static_cast<int>(x.enrol)]++;
        for (Take t : x.take) take_counts[static_cast<int>(t)]++;
    }
    long long gen[kBins] = {}, imp[kBins] = {};
    ThresholdRun run;
    double top = -1, low = 2;
    int top_tmpl = -1, top_finger = -1, top_capture = -1;
    for (int i = 0; i < fingers; ++i) {
        const Row& r = rows[i];
        for (int b = 0; b < kBins; ++b) gen[b] += r.gen[b], imp[b] += r.imp[b];
        run.refused_records += r.refused;
        if (r.top > top) top = r.top, top_tmpl = i, top_finger = r.top_finger, top_capture = r.top_capture;
        low = std::min(low, r.low);
    }
    for (int b = 0; b < kBins; ++b) run.genuine += gen[b], run.impostor += imp[b];
    run.enrolled = enrol_counts[static_cast<int>(Enrol::kDone)];

    std::printf("%d %s fingers (%d..%d), the driver's way: template of captures 0, 1, 2; probes captures 3, 4, 5\n",
                fingers, style_name(), g_first, g_first + fingers - 1);
    std::printf(
        "  enrolment: %d templates; refused by the quality check %d, same-finger check failed %d, "
        "no template %d\n",
        run.enrolled, enrol_counts[static_cast<int>(Enrol::kRefused)], enrol_counts[static_cast<int>(Enrol::kNotSame)],
        enrol_counts[static_cast<int>(Enrol::kNoTemplate)]);
    std::printf("  probes: %d features of %d captures; refused by the quality check %d, no feature %d\n",
                take_counts[static_cast<int>(Take::kFeature)], fingers * 3,
                take_counts[static_cast<int>(Take::kRefused)], take_counts[static_cast<int>(Take::kNoFeature)]);
    std::printf("  comparisons: %lld genuine, %lld impostor; records refused by the matcher %lld\n", run.genuine,
                run.impostor, run.refused_records);
    std::printf(
        "\n  MatchThreshold   impostors passing   share      95%% upper bound   genuine passing   share     "
        "95%% lower bound\n");
    for (int k = 0; k < kThresholdCount; ++k) {
        const int t = kThresholds[k];
        long long ip = 0, gp = 0;
        for (int b = t; b < kBins; ++b) ip += imp[b], gp += gen[b];
        run.impostor_pass[k] = ip;
        if (t == 70) run.genuine_pass70 = gp;
        std::printf("  %9d        %11lld        %9.2e   %9.2e          %9lld       %7.3f%%   %7.3f%%\n", t, ip,
                    run.impostor ? static_cast<double>(ip) / run.impostor : 0.0, upper_bound95(ip, run.impostor), gp,
                    run.genuine ? 100.0 * gp / run.genuine : 0.0, 100.0 * lower_bound95(gp, run.genuine));
    }
    std::printf("  (95%% bounds one-sided, Clopper-Pearson; with none passing the bound is about 3 / comparisons)\n");

    // The same impostor comparisons by finger pair: false accepts cluster in look-alike pairs.
    for (int i = 0; i < fingers; ++i) {
        const std::vector<PairPasses> mine = ordered_pairs(i, std::move(rows[i].passing));
        run.ordered.insert(run.ordered.end(), mine.begin(), mine.end());
        run.has_tmpl.push_back(f[i].tmpl.empty() ? 0 : 1);
        run.probes.push_back(
            static_cast<int>(!f[i].probe[0].empty() + !f[i].probe[1].empty() + !f[i].probe[2].empty()));
    }
    const std::vector<PairPasses> pairs = unordered_pairs(run.ordered);
    run.bootstrap = bootstrap95(run.ordered, run.has_tmpl, run.probes, threads);
    std::printf(
        "\n  By finger pair (a pair: two fingers, each one's template against the other's probes, 6 comparisons):\n"
        "  MatchThreshold   pairs passing   passing comparisons per pair   another probe passes   95%% upper bound,\n"
        "                                         mean    most          after one passes     bootstrap over fingers\n");
    for (int k = 0; k < kThresholdCount; ++k) {
        long long npairs = 0, sum = 0, again = 0, others = 0;
        int most = 0;
        for (const PairPasses& p : pairs) {
            if (p.pass[k] == 0) continue;
            ++npairs, sum += p.pass[k];
            most = std::max(most, p.pass[k]);
        }
        // A retry: another probe of the same finger against the same template, once one has passed.
        for (const PairPasses& p : run.ordered) {
            again += static_cast<long long>(p.pass[k]) * (p.pass[k] - 1);
            others += static_cast<long long>(p.pass[k]) * (run.probes[p.b] - 1);
        }
        run.pair_pass[k] = sum;
        run.pair_most = std::max(run.pair_most, most);
        char mean[16] = "-", retry[16] = "-", boot[16] = "-";
        if (npairs) std::snprintf(mean, sizeof mean, "%.2f", static_cast<double>(sum) / npairs);
        if (others) std::snprintf(retry, sizeof retry, "%.1f%%", 100.0 * again / others);
        if (sum) std::snprintf(boot, sizeof boot, "%.2e", run.bootstrap[k]);
        std::printf("  %9d        %11lld            %6s  %6d          %13s         %13s\n", kThresholds[k], npairs,
                    mean, most, retry, boot);
    }
    std::printf("  pairs by passing comparisons:\n");
    for (int k = 0; k < kThresholdCount; ++k) {
        long long by[7] = {};
        for (const PairPasses& p : pairs) by[std::min(6, p.pass[k])]++;
        std::printf("  %9d:", kThresholds[k]);
        for (int c = 1; c <= 6; ++c) std::printf(" %d:%lld", c, by[c]);
        std::printf("\n");
    }
    std::printf(
        "  (bootstrap: %d resamples of the %d fingers drawn with replacement, seed %llu, 95th percentile of the "
        "impostor share; none passing bounds nothing)\n",
        kResamples, fingers, static_cast<unsigned long long>(kBootstrapSeed));
    if (top >= 0)
        std::printf(
            "\n  highest impostor similarity %.4f (template of finger %d, probe finger %d capture %d); "
            "lowest genuine %.4f\n",
            top, g_first + top_tmpl, g_first + top_finger, top_capture, low <= 1 ? low : 0.0);
    std::printf("  impostor scores from 60:");
    for (int b = 60; b < kBins; ++b)
        if (imp[b]) std::printf(" %d:%lld", b, imp[b]);
    std::printf("\n  genuine scores below 80:");
    for (int b = 0; b < 80; ++b)
        if (gen[b]) std::printf(" %d:%lld", b, gen[b]);
    std::printf("\n");
    return run;
}

// ---------------------------------------------------------------- tolerance

// One thing changed on a probe capture of a realistic finger.
enum class Knob { kNone, kShiftX, kShiftY, kRotation, kScale, kExposure, kBlur, kNoise, kJpeg, kBandMiddle, kBandEnd };

struct Sweep {
    Knob knob;
    const char* name;
    const char* generated;  // the range of the generated captures, templates included
    double nominal;         // the level the envelope is measured from
    std::vector<double> levels;
};

constexpr double kNoJpeg = 101;  // a quality above 100: no compression

std::string level_text(double level) {
    if (level == kNoJpeg) return "none";
    char text[32];
    std::snprintf(text, sizeof text, "%g", level);
    return text;
}

const std::vector<Sweep>& sweeps() {
    static const std::vector<Sweep> kSweeps = {
        {Knob::kShiftX,
         "horizontal shift, pixels",
         "-12..12",
         0,
         {-140, -120, -100, -80, -60, -40, -20, 0, 20, 40, 60, 80, 100, 120, 140}},
        {Knob::kShiftY, "vertical shift, pixels", "-7..7", 0, {-48, -40, -32, -24, -16, -8, 0, 8, 16, 24, 32, 40, 48}},
        {Knob::kRotation, "rotation, degrees", "-2.5..2.5", 0, {-30, -25, -20, -15, -10, -5, 0, 5, 10, 15, 20, 25, 30}},
        {Knob::kScale, "scale", "0.95..1.05", 1, {0.7, 0.75, 0.8, 0.85, 0.9, 0.95, 1, 1.05, 1.1, 1.15, 1.2, 1.25, 1.3}},
        {Knob::kExposure,
         "exposure (gain)",
         "0.85..1.15",
         1,
         {0.2, 0.3, 0.4, 0.55, 0.7, 0.85, 1, 1.15, 1.3, 1.4, 1.5, 1.75}},
        {Knob::kBlur, "blur, [1 2 1] passes each way", "2..4", 2, {0, 2, 4, 8, 16, 32, 64, 128}},
        {Knob::kNoise,
         "sensor noise floor, grey levels (standard deviation)",
         "1..2",
         1,
         {1, 2, 4, 6, 8, 10, 12, 14, 16, 20, 24}},
        {Knob::kJpeg, "JPEG quality", "70..92", kNoJpeg, {kNoJpeg, 90, 75, 50, 30, 20, 15, 10, 7, 5}},
        {Knob::kBandMiddle,
         "black band across the middle of the finger, columns",
         "none",
         0,
         {0, 8, 16, 24, 32, 40, 48, 56, 64, 80}},
        {Knob::kBandEnd,
         "black band over the left end, columns",
         "none",
         0,
         {0, 20, 40, 60, 80, 100, 120, 140, 160, 200}},
    };
    return kSweeps;
}

// Probe capture 3 of a realistic finger with the knob set to the level (the other settings as generated).
std::vector<unsigned char> changed_probe(int finger, Knob knob, double level) {
    fingergen::RealSpec s = fingergen::realistic_spec(g_first + finger, 3);
    const int q8 = static_cast<int>(std::lround(level * 256));
    switch (knob) {
    case Knob::kShiftX: s.shift_x_q8 = q8; break;
    case Knob::kShiftY: s.shift_y_q8 = q8; break;
    case Knob::kRotation: s.angle_q16 = static_cast<int>(std::lround(level * 65536 / 360)); break;
    case Knob::kScale: s.scale_q16 = static_cast<int>(std::lround(level * 65536)); break;
    case Knob::kExposure: s.gain_q8 = q8; break;
    case Knob::kBlur: s.blur_passes = static_cast<int>(level); break;
    case Knob::kNoise: s.read_noise_q8 = q8; break;
    case Knob::kJpeg: s.jpeg_quality = static_cast<int>(level); break;
    default: break;
    }
    std::vector<unsigned char> img(fingergen::kPixels);
    fingergen::render(s, img.data());
    // Something opaque on the window: no light passes.
    const int w = static_cast<int>(level);
    const int x0 = knob == Knob::kBandMiddle ? kW / 2 - w / 2 : 0;
    if (knob == Knob::kBandMiddle || knob == Knob::kBandEnd)
        for (int y = 0; y < kH; ++y) std::memset(&img[y * kW + x0], 0, w);
    return img;
}

// What became of one probe: refused by the quality check, no feature, or its driver score.
struct Outcome {
    Take take = Take::kRefused;
    int score = -1;
};

Outcome probe_outcome(const std::vector<unsigned char>& tmpl, const std::vector<unsigned char>& grey) {
    Outcome o;
    std::vector<unsigned char> feature;
    o.take = driver_feature(grey, feature);
    if (o.take == Take::kFeature) {
        const double s = driver_similarity(tmpl, feature);
        o.score = s < 0 ? -1 : driver_score(s);
    }
    return o;
}

struct LevelCounts {
    int total = 0, refused = 0, no_feature = 0, low = 0, pass = 0, damaged = 0;
    int median = -1;  // of the scores
};

LevelCounts count_level(const std::vector<Outcome>& outcomes, const std::vector<bool>& enrolled) {
    LevelCounts c;
    std::vector<int> scores;
    for (size_t i = 0; i < outcomes.size(); ++i) {
        if (!enrolled[i]) continue;
        const Outcome& o = outcomes[i];
        ++c.total;
        if (o.take == Take::kRefused) {
            ++c.refused;
        } else if (o.take == Take::kNoFeature) {
            ++c.no_feature;
        } else if (o.score < 0) {
            ++c.damaged;
        } else {
            scores.push_back(o.score);
            ++(o.score >= 70 ? c.pass : c.low);
        }
    }
    if (!scores.empty()) {
        std::sort(scores.begin(), scores.end());
        c.median = scores[scores.size() / 2];
    }
    return c;
}

// Counts of one run of the tolerance mode, kept for the smoke test.
struct ToleranceRun {
    int enrolled = 0, unchanged_pass = 0, inconsistent = 0, damaged = 0;
};

// Every level of every sweep, or (ends_only) the two ends and the nominal level of each.
ToleranceRun tolerance(int fingers, int threads, bool ends_only = false) {
    std::vector<Sweep> all = sweeps();
    if (ends_only)
        for (Sweep& sw : all) {
            std::vector<double> ends = {sw.levels.front()};
            if (sw.nominal != sw.levels.front() && sw.nominal != sw.levels.back()) ends.push_back(sw.nominal);
            ends.push_back(sw.levels.back());
            sw.levels = ends;
        }
    std::vector<std::vector<unsigned char>> tmpl(fingers);
    std::vector<bool> enrolled(fingers);
    // outcomes[sweep][level][finger]
    std::vector<std::vector<std::vector<Outcome>>> outcomes(all.size());
    for (size_t k = 0; k < all.size(); ++k) outcomes[k].assign(all[k].levels.size(), std::vector<Outcome>(fingers));
    std::vector<Outcome> unchanged(fingers);
    parallel_for(fingers, threads, [&](int i) {
        enrol_finger(i, tmpl[i]);
        if (tmpl[i].empty()) return;
        unchanged[i] = probe_outcome(tmpl[i], image_of(i, 3));
        for (size_t k = 0; k < all.size(); ++k)
            for (size_t l = 0; l < all[k].levels.size(); ++l)
                outcomes[k][l][i] = probe_outcome(tmpl[i], changed_probe(i, all[k].knob, all[k].levels[l]));
    });
    ToleranceRun run;
    for (int i = 0; i < fingers; ++i) {
        enrolled[i] = !tmpl[i].empty();
        run.enrolled += enrolled[i];
    }
    std::printf(
        "tolerance on %d realistic fingers (%d..%d): template of captures 0, 1, 2 the driver's way (%d "
        "enrolled); probe capture 3 with one change at a time, the driver's way\n",
        fingers, g_first, g_first + fingers - 1, run.enrolled);
    const LevelCounts base = count_level(unchanged, enrolled);
    run.unchanged_pass = base.pass;
    auto share = [](int n, int total) { return total ? 100.0 * n / total : 0.0; };
    std::printf(
        "  capture 3 as generated: pass %.1f%%, refused %.1f%%, no feature %.1f%%, low score %.1f%%, median "
        "score %d\n",
        share(base.pass, base.total), share(base.refused, base.total), share(base.no_feature, base.total),
        share(base.low, base.total), base.median);
    std::printf(
        "  (pass: score >= 70; refused: the quality check turns the frame away; no feature: the quality "
        "check passes, the extraction fails; both keep the driver's capture polling until its time-out, "
        "a low score gives \"no match\")\n");
    for (size_t k = 0; k < all.size(); ++k) {
        const Sweep& sw = all[k];
        std::printf("\n%s (generated captures: %s)\n", sw.name, sw.generated);
        std::printf("     level    pass  refused  no feature  low score  median score\n");
        std::vector<double> pass(sw.levels.size());
        for (size_t l = 0; l < sw.levels.size(); ++l) {
            const LevelCounts c = count_level(outcomes[k][l], enrolled);
            run.damaged += c.damaged;
            run.inconsistent += c.refused + c.no_feature + c.low + c.pass + c.damaged != c.total;
            pass[l] = share(c.pass, c.total);
            const std::string median = c.median < 0 ? "-" : std::to_string(c.median);
            std::printf("  %8s  %5.1f%%   %5.1f%%      %5.1f%%     %5.1f%%  %12s\n", level_text(sw.levels[l]).c_str(),
                        pass[l], share(c.refused, c.total), share(c.no_feature, c.total), share(c.low, c.total),
                        median.c_str());
        }
        // The envelope: the levels on both sides of the nominal one while at least 95% pass.
        size_t at = 0;
        while (at < sw.levels.size() && sw.levels[at] != sw.nominal) ++at;
        if (at == sw.levels.size() || pass[at] < 95) {
            std::printf("  at least 95%% pass: not even at %s\n", level_text(sw.nominal).c_str());
            continue;
        }
        size_t lo = at, hi = at;
        while (lo > 0 && pass[lo - 1] >= 95) --lo;
        while (hi + 1 < sw.levels.size() && pass[hi + 1] >= 95) ++hi;
        std::printf("  at least 95%% pass: %s to %s\n", level_text(sw.levels[lo]).c_str(),
                    level_text(sw.levels[hi]).c_str());
    }
    return run;
}

// Reads [fingers] [style] [first finger] (without the style when it is fixed) after the mode, and
// -jN anywhere. False on anything else.
bool parse_args(int argc, char** argv, bool with_style, int& fingers, int& threads) {
    const char* const slots = with_style ? "nsf" : "nf";
    size_t next = 0;
    for (int a = 2; a < argc; ++a) {
        const std::string arg = argv[a];
        if (arg.compare(0, 2, "-j") == 0) {
            threads = std::atoi(arg.c_str() + 2);
            if (threads < 1 || threads > 8) return false;
            continue;
        }
        if (next == std::strlen(slots)) return false;
        const char slot = slots[next++];
        if (slot == 'n') {
            fingers = std::atoi(arg.c_str());
        } else if (slot == 'f') {
            g_first = std::atoi(arg.c_str());
        } else if (arg == "classic") {
            g_style = fingergen::Style::kClassic;
        } else if (arg == "varied") {
            g_style = fingergen::Style::kVaried;
        } else if (arg == "realistic") {
            g_style = fingergen::Style::kRealistic;
        } else {
            return false;
        }
    }
    return fingers >= 1 && g_first >= 0;
}

// A few fingers through both driver modes; fails on what can never be right.
int smoke() {
    g_style = fingergen::Style::kRealistic;
    const ThresholdRun t = thresholds(4, 2);
    std::printf("\n");
    const ToleranceRun r = tolerance(2, 2, true);
    int bad = 0;
    if (t.enrolled != 4 || r.enrolled != 2) ++bad, std::printf("smoke: a finger was not enrolled\n");
    if (t.genuine != 12 || t.impostor != 36) ++bad, std::printf("smoke: comparisons missing\n");
    if (t.genuine_pass70 != t.genuine || r.unchanged_pass != r.enrolled)
        ++bad, std::printf("smoke: a genuine capture as generated failed at 0.70\n");
    if (t.refused_records != 0 || r.damaged != 0) ++bad, std::printf("smoke: the matcher refused a record\n");
    if (r.inconsistent != 0) ++bad, std::printf("smoke: outcomes do not add up\n");
    bool pairs_add_up = t.pair_most <= 6;
    for (int k = 0; k < kThresholdCount; ++k) pairs_add_up = pairs_add_up && t.pair_pass[k] == t.impostor_pass[k];
    if (!pairs_add_up) ++bad, std::printf("smoke: the finger pairs do not add up to the impostors passing\n");
    if (bootstrap95(t.ordered, t.has_tmpl, t.probes, 1) != t.bootstrap)
        ++bad, std::printf("smoke: the bootstrap depends on the threads\n");
    // Every impostor comparison of five fingers passing: every resample with two fingers or more says 1.
    std::vector<PairPasses> all;
    for (int a = 0; a < 5; ++a)
        for (int b = 0; b < 5; ++b)
            if (a != b) all.push_back({a, b, {3, 3, 3, 3, 3}});
    const std::vector<int> one(5, 1), three(5, 3);
    if (bootstrap95(all, one, three, 2) != std::vector<double>(kThresholdCount, 1.0) ||
        bootstrap95({}, one, three, 2) != std::vector<double>(kThresholdCount, 0.0))
        ++bad, std::printf("smoke: the bootstrap's share is wrong\n");
    std::printf("\nsmoke: %s\n", bad ? "FAILED" : "ok");
    return bad ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (veinalg_init_handle(nullptr, 0) != 0) return 1;
    const std::string mode = argc > 1 ? argv[1] : "";
    int fingers = 1000, threads = 1;
    if (mode == "smoke") return smoke();
    if (mode == "thresholds") {
        if (!parse_args(argc, argv, true, fingers, threads)) return 2;
        thresholds(fingers, threads);
        return 0;
    }
    if (mode == "tolerance") {
        fingers = 200;
        g_style = fingergen::Style::kRealistic;
        if (!parse_args(argc, argv, false, fingers, threads)) return 2;
        tolerance(fingers, threads);
        return 0;
    }
    fingers = argc > 1 ? std::atoi(argv[1]) : 60;
    if (argc > 2 && std::strcmp(argv[2], "classic") == 0) g_style = fingergen::Style::kClassic;
    if (argc > 2 && std::strcmp(argv[2], "realistic") == 0) g_style = fingergen::Style::kRealistic;
    if (argc > 3) g_first = std::atoi(argv[3]);
    if (fingers < 1 || g_first < 0) return 2;
    return distributions(fingers);
}
