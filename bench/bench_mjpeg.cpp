// Decoding the same MJPEG frames with jpeg_decode and with libjpeg-turbo, both to YUV at
// full size; prints each time and the ratio. Run once as is and once with
// JSIMD_FORCENONE=1 to compare against libjpeg-turbo without its SIMD code.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include <jpeglib.h>

#include "jpeg_decoder.h"
#include "jpeg_encode.h"

namespace {

using Bytes = std::vector<unsigned char>;

unsigned char clamp8(double v) { return static_cast<unsigned char>(v < 0 ? 0 : v > 255 ? 255 : v); }

Bytes picture(int w, int h, bool noisy) {
    Bytes rgb(static_cast<size_t>(w) * h * 3);
    uint32_t s = 7;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            unsigned char* p = &rgb[(static_cast<size_t>(y) * w + x) * 3];
            double v[3] = {40 + 150.0 * x / w + 30 * std::sin(y * 0.05), 60 + 120.0 * y / h + 25 * std::cos(x * 0.04),
                           200 - 100.0 * (x + y) / (w + h)};
            for (int c = 0; c < 3; ++c) {
                if (noisy) {
                    s = s * 1664525u + 1013904223u;
                    v[c] += static_cast<int>((s >> 24) % 121) - 60;
                }
                p[c] = clamp8(v[c]);
            }
        }
    return rgb;
}

// A camera-like frame: 4:2:2, quality 90, standard Huffman tables.
Bytes frame(int w, int h, bool noisy) {
    const Bytes rgb = picture(w, h, noisy);
    return jpeg_test::encode_jpeg(rgb.data(), 3, w, h);
}

const Bytes& cached_frame(int w, int h, bool noisy) {
    static std::map<std::string, Bytes> frames;
    const std::string key = std::to_string(w) + "x" + std::to_string(h) + (noisy ? "n" : "s");
    auto it = frames.find(key);
    if (it == frames.end()) it = frames.emplace(key, frame(w, h, noisy)).first;
    return it->second;
}

void BM_ours(benchmark::State& state) {
    const int w = static_cast<int>(state.range(0)), h = static_cast<int>(state.range(1));
    const Bytes& f = cached_frame(w, h, state.range(2) != 0);
    Bytes out(static_cast<size_t>(w) * 2 * h);
    for (auto _ : state) {
        const int r = jpeg_decode_bounded(out.data(), w * 2, f.data(), f.size(), w, h);
        if (r != 0) state.SkipWithError("decode failed");
        benchmark::DoNotOptimize(out.data());
    }
}

// libjpeg-turbo to full-size YCbCr: fast = JDCT_IFAST without fancy upsampling, its
// quickest setting; otherwise its defaults.
void libjpeg_decode(const Bytes& f, Bytes& out, bool fast) {
    jpeg_decompress_struct d;
    jpeg_error_mgr err;
    d.err = jpeg_std_error(&err);
    jpeg_create_decompress(&d);
    jpeg_mem_src(&d, f.data(), f.size());
    jpeg_read_header(&d, TRUE);
    d.out_color_space = JCS_YCbCr;
    if (fast) {
        d.dct_method = JDCT_IFAST;
        d.do_fancy_upsampling = FALSE;
    }
    jpeg_start_decompress(&d);
    const size_t stride = static_cast<size_t>(d.output_width) * 3;
    while (d.output_scanline < d.output_height) {
        JSAMPROW r = &out[d.output_scanline * stride];
        jpeg_read_scanlines(&d, &r, 1);
    }
    jpeg_finish_decompress(&d);
    jpeg_destroy_decompress(&d);
}

void BM_libjpeg(benchmark::State& state, bool fast) {
    const int w = static_cast<int>(state.range(0)), h = static_cast<int>(state.range(1));
    const Bytes& f = cached_frame(w, h, state.range(2) != 0);
    Bytes out(static_cast<size_t>(w) * 3 * h);
    for (auto _ : state) {
        libjpeg_decode(f, out, fast);
        benchmark::DoNotOptimize(out.data());
    }
}

void BM_libjpeg_default(benchmark::State& state) { BM_libjpeg(state, false); }
void BM_libjpeg_fast(benchmark::State& state) { BM_libjpeg(state, true); }

void sizes(benchmark::internal::Benchmark* b) {
    for (int noisy : {0, 1}) {
        b->Args({320, 240, noisy});
        b->Args({640, 480, noisy});
    }
    b->ArgNames({"w", "h", "noisy"})->Unit(benchmark::kMicrosecond);
}

BENCHMARK(BM_ours)->Apply(sizes);
BENCHMARK(BM_libjpeg_default)->Apply(sizes);
BENCHMARK(BM_libjpeg_fast)->Apply(sizes);

// Collects the per-iteration times to print the ratios after the table.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    std::map<std::string, double> times;
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const auto& r : runs)
            if (!r.error_occurred && r.run_type == Run::RT_Iteration)
                times[r.benchmark_name()] = r.GetAdjustedRealTime();
    }
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const char* simd = std::getenv("JSIMD_FORCENONE");
    std::printf("\nlibjpeg-turbo SIMD: %s\n", simd && std::string(simd) == "1" ? "off (JSIMD_FORCENONE=1)" : "on");
    for (const auto& [name, t] : reporter.times) {
        if (name.rfind("BM_ours/", 0) != 0) continue;
        const std::string args = name.substr(std::string("BM_ours").size());
        for (const char* lib : {"BM_libjpeg_default", "BM_libjpeg_fast"}) {
            auto it = reporter.times.find(lib + args);
            if (it == reporter.times.end()) continue;
            std::printf("%-28s ours %8.1f us  %-18s %8.1f us  ratio %.2f\n", args.c_str(), t, lib + 3, it->second,
                        t / it->second);
        }
    }
    benchmark::Shutdown();
    return 0;
}
