// WSQ transform, quantisation and the codec entries, end to end.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

#include "imagelib.h"
#include "nist_io.h"
#include "nist_test_util.h"
#include "qv_decode_budget.h"
#include "wsq.h"
#include "wsq_comments.h"
#include "wsq_fixture.h"
#include "wsq_segments.h"
#include "wsq_transform.h"

namespace {

struct Decoded {
    int rc = 1;
    std::vector<unsigned char> pixels;
    int w = 0, h = 0, d = 0, ppi = 0, lossy = 0;
};

Decoded decode_mem(const Bytes& s) {
    Decoded r;
    unsigned char* px = nullptr;
    r.rc = wsq_decode_mem(&px, &r.w, &r.h, &r.d, &r.ppi, &r.lossy, s.data(), static_cast<int>(s.size()));
    if (r.rc == 0) r.pixels.assign(px, px + static_cast<size_t>(r.w) * r.h);
    free(px);
    return r;
}

Decoded decode_file(const Bytes& s) {
    Decoded r;
    unsigned char* px = nullptr;
    FILE* fp = stream_of(s);
    r.rc = wsq_decode_file(&px, &r.w, &r.h, &r.d, &r.ppi, &r.lossy, fp);
    fclose(fp);
    if (r.rc == 0) r.pixels.assign(px, px + static_cast<size_t>(r.w) * r.h);
    free(px);
    return r;
}

Bytes encode(const std::vector<unsigned char>& img, int w, int h, float rate, int ppi = 500,
             const char* comment = "Kestrilon", int* rc = nullptr) {
    unsigned char* out = nullptr;
    int len = 0;
    int r = wsq_encode_1(&out, &len, rate, img.data(), w, h, 8, ppi, comment);
    if (rc)
        *rc = r;
    else
        EXPECT_EQ(r, 0);
    Bytes b;
    if (r == 0) b.assign(out, out + len);
    free(out);
    return b;
}

// Segments of a stream as (marker, bytes including the marker); coded block data rides with its SOB.
std::vector<std::pair<unsigned short, Bytes>> segments(const Bytes& s) {
    std::vector<std::pair<unsigned short, Bytes>> out;
    size_t i = 0;
    while (i + 1 < s.size()) {
        const unsigned short m = static_cast<unsigned short>((s[i] << 8) | s[i + 1]);
        size_t j = i + 2;
        if (m != SOI_WSQ && m != EOI_WSQ) j += static_cast<size_t>((s[i + 2] << 8) | s[i + 3]);
        if (m == SOB_WSQ)
            while (j + 1 < s.size() && !(s[j] == 0xFF && s[j + 1] != 0x00)) j += (s[j] == 0xFF) ? 2 : 1;
        out.emplace_back(m, Bytes(s.begin() + static_cast<long>(i), s.begin() + static_cast<long>(j)));
        i = j;
    }
    return out;
}

}  // namespace

TEST(WsqTransform, TreesOfAnOddSize) {
    wavelet_tree_node w[W_TREELEN];
    subband_rect q[Q_TREELEN];
    build_transform_trees(w, W_TREELEN, q, Q_TREELEN, 545, 401);
    const int expect[20][6] = {
        {0, 0, 545, 401, 0, 0},   {0, 0, 273, 201, 0, 0},   {273, 0, 272, 201, 1, 0}, {0, 201, 273, 200, 0, 1},
        {137, 0, 136, 101, 1, 0}, {0, 101, 137, 100, 0, 1}, {137, 0, 68, 51, 0, 0},   {205, 0, 68, 51, 1, 0},
        {137, 51, 68, 50, 0, 1},  {205, 51, 68, 50, 1, 1},  {0, 101, 69, 50, 0, 0},   {69, 101, 68, 50, 1, 0},
        {0, 151, 69, 50, 0, 1},   {69, 151, 68, 50, 1, 1},  {0, 0, 137, 101, 0, 0},   {0, 0, 69, 51, 0, 0},
        {69, 0, 68, 51, 1, 0},    {0, 51, 69, 50, 0, 1},    {69, 51, 68, 50, 1, 1},   {0, 0, 35, 26, 0, 0}};
    for (int i = 0; i < 20; i++) {
        const int got[6] = {w[i].x, w[i].y, w[i].dx, w[i].dy, w[i].ir, w[i].ic};
        EXPECT_EQ(std::vector<int>(got, got + 6), std::vector<int>(expect[i], expect[i] + 6)) << "node " << i;
    }
    struct Sub {
        int k, x, y, lx, ly;
    } subs[] = {{0, 0, 0, 18, 13},        {3, 18, 13, 17, 13},    {4, 35, 0, 34, 26},      {48, 103, 151, 34, 25},
                {51, 137, 101, 136, 100}, {53, 409, 0, 136, 101}, {63, 409, 301, 136, 100}};
    for (const auto& s : subs) {
        EXPECT_EQ(q[s.k].x, s.x) << s.k;
        EXPECT_EQ(q[s.k].y, s.y) << s.k;
        EXPECT_EQ(q[s.k].lx, s.lx) << s.k;
        EXPECT_EQ(q[s.k].ly, s.ly) << s.k;
    }
}

