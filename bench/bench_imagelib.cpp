// Cost of the image library steps on the driver's enrolment and capture path, of decoding legitimate
// files, and of the JPEG reader next to a bare libjpeg decode of the same files.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include <jpeglib.h>

#include "finger_gen.h"
#include "imagelib.h"
#include "jpeg_encode.h"

namespace {

void BM_EnrolmentBmp(benchmark::State& state) {
    std::vector<unsigned char> frame(320 * 240);
    for (size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<unsigned char>(i * 7);
    for (auto _ : state) {
        unsigned char* buf = nullptr;
        int len = 0;
        benchmark::DoNotOptimize(SaveImgBuff(frame.data(), 320, 240, 1, 19685, 2, 0, &buf, &len, 1));
        FreeImgBuff(&buf);
    }
}
BENCHMARK(BM_EnrolmentBmp);

void BM_Base64Feature(benchmark::State& state) {
    std::vector<unsigned char> feature(25764);
    for (size_t i = 0; i < feature.size(); ++i) feature[i] = static_cast<unsigned char>(i * 13);
    std::vector<char> text(34400);
    std::vector<unsigned char> back(25800);
    for (auto _ : state) {
        int n = Base64Encode(text.data(), feature.data(), static_cast<int>(feature.size()));
        benchmark::DoNotOptimize(Base64Decode(back.data(), text.data(), n));
    }
}
BENCHMARK(BM_Base64Feature);

void BM_Crc32Template(benchmark::State& state) {
    std::vector<unsigned char> tmpl(2972, 0x5A);
    for (auto _ : state) benchmark::DoNotOptimize(Crc32Update(0, tmpl.data(), static_cast<int>(tmpl.size())));
}
BENCHMARK(BM_Crc32Template);

// Decoding legitimate files: a finger image, and a 2048 x 2048 picture of finger images side by side,
// in each format the readers take, by format code (quality 1 for TIFF: LZW), in grey and colour.
std::vector<unsigned char> Fingers(int side) {
    std::vector<unsigned char> finger(fingergen::kPixels), px(static_cast<size_t>(side) * side);
    for (int ty = 0; ty * fingergen::kHeight < side; ++ty)
        for (int tx = 0; tx * fingergen::kWidth < side; ++tx) {
            fingergen::finger_image(ty * 8 + tx + 1, 0, finger.data());
            for (int y = 0; y < fingergen::kHeight && ty * fingergen::kHeight + y < side; ++y)
                for (int x = 0; x < fingergen::kWidth && tx * fingergen::kWidth + x < side; ++x)
                    px[static_cast<size_t>(ty * fingergen::kHeight + y) * side + tx * fingergen::kWidth + x] =
                        finger[static_cast<size_t>(y) * fingergen::kWidth + x];
        }
    return px;
}

void BM_Decode(benchmark::State& state) {
    const int format = static_cast<int>(state.range(0)), side = static_cast<int>(state.range(1));
    const bool colour = state.range(2) != 0;
    const int w = side == 320 ? 320 : side, h = side == 320 ? 240 : side;
    std::vector<unsigned char> px = side == 320 ? Fingers(320) : Fingers(side);
    px.resize(static_cast<size_t>(w) * h);
    if (colour) {
        std::vector<unsigned char> rgb(px.size() * 3);
        for (size_t i = 0; i < px.size(); ++i) {
            rgb[3 * i] = px[i];
            rgb[3 * i + 1] = static_cast<unsigned char>(255 - px[i]);
            rgb[3 * i + 2] = static_cast<unsigned char>(px[i] / 2);
        }
        px.swap(rgb);
    }
    unsigned char* file = nullptr;
    int capacity = 0;
    const int n = SaveImgBuff(px.data(), w, h, colour ? 0 : 1, 500, -1, format == 3 ? 1 : 0, &file, &capacity, format);
    if (n <= 0) {
        state.SkipWithError("encoding failed");
        return;
    }
    for (auto _ : state) {
        unsigned char* img = nullptr;
        int iw = 0, ih = 0, layout = 0, dpi = 0;
        benchmark::DoNotOptimize(LoadImgBuff(&img, &iw, &ih, &layout, &dpi, -1, file, n));
        FreeImgData(&img);
    }
    state.SetItemsProcessed(state.iterations() * w * h);
    FreeImgBuff(&file);
}
// format code (1 BMP, 3 TIFF, 4 PNG, 7 JPEG-2000 code stream, 13 PGM, 14 PPM), side, colour
BENCHMARK(BM_Decode)
    ->ArgNames({"format", "side", "colour"})
    ->Args({1, 320, 0})
    ->Args({3, 320, 0})
    ->Args({4, 320, 0})
    ->Args({13, 320, 0})
    ->Args({1, 2048, 0})
    ->Args({3, 2048, 0})
    ->Args({4, 2048, 0})
    ->Args({13, 2048, 0})
    ->Args({1, 2048, 1})
    ->Args({3, 2048, 1})
    ->Args({4, 2048, 1})
    ->Args({14, 2048, 1})
    ->Args({7, 320, 0})
    ->Args({7, 2048, 0})
    ->Args({7, 2048, 1})
    ->Unit(benchmark::kMillisecond);

using Bytes = std::vector<unsigned char>;

// A finger picture of w x h (grey, or R,G,B from the grey), scaled from the generator's 320 x 240.
Bytes FingerPicture(int w, int h, int comps) {
    Bytes finger(fingergen::kPixels);
    fingergen::finger_image(6, 0, finger.data());
    Bytes px(static_cast<size_t>(w) * h * comps);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            for (int c = 0; c < comps; ++c) {
                const int v = finger[(y * fingergen::kHeight / h) * fingergen::kWidth + x * fingergen::kWidth / w];
                px[(static_cast<size_t>(y) * w + x) * comps + c] = static_cast<unsigned char>(v * (4 - c) / 4);
            }
    return px;
}

Bytes Compress(const Bytes& px, int w, int h, int comps, bool progressive) {
    jpeg_test::JpegSettings s;
    s.sampling = comps == 1 ? jpeg_test::Sampling::Grey : jpeg_test::Sampling::S420;
    s.progressive = progressive;
    return jpeg_test::encode_jpeg(px.data(), comps, w, h, s);
}

// 0: the driver's 320 x 240 grey; 1: 1280 x 960 colour; 2: the same, progressive.
const Bytes& JpegFile(int kind) {
    static const std::vector<Bytes> files = {
        Compress(FingerPicture(320, 240, 1), 320, 240, 1, false),
        Compress(FingerPicture(1280, 960, 3), 1280, 960, 3, false),
        Compress(FingerPicture(1280, 960, 3), 1280, 960, 3, true),
    };
    return files[static_cast<size_t>(kind)];
}

void BM_ReadJpeg(benchmark::State& state) {
    const Bytes& file = JpegFile(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        unsigned char* img = nullptr;
        int w = 0, h = 0, layout = 0, dpi = 0;
        benchmark::DoNotOptimize(
            LoadImgBuff(&img, &w, &h, &layout, &dpi, -1, file.data(), static_cast<int>(file.size())));
        FreeImgData(&img);
    }
}
BENCHMARK(BM_ReadJpeg)->DenseRange(0, 2)->Unit(benchmark::kMicrosecond);

// The floor of any reader over libjpeg: decode to the same layout, no checks.
void BM_ReadJpegBareLibjpeg(benchmark::State& state) {
    const Bytes& file = JpegFile(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        jpeg_decompress_struct c;
        jpeg_error_mgr err;
        c.err = jpeg_std_error(&err);
        jpeg_create_decompress(&c);
        jpeg_mem_src(&c, file.data(), static_cast<unsigned long>(file.size()));
        jpeg_read_header(&c, TRUE);
        jpeg_start_decompress(&c);
        const size_t stride = static_cast<size_t>(c.output_width) * c.output_components;
        unsigned char* img = static_cast<unsigned char*>(malloc(stride * c.output_height));
        while (c.output_scanline < c.output_height) {
            JSAMPROW row = img + stride * c.output_scanline;
            jpeg_read_scanlines(&c, &row, 1);
        }
        jpeg_finish_decompress(&c);
        jpeg_destroy_decompress(&c);
        benchmark::DoNotOptimize(img[0]);
        free(img);
    }
}
BENCHMARK(BM_ReadJpegBareLibjpeg)->DenseRange(0, 2)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
