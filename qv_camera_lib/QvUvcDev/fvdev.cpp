// The device object. Camera access is not wired in yet: no device is ever found.
#include "fvdev.h"

// Constructed after fvsdk and destroyed before it, so the camera is closed before the SDK unloads.
__attribute__((init_priority(1001))) CFvdev fvd;

CFvdev::CFvdev() { init_para(); }

CFvdev::~CFvdev() { closedevice(); }

void CFvdev::init_para() {
    m_devCount = 0;
    m_devIdx = 0;
    m_lastPress = 0;
    m_opened = false;
    m_supDevIds.clear();
}

int CFvdev::enumdevice() {
    m_devCount = 0;
    return 0;
}

int CFvdev::opendevice() {
    if (m_opened) return 0;
    if (m_devCount == 0 && enumdevice() == 0) return -15;
    return -15;
}

int CFvdev::closedevice() {
    m_opened = false;
    return 0;
}

int CFvdev::ispress() { return -1; }

int CFvdev::captureimg(char* /*buffer*/) { return -1; }

int CFvdev::setdevidx(int index) {
    m_devIdx = index;
    return 0;
}

int CFvdev::setsupdevids(const char* text) {
    m_supDevIds = text != nullptr ? text : "";
    return 0;
}

int CFvdev::readdevsn(char* /*out*/) { return -15; }

int fvd_enumdevice() { return fvd.enumdevice(); }
int fvd_opendevice() { return fvd.opendevice(); }
int fvd_closedevice() { return fvd.closedevice(); }
int fvd_ispress() { return fvd.ispress(); }
int fvd_captureimg(char* buffer) { return fvd.captureimg(buffer); }
int fvd_setdevidx(int index) { return fvd.setdevidx(index); }
int fvd_setsupdevids(const char* text) {
    try {
        return fvd.setsupdevids(text);
    } catch (...) {
        return -12;
    }
}
int fvd_readdevsn(char* out) { return fvd.readdevsn(out); }
