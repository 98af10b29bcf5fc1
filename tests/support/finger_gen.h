// Deterministic synthetic finger-vein images for tests and benchmarks (there is no scanner here).
//
// A finger id fixes the finger: silhouette (axis, height, taper, joints), brightness profile and
// its faint dark veins. A capture id fixes one capture of it: a pose shift of a few pixels, a
// slight rotation and scale, a brightness gain and offset, and the noise. Everything is integer
// arithmetic on a seeded generator of its own, so the bytes are the same on every machine, compiler
// and optimisation level.
//
//   unsigned char img[fingergen::kPixels];
//   fingergen::Truth truth;
//   fingergen::finger_image(7, 0, img, &truth);          // finger 7, capture 0
//   std::vector<unsigned char> bmp = fingergen::grey_to_bmp(img, 320, 240);
//   fingergen::finger_image(7, 0, img, nullptr, fingergen::Style::kVaried);  // the accuracy set
//   fingergen::finger_image(7, 0, img, nullptr, fingergen::Style::kRealistic);  // scanner-like captures
//
// Negative fixtures: take finger_spec(), change it and render() it, e.g. noise = 0 with
// finger_begin = 130, finger_end = 189 for a finger too small, or with axis_row = 25 for edges
// outside the search windows; uniform images are a memset.
// Built once for every test and benchmark (qv_fingergen). All buffers belong to the caller.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