TEST(WsqTransform, SubbandsCoverEveryPixelOnce) {
    const int sizes[][2] = {{640, 480}, {320, 240}, {545, 401}, {81, 81}, {1000, 97}};
    for (const auto& sz : sizes) {
        wavelet_tree_node w[W_TREELEN];
        subband_rect q[Q_TREELEN];
        build_transform_trees(w, W_TREELEN, q, Q_TREELEN, sz[0], sz[1]);
        std::vector<int> hits(static_cast<size_t>(sz[0]) * sz[1], 0);
        for (const auto& b : q)
            for (int y = b.y; y < b.y + b.ly; y++)
                for (int x = b.x; x < b.x + b.lx; x++) hits[static_cast<size_t>(y) * sz[0] + x]++;
        for (size_t i = 0; i < hits.size(); i++) ASSERT_EQ(hits[i], 1) << sz[0] << "x" << sz[1] << " at " << i;
        if (sz[0] == 640) {
            for (int k = 0; k < 4; k++) EXPECT_TRUE(q[k].lx == 20 && q[k].ly == 15) << k;
            for (int k = 52; k < 64; k++) EXPECT_TRUE(q[k].lx == 160 && q[k].ly == 120) << k;
        }
        if (sz[0] == 320) {
            for (int k = 0; k < 4; k++) EXPECT_TRUE(q[k].lx == 10 && q[k].ly == (k < 2 ? 8 : 7)) << k;
            for (int k = 52; k < 64; k++) EXPECT_TRUE(q[k].lx == 80 && q[k].ly == 60) << k;
        }
    }
}

TEST(WsqTransform, DecomposeThenReconstructIsTheIdentity) {
    // The synthesis filters come from our own transform table segment, as a decoder sees them.
    unsigned char dtt_bytes[64];
    int used = 0;
    ASSERT_EQ(putc_transform_table(kWsqLoFilt, 9, kWsqHiFilt, 7, dtt_bytes, 64, &used), 0);
    wsq_transform_table dtt;
    init_wsq_decoder_tables(&dtt, nullptr, nullptr);
    const unsigned char* cur = dtt_bytes + 2;
    ASSERT_EQ(getc_transform_table(&dtt, &cur, dtt_bytes + used), 0);
    std::mt19937 rng(5);
    const int sizes[][2] = {{640, 480}, {545, 401}, {81, 83}};
    for (const auto& sz : sizes) {
        const int w = sz[0], h = sz[1];
        std::vector<unsigned char> img(static_cast<size_t>(w) * h);
        for (auto& p : img) p = static_cast<unsigned char>(rng());
        std::vector<float> f(img.size());
        float shift, scale;
        image_to_float(f.data(), &shift, &scale, img.data(), w * h);
        wavelet_tree_node wt[W_TREELEN];
        subband_rect qt[Q_TREELEN];
        build_transform_trees(wt, W_TREELEN, qt, Q_TREELEN, w, h);
        ASSERT_EQ(wsq_decompose(f.data(), w, h, wt, W_TREELEN, kWsqHiFilt, 7, kWsqLoFilt, 9), 0);
        ASSERT_EQ(wsq_reconstruct(f.data(), w, h, wt, W_TREELEN, &dtt), 0);
        std::vector<unsigned char> back(img.size());
        float_to_image(back.data(), f.data(), w, h, shift, scale);
        EXPECT_EQ(back, img) << w << "x" << h;
    }
    free_wsq_decoder_tables(&dtt);
    wsq_transform_table none;
    init_wsq_decoder_tables(&none, nullptr, nullptr);
    std::vector<float> f(81 * 81, 0.0f);
    wavelet_tree_node wt[W_TREELEN];
    subband_rect qt[Q_TREELEN];
    build_transform_trees(wt, W_TREELEN, qt, Q_TREELEN, 81, 81);
    EXPECT_EQ(wsq_reconstruct(f.data(), 81, 81, wt, W_TREELEN, &none), -95);
}

