// The SDK object: start-up, configuration, message and hint tables, supported devices,
// device counting, base information, code messages and sound hints.
#include "qvfv_sdk_cls.h"

#include <dlfcn.h>

#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "fvdev.h"
#include "json_util.h"
#include "qv_log.h"
#include "qv_utils.h"

namespace {

const char* const kSrc = "qvfv_sdk_cls";
// Set once the configuration is read; from then on the tables it fills never change, so the calls
// that only look up read them without a lock.
std::atomic<bool> s_configLoaded{false};
std::mutex s_configMu;  // one first read at a time

constexpr size_t kCodeTextMax = 255;    // the caller's buffer has no length: texts are cut here
constexpr size_t kConfigMax = 1048576;  // a configuration file beyond this is damaged, never read
constexpr size_t kLangShown = 64;       // of $LANG in the language line
constexpr int kThresholdDefault = 70;
constexpr int kThresholdMin = 1;
constexpr int kThresholdMax = 100;
constexpr int kThresholdRefuseAll = INT_MAX;  // above every score: no match
constexpr size_t kThresholdNotesMax = 16;     // distinct forced values remembered for the log

// Message keys by the absolute value of a result code (0 to 19; 99 is "other").
const char* const kErrKeys[20] = {"ret_err_succ",     "ret_err_fail",    "ret_err_check",   "ret_err_param",
                                  "ret_err_nofeat",   "ret_err_nodest",  "ret_err_notsame", "ret_err_match",
                                  "ret_err_memory",   "ret_err_flash",   "ret_err_sensor",  "ret_err_raise",
                                  "ret_err_nsupp",    "ret_err_timeout", "ret_err_isbusy",  "ret_err_nodev",
                                  "ret_err_fewpoint", "ret_err_cancel",  "ret_err_file",    "ret_err_init"};
const char* const kErrOtherKey = "ret_err_other";

const char* const kHintKeys[EV_COUNT] = {"enroll_start",  "enroll_succ",    "enroll_fail",    "enroll_error",
                                         "enroll_cancel", "enroll_timeotu", "capture_start",  "capture_succ",
                                         "capture_fail",  "capture_error",  "capture_cancel", "capture_timeout",
                                         "press_finger",  "raise_finger",   "match_succ",     "match_fail"};

const char* const kSoundFiles[EV_COUNT] = {"enroll_template_start.wav",  "enroll_template_success.wav",
                                           "enroll_template_fail.wav",   "enroll_template_abnormal.wav",
                                           "enroll_template_cancel.wav", "enroll_template_timeout.wav",
                                           "capture_feature_start.wav",  "capture_feature_success.wav",
                                           "capture_feature_fail.wav",   "capture_feature_abnormal.wav",
                                           "capture_feature_cancel.wav", "capture_feature_timeout.wav",
                                           "press_finger.wav",           "raise_finger.wav",
                                           "match_feature_success.wav",  "match_feature_fail.wav"};

const char* const kDevName = "Quvera QVR610";

// A setting's text for a log line: bytes that could break the line are shown as \xNN.
std::string printable(const char* value) {
    std::string out;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(value); *p != 0; ++p)
        out += *p < 0x20 || *p == 0x7F ? str_format("\\x%02X", *p) : std::string(1, static_cast<char>(*p));
    return out;
}

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// A whole decimal number in [lo, hi] with nothing but blanks around it.
bool parse_bounded(const char* text, int lo, int hi, int& out) {
    const char* p = text;
    while (is_blank(*p)) ++p;
    if (!isdigit(static_cast<unsigned char>(*p))) return false;
    long v = 0;
    for (; isdigit(static_cast<unsigned char>(*p)); ++p) {
        v = v * 10 + (*p - '0');
        if (v > hi) return false;
    }
    while (is_blank(*p)) ++p;
    if (*p != 0 || v < lo) return false;
    out = static_cast<int>(v);
    return true;
}

}  // namespace

__attribute__((init_priority(1000))) CQvfv_sdk_cls fvsdk;

