// WSQ transform trees, wavelet analysis and synthesis, bit allocation and quantisation.
// Every floating-point step keeps the precision the format's reference arithmetic uses; the
// library is built without contraction so results do not depend on the optimisation level.
#include "wsq_transform.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "nist_io.h"

const float kWsqLoFilt[9] = {0.037828457f, -0.023849465f, -0.1106244f,   0.37740284f, 0.8526987f,
                             0.37740284f,  -0.1106244f,   -0.023849465f, 0.037828457f};
const float kWsqHiFilt[7] = {0.06453888f,  -0.040689416f, -0.41809228f, 0.7884856f,
                             -0.41809228f, -0.040689416f, 0.06453888f};

namespace {

// split(n, f): the first and second part of a length.
void split(int n, int f, int* first, int* second) {
    if (n % 2 == 0)
        *first = n / 2;
    else
        *first = f ? (n - 1) / 2 : (n + 1) / 2;
    *second = n - *first;
}

void split_wavelet_node(wavelet_tree_node* w, int parent, int child, bool stop) {
    const wavelet_tree_node& p = w[parent];
    int a, a2, b, b2;
    split(p.dx, parent == 4, &a, &a2);
    split(p.dy, parent == 5, &b, &b2);
    w[child] = {p.x, p.y, a, b, 0, 0};
    w[child + 1] = {p.x + a, p.y, a2, b, 0, 0};
    w[child + 2] = {p.x, p.y + b, a, b2, 0, 0};
    if (!stop) w[child + 3] = {p.x + a, p.y + b, a2, b2, 0, 0};
}

void build_wavelet_tree(wavelet_tree_node* w, int width, int height) {
    for (int i = 0; i < W_TREELEN; i++) w[i] = {0, 0, 0, 0, 0, 0};
    w[0] = {0, 0, width, height, 0, 0};
    split_wavelet_node(w, 0, 1, true);
    int wa, wb, ha, hb;
    split(w[1].dx, 0, &wa, &wb);
    split(w[1].dy, 0, &ha, &hb);
    w[4] = {wa, 0, wb, ha, 0, 0};
    split_wavelet_node(w, 4, 6, false);
    w[5] = {0, ha, wa, hb, 0, 0};
    split_wavelet_node(w, 5, 10, false);
    w[14] = {0, 0, wa, ha, 0, 0};
    split_wavelet_node(w, 14, 15, false);
    w[19] = {0, 0, (w[15].dx + 1) / 2, (w[15].dy + 1) / 2, 0, 0};
    for (int n : {2, 4, 7, 9, 11, 13, 16, 18}) w[n].ir = 1;
    for (int n : {3, 5, 8, 9, 12, 13, 17, 18}) w[n].ic = 1;
}

void quad4(subband_rect* q, int s, int x, int y, int dx, int dy, int fc, int fr) {
    int a, a2, b, b2;
    split(dx, fc, &a, &a2);
    split(dy, fr, &b, &b2);
    auto r = [](int rx, int ry, int lx, int ly) {
        return subband_rect{static_cast<short>(rx), static_cast<short>(ry), static_cast<short>(lx),
                            static_cast<short>(ly)};
    };
    q[s] = r(x, y, a, b);
    q[s + 1] = r(x + a, y, a2, b);
    q[s + 2] = r(x, y + b, a, b2);
    q[s + 3] = r(x + a, y + b, a2, b2);
}

void split_quant_node4(subband_rect* q, int s, const wavelet_tree_node& n) { quad4(q, s, n.x, n.y, n.dx, n.dy, 0, 0); }

void split_quant_node16(subband_rect* q, int s, const wavelet_tree_node& n, int rw, int cl) {
    int t, t2, u, u2;
    split(n.dx, cl, &t, &t2);
    split(n.dy, rw, &u, &u2);
    quad4(q, s, n.x, n.y, t, u, 0, 0);
    quad4(q, s + 4, n.x + t, n.y, t2, u, 1, 0);
    quad4(q, s + 8, n.x, n.y + u, t, u2, 0, 1);
    quad4(q, s + 12, n.x + t, n.y + u, t2, u2, 1, 1);
}

void build_quant_tree(subband_rect* q, const wavelet_tree_node* w) {
    split_quant_node16(q, 3, w[14], 0, 0);
    split_quant_node16(q, 19, w[4], 0, 1);
    split_quant_node16(q, 48, w[0], 0, 0);
    split_quant_node16(q, 35, w[5], 1, 0);
    split_quant_node4(q, 0, w[19]);
}

// Whole-sample symmetric reflection into 0 .. n-1.
int reflect_whole(int j, int n) {
    if (j >= 0 && j < n) return j;
    if (n == 1) return 0;
    const int p = 2 * (n - 1);
    j %= p;
    if (j < 0) j += p;
    return j < n ? j : p - j;
}

// Extension of a synthesis half: whole- or half-sample symmetric at each end.
int extend_index(int k, int n, bool start_whole, bool end_whole) {
    if (k >= 0 && k < n) return k;
    if (n == 1) return 0;
    while (k < 0 || k >= n) {
        if (k < 0)
            k = start_whole ? -k : -k - 1;
        else
            k = end_whole ? 2 * (n - 1) - k : 2 * n - 1 - k;
    }
    return k;
}

// Lines transformed side by side: adjacent columns share each pass over the taps.
constexpr int kLines = 8;

// g adjacent lines (element j of line l at in[j * in_step + l]) of n samples each, analysed into out.
template <int g>
void analysis_lines(const float* in, int in_step, float* out, int out_step, int n, bool inv, const float* lo, int losz,
                    const float* hi, int hisz, float* ext) {
    const int pad = std::max(losz, hisz);
    float* x = ext + pad * g;
    for (int j = -pad; j < n + pad; j++) {
        const float* src = in + static_cast<long>(reflect_whole(j, n)) * in_step;
        float* dst = x + j * g;
        for (int l = 0; l < g; l++) dst[l] = src[l];
    }
    const int nl = (n + 1) / 2, nh = n / 2;
    float* lo_out = out + static_cast<long>(inv ? nh : 0) * out_step;
    float* hi_out = out + static_cast<long>(inv ? 0 : nl) * out_step;
    float* acc = x + (n + pad) * g;
    // Tap by tap over all outputs: each output still sums its taps in increasing order from tap 0.
    auto pass = [&](const float* taps, int ntaps, int first, int count, float* dst) {
        for (int k = 0; k < count * g; k++) acc[k] = 0.0f;
        for (int i = 0; i < ntaps; i++) {
            const float c = taps[i];
            const float* p = x + (first + i) * g;
            for (int k = 0; k < count; k++) {
                const float* pk = p + 2 * k * g;
                float* ak = acc + k * g;
                for (int l = 0; l < g; l++) ak[l] += c * pk[l];
            }
        }
        for (int k = 0; k < count; k++) {
            float* d = dst + static_cast<long>(k) * out_step;
            for (int l = 0; l < g; l++) d[l] = acc[k * g + l];
        }
    };
    pass(lo, losz, -(losz / 2), nl, lo_out);
    pass(hi, hisz, 1 - hisz / 2, nh, hi_out);
}

// g adjacent lines of n samples: low then high halves (high first when inverted) back to n samples.
template <int g>
void synthesis_lines(const float* in, int in_step, float* out, int out_step, int n, bool inv, const float* g0, int losz,
                     const float* g1, int hisz, float* ext) {
    const int nl = (n + 1) / 2, nh = n / 2;
    const int pad = std::max(losz, hisz) / 2 + 2;
    float* L = ext + pad * g;
    float* H = ext + (nl + 3 * pad) * g;
    const float* lin = in + static_cast<long>(inv ? nh : 0) * in_step;
    const float* hin = in + static_cast<long>(inv ? 0 : nl) * in_step;
    const bool even = (n % 2) == 0;
    for (int k = -pad; k < nl + pad; k++) {
        const float* src = lin + static_cast<long>(extend_index(k, nl, true, !even)) * in_step;
        for (int l = 0; l < g; l++) L[k * g + l] = src[l];
    }
    for (int k = -pad; k < nh + pad; k++) {
        const float* src = hin + static_cast<long>(nh > 0 ? extend_index(k, nh, false, even) : 0) * in_step;
        for (int l = 0; l < g; l++) H[k * g + l] = nh > 0 ? src[l] : 0.0f;
    }
    const int off0 = losz / 2, off1 = hisz / 2 - 1;
    float s[g];
    for (int m = 0; m < n; m++) {
        for (int l = 0; l < g; l++) s[l] = 0.0f;
        // Filter index off + m - 2k, taken in increasing order (k decreasing).
        const int t0 = off0 + m, i0 = t0 & 1;
        const float* lp = L + ((t0 - i0) / 2) * g;
        for (int idx = i0; idx < losz; idx += 2, lp -= g)
            for (int l = 0; l < g; l++) s[l] += g0[idx] * lp[l];
        const int t1 = off1 + m, i1 = t1 & 1;  // t1 - i1 is even, so the halving is exact
        const float* hp = H + ((t1 - i1) / 2) * g;
        for (int idx = i1; idx < hisz; idx += 2, hp -= g)
            for (int l = 0; l < g; l++) s[l] += g1[idx] * hp[l];
        float* d = out + static_cast<long>(m) * out_step;
        for (int l = 0; l < g; l++) d[l] = s[l];
    }
}

// Room for kLines extended lines of either pass, with the analysis accumulators after them.
float* alloc_line(int width, int height, int losz, int hisz) {
    const size_t n =
        2 * static_cast<size_t>(std::max(width, height)) + 4 * static_cast<size_t>(std::max(losz, hisz)) + 16;
    return static_cast<float*>(malloc(n * kLines * sizeof(float)));
}

// Truncation toward zero into 16 bits; NaN gives 0.
short to_short(double d) {
    if (!(d == d)) return 0;
    if (d >= 32767.0) return 32767;
    if (d <= -32768.0) return -32768;
    return static_cast<short>(d);
}

}  // namespace