TEST(WsqTransform, ConversionsAndQuantiser) {
    // Pixels to reals and back, with clamping and NaN.
    const unsigned char px[4] = {0, 128, 255, 100};
    float f[4], shift, scale;
    image_to_float(f, &shift, &scale, px, 4);
    EXPECT_FLOAT_EQ(shift, 120.75f);
    EXPECT_FLOAT_EQ(scale, 134.25f / 128.0f);
    const float reals[5] = {-1000.0f, 1000.0f, NAN, 0.0f, -0.6f};
    unsigned char out[5];
    float_to_image(out, reals, 5, 1, 100.0f, 1.0f);
    EXPECT_EQ(Bytes(out, out + 5), (Bytes{0, 255, 0, 100, 99}));
    // A flat image has no spread and no subbands: no symbols at all.
    const unsigned char flat[4] = {7, 7, 7, 7};
    image_to_float(f, &shift, &scale, flat, 4);
    EXPECT_EQ(scale, 0.0f);
    for (float v : f) EXPECT_EQ(v, 0.0f);

    // Unquantisation needs its table; values follow the bin centre rule.
    wavelet_tree_node wt[W_TREELEN];
    subband_rect qt[Q_TREELEN];
    build_transform_trees(wt, W_TREELEN, qt, Q_TREELEN, 81, 81);
    wsq_quant_table dqt;
    init_wsq_decoder_tables(nullptr, &dqt, nullptr);
    float* fip = nullptr;
    const short sym[3] = {0, 2, -1};
    EXPECT_EQ(unquantize(&fip, &dqt, qt, Q_TREELEN, sym, 3, 81, 81), -92);
    EXPECT_EQ(fip, nullptr);
    dqt.dqt_def = 1;
    dqt.bin_center = 0.44f;
    dqt.q_bin[0] = 2.0f;
    dqt.z_bin[0] = 3.0f;
    ASSERT_EQ(unquantize(&fip, &dqt, qt, Q_TREELEN, sym, 3, 81, 81), 0);
    EXPECT_FLOAT_EQ(fip[0], 0.0f);
    EXPECT_FLOAT_EQ(fip[1], 2.0f * (2.0f - 0.44f) + 1.5f);
    EXPECT_FLOAT_EQ(fip[2], 2.0f * (-1.0f + 0.44f) - 1.5f);
    EXPECT_FLOAT_EQ(fip[3], 0.0f);  // beyond the symbols given
    free(fip);
}

TEST(WsqTransform, BitAllocationRules) {
    const int w = 640, h = 480;
    wavelet_tree_node wt[W_TREELEN];
    subband_rect qt[Q_TREELEN];
    build_transform_trees(wt, W_TREELEN, qt, Q_TREELEN, w, h);
    std::vector<float> f(static_cast<size_t>(w) * h, 0.01f);
    auto run = [&](wsq_quant_params* qp, std::vector<short>* sym) {
        memset(qp, 0, sizeof *qp);
        qp->r = 0.75f;
        for (int k = 0; k < 4; k++) qp->var[k] = 4.0f;
        qp->var[4] = 2.0f;                         // leaves the allocation: its Q'/q is at least 5 sigma
        qp->var[5] = 1.01f;                        // the threshold itself takes part
        qp->var[6] = std::nextafter(1.01f, 0.0f);  // just below: no bin width
        for (int k = 7; k < 60; k++) qp->var[k] = 100.0f;
        short* sip = nullptr;
        int n = 0;
        ASSERT_EQ(quantize(&sip, &n, qp, qt, Q_TREELEN, f.data(), w, h), 0);
        sym->assign(sip, sip + n);
        free(sip);
    };
    wsq_quant_params qp;
    std::vector<short> sym;
    run(&qp, &sym);
    // Q' is 1 for the four lowest subbands, so Q[0] is 1/q.
    const double q = 1.0 / qp.q[0];
    const float q4 = static_cast<float>(10.0 / std::log(2.0));
    EXPECT_GE(q4 / q, 5.0 * std::sqrt(2.0));
    EXPECT_NEAR(qp.q[4], q4 / q, 1e-5 * qp.q[4]);
    EXPECT_FLOAT_EQ(qp.z[4], 1.2f * qp.q[4]);
    EXPECT_GT(qp.q[5], 0.0f);
    EXPECT_FLOAT_EQ(qp.z[5], 1.2f * qp.q[5]);
    EXPECT_EQ(qp.q[6], 0.0f);
    EXPECT_EQ(qp.z[6], 0.0f);
    for (int k = 60; k < 64; k++) EXPECT_EQ(qp.q[k], 0.0f) << k;
    int sizes[3];
    quantized_block_sizes(&sizes[0], &sizes[1], &sizes[2], &qp, wt, W_TREELEN, qt, Q_TREELEN);
    EXPECT_EQ(sizes[0] + sizes[1] + sizes[2], static_cast<int>(sym.size()));
    EXPECT_EQ(static_cast<int>(sym.size()), w * h / 4 * 3 - qt[6].lx * qt[6].ly);

    // Values exactly on the zero bin's edges quantise to 0; just outside, to +-1.
    const float z = qp.z[0] / 2.0f;
    float* row0 = f.data() + static_cast<long>(qt[0].y) * w + qt[0].x;
    row0[0] = z;
    row0[1] = -z;
    row0[2] = std::nextafter(z, 2.0f * z);
    row0[3] = -std::nextafter(z, 2.0f * z);
    row0[4] = z + 2.5f * qp.q[0];
    wsq_quant_params again;
    run(&again, &sym);
    ASSERT_EQ(again.q[0], qp.q[0]);
    EXPECT_EQ(std::vector<short>(sym.begin(), sym.begin() + 5), (std::vector<short>{0, 0, 1, -1, 3}));
}

