// Speed of the recognition library's four working calls on generated fingers, one core.
#include <benchmark/benchmark.h>

#include <vector>

#include "finger_gen.h"
#include "qvfv_alg_api.h"

namespace {

struct Inputs {
    std::vector<unsigned char> grey[3];
    std::vector<unsigned char> bmp[3];
    std::vector<unsigned char> tmpl = std::vector<unsigned char>(FV_TMPL_SIZE, 0);
    std::vector<unsigned char> feature = std::vector<unsigned char>(50000, 0);
    Inputs() {
        veinalg_init_handle(nullptr, 0);
        for (int k = 0; k < 3; ++k) {
            grey[k] = fingergen::finger_image(11, k);
            bmp[k] = fingergen::grey_to_bmp(grey[k].data(), 320, 240);
        }
        _image imgs[3];
        for (int k = 0; k < 3; ++k) imgs[k] = {bmp[k].data(), static_cast<int>(bmp[k].size())};
        veinalg_make_tmpl(nullptr, imgs, 3, tmpl.data(), nullptr);
        std::vector<unsigned char> probe = fingergen::grey_to_bmp(fingergen::finger_image(11, 4).data(), 320, 240);
        _image p{probe.data(), static_cast<int>(probe.size())};
        veinalg_make_feature(nullptr, &p, 1, feature.data(), static_cast<int>(feature.size()), nullptr);
    }
};

const Inputs& inputs() {
    static const Inputs in;
    return in;
}

void BM_ImageQuality(benchmark::State& state) {
    const auto& in = inputs();
    for (auto _ : state) benchmark::DoNotOptimize(veinalg_image_quality(in.grey[0].data(), 320, 240));
}
BENCHMARK(BM_ImageQuality);

void BM_MakeFeature(benchmark::State& state) {
    const auto& in = inputs();
    std::vector<unsigned char> out(50000);
    _image img{const_cast<unsigned char*>(in.bmp[0].data()), static_cast<int>(in.bmp[0].size())};
    for (auto _ : state)
        benchmark::DoNotOptimize(
            veinalg_make_feature(nullptr, &img, 1, out.data(), static_cast<int>(out.size()), nullptr));
}
BENCHMARK(BM_MakeFeature)->Unit(benchmark::kMillisecond);

void BM_MakeTmpl3(benchmark::State& state) {
    const auto& in = inputs();
    std::vector<unsigned char> out(FV_TMPL_SIZE);
    _image imgs[3];
    for (int k = 0; k < 3; ++k)
        imgs[k] = {const_cast<unsigned char*>(in.bmp[k].data()), static_cast<int>(in.bmp[k].size())};
    for (auto _ : state) benchmark::DoNotOptimize(veinalg_make_tmpl(nullptr, imgs, 3, out.data(), nullptr));
}
BENCHMARK(BM_MakeTmpl3)->Unit(benchmark::kMillisecond);

void BM_Match(benchmark::State& state) {
    const auto& in = inputs();
    for (auto _ : state)
        benchmark::DoNotOptimize(
            veinalg_match(nullptr, in.tmpl.data(), FV_TMPL_SIZE, in.feature.data(), FV_FEATURE_SIZE, nullptr));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Match);

}  // namespace

BENCHMARK_MAIN();
