// The SDK object behind the qvbio_* functions: configuration, message and hint tables,
// supported devices, the recognition library's functions and the device operations.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "qv_export.h"
#include "qvbio_api_define.h"
#include "supported_ids.h"

// Events: index of the hint table and of the sound files.
enum _Event_Type {
    EV_ENROLL_START = 0,
    EV_ENROLL_SUCC,
    EV_ENROLL_FAIL,
    EV_ENROLL_ERROR,
    EV_ENROLL_CANCEL,
    EV_ENROLL_TIMEOUT,
    EV_CAPTURE_START,
    EV_CAPTURE_SUCC,
    EV_CAPTURE_FAIL,
    EV_CAPTURE_ERROR,
    EV_CAPTURE_CANCEL,
    EV_CAPTURE_TIMEOUT,
    EV_PRESS_FINGER,
    EV_RAISE_FINGER,
    EV_MATCH_SUCC,
    EV_MATCH_FAIL,
    EV_COUNT
};

constexpr int QV_MAX_SUPDEVS = 10;
constexpr int QV_MSG_TABLE = 100;

struct _image;
struct FV_VERSION_INFO;
class JsonDocument;

class CQvfv_sdk_cls {
public:
    using init_handle_fn = int (*)(void*, unsigned long);
    using release_handle_fn = int (*)(void*);
    using image_quality_fn = int (*)(const unsigned char*, int, int);
    using make_feature_fn = int (*)(void*, const _image*, int, void*, int, void*);
    using make_tmpl_fn = int (*)(void*, const _image*, int, void*, void*);
    using match_fn = double (*)(void*, const void*, int, const void*, int, void*);
    using version_info_fn = int (*)(FV_VERSION_INFO*);

    QV_EXPORT CQvfv_sdk_cls();
    QV_EXPORT ~CQvfv_sdk_cls();
    CQvfv_sdk_cls(const CQvfv_sdk_cls&) = delete;
    CQvfv_sdk_cls& operator=(const CQvfv_sdk_cls&) = delete;

    QV_EXPORT int init_sdk(get_conf_cb_t getter, void* ctx);
    QV_EXPORT int free_sdk();
    QV_EXPORT int get_base_info(base_info_st* info);
    QV_EXPORT int get_support_devs(dev_info_st* devs, int max);
    QV_EXPORT int enumdevice();
    QV_EXPORT int opendevice();
    QV_EXPORT int closedevice();
    QV_EXPORT int enroll_templet(char* out, progress_cb_t cb, void* ctx);
    QV_EXPORT int capture_feature(char* out, progress_cb_t cb, void* ctx);
    QV_EXPORT int stop_working();
    QV_EXPORT int matchfeat(char* tmpl, char* feat);  // both texts are only read
    QV_EXPORT int get_last_error(int code, char* out);
    QV_EXPORT int capturimg(char* buf);
    QV_EXPORT int setdevidx(int index);

    unsigned char m_algLoaded;
    std::atomic<unsigned char> m_inited;    // read without the gate by a repeated qvbio_init
    std::atomic<unsigned char> m_stopFlag;  // set from the service's other thread
    unsigned char m_closedRecently;
    int m_soundMode;
    long m_closeTime;
    std::string m_vidPidList;
    std::string m_lastMsg;
    std::string m_errMsg[QV_MSG_TABLE];
    std::string m_hintMsg[QV_MSG_TABLE];
    int m_supDevCnt;
    std::vector<SupportedId> m_vidPids;  // the entries of m_vidPidList
    dev_info_st m_supDevs[QV_MAX_SUPDEVS];
    get_conf_cb_t m_getConf;
    void* m_getConfCtx;
    init_handle_fn m_pfnInitHandle;
    release_handle_fn m_pfnReleaseHandle;
    image_quality_fn m_pfnImageQuality;
    make_feature_fn m_pfnMakeFeature;
    make_tmpl_fn m_pfnMakeTmpl;
    match_fn m_pfnMatch;
    version_info_fn m_pfnGetVersionInfo;
    void* m_algHandle;

private:
    bool get_config(std::string* msg = nullptr);
    void init_errmsg(const JsonDocument& json, const std::string& prefix);
    void init_multhint(const JsonDocument& json, const std::string& prefix);
    int get_supdev_cnt(dev_info_st (&recs)[QV_MAX_SUPDEVS]) const;
    int qvfv_enumdevice();
    void play_sndhint(int event);
    bool ask_setting(const char* key, char (&value)[256]);
    int get_conf_int(const char* key, int def);
    int get_match_threshold();
    std::vector<std::string> m_thresholdNotes;  // forced "MatchThreshold" values already logged
    void set_msg(int line, const std::string& msg, int force);
    bool init_alg();
    int samesrc_match(unsigned char* img1, int len1, unsigned char* img2, int len2, unsigned char* img3, int len3);
    // Sends m_lastMsg (a copy, so a callback may call back into the driver) with the code.
    void notify(progress_cb_t cb, void* ctx, int code);
    struct Grab;  // one enrolment or capture in progress
    int run_grab_loop(bool enrol, char* out, progress_cb_t cb, void* ctx, int timeout);
    int init_now(get_conf_cb_t getter, void* ctx);
    int open_now();
    int close_now();
    int free_now();
    int refuse_inside(const char* op);
    int enroll_now(char* out, progress_cb_t cb, void* ctx);
    int capture_now(char* out, progress_cb_t cb, void* ctx);

    // One of init, open, close, free, capturimg, setdevidx or an operation at a time: the device, the
    // bound functions, the getter and m_lastMsg belong to whoever holds the gate, and callers get it
    // in the order they came. A close or free from another thread stops a running operation and
    // goes first; one from the operation's own callback (or getter) is done when the operation
    // returns, and the calls that would change the device or the configuration are refused there.
    // The calls that only count or look up never take it: they read the configuration, which no
    // one changes once it is loaded. (Turn in qvfv_sdk_ops.cpp.)
    struct Gate {
        std::mutex mu;
        std::condition_variable cv;
        bool busy = false;
        bool operation = false;  // the holder is an enrolment, capture or matching
        std::thread::id holder;
        int closers = 0;          // closes and frees waiting: they go first
        bool closeLater = false;  // asked for from inside the operation
        bool freeLater = false;
        unsigned long tickets = 0;  // the others wait their turn in order
        unsigned long serving = 0;
        bool held_here();  // this thread holds it: a call from the holder's callback or getter
    };
    Gate m_gate;
    class Turn;
};

QV_EXPORT extern CQvfv_sdk_cls fvsdk;
