// The MJPEG decoder against libjpeg, and one crafted frame for each of its results.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "codec_helpers.h"
#include "jpeg_decoder.h"

using namespace codec_test;

namespace {

int decode(const Bytes& frame, Bytes& out, int width, int height) {
    out.assign(static_cast<size_t>(width) * 2 * height, 0);
    // An exactly sized heap copy, so that ASan sees any read past the frame.
    std::unique_ptr<unsigned char[]> copy(new unsigned char[frame.size() ? frame.size() : 1]);
    if (!frame.empty()) std::memcpy(copy.get(), frame.data(), frame.size());
    return jpeg_decode_bounded(out.data(), width * 2, copy.get(), frame.size(), width, height);
}

int decode(const Bytes& frame, int width, int height) {
    Bytes out;
    return decode(frame, out, width, height);
}

Bytes picture(bool noisy, int w, int h) { return noisy ? noisy_rgb(w, h) : smooth_rgb(w, h); }

struct ReferenceCase {
    const char* name;
    int width, height;
    bool noisy;
    Sampling sampling;
    bool dht;
    int restart;
    bool optimize;
};

TEST(JpegDecoder, AgreesWithLibjpeg) {
    const ReferenceCase cases[] = {
        {"smooth 320x240 4:2:2 no DHT", 320, 240, false, Sampling::S422, false, 0, false},
        {"noisy 320x240 4:2:2 no DHT", 320, 240, true, Sampling::S422, false, 0, false},
        {"smooth 320x240 4:2:2 DHT", 320, 240, false, Sampling::S422, true, 0, false},
        {"noisy 640x480 4:2:2 no DHT restart 4", 640, 480, true, Sampling::S422, false, 4, false},
        {"smooth 640x480 4:2:0 DHT", 640, 480, false, Sampling::S420, true, 0, false},
        {"noisy 320x240 4:2:0 no DHT restart 7", 320, 240, true, Sampling::S420, false, 7, false},
        {"noisy 320x240 grey DHT", 320, 240, true, Sampling::Grey, true, 0, false},
        {"smooth 640x480 grey no DHT restart 1", 640, 480, false, Sampling::Grey, false, 1, false},
        {"noisy 320x240 4:4:4 DHT", 320, 240, true, Sampling::S444, true, 0, false},
        {"noisy 320x240 4:2:2 own optimised tables", 320, 240, true, Sampling::S422, true, 0, true},
        {"noisy 640x480 4:2:0 own tables restart 3", 640, 480, true, Sampling::S420, true, 3, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes coded =
            encode_jpeg(picture(c.noisy, c.width, c.height), c.width, c.height, c.sampling, 90, c.restart, c.optimize);
        Ycc ref;
        ASSERT_TRUE(decode_reference(coded, ref));
        const Bytes frame = c.dht ? coded : strip_dht(coded);
        if (!c.dht) {
            ASSERT_LT(find_marker(frame, 0xC4), 0);
        }
        Bytes ours;
        ASSERT_EQ(decode(frame, ours, c.width, c.height), 0);
        const Diff d = compare_yuyv(ours, ref);
        // Measured against libjpeg's accurate transform: at most 1 level, mean 0.06 to 0.13.
        EXPECT_LE(d.max, 2);
        EXPECT_LT(d.mean, 0.2);
        // The unbounded form decodes the same samples.
        Bytes unbounded(ours.size(), 0);
        Bytes copy = frame;
        EXPECT_EQ(jpeg_decode(unbounded.data(), c.width * 2, copy.data(), c.width, c.height), 0);
        EXPECT_EQ(unbounded, ours);
    }
}

// ---- crafted frames ----

// Segment helpers on libjpeg's well-formed output.
size_t seg(const Bytes& f, unsigned char code) {
    const long at = find_marker(f, code);
    EXPECT_GE(at, 0) << "marker " << std::hex << int(code);
    return at < 0 ? 0 : static_cast<size_t>(at);
}

Bytes with(Bytes f, size_t at, std::initializer_list<unsigned char> bytes) {
    for (unsigned char b : bytes) f.at(at++) = b;
    return f;
}

Bytes replace_segment(const Bytes& f, unsigned char code, const Bytes& payload) {
    const size_t at = seg(f, code);
    const size_t len = 2 + ((f[at + 2] << 8) | f[at + 3]);
    Bytes out(f.begin(), f.begin() + at);
    out.insert(out.end(), {0xFF, code, static_cast<unsigned char>((payload.size() + 2) >> 8),
                           static_cast<unsigned char>((payload.size() + 2) & 0xFF)});
    out.insert(out.end(), payload.begin(), payload.end());
    out.insert(out.end(), f.begin() + at + len, f.end());
    return out;
}

Bytes insert_after_soi(const Bytes& f, const Bytes& segment) {
    Bytes out(f.begin(), f.begin() + 2);
    out.insert(out.end(), segment.begin(), segment.end());
    out.insert(out.end(), f.begin() + 2, f.end());
    return out;
}

// Offset of the first FF Dn restart marker in the entropy-coded data.
size_t first_rst(const Bytes& f) {
    for (size_t i = seg(f, 0xDA); i + 1 < f.size(); ++i)
        if (f[i] == 0xFF && f[i + 1] >= 0xD0 && f[i + 1] <= 0xD7) return i;
    ADD_FAILURE() << "no restart marker";
    return 0;
}

TEST(JpegDecoder, EveryResultHasItsFrame) {
    // 32 x 16 colour frames: 4:2:2 has two MCUs, the restart one an RST after each.
    const Bytes rgb = noisy_rgb(32, 16);
    const Bytes f = strip_dht(encode_jpeg(rgb, 32, 16, Sampling::S422, 75));
    const Bytes rst = strip_dht(encode_jpeg(rgb, 32, 16, Sampling::S422, 75, 1));
    const Bytes grey = encode_jpeg(rgb, 32, 16, Sampling::Grey, 75);
    const Bytes with_dht = encode_jpeg(rgb, 32, 16, Sampling::S422, 75);
    const size_t sof = seg(f, 0xC0), sos = seg(f, 0xDA), dqt = seg(f, 0xDB);
    // SOF0: FF C0 Lh Ll P Yh Yl Xh Xl Nf (C H Tq)*; SOS: FF DA Lh Ll Ns (C T)* Ss Se A.
    const size_t comp1 = sof + 10, scan1 = sos + 5;
    const size_t dht = seg(with_dht, 0xC4);
    ASSERT_EQ(f[sof + 9], 3);
    ASSERT_EQ(f[comp1 + 1], 0x21);
    ASSERT_EQ(f[sos + 4], 3);

    Bytes over256 = {0xFF, 0xC4, 0x01, 0x15, 0x00};  // 16 counts summing to 257
    for (int i = 0; i < 15; ++i) over256.push_back(i == 14 ? 2 : 0);
    over256.push_back(255);
    over256.resize(over256.size() + 257, 0);
    const Bytes overfull = {0xFF, 0xC4, 0x00, 0x16, 0x00, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 3};

    Bytes no_eoi(f.begin(), f.end() - 2);
    Bytes frame_no_components = replace_segment(f, 0xC0, {8, 0, 16, 0, 32, 0});

    const struct {
        const char* name;
        Bytes frame;
        int width, height, expected;
    } cases[] = {
        {"valid", f, 32, 16, 0},
        {"valid with restarts", rst, 32, 16, 0},
        {"valid grey", grey, 32, 16, 0},
        {"smaller frame than the arguments", f, 64, 32, 0},
        {"no SOI", with(f, 1, {0xD9}), 32, 16, 1},
        {"empty", {}, 32, 16, 1},
        {"one byte", {0xFF}, 32, 16, 1},
        {"no SOF0", with(f, sof + 1, {0xC1}), 32, 16, 14},
        {"garbage between segments", with(f, dqt, {0x00}), 32, 16, 14},
        {"16-bit quantisation table", with(f, dqt + 4, {0x10}), 32, 16, 14},
        {"quantisation table id 4", with(f, dqt + 4, {0x04}), 32, 16, 14},
        {"Huffman table id 2", with(with_dht, dht + 4, {0x02}), 32, 16, 14},
        {"Huffman class 2", with(with_dht, dht + 4, {0x20}), 32, 16, 14},
        {"Huffman counts over 256", insert_after_soi(f, over256), 32, 16, 14},
        {"Huffman code space over-filled", insert_after_soi(f, overfull), 32, 16, 14},
        {"segment runs past the end", Bytes(f.begin(), f.begin() + dqt + 30), 32, 16, 14},
        {"SOF0 cut short", Bytes(f.begin(), f.begin() + sof + 12), 32, 16, 14},
        {"SOS cut short", Bytes(f.begin(), f.begin() + sos + 7), 32, 16, 14},
        {"no SOS", with(f, sos + 1, {0xDB}), 32, 16, 14},
        {"precision 12", with(f, sof + 4, {12}), 32, 16, 2},
        {"height not a multiple of 8", with(f, sof + 5, {0, 17}), 32, 24, 5},
        {"width not a multiple of 8", with(f, sof + 7, {0, 33}), 48, 16, 5},
        {"five frame components", with(f, sof + 9, {5}), 32, 16, 6},
        {"horizontal factor 4", with(f, comp1 + 1, {0x41}), 32, 16, 7},
        {"vertical factor 4", with(f, comp1 + 1, {0x14}), 32, 16, 7},
        {"frame quantisation table 4", with(f, comp1 + 2, {4}), 32, 16, 8},
        {"DC table 2", with(f, scan1 + 1, {0x20}), 32, 16, 8},
        {"AC table 2", with(f, scan1 + 1, {0x02}), 32, 16, 8},
        {"scan without components", with(f, sos + 4, {0}), 32, 16, 9},
        {"scan of five components", with(f, sos + 4, {5}), 32, 16, 9},
        {"scan with more components than the frame", with(grey, seg(grey, 0xDA) + 4, {2}), 32, 16, 9},
        {"first sampling 0x12", with(f, comp1 + 1, {0x12}), 32, 16, 9},
        {"two-component colour scan", with(f, sos + 4, {2}), 32, 16, 9},
        {"scan component not in the frame", with(f, scan1, {9}), 32, 16, 10},
        {"frame without components", frame_no_components, 32, 16, 10},
        {"frame wider than width", f, 16, 16, -5},
        {"frame taller than height", f, 32, 8, -5},
        {"restart marker out of order", with(rst, first_rst(rst) + 1, {0xD1}), 32, 16, 12},
        {"restart marker replaced by data", with(rst, first_rst(rst), {0x12, 0x34}), 32, 16, 12},
        {"frame ends without EOI", no_eoi, 32, 16, 13},
        {"another marker after the last MCU", with(f, f.size() - 1, {0xFE}), 32, 16, 13},
        {"data cut inside the scan", Bytes(f.begin(), f.begin() + sos + 20), 32, 16, 13},
    };
    for (const auto& c : cases) EXPECT_EQ(decode(c.frame, c.width, c.height), c.expected) << c.name;

    Bytes out(32 * 2 * 16);
    Bytes copy = f;
    EXPECT_EQ(jpeg_decode(out.data(), 64, nullptr, 32, 16), -1);
    EXPECT_EQ(jpeg_decode(nullptr, 64, copy.data(), 32, 16), -1);
    EXPECT_EQ(jpeg_decode_bounded(out.data(), 64, nullptr, 100, 32, 16), -1);
}

TEST(JpegDecoder, CameraFrameSizeDecidesTheMcuCount) {
    // A 320 x 240 4:2:2 frame: 20 x 30 MCUs with pitch 640; width 160 is too narrow.
    const Bytes f = strip_dht(encode_jpeg(smooth_rgb(320, 240), 320, 240, Sampling::S422));
    EXPECT_EQ(decode(f, 320, 240), 0);
    EXPECT_EQ(decode(f, 160, 240), -5);
    // A pitch wider than the row leaves the gap alone.
    Bytes out(800 * 240, 0xEE);
    Bytes copy = f;
    ASSERT_EQ(jpeg_decode(out.data(), 800, copy.data(), 320, 240), 0);
    for (int y = 0; y < 240; ++y) EXPECT_EQ(out[y * 800 + 640], 0xEE);
}

TEST(JpegDecoder, FramesWithTheirOwnTablesUseOnlyThose) {
    // Dropping the chroma AC table from a frame that brings DHT segments must not bring
    // back the standard one: the chroma blocks read as broken data.
    const Bytes coded = encode_jpeg(noisy_rgb(64, 32), 64, 32, Sampling::S422, 90);
    Bytes f = coded;
    size_t i = 2;
    bool removed = false;
    while (f[i + 1] != 0xDA) {
        const size_t len = 2 + ((f[i + 2] << 8) | f[i + 3]);
        if (f[i + 1] == 0xC4 && f[i + 4] == 0x11) {
            f.erase(f.begin() + i, f.begin() + i + len);
            removed = true;
            continue;
        }
        i += len;
    }
    // libjpeg writes each table in a segment of its own.
    ASSERT_TRUE(removed);
    EXPECT_EQ(decode(coded, 64, 32), 0);
    EXPECT_EQ(decode(f, 64, 32), 13);
    // Likewise a quantisation table that no DQT defined.
    const size_t sof = seg(coded, 0xC0);
    EXPECT_EQ(decode(with(coded, sof + 10 + 3 + 2, {3}), 64, 32), 13);
    // Even an empty DHT segment means the frame brings its own tables.
    const Bytes bare = strip_dht(coded);
    EXPECT_EQ(decode(bare, 64, 32), 0);
    EXPECT_EQ(decode(insert_after_soi(bare, {0xFF, 0xC4, 0x00, 0x02}), 64, 32), 13);
}

TEST(JpegDecoder, OneComponentScanOfAFourComponentFrameIsGrey) {
    const Bytes g = encode_jpeg(noisy_rgb(32, 16), 32, 16, Sampling::Grey, 80);
    const size_t sof = seg(g, 0xC0);
    ASSERT_EQ(g[sof + 9], 1);
    ASSERT_EQ(g[sof + 10], 1);  // component id 1
    const Bytes four = replace_segment(g, 0xC0, {8, 0, 16, 0, 32, 4, 1, 0x11, 0, 2, 0x11, 0, 3, 0x11, 0, 4, 0x11, 0});
    Bytes a, b;
    ASSERT_EQ(decode(g, a, 32, 16), 0);
    ASSERT_EQ(decode(four, b, 32, 16), 0);
    EXPECT_EQ(a, b);
    for (size_t i = 1; i < b.size(); i += 2) ASSERT_EQ(b[i], 128);
}

// A grey 8 x 8 frame built by hand: DQT with DC step 2, SOF0, SOS, one block coded with
// the standard tables (no DHT), EOI.
Bytes grey_block_frame(std::initializer_list<unsigned char> entropy) {
    Bytes f = {0xFF, 0xD8, 0xFF, 0xDB, 0x00, 0x43, 0x00, 2};
    f.resize(f.size() + 63, 1);
    f.insert(f.end(), {0xFF, 0xC0, 0x00, 0x0B, 8, 0, 8, 0, 8, 1, 1, 0x11, 0});
    f.insert(f.end(), {0xFF, 0xDA, 0x00, 0x08, 1, 1, 0x00, 0, 63, 0});
    f.insert(f.end(), entropy);
    f.insert(f.end(), {0xFF, 0xD9});
    return f;
}

TEST(JpegDecoder, DcOnlyBlockIsTheScaledLevel) {
    // DC step 2 scales to 2 * floor(724 * 724 / 2048) = 510. Category 7 code 11110, then
    // 7 bits of the value, then the luminance EOB 1010.
    const struct {
        const char* name;
        Bytes frame;
        int level;
    } cases[] = {
        {"+100", grey_block_frame({0xF6, 0x4A}), (0x40400 + 100 * 510) >> 11},  // 153
        {"-100", grey_block_frame({0xF1, 0xBA}), (0x40400 - 100 * 510) >> 11},  // 103
        {"0", grey_block_frame({0x2B}), 128},                                   // 00 1010 11
    };
    for (const auto& c : cases) {
        Bytes out;
        ASSERT_EQ(decode(c.frame, out, 8, 8), 0) << c.name;
        for (int i = 0; i < 64; ++i) {
            ASSERT_EQ(out[2 * i], c.level) << c.name << " pixel " << i;
            ASSERT_EQ(out[2 * i + 1], 128) << c.name;
        }
    }
    EXPECT_EQ(153, (0x40400 + 100 * 510) >> 11);
}

TEST(JpegDecoder, RestartMarkersCountFromZeroAndWrapAfterSeven) {
    // 160 x 8 4:2:2, interval 1: ten MCUs and nine markers, so RST7 is followed by RST0.
    const Bytes g = strip_dht(encode_jpeg(noisy_rgb(160, 8), 160, 8, Sampling::S422, 80, 1));
    std::vector<size_t> at;
    for (size_t i = seg(g, 0xDA); i + 1 < g.size(); ++i)
        if (g[i] == 0xFF && g[i + 1] >= 0xD0 && g[i + 1] <= 0xD7) at.push_back(i);
    ASSERT_EQ(at.size(), 9u);
    ASSERT_EQ(g[at[8] + 1], 0xD0);
    EXPECT_EQ(decode(g, 160, 8), 0);
    EXPECT_EQ(decode(with(g, at[8] + 1, {0xD7}), 160, 8), 12);  // RST7 twice
    EXPECT_EQ(decode(with(g, at[3] + 1, {0xD4}), 160, 8), 12);  // skips RST3
}

TEST(JpegDecoder, ProgressiveFramesAreReadAsBaseline) {
    const Bytes p = encode_jpeg(smooth_rgb(64, 32), 64, 32, Sampling::S422, 90, 0, false, true);
    ASSERT_GE(find_marker(p, 0xC2), 0);
    const int r = decode(p, 64, 32);
    EXPECT_NE(r, 14);
    EXPECT_EQ(r, 13);
}

TEST(JpegDecoder, NeverReadsPastAnyPrefixOfAFrame) {
    // Every truncation of a frame with restarts, with and without its own tables.
    for (const Bytes& f : {encode_jpeg(noisy_rgb(48, 16), 48, 16, Sampling::S422, 70, 1),
                           strip_dht(encode_jpeg(noisy_rgb(32, 32), 32, 32, Sampling::S420, 70))}) {
        for (size_t n = 0; n < f.size(); ++n) {
            const int r = decode(Bytes(f.begin(), f.begin() + n), 48, 32);
            ASSERT_NE(r, 0) << "prefix " << n;
        }
    }
}

}  // namespace
