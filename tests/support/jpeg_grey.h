// libjpeg's own decoding of a JPEG frame to its grey plane: the reference the tests and the
// demonstration compare the driver's frames with, or save them from.
#pragma once
#include <stdio.h>

#include <jpeglib.h>

#include <csetjmp>
#include <cstdint>
#include <vector>

namespace jpeg_grey_detail {
struct Failure {
    jpeg_error_mgr mgr;
    jmp_buf jump;
};
}  // namespace jpeg_grey_detail

// The frame's grey plane into grey (the caller's), with its size; false for data libjpeg refuses.
inline bool jpeg_grey(const std::vector<uint8_t>& frame, std::vector<unsigned char>& grey, int& width, int& height) {
    jpeg_decompress_struct d;
    jpeg_grey_detail::Failure err;
    d.err = jpeg_std_error(&err.mgr);
    err.mgr.error_exit = [](j_common_ptr c) { longjmp(reinterpret_cast<jpeg_grey_detail::Failure*>(c->err)->jump, 1); };
    jpeg_create_decompress(&d);
    if (setjmp(err.jump)) {
        jpeg_destroy_decompress(&d);
        return false;
    }
    jpeg_mem_src(&d, frame.data(), static_cast<unsigned long>(frame.size()));
    jpeg_read_header(&d, TRUE);
    d.out_color_space = JCS_GRAYSCALE;
    jpeg_start_decompress(&d);
    width = static_cast<int>(d.output_width);
    height = static_cast<int>(d.output_height);
    grey.resize(static_cast<size_t>(width) * height);
    while (d.output_scanline < d.output_height) {
        JSAMPROW row = grey.data() + static_cast<size_t>(d.output_scanline) * width;
        jpeg_read_scanlines(&d, &row, 1);
    }
    jpeg_finish_decompress(&d);
    jpeg_destroy_decompress(&d);
    return true;
}
