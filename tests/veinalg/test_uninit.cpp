// Before veinalg_init_handle the working functions refuse (argument checks of make_tmpl come first);
// initialisation from many threads at once.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "finger_gen.h"
#include "qvfv_alg_api.h"

TEST(VeinalgBeforeInit, WorkingFunctionsRefuse) {
    std::vector<unsigned char> grey = fingergen::finger_image(1, 0);
    std::vector<unsigned char> bmp = fingergen::grey_to_bmp(grey.data(), 320, 240);
    _image img{bmp.data(), static_cast<int>(bmp.size())};
    std::vector<unsigned char> out(50000, 0);
    std::vector<unsigned char> tmpl(FV_TMPL_SIZE, 0), feature(FV_FEATURE_SIZE, 0);

    EXPECT_EQ(veinalg_make_feature(nullptr, &img, 1, out.data(), 50000, nullptr), -2);
    EXPECT_EQ(veinalg_make_feature(nullptr, &img, 0, nullptr, 0, nullptr), -2);  // checked before the arguments
    EXPECT_EQ(veinalg_make_tmpl(nullptr, &img, 1, out.data(), nullptr), -2);
    EXPECT_EQ(veinalg_make_tmpl(nullptr, &img, 1, nullptr, nullptr), 0);  // arguments first
    EXPECT_EQ(veinalg_make_tmpl(nullptr, nullptr, 1, out.data(), nullptr), 0);
    EXPECT_EQ(veinalg_make_tmpl(nullptr, &img, 0, out.data(), nullptr), 0);
    EXPECT_EQ(veinalg_match(nullptr, tmpl.data(), FV_TMPL_SIZE, feature.data(), FV_FEATURE_SIZE, nullptr), -2.0);
    EXPECT_EQ(veinalg_match(nullptr, nullptr, 0, nullptr, 0, nullptr), -2.0);
    for (unsigned char b : out) ASSERT_EQ(b, 0);

    // Quality and version do not need the tables.
    EXPECT_EQ(veinalg_image_quality(grey.data(), 320, 240), 1);
    FV_VERSION_INFO info{};
    EXPECT_EQ(veinalg_get_version_info(&info), 0);

    EXPECT_EQ(veinalg_init_handle(nullptr, 0), 0);
    EXPECT_EQ(veinalg_make_tmpl(nullptr, &img, 1, nullptr, nullptr), 0);
    EXPECT_NE(veinalg_match(nullptr, tmpl.data(), FV_TMPL_SIZE, feature.data(), FV_FEATURE_SIZE, nullptr), -2.0);
}

TEST(VeinalgBeforeInit, ConcurrentInitialisationAndWork) {
    // Many threads initialise at once and then work at once: every call succeeds and gives the same bytes.
    std::vector<unsigned char> grey = fingergen::finger_image(6, 2);
    std::vector<unsigned char> bmp = fingergen::grey_to_bmp(grey.data(), 320, 240);
    constexpr int kThreads = 8;
    std::vector<std::vector<unsigned char>> features(kThreads, std::vector<unsigned char>(FV_FEATURE_SIZE));
    std::vector<std::vector<unsigned char>> templates(kThreads, std::vector<unsigned char>(FV_TMPL_SIZE));
    std::vector<int> results(kThreads * 3, -100);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            results[3 * t] = veinalg_init_handle(nullptr, 0);
            _image img{bmp.data(), static_cast<int>(bmp.size())};
            results[3 * t + 1] = veinalg_make_feature(nullptr, &img, 1, features[t].data(), FV_FEATURE_SIZE, nullptr);
            _image three[3] = {img, img, img};
            results[3 * t + 2] = veinalg_make_tmpl(nullptr, three, 3, templates[t].data(), nullptr);
        });
    for (auto& th : threads) th.join();
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_EQ(results[3 * t], 0);
        EXPECT_EQ(results[3 * t + 1], FV_FEATURE_SIZE);
        EXPECT_EQ(results[3 * t + 2], FV_TMPL_SIZE);
        EXPECT_EQ(features[t], features[0]);
        EXPECT_EQ(templates[t], templates[0]);
    }
}
