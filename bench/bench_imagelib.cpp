// Cost of the image library steps on the driver's enrolment and capture path.
#include <benchmark/benchmark.h>

#include <vector>

#include "imagelib.h"

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

}  // namespace

BENCHMARK_MAIN();