CQvfv_sdk_cls::CQvfv_sdk_cls()
    : m_algLoaded(0),
      m_inited(0),
      m_stopFlag(0),
      m_closedRecently(0),
      m_soundMode(0),
      m_closeTime(0),
      m_supDevCnt(0),
      m_getConf(nullptr),
      m_getConfCtx(nullptr),
      m_pfnInitHandle(nullptr),
      m_pfnReleaseHandle(nullptr),
      m_pfnImageQuality(nullptr),
      m_pfnMakeFeature(nullptr),
      m_pfnMakeTmpl(nullptr),
      m_pfnMatch(nullptr),
      m_pfnGetVersionInfo(nullptr),
      m_algHandle(nullptr) {
    memset(m_supDevs, 0, sizeof m_supDevs);
}

CQvfv_sdk_cls::~CQvfv_sdk_cls() {
    if (m_algHandle != nullptr) dlclose(m_algHandle);
    m_algHandle = nullptr;
    m_algLoaded = 0;
}

void CQvfv_sdk_cls::set_msg(int line, const std::string& msg, int force) {
    m_lastMsg = msg;
    write_error_log(kSrc, line, m_lastMsg, force);
}

// Holding the gate (init_sdk in qvfv_sdk_ops.cpp).
int CQvfv_sdk_cls::init_now(get_conf_cb_t getter, void* ctx) {
    if (m_inited) return 0;
    m_lastMsg.clear();
    m_supDevCnt = 0;
    m_stopFlag = 0;
    std::string msg;
    if (!get_config(&msg)) {
        m_lastMsg = msg;
        return QVBIO_ERR_INIT;
    }
    m_supDevCnt = get_supdev_cnt(m_supDevs);
    m_getConf = getter;
    m_getConfCtx = ctx;
    m_thresholdNotes.clear();
    m_lastMsg = "sdk initialize success";
    m_inited = 1;
    return 0;
}

// msg, when given, receives the failure's message: the caller decides whether it becomes the
// current one.
bool CQvfv_sdk_cls::get_config(std::string* msg) {
    if (s_configLoaded.load(std::memory_order_acquire)) return true;
    std::lock_guard<std::mutex> lk(s_configMu);
    if (s_configLoaded.load(std::memory_order_relaxed)) return true;
    std::string prefix = "en_";
    const std::string app = get_application_path();
    std::string file = app + "qvfv_config/" + "config.json";
    if (!file_exist(file.c_str())) {
        const std::string missing = "the config file is not exist. [ " + file + " ]";
        write_error_log(kSrc, __LINE__, missing, 1);
        if (msg != nullptr) *msg = missing;
        return false;
    }
    m_vidPidList = QV_DEFAULT_VIDPIDS;
    std::string text, why;
    // Whoever can write the configuration chooses which camera is taken for the scanner: as with
    // the recognition library, a file or folder that another user could replace is not read.
    for (const std::string& p : {app, app + "qvfv_config/", file}) {
        std::string w = replaceable_by_others(p);
        if (!w.empty()) {
            why = p + " " + w;
            break;
        }
    }
    // Only a regular file of bounded size is read, and it is parsed once; anything else reads as
    // a damaged configuration: every key takes its default.
    if (why.empty() && read_regular_file(file, kConfigMax, text, why)) {
        size_t nul = text.find('\0');
        if (nul != std::string::npos) text.resize(nul);
        if (text.empty()) why = "empty";
    }
    JsonDocument json(text);
    if (why.empty() && !json.parsed()) why = "not a JSON document";
    if (!why.empty())
        write_error_log(kSrc, __LINE__, "the config file is damaged, the defaults are used. [ " + file + " ] " + why,
                        1);

    std::vector<SupportedId> ids = parse_supported_ids(json.value("dev_vpid"));
    if (ids.empty()) ids = parse_supported_ids(m_vidPidList);
    m_vidPidList = join_supported_ids(ids);
    m_vidPids = std::move(ids);
    fvd_setsupdevids(m_vidPidList.c_str());
    // udev and lsusb show ids in lower case, and both are compared as they are written.
    for (const SupportedId& id : m_vidPids)
        if (id.upper)
            write_error_log(kSrc, __LINE__,
                            "supported device id [" + id.text + "] has upper-case letters, no device matches it", 1);

    std::string sound = json.value("play_sound");
    if (!sound.empty()) m_soundMode = static_cast<int>(strtol(sound.c_str(), nullptr, 10));

    // The variable itself: a shell's echo would glob and split it (and start a process).
    // Only its start matters, and a locale name is short: the log line shows at most kLangShown bytes.
    const char* env = getenv("LANG");
    std::string lang = env != nullptr ? std::string(env, strnlen(env, kLangShown + 1)) : "";
    std::string shown = printable(lang.substr(0, kLangShown).c_str()) + (lang.size() > kLangShown ? "..." : "");
    write_error_log(kSrc, __LINE__, "current system's language: [" + shown + "]", 1);
    if (lang.compare(0, 3, "zh_") == 0) prefix = "zh_";

    init_errmsg(json, prefix);
    init_multhint(json, prefix);
    s_configLoaded.store(true, std::memory_order_release);
    return true;
}

