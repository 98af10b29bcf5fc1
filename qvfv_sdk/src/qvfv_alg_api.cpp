// Loading the recognition library from "libs/" beside the driver and binding its seven functions.
#include <dlfcn.h>

#include <cstdio>

#include "qv_log.h"
#include "qv_utils.h"
#include "qvfv_sdk_cls.h"

namespace {

const char* const kSdkSrc = "qvfv_sdk_cls";
const char* const kAlgSrc = "qvfv_alg_api";

void clear_bindings(CQvfv_sdk_cls& s) {
    s.m_pfnInitHandle = nullptr;
    s.m_pfnReleaseHandle = nullptr;
    s.m_pfnImageQuality = nullptr;
    s.m_pfnMakeFeature = nullptr;
    s.m_pfnMakeTmpl = nullptr;
    s.m_pfnMatch = nullptr;
    s.m_pfnGetVersionInfo = nullptr;
}

}  // namespace

bool CQvfv_sdk_cls::init_alg() {
    if (m_algLoaded) return true;
    std::string dir = get_application_path() + "libs/";
    std::string family = get_plattype();
    // The family names a file in libs/ and nothing else.
    if (family.empty() || family.find('/') != std::string::npos) family = "unknown";
    std::string path = dir + "libveinalg_" + family + ".so";
    write_error_log(kSdkSrc, __LINE__, str_format("libfile: [%s]", path.c_str()), 0);
    if (!file_exist(path.c_str())) {
        set_msg(__LINE__, str_format("libfile [%s] is not exist.", path.c_str()), 1);
        m_algLoaded = 0;
        return false;
    }
    if (m_algHandle == nullptr) {
        if (!file_exist(path.c_str())) {
            write_error_log(kAlgSrc, __LINE__, str_format("algorithm file is not exist. [%s]", path.c_str()), 1);
            m_algLoaded = 0;
            return false;
        }
        // The service runs as root: never load code that another user could have put there.
        for (const std::string& p : {get_application_path(), dir, path}) {
            std::string why = replaceable_by_others(p);
            if (why.empty()) continue;
            write_error_log(kAlgSrc, __LINE__,
                            str_format("algorithm file not loaded: [%s] %s, so other users could replace [%s]",
                                       p.c_str(), why.c_str(), path.c_str()),
                            1);
            write_error_log(kAlgSrc, __LINE__, "failed to load lib.", 1);
            m_algLoaded = 0;
            return false;
        }
        void* h = dlopen(path.c_str(), RTLD_LAZY);
        if (h == nullptr) {
            const char* err = dlerror();
            printf("dlopen - %s\n", err != nullptr ? err : "");
            fflush(stdout);
            write_error_log(kAlgSrc, __LINE__, "failed to load lib.", 1);
            m_algLoaded = 0;
            return false;
        }
        m_pfnInitHandle = reinterpret_cast<init_handle_fn>(dlsym(h, "veinalg_init_handle"));
        m_pfnReleaseHandle = reinterpret_cast<release_handle_fn>(dlsym(h, "veinalg_release_handle"));
        m_pfnImageQuality = reinterpret_cast<image_quality_fn>(dlsym(h, "veinalg_image_quality"));
        m_pfnMakeFeature = reinterpret_cast<make_feature_fn>(dlsym(h, "veinalg_make_feature"));
        m_pfnMakeTmpl = reinterpret_cast<make_tmpl_fn>(dlsym(h, "veinalg_make_tmpl"));
        m_pfnMatch = reinterpret_cast<match_fn>(dlsym(h, "veinalg_match"));
        m_pfnGetVersionInfo = reinterpret_cast<version_info_fn>(dlsym(h, "veinalg_get_version_info"));
        if (m_pfnInitHandle == nullptr || m_pfnReleaseHandle == nullptr || m_pfnImageQuality == nullptr ||
            m_pfnMakeFeature == nullptr || m_pfnMakeTmpl == nullptr || m_pfnMatch == nullptr ||
            m_pfnGetVersionInfo == nullptr) {
            write_error_log(kAlgSrc, __LINE__, "failed to get function address.", 1);
            clear_bindings(*this);
            dlclose(h);
            m_algLoaded = 0;
            return false;
        }
        if (m_pfnInitHandle(nullptr, 0) != 0) {
            write_error_log(kAlgSrc, __LINE__, "algorithm initialize (veinalg_init_handle) failed.", 1);
            clear_bindings(*this);
            dlclose(h);
            m_algLoaded = 0;
            return false;
        }
        // Once bound it stays in the process whatever its link line says: its runtime's set-up is
        // never returned by an unload, so each free and reopen would cost memory. Only now, so that
        // a library that failed is unloaded above and the next open reads the file again.
        if (void* resident = dlopen(path.c_str(), RTLD_LAZY | RTLD_NOLOAD | RTLD_NODELETE)) dlclose(resident);
        m_algHandle = h;
    }
    write_error_log(kSdkSrc, __LINE__, "succ to load fingervein alg lib", 0);
    qv_sleep(200);
    m_algLoaded = 1;
    return true;
}
