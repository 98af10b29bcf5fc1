// Device control and the enrolment, capture and matching operations of the SDK object.
#include <dlfcn.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "fvdev.h"
#include "img_base64.h"
#include "img_buffer.h"
#include "img_dispatch.h"
#include "qv_log.h"
#include "qv_utils.h"
#include "qvfv_alg_api.h"
#include "qvfv_sdk_cls.h"

namespace {

const char* const kSrc = "qvfv_sdk_cls";

constexpr size_t kWorkBuf = 1048576;     // every work buffer of an operation
constexpr size_t kParamsSize = 256;      // the zeroed block every veinalg call receives
constexpr int kFrameW = 320;
constexpr int kFrameH = 240;
constexpr int kBmpDpi = 19685;
constexpr int kFeatureOutSize = 50000;
constexpr double kSameFingerScore = 60.0;
constexpr int kReopenGuardMs = 500;
constexpr int kTemplateTextMax = 3996;   // template_len: the caller's buffer
constexpr int kFeatureTextMax = 34384;   // feature_len
constexpr size_t kMatchTextMax = kWorkBuf / 3 * 4;   // characters that decode into one work buffer

// Zeroed work buffers of one operation, released on every path. Nothing here can throw, so a
// failing allocation is always reported as a result and never leaks the buffers before it.
constexpr int kMaxWorkBufs = 6;
struct WorkBuffers {
    explicit WorkBuffers(int n) {
        for (int i = 0; i < n && i < kMaxWorkBufs; i++) {
            bufs[i] = static_cast<unsigned char*>(calloc(1, kWorkBuf));
            if (bufs[i] == nullptr) {
                ok = false;
                return;
            }
        }
        ok = n <= kMaxWorkBufs;
    }
    ~WorkBuffers() {
        for (unsigned char* p : bufs) free(p);
    }
    WorkBuffers(const WorkBuffers&) = delete;
    WorkBuffers& operator=(const WorkBuffers&) = delete;
    unsigned char* operator[](size_t i) const { return bufs[i]; }
    bool ok = true;
    unsigned char* bufs[kMaxWorkBufs] = {};
};

struct Params {
    Params() { clear(); }
    void clear() { memset(block, 0, sizeof block); }
    unsigned char block[kParamsSize];
};

_image image_of(unsigned char* data, int len) {
    _image im;
    im.data = data;
    im.length = len;
    return im;
}

// The getter's reply as a decimal number; `valid` tells whether it held one.
int parse_setting(const char* value, bool& valid) {
    char* end = nullptr;
    errno = 0;
    long v = strtol(value, &end, 10);
    valid = end != value && errno == 0;
    if (v > 1000000000L) v = 1000000000L;
    if (v < -1000000000L) v = -1000000000L;
    return static_cast<int>(v);
}

}  // namespace

void CQvfv_sdk_cls::notify(progress_cb_t cb, void* ctx, int code) {
    if (cb == nullptr) return;
    std::string copy = m_lastMsg;
    cb(code, copy.c_str(), ctx);
}

int CQvfv_sdk_cls::opendevice() {
    if (!m_inited) {
        set_msg(__LINE__, "opendevice: sdk not initialize or initialize failed", 1);
        return QVBIO_ERR_INIT;
    }
    if (!init_alg()) {
        set_msg(__LINE__, "algorithm initialize failed.", 1);
        return QVBIO_ERR_INIT;
    }
    if (m_closedRecently) {
        int64_t stamp = m_closeTime;
        double d = get_ms_diff(stamp);
        m_closeTime = static_cast<long>(stamp);
        if (d < static_cast<double>(kReopenGuardMs)) {
            qv_sleep(kReopenGuardMs);
            m_closedRecently = 0;
            m_closeTime = 0;
        }
    }
    int r = fvd_opendevice();
    m_lastMsg = r < 0 ? "open the device failed" : "open the device success";
    return r;
}