void CQvfv_sdk_cls::init_errmsg(const JsonDocument& json, const std::string& prefix) {
    for (int i = 0; i < 20; i++) m_errMsg[i] = json.value(prefix + kErrKeys[i]);
    m_errMsg[99] = json.value(prefix + kErrOtherKey);
}

void CQvfv_sdk_cls::init_multhint(const JsonDocument& json, const std::string& prefix) {
    for (int i = 0; i < EV_COUNT; i++) m_hintMsg[i] = json.value(prefix + kHintKeys[i]);
}

// The records built into recs, their number the result.
int CQvfv_sdk_cls::get_supdev_cnt(dev_info_st (&recs)[QV_MAX_SUPDEVS]) const {
    int count = 0;
    memset(recs, 0, sizeof recs);
    for (const SupportedId& id : m_vidPids) {
        write_error_log(kSrc, __LINE__,
                        str_format("Vidpid of supported devices: [%s:%s]", id.vendor.c_str(), id.product.c_str()), 0);
        if (!id.record) {
            write_error_log(kSrc, __LINE__, "invalid supported device id: [" + id.text + "]", 1);
            continue;
        }
        if (count >= QV_MAX_SUPDEVS) {
            write_error_log(kSrc, __LINE__, "too many supported devices, ignored: [" + id.text + "]", 1);
            continue;
        }
        dev_info_st& d = recs[count++];
        d.vid = id.vid;
        d.pid = id.pid;
        snprintf(d.name, sizeof d.name, "%s", kDevName);
    }
    return count;
}

// Beside a running operation, without the gate: the records and the message stay local.
int CQvfv_sdk_cls::get_support_devs(dev_info_st* devs, int max) {
    if (!get_config()) return QVBIO_ERR_INIT;
    dev_info_st recs[QV_MAX_SUPDEVS];
    int count = get_supdev_cnt(recs);
    if (devs == nullptr) return count;
    int n = count < max ? count : max;
    if (n <= 0) return 0;
    for (int i = 0; i < n; i++) {
        devs[i].vid = recs[i].vid;
        devs[i].pid = recs[i].pid;
        snprintf(devs[i].name, sizeof devs[i].name, "%s", recs[i].name);
    }
    return n;
}

// Beside a running operation, without the gate: a service counts scanners on hot-plug or on a
// timer, and must neither wait for an enrolment nor change the message the operation reports.
int CQvfv_sdk_cls::enumdevice() {
    if (!get_config()) return QVBIO_ERR_INIT;
    dev_info_st recs[QV_MAX_SUPDEVS];
    get_supdev_cnt(recs);  // only for its log lines, as every enumeration has written them
    return qvfv_enumdevice();
}

int CQvfv_sdk_cls::qvfv_enumdevice() {
    // The same entries as the records, so a long list cannot start lsusb without bound.
    int count = 0, records = 0;
    for (const SupportedId& id : m_vidPids) {
        if (!id.record) continue;
        if (records++ >= QV_MAX_SUPDEVS) break;
        // Only "vvvv:pppp" reaches lsusb; an id in upper case could never be counted anyway.
        if (!id.pair) {
            write_error_log(kSrc, __LINE__, "skip lsusb for invalid device id: [" + id.text + "]", 1);
            continue;
        }
        const std::string& entry = id.text;
        bool started = false;
        std::string out = run_argv({"lsusb", "-d", entry}, QV_LSUSB_DEADLINE_MS, &started);
        if (!started) {
            write_error_log(kSrc, __LINE__, "cannot run lsusb, attached devices are not counted", 1);
            break;
        }
        if (out.empty()) continue;
        for (size_t pos = out.find(entry); pos != std::string::npos; pos = out.find(entry, pos + entry.size())) count++;
    }
    return count;
}

