// Cost of preprocessing a generated finger (one core), whole and by its heaviest steps.
#include <benchmark/benchmark.h>

#include <vector>

#include "finger_gen.h"
#include "veinalg_internal.h"

namespace {

using Bytes = std::vector<unsigned char>;

struct Fixture {
    Bytes grey = fingergen::finger_image(3, 1);
    Bytes mask = Bytes(76800, 0);
    Fixture() {
        veinalg_init_handle(nullptr, 0);
        for (int y = 60; y <= 180; ++y)
            for (int x = 0; x < 320; ++x) mask[y * 320 + x] = 1;
    }
};

void BM_PreprocessImage(benchmark::State& state) {
    Fixture f;
    Bytes img(76800), mask(76800);
    for (auto _ : state) {
        img = f.grey;
        benchmark::DoNotOptimize(PreprocessImage(img.data(), mask.data()));
    }
}
BENCHMARK(BM_PreprocessImage)->Unit(benchmark::kMillisecond);

void BM_FindVeinBoundary(benchmark::State& state) {
    Fixture f;
    short top[320], bottom[320];
    for (auto _ : state) benchmark::DoNotOptimize(FindVeinBoundary(f.grey.data(), top, bottom));
}
BENCHMARK(BM_FindVeinBoundary)->Unit(benchmark::kMicrosecond);

template <int (*Step)(unsigned char*, const unsigned char*, short, short)>
void BM_Filter(benchmark::State& state) {
    Fixture f;
    Bytes img(76800);
    for (auto _ : state) {
        img = f.grey;
        benchmark::DoNotOptimize(Step(img.data(), f.mask.data(), 60, 180));
    }
}
BENCHMARK_TEMPLATE(BM_Filter, MedianFilter)->Unit(benchmark::kMicrosecond);
BENCHMARK_TEMPLATE(BM_Filter, InvertAndRemoveNoisePoint)->Unit(benchmark::kMicrosecond);

void BM_HistogramEqualize(benchmark::State& state) {
    Fixture f;
    Bytes img(76800);
    for (auto _ : state) {
        img = f.grey;
        benchmark::DoNotOptimize(HistogramEqualize(img.data(), 15, f.mask.data(), 60, 180));
    }
}
BENCHMARK(BM_HistogramEqualize)->Unit(benchmark::kMicrosecond);

void BM_CalcImageCurvature(benchmark::State& state) {
    Fixture f;
    Bytes img(76800), cmask(76800);
    for (auto _ : state) {
        img = f.grey;
        benchmark::DoNotOptimize(CalcImageCurvature(img.data(), f.mask.data(), cmask.data(), 60, 180));
    }
}
BENCHMARK(BM_CalcImageCurvature)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
