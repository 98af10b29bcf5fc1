// WSQ segments: byte layouts, readers on both media, refusals and the NIST comment lookup.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>

#include "nist_io.h"
#include "nist_test_util.h"
#include "wsq_segments.h"

namespace {

const float kH0[9] = {0.037828457f, -0.023849465f, -0.1106244f,   0.37740284f, 0.8526987f,
                      0.37740284f,  -0.1106244f,   -0.023849465f, 0.037828457f};
const float kH1[7] = {0.06453888f, -0.040689416f, -0.41809228f, 0.7884856f, -0.41809228f, -0.040689416f, 0.06453888f};

Bytes be16(unsigned v) { return {static_cast<unsigned char>(v >> 8), static_cast<unsigned char>(v)}; }
Bytes be32(unsigned v) {
    return {static_cast<unsigned char>(v >> 24), static_cast<unsigned char>(v >> 16),
            static_cast<unsigned char>(v >> 8), static_cast<unsigned char>(v)};
}
Bytes rec(int sign, int scale, unsigned v) {
    return concat({{static_cast<unsigned char>(sign), static_cast<unsigned char>(scale)}, be32(v)});
}

Bytes dtt_bytes() {
    return concat({{0xFF, 0xA4, 0x00, 58, 9, 7},
                   rec(0, 9, 852698684u),
                   rec(0, 10, 3774028420u),
                   rec(1, 10, 1106244028u),
                   rec(1, 11, 2384946495u),
                   rec(0, 11, 3782845661u),
                   rec(0, 9, 788485587u),
                   rec(1, 10, 4180922806u),
                   rec(1, 11, 4068941623u),
                   rec(0, 10, 645388812u)});
}

// Runs a memory reader and its stream twin over the segment body; returns both results.
template <class MemFn, class FileFn>
std::pair<int, int> both(const Bytes& body, MemFn mem, FileFn file) {
    const unsigned char* cur = body.data();
    int rm = mem(&cur, body.data() + body.size());
    FILE* fp = stream_of(body);
    int rf = file(fp);
    fclose(fp);
    return {rm, rf};
}

}  // namespace

TEST(WsqSegments, TransformTableIsTheFixedSixtyBytes) {
    unsigned char buf[80];
    int used = 0;
    ASSERT_EQ(putc_transform_table(kH0, 9, kH1, 7, buf, sizeof buf, &used), 0);
    EXPECT_EQ(Bytes(buf, buf + used), dtt_bytes());
    FILE* fp = tmpfile();
    ASSERT_EQ(write_transform_table(kH0, 9, kH1, 7, fp), 0);
    EXPECT_EQ(ftell(fp), 60);
    fclose(fp);
    used = 0;
    EXPECT_EQ(putc_transform_table(kH0, 9, kH1, 7, buf, 59, &used), NIST_ERR_PUTC_BYTES);

    const Bytes whole = dtt_bytes();
    const Bytes body(whole.begin() + 2, whole.end());
    const double hi[9] = {0.037828, 0.023849, -0.110624, -0.377403, 0.852699, -0.377403, -0.110624, 0.023849, 0.037828};
    const double lo[7] = {-0.064539, -0.040689, 0.418092, 0.788486, 0.418092, -0.040689, -0.064539};
    for (int medium = 0; medium < 2; medium++) {
        wsq_transform_table dtt;
        init_wsq_decoder_tables(&dtt, nullptr, nullptr);
        // Read twice: the second table replaces the first without a leak.
        for (int pass = 0; pass < 2; pass++) {
            int rc;
            if (medium == 0) {
                const unsigned char* cur = body.data();
                rc = getc_transform_table(&dtt, &cur, body.data() + body.size());
            } else {
                FILE* f = stream_of(body);
                rc = read_transform_table(&dtt, f);
                fclose(f);
            }
            ASSERT_EQ(rc, 0);
        }
        ASSERT_EQ(dtt.hisz, 9);
        ASSERT_EQ(dtt.losz, 7);
        EXPECT_TRUE(dtt.lodef && dtt.hidef);
        for (int i = 0; i < 9; i++) EXPECT_NEAR(dtt.hifilt[i], hi[i], 1e-6) << i;
        for (int i = 0; i < 7; i++) EXPECT_NEAR(dtt.lofilt[i], lo[i], 1e-6) << i;
        free_wsq_decoder_tables(&dtt);
        EXPECT_EQ(dtt.lofilt, nullptr);
    }
}