int CQvfv_sdk_cls::get_base_info(base_info_st* info) {
    if (info == nullptr) return QVBIO_ERR_PARAM;
    snprintf(info->bio_name, sizeof info->bio_name, "%s", "quvera_fingervein");
    snprintf(info->bio_full_name, sizeof info->bio_full_name, "%s", "Quvera Finger vein: Quvera QVR610");
    info->template_len = 3996;
    info->feature_len = 34384;
    return 0;
}

// Beside a running operation, without the gate: the table is read only once it is complete.
int CQvfv_sdk_cls::get_last_error(int code, char* out) {
    if (out == nullptr) return QVBIO_ERR_PARAM;
    if (code < -99 || code > 99 || !s_configLoaded.load(std::memory_order_acquire)) {
        // no table entry: read like a code without a configured text
        out[0] = 0;
        return 0;
    }
    const std::string& text = m_errMsg[code < 0 ? -code : code];
    size_t n = text.size() < kCodeTextMax ? text.size() : kCodeTextMax;
    // Never cut inside a UTF-8 character: back up over its continuation bytes (at most three).
    for (int k = 0; k < 3 && n < text.size() && n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80; k++) n--;
    memcpy(out, text.data(), n);
    out[n] = 0;
    return static_cast<int>(n);
}

void CQvfv_sdk_cls::play_sndhint(int event) {
    if (event < 0 || event >= EV_COUNT) return;
    if (m_soundMode == 2) {
    } else if (m_soundMode == 1) {
        if (event == EV_MATCH_SUCC || event == EV_MATCH_FAIL) return;
    } else {
        return;
    }
    play_sound(get_application_path() + "sndfiles/" + kSoundFiles[event], 1);
}

// The getter's reply for key in value (256 bytes, NUL-terminated); false when there is no getter or
// the reply is empty, which means the default.
bool CQvfv_sdk_cls::ask_setting(const char* key, char (&value)[256]) {
    memset(value, 0, sizeof value);
    if (m_getConf == nullptr) return false;
    m_getConf(key, value, m_getConfCtx);
    value[sizeof value - 1] = 0;
    return value[0] != 0;
}

int CQvfv_sdk_cls::get_conf_int(const char* key, int def) {
    char value[256];
    if (!ask_setting(key, value)) return def;
    // Read as a decimal number (text reads as 0); beyond the int range it is clamped, not wrapped.
    long v = strtol(value, nullptr, 10);
    if (v > INT_MAX) return INT_MAX;
    if (v < INT_MIN) return INT_MIN;
    return static_cast<int>(v);
}

int CQvfv_sdk_cls::get_match_threshold() {
    char value[256];
    if (!ask_setting("MatchThreshold", value)) return kThresholdDefault;
    int v = 0;
    if (parse_bounded(value, kThresholdMin, kThresholdMax, v)) return v;
    // Anything else must never lower the bar: the stricter of the default and the number the text
    // starts with, and beyond 100 no score reaches it.
    long lead = strtol(value, nullptr, 10);
    int threshold = kThresholdDefault;
    if (lead > kThresholdMax)
        threshold = kThresholdRefuseAll;
    else if (lead > kThresholdDefault)
        threshold = static_cast<int>(lead);
    // Once per value: a service asks at every match.
    for (const std::string& n : m_thresholdNotes)
        if (n == value) return threshold;
    if (m_thresholdNotes.size() >= kThresholdNotesMax) m_thresholdNotes.erase(m_thresholdNotes.begin());
    m_thresholdNotes.push_back(value);
    std::string used = threshold == kThresholdRefuseAll ? std::string("every match is refused")
                                                        : str_format("the threshold %d is used", threshold);
    write_error_log(kSrc, __LINE__,
                    str_format("MatchThreshold [%s] is not a whole number from %d to %d, %s", printable(value).c_str(),
                               kThresholdMin, kThresholdMax, used.c_str()),
                    1);
    return threshold;
}
