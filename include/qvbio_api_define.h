/* Driver interface of libveinsdk for the biometric-authentication service: records, callbacks and
 * the twelve qvbio_* functions. The caller owns every buffer it passes. Results: 0 success, a count
 * where one is asked for, a negative code on failure (qvbio_get_code_info gives its text). */
#pragma once

#include "qv_export.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Result codes; each names its message "ret_err_<name>" in config.json (qvbio_get_code_info). The
 * README's table tells which calls return which: -4, -5, -9 to -12, -16 and -18 are never
 * returned, they only have messages. */
enum qvbio_result {
    QVBIO_OK = 0,
    QVBIO_ERR_FAIL = -1,
    QVBIO_ERR_CHECK = -2,
    QVBIO_ERR_PARAM = -3,
    QVBIO_ERR_NOFEAT = -4,
    QVBIO_ERR_NODEST = -5,
    QVBIO_ERR_NOTSAME = -6,
    QVBIO_ERR_MATCH = -7,
    QVBIO_ERR_MEMORY = -8,
    QVBIO_ERR_FLASH = -9,
    QVBIO_ERR_SENSOR = -10,
    QVBIO_ERR_RAISE = -11,
    QVBIO_ERR_NSUPP = -12,
    QVBIO_ERR_TIMEOUT = -13,
    QVBIO_ERR_BUSY = -14,
    QVBIO_ERR_NODEV = -15,
    QVBIO_ERR_FEWPOINT = -16,
    QVBIO_ERR_CANCEL = -17,
    QVBIO_ERR_FILE = -18,
    QVBIO_ERR_INIT = -19,
    QVBIO_ERR_OTHER = -99
};

typedef struct base_info_st {
    char bio_name[260];      /* "quvera_fingervein" */
    char bio_full_name[260]; /* "Quvera Finger vein: Quvera QVR610" */
    int template_len;        /* buffer size for qvbio_enroll_templet's text (3996) */
    int feature_len;         /* buffer size for qvbio_capture_feature's text (34384) */
} base_info_st, qvbio_base_info_st;

typedef struct dev_info_st {
    int vid;
    int pid;
    char name[260];
} dev_info_st;

/* The service's configuration getter: value is a zeroed 256-byte buffer; the result is ignored.
 * Keys: "EnrollTimeout" and "CaptureTimeout" (seconds, default 30 and 10) and "MatchThreshold"
 * (percent, default 70). "MatchThreshold" is a whole number from 1 to 100 with blanks around it;
 * any other reply takes the stricter of 70 and the number it starts with ("80%" is 80, "1.0" is
 * 70), above 100 no template matches, and a forced log line names the value once.
 * Logs: every line goes to standard output; the files under runlog/ are written only when they
 * are regular files of the service's own user with one link (see the README). */
typedef int (*get_conf_cb_t)(const char* key, char* value, void* ctx);
/* Progress: 1000 place the finger, 1001 lift it, 0 done, a negative code on failure.
 * msg is valid only during the call. */
typedef void (*progress_cb_t)(int code, const char* msg, void* ctx);

/* Threads. An enrolment, capture or matching runs on the caller's thread; the callback and the
 * getter run inside it, on that thread.
 * - Beside a running operation, from any thread, without waiting: qvbio_stop_work,
 *   qvbio_get_base_info, qvbio_get_code_info, qvbio_get_support_devs, qvbio_enum_device, and
 *   qvbio_init once the driver is initialised (it then changes nothing and returns 0).
 * - Waiting for the running call, in the order they come: qvbio_init (first time),
 *   qvbio_open_device, qvbio_enroll_templet, qvbio_capture_feature, qvbio_match_feature.
 *   qvbio_close_device and qvbio_free go before them: they stop a running enrolment or capture
 *   (result -17) and return once it has ended.
 * - From inside a callback or getter: the calls of the first group but qvbio_init, and
 *   qvbio_match_feature, work;
 *   qvbio_close_device and qvbio_free return 0, stop the operation and are done when it returns;
 *   qvbio_open_device, qvbio_init, qvbio_enroll_templet and qvbio_capture_feature return -14
 *   (QVBIO_ERR_BUSY) and change nothing. A callback must not wait for another thread that calls
 *   into the driver. */
QV_EXPORT int qvbio_init(get_conf_cb_t getter, void* ctx);
QV_EXPORT int qvbio_free(void);
QV_EXPORT int qvbio_get_base_info(base_info_st* info);
/* Copies at most max records; with devs NULL returns how many there are. */
QV_EXPORT int qvbio_get_support_devs(dev_info_st* devs, int max);
QV_EXPORT int qvbio_enum_device(void);
QV_EXPORT int qvbio_open_device(void);
QV_EXPORT int qvbio_close_device(void);
/* out: a zeroed buffer of template_len bytes; the Base64 text is written without a NUL. */
QV_EXPORT int qvbio_enroll_templet(char* out, progress_cb_t cb, void* ctx);
/* out: a zeroed buffer of feature_len bytes; the Base64 text is written without a NUL. */
QV_EXPORT int qvbio_capture_feature(char* out, progress_cb_t cb, void* ctx);
QV_EXPORT int qvbio_stop_work(void);
QV_EXPORT int qvbio_match_feature(const char* tmpl, const char* feat);
/* Copies the code's message and its NUL (at most 256 bytes) into out; returns its length. */
QV_EXPORT int qvbio_get_code_info(int code, char* out);

#ifdef __cplusplus
}
#endif