TEST(WsqCodec, FlatImageIsTheFixedBytesAndDecodesToItself) {
    const std::vector<unsigned char> flat(320 * 240, 93);
    Bytes s = encode(flat, 320, 240, 0.75f);
    EXPECT_EQ(s.size(), 668u);
    Decoded d = decode_mem(s);
    ASSERT_EQ(d.rc, 0);
    EXPECT_EQ(d.pixels, flat);
    EXPECT_EQ(d.ppi, 500);
    EXPECT_EQ(d.d, 8);
    EXPECT_EQ(d.lossy, 1);

    // The same through the image library's WSQ format.
    unsigned char* buf = static_cast<unsigned char*>(malloc(16));  // an old block the library releases
    int len = 16;
    ASSERT_EQ(SaveImgBuff(flat.data(), 320, 240, 2, 500, -1, 0, &buf, &len, 5), 668);
    EXPECT_EQ(len, 668);
    EXPECT_EQ(Bytes(buf, buf + len).size(), 668u);
    unsigned char* img = nullptr;
    int w = 0, h = 0, layout = -1, dpi = 0;
    ASSERT_EQ(LoadImgBuff(&img, &w, &h, &layout, &dpi, -1, buf, len), 5);
    EXPECT_EQ(w, 320);
    EXPECT_EQ(h, 240);
    EXPECT_EQ(layout, 2);
    EXPECT_EQ(dpi, 500);
    EXPECT_EQ(std::vector<unsigned char>(img, img + 320 * 240), flat);
    FreeImgData(&img);
    ASSERT_EQ(LoadImgBuff(&img, &w, &h, &layout, &dpi, 0, buf, len), 5);
    EXPECT_EQ(layout, 0);
    EXPECT_EQ(img[3 * 1000 + 2], 93);
    FreeImgData(&img);
    FreeImgBuff(&buf);
}

TEST(WsqCodec, LossyRoundTripsOnATexturedImage) {
    const auto img = finger_640();
    double p[2];
    const float rates[2] = {0.75f, 2.25f};
    for (int i = 0; i < 2; i++) {
        Bytes s = encode(img, 640, 480, rates[i], 1000);
        // The stream is about as long as the rate asks (bits per pixel).
        EXPECT_LT(s.size() * 8.0 / (640 * 480), rates[i] * 1.2) << rates[i];
        EXPECT_GT(s.size() * 8.0 / (640 * 480), rates[i] * 0.5) << rates[i];
        Decoded d = decode_mem(s);
        ASSERT_EQ(d.rc, 0);
        EXPECT_EQ(d.w, 640);
        EXPECT_EQ(d.h, 480);
        EXPECT_EQ(d.ppi, 1000);
        EXPECT_EQ(d.lossy, 1);
        Decoded f = decode_file(s);
        ASSERT_EQ(f.rc, 0);
        EXPECT_EQ(f.pixels, d.pixels);
        p[i] = psnr(img.data(), d.pixels.data(), img.size());
    }
    EXPECT_GE(p[0], 32.0);
    EXPECT_GE(p[1], 37.0);
    EXPECT_GE(p[1] - p[0], 4.0);
}

TEST(WsqCodec, SmoothImagesKeepTheirQuality) {
    // A gradient leaves few subbands above the variance threshold; the widths must stay usable.
    std::vector<unsigned char> grad(320 * 240);
    for (int y = 0; y < 240; y++)
        for (int x = 0; x < 320; x++) grad[y * 320 + x] = static_cast<unsigned char>((x * 255) / 319);
    for (float r : {0.75f, 2.25f}) {
        Decoded d = decode_mem(encode(grad, 320, 240, r));
        ASSERT_EQ(d.rc, 0);
        EXPECT_GE(psnr(grad.data(), d.pixels.data(), grad.size()), 30.0) << r;
    }
}

