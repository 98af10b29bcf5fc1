// Alpha channels by colour key, automatic threshold or a separate alpha plane.
#include <cstdlib>
#include <cstring>

#include "img_buffer.h"
#include "img_codec.h"
#include "img_codec_util.h"
#include "img_geometry.h"

using namespace imgcodec;

namespace {

// Whether a value gets the alpha value: within the tolerance of the threshold (tolerance 0
// or more), at or above it (-1), or at or below it (any other negative tolerance).
bool KeyMatch(int v, int t, int tolerance, int tol) {
    if (tolerance >= 0) return std::abs(v - t) <= tol;
    if (tolerance == -1) return v >= t;
    return v <= t;
}

unsigned char Unpremultiply(unsigned char c, unsigned char a) {
    if (a == 0) return c;
    const int v = c * 255 / a;
    return static_cast<unsigned char>(v > 255 ? 255 : v);
}

}  // namespace

unsigned char* AddTransparency(const unsigned char* pixels, int width, int height, int* layout, int key, int tolerance,
                               int alpha, const unsigned char* alpha_plane, int target_format) {
    if (pixels == nullptr || layout == nullptr || !SizeOk(width, height) || key < -6) return nullptr;
    const int in = *layout;
    if (in != 0 && in != 1 && in != 2 && in != 4 && in != 5) return nullptr;
    const unsigned char av = static_cast<unsigned char>(alpha >= 0 && alpha <= 255 ? alpha : 127);
    const size_t n = static_cast<size_t>(width) * height;
    const bool grey = in == 1 || in == 2;

    if (key == -4) {
        if (in != 4) return nullptr;
        unsigned char* out = static_cast<unsigned char*>(malloc(n * 4));
        if (out == nullptr) return nullptr;
        for (size_t i = 0; i < n; ++i) {
            const unsigned char* p = pixels + 4 * i;
            for (int k = 0; k < 3; ++k) out[4 * i + k] = Unpremultiply(p[k], p[3]);
            out[4 * i + 3] = p[3];
        }
        *layout = 5;
        return out;
    }

    if (grey && target_format == 4) {
        unsigned char* out = static_cast<unsigned char*>(malloc(n * 2));
        if (out == nullptr) return nullptr;
        for (size_t i = 0; i < n; ++i) {
            out[2 * i] = pixels[i];
            out[2 * i + 1] = alpha_plane != nullptr ? alpha_plane[i] : 255;
        }
        if (key == -3) {
            for (size_t i = 0; i < n; ++i) out[2 * i + 1] = av;
        } else {
            int t;
            if (key >= 0)
                t = key & 255;
            else if (key == -1)
                t = OtsuThreshold(pixels, width, height, 0, 1);
            else
                t = ChannelMean(pixels, width, height, 0, 1);
            const int tol = tolerance & 255;
            for (size_t i = 0; i < n; ++i)
                if (KeyMatch(pixels[i], t, tolerance, tol)) out[2 * i + 1] = av;
        }
        *layout = 6;
        return out;
    }

    unsigned char* out = static_cast<unsigned char*>(malloc(n * 4));
    if (out == nullptr) return nullptr;
    for (size_t i = 0; i < n; ++i) {
        unsigned char* o = out + 4 * i;
        if (grey) {
            o[0] = o[1] = o[2] = pixels[i];
            o[3] = 255;
        } else if (in == 0) {
            const unsigned char* p = pixels + 3 * i;
            o[0] = p[2];
            o[1] = p[1];
            o[2] = p[0];
            o[3] = 255;
        } else if (in == 5) {
            memcpy(o, pixels + 4 * i, 4);
        } else {
            const unsigned char* p = pixels + 4 * i;
            for (int k = 0; k < 3; ++k) o[k] = Unpremultiply(p[k], p[3]);
            o[3] = p[3];
        }
    }
    if (alpha_plane != nullptr)
        for (size_t i = 0; i < n; ++i) out[4 * i + 3] = alpha_plane[i];
    if (key == -3) {
        for (size_t i = 0; i < n; ++i) out[4 * i + 3] = av;
        *layout = 5;
        return out;
    }

    const int tolR = tolerance & 255, tolG = (tolerance >> 8) & 255, tolB = (tolerance >> 16) & 255;
    if (key == -5 || key == -6) {
        unsigned char* luma = LumaPlane(pixels, width, height, in);
        if (luma == nullptr) {
            free(out);
            return nullptr;
        }
        const int t = key == -5 ? OtsuThreshold(luma, width, height, 0, 1) : ChannelMean(luma, width, height, 0, 1);
        for (size_t i = 0; i < n; ++i)
            if (KeyMatch(luma[i], t, tolerance, tolR)) out[4 * i + 3] = av;
        free(luma);
        *layout = 5;
        return out;
    }
    int tR, tG = 0, tB = 0;
    if (key >= 0) {
        SplitColour(key, &tR, &tG, &tB);
    } else {
        auto stat = key == -1 ? OtsuThreshold : ChannelMean;
        tR = stat(out, width, height, 2, 4);
        if (!grey) {
            tG = stat(out, width, height, 1, 4);
            tB = stat(out, width, height, 0, 4);
        }
    }
    for (size_t i = 0; i < n; ++i) {
        unsigned char* o = out + 4 * i;
        bool hit = KeyMatch(o[2], tR, tolerance, tolR);
        if (!grey) hit = hit && KeyMatch(o[1], tG, tolerance, tolG) && KeyMatch(o[0], tB, tolerance, tolB);
        if (hit) o[3] = av;
    }
    *layout = 5;
    return out;
}
