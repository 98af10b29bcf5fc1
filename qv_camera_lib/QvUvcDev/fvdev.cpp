// The device object.
#include "fvdev.h"

#include <string.h>

#include "qv_utils.h"
#include "supported_ids.h"

namespace {
constexpr int kWidth = 320;
constexpr int kHeight = 240;
constexpr int kRegEncrypt = 0x099E;
constexpr int kRegFinger = 0x1005;
constexpr int kSnFirstRecord = 2;
constexpr int kSnLastAddress = 0xFFF;
constexpr int kSnRecordType = 4;
constexpr int kSnMax = 1024;
}  // namespace

// Constructed after fvsdk and destroyed before it, so the camera is closed before the SDK unloads.
__attribute__((init_priority(1001))) CFvdev fvd;

CFvdev::CFvdev() : m_camera(nullptr) { init_para(); }

CFvdev::~CFvdev() { closedevice(); }

void CFvdev::init_para() {
    m_devCount = 0;
    m_devIdx = 0;
    m_lastPress = 0;
    m_opened = false;
    m_supDevIds.clear();
    m_camera = nullptr;
    m_devices.clear();
}

int CFvdev::enumdevice() {
    m_devCount = 0;
    m_devices.clear();
    // With a supported list only its scanners are probed; without one every answering node counts.
    int r = enum_devices(m_devices, m_supDevIds);
    if (r < 0) {
        m_devices.clear();
        // The count stays 0, so the next open enumerates again.
        return m_supDevIds.empty() ? r : 0;
    }
    m_devCount = static_cast<int>(m_devices.size());
    return m_devCount;
}

int CFvdev::opendevice() {
    if (m_opened && m_camera) return 0;
    if (m_devCount <= 0) enumdevice();
    if (m_devCount <= 0) return -15;
    if (m_devIdx < 0 || m_devIdx >= m_devCount) return -3;
    const dev_id_t id = m_devices[m_devIdx];
    int r = FvOpenDevice(id.path, kWidth, kHeight, &m_camera);
    if (r < 0) {
        // The scanner may have been replugged under another node: find it again next time.
        m_devices.clear();
        m_devCount = 0;
        return r;
    }
    m_camera->vid = id.vid;
    m_camera->pid = id.pid;
    QvSetRegister(m_camera, kRegEncrypt, 1);
    m_opened = true;
    return 0;
}

int CFvdev::closedevice() {
    int r = 0;
    if (m_camera) r = QvCloseDevice(m_camera);
    m_camera = nullptr;
    m_opened = false;
    return r;
}

int CFvdev::ispress() {
    if (!m_camera) return -1;
    unsigned int v = 0;
    QvGetRegister(m_camera, kRegFinger, &v);  // a failed read counts as no finger
    return static_cast<int>(v & 1);
}

int CFvdev::captureimg(char* buffer) {
    if (!m_camera) return -1;
    const int press = ispress();
    m_lastPress = press;
    int r = QvCaptureImage(m_camera, reinterpret_cast<unsigned char*>(buffer));
    return r < 0 ? r : press;
}

int CFvdev::setdevidx(int index) {
    m_devIdx = index;
    return 0;
}

int CFvdev::setsupdevids(const char* text) {
    try {
        m_supDevIds = text != nullptr ? join_supported_ids(parse_supported_ids(text)) : "";
    } catch (...) {
        m_supDevIds = text;  // untrimmed rather than empty: an empty list would accept every scanner
    }
    return 0;
}

int CFvdev::readdevsn(char* out) {
    if (!out) return -3;
    const bool was_open = m_camera != nullptr;
    if (!was_open) {
        int r = opendevice();
        if (r < 0) return r;
    }
    int result = -1;
    int addr = kSnFirstRecord;
    unsigned char buf[kSnMax];
    for (;;) {
        memset(buf, 0, sizeof buf);
        int r = QvReadFlash(m_camera, addr, 3, buf);
        if (r != 0) {
            result = r;
            break;
        }
        const int type = buf[0];
        const int len = (buf[1] << 8) | buf[2];
        if (type == kSnRecordType) {
            if (len > kSnMax) break;  // more than the buffer holds
            memset(buf, 0, sizeof buf);
            r = QvReadFlash(m_camera, addr + 3, len, buf);
            if (r != 0) {
                result = r;
                break;
            }
            memcpy(out, buf, len);
            result = len;
            break;
        }
        if (type == 0) break;
        addr += 3 + len;
        if (addr > kSnLastAddress) break;
    }
    if (!was_open) closedevice();
    return result;
}

int fvd_enumdevice() {
    try {
        return fvd.enumdevice();
    } catch (...) {
        return -1;
    }
}
int fvd_opendevice() {
    try {
        return fvd.opendevice();
    } catch (...) {
        return -1;
    }
}
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
