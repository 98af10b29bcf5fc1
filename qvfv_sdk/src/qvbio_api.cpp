// The flat driver interface: every function forwards to the SDK object, and no exception leaves it.
#include "qvbio_api_define.h"
#include "qvfv_sdk_cls.h"

#define QVBIO_FORWARD(call)     \
    try {                       \
        return fvsdk.call;      \
    } catch (...) {             \
        return QVBIO_ERR_OTHER; \
    }

extern "C" {

int qvbio_init(get_conf_cb_t getter, void* ctx) { QVBIO_FORWARD(init_sdk(getter, ctx)) }
int qvbio_free(void) { QVBIO_FORWARD(free_sdk()) }
int qvbio_get_base_info(base_info_st* info) { QVBIO_FORWARD(get_base_info(info)) }
int qvbio_get_support_devs(dev_info_st* devs, int max) { QVBIO_FORWARD(get_support_devs(devs, max)) }
int qvbio_enum_device(void) { QVBIO_FORWARD(enumdevice()) }
int qvbio_open_device(void) { QVBIO_FORWARD(opendevice()) }
int qvbio_close_device(void) { QVBIO_FORWARD(closedevice()) }
int qvbio_enroll_templet(char* out, progress_cb_t cb, void* ctx) { QVBIO_FORWARD(enroll_templet(out, cb, ctx)) }
int qvbio_capture_feature(char* out, progress_cb_t cb, void* ctx) { QVBIO_FORWARD(capture_feature(out, cb, ctx)) }
int qvbio_stop_work(void) { QVBIO_FORWARD(stop_working()) }
int qvbio_match_feature(const char* tmpl, const char* feat) {
    QVBIO_FORWARD(matchfeat(const_cast<char*>(tmpl), const_cast<char*>(feat)))
}
int qvbio_get_code_info(int code, char* out) { QVBIO_FORWARD(get_last_error(code, out)) }

}  // extern "C"