TEST(WsqCodec, SameBytesEveryBuild) {
    // Fixed checksums: the optimised and the sanitised (unoptimised) builds must both produce them.
    const auto img = finger_640();
    Bytes a = encode(img, 640, 480, 0.75f), b = encode(img, 640, 480, 2.25f);
    Decoded da = decode_mem(a), db = decode_mem(b);
    ASSERT_EQ(da.rc, 0);
    ASSERT_EQ(db.rc, 0);
    auto crc = [](const unsigned char* p, size_t n) { return crc32_update(0, p, n); };
    const unsigned got[4] = {crc(a.data(), a.size()), crc(b.data(), b.size()), crc(da.pixels.data(), da.pixels.size()),
                             crc(db.pixels.data(), db.pixels.size())};
    const unsigned want[4] = {0xfa99282au, 0x39e59900u, 0xf121a893u, 0x3f78124du};
    for (int i = 0; i < 4; i++) EXPECT_EQ(got[i], want[i]) << i << std::hex << " 0x" << got[i];
}

TEST(WsqCodec, ReorderedSegmentsDecodeAlike) {
    const auto img = finger_320(2);
    Bytes s = encode(img, 320, 240, 0.75f);
    auto segs = segments(s);
    ASSERT_EQ(segs.front().first, SOI_WSQ);
    ASSERT_EQ(segs.back().first, EOI_WSQ);
    // Tables after the comments in reverse order, the DQT and DTT moved between SOF and the first DHT.
    Bytes moved, swapped;
    Bytes dtt, dqt;
    for (const auto& sg : segs) {
        if (sg.first == DTT_WSQ) dtt = sg.second;
        if (sg.first == DQT_WSQ) dqt = sg.second;
    }
    for (const auto& sg : segs) {
        if (sg.first == DTT_WSQ || sg.first == DQT_WSQ) continue;
        moved.insert(moved.end(), sg.second.begin(), sg.second.end());
        if (sg.first == SOF_WSQ) moved = concat({moved, dqt, dtt});
    }
    for (const auto& sg : segs) {
        if (sg.first == COM_WSQ) continue;
        if (sg.first == DTT_WSQ)
            swapped = concat({swapped, dqt, dtt, segs[1].second, segs[2].second});
        else if (sg.first != DQT_WSQ)
            swapped.insert(swapped.end(), sg.second.begin(), sg.second.end());
    }
    Decoded ref = decode_mem(s), m1 = decode_mem(moved), m2 = decode_mem(swapped), f2 = decode_file(swapped);
    ASSERT_EQ(ref.rc, 0);
    ASSERT_EQ(m1.rc, 0);
    ASSERT_EQ(m2.rc, 0);
    EXPECT_EQ(m1.pixels, ref.pixels);
    EXPECT_EQ(m2.pixels, ref.pixels);
    EXPECT_EQ(f2.pixels, ref.pixels);
    EXPECT_EQ(m2.ppi, 500);
    // Bytes after EOI are not read.
    Bytes tail = concat({s, {1, 2, 3}});
    EXPECT_EQ(decode_mem(tail).pixels, ref.pixels);
}

TEST(WsqCodec, DecoderFailureCodes) {
    const auto img = finger_320(4);
    const Bytes good = encode(img, 320, 240, 0.75f);
    auto segs = segments(good);
    auto without = [&](unsigned short marker) {
        Bytes out;
        for (const auto& sg : segs)
            if (sg.first != marker) out.insert(out.end(), sg.second.begin(), sg.second.end());
        return out;
    };
    auto with_sof = [&](unsigned w, unsigned h) {
        Bytes out = good;
        for (size_t i = 0; i + 1 < out.size(); i++)
            if (out[i] == 0xFF && out[i + 1] == 0xA2) {
                out[i + 6] = static_cast<unsigned char>(h >> 8);
                out[i + 7] = static_cast<unsigned char>(h);
                out[i + 8] = static_cast<unsigned char>(w >> 8);
                out[i + 9] = static_cast<unsigned char>(w);
                break;
            }
        return out;
    };
    Bytes no_nist;
    for (const auto& sg : segs)
        if (!(sg.first == COM_WSQ && sg.second.size() > 12 && sg.second[4] == 'N'))
            no_nist.insert(no_nist.end(), sg.second.begin(), sg.second.end());
    Bytes sob5 = good;
    for (size_t i = 0; i + 4 < sob5.size(); i++)
        if (sob5[i] == 0xFF && sob5[i + 1] == 0xA3 && sob5[i + 4] == 1) {
            sob5[i + 4] = 5;
            break;
        }
    struct Case {
        const char* what;
        Bytes data;
        int mem_rc, file_rc;
    } cases[] = {
        {"not WSQ", Bytes{0xFF, 0xD8, 0xFF, 0xE0}, -88, -70},
        {"no DQT", without(DQT_WSQ), -92, -92},
        {"no DTT", without(DTT_WSQ), -95, -95},
        {"undefined table", sob5, -51, -53},
        {"too small", with_sof(80, 240), -23, -23},
        {"too large", with_sof(5000, 5000), kErrFrameSize, kErrFrameSize},
        {"zero width", with_sof(0, 240), kErrFrameSize, kErrFrameSize},
        {"truncated", Bytes(good.begin(), good.end() - 40), NIST_ERR_GETC_BYTE, NIST_ERR_READ_BYTE},
        {"SOB before SOF", concat({{0xFF, 0xA0}, {0xFF, 0xA3, 0, 3, 0}}), -89, -71},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(decode_mem(c.data).rc, c.mem_rc) << c.what;
        EXPECT_EQ(decode_file(c.data).rc, c.file_rc) << c.what;
    }
    Decoded d = decode_mem(no_nist);
    ASSERT_EQ(d.rc, 0);
    EXPECT_EQ(d.ppi, -1);
    unsigned char* px = reinterpret_cast<unsigned char*>(0x1);
    int w = 0;
    EXPECT_EQ(wsq_decode_mem(&px, &w, nullptr, nullptr, nullptr, nullptr, nullptr, 10), -1);
    EXPECT_EQ(wsq_decode_mem(&px, &w, nullptr, nullptr, nullptr, nullptr, good.data(), 0), -1);
    EXPECT_EQ(wsq_decode_file(&px, &w, nullptr, nullptr, nullptr, nullptr, nullptr), -1);
    EXPECT_EQ(px, reinterpret_cast<unsigned char*>(0x1));
    // Null outputs are not written; the pixels are then freed inside.
    EXPECT_EQ(
        wsq_decode_mem(nullptr, &w, nullptr, nullptr, nullptr, nullptr, good.data(), static_cast<int>(good.size())), 0);
    EXPECT_EQ(w, 320);
}

