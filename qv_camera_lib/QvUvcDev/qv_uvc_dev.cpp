// Device functions over libudev, V4L2Camera and the controller access.
#include "qv_uvc_dev.h"

#include <errno.h>
#include <libudev.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <new>

#include "qv_owners.h"
#include "qv_utils.h"
#include "sonix_ctrl.h"
#include "supported_ids.h"

namespace {

constexpr int kFps = 30;
constexpr int kFlashChunk = 512;
constexpr int kFlashChunkPauseMs = 100;
constexpr size_t kTextMax = sizeof(dev_id_t::path);

// Parses a whole hexadecimal attribute; false for a missing or malformed one.
bool parse_hex(const char* s, int& out) {
    if (!s || !*s) return false;
    char* end = nullptr;
    errno = 0;
    long v = strtol(s, &end, 16);
    while (end && (*end == '\n' || *end == ' ')) ++end;
    if (errno || !end || *end || v < 0 || v > 0xFFFFFF) return false;
    out = static_cast<int>(v);
    return true;
}

using UdevContext = qv::CPtr<udev, udev_unref>;
using UdevEnumerate = qv::CPtr<udev_enumerate, udev_enumerate_unref>;
using UdevDevice = qv::CPtr<udev_device, udev_device_unref>;  // also releases its parents

// A camera being opened; it reaches the caller's handle only when the open succeeds, and
// otherwise its destructor stops, unmaps and closes whatever was set up.
using NewCamera = std::unique_ptr<V4L2Camera>;

}  // namespace

int enum_devices(std::vector<dev_id_t>& list, const std::string& supported) {
    list.clear();
    std::vector<SupportedId> ids;
    try {
        ids = parse_supported_ids(supported);
    } catch (...) {
        return -1;  // a list that cannot be read lists nothing
    }
    UdevContext ud(udev_new());
    if (!ud) return -1;
    UdevEnumerate en(udev_enumerate_new(ud.get()));
    if (!en) return -1;
    udev_enumerate_add_match_subsystem(en.get(), "video4linux");
    udev_enumerate_scan_devices(en.get());
    int count = 0;
    for (udev_list_entry* e = udev_enumerate_get_list_entry(en.get()); e; e = udev_list_entry_get_next(e)) {
        UdevDevice dev(udev_device_new_from_syspath(ud.get(), udev_list_entry_get_name(e)));
        if (!dev) continue;
        dev_id_t id;
        memset(&id, 0, sizeof id);
        const char* node = udev_device_get_devnode(dev.get());
        // The USB device and its ids come first: only our scanners are sent the probe.
        udev_device* usb = udev_device_get_parent_with_subsystem_devtype(dev.get(), "usb", "usb_device");
        bool keep = node && strlen(node) < kTextMax && usb &&
                    parse_hex(udev_device_get_sysattr_value(usb, "idVendor"), id.vid) &&
                    parse_hex(udev_device_get_sysattr_value(usb, "idProduct"), id.pid);
        if (keep && !supported.empty()) keep = lists_device(ids, id.vid, id.pid);
        if (keep) keep = sonix_dev_valid(node) == 0;
        if (keep) {
            const char* product = udev_device_get_sysattr_value(usb, "product");
            snprintf(id.name, sizeof id.name, "%s", product ? product : "");
            snprintf(id.path, sizeof id.path, "%s", node);
            try {
                list.push_back(id);
                ++count;
            } catch (...) {
                list.clear();  // no memory for the list
                return -1;
            }
        }
    }
    return count;
}

int QvEnumDevice(std::vector<dev_id_t>& list) {
    try {
        return enum_devices(list, "");
    } catch (...) {
        list.clear();
        return -1;
    }
}

int FindDestDev(std::vector<dev_id_t> list, int vid, int pid, int nth, dev_id_t& out) {
    int seen = 0;
    for (const auto& d : list) {
        if (d.vid != vid || d.pid != pid) continue;
        if (seen == nth) {
            out = d;
            return 0;
        }
        ++seen;
    }
    return -1;
}

namespace {

// Open, set up and start a camera; on a failure the caller drops it, which also closes it.
int start_camera(V4L2Camera& cam, const char* path, int width, int height, bool grey) {
    int r = cam.Open(path);
    if (r != 0) {
        printf("QvOpenDevice -> camera open err %d\n", r);
        return -1;
    }
    r = cam.Init(width, height, kFps, grey);
    if (r != 0) {
        printf("QvOpenDevice -> camera init err %d\n", r);
        return -1;
    }
    r = cam.StartStreaming();
    if (r != 0) {
        printf("QvOpenDevice -> camera StartStreaming err %d\n", r);
        return -1;
    }
    return 0;
}

int open_by_id(int vid, int pid, int width, int height, int nth, bool grey, QvHandle* handle) {
    if (!handle) return -1;
    if (*handle) return 0;
    NewCamera cam(new (std::nothrow) V4L2Camera);
    if (!cam) return -1;
    std::vector<dev_id_t> list;
    if (enum_devices(list, str_format("%04x:%04x", vid, pid)) <= 0) {
        printf("QvOpenDevice -> QvEnumDevice. count = 0.\n");
        return -1;
    }
    dev_id_t id;
    if (FindDestDev(list, vid, pid, nth, id) != 0) {
        printf("QvOpenDevice -> FindDestDev failed.\n");
        return -1;
    }
    if (start_camera(*cam, id.path, width, height, grey) != 0) return -1;
    cam->vid = vid;
    cam->pid = pid;
    *handle = cam.release();
    return 0;
}

}  // namespace