TEST(WsqSegments, TransformTableRefusals) {
    struct Case {
        Bytes body;
        int mem_rc, file_rc;
    } cases[] = {
        {{0x00, 10, 0, 1, 0, 0, 0, 0, 0, 1}, kErrFilterTaps, kErrFilterTaps},
        {{0x00, 57, 9, 7}, kErrSegLength, kErrSegLength},
        {{0x00, 10, 1, 1, 0, 0, 0, 0, 0, 1}, kErrSegLength, kErrSegLength},
        {{0x00, 16, 1, 1, 0, 0, 0, 0, 0, 1}, NIST_ERR_GETC_BYTE, NIST_ERR_READ_BYTE},
    };
    for (const auto& c : cases) {
        wsq_transform_table dtt;
        init_wsq_decoder_tables(&dtt, nullptr, nullptr);
        auto r = both(
            c.body,
            [&](const unsigned char** cur, const unsigned char* end) { return getc_transform_table(&dtt, cur, end); },
            [&](FILE* f) { return read_transform_table(&dtt, f); });
        EXPECT_EQ(r.first, c.mem_rc);
        EXPECT_EQ(r.second, c.file_rc);
        EXPECT_EQ(dtt.lofilt, nullptr);
        EXPECT_EQ(dtt.hifilt, nullptr);
    }
    // Odd and even tap counts of other sizes are read by the symmetry rules.
    Bytes even = concat({{0x00, 4 + 12, 2, 2}, rec(0, 0, 1), rec(0, 0, 2)});
    wsq_transform_table dtt;
    init_wsq_decoder_tables(&dtt, nullptr, nullptr);
    const unsigned char* cur = even.data();
    ASSERT_EQ(getc_transform_table(&dtt, &cur, even.data() + even.size()), 0);
    EXPECT_FLOAT_EQ(dtt.hifilt[0], -1.0f);
    EXPECT_FLOAT_EQ(dtt.hifilt[1], 1.0f);
    EXPECT_FLOAT_EQ(dtt.lofilt[0], -2.0f);
    EXPECT_FLOAT_EQ(dtt.lofilt[1], -2.0f);
    free_wsq_decoder_tables(&dtt);
}

TEST(WsqSegments, DecimalScaling) {
    struct Case {
        double a, limit;
        int scale;
        unsigned value;
    } cases[] = {{127.345, 65535.0, 2, 12735},
                 {200.0, 65535.0, 2, 20000},
                 {0.44, 65535.0, 5, 44000},
                 {0.0, 65535.0, 0, 0},
                 {0.8526987f, 4294967295.0, 9, 852698684u}};
    for (const auto& c : cases) {
        unsigned char s;
        unsigned int v;
        ASSERT_EQ(scale_decimal(c.a, c.limit, &s, &v), 0) << c.a;
        EXPECT_EQ(s, c.scale) << c.a;
        EXPECT_EQ(v, c.value) << c.a;
    }
    unsigned char s;
    unsigned int v;
    EXPECT_NE(scale_decimal(65535.0, 65535.0, &s, &v), 0);
    EXPECT_NE(scale_decimal(NAN, 65535.0, &s, &v), 0);
    EXPECT_FLOAT_EQ(unscale_decimal(2, 12735), 127.35f);
}