int CQvfv_sdk_cls::closedevice() {
    int r = fvd_closedevice();
    m_lastMsg = r < 0 ? "close the device failed" : "the device is closed";
    m_closedRecently = 1;
    int64_t stamp = m_closeTime;
    get_ms_diff(stamp);
    m_closeTime = static_cast<long>(stamp);
    return r;
}

int CQvfv_sdk_cls::free_sdk() {
    closedevice();
    if (m_algHandle != nullptr) {
        dlclose(m_algHandle);
        m_algHandle = nullptr;
    }
    m_pfnInitHandle = nullptr;
    m_pfnReleaseHandle = nullptr;
    m_pfnImageQuality = nullptr;
    m_pfnMakeFeature = nullptr;
    m_pfnMakeTmpl = nullptr;
    m_pfnMatch = nullptr;
    m_pfnGetVersionInfo = nullptr;
    m_algLoaded = 0;
    return 0;
}

int CQvfv_sdk_cls::stop_working() {
    m_stopFlag = 1;
    return 0;
}

int CQvfv_sdk_cls::capturimg(char* buf) {
    if (!m_inited) {
        set_msg(__LINE__, "capturimg: sdk not initialize or initialize failed", 1);
        return QVBIO_ERR_INIT;
    }
    int r = fvd_captureimg(buf);
    m_lastMsg = r < 0 ? "capture image failed" : "capture image success";
    return r;
}

int CQvfv_sdk_cls::setdevidx(int index) {
    int r = fvd_setdevidx(index);
    m_lastMsg = r < 0 ? "set the device index failed" : "set the device index success";
    return r;
}

int CQvfv_sdk_cls::enroll_templet(char* out, progress_cb_t cb, void* ctx) {
    m_stopFlag = 0;
    int timeout = get_conf_int("EnrollTimeout", 30);
    return run_grab_loop(true, out, cb, ctx, timeout);
}

int CQvfv_sdk_cls::capture_feature(char* out, progress_cb_t cb, void* ctx) {
    m_stopFlag = 0;
    int timeout = get_conf_int("CaptureTimeout", 10);
    return run_grab_loop(false, out, cb, ctx, timeout);
}

