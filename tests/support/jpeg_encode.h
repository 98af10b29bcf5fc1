// libjpeg's encoding of test pictures: the simulated scanner's MJPEG frames, the camera codec
// tests' frames and the decoder benchmark's. The caller owns the pixels; the result is a copy.
#pragma once
#include <stdio.h>

#include <jpeglib.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

namespace jpeg_test {

enum class Sampling { S420, S422, S444, Grey };

struct JpegSettings {
    Sampling sampling = Sampling::S422;
    int quality = 90;
    int restart_interval = 0;  // in MCUs, 0 none
    bool optimize = false;     // Huffman tables of the picture's own instead of the standard ones
    bool progressive = false;  // a progressive frame (SOF2)
};

// Baseline (unless progressive) encoding of width x height pixels. channels 1: a grey picture,
// written as the luma of a colour frame with chroma 128 (as a scanner sends it), or as a grey frame
// with Sampling::Grey; channels 3: RGB24, whose green channel makes the grey frame.
inline std::vector<uint8_t> encode_jpeg(const uint8_t* pixels, int channels, int width, int height,
                                        const JpegSettings& s = {}) {
    const bool grey_out = s.sampling == Sampling::Grey;
    jpeg_compress_struct c;
    jpeg_error_mgr err;
    c.err = jpeg_std_error(&err);
    jpeg_create_compress(&c);
    unsigned char* mem = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&c, &mem, &size);
    c.image_width = width;
    c.image_height = height;
    c.input_components = grey_out ? 1 : 3;
    c.in_color_space = grey_out ? JCS_GRAYSCALE : channels == 1 ? JCS_YCbCr : JCS_RGB;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, s.quality, TRUE);
    if (!grey_out) {
        c.comp_info[0].h_samp_factor = s.sampling == Sampling::S444 ? 1 : 2;
        c.comp_info[0].v_samp_factor = s.sampling == Sampling::S420 ? 2 : 1;
    }
    c.restart_interval = static_cast<unsigned>(s.restart_interval);
    c.optimize_coding = s.optimize ? TRUE : FALSE;
    if (s.progressive) jpeg_simple_progression(&c);
    jpeg_start_compress(&c, TRUE);
    std::vector<uint8_t> row(3 * static_cast<size_t>(width));
    while (c.next_scanline < c.image_height) {
        const uint8_t* src = pixels + static_cast<size_t>(c.next_scanline) * width * channels;
        for (int x = 0; x < width; ++x) {
            if (grey_out) {
                row[x] = channels == 1 ? src[x] : src[3 * x + 1];
            } else if (channels == 1) {
                row[3 * x] = src[x];
                row[3 * x + 1] = row[3 * x + 2] = 128;
            } else {
                row[3 * x] = src[3 * x];
                row[3 * x + 1] = src[3 * x + 1];
                row[3 * x + 2] = src[3 * x + 2];
            }
        }
        JSAMPROW r = row.data();
        jpeg_write_scanlines(&c, &r, 1);
    }
    jpeg_finish_compress(&c);
    std::vector<uint8_t> out(mem, mem + size);
    jpeg_destroy_compress(&c);
    std::free(mem);
    return out;
}

// The frame without its DHT segments before the scan, as MJPEG cameras send it.
inline std::vector<uint8_t> strip_dht(const std::vector<uint8_t>& j) {
    std::vector<uint8_t> out(j.begin(), j.begin() + 2);
    size_t i = 2;
    while (i + 4 <= j.size() && j[i] == 0xFF && j[i + 1] != 0xDA) {
        const size_t len = 2 + ((j[i + 2] << 8) | j[i + 3]);
        if (j[i + 1] != 0xC4) out.insert(out.end(), j.begin() + i, j.begin() + i + len);
        i += len;
    }
    out.insert(out.end(), j.begin() + i, j.end());
    return out;
}

}  // namespace jpeg_test
