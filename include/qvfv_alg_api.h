// Interface of the recognition library (libveinalg_<family>.so): records and the seven exported functions.
// The caller owns every buffer it passes; the library keeps nothing that outlives a call.
#pragma once

#include <stdint.h>

#include "qv_export.h"

#ifdef __cplusplus
extern "C" {
#endif

// One input image: a complete 8-bit grey BMP file in memory and its length (carried, not read).
typedef struct _image {
    unsigned char* data;
    int length;
} _image;

// Filled by veinalg_get_version_info; the texts are constants of the library.
typedef struct FV_VERSION_INFO {
    const char* vendor;
    const char* lib_version;
    const char* release_date;
    int bio_type;
    const char* tmpl_version;
    int max_tmpl_size;
    const char* feature_version;
    int max_feature_size;
    const char* extra_version_info;
} FV_VERSION_INFO;

enum {
    FV_GRID_POINTS = 330,  // 15 rows x 22 columns
    FV_RAW_POINTS = 144,   // template points that keep their code bytes
    FV_MS_POINTS = 98,     // template points that keep their code bits
    FV_FEATURE_ITEM_SIZE = 8588,
    FV_FEATURE_ITEMS = 3,
    FV_FEATURE_SIZE = 25764,  // what veinalg_make_feature writes
    FV_TMPL_SIZE = 2972       // what veinalg_make_tmpl writes
};

// One feature item (little-endian fields); a feature is three of them back to back.
typedef struct FV_EXTRACT_FEATURE {
    char tag[4];                             // "v1.1", no terminating zero
    uint32_t crc;                            // CRC-32 of every byte after offset 8
    unsigned char codes[FV_GRID_POINTS][8];  // code groups, point = grid row * 22 + grid column
    uint32_t ms[FV_GRID_POINTS][4];          // 128 code bits per point
    unsigned char w15[FV_GRID_POINTS];       // weights, window radius 15
    unsigned char w27[FV_GRID_POINTS];       // weights, window radius 27
} FV_EXTRACT_FEATURE;

// The enrolment template.
typedef struct FV_ENROLL_TMPL {
    char tag[4];   // "v1.1"
    uint32_t crc;  // CRC-32 of bytes 8 to 2,971
    unsigned char codes[FV_RAW_POINTS][8];
    uint32_t ms[FV_MS_POINTS][4];
    unsigned char w15[FV_RAW_POINTS];
    unsigned char w27[FV_MS_POINTS];
    unsigned char reserved[2];  // written as zeros, covered by the CRC
} FV_ENROLL_TMPL;

#ifdef __cplusplus
static_assert(sizeof(FV_EXTRACT_FEATURE) == FV_FEATURE_ITEM_SIZE, "feature item layout");
static_assert(sizeof(FV_ENROLL_TMPL) == FV_TMPL_SIZE, "template layout");
#endif

// Builds the tables once; 0. Arguments are ignored.
QV_EXPORT int veinalg_init_handle(void* handle, unsigned long reserved);
// 0; changes nothing.
QV_EXPORT int veinalg_release_handle(void* handle);
// 0, or -1 for a null record.
QV_EXPORT int veinalg_get_version_info(FV_VERSION_INFO* info);
// 1 good, 0 poor, -3 for a null image or a size other than 320 x 240 and 640 x 480 (rows top-down).
QV_EXPORT int veinalg_image_quality(const unsigned char* grey, int width, int height);
// Writes the 25,764-byte feature of images[0] into out (out_size >= 25,764); returns 25,764,
// 0 when the image gives no feature, -1 rejected BMP, -2 not initialised, -3 bad arguments.
QV_EXPORT int veinalg_make_feature(void* handle, const _image* images, int count, void* out, int out_size,
                                   void* params);
// Writes the 2,972-byte template of up to three images into out; returns 2,972,
// 0 for bad arguments or no template, -1 rejected BMP, -2 not initialised.
QV_EXPORT int veinalg_make_tmpl(void* handle, const _image* images, int count, void* out, void* params);
// Similarity in [0, 1] of a template and a feature given in either order; 0.0 when the lengths
// do not give one of each, -1.0 for a damaged record, -2.0 when not initialised.
QV_EXPORT double veinalg_match(void* handle, const void* a, int a_len, const void* b, int b_len, void* params);

#ifdef __cplusplus
}
#endif