void build_transform_trees(wavelet_tree_node* w_tree, int w_treelen, subband_rect* q_tree, int q_treelen, int width,
                           int height) {
    if (w_treelen < W_TREELEN || q_treelen < Q_TREELEN) return;
    build_wavelet_tree(w_tree, width, height);
    build_quant_tree(q_tree, w_tree);
    if (kNistDebugLevel > 1) {
        for (int i = 0; i < W_TREELEN; i++)
            diag_fprintf(stderr, "t%d -> x = %d  y = %d : dx = %d  dy = %d : ir = %d  ic = %d\n", i, w_tree[i].x,
                         w_tree[i].y, w_tree[i].dx, w_tree[i].dy, w_tree[i].ir, w_tree[i].ic);
    }
}

void image_to_float(float* fip, float* m_shift, float* r_scale, const unsigned char* data, int num_pix) {
    long long sum = 0;
    int low = 255, high = 0;
    for (int i = 0; i < num_pix; i++) {
        sum += data[i];
        low = std::min(low, static_cast<int>(data[i]));
        high = std::max(high, static_cast<int>(data[i]));
    }
    const float shift = static_cast<float>(sum) / static_cast<float>(num_pix);
    const float lo = shift - static_cast<float>(low);
    const float hi = static_cast<float>(high) - shift;
    const float scale = std::max(lo, hi) / 128.0f;
    for (int i = 0; i < num_pix; i++) {
        const float v = static_cast<float>(data[i]) - shift;
        // A flat image has no spread: its values are all 0 rather than 0/0.
        fip[i] = scale != 0.0f ? v / scale : 0.0f;
    }
    *m_shift = shift;
    *r_scale = scale;
}