// The polling loop shared by enrolment (three images, lift between them, a template) and
// capture (the first image that gives a feature).
int CQvfv_sdk_cls::run_grab_loop(bool enrol, char* out, progress_cb_t cb, void* ctx, int timeout) {
    const char* op = enrol ? "enroll_templet" : "capture_feature";
    if (!m_inited || !m_algLoaded) {
        set_msg(__LINE__, str_format("%s: sdk not initialize or initialize failed", op), 1);
        return QVBIO_ERR_INIT;
    }
    if (out == nullptr) {
        set_msg(__LINE__, str_format("%s: param error", op), 1);
        return QVBIO_ERR_PARAM;
    }
    // Enrolment: frame, three image slots, template, text. Capture: frame, image, feature, text.
    WorkBuffers wb(enrol ? 6 : 4);
    if (!wb.ok) {
        set_msg(__LINE__, "malloc memory error", 1);
        return QVBIO_ERR_MEMORY;
    }
    unsigned char* frame = wb[0];
    int r = fvd_opendevice();
    if (r < 0) {
        set_msg(__LINE__, str_format("%s: open device failed nret = [%d]", op, r), 1);
        return QVBIO_ERR_NODEV;
    }

    const int evTimeout = enrol ? EV_ENROLL_TIMEOUT : EV_CAPTURE_TIMEOUT;
    const int evCancel = enrol ? EV_ENROLL_CANCEL : EV_CAPTURE_CANCEL;
    const int evError = enrol ? EV_ENROLL_ERROR : EV_CAPTURE_ERROR;
    const size_t frameBytes = static_cast<size_t>(kFrameW) * kFrameH;

    set_msg(__LINE__, m_hintMsg[EV_PRESS_FINGER], 0);
    notify(cb, ctx, 1000);
    play_sndhint(enrol ? EV_ENROLL_START : EV_CAPTURE_START);
    play_sndhint(EV_PRESS_FINGER);

    Params params;
    unsigned char* slots[3] = {wb[1], enrol ? wb[2] : nullptr, enrol ? wb[3] : nullptr};
    int slotLen[3] = {0, 0, 0};
    int images = 0;
    bool lifting = false;
    int lastQuality = 1;
    int64_t stamp = 0;
    int devErr = 0;

    enum class End { Timeout, Cancel, Device, Done } end = End::Done;
    for (;;) {
        if (is_timeout(stamp, timeout) <= 0) {
            end = End::Timeout;
            break;
        }
        if (m_stopFlag) {
            end = End::Cancel;
            break;
        }
        memset(frame, 0, frameBytes);
        r = fvd_captureimg(reinterpret_cast<char*>(frame));
        if (r < 0) {
            devErr = r;
            end = End::Device;
            break;
        }
        if (lifting) {
            if (r == 1) {
                qv_sleep(10);
            } else {
                set_msg(__LINE__, m_hintMsg[EV_PRESS_FINGER], 0);
                notify(cb, ctx, 1000);
                play_sndhint(EV_PRESS_FINGER);
                lifting = false;
            }
            continue;
        }
        if (r == 0) {
            qv_sleep(10);
            continue;
        }
        // A finger: let it settle, then take the frame that follows.
        qv_sleep(200);
        memset(frame, 0, frameBytes);
        r = fvd_captureimg(reinterpret_cast<char*>(frame));
        if (r < 0) {
            devErr = r;
            end = End::Device;
            break;
        }
        int q = m_pfnImageQuality(frame, kFrameW, kFrameH);
        if (q != 1) {
            if (q != lastQuality)
                set_msg(__LINE__,
                        str_format("fvd_captureimg return 1 but veinalg_image_quality failed. nret = [%d]", q), 1);
            lastQuality = q;
            qv_sleep(100);
            continue;
        }
        lastQuality = 1;
        unsigned char* slot = slots[enrol ? images : 0];
        if (!enrol) memset(slot, 0, kWorkBuf);
        unsigned char* bmp = nullptr;
        int bmpLen = 0;
        int n = SaveImgBuff(frame, kFrameW, kFrameH, 1, kBmpDpi, 2, 0, &bmp, &bmpLen, 1);
        if (n <= 0 || static_cast<size_t>(n) > kWorkBuf || bmp == nullptr) {
            FreeImgBuff(&bmp);
            set_msg(__LINE__, str_format("SaveImgBuff error nret = [%d]", n), 1);
            return QVBIO_ERR_FAIL;
        }
        memcpy(slot, bmp, static_cast<size_t>(n));
        FreeImgBuff(&bmp);

        if (enrol) {
            slotLen[images++] = n;
            if (images == 3) break;
            set_msg(__LINE__, m_hintMsg[EV_RAISE_FINGER], 0);
            notify(cb, ctx, 1001);
            play_sndhint(EV_RAISE_FINGER);
            lifting = true;
            qv_sleep(10);
            continue;
        }

        unsigned char* feature = wb[2];
        memset(feature, 0, kWorkBuf);
        params.clear();
        _image im = image_of(slot, n);
        int f = m_pfnMakeFeature(nullptr, &im, 1, feature, kFeatureOutSize, params.block);
        write_error_log(kSrc, __LINE__, "capture_feature veinalg_make_feature = " + std::to_string(f), 0);
        // A feature longer than the record would not fit the caller's buffer as text.
        if (f <= 0 || f > FV_FEATURE_SIZE) {
            if (f > FV_FEATURE_SIZE)
                write_error_log(kSrc, __LINE__, "capture_feature: feature longer than a record, ignored", 1);
            lastQuality = 1;
            qv_sleep(10);
            continue;
        }
        char* text = reinterpret_cast<char*>(wb[3]);
        memset(text, 0, kWorkBuf);
        int len = Base64Encode(text, feature, f);
        if (len < 0 || len > kFeatureTextMax) len = 0;
        memcpy(out, text, static_cast<size_t>(len));
        set_msg(__LINE__, m_hintMsg[EV_CAPTURE_SUCC], 0);
        notify(cb, ctx, 0);
        play_sndhint(EV_CAPTURE_SUCC);
        return 0;
    }

    switch (end) {
    case End::Timeout:
        set_msg(__LINE__, m_hintMsg[evTimeout], 1);
        notify(cb, ctx, QVBIO_ERR_TIMEOUT);
        play_sndhint(evTimeout);
        return QVBIO_ERR_TIMEOUT;
    case End::Cancel:
        set_msg(__LINE__, m_hintMsg[evCancel], 1);
        notify(cb, ctx, QVBIO_ERR_CANCEL);
        play_sndhint(evCancel);
        return QVBIO_ERR_CANCEL;
    case End::Device:
        m_lastMsg = m_hintMsg[evError];
        write_error_log(kSrc, __LINE__, m_lastMsg + ", nret = " + std::to_string(devErr), 1);
        notify(cb, ctx, QVBIO_ERR_NODEV);
        play_sndhint(evError);
        return QVBIO_ERR_NODEV;
    case End::Done:
        break;
    }

    // Three images of one finger: the template.
    int s = samesrc_match(slots[0], slotLen[0], slots[1], slotLen[1], slots[2], slotLen[2]);
    if (s != 0) {
        set_msg(__LINE__, str_format("enroll templet: It is not the same finger. nret = [%d]", s), 1);
        notify(cb, ctx, QVBIO_ERR_NOTSAME);
        play_sndhint(EV_ENROLL_FAIL);
        return QVBIO_ERR_NOTSAME;
    }
    unsigned char* tmpl = wb[4];
    char* text = reinterpret_cast<char*>(wb[5]);
    memset(tmpl, 0, kWorkBuf);
    memset(text, 0, kWorkBuf);
    params.clear();
    _image ims[3] = {image_of(slots[0], slotLen[0]), image_of(slots[1], slotLen[1]), image_of(slots[2], slotLen[2])};
    int t = m_pfnMakeTmpl(nullptr, ims, 3, tmpl, params.block);
    // A template longer than the record would not fit the caller's buffer as text.
    if (t < 1 || t > FV_TMPL_SIZE) {
        set_msg(__LINE__, m_hintMsg[EV_ENROLL_FAIL], 1);
        notify(cb, ctx, QVBIO_ERR_FAIL);
        play_sndhint(EV_ENROLL_FAIL);
        return QVBIO_ERR_FAIL;
    }
    int len = Base64Encode(text, tmpl, t);
    if (len < 0 || len > kTemplateTextMax) len = 0;
    memcpy(out, text, static_cast<size_t>(len));
    set_msg(__LINE__, m_hintMsg[EV_ENROLL_SUCC], 0);
    notify(cb, ctx, 0);
    play_sndhint(EV_ENROLL_SUCC);
    return 0;
}

