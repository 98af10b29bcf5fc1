// Device control and the enrolment, capture and matching operations of the SDK object.
#include <dlfcn.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include "fvdev.h"
#include "img_base64.h"
#include "img_buffer.h"
#include "img_dispatch.h"
#include "qv_log.h"
#include "qv_owners.h"
#include "qv_utils.h"
#include "qvfv_alg_api.h"
#include "qvfv_sdk_cls.h"

namespace {

const char* const kSrc = "qvfv_sdk_cls";

constexpr size_t kWorkBuf = 1048576;  // every work buffer of an operation
constexpr size_t kParamsSize = 256;   // the zeroed block every veinalg call receives
constexpr int kFrameW = 320;
constexpr int kFrameH = 240;
constexpr int kBmpDpi = 19685;
constexpr int kFeatureOutSize = 50000;
constexpr double kSameFingerScore = 60.0;
constexpr int kReopenGuardMs = 500;
constexpr int kTemplateTextMax = 3996;              // template_len: the caller's buffer
constexpr int kFeatureTextMax = 34384;              // feature_len
constexpr size_t kMatchTextMax = kWorkBuf / 3 * 4;  // characters that decode into one work buffer

// Zeroed work buffers of one operation, released on every path. Nothing here can throw, so a
// failing allocation is always reported as a result and never leaks the buffers before it.
constexpr int kMaxWorkBufs = 6;
struct WorkBuffers {
    explicit WorkBuffers(int n) : ok(n <= kMaxWorkBufs) {
        for (int i = 0; ok && i < n; i++) {
            bufs[i] = qv::heap_zeroed<unsigned char>(kWorkBuf);
            ok = bufs[i] != nullptr;
        }
    }
    unsigned char* operator[](size_t i) const { return bufs[i].get(); }
    bool ok;
    qv::HeapArray<unsigned char> bufs[kMaxWorkBufs];
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

}  // namespace

void CQvfv_sdk_cls::notify(progress_cb_t cb, void* ctx, int code) {
    if (cb == nullptr) return;
    std::string copy = m_lastMsg;
    cb(code, copy.c_str(), ctx);
}

// ---------------------------------------------------------------- the gate

// Holding the gate for one call. A call on the thread that already holds it can only come from
// the service's callback or getter inside an operation: it is nested and takes no turn of its own.
class CQvfv_sdk_cls::Turn {
public:
    enum Kind {
        Control,  // open, capturimg, setdevidx
        Polling,  // enrolment, capture: they clear the stop request when they start
        Matching,
        Closing,  // close, free: they go before everyone waiting and stop a running operation
    };

    Turn(CQvfv_sdk_cls& sdk, Kind kind) : sdk_(sdk) {
        Gate& g = sdk_.m_gate;
        std::unique_lock<std::mutex> lk(g.mu);
        if (g.busy && g.holder == std::this_thread::get_id()) {
            nested_ = true;
            insideOperation_ = g.operation;
            return;
        }
        if (kind == Closing) {
            g.closers++;
            // Set under the gate's lock, so an operation that starts after it cannot clear it.
            if (g.busy && g.operation) sdk_.m_stopFlag = 1;
            g.cv.wait(lk, [&g] { return !g.busy; });
            g.closers--;
        } else {
            // In the order of arrival, so that no caller waits while later ones go ahead.
            const unsigned long ticket = g.tickets++;
            g.cv.wait(lk, [&g, ticket] { return !g.busy && g.closers == 0 && g.serving == ticket; });
            g.serving++;
        }
        g.busy = true;
        g.operation = kind == Polling || kind == Matching;
        g.holder = std::this_thread::get_id();
        if (kind == Polling) sdk_.m_stopFlag = 0;
        held_ = true;
    }

    // A close or free asked for inside the operation is done now that nothing uses the device or
    // the bound functions any more, before anyone else gets the gate.
    ~Turn() {
        if (!held_) return;
        Gate& g = sdk_.m_gate;
        try {
            if (g.freeLater)
                sdk_.free_now();
            else if (g.closeLater)
                sdk_.close_now();
        } catch (...) {}
        g.freeLater = false;
        g.closeLater = false;
        {
            std::lock_guard<std::mutex> lk(g.mu);
            g.busy = false;
            g.operation = false;
            g.holder = std::thread::id();
        }
        g.cv.notify_all();
    }