namespace {

// One image of w x h on a blank (255) background with finger patches at the given top-left corners.
std::vector<unsigned char> card(int w, int h, const std::vector<std::pair<int, int>>& at) {
    std::vector<unsigned char> img(static_cast<size_t>(w) * h, 255);
    for (size_t k = 0; k < at.size(); k++) {
        const std::vector<unsigned char> f = finger_320(40 + static_cast<int>(k));
        for (int y = 0; y < 240; y++)
            std::copy_n(&f[y * 320], 320, &img[static_cast<size_t>(at[k].second + y) * w + at[k].first]);
    }
    return img;
}

// The same stream with the transform table replaced by filters of the given taps.
Bytes with_filters(const Bytes& stream, int lo_taps, int hi_taps, size_t comment_bytes = 0) {
    std::vector<float> lo(lo_taps, 0.01f), hi(hi_taps, 0.01f);
    lo[lo_taps / 2] = hi[hi_taps / 2] = 0.7f;
    unsigned char dtt[1600];
    int dtt_len = 0;
    EXPECT_EQ(putc_transform_table(lo.data(), lo_taps, hi.data(), hi_taps, dtt, sizeof dtt, &dtt_len), 0);
    Bytes out;
    for (const auto& sg : segments(stream)) {
        if (sg.first == DTT_WSQ)
            out.insert(out.end(), dtt, dtt + dtt_len);
        else
            out.insert(out.end(), sg.second.begin(), sg.second.end());
        for (; sg.first == SOI_WSQ && comment_bytes > 0; comment_bytes -= std::min<size_t>(comment_bytes, 60000))
            out.insert(out.end(), {0xFF, 0xA8, 0xEA, 0x62}), out.resize(out.size() + 60000, 'c');
    }
    return out;
}

}  // namespace

// Legitimate streams of any content decode up to the pixel budget, however few bytes they take (our
// own writer's sparse cards and blank pictures among them); the decoder's work is bounded by the
// budget and by the filters' taps, and comment bytes pay for nothing.
TEST(WsqCodec, DecoderBudgetRefusesOnlyWhatItMust) {
    auto uniform = [](int w, int h) { return encode(std::vector<unsigned char>(size_t(w) * h, 128), w, h, 0.75f); };
    const Bytes small = uniform(1024, 1024);
    struct Case {
        const char* what;
        Bytes data;
        int rc;
    } cases[] = {
        {"uniform at the pixel budget, 4096 x 4096 in 670 bytes", uniform(4096, 4096), 0},
        {"31-tap filters", with_filters(small, 31, 31), 0},
        {"even filters of 8 and 10 taps", with_filters(small, 8, 10), 0},
        {"a 32-tap filter", with_filters(small, 9, 32), kErrLongFilter},
        {"255-tap filters padded to 600 KB by comments", with_filters(small, 255, 255, 600000), kErrLongFilter},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(decode_mem(c.data).rc, c.rc) << c.what << ", " << c.data.size() << " bytes";
        EXPECT_EQ(decode_file(c.data).rc, c.rc) << c.what;
    }
    // The limit the fuzz targets lower applies from the frame header, to both decoders, and the
    // encoder writes nothing they refuse.
    const Bytes above = uniform(1024, 1025);
    qv::set_decode_pixel_limit_for_fuzzing(1024 * 1024);
    int rc = 0;
    EXPECT_TRUE(encode(std::vector<unsigned char>(1024 * 1025, 128), 1024, 1025, 0.75f, 500, "", &rc).empty());
    EXPECT_EQ(rc, -15);
    EXPECT_EQ(decode_mem(small).rc, 0);
    EXPECT_EQ(decode_mem(above).rc, kErrFrameSize);
    EXPECT_EQ(decode_file(above).rc, kErrFrameSize);
    qv::set_decode_pixel_limit_for_fuzzing(0);
    EXPECT_EQ(decode_mem(above).rc, 0);
}

