// Device control and the enrolment, capture and matching operations of the SDK object.
#include <dlfcn.h>

#include "fvdev.h"
#include "qv_log.h"
#include "qv_utils.h"
#include "qvfv_sdk_cls.h"

namespace {
const char* const kSrc = "qvfv_sdk_cls";
}  // namespace

int CQvfv_sdk_cls::opendevice() {
    if (!m_inited) {
        set_msg(__LINE__, "opendevice: sdk not initialize or initialize failed", 1);
        return QVBIO_ERR_INIT;
    }
    set_msg(__LINE__, "algorithm initialize failed.", 1);
    return QVBIO_ERR_INIT;
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

int CQvfv_sdk_cls::enroll_templet(char* /*out*/, progress_cb_t /*cb*/, void* /*ctx*/) {
    m_stopFlag = 0;
    get_conf_int("EnrollTimeout", 30);
    if (!m_inited || !m_algLoaded) {
        set_msg(__LINE__, "enroll_templet: sdk not initialize or initialize failed", 1);
        return QVBIO_ERR_INIT;
    }
    return QVBIO_ERR_INIT;
}

int CQvfv_sdk_cls::capture_feature(char* /*out*/, progress_cb_t /*cb*/, void* /*ctx*/) {
    m_stopFlag = 0;
    get_conf_int("CaptureTimeout", 10);
    if (!m_inited || !m_algLoaded) {
        set_msg(__LINE__, "capture_feature: sdk not initialize or initialize failed", 1);
        return QVBIO_ERR_INIT;
    }
    return QVBIO_ERR_INIT;
}

int CQvfv_sdk_cls::matchfeat(const char* /*tmpl*/, const char* /*feat*/) {
    get_conf_int("MatchThreshold", 70);
    if (!m_algLoaded) {
        set_msg(__LINE__, "matchfeat: algorithm not loaded", 1);
        return QVBIO_ERR_INIT;
    }
    return QVBIO_ERR_INIT;
}
