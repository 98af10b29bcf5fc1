// The decoder, the conversions and the encoder are exported with their parameter types
// in the symbol; the decoder's bounded form and internal steps are not.
#include <dlfcn.h>
#include <gtest/gtest.h>

TEST(CodecExports, SymbolsCarryTheirParameterTypes) {
    void* sdk = dlopen(VEINSDK_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(sdk, nullptr) << dlerror();
    const char* exported[] = {
        "_Z11jpeg_decodePhiS_ii",        "_Z12yuyv_to_jpegPhS_iiiii",    "_Z12yyuv_to_yuyvPhiS_iii",
        "_Z12uyvy_to_yuyvPhiS_iii",      "_Z12yvyu_to_yuyvPhiS_iii",     "_Z12grey_to_yuyvPhiS_iii",
        "_Z11y16_to_yuyvPhiS_iii",       "_Z11rgb_to_yuyvPhiS_iii",      "_Z11bgr_to_yuyvPhiS_iii",
        "_Z14yuv420_to_yuyvPhiS_ii",     "_Z14yvu420_to_yuyvPhiS_ii",    "_Z12nv12_to_yuyvPhiS_ii",
        "_Z12nv21_to_yuyvPhiS_ii",       "_Z12nv16_to_yuyvPhiS_ii",      "_Z12nv61_to_yuyvPhiS_ii",
        "_Z12y41p_to_yuyvPhiS_ii",       "_Z12s501_to_yuyvPhiS_ii",      "_Z12s505_to_yuyvPhiS_ii",
        "_Z12s508_to_yuyvPhiS_ii",       "_Z14bayer_to_rgb24PhS_iii",    "_Z18yuyv_to_rgb24_linePhS_i",
        "_Z18yuyv_to_bgr24_linePhS_i",   "_Z18yuyv_to_rgb32_linePhS_i",  "_Z18yuyv_to_bgr32_linePhS_i",
        "_Z19yuyv_to_rgb565_linePhS_i",  "_Z13yuyv_to_rgb24PhiS_iii",    "_Z13yuyv_to_bgr24PhiS_iii",
        "_Z13yuyv_to_rgb32PhiS_iii",     "_Z13yuyv_to_bgr32PhiS_iii",    "_Z14yuyv_to_rgb565PhiS_iii",
        "_Z16yuyv_to_yvu420spPhiiS_iii", "_Z15yuyv_to_yvu420pPhiiS_iii", "_Z15yuyv_to_yuv420pPhiiS_iii",
        "_Z15yuyv_to_yvu422pPhiiS_iii",
    };
    for (const char* name : exported) EXPECT_NE(dlsym(sdk, name), nullptr) << name;
    for (const char* name : {"jpeg_decode", "_Z19jpeg_decode_boundedPhiPKhmii", "jpeg_fill_bits", "jpeg_read_markers",
                             "jpeg_build_huff_table", "jpeg_idct_block"})
        EXPECT_EQ(dlsym(sdk, name), nullptr) << name;
    dlclose(sdk);
}