TEST(WsqCodec, OwnSparseFilesReadBack) {
    struct Case {
        const char* what;
        int w, h, quality;
        std::vector<std::pair<int, int>> patches;
    } cases[] = {
        {"4000 x 4000 card with ten print patches at quality 100",
         4000,
         4000,
         100,
         {{200, 400},
          {1000, 400},
          {1800, 400},
          {2600, 400},
          {3400, 400},
          {200, 3000},
          {1000, 3000},
          {1800, 3000},
          {2600, 3000},
          {3400, 3000}}},
        {"1200 x 1200 picture with a blank centre", 1200, 1200, 0, {{0, 0}, {880, 0}, {0, 960}, {880, 960}}},
    };
    for (const auto& c : cases) {
        const std::vector<unsigned char> img = card(c.w, c.h, c.patches);
        unsigned char* buf = nullptr;
        int len = 0;
        ASSERT_GT(SaveImgBuff(img.data(), c.w, c.h, 2, 500, -1, c.quality, &buf, &len, 5), 0) << c.what;
        // far sparser than any rule of pixels per byte would let through
        EXPECT_GT(static_cast<double>(c.w) * c.h / len, 1024.0) << c.what << ", " << len << " bytes";
        unsigned char* px = nullptr;
        int w = 0, h = 0, layout = -1, dpi = 0;
        EXPECT_EQ(LoadImgBuff(&px, &w, &h, &layout, &dpi, -1, buf, len), 5) << c.what;
        EXPECT_EQ(w, c.w);
        EXPECT_EQ(h, c.h);
        ASSERT_NE(px, nullptr);
        // so few bits keep little but the picture's overall level
        double in = 0, out = 0;
        for (size_t i = 0; i < img.size(); i++) in += img[i], out += px[i];
        EXPECT_NEAR(out / img.size(), in / img.size(), 4.0) << c.what;
        FreeImgData(&px);
        FreeImgBuff(&buf);
    }
}

TEST(WsqCodec, EncoderFailureCodes) {
    const auto img = finger_320(5);
    std::vector<unsigned char> small(80 * 240, 9), big(40000, 0);
    std::mt19937 rng(9);
    std::vector<unsigned char> noise(100 * 100);
    for (auto& p : noise) p = static_cast<unsigned char>(rng());
    struct Case {
        const char* what;
        const unsigned char* px;
        int w, h;
        float rate;
        int rc;
    } cases[] = {
        {"no pixels", nullptr, 320, 240, 0.75f, -1},
        {"zero width", img.data(), 0, 240, 0.75f, -1},
        {"rate 0", img.data(), 320, 240, 0.0f, -1},
        {"negative rate", img.data(), 320, 240, -1.0f, -1},
        {"rate NaN", img.data(), 320, 240, NAN, -1},
        {"rate infinite", img.data(), 320, 240, INFINITY, -1},
        {"narrow", small.data(), 80, 240, 0.75f, -14},
        {"low", small.data(), 240, 80, 0.75f, -14},
        {"wider than the format", big.data(), 40000, 1, 0.75f, -14},
        {"too many pixels", big.data(), 5000, 5000, 0.75f, -15},
    };
    for (const auto& c : cases) {
        unsigned char* out = reinterpret_cast<unsigned char*>(0x1);
        int len = 77;
        EXPECT_EQ(wsq_encode_1(&out, &len, c.rate, c.px, c.w, c.h, 8, 500, nullptr), c.rc) << c.what;
        EXPECT_EQ(out, reinterpret_cast<unsigned char*>(0x1)) << c.what;
        EXPECT_EQ(len, 77) << c.what;
    }
    // Noise at a high rate needs more than the raw size: refused, never grown.
    unsigned char* out = nullptr;
    int len = 0;
    const int rc = wsq_encode_1(&out, &len, 8.0f, noise.data(), 100, 100, 8, 500, nullptr);
    EXPECT_TRUE(rc == NIST_ERR_PUTC_BYTES || rc == NIST_ERR_PUTC_BYTE || rc == NIST_ERR_BITS_OVERFLOW) << rc;
    EXPECT_EQ(out, nullptr);
    // A null stream output still reports the length.
    len = 0;
    EXPECT_EQ(wsq_encode_1(nullptr, &len, 0.75f, img.data(), 320, 240, 8, 500, nullptr), 0);
    EXPECT_GT(len, 535);
    // A caller's NIST comment is merged: one comment segment only.
    Bytes s = encode(img, 320, 240, 0.75f, 300, "NIST_COM 1\nMY_KEY 5");
    int coms = 0;
    for (const auto& sg : segments(s)) coms += sg.first == COM_WSQ;
    EXPECT_EQ(coms, 1);
    EXPECT_EQ(decode_mem(s).ppi, 300);
}