    Turn(const Turn&) = delete;
    Turn& operator=(const Turn&) = delete;

    bool nested() const { return nested_; }
    bool inside_operation() const { return insideOperation_; }

    // Inside an operation a close or free only stops it and is done when it returns.
    int defer(bool free) {
        Gate& g = sdk_.m_gate;
        (free ? g.freeLater : g.closeLater) = true;
        sdk_.m_stopFlag = 1;
        write_error_log(kSrc, __LINE__,
                        free ? "free requested during an operation: done when it returns"
                             : "close requested during an operation: done when it returns",
                        0);
        return 0;
    }

private:
    CQvfv_sdk_cls& sdk_;
    bool held_ = false;
    bool nested_ = false;
    bool insideOperation_ = false;
};

bool CQvfv_sdk_cls::Gate::held_here() {
    std::lock_guard<std::mutex> lk(mu);
    return busy && holder == std::this_thread::get_id();
}

// From inside an operation's callback or getter, a call that would change the device or the
// configuration under the running operation is refused rather than reported done.
int CQvfv_sdk_cls::refuse_inside(const char* op) {
    set_msg(__LINE__, str_format("%s: another operation is running", op), 1);
    return QVBIO_ERR_BUSY;
}

int CQvfv_sdk_cls::init_sdk(get_conf_cb_t getter, void* ctx) {
    if (m_gate.held_here()) return refuse_inside("init_sdk");
    if (m_inited) return 0;  // the first getter stays: nothing changes, nothing to wait for
    Turn turn(*this, Turn::Control);
    return init_now(getter, ctx);
}

int CQvfv_sdk_cls::opendevice() {
    Turn turn(*this, Turn::Control);
    if (turn.inside_operation()) return refuse_inside("opendevice");
    return open_now();
}

int CQvfv_sdk_cls::closedevice() {
    Turn turn(*this, Turn::Closing);
    if (turn.inside_operation()) return turn.defer(false);
    return close_now();
}

int CQvfv_sdk_cls::free_sdk() {
    Turn turn(*this, Turn::Closing);
    if (turn.inside_operation()) return turn.defer(true);
    return free_now();
}

int CQvfv_sdk_cls::capturimg(char* buf) {
    Turn turn(*this, Turn::Control);
    if (turn.inside_operation()) return refuse_inside("capturimg");
    if (!m_inited) {
        set_msg(__LINE__, "capturimg: sdk not initialize or initialize failed", 1);
        return QVBIO_ERR_INIT;
    }
    int r = fvd_captureimg(buf);
    m_lastMsg = r < 0 ? "capture image failed" : "capture image success";
    return r;
}

int CQvfv_sdk_cls::setdevidx(int index) {
    Turn turn(*this, Turn::Control);
    if (turn.inside_operation()) return refuse_inside("setdevidx");
    int r = fvd_setdevidx(index);
    m_lastMsg = r < 0 ? "set the device index failed" : "set the device index success";
    return r;
}

// An enrolment or capture started from inside another would clear its stop request and poll the
// camera under it.
int CQvfv_sdk_cls::enroll_templet(char* out, progress_cb_t cb, void* ctx) {
    Turn turn(*this, Turn::Polling);
    if (turn.nested()) return refuse_inside("enroll_templet");
    return enroll_now(out, cb, ctx);
}

int CQvfv_sdk_cls::capture_feature(char* out, progress_cb_t cb, void* ctx) {
    Turn turn(*this, Turn::Polling);
    if (turn.nested()) return refuse_inside("capture_feature");
    return capture_now(out, cb, ctx);
}

// Never takes the gate: the operation it must reach holds the gate until it ends, so waiting for
// the gate would wait for the very operation it is meant to stop. It only sets the flag that the
// operation polls.
int CQvfv_sdk_cls::stop_working() {
    m_stopFlag = 1;
    return 0;
}

// ---------------------------------------------------------------- device control

int CQvfv_sdk_cls::open_now() {
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

int CQvfv_sdk_cls::close_now() {
    int r = fvd_closedevice();
    m_lastMsg = r < 0 ? "close the device failed" : "the device is closed";
    m_closedRecently = 1;
    int64_t stamp = m_closeTime;
    get_ms_diff(stamp);
    m_closeTime = static_cast<long>(stamp);
    return r;
}

int CQvfv_sdk_cls::free_now() {
    close_now();
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

int CQvfv_sdk_cls::enroll_now(char* out, progress_cb_t cb, void* ctx) {
    int timeout = get_conf_int("EnrollTimeout", 30);
    return run_grab_loop(true, out, cb, ctx, timeout);
}

int CQvfv_sdk_cls::capture_now(char* out, progress_cb_t cb, void* ctx) {
    int timeout = get_conf_int("CaptureTimeout", 10);
    return run_grab_loop(false, out, cb, ctx, timeout);
}

// ---------------------------------------------------------------- enrolment and capture

namespace {

// Where an enrolment or a capture stands. Waiting for the finger and for the lift are one pass of
// the polling loop each; taking an image follows the pass that saw the finger at once, without a
// time-out or stop check in between.
enum class Phase { AwaitFinger, TakeImage, AwaitLift, Done };

// How an operation that passed its start checks ends.
enum class Ending {
    Done,
    TimedOut,
    Stopped,
    DeviceError,
    NotSameFinger,
    NoTemplate,
    NotEncoded,
    TextTooLong,
    Unfinished,  // no phase set an ending: a failure, never a success
    Count
};

constexpr int kNoEvent = -1;  // no hint text and no sound

// What each ending reports: the result (also the callback's code), the event whose hint text and
// sound it gives in an enrolment and in a capture, and its log line.
struct EndingRule {
    Ending ending;
    int result;
    int enrolEvent;
    int captureEvent;
    const char* text;  // the message, formatted with the detail; nullptr: the event's hint text
    bool detailInLog;  // the log line adds ", nret = " and the detail
    bool forced;       // the log line reaches the failure log
    bool callback;
};

// One row per ending, at the ending's own index.
constexpr EndingRule kEndingRules[] = {
    {Ending::Done, QVBIO_OK, EV_ENROLL_SUCC, EV_CAPTURE_SUCC, nullptr, false, false, true},
    {Ending::TimedOut, QVBIO_ERR_TIMEOUT, EV_ENROLL_TIMEOUT, EV_CAPTURE_TIMEOUT, nullptr, false, true, true},
    {Ending::Stopped, QVBIO_ERR_CANCEL, EV_ENROLL_CANCEL, EV_CAPTURE_CANCEL, nullptr, false, true, true},
    {Ending::DeviceError, QVBIO_ERR_NODEV, EV_ENROLL_ERROR, EV_CAPTURE_ERROR, nullptr, true, true, true},
    {Ending::NotSameFinger, QVBIO_ERR_NOTSAME, EV_ENROLL_FAIL, kNoEvent,
     "enroll templet: It is not the same finger. nret = [%d]", false, true, true},
    {Ending::NoTemplate, QVBIO_ERR_FAIL, EV_ENROLL_FAIL, kNoEvent, nullptr, false, true, true},
    // An image that cannot be encoded ends the operation quietly.
    {Ending::NotEncoded, QVBIO_ERR_FAIL, kNoEvent, kNoEvent, "SaveImgBuff error nret = [%d]", false, true, false},
    // The record's text would not fit the caller's buffer: nothing is handed out.
    {Ending::TextTooLong, QVBIO_ERR_FAIL, EV_ENROLL_FAIL, EV_CAPTURE_FAIL, nullptr, true, true, true},
    {Ending::Unfinished, QVBIO_ERR_FAIL, EV_ENROLL_FAIL, EV_CAPTURE_FAIL, nullptr, false, true, true},
};

constexpr size_t kEndings = static_cast<size_t>(Ending::Count);

constexpr bool every_ending_has_its_row() {
    if (sizeof kEndingRules / sizeof kEndingRules[0] != kEndings) return false;
    for (size_t i = 0; i < kEndings; i++)
        if (kEndingRules[i].ending != static_cast<Ending>(i)) return false;
    return true;
}
static_assert(every_ending_has_its_row(), "kEndingRules needs one row per Ending, in the order of the enum");

// Only a finished operation hands out a record: every other row must report a failure.
constexpr bool only_done_succeeds() {
    for (size_t i = 0; i < kEndings; i++)
        if (kEndingRules[i].ending == Ending::Done ? kEndingRules[i].result != QVBIO_OK : kEndingRules[i].result >= 0)
            return false;
    return true;
}
static_assert(only_done_succeeds(), "only the Done row of kEndingRules may report success");

const EndingRule& rule_of(Ending e) { return kEndingRules[static_cast<size_t>(e)]; }

}  // namespace

// One enrolment or capture in progress: its buffers, the state between passes and its ending.
struct CQvfv_sdk_cls::Grab {
    Grab(CQvfv_sdk_cls& owner, bool enrolment, char* text_out, progress_cb_t callback, void* context, int secs)
        : sdk(owner),
          enrol(enrolment),
          out(text_out),
          cb(callback),
          ctx(context),
          timeout(secs),
          wb(enrolment ? 6 : 4) {}

    Phase step(Phase p);
    Phase await_finger();
    Phase take_image();
    Phase await_lift();
    Phase keep_image(int len);
    Phase make_feature(int len);
    Phase make_template();
    Phase end(Ending e, int code = 0);
    bool poll(int& r);
    int grab();
    void press_hint(int startEvent);
    Phase hand_out(const unsigned char* record, int len, int textMax, unsigned char* text);
    int report();

    CQvfv_sdk_cls& sdk;
    const bool enrol;
    char* const out;
    const progress_cb_t cb;
    void* const ctx;
    const int timeout;
    // Enrolment: frame, three image slots, template, text. Capture: frame, image, feature, text.
    WorkBuffers wb;
    Params params;
    int slotLen[3] = {0, 0, 0};
    int images = 0;
    int lastQuality = 1;
    int64_t stamp = 0;  // the time-out's start, taken by the first poll
    Ending ending = Ending::Unfinished;
    int detail = 0;  // the device's code, the same-finger check's or the encoder's result
};

Phase CQvfv_sdk_cls::Grab::step(Phase p) {
    switch (p) {
    case Phase::AwaitFinger: return await_finger();
    case Phase::TakeImage: return take_image();
    case Phase::AwaitLift: return await_lift();
    case Phase::Done: break;
    }
    return Phase::Done;
}

int CQvfv_sdk_cls::Grab::grab() {
    unsigned char* frame = wb[0];
    memset(frame, 0, static_cast<size_t>(kFrameW) * kFrameH);
    return fvd_captureimg(reinterpret_cast<char*>(frame));
}

// The start of each pass: the time-out, the stop request, then a frame. False when the pass
// ends the operation.
bool CQvfv_sdk_cls::Grab::poll(int& r) {
    if (is_timeout(stamp, timeout) <= 0) {
        end(Ending::TimedOut);
        return false;
    }
    if (sdk.m_stopFlag) {
        end(Ending::Stopped);
        return false;
    }
    r = grab();
    if (r < 0) {
        end(Ending::DeviceError, r);
        return false;
    }
    return true;
}

Phase CQvfv_sdk_cls::Grab::end(Ending e, int code) {
    ending = e;
    detail = code;
    return Phase::Done;
}

void CQvfv_sdk_cls::Grab::press_hint(int startEvent) {
    sdk.set_msg(__LINE__, sdk.m_hintMsg[EV_PRESS_FINGER], 0);
    sdk.notify(cb, ctx, 1000);
    if (startEvent != kNoEvent) sdk.play_sndhint(startEvent);
    sdk.play_sndhint(EV_PRESS_FINGER);
}

Phase CQvfv_sdk_cls::Grab::await_finger() {
    int r = 0;
    if (!poll(r)) return Phase::Done;
    if (r == 0) {
        qv_sleep(10);
        return Phase::AwaitFinger;
    }
    return Phase::TakeImage;
}

// A finger: let it settle, take the frame that follows, and keep it when it is good.
Phase CQvfv_sdk_cls::Grab::take_image() {
    qv_sleep(200);
    int r = grab();
    if (r < 0) return end(Ending::DeviceError, r);
    unsigned char* frame = wb[0];
    int q = sdk.m_pfnImageQuality(frame, kFrameW, kFrameH);
    if (q != 1) {
        if (q != lastQuality)
            sdk.set_msg(__LINE__,
                        str_format("fvd_captureimg return 1 but veinalg_image_quality failed. nret = [%d]", q), 1);
        lastQuality = q;
        qv_sleep(100);
        return Phase::AwaitFinger;
    }
    lastQuality = 1;
    unsigned char* slot = wb[1 + (enrol ? images : 0)];
    if (!enrol) memset(slot, 0, kWorkBuf);
    unsigned char* bmp = nullptr;
    int bmpLen = 0;
    int n = SaveImgBuff(frame, kFrameW, kFrameH, 1, kBmpDpi, 2, 0, &bmp, &bmpLen, 1);
    if (n <= 0 || static_cast<size_t>(n) > kWorkBuf || bmp == nullptr) {
        FreeImgBuff(&bmp);
        return end(Ending::NotEncoded, n);
    }
    memcpy(slot, bmp, static_cast<size_t>(n));
    FreeImgBuff(&bmp);
    return enrol ? keep_image(n) : make_feature(n);
}

// Enrolment: the third image finishes it; after the others the finger must leave first.
Phase CQvfv_sdk_cls::Grab::keep_image(int len) {
    slotLen[images++] = len;
    if (images == 3) return make_template();
    sdk.set_msg(__LINE__, sdk.m_hintMsg[EV_RAISE_FINGER], 0);
    sdk.notify(cb, ctx, 1001);
    sdk.play_sndhint(EV_RAISE_FINGER);
    qv_sleep(10);
    return Phase::AwaitLift;
}

Phase CQvfv_sdk_cls::Grab::await_lift() {
    int r = 0;
    if (!poll(r)) return Phase::Done;
    if (r == 1) {
        qv_sleep(10);
        return Phase::AwaitLift;
    }
    press_hint(kNoEvent);
    return Phase::AwaitFinger;
}

// Capture: an image without a feature is no failure, the finger may stay on the sensor.
Phase CQvfv_sdk_cls::Grab::make_feature(int len) {
    unsigned char* feature = wb[2];
    memset(feature, 0, kWorkBuf);
    params.clear();
    _image im = image_of(wb[1], len);
    int f = sdk.m_pfnMakeFeature(nullptr, &im, 1, feature, kFeatureOutSize, params.block);
    write_error_log(kSrc, __LINE__, "capture_feature veinalg_make_feature = " + std::to_string(f), 0);
    // A feature longer than the record would not fit the caller's buffer as text.
    if (f <= 0 || f > FV_FEATURE_SIZE) {
        if (f > FV_FEATURE_SIZE)
            write_error_log(kSrc, __LINE__, "capture_feature: feature longer than a record, ignored", 1);
        lastQuality = 1;
        qv_sleep(10);
        return Phase::AwaitFinger;
    }
    return hand_out(feature, f, kFeatureTextMax, wb[3]);
}

// Three images of one finger: the template.
Phase CQvfv_sdk_cls::Grab::make_template() {
    int s = sdk.samesrc_match(wb[1], slotLen[0], wb[2], slotLen[1], wb[3], slotLen[2]);
    if (s != 0) return end(Ending::NotSameFinger, s);
    unsigned char* tmpl = wb[4];
    memset(tmpl, 0, kWorkBuf);
    params.clear();
    _image ims[3] = {image_of(wb[1], slotLen[0]), image_of(wb[2], slotLen[1]), image_of(wb[3], slotLen[2])};
    int t = sdk.m_pfnMakeTmpl(nullptr, ims, 3, tmpl, params.block);
    // A template longer than the record would not fit the caller's buffer as text.
    if (t < 1 || t > FV_TMPL_SIZE) return end(Ending::NoTemplate);
    return hand_out(tmpl, t, kTemplateTextMax, wb[5]);
}

// The record as Base64 text in the caller's buffer, without a terminating NUL; a text that would
// not fit is a failure, never an empty success.
Phase CQvfv_sdk_cls::Grab::hand_out(const unsigned char* record, int len, int textMax, unsigned char* text) {
    char* t = reinterpret_cast<char*>(text);
    memset(t, 0, kWorkBuf);
    int n = Base64Encode(t, record, len);
    if (n <= 0 || n > textMax) return end(Ending::TextTooLong, n);
    memcpy(out, t, static_cast<size_t>(n));
    return end(Ending::Done);
}

// The one place where an ending becomes the message, log line, callback, sound and result.
int CQvfv_sdk_cls::Grab::report() {
    const EndingRule& rule = rule_of(ending);
    const int event = enrol ? rule.enrolEvent : rule.captureEvent;
    if (rule.text != nullptr)
        sdk.m_lastMsg = str_format(rule.text, detail);
    else
        sdk.m_lastMsg = event != kNoEvent ? sdk.m_hintMsg[event] : std::string();
    std::string line = sdk.m_lastMsg;
    if (rule.detailInLog) line += ", nret = " + std::to_string(detail);
    write_error_log(kSrc, __LINE__, line, rule.forced ? 1 : 0);
    if (rule.callback) sdk.notify(cb, ctx, rule.result);
    if (event != kNoEvent) sdk.play_sndhint(event);
    return rule.result;
}

// Enrolment (three images, a lift between them, a template) and capture (the first image that
// gives a feature): the start checks, then the phases until an ending.
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
    Grab g(*this, enrol, out, cb, ctx, timeout);
    if (!g.wb.ok) {
        set_msg(__LINE__, "malloc memory error", 1);
        return QVBIO_ERR_MEMORY;
    }
    int r = fvd_opendevice();
    if (r < 0) {
        set_msg(__LINE__, str_format("%s: open device failed nret = [%d]", op, r), 1);
        return QVBIO_ERR_NODEV;
    }
    g.press_hint(enrol ? EV_ENROLL_START : EV_CAPTURE_START);
    Phase phase = Phase::AwaitFinger;
    while (phase != Phase::Done) phase = g.step(phase);
    return g.report();
}

int CQvfv_sdk_cls::samesrc_match(unsigned char* img1, int len1, unsigned char* img2, int len2, unsigned char* img3,
                                 int len3) {
    Params params;
    WorkBuffers wb(2);  // feature, template
    if (!wb.ok) return QVBIO_ERR_MEMORY;
    unsigned char* feature = wb[0];
    unsigned char* tmpl = wb[1];
    _image first[3] = {image_of(img1, len1), image_of(img1, len1), image_of(img1, len1)};
    int tl = m_pfnMakeTmpl(nullptr, first, 3, tmpl, params.block);
    if (tl < 0) {
        set_msg(__LINE__, str_format("samesrc_match veinalg_make_tmpl failed. nret = [%d]", tl), 1);
        return tl;
    }
    if (tl > FV_TMPL_SIZE) tl = 0;  // not a template: it scores nothing
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
        if (!(score >= kSameFingerScore)) {  // NaN fails too
            set_msg(__LINE__,
                    str_format("samesrc_match veinalg_match failed. is not the same finger. score = [%.2f]", score), 1);
            return QVBIO_ERR_NOTSAME;
        }
        write_error_log(kSrc, __LINE__, str_format("samesrc_match %s score = [%.2f]", o.name, score), 0);
    }
    return 0;
}

int CQvfv_sdk_cls::matchfeat(char* tmpl, char* feat) {
    Turn turn(*this, Turn::Matching);
    Params params;
    int threshold = get_match_threshold();
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
    if (!(s >= 0.0)) {  // a veinalg error (or NaN)
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
