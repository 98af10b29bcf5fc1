// The device object: the process-wide scanner list, the selected index and the open camera,
// reached by the SDK only through the fvd_* functions.
#pragma once

#include <string>
#include <vector>

#include "qv_export.h"
#include "qv_uvc_dev.h"

class QV_EXPORT CFvdev {
public:
    CFvdev();
    ~CFvdev();
    CFvdev(const CFvdev&) = delete;
    CFvdev& operator=(const CFvdev&) = delete;

    void init_para();
    int enumdevice();
    int opendevice();
    int closedevice();
    int ispress();
    int captureimg(char* buffer);  // buffer holds width x height grey bytes
    int setdevidx(int index);
    int setsupdevids(const char* text);  // "vvvv:pppp,..." as in the configuration
    int readdevsn(char* out);            // out holds up to 1,024 bytes

    int m_devCount;
    int m_devIdx;
    int m_lastPress;
    bool m_opened;
    std::string m_supDevIds;
    V4L2Camera* m_camera;
    std::vector<dev_id_t> m_devices;
};

QV_EXPORT extern CFvdev fvd;

extern "C" {
QV_EXPORT int fvd_enumdevice();
QV_EXPORT int fvd_opendevice();
QV_EXPORT int fvd_closedevice();
QV_EXPORT int fvd_ispress();
QV_EXPORT int fvd_captureimg(char* buffer);
QV_EXPORT int fvd_setdevidx(int index);
QV_EXPORT int fvd_setsupdevids(const char* text);
QV_EXPORT int fvd_readdevsn(char* out);
}