TEST(WsqCodec, WriteBufferFile) {
    const std::string dir = testing::TempDir();
    const std::string path = dir + "wsq_buffer_test.bin";
    const unsigned char data[5] = {1, 2, 3, 4, 5};
    remove(path.c_str());
    EXPECT_EQ(write_buffer_file(path.c_str(), data, 0), 0);
    EXPECT_NE(access(path.c_str(), F_OK), 0);
    EXPECT_EQ(write_buffer_file(path.c_str(), nullptr, 5), 0);
    EXPECT_EQ(write_buffer_file((dir + "no/such/dir/x.wsq").c_str(), data, 5), 0);
    ASSERT_EQ(write_buffer_file(path.c_str(), data, 5), 1);
    FILE* fp = fopen(path.c_str(), "rb");
    ASSERT_NE(fp, nullptr);
    unsigned char back[8];
    EXPECT_EQ(fread(back, 1, 8, fp), 5u);
    fclose(fp);
    remove(path.c_str());

    // A write cut short by the file size limit leaves no truncated file behind.
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit lim = {100, 100};
        setrlimit(RLIMIT_FSIZE, &lim);
        std::vector<unsigned char> big(100000, 7);
        const int r = write_buffer_file(path.c_str(), big.data(), static_cast<int>(big.size()));
        _exit(r == 0 && access(path.c_str(), F_OK) != 0 ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(WsqCodec, ImageLibraryFiles) {
    const auto img = finger_320(6);
    const std::string path = testing::TempDir() + "finger_test.wsq";
    const int size = SaveImgFile(path.c_str(), img.data(), 320, 240, 2, 500, -1, 0);
    ASSERT_GT(size, 668);
    unsigned char* px = nullptr;
    int w = 0, h = 0, layout = -1, dpi = 0;
    ASSERT_EQ(LoadImgFile(path.c_str(), &px, &w, &h, &layout, &dpi, -1), 5);
    EXPECT_EQ(w, 320);
    EXPECT_EQ(h, 240);
    EXPECT_EQ(dpi, 500);
    EXPECT_GE(psnr(img.data(), px, img.size()), 37.0);  // quality 0 is the rate 2.25
    FreeImgData(&px);
    remove(path.c_str());
}

TEST(WsqCodec, CommentEditing) {
    const auto img = finger_320(7);
    const Bytes s = encode(img, 320, 240, 0.75f);
    const Decoded ref = decode_mem(s);
    ASSERT_EQ(ref.rc, 0);
    auto count_coms = [](const Bytes& b) {
        std::vector<std::string> texts;
        for (const auto& sg : segments(b))
            if (sg.first == COM_WSQ) texts.emplace_back(sg.second.begin() + 4, sg.second.end());
        return texts;
    };
    unsigned char* out = nullptr;
    int len = 0;
    ASSERT_EQ(add_comment_wsq(&out, &len, s.data(), static_cast<int>(s.size()), "third"), 0);
    Bytes added(out, out + len);
    free(out);
    auto texts = count_coms(added);
    ASSERT_EQ(texts.size(), 3u);
    EXPECT_EQ(texts[1], "Kestrilon");
    EXPECT_EQ(texts[2], "third");
    EXPECT_EQ(decode_mem(added).pixels, ref.pixels);
    EXPECT_EQ(add_comment_wsq(&out, &len, s.data(), static_cast<int>(s.size()), ""), -2);
    EXPECT_EQ(print_comments_wsq(added.data(), static_cast<int>(added.size())), 0);

    ASSERT_EQ(delete_comments_wsq(&out, &len, added.data(), static_cast<int>(added.size())), 0);
    Bytes bare(out, out + len);
    free(out);
    EXPECT_TRUE(count_coms(bare).empty());
    EXPECT_EQ(bare.size(), s.size() - (texts[0].size() + 4) - (9 + 4));
    Decoded d = decode_mem(bare);
    EXPECT_EQ(d.pixels, ref.pixels);
    EXPECT_EQ(d.ppi, -1);
    EXPECT_NE(delete_comments_wsq(&out, &len, s.data(), 10), 0);
    const unsigned char bits[16] = {0, 2, 3};
    EXPECT_EQ(header_size_estimate(10, bits, bits), 10 + kWsqFixedBytes + 10);
}
