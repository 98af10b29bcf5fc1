// Accuracy over generated fingers: enrol from three captures, probe with three others, and print the
// genuine and impostor similarity distributions, the shares at the driver's thresholds, the highest
// impostor and the equal error rate; then the driver's same-finger check. Runs both rules of the
// enrolment alignment's fine row search. First it prints what the mean energy table does to the
// code bits: the share of ones at every bit position of the template's MS points (an unbiased table
// keeps each near one half) and the share of equal bits at zero shift between different fingers
// and between captures of one finger.
//
//   veinalg_accuracy [fingers] [classic|varied|realistic] [first finger]
//
// Measure on fingers the table was not made from: the table generator uses realistic fingers from
// 1000 on, so take realistic fingers below that or another style.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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
    if (GetEnrollTmplWith(images[0].data(), n > 1 ? images[1].data() : nullptr, n > 2 ? images[2].data() : nullptr,
                          &t, rule) != 0)
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
            for (int b = 0; b < 128; ++b) bits.back()[k * 128 + b] = static_cast<unsigned char>(ms_bit(p, points[k], b));
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
    std::printf("MS bits over %d probes at the template's %zu MS points (%d positions):\n", n, points.size(), positions);
    std::printf("  share of ones per position: lowest %.3f, highest %.3f, mean distance from 1/2 %.4f, "
                "%d positions (%.1f%%) farther than 0.05 (chance alone: about %.1f%%)\n",
                lo, hi, dev / positions, outside, 100.0 * outside / positions,
                200.0 * std::erfc(0.05 / std::sqrt(0.25 / n) / std::sqrt(2.0)) / 2);
    std::printf("  share of ones per bit kind, averaged over the points: lowest %.3f, highest %.3f "
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
    std::printf("  equal bits at zero shift: different fingers %.4f (highest %.4f, %lld pairs), "
                "captures of one finger %.4f (%lld pairs)\n",
                diff_n ? diff_sum / diff_n : 0, diff_hi, diff_n, same_n ? same_sum / same_n : 0, same_n);
}

}  // namespace

int main(int argc, char** argv) {
    const int fingers = argc > 1 ? std::atoi(argv[1]) : 60;
    if (argc > 2 && std::strcmp(argv[2], "classic") == 0) g_style = fingergen::Style::kClassic;
    if (argc > 2 && std::strcmp(argv[2], "realistic") == 0) g_style = fingergen::Style::kRealistic;
    if (argc > 3) g_first = std::atoi(argv[3]);
    if (fingers < 1 || g_first < 0) return 2;
    if (veinalg_init_handle(nullptr, 0) != 0) return 1;
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
        std::vector<unsigned char> bmp =
            fingergen::grey_to_bmp(image_of(f, 0).data(), 320, 240);
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
            double s = p.empty() ? 0 : veinalg_match(nullptr, t.data(), FV_TMPL_SIZE, p.data(), FV_FEATURE_SIZE, nullptr);
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
