// JPEG encoder and decoder over libjpeg, with the EXIF orientation of the decoder.
#include "img_jpeg.h"

#include <sys/stat.h>

#include <csetjmp>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include <jpeglib.h>
#include <jerror.h>

#include "img_buffer.h"
#include "img_codec.h"
#include "img_stream.h"
#include "img_codec_util.h"
#include "img_geometry.h"
#include "qv_decode_budget.h"

using namespace imgcodec;

namespace {

constexpr size_t kDestFirstBlock = 64 * 1024;  // first memory-output block; doubled as needed
constexpr int kExifMinApp0 = 16;               // shortest APP0 segment accepted before APP1
constexpr int kExifMinApp1 = 34;               // shortest APP1 that can hold the orientation
constexpr unsigned kExifMaxIfdOffset = 65536;

// libjpeg's error manager followed by the recovery point of one call.
struct JpegErr {
    jpeg_error_mgr pub;
    jmp_buf jump;
};

void JpegErrorExit(j_common_ptr c) { longjmp(reinterpret_cast<JpegErr*>(c->err)->jump, 1); }

void JpegSilentMessage(j_common_ptr) {}

// libjpeg only warns about corrupt data and makes up what is missing (coefficients after a premature
// end, a bad Huffman or arithmetic code, a missing or unexpected restart marker, refinement bits out
// of order); the decoder fails on every warning but those listed here, which leave the pixels as the
// encoder made them: an unknown JFIF revision or Adobe transform code, scan parameters a sequential
// decoder ignores, and bytes between segments or after the last scan (padding before EOI). Bytes left
// over before a restart marker are corrupt data inside a scan.
bool HarmlessWarning(const jpeg_error_mgr& e) {
    switch (e.msg_code) {
    case JWRN_JFIF_MAJOR:
    case JWRN_ADOBE_XFORM:
    case JWRN_NOT_SEQUENTIAL: return true;
    case JWRN_EXTRANEOUS_DATA: return e.msg_parm.i[1] < JPEG_RST0 || e.msg_parm.i[1] > JPEG_RST0 + 7;
    default: return false;
    }
}

void JpegNoteWarning(j_common_ptr c, int level) {
    if (level >= 0) return;
    JpegErr* e = reinterpret_cast<JpegErr*>(c->err);
    e->pub.num_warnings++;
    if (!HarmlessWarning(e->pub)) longjmp(e->jump, 1);
}

void SetupErr(JpegErr* e) {
    jpeg_std_error(&e->pub);
    e->pub.error_exit = JpegErrorExit;
    e->pub.output_message = JpegSilentMessage;
    e->pub.emit_message = JpegNoteWarning;
}

// Scans of one file: each scan of a progressive (or multi-scan) file passes over a whole component,
// however few its bytes, so their number is capped, as libjpeg-turbo's scan limit does. Encoders write
// a few dozen at most (libjpeg's progressive script has 10; its scan scripts take at most 100).
constexpr int kMaxScans = 100;

// libjpeg calls this before every row of blocks it reads into the coefficient buffer.
void CountScans(j_common_ptr c) {
    const j_decompress_ptr d = reinterpret_cast<j_decompress_ptr>(c);
    if (d->input_scan_number > kMaxScans) longjmp(reinterpret_cast<JpegErr*>(c->err)->jump, 1);
}

// The decode budget, from the header and before anything is allocated. Huffman coding also gives a
// floor: every 8 x 8 block of every component takes at least two bits in a sequential scan (its DC
// difference and its end of block) and at least one in a component's first progressive scan, so a
// header claiming more blocks than the file can hold is refused. Arithmetic coding has no such floor.
// input_size 0: not known (not a regular file), no floor.
bool HeaderWithinBudget(const jpeg_decompress_struct& c, uint64_t input_size) {
    if (!qv::decode_size_allowed(c.image_width, c.image_height)) return false;
    if (c.arith_code || input_size == 0) return true;
    uint64_t blocks = 0;
    for (int i = 0; i < c.num_components; ++i)
        blocks += uint64_t(c.comp_info[i].width_in_blocks) * c.comp_info[i].height_in_blocks;
    return blocks * (c.progressive_mode ? 1 : 2) <= input_size * 8;
}

// Memory destination that always knows its live block, so a failure frees it exactly once.
struct MemDest {
    jpeg_destination_mgr pub;
    unsigned char* block;
    size_t capacity;
    size_t used;
};

void MemDestInit(j_compress_ptr c) {
    MemDest* d = reinterpret_cast<MemDest*>(c->dest);
    d->pub.next_output_byte = d->block;
    d->pub.free_in_buffer = d->capacity;
}

boolean MemDestEmpty(j_compress_ptr c) {
    MemDest* d = reinterpret_cast<MemDest*>(c->dest);
    const size_t grown = d->capacity * 2;
    if (grown > static_cast<size_t>(INT_MAX)) ERREXIT(c, JERR_OUT_OF_MEMORY);
    unsigned char* p = static_cast<unsigned char*>(realloc(d->block, grown));
    if (p == nullptr) ERREXIT(c, JERR_OUT_OF_MEMORY);
    d->block = p;
    d->pub.next_output_byte = p + d->capacity;
    d->pub.free_in_buffer = grown - d->capacity;
    d->capacity = grown;
    return TRUE;
}

void MemDestTerm(j_compress_ptr c) {
    MemDest* d = reinterpret_cast<MemDest*>(c->dest);
    d->used = d->capacity - d->pub.free_in_buffer;
}

struct EncodeJob {
    jpeg_compress_struct cinfo;
    JpegErr err;
    MemDest dest;
    FILE* file;
    const unsigned char* pixels;
    int width, height, components;
    J_COLOR_SPACE in_space, out_space;
    int quality, dpi;
};

// Everything between setjmp and a long jump lives in *job (outside this frame).
int RunEncode(EncodeJob* job) {
    job->cinfo.err = &job->err.pub;
    SetupErr(&job->err);
    if (setjmp(job->err.jump)) return 0;
    jpeg_CreateCompress(&job->cinfo, JPEG_LIB_VERSION, sizeof(job->cinfo));
    if (job->file != nullptr) {
        jpeg_stdio_dest(&job->cinfo, job->file);
    } else {
        job->dest.pub.init_destination = MemDestInit;
        job->dest.pub.empty_output_buffer = MemDestEmpty;
        job->dest.pub.term_destination = MemDestTerm;
        job->cinfo.dest = &job->dest.pub;
    }
    job->cinfo.image_width = static_cast<JDIMENSION>(job->width);
    job->cinfo.image_height = static_cast<JDIMENSION>(job->height);
    job->cinfo.input_components = job->components;
    job->cinfo.in_color_space = job->in_space;
    jpeg_set_defaults(&job->cinfo);
    jpeg_set_colorspace(&job->cinfo, job->out_space);
    jpeg_set_quality(&job->cinfo, job->quality, TRUE);
    job->cinfo.density_unit = 1;
    job->cinfo.X_density = static_cast<UINT16>(job->dpi);
    job->cinfo.Y_density = static_cast<UINT16>(job->dpi);
    jpeg_start_compress(&job->cinfo, TRUE);
    const size_t stride = static_cast<size_t>(job->width) * job->components;
    while (job->cinfo.next_scanline < job->cinfo.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(job->pixels + stride * job->cinfo.next_scanline);
        jpeg_write_scanlines(&job->cinfo, &row, 1);
    }
    jpeg_finish_compress(&job->cinfo);
    return 1;
}

struct DecodeJob {
    jpeg_decompress_struct cinfo;
    JpegErr err;
    jpeg_progress_mgr progress;
    FILE* file;
    const unsigned char* data;
    int length;
    uint64_t input_size;    // bytes of the file or of the data; 0 when not known
    unsigned char** image;  // NULL: sizes only
    int request;            // in: caller's request; out: the decided layout
    int width, height, dpi;
};

// One output row of libjpeg (1, 3 or 4 components) into the decided layout.
void StoreRow(const unsigned char* src, unsigned char* dst, int width, int comps, int layout) {
    if (comps == 1) {
        if (layout != 0) {
            memcpy(dst, src, static_cast<size_t>(width));
            return;
        }
        for (int x = 0; x < width; ++x, dst += 3) dst[0] = dst[1] = dst[2] = src[x];
        return;
    }
    for (int x = 0; x < width; ++x, src += comps) {
        unsigned char rgb[3] = {src[0], src[1], src[2]};
        if (comps == 4) {
            for (int k = 0; k < 3; ++k) rgb[k] = static_cast<unsigned char>(rgb[k] * src[3] / 255);
        }
        if (layout == 0) {
            dst[0] = rgb[0];
            dst[1] = rgb[1];
            dst[2] = rgb[2];
            dst += 3;
        } else if (layout == 1) {
            *dst++ = rgb[1];
        } else {
            *dst++ = static_cast<unsigned char>(LumaRgb(rgb));
        }
    }
}

int RunDecode(DecodeJob* job) {
    job->cinfo.err = &job->err.pub;
    SetupErr(&job->err);
    if (setjmp(job->err.jump)) return 0;
    jpeg_CreateDecompress(&job->cinfo, JPEG_LIB_VERSION, sizeof(job->cinfo));
    if (job->file != nullptr)
        jpeg_stdio_src(&job->cinfo, job->file);
    else
        jpeg_mem_src(&job->cinfo, job->data, static_cast<unsigned long>(job->length));
    jpeg_read_header(&job->cinfo, TRUE);
    if (!HeaderWithinBudget(job->cinfo, job->input_size)) return 0;
    if (job->request < 0) job->request = job->cinfo.out_color_space == JCS_GRAYSCALE ? 2 : 0;
    if (job->request > 2) job->request = 0;
    // the output geometry without allocating or decoding anything; the size-only call ends here
    jpeg_calc_output_dimensions(&job->cinfo);
    const int comps = job->cinfo.output_components;
    if (comps != 1 && comps != 3 && comps != 4) return 0;
    int density = job->cinfo.X_density;
    job->dpi = job->cinfo.density_unit == 2 ? PpmToDpi(density * 100) : density;
    job->width = static_cast<int>(job->cinfo.output_width);
    job->height = static_cast<int>(job->cinfo.output_height);
    if (!SizeOk(job->width, job->height)) return 0;
    if (job->image == nullptr) return 1;
    job->progress.progress_monitor = CountScans;
    job->cinfo.progress = &job->progress;
    jpeg_start_decompress(&job->cinfo);
    if (job->cinfo.output_components != comps || job->cinfo.output_width != static_cast<JDIMENSION>(job->width) ||
        job->cinfo.output_height != static_cast<JDIMENSION>(job->height))
        return 0;
    const int layout = job->request;
    if (!AllocImgData(job->image, nullptr, nullptr, nullptr, job->width, job->height, layout)) return 0;
    const size_t out_px = layout == 0 ? 3 : 1;
    const size_t stride = static_cast<size_t>(job->width) * out_px;
    // rows that need no conversion are decoded straight into the image
    const bool direct = (comps == 1 && layout != 0) || (comps == 3 && layout == 0);
    JSAMPARRAY rows = (*job->cinfo.mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(&job->cinfo), JPOOL_IMAGE,
                                                      static_cast<JDIMENSION>(job->width) * comps, 1);
    while (job->cinfo.output_scanline < job->cinfo.output_height) {
        const size_t y = job->cinfo.output_scanline;
        unsigned char* dst = *job->image + y * stride;
        if (direct) {
            JSAMPROW row = dst;
            if (jpeg_read_scanlines(&job->cinfo, &row, 1) != 1) return 0;
            continue;
        }
        if (jpeg_read_scanlines(&job->cinfo, rows, 1) != 1) return 0;
        StoreRow(rows[0], dst, job->width, comps, layout);
    }
    jpeg_finish_decompress(&job->cinfo);
    return 1;
}

// Applies an EXIF orientation with quarter turns, mirrors and flips; false when out of memory.
bool ApplyOrientation(unsigned char* img, int* w, int* h, int layout, int orientation) {
    auto turn = [&](int turns) { return RotateImgQuarter(img, w, h, layout, turns, 0) != nullptr; };
    switch (orientation) {
    case 2: return turn(-1000);
    case 3: return turn(2);
    case 4: return turn(-1001);
    case 5: return turn(1) && turn(-1000);
    case 6: return turn(1);
    case 7: return turn(1) && turn(-1001);
    case 8: return turn(3);
    default: return true;
    }
}

// Byte reader over a FILE or a memory cursor.
struct ExifSource {
    FILE* file;
    const unsigned char* cursor;
    int remaining;
    bool Read(void* dst, int n) {
        if (n <= 0) return true;
        return MemFread(dst, 1, n, file, &cursor, &remaining) == n;
    }
    bool Byte(unsigned char* b) { return Read(b, 1); }
    bool Be16(unsigned* v) {
        unsigned char b[2];
        if (!Read(b, 2)) return false;
        *v = (b[0] << 8) | b[1];
        return true;
    }
    // Skips FF bytes; the next byte is the marker.
    bool Marker(unsigned char* m) {
        do {
            if (!Byte(m)) return false;
        } while (*m == 0xFF);
        return true;
    }
};

unsigned Get16(const unsigned char* p, bool big) { return big ? (p[0] << 8) | p[1] : p[0] | (p[1] << 8); }

uint32_t Get32(const unsigned char* p, bool big) {
    return big ? (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3]
               : p[0] | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

int ParseExifOrientation(ExifSource* s) {
    unsigned char soi[2];
    if (!s->Read(soi, 2) || soi[0] != 0xFF || soi[1] != 0xD8) return 0;
    unsigned char marker;
    if (!s->Marker(&marker)) return 0;
    unsigned seg_len;
    if (marker == 0xE0) {
        if (!s->Be16(&seg_len) || seg_len < static_cast<unsigned>(kExifMinApp0)) return 0;
        for (unsigned i = 2; i < seg_len; ++i) {
            unsigned char skip;
            if (!s->Byte(&skip)) return 0;
        }
        if (!s->Marker(&marker)) return 0;
    }
    if (marker != 0xE1) return 0;
    if (!s->Be16(&seg_len) || seg_len < static_cast<unsigned>(kExifMinApp1)) return 0;
    unsigned char tag[6];
    if (!s->Read(tag, 6) || memcmp(tag, "Exif\0\0", 6) != 0) return 0;
    const int size = static_cast<int>(seg_len) - 8;
    std::vector<unsigned char> tiff(static_cast<size_t>(size));
    if (!s->Read(tiff.data(), size)) return 0;
    bool big;
    if (tiff[0] == 'I' && tiff[1] == 'I')
        big = false;
    else if (tiff[0] == 'M' && tiff[1] == 'M')
        big = true;
    else
        return 0;
    if (Get16(&tiff[2], big) != 42) return 0;
    const uint32_t ifd = Get32(&tiff[4], big);
    if (ifd >= kExifMaxIfdOffset || ifd > static_cast<uint32_t>(seg_len) - 10) return 0;
    const unsigned count = Get16(&tiff[ifd], big);
    size_t entry = ifd + 2;
    if (count < 1 || entry + 12 > tiff.size()) return 0;
    for (unsigned i = 0; i < count && entry + 12 <= tiff.size(); ++i, entry += 12) {
        if (Get16(&tiff[entry], big) == 0x112) {
            const unsigned v = Get16(&tiff[entry + 8], big);
            return v >= 1 && v <= 8 ? static_cast<int>(v) : 0;
        }
    }
    return 0;
}

}  // namespace

int GetJpegExifOrientation(FILE* file, const unsigned char* data, int data_length) {
    try {
        if (file != nullptr) {
            if (fseek(file, 0, SEEK_SET) != 0) return 0;
        } else if (data == nullptr || data_length < 2) {
            return 0;
        }
        ExifSource s{file, data, data_length};
        return ParseExifOrientation(&s);
    } catch (...) {
        return 0;
    }
}

int WriteJpeg(const char* path, const unsigned char* pixels, int width, int height, int layout, int dpi, int output,
              int quality, unsigned char** buf, int* length) {
    const bool to_file = path != nullptr && path[0] != '\0';
    if (!to_file && (buf == nullptr || length == nullptr)) return 0;
    auto fail = [&]() {
        if (!to_file) {
            FreeImgBuff(buf);
            *length = 0;
        }
        return 0;
    };
    if (pixels == nullptr || !SizeOk(width, height) || layout < 0 || layout > 3) return fail();
    if (output < 0) output = layout;
    try {
        EncodeJob job;
        memset(&job, 0, sizeof(job));
        std::vector<unsigned char> rgb;
        job.pixels = pixels;
        job.width = width;
        job.height = height;
        if (layout == 0) {
            job.components = 3;
            job.in_space = JCS_RGB;
        } else if (output == 0) {
            // grey written as colour: each byte three times
            rgb.resize(static_cast<size_t>(width) * height * 3);
            for (size_t i = 0, n = static_cast<size_t>(width) * height; i < n; ++i)
                rgb[3 * i] = rgb[3 * i + 1] = rgb[3 * i + 2] = pixels[i];
            job.pixels = rgb.data();
            job.components = 3;
            job.in_space = JCS_RGB;
        } else {
            job.components = 1;
            job.in_space = JCS_GRAYSCALE;
        }
        job.out_space = output == 0 ? JCS_YCbCr : JCS_GRAYSCALE;
        job.quality = quality < 1 ? 85 : (quality > 100 ? 100 : quality);
        job.dpi = dpi;
        if (to_file) {
            job.file = fopen(path, "wbe");
            if (job.file == nullptr) return 0;
        } else {
            FreeImgBuff(buf);
            *length = 0;
            job.dest.block = static_cast<unsigned char*>(malloc(kDestFirstBlock));
            if (job.dest.block == nullptr) return 0;
            job.dest.capacity = kDestFirstBlock;
        }
        int ok = RunEncode(&job);
        jpeg_destroy_compress(&job.cinfo);
        if (to_file) {
            if (fclose(job.file) != 0) ok = 0;
            return ok;
        }
        if (!ok || job.dest.used == 0 || job.dest.used > static_cast<size_t>(INT_MAX)) {
            free(job.dest.block);
            return 0;
        }
        *buf = job.dest.block;
        *length = static_cast<int>(job.dest.used);
        return *length;
    } catch (...) {
        return fail();
    }
}

int ReadJpeg(const char* path, unsigned char** image, int* width, int* height, int* layout, int* dpi, int request,
             const unsigned char* data, int data_length) {
    const bool from_file = path != nullptr && path[0] != '\0';
    auto fail = [&]() {
        if (image != nullptr) FreeImgData(image);
        return 0;
    };
    if (!from_file && (data == nullptr || data_length < 8)) return fail();
    try {
        DecodeJob job;
        memset(&job, 0, sizeof(job));
        job.data = data;
        job.length = data_length;
        job.image = image;
        job.request = request;
        if (from_file) {
            job.file = fopen(path, "rbe");
            if (job.file == nullptr) return fail();
            struct stat st;
            job.input_size = fstat(fileno(job.file), &st) == 0 && S_ISREG(st.st_mode) ? uint64_t(st.st_size) : 0;
        } else {
            job.input_size = static_cast<uint64_t>(data_length);
        }
        int ok = RunDecode(&job);
        jpeg_destroy_decompress(&job.cinfo);
        int w = job.width, h = job.height;
        if (ok) {
            const int orientation = GetJpegExifOrientation(job.file, data, data_length);
            if (image == nullptr) {
                if (orientation >= 5) std::swap(w, h);
            } else if (!ApplyOrientation(*image, &w, &h, job.request, orientation)) {
                ok = 0;
            }
        }
        if (job.file != nullptr) fclose(job.file);
        if (!ok) return fail();
        if (width != nullptr) *width = w;
        if (height != nullptr) *height = h;
        if (layout != nullptr) *layout = job.request;
        if (dpi != nullptr) *dpi = job.dpi;
        return 1;
    } catch (...) {
        return fail();
    }
}
