// The seven exported functions: argument checks, records, run-time tables and the quality rule.
#include <atomic>
#include <cmath>
#include <cstring>
#include <mutex>

#include "match.h"
#include "qv_crc32.h"
#include "veinalg_internal.h"

float f1_t4X[512];
float f1_t5X[512];
float f1_t8X[512];
int16_t f2_tX[1024];
float dMeanFeatureX[kGaborResponses];

const int iRaw[8] = {0, 2, 4, 6, 8, 10, 12, 14};
const int jRaw[18] = {0, 1, 2, 3, 5, 6, 7, 9, 10, 11, 12, 14, 15, 16, 18, 19, 20, 21};
const int iMS[7] = {1, 3, 5, 7, 9, 11, 13};
const int jMS[14] = {1, 2, 4, 5, 7, 8, 10, 11, 13, 14, 16, 17, 19, 20};

namespace {

const char VERSION_VENDOR[] = "quvera";
const char VERSION_LIB_VERSION[] = "1.1.0";
const char VERSION_RELEASE_DATE[] = "2022-02-22 14:39:12";
constexpr int VERSION_BIO_TYPE = 8;
const char VERSION_TMPL_VERSION[] = "VEIN_TMPL_1.1";
constexpr int VERSION_MAX_TMPL_SIZE = 30000;
const char VERSION_FEATURE_VERSION[] = "VEIN_FEATURE_1.1";
constexpr int VERSION_MAX_FEATURE_SIZE = 30000;
const char VERSION_EXTRA_VERSION_INFO[] = "none";

constexpr int kItemBody = FV_FEATURE_ITEM_SIZE - 8;  // 8,580
constexpr int kTmplBody = FV_TMPL_SIZE - 8;          // 2,964

std::atomic<int> init_state{0};
std::once_flag tables_once;

// Slice k: the CRC of a byte followed by k zero bytes.
struct Crc32SlicesT {
    uint32_t v[16][256];
};
constexpr Crc32SlicesT MakeCrc32Slices() {
    Crc32SlicesT t{};
    for (int i = 0; i < 256; ++i) t.v[0][i] = qv::kCrc32Table.v[i];
    for (int k = 1; k < 16; ++k)
        for (int i = 0; i < 256; ++i) t.v[k][i] = (t.v[k - 1][i] >> 8) ^ t.v[0][t.v[k - 1][i] & 0xFF];
    return t;
}
constexpr Crc32SlicesT Crc32Slices = MakeCrc32Slices();

uint32_t ReadU32(const unsigned char* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
int32_t ReadI32(const unsigned char* p) {
    uint32_t u = ReadU32(p);
    int32_t v;
    std::memcpy(&v, &u, 4);
    return v;
}
void WriteU32(unsigned char* p, uint32_t v) {
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
    p[2] = static_cast<unsigned char>(v >> 16);
    p[3] = static_cast<unsigned char>(v >> 24);
}

void BuildTables() {
    for (int i = 0; i < 512; ++i) {
        const float x = static_cast<float>(i - 256);
        const float q4 = x * x / 256.0f;
        const double d4 = 1.0 + static_cast<double>(q4);
        f1_t4X[i] = static_cast<float>(1.0 / (d4 * std::sqrt(d4)));

        const float d5 = x * x / 320.0f + 1.0f;
        const float p5 = static_cast<float>(static_cast<double>(d5) * std::sqrt(static_cast<double>(d5)));
        f1_t5X[i] = static_cast<float>(1.0 / (1.25 * static_cast<double>(p5)));

        const float d8 = x * x / 512.0f + 1.0f;
        const float p8 = static_cast<float>(static_cast<double>(d8) * std::sqrt(static_cast<double>(d8)));
        f1_t8X[i] = 1.0f / (2.0f * p8);
    }
    for (int i = 0; i < 1024; ++i) f2_tX[i] = static_cast<int16_t>(i > 512 ? i - 512 : 0);
    for (int i = 0; i < 15; ++i)
        for (int j = 0; j < 22; ++j)
            for (int k = 0; k < 112; ++k) {
                const int q = i * 2464 + j * 112 + k;
                dMeanFeatureX[q] =
                    static_cast<float>(16.777216 / static_cast<double>(static_cast<float>(MeanGaborFeatureTable[q])));
            }
}

// The SDK's records may sit at any address; work on aligned copies.
struct MatchInput {
    FV_ENROLL_TMPL tmpl;
    FV_EXTRACT_FEATURE items[FV_FEATURE_ITEMS];
};

}  // namespace

bool IsInitialised() { return init_state.load(std::memory_order_acquire) == 1; }

uint32_t GenerateCRC32(const unsigned char* data, long length) {
    if (data == nullptr || length <= 0) return 0;
    uint32_t c = 0xFFFFFFFFu;
    // Sixteen bytes a step through the derived tables (the same value as one byte a step); the
    // matcher checks 28 KB of records per call.
    const uint32_t(*t)[256] = Crc32Slices.v;
    long i = 0;
    for (; i + 16 <= length; i += 16) {
        const unsigned char* p = data + i;
        const uint32_t lo = c ^ (uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24);
        c = t[15][lo & 0xFF] ^ t[14][(lo >> 8) & 0xFF] ^ t[13][(lo >> 16) & 0xFF] ^ t[12][lo >> 24] ^ t[11][p[4]] ^
            t[10][p[5]] ^ t[9][p[6]] ^ t[8][p[7]] ^ t[7][p[8]] ^ t[6][p[9]] ^ t[5][p[10]] ^ t[4][p[11]] ^ t[3][p[12]] ^
            t[2][p[13]] ^ t[1][p[14]] ^ t[0][p[15]];
    }
    return qv::crc32_update(~c, data + i, static_cast<size_t>(length - i));
}

int CheckTmplData(const FV_ENROLL_TMPL* tmpl) {
    const auto* p = reinterpret_cast<const unsigned char*>(tmpl);
    return GenerateCRC32(p + 8, kTmplBody) == ReadU32(p + 4) ? 0 : -1;
}

int CheckFeatureData(const FV_EXTRACT_FEATURE* item) {
    const auto* p = reinterpret_cast<const unsigned char*>(item);
    return GenerateCRC32(p + 8, kItemBody) == ReadU32(p + 4) ? 0 : -1;
}

void ReverseImage(const unsigned char* src, int width, int height, unsigned char* dst) {
    for (int i = 0; i < height; ++i)
        std::memcpy(dst + static_cast<size_t>(i) * width, src + static_cast<size_t>(height - 1 - i) * width, width);
}

void CopyRoiImage(const unsigned char* src, int src_width, int /*src_height*/, unsigned char* dst, int width,
                  int height, int x0, int y0) {
    for (int i = 0; i < height; ++i)
        std::memcpy(dst + static_cast<size_t>(i) * width, src + static_cast<size_t>(y0 + i) * src_width + x0, width);
}

void BilinearZoom(const unsigned char* src, int src_width, int src_height, unsigned char* dst, int dst_width,
                  int dst_height) {
    const int src_stride = ((src_width * 8 + 31) / 32) * 4;
    const int dst_stride = ((dst_width * 8 + 31) / 32) * 4;
    const float rx = static_cast<float>(dst_width) / static_cast<float>(src_width);
    const float ry = static_cast<float>(dst_height) / static_cast<float>(src_height);
    for (int i = 0; i < dst_height; ++i) {
        unsigned char* out = dst + static_cast<size_t>(dst_height - 1 - i) * dst_stride;
        const float y = static_cast<float>(i) / ry;
        const int yi = static_cast<int>(y + 0.5f);
        const float fy = y + 0.5f - static_cast<float>(yi);
        for (int j = 0; j < dst_width; ++j) {
            const float x = static_cast<float>(j) / rx;
            const int xi = static_cast<int>(x + 0.5f);
            // xi + 1 must stay in the row too (it always does when halving).
            if (xi > 0 && xi + 1 < src_width && yi > 0 && yi < src_height) {
                const float fx = x + 0.5f - static_cast<float>(xi);
                const unsigned char* r0 = src + static_cast<size_t>(src_height - 1 - yi) * src_stride;
                const unsigned char* r1 = src + static_cast<size_t>(src_height - yi) * src_stride;
                const float v = (1 - fy) * (1 - fx) * r0[xi] + (1 - fy) * fx * r0[xi + 1] + fy * (1 - fx) * r1[xi] +
                                fy * fx * r1[xi + 1];
                out[j] = static_cast<unsigned char>(static_cast<int>(v));
            } else {
                out[j] = 255;
            }
        }
    }
}

int CutImage(const _image* image, unsigned char* out) {
    constexpr int kHeaderBytes = 54;
    if (image == nullptr || image->data == nullptr || out == nullptr) return -1;
    const unsigned char* bmp = image->data;
    if (image->length < kHeaderBytes) return -1;
    if (bmp[0] != 'B' || bmp[1] != 'M') return -1;
    if (ReadU32(bmp + 10) != static_cast<uint32_t>(kBmpDataOffset) || ReadU32(bmp + 14) != 40) return -1;
    const int32_t width = ReadI32(bmp + 18);
    const int32_t height = ReadI32(bmp + 22);
    const bool full = width == 640 && height == 480;
    if (!(width == 320 && height == 240) && !full) return -1;
    if (image->length - kBmpDataOffset < width * height) return -1;
    HeapArray<unsigned char> work = qv::heap_alloc<unsigned char>(kImageBytes);
    if (!work) return -1;
    if (full)
        BilinearZoom(bmp + kBmpDataOffset, 640, 480, work.get(), kImageWidth, kImageHeight);
    else
        std::memcpy(work.get(), bmp + kBmpDataOffset, kImageBytes);
    ReverseImage(work.get(), kImageWidth, kImageHeight, out);
    return 0;
}

extern "C" {

QV_EXPORT int veinalg_init_handle(void* /*handle*/, unsigned long /*reserved*/) {
    try {
        std::call_once(tables_once, BuildTables);
    } catch (...) {  // the threads library failed: nothing may escape to the caller
        return -1;
    }
    init_state.store(1, std::memory_order_release);
    return 0;
}

QV_EXPORT int veinalg_release_handle(void* /*handle*/) { return 0; }

QV_EXPORT int veinalg_get_version_info(FV_VERSION_INFO* info) {
    if (info == nullptr) return -1;
    info->vendor = VERSION_VENDOR;
    info->lib_version = VERSION_LIB_VERSION;
    info->release_date = VERSION_RELEASE_DATE;
    info->bio_type = VERSION_BIO_TYPE;
    info->tmpl_version = VERSION_TMPL_VERSION;
    info->max_tmpl_size = VERSION_MAX_TMPL_SIZE;
    info->feature_version = VERSION_FEATURE_VERSION;
    info->max_feature_size = VERSION_MAX_FEATURE_SIZE;
    info->extra_version_info = VERSION_EXTRA_VERSION_INFO;
    return 0;
}

QV_EXPORT int veinalg_image_quality(const unsigned char* grey, int width, int height) {
    if (grey == nullptr) return -3;
    const bool full = width == 640 && height == 480;
    if (!(width == 320 && height == 240) && !full) return -3;
    constexpr int kRoiWidth = 296, kRoiHeight = 120, kRoiX = 10, kRoiY = 70;
    HeapArray<unsigned char> work = qv::heap_alloc<unsigned char>(kImageBytes);
    HeapArray<unsigned char> roi = qv::heap_alloc<unsigned char>(kRoiWidth * kRoiHeight);
    if (!work || !roi) return 0;
    if (full)
        BilinearZoom(grey, 640, 480, work.get(), kImageWidth, kImageHeight);
    else
        std::memcpy(work.get(), grey, kImageBytes);

    CopyRoiImage(work.get(), kImageWidth, kImageHeight, roi.get(), kRoiWidth, kRoiHeight, kRoiX, kRoiY);
    long roi_sum = 0;
    for (int i = 0; i < kRoiWidth * kRoiHeight; ++i) roi_sum += roi[i];
    const long roi_mean = roi_sum / (kRoiWidth * kRoiHeight);
    if (roi_mean < 16 || roi_mean > 190) return 0;

    long sum = 0, count = 0;
    for (int i = 0; i < kImageBytes; ++i)
        if (work[i] > 5) {
            sum += work[i];
            ++count;
        }
    const long m = count > 0 ? sum / count : 0;
    if (m < 16 || m > 190) return 0;
    long long sq = 0;
    for (int i = 0; i < kImageBytes; ++i)
        if (work[i] > 5) {
            const long long d = work[i] - m;
            sq += d * d;
        }
    return sq / count > 9000 ? 0 : 1;
}

QV_EXPORT int veinalg_make_feature(void* /*handle*/, const _image* images, int count, void* out, int out_size,
                                   void* /*params*/) {
    if (!IsInitialised()) return -2;
    if (count <= 0 || out == nullptr || out_size == 0) return -3;
    if (images == nullptr || out_size < FV_FEATURE_SIZE) return -3;
    HeapArray<unsigned char> pixels = qv::heap_alloc<unsigned char>(kImageBytes);
    if (!pixels) return 0;
    if (CutImage(&images[0], pixels.get()) != 0) return -1;
    HeapArray<FV_FEATURE> features = qv::heap_zeroed<FV_FEATURE>(FV_FEATURE_ITEMS);
    if (!features) return 0;
    if (GetMatchFeature(pixels.get(), kImageHeight, kImageWidth, features.get()) != 0) return 0;

    auto* dst = static_cast<unsigned char*>(out);
    for (int k = 0; k < FV_FEATURE_ITEMS; ++k) {
        unsigned char* item = dst + k * FV_FEATURE_ITEM_SIZE;
        const FV_FEATURE& f = features[k];
        std::memcpy(item, kRecordTag, 4);
        std::memcpy(item + offsetof(FV_EXTRACT_FEATURE, codes), f.codes, sizeof f.codes);
        std::memcpy(item + offsetof(FV_EXTRACT_FEATURE, ms), f.ms, sizeof f.ms);
        std::memcpy(item + offsetof(FV_EXTRACT_FEATURE, w15), f.w15, sizeof f.w15);
        std::memcpy(item + offsetof(FV_EXTRACT_FEATURE, w27), f.w27, sizeof f.w27);
        WriteU32(item + 4, GenerateCRC32(item + 8, kItemBody));
    }
    return FV_FEATURE_SIZE;
}

QV_EXPORT int veinalg_make_tmpl(void* /*handle*/, const _image* images, int count, void* out, void* /*params*/) {
    if (images == nullptr || count <= 0 || out == nullptr) return 0;
    if (!IsInitialised()) return -2;
    HeapArray<unsigned char> slots[3];
    int read = 0;
    for (int j = 0; j < count && read < 3; ++j) {
        if (images[j].data == nullptr) continue;
        HeapArray<unsigned char> buffer = qv::heap_alloc<unsigned char>(kImageBytes);
        if (!buffer) continue;
        if (CutImage(&images[j], buffer.get()) != 0) return -1;
        slots[read++] = std::move(buffer);
    }
    if (read == 0) return 0;
    FV_TMPL tmpl;
    if (GetEnrollTmpl(slots[0].get(), slots[1].get(), slots[2].get(), &tmpl) != 0) return 0;

    auto* dst = static_cast<unsigned char*>(out);
    std::memcpy(dst, kRecordTag, 4);
    std::memcpy(dst + offsetof(FV_ENROLL_TMPL, codes), tmpl.codes, sizeof tmpl.codes);
    std::memcpy(dst + offsetof(FV_ENROLL_TMPL, ms), tmpl.ms, sizeof tmpl.ms);
    std::memcpy(dst + offsetof(FV_ENROLL_TMPL, w15), tmpl.w15, sizeof tmpl.w15);
    std::memcpy(dst + offsetof(FV_ENROLL_TMPL, w27), tmpl.w27, sizeof tmpl.w27);
    std::memset(dst + offsetof(FV_ENROLL_TMPL, reserved), 0, 2);
    WriteU32(dst + 4, GenerateCRC32(dst + 8, kTmplBody));
    return FV_TMPL_SIZE;
}

QV_EXPORT double veinalg_match(void* /*handle*/, const void* a, int a_len, const void* b, int b_len, void* /*params*/) {
    if (!IsInitialised()) return -2.0;
    const void* tmpl = nullptr;
    const void* feature = nullptr;
    if (a_len == FV_TMPL_SIZE) tmpl = a;
    if (a_len == FV_FEATURE_SIZE) feature = a;
    if (b_len == FV_FEATURE_SIZE) feature = b;
    if (b_len == FV_TMPL_SIZE) tmpl = b;
    if (tmpl == nullptr || feature == nullptr) return 0.0;

    HeapArray<MatchInput> in = qv::heap_alloc<MatchInput>(1);
    if (!in) return 0.0;
    std::memcpy(in[0].items, feature, FV_FEATURE_SIZE);
    std::memcpy(&in[0].tmpl, tmpl, FV_TMPL_SIZE);
    for (int k = 0; k < FV_FEATURE_ITEMS; ++k)
        if (CheckFeatureData(&in[0].items[k]) != 0) return -1.0;
    if (CheckTmplData(&in[0].tmpl) != 0) return -1.0;
    if (CheckRecordContent(reinterpret_cast<const unsigned char*>(&in[0].tmpl),
                           reinterpret_cast<const unsigned char*>(in[0].items)) != 0)
        return -1.0;
    int score = 0;
    MatchFeatureX(&in[0].tmpl, in[0].items, &score);
    double similarity = 0.0;
    MapScoreX(score, similarity);
    return similarity;
}

}  // extern "C"