int wsq_decompose(float* fdata, int width, int height, const wavelet_tree_node* w_tree, int w_treelen,
                  const float* hifilt, int hisz, const float* lofilt, int losz) {
    float* work = static_cast<float*>(malloc(static_cast<size_t>(width) * height * sizeof(float)));
    float* ext = alloc_line(width, height, losz, hisz);
    if (work == nullptr || ext == nullptr) {
        free(work);
        free(ext);
        diag_fprintf(stderr, "ERROR : wsq_decompose : malloc : fdata1\n");
        return -94;
    }
    for (int n = 0; n < w_treelen; n++) {
        const wavelet_tree_node& t = w_tree[n];
        if (t.dx < 1 || t.dy < 1) continue;
        float* base = fdata + static_cast<long>(t.y) * width + t.x;
        float* wbase = work + static_cast<long>(t.y) * width + t.x;
        for (int r = 0; r < t.dy; r++)
            analysis_lines<1>(base + static_cast<long>(r) * width, 1, wbase + static_cast<long>(r) * width, 1, t.dx,
                              t.ir, lofilt, losz, hifilt, hisz, ext);
        int c = 0;
        for (; c + kLines <= t.dx; c += kLines)
            analysis_lines<kLines>(wbase + c, width, base + c, width, t.dy, t.ic, lofilt, losz, hifilt, hisz, ext);
        for (; c < t.dx; c++)
            analysis_lines<1>(wbase + c, width, base + c, width, t.dy, t.ic, lofilt, losz, hifilt, hisz, ext);
    }
    free(work);
    free(ext);
    return 0;
}