int CQvfv_sdk_cls::samesrc_match(unsigned char* img1, int len1, unsigned char* img2, int len2, unsigned char* img3,
                                 int len3) {
    Params params;
    WorkBuffers wb(2);   // feature, template
    if (!wb.ok) return QVBIO_ERR_MEMORY;
    unsigned char* feature = wb[0];
    unsigned char* tmpl = wb[1];
    _image first[3] = {image_of(img1, len1), image_of(img1, len1), image_of(img1, len1)};
    int tl = m_pfnMakeTmpl(nullptr, first, 3, tmpl, params.block);
    if (tl < 0) {
        set_msg(__LINE__, str_format("samesrc_match veinalg_make_tmpl failed. nret = [%d]", tl), 1);
        return tl;
    }
    if (tl > FV_TMPL_SIZE) tl = 0;   // not a template: it scores nothing
    struct {
        unsigned char* img;
        int len;
        const char* name;
    } others[2] = {{img2, len2, "1v2"}, {img3, len3, "1v3"}};
    for (auto& o : others) {
        memset(feature, 0, kWorkBuf);
        params.clear();
        _image im = image_of(o.img, o.len);
        int fl = m_pfnMakeFeature(nullptr, &im, 1, feature, kFeatureOutSize, params.block);
        write_error_log(kSrc, __LINE__, str_format("veinalg_make_feature nret = [%d]", fl), 0);
        if (fl < 0) {
            set_msg(__LINE__, str_format("samesrc_match veinalg_make_feature failed. nret = [%d]", fl), 1);
            return fl;
        }
        if (fl > kFeatureOutSize) fl = 0;
        params.clear();
        double score = m_pfnMatch(nullptr, tmpl, tl, feature, fl, params.block) * 100.0;
        if (!(score >= kSameFingerScore)) {   // NaN fails too
            set_msg(__LINE__,
                    str_format("samesrc_match veinalg_match failed. is not the same finger. score = [%.2f]", score), 1);
            return QVBIO_ERR_NOTSAME;
        }
        write_error_log(kSrc, __LINE__, str_format("samesrc_match %s score = [%.2f]", o.name, score), 0);
    }
    return 0;
}