TEST(WsqSegments, QuantizationTable) {
    float q[64] = {0}, z[64] = {0};
    q[0] = 1.5f;
    z[0] = 1.8f;
    q[2] = 0.0f;
    q[61] = 3.0f;  // subbands 60..63 are never written
    z[61] = 3.0f;
    unsigned char buf[400];
    int used = 0;
    ASSERT_EQ(putc_quantization_table(q, z, buf, sizeof buf, &used), 0);
    ASSERT_EQ(used, 391);
    EXPECT_EQ(Bytes(buf, buf + 7), (Bytes{0xFF, 0xA5, 0x01, 0x85, 0x02, 0x00, 0x2C}));
    EXPECT_EQ(Bytes(buf + 7, buf + 13), (Bytes{4, 0x3A, 0x98, 4, 0x46, 0x50}));  // 1.5, 1.8
    EXPECT_EQ(Bytes(buf + 19, buf + 25), Bytes(6, 0));
    for (int i = 7 + 6 * 60; i < 391; i++) EXPECT_EQ(buf[i], 0);
    const Bytes body(buf + 2, buf + used);
    wsq_quant_table dqt;
    init_wsq_decoder_tables(nullptr, &dqt, nullptr);
    auto r = both(
        body, [&](const unsigned char** c, const unsigned char* e) { return getc_quantization_table(&dqt, c, e); },
        [&](FILE* f) { return read_quantization_table(&dqt, f); });
    EXPECT_EQ(r, std::make_pair(0, 0));
    EXPECT_TRUE(dqt.dqt_def);
    EXPECT_FLOAT_EQ(dqt.bin_center, 0.44f);
    EXPECT_FLOAT_EQ(dqt.q_bin[0], 1.5f);
    EXPECT_FLOAT_EQ(dqt.z_bin[0], 1.8f);
    EXPECT_EQ(dqt.q_bin[61], 0.0f);

    q[5] = 70000.0f;
    used = 0;
    EXPECT_EQ(putc_quantization_table(q, z, buf, sizeof buf, &used), -86);
    q[5] = 1.0f;
    z[5] = 65535.0f;
    EXPECT_EQ(putc_quantization_table(q, z, buf, sizeof buf, &used), -87);
    FILE* fp = tmpfile();
    EXPECT_EQ(write_quantization_table(q, z, fp), -85);
    fclose(fp);
    Bytes bad = body;
    bad[1] = 0x84;
    init_wsq_decoder_tables(nullptr, &dqt, nullptr);
    const unsigned char* cur = bad.data();
    EXPECT_EQ(getc_quantization_table(&dqt, &cur, bad.data() + bad.size()), kErrSegLength);
    EXPECT_FALSE(dqt.dqt_def);
}

TEST(WsqSegments, FrameAndBlockHeaders) {
    unsigned char buf[32];
    int used = 0;
    ASSERT_EQ(putc_frame_header_wsq(640, 480, 127.345f, 1.5f, buf, sizeof buf, &used), 0);
    ASSERT_EQ(used, 19);
    EXPECT_EQ(Bytes(buf, buf + 13), (Bytes{0xFF, 0xA2, 0x00, 17, 0, 255, 0x01, 0xE0, 0x02, 0x80, 0x02, 0x31, 0xBF}));
    wsq_frame_header frm{};
    const Bytes body(buf + 2, buf + used);
    auto r = both(
        body, [&](const unsigned char** c, const unsigned char* e) { return getc_frame_header_wsq(&frm, c, e); },
        [&](FILE* f) { return read_frame_header_wsq(&frm, f); });
    EXPECT_EQ(r, std::make_pair(0, 0));
    EXPECT_EQ(frm.width, 640);
    EXPECT_EQ(frm.height, 480);
    EXPECT_EQ(frm.white, 255);
    EXPECT_NEAR(frm.m_shift, 127.35f, 1e-4);
    EXPECT_FLOAT_EQ(frm.r_scale, 1.5f);

    struct Case {
        unsigned w, h;
        unsigned len;
        int rc;
    } cases[] = {{0, 10, 17, kErrFrameSize},        {10, 0, 17, kErrFrameSize}, {32768, 10, 17, kErrFrameSize},
                 {32767, 32767, 17, kErrFrameSize}, {4096, 4096, 17, 0},        {4097, 4096, 17, kErrFrameSize},
                 {100, 100, 18, kErrSegLength}};
    for (const auto& c : cases) {
        Bytes b = concat({be16(c.len), {0, 255}, be16(c.h), be16(c.w), {0, 0, 0, 0, 0, 0, 0, 0, 0}});
        wsq_frame_header f2{};
        auto rr = both(
            b, [&](const unsigned char** cc, const unsigned char* e) { return getc_frame_header_wsq(&f2, cc, e); },
            [&](FILE* f) { return read_frame_header_wsq(&f2, f); });
        EXPECT_EQ(rr.first, c.rc) << c.w << "x" << c.h;
        EXPECT_EQ(rr.second, c.rc) << c.w << "x" << c.h;
    }

    used = 0;
    ASSERT_EQ(putc_block_header(1, buf, sizeof buf, &used), 0);
    EXPECT_EQ(Bytes(buf, buf + used), (Bytes{0xFF, 0xA3, 0x00, 0x03, 0x01}));
    struct Sob {
        Bytes body;
        int rc;
    } sobs[] = {{{0, 3, 7}, 0}, {{0, 3, 8}, kErrTableId}, {{0, 4, 1}, kErrSegLength}};
    for (const auto& s : sobs) {
        unsigned char id = 99;
        auto rr = both(
            s.body, [&](const unsigned char** c, const unsigned char* e) { return getc_block_header(&id, c, e); },
            [&](FILE* f) { return read_block_header(&id, f); });
        EXPECT_EQ(rr.first, s.rc);
        EXPECT_EQ(rr.second, s.rc);
    }
}

