// The twelve driver functions of a private library copy, looked up in a child process.
#pragma once

#include "qvbio_api_define.h"
#include "sdk_harness.h"

namespace qvtest {

struct Api {
    explicit Api(void* h)
        : init(fn<decltype(&qvbio_init)>(h, "qvbio_init")),
          free_(fn<decltype(&qvbio_free)>(h, "qvbio_free")),
          base_info(fn<decltype(&qvbio_get_base_info)>(h, "qvbio_get_base_info")),
          support_devs(fn<decltype(&qvbio_get_support_devs)>(h, "qvbio_get_support_devs")),
          enum_device(fn<decltype(&qvbio_enum_device)>(h, "qvbio_enum_device")),
          open(fn<decltype(&qvbio_open_device)>(h, "qvbio_open_device")),
          close(fn<decltype(&qvbio_close_device)>(h, "qvbio_close_device")),
          enroll(fn<decltype(&qvbio_enroll_templet)>(h, "qvbio_enroll_templet")),
          capture(fn<decltype(&qvbio_capture_feature)>(h, "qvbio_capture_feature")),
          stop(fn<decltype(&qvbio_stop_work)>(h, "qvbio_stop_work")),
          match(fn<decltype(&qvbio_match_feature)>(h, "qvbio_match_feature")),
          code_info(fn<decltype(&qvbio_get_code_info)>(h, "qvbio_get_code_info")) {}
    decltype(&qvbio_init) init;
    decltype(&qvbio_free) free_;
    decltype(&qvbio_get_base_info) base_info;
    decltype(&qvbio_get_support_devs) support_devs;
    decltype(&qvbio_enum_device) enum_device;
    decltype(&qvbio_open_device) open;
    decltype(&qvbio_close_device) close;
    decltype(&qvbio_enroll_templet) enroll;
    decltype(&qvbio_capture_feature) capture;
    decltype(&qvbio_stop_work) stop;
    decltype(&qvbio_match_feature) match;
    decltype(&qvbio_get_code_info) code_info;
};

}  // namespace qvtest