int CQvfv_sdk_cls::matchfeat(char* tmpl, char* feat) {
    Params params;
    int threshold = 70;
    if (m_getConf != nullptr) {
        char value[256] = {0};
        m_getConf("MatchThreshold", value, m_getConfCtx);
        value[sizeof value - 1] = 0;
        bool valid = false;
        int v = value[0] != 0 ? parse_setting(value, valid) : 0;
        // A broken setting must never make every finger match.
        if (valid && v >= 1) threshold = v;
    }
    if (!m_algLoaded) {
        set_msg(__LINE__, "match feature: algorithm library not loaded", 1);
        return QVBIO_ERR_INIT;
    }
    if (tmpl == nullptr || feat == nullptr) {
        set_msg(__LINE__, "match feature: param error", 1);
        return QVBIO_ERR_PARAM;
    }
    WorkBuffers wb(2);
    if (!wb.ok) {
        set_msg(__LINE__, "malloc memory error", 1);
        return QVBIO_ERR_MEMORY;
    }
    // Either text may be the template. Only the characters that fit a work buffer are decoded: a
    // longer text gives more bytes than any record and so is no match, like any other text that
    // decodes to no record.
    int tl = Base64Decode(wb[0], tmpl, static_cast<int>(strnlen(tmpl, kMatchTextMax)));
    int fl = Base64Decode(wb[1], feat, static_cast<int>(strnlen(feat, kMatchTextMax)));
    bool records = (tl == FV_TMPL_SIZE && fl == FV_FEATURE_SIZE) || (tl == FV_FEATURE_SIZE && fl == FV_TMPL_SIZE);
    if (!records) {
        write_error_log(kSrc, __LINE__,
                        str_format("match feature: records of %d and %d bytes are no template and feature", tl, fl), 0);
        m_lastMsg = "match feature failed";
        play_sndhint(EV_MATCH_FAIL);
        return QVBIO_ERR_MATCH;
    }
    params.clear();
    double s = m_pfnMatch(nullptr, wb[0], tl, wb[1], fl, params.block);
    if (!(s >= 0.0)) {   // a veinalg error (or NaN)
        int r = std::isnan(s) || s < -1e9 ? -1 : static_cast<int>(s);
        if (r >= 0) r = -1;
        set_msg(__LINE__, "match feature failed nret = [" + std::to_string(r) + "]", 1);
        play_sndhint(EV_MATCH_FAIL);
        return r;
    }
    if (s > 1e6) s = 1e6;
    int score = static_cast<int>(s * 100.0);
    set_msg(__LINE__, "veinalg_match nscore = [" + std::to_string(score) + "]", 0);
    if (threshold > score) {
        m_lastMsg = "match feature failed";
        play_sndhint(EV_MATCH_FAIL);
        return QVBIO_ERR_MATCH;
    }
    m_lastMsg = "match feature success";
    play_sndhint(EV_MATCH_SUCC);
    return 0;
}