TEST(WsqSegments, MarkerClasses) {
    struct Case {
        Bytes b;
        int type;
        int mem_rc, file_rc;
    } cases[] = {
        {{0xFF, 0xA0}, SOI_WSQ, 0, 0},        {{0xFF, 0xA1}, SOI_WSQ, -88, -70},
        {{0xFF, 0xA2}, TBLS_N_SOF, 0, 0},     {{0xFF, 0xA3}, TBLS_N_SOF, -89, -71},
        {{0xFF, 0xA8}, TBLS_N_SOF, 0, 0},     {{0xFF, 0xA3}, TBLS_N_SOB, 0, 0},
        {{0xFF, 0xA2}, TBLS_N_SOB, -90, -72}, {{0xFF, 0xA7}, TBLS_N_SOB, -90, -72},
        {{0xFF, 0xD8}, ANY_WSQ, 0, -74},      {{0x12, 0xA0}, ANY_WSQ, -91, -73},
        {{0xFF, 0xA0}, 7, -92, -75},          {{0xFF}, ANY_WSQ, NIST_ERR_GETC_BYTES, NIST_ERR_READ_USHORT},
    };
    for (const auto& c : cases) {
        unsigned short m = 0;
        auto r = both(
            c.b, [&](const unsigned char** cur, const unsigned char* e) { return getc_marker_wsq(&m, c.type, cur, e); },
            [&](FILE* f) { return read_marker_wsq(&m, c.type, f); });
        EXPECT_EQ(r.first, c.mem_rc) << std::hex << c.b[0] << " " << c.type;
        EXPECT_EQ(r.second, c.file_rc) << std::hex << c.b[0] << " " << c.type;
    }
}

