// WSQ encode and decode of a 640 x 480 grey image at the image library's two bit rates, and decode of
// a 2048 x 2048 picture of fingers.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <vector>

#include "finger_gen.h"
#include "wsq.h"

namespace {

std::vector<unsigned char> image_640() {
    std::vector<unsigned char> img(640 * 480), f(fingergen::kPixels);
    for (int q = 0; q < 4; q++) {
        fingergen::finger_image(3 + q, 0, f.data(), nullptr);
        for (int y = 0; y < 240; y++)
            for (int x = 0; x < 320; x++) img[((q / 2) * 240 + y) * 640 + (q % 2) * 320 + x] = f[y * 320 + x];
    }
    return img;
}

float rate_of(int64_t arg) { return arg == 0 ? 0.75f : 2.25f; }

void BM_WsqEncode640(benchmark::State& state) {
    const auto img = image_640();
    const float rate = rate_of(state.range(0));
    for (auto _ : state) {
        unsigned char* out = nullptr;
        int len = 0;
        if (wsq_encode_1(&out, &len, rate, img.data(), 640, 480, 8, 500, "Kestrilon") != 0)
            state.SkipWithError("encode");
        benchmark::DoNotOptimize(out);
        free(out);
    }
    state.SetBytesProcessed(state.iterations() * 640 * 480);
}

// Encodes the picture once, then times its decode from memory.
void decode_loop(benchmark::State& state, const std::vector<unsigned char>& img, int w, int h) {
    unsigned char* stream = nullptr;
    int len = 0;
    if (wsq_encode_1(&stream, &len, rate_of(state.range(0)), img.data(), w, h, 8, 500, "Kestrilon") != 0) {
        state.SkipWithError("encode");
        return;
    }
    for (auto _ : state) {
        unsigned char* px = nullptr;
        int dw, dh, d, ppi, lossy;
        if (wsq_decode_mem(&px, &dw, &dh, &d, &ppi, &lossy, stream, len) != 0) state.SkipWithError("decode");
        benchmark::DoNotOptimize(px);
        free(px);
    }
    free(stream);
}

void BM_WsqDecode640(benchmark::State& state) {
    decode_loop(state, image_640(), 640, 480);
    state.SetBytesProcessed(state.iterations() * 640 * 480);
}

void BM_WsqDecode2048(benchmark::State& state) {
    const int side = 2048;
    std::vector<unsigned char> img(static_cast<size_t>(side) * side), f(fingergen::kPixels);
    for (int ty = 0; ty * fingergen::kHeight < side; ty++)
        for (int tx = 0; tx * fingergen::kWidth < side; tx++) {
            fingergen::finger_image(ty * 8 + tx + 1, 0, f.data(), nullptr);
            for (int y = 0; y < fingergen::kHeight && ty * fingergen::kHeight + y < side; y++)
                for (int x = 0; x < fingergen::kWidth && tx * fingergen::kWidth + x < side; x++)
                    img[static_cast<size_t>(ty * fingergen::kHeight + y) * side + tx * fingergen::kWidth + x] =
                        f[static_cast<size_t>(y) * fingergen::kWidth + x];
        }
    decode_loop(state, img, side, side);
    state.SetItemsProcessed(state.iterations() * side * side);
}

}  // namespace

BENCHMARK(BM_WsqEncode640)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WsqDecode640)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WsqDecode2048)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
