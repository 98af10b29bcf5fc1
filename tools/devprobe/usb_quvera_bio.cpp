// devprobe: prints the installed driver's name with the caller's user id, then the number of
// attached supported scanners. Exit status 254 when the driver cannot count them.
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "qvbio_api_define.h"

int main() {
    base_info_st drv_info;
    memset(&drv_info, 0, sizeof drv_info);
    qvbio_get_base_info(&drv_info);
    uid_t uid = getuid();
    printf("getuid ret [%d] [%s]\n", static_cast<int>(uid), drv_info.bio_name);
    fflush(stdout);
    int ret = qvbio_enum_device();
    printf("enum_device ret [%d] [%s]\n", ret, drv_info.bio_name);
    fflush(stdout);
    return ret < 0 ? 254 : 0;
}