int wsq_reconstruct(float* fdata, int width, int height, const wavelet_tree_node* w_tree, int w_treelen,
                    const wsq_transform_table* dtt) {
    if (!dtt->lodef || dtt->lofilt == nullptr) {
        diag_fprintf(stderr, "ERROR: wsq_reconstruct : Lopass filter coefficients not defined\n");
        return -95;
    }
    if (!dtt->hidef || dtt->hifilt == nullptr) {
        diag_fprintf(stderr, "ERROR: wsq_reconstruct : Hipass filter coefficients not defined\n");
        return -96;
    }
    float* work = static_cast<float*>(malloc(static_cast<size_t>(width) * height * sizeof(float)));
    float* ext = alloc_line(width, height, dtt->losz, dtt->hisz);
    if (work == nullptr || ext == nullptr) {
        free(work);
        free(ext);
        diag_fprintf(stderr, "ERROR : wsq_reconstruct : malloc : fdata1\n");
        return -97;
    }
    for (int n = w_treelen - 1; n >= 0; n--) {
        const wavelet_tree_node& t = w_tree[n];
        if (t.dx < 1 || t.dy < 1) continue;
        float* base = fdata + static_cast<long>(t.y) * width + t.x;
        float* wbase = work + static_cast<long>(t.y) * width + t.x;
        int c = 0;
        for (; c + kLines <= t.dx; c += kLines)
            synthesis_lines<kLines>(base + c, width, wbase + c, width, t.dy, t.ic, dtt->lofilt, dtt->losz, dtt->hifilt,
                                    dtt->hisz, ext);
        for (; c < t.dx; c++)
            synthesis_lines<1>(base + c, width, wbase + c, width, t.dy, t.ic, dtt->lofilt, dtt->losz, dtt->hifilt,
                               dtt->hisz, ext);
        for (int r = 0; r < t.dy; r++)
            synthesis_lines<1>(wbase + static_cast<long>(r) * width, 1, base + static_cast<long>(r) * width, 1, t.dx,
                               t.ir, dtt->lofilt, dtt->losz, dtt->hifilt, dtt->hisz, ext);
    }
    free(work);
    free(ext);
    return 0;
}

void subband_variance(wsq_quant_params* qp, const subband_rect* q_tree, int q_treelen, const float* fip, int width) {
    for (int k = 0; k < kNumSubbands && k < q_treelen; k++) {
        const subband_rect& b = q_tree[k];
        const int x0 = b.x + b.lx / 8, y0 = b.y + (9 * b.ly) / 32;
        const int nx = (3 * b.lx) / 4, ny = (7 * b.ly) / 16;
        const long count = static_cast<long>(nx) * ny;
        if (count < 2) {
            qp->var[k] = 0.0f;
            continue;
        }
        double s = 0.0, ss = 0.0;
        for (int r = 0; r < ny; r++) {
            const float* p = fip + static_cast<long>(y0 + r) * width + x0;
            for (int c = 0; c < nx; c++) {
                s += p[c];
                ss += static_cast<double>(p[c] * p[c]);
            }
        }
        const double n = static_cast<double>(count);
        qp->var[k] = static_cast<float>((ss - s * s / n) / (n - 1.0));
    }
}