TEST(WsqSegments, HuffmanSlots) {
    auto table = [](unsigned char id, std::vector<int> counts) {
        Bytes t = {id};
        int sum = 0;
        for (int i = 0; i < 16; i++) {
            int c = i < static_cast<int>(counts.size()) ? counts[i] : 0;
            t.push_back(static_cast<unsigned char>(c));
            sum += c;
        }
        for (int i = 0; i < sum; i++) t.push_back(static_cast<unsigned char>(i + 1));
        return t;
    };
    auto segment = [](std::initializer_list<Bytes> tables) {
        Bytes body;
        for (const auto& t : tables) body.insert(body.end(), t.begin(), t.end());
        return concat({be16(static_cast<unsigned>(body.size() + 2)), body});
    };
    struct Case {
        Bytes body;
        int rc;
    } cases[] = {
        {segment({table(0, {1, 1}), table(1, {0, 3})}), 0},
        {segment({table(2, {1}), table(2, {1})}), -2},
        {segment({table(8, {1})}), kErrTableId},
        {segment({table(0, {3})}), kErrCodeSpace},
        {segment({table(0, {2})}), 0},  // a full code space is only a warning for the decoder
        {concat({be16(10), table(0, {1}), Bytes{1, 2, 3, 4}}), -2},  // tables run past the length
    };
    for (const auto& c : cases) {
        wsq_huff_table dht[8];
        init_wsq_decoder_tables(nullptr, nullptr, dht);
        auto r = both(
            c.body,
            [&](const unsigned char** cur, const unsigned char* e) { return getc_huffman_table_wsq(dht, cur, e); },
            [&](FILE* f) {
                wsq_huff_table d2[8];
                init_wsq_decoder_tables(nullptr, nullptr, d2);
                return read_huffman_table_wsq(d2, f);
            });
        EXPECT_EQ(r.first, c.rc);
        EXPECT_EQ(r.second, c.rc);
    }
    // A later segment may redefine a slot with its first table.
    wsq_huff_table dht[8];
    init_wsq_decoder_tables(nullptr, nullptr, dht);
    Bytes a = segment({table(3, {1})}), b = segment({table(3, {0, 2})});
    const unsigned char* cur = a.data();
    ASSERT_EQ(getc_huffman_table_wsq(dht, &cur, a.data() + a.size()), 0);
    cur = b.data();
    ASSERT_EQ(getc_huffman_table_wsq(dht, &cur, b.data() + b.size()), 0);
    EXPECT_EQ(dht[3].huffbits[1], 2);
    EXPECT_EQ(dht[3].huffvalues[1], 2);
}

TEST(WsqSegments, SkipAndDispatch) {
    struct Case {
        Bytes b;
        int mem_rc;
    } cases[] = {{{0x00, 0x04, 1, 2, 0xFF}, 0}, {{0x00, 0x04, 1, 2}, -2}, {{0x00, 0x01, 1}, -2}, {{0x00, 0x02, 9}, 0}};
    for (const auto& c : cases) {
        const unsigned char* cur = c.b.data();
        EXPECT_EQ(getc_skip_marker_segment(COM_WSQ, &cur, c.b.data() + c.b.size()), c.mem_rc);
        if (c.mem_rc) {
            EXPECT_EQ(cur, c.b.data() + 2);
        }
    }
    FILE* fp = stream_of({0x00, 0x01, 1});
    EXPECT_EQ(read_skip_marker_segment(COM_WSQ, fp), -2);
    fclose(fp);
    wsq_transform_table dtt;
    wsq_quant_table dqt;
    wsq_huff_table dht[8];
    init_wsq_decoder_tables(&dtt, &dqt, dht);
    Bytes com = {0x00, 0x05, 'a', 'b', 'c'};
    auto r = both(
        com,
        [&](const unsigned char** c, const unsigned char* e) { return getc_table_wsq(COM_WSQ, &dtt, &dqt, dht, c, e); },
        [&](FILE* f) { return read_table_wsq(COM_WSQ, &dtt, &dqt, dht, f); });
    EXPECT_EQ(r, std::make_pair(0, 0));
    r = both(
        com,
        [&](const unsigned char** c, const unsigned char* e) { return getc_table_wsq(SOF_WSQ, &dtt, &dqt, dht, c, e); },
        [&](FILE* f) { return read_table_wsq(SOF_WSQ, &dtt, &dqt, dht, f); });
    EXPECT_EQ(r, std::make_pair(-93, -75));
}

namespace {

Bytes com_seg(const std::string& text) {
    return concat({{0xFF, 0xA8}, be16(static_cast<unsigned>(text.size() + 2)), Bytes(text.begin(), text.end())});
}

// ppi from both media; the stream must stand where it stood before the lookup.
std::pair<int, int> ppi_both(const Bytes& data, int* mem_ppi, int* file_ppi) {
    int rm = getc_ppi_wsq(mem_ppi, data.data(), static_cast<int>(data.size()));
    FILE* fp = stream_of(data);
    fseek(fp, 3, SEEK_SET);
    int rf = read_ppi_wsq(file_ppi, fp);
    EXPECT_EQ(ftell(fp), 3);
    fclose(fp);
    return {rm, rf};
}

}  // namespace

