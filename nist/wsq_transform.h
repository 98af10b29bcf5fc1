// WSQ numeric core: wavelet and subband trees from width and height, the 9/7 analysis and synthesis,
// subband variances, bit allocation and quantisation, and the conversions between pixels and reals.
// Arrays handed out (symbols, real values) are malloc'd and owned by the caller.
#pragma once

#include "wsq_segments.h"

constexpr int W_TREELEN = 20;
constexpr int Q_TREELEN = 64;
// Narrowest and lowest image the transform accepts: every tree line then has at least 6 samples.
constexpr int kMinWsqSide = 81;

struct wavelet_tree_node {
    int x, y;
    int dx, dy;
    int ir;  // rows: high-pass half first
    int ic;  // columns: high-pass half first
};

struct subband_rect {
    short x, y;
    short lx, ly;
};

struct wsq_quant_params {
    float r;
    float q[kMaxSubbands];
    float z[kMaxSubbands];
    float var[kMaxSubbands];
};

// The encoder's analysis filters.
extern const float kWsqLoFilt[9];
extern const float kWsqHiFilt[7];

void build_transform_trees(wavelet_tree_node* w_tree, int w_treelen, subband_rect* q_tree, int q_treelen, int width,
                           int height);
void image_to_float(float* fip, float* m_shift, float* r_scale, const unsigned char* data, int num_pix);
int wsq_decompose(float* fdata, int width, int height, const wavelet_tree_node* w_tree, int w_treelen,
                  const float* hifilt, int hisz, const float* lofilt, int losz);
void subband_variance(wsq_quant_params* qp, const subband_rect* q_tree, int q_treelen, const float* fip, int width);
int quantize(short** osip, int* ocmp_siz, wsq_quant_params* qp, const subband_rect* q_tree, int q_treelen,
             const float* fip, int width, int height);
void quantized_block_sizes(int* oqsize1, int* oqsize2, int* oqsize3, const wsq_quant_params* qp,
                           const wavelet_tree_node* w_tree, int w_treelen, const subband_rect* q_tree, int q_treelen);
// Reads at most `count` symbols (the rest of the image stays 0).
int unquantize(float** ofip, const wsq_quant_table* dqt, const subband_rect* q_tree, int q_treelen, const short* sip,
               int count, int width, int height);
int wsq_reconstruct(float* fdata, int width, int height, const wavelet_tree_node* w_tree, int w_treelen,
                    const wsq_transform_table* dtt);
void float_to_image(unsigned char* data, const float* img, int width, int height, float m_shift, float r_scale);