int quantize(short** osip, int* ocmp_siz, wsq_quant_params* qp, const subband_rect* q_tree, int q_treelen,
             const float* fip, int width, int height) {
    static const float kWeights[8] = {1.32f, 1.08f, 1.42f, 1.08f, 1.32f, 1.42f, 1.08f, 1.08f};
    float qt[kMaxSubbands] = {0};  // tentative widths Q'
    float sigma[kMaxSubbands] = {0};
    float m[kMaxSubbands] = {0};
    for (int k = 0; k < kMaxSubbands; k++) qp->q[k] = qp->z[k] = 0.0f;
    int k0[kNumSubbands], n0 = 0;
    for (int k = 0; k < kNumSubbands; k++) {
        m[k] = k < 4 ? 1.0f / 1024.0f : (k < 51 ? 1.0f / 256.0f : 1.0f / 16.0f);
        if (!(qp->var[k] >= 1.01f)) {
            qt[k] = 0.0f;
            continue;
        }
        const float a = k < 52 ? 1.0f : kWeights[k - 52];
        qt[k] = k < 4 ? 1.0f
                      : static_cast<float>(10.0 / (static_cast<double>(a) * std::log(static_cast<double>(qp->var[k]))));
        sigma[k] = static_cast<float>(std::sqrt(static_cast<double>(qp->var[k])));
        k0[n0++] = k;
    }
    if (n0 > 0) {
        int kk[kNumSubbands], nk = n0;
        memcpy(kk, k0, sizeof kk);
        float q = 0.0f;
        for (;;) {
            double s = 0.0, p = 1.0;
            for (int i = 0; i < nk; i++) {
                const int k = kk[i];
                s += m[k];
                const float ratio = sigma[k] / qt[k];
                p *= std::pow(static_cast<double>(ratio), static_cast<double>(m[k]));
            }
            q = static_cast<float>((std::pow(2.0, static_cast<double>(qp->r) / s - 1.0) / 2.5) / std::pow(p, 1.0 / s));
            int keep[kNumSubbands], nkeep = 0;
            for (int i = 0; i < nk; i++)
                if (!(static_cast<double>(qt[kk[i]]) / q >= 5.0 * static_cast<double>(sigma[kk[i]])))
                    keep[nkeep++] = kk[i];
            // Stop when none leaves (or all would: the last rate stands).
            if (nkeep == nk || nkeep == 0) break;
            memcpy(kk, keep, sizeof(int) * static_cast<size_t>(nkeep));
            nk = nkeep;
        }
        for (int i = 0; i < n0; i++) {
            const int k = k0[i];
            qp->q[k] = static_cast<float>(static_cast<double>(qt[k]) / static_cast<double>(q));
            qp->z[k] = static_cast<float>(1.2 * static_cast<double>(qp->q[k]));
        }
        // Smooth images leave few subbands and tiny or even non-finite widths: keep every quantised
        // value within 16 bits.
        for (int i = 0; i < n0; i++) {
            const int k = k0[i];
            const subband_rect& b = q_tree[k];
            float peak = 0.0f;
            for (int r = 0; r < b.ly; r++) {
                const float* row = fip + static_cast<long>(b.y + r) * width + b.x;
                for (int c = 0; c < b.lx; c++) peak = std::max(peak, std::fabs(row[c]));
            }
            const float floor_q = peak / 32000.0f;
            if (!std::isfinite(qp->q[k]) || qp->q[k] < floor_q) {
                qp->q[k] = floor_q;
                qp->z[k] = static_cast<float>(1.2 * static_cast<double>(floor_q));
            }
        }
    }
    short* sip = static_cast<short*>(calloc(static_cast<size_t>(width) * height, sizeof(short)));
    if (sip == nullptr) {
        diag_fprintf(stderr, "ERROR : quantize : calloc : sip\n");
        return -90;
    }
    int n = 0;
    for (int k = 0; k < kNumSubbands && k < q_treelen; k++) {
        if (qp->q[k] == 0.0f) continue;
        const subband_rect& b = q_tree[k];
        const float qk = qp->q[k];
        const float z = qp->z[k] / 2.0f;
        for (int r = 0; r < b.ly; r++) {
            const float* row = fip + static_cast<long>(b.y + r) * width + b.x;
            for (int c = 0; c < b.lx; c++) {
                const float x = row[c];
                short v;
                if (-z <= x && x <= z)
                    v = 0;
                else if (x > 0.0f)
                    v = to_short(static_cast<double>((x - z) / qk) + 1.0);
                else
                    v = to_short(static_cast<double>((x + z) / qk) - 1.0);
                sip[n++] = v;
            }
        }
    }
    *osip = sip;
    *ocmp_siz = n;
    return 0;
}