TEST(WsqSegments, NistCommentLookup) {
    const Bytes soi = {0xFF, 0xA0}, sob = {0xFF, 0xA3, 0x00, 0x03, 0x00, 0xFF, 0xA1};
    struct Case {
        Bytes data;
        int rc, ppi;
    } cases[] = {
        {concat({soi, com_seg("Kestrilon"), com_seg("NIST_COM 2\nPPI 500"), sob}), 0, 500},
        {concat({soi, com_seg("NIST_COMX 2\nPPI 1000"), sob}), 0, 1000},
        {concat({soi, com_seg("NIST_CO"), Bytes{0xFF, 0xA1, 0x00, 0x02}, sob}), 0, -1},
        {concat({soi, com_seg("NIST_COM 1\nPIX_WIDTH 9"), sob}), 0, -1},
        {concat({soi, com_seg("NIST_COM 1\nPPI"), sob}), 0, -1},
        {concat({soi, sob, com_seg("NIST_COM 2\nPPI 500")}), 0, -1},
        {concat({{0xFF, 0xA1}, sob}), -88, 0},
        {concat({soi, com_seg("NIST_COM 2\n" + std::string(600, 'P')), sob}), kFetTooLong, 0},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; i++) {
        const auto& c = cases[i];
        int pm = 7, pf = 7;
        auto r = ppi_both(c.data, &pm, &pf);
        EXPECT_EQ(r.first, c.rc) << i;
        EXPECT_EQ(r.second, c.rc == -88 ? -70 : c.rc) << i;
        if (c.rc == 0) {
            EXPECT_EQ(pm, c.ppi) << i;
            EXPECT_EQ(pf, c.ppi) << i;
        }
    }
    // A COM at the very end with fewer than 10 bytes is not looked past.
    Bytes tail = concat({soi, {0xFF, 0xA8, 0x00, 0x05, 'N', 'I'}});
    FET* f = nullptr;
    EXPECT_EQ(getc_nistcom_wsq(&f, tail.data(), static_cast<int>(tail.size())), -2);
    EXPECT_EQ(f, nullptr);
}

TEST(WsqSegments, NistCommentWriting) {
    std::vector<unsigned char> buf(1024);
    struct Case {
        const char* text;
        int segments;
        const char* second;
    } cases[] = {{nullptr, 1, nullptr}, {"Kestrilon", 2, "Kestrilon"}, {"", 2, ""}, {"NIST_COM 2\nMY x", 1, nullptr}};
    for (const auto& c : cases) {
        int used = 0;
        ASSERT_EQ(putc_nistcom_wsq(c.text, 256, 360, 8, 500, 1, 0.75f, buf.data(), 1024, &used), 0);
        const unsigned char* cur = buf.data();
        const unsigned char* end = buf.data() + used;
        int n = 0;
        std::string first, second;
        while (cur < end) {
            unsigned short m;
            ASSERT_EQ(getc_ushort(&m, &cur, end), 0);
            ASSERT_EQ(m, COM_WSQ);
            unsigned char* t;
            ASSERT_EQ(getc_comment(&t, &cur, end), 0);
            (n == 0 ? first : second) = reinterpret_cast<char*>(t);
            free(t);
            n++;
        }
        EXPECT_EQ(n, c.segments);
        EXPECT_EQ(first.substr(0, 11), c.text && c.text[0] == 'N' ? "NIST_COM 10" : "NIST_COM 9\n");
        if (c.second) {
            EXPECT_EQ(second, c.second);
        }
    }
    int used = 0;
    const std::string huge(70000, 'k');
    EXPECT_EQ(putc_nistcom_wsq(huge.c_str(), 1, 1, 8, 500, 1, 0.75f, buf.data(), 1024, &used), kCommentTooLong);
    used = 0;
    EXPECT_EQ(putc_nistcom_wsq(nullptr, 1, 1, 8, 500, 1, 0.75f, buf.data(), 50, &used), NIST_ERR_PUTC_BYTES);
}