int FvOpenDevice(const char* path, int width, int height, QvHandle* handle) {
    if (!handle) return -1;
    if (*handle) return 0;
    try {
        NewCamera cam(new (std::nothrow) V4L2Camera);
        if (!cam || start_camera(*cam, path, width, height, true) != 0) return -1;
        *handle = cam.release();
        return 0;
    } catch (...) {
        return -1;
    }
}

int QvOpenDevice(int vid, int pid, int width, int height, int nth, bool grey, QvHandle* handle) {
    try {
        return open_by_id(vid, pid, width, height, nth, grey, handle);
    } catch (...) {
        return -1;
    }
}

int QvOpenDeviceEx(int vid, int pid, int width, int height, int nth, bool grey, QvOpenCallback callback, void* ctx,
                   QvHandle* handle) {
    if (handle && *handle) return 0;
    int r = QvOpenDevice(vid, pid, width, height, nth, grey, handle);
    if (r == 0 && callback) callback(*handle, ctx);
    return r;
}

int QvOpenFlash(int vid, int pid, int nth, QvHandle* handle) {
    if (!handle) return -1;
    if (*handle) return 0;
    try {
        NewCamera cam(new (std::nothrow) V4L2Camera);
        if (!cam) return -1;
        std::vector<dev_id_t> list;
        if (enum_devices(list, str_format("%04x:%04x", vid, pid)) <= 0) {
            printf("QvOpenFlash -> QvEnumDevice. count = 0.\n");
            return -2;
        }
        dev_id_t id;
        if (FindDestDev(list, vid, pid, nth, id) != 0) {
            printf("QvOpenFlash -> FindDestDev failed. \n");
            return -2;
        }
        int r = cam->Open(id.path);
        if (r != 0) {
            printf("QvOpenFlash -> camera open err %d\n", r);
            return -1;
        }
        cam->vid = vid;
        cam->pid = pid;
        *handle = cam.release();
        return 0;
    } catch (...) {
        return -1;
    }
}

int QvCheckDevValid(int vid, int pid, int nth) {
    QvHandle h = nullptr;
    int r = QvOpenFlash(vid, pid, nth, &h);
    if (r < 0) return r;
    unsigned char buf[2] = {};
    r = sonix_read_flash(h->m_fd, 0, buf, 2);
    QvCloseFlash(h);
    return r;
}

int QvCloseDevice(QvHandle handle) {
    if (!handle) return -2;
    handle->StopStreaming();
    handle->Uninit();
    handle->Close();
    delete handle;
    return 0;
}

int QvCloseFlash(QvHandle handle) {
    if (!handle) return -2;
    handle->Close();
    delete handle;
    return 0;
}

int QvCaptureImage(QvHandle handle, unsigned char* buffer) {
    if (!handle || !buffer) {
        printf("QvCaptureImage param invalid\n");
        return -2;
    }
    try {
        return handle->Capture(buffer, handle->m_grey);
    } catch (...) {
        return -1;
    }
}

int QvReadFlash(QvHandle handle, int address, int length, unsigned char* buffer) {
    if (!handle) {
        printf("QvReadFlash param error.\n");
        return -2;
    }
    if (length < 1) return 0;
    if (!buffer) return -2;
    auto read = [&](int addr, unsigned char* dst, int n) {
        int r = sonix_read_flash(handle->m_fd, addr, dst, n);
        if (r != 0) printf("sonix_read_flash error. nret = %d.\n", r);
        return r;
    };
    if (length < kFlashChunk) return read(address, buffer, length);
    const int chunks = length / kFlashChunk;
    for (int k = 0; k < chunks; ++k) {
        int r = read(address + kFlashChunk * k, buffer + kFlashChunk * k, kFlashChunk);
        if (r != 0) return r;
        qv_sleep(kFlashChunkPauseMs);
    }
    if (length % kFlashChunk)
        return read(address + kFlashChunk * chunks, buffer + kFlashChunk * chunks, length % kFlashChunk);
    return 0;
}

int QvGetRegister(QvHandle handle, int reg, unsigned int* value) {
    if (!handle || !value) return -2;
    return sonix_read_reg(handle->m_fd, reg, value);
}

int QvSetRegister(QvHandle handle, int reg, int value) {
    if (!handle) return -2;
    return sonix_write_reg(handle->m_fd, reg, value);
}

int QvGetCurVidPid(QvHandle handle, int* vid, int* pid) {
    if (!handle) return -1;
    if (vid) *vid = handle->vid;
    if (pid) *pid = handle->pid;
    return 0;
}

int QvGetProperty(QvHandle, int, int*) { return 0; }
int QvSetProperty(QvHandle, int, int) { return 0; }
int QvWriteFlash(QvHandle, int, int, unsigned char*) { return 0; }
int QvEraseFlash(QvHandle, int, int) { return 0; }