namespace fingergen {

constexpr int kWidth = 320;
constexpr int kHeight = 240;
constexpr int kPixels = kWidth * kHeight;  // 76,800, rows top-down, stride 320

// The rendered silhouette: per image column the first and last row inside the finger (-1 when none).
struct Truth {
    int top[kWidth];
    int bottom[kWidth];
};

struct Vein {
    int x_begin, x_end;  // finger columns covered
    int u0;              // position across the finger at x_begin, 1/256 of the half height (-256..256)
    int u_slope;         // change of u over 320 columns, same unit
    int wave_amp;        // waviness, same unit
    int wave_period;     // columns
    int wave_phase;      // columns
    int half_width_q8;   // half width, 1/256 pixel
    int depth;           // darkening in grey levels at the vein centre
};

// Everything that decides one image. Lengths are pixels unless marked _q8 (1/256 pixel).
struct Spec {
    // finger
    int finger_begin;  // first and last finger column (a finger tip or a short finger); the
    int finger_end;    // generated fingers cross the whole image
    int axis_row;      // finger axis row at column 160
    int bend;          // axis offset at the image ends (pixels, parabolic)
    int half_height;   // half height at column 160
    int taper;         // half height change from column 160 to 320
    int joint_x[2];    // joint columns
    int joint_bulge;   // extra half height at the joints
    int joint_light;   // extra brightness at the joints
    int edge_level;    // brightness just inside the silhouette
    int centre_gain;   // extra brightness on the axis
    int background;    // brightness outside the finger
    int vein_count;
    Vein veins[12];
    bool veins_add_up;  // crossing veins darken twice (classic); otherwise the darkest one counts
    // capture
    int shift_x_q8, shift_y_q8;
    int angle_q16;  // rotation, 1/65536 turn (positive turns clockwise on screen)
    int scale_q16;  // 65536 = 1
    int gain_q8;    // 256 = 1
    int offset;
    int light_slope;  // brightness change from column 0 to 319
    int noise;        // noise amplitude (levels)
    uint64_t noise_seed;
};

// Three populations of fingers. kClassic is the first set, kept byte-stable because digests and tables
// were frozen on it. kVaried draws more branching and oblique veins, fainter joints and wider pose
// changes, so that different fingers differ more and captures of one finger less alike: the set to
// measure recognition accuracy on. A single vein darkens by at most 16 levels (times the gain); in
// kVaried crossings stay as faint, in kClassic they add up. kRealistic models what the scanner
// delivers (see realistic_spec below); it is drawn by its own generator and renderer.
enum class Style { kClassic, kVaried, kRealistic };

// The finger of finger_id as captured in capture_id.
Spec finger_spec(int finger_id, int capture_id, Style style = Style::kClassic);

// Renders the finger s describes into out (kPixels bytes); truth, when given, receives the silhouette.
void render(const Spec& s, unsigned char* out, Truth* truth = nullptr);

// ---- Realistic captures ----
// What a near-infrared finger-vein scanner delivers, as the recognition pipeline sees it: light that
// passes the finger is even over most of its width and falls off near both edges to a fifth or a
// third of the axis level (no bright rim); the tissue scatters it into a mottle of small patches a
// few to twenty percent lighter or darker; veins are soft shadows 5 to 12 pixels wide absorbing 3 to
// 10 percent, mostly along the finger with oblique branches; the optics blur, the sensor adds noise
// that grows with the signal, and the camera's MJPEG compression quantises 8 x 8 blocks. Captures
// differ in pose, exposure, illumination, focus, noise and compression. Integer arithmetic only.
// The mean energy table was measured on this style (fingers 1000 on): tests and evaluations that
// must not see the table's own body use fingers below 1000.

struct RealVein {
    int x_begin, x_end;  // finger columns covered
    int u0;              // position across the finger at x_begin, 1/256 of the half height (-256..256)
    int u_slope;         // change of u over 320 columns, same unit
    int wave_amp;        // waviness, same unit
    int wave_period;     // columns
    int wave_phase;      // columns
    int half_width_q8;   // reach of the shadow from its centre line, 1/256 pixel
    int depth_q10;       // share of the light a vein centre absorbs, 1/1024
};

struct Mottle {
    int x, v;     // finger column; offset from the axis (pixels)
    int radius;   // pixels
    int amp_q10;  // brightness change at the centre, 1/1024 (signed)
};

struct RealSpec {
    // finger
    int axis_row, bend, half_height, taper;
    int upper_extra, lower_extra;  // extra half height of the upper and lower side (finger cross-section)
    int joint_x[2];
    int joint_bulge;                           // extra half height at the joints (pixels)
    int joint_light_q10;                       // extra light at the joints, 1/1024
    int peak;                                  // brightness on the axis (levels, before exposure)
    int edge_q10;                              // brightness just inside the silhouette relative to the axis, 1/1024
    int rounding;                              // 0..256: 0 a 1 - u^4 fall-off across the finger, 256 a flatter 1 - u^8
    int along_q10, along_period, along_phase;  // slow brightness change along the finger
    int background;
    int vein_count;
    RealVein veins[14];
    int mottle_count;
    Mottle mottles[40];
    // capture
    int shift_x_q8, shift_y_q8;
    int angle_q16;  // 1/65536 turn
    int scale_q16;
    int gain_q8;
    int offset;
    int light_slope_x, light_slope_y;  // illumination change across the image (levels)
    int blur_passes;                   // [1 2 1] passes in each direction: the optics' blur
    int read_noise_q8;                 // sensor noise floor (1/256 level, standard deviation)
    int shot_noise;                    // signal levels per unit of noise variance (larger: less noise)
    int jpeg_quality;                  // 1..100, the compression's quality factor
    uint64_t noise_seed;
};

// The realistic finger of finger_id as captured in capture_id.
RealSpec realistic_spec(int finger_id, int capture_id);
void render(const RealSpec& s, unsigned char* out, Truth* truth = nullptr);

// Finger finger_id in capture capture_id, written into out (kPixels bytes).
void finger_image(int finger_id, int capture_id, unsigned char* out, Truth* truth = nullptr,
                  Style style = Style::kClassic);
std::vector<unsigned char> finger_image(int finger_id, int capture_id, Truth* truth = nullptr,
                                        Style style = Style::kClassic);

// An 8-bit grey BMP file (grey palette, rows bottom-up, data at offset 1,078) of a top-down image.
std::vector<unsigned char> grey_to_bmp(const unsigned char* grey, int width, int height);

namespace detail {
// The 8 x 8 block quantisation of a baseline JPEG at quality 1..100, in place on a whole image.
void jpeg_round_trip(unsigned char* img, int quality);
}  // namespace detail

}  // namespace fingergen