void quantized_block_sizes(int* oqsize1, int* oqsize2, int* oqsize3, const wsq_quant_params* qp,
                           const wavelet_tree_node* w, int /*w_treelen*/, const subband_rect* q, int /*q_treelen*/) {
    int s1 = w[14].dx * w[14].dy;
    int s2 = w[5].dy * w[1].dx + w[4].dx * w[4].dy;
    int s3 = w[2].dx * w[2].dy + w[3].dx * w[3].dy;
    for (int k = 0; k < 19; k++)
        if (qp->q[k] == 0.0f) s1 -= q[k].lx * q[k].ly;
    for (int k = 19; k < 52; k++)
        if (qp->q[k] == 0.0f) s2 -= q[k].lx * q[k].ly;
    for (int k = 52; k < 60; k++)
        if (qp->q[k] == 0.0f) s3 -= q[k].lx * q[k].ly;
    *oqsize1 = s1;
    *oqsize2 = s2;
    *oqsize3 = s3;
}

int unquantize(float** ofip, const wsq_quant_table* dqt, const subband_rect* q_tree, int q_treelen, const short* sip,
               int count, int width, int height) {
    if (!dqt->dqt_def) {
        diag_fprintf(stderr, "ERROR: unquantize : quantization table parameters not defined!\n");
        return -92;
    }
    float* fip = static_cast<float*>(calloc(static_cast<size_t>(width) * height, sizeof(float)));
    if (fip == nullptr) {
        diag_fprintf(stderr, "ERROR : unquantize : calloc : fip\n");
        return -91;
    }
    const float bc = dqt->bin_center;
    int n = 0;
    for (int k = 0; k < kNumSubbands && k < q_treelen && n < count; k++) {
        const float qk = dqt->q_bin[k];
        if (qk == 0.0f) continue;
        const double half_z = static_cast<double>(dqt->z_bin[k]) / 2.0;
        const subband_rect& b = q_tree[k];
        for (int r = 0; r < b.ly && n < count; r++) {
            float* row = fip + static_cast<long>(b.y + r) * width + b.x;
            for (int c = 0; c < b.lx && n < count; c++) {
                const short s = sip[n++];
                if (s == 0)
                    row[c] = 0.0f;
                else if (s > 0)
                    row[c] = static_cast<float>(static_cast<double>(qk * (static_cast<float>(s) - bc)) + half_z);
                else
                    row[c] = static_cast<float>(static_cast<double>(qk * (static_cast<float>(s) + bc)) - half_z);
            }
        }
    }
    *ofip = fip;
    return 0;
}

void float_to_image(unsigned char* data, const float* img, int width, int height, float m_shift, float r_scale) {
    const long n = static_cast<long>(width) * height;
    for (long i = 0; i < n; i++) {
        const float v = img[i] * r_scale + m_shift + 0.5f;
        if (!(v >= 0.0f))
            data[i] = 0;  // below 0, or not a number
        else if (v > 255.0f)
            data[i] = 255;
        else
            data[i] = static_cast<unsigned char>(v);
    }
}
