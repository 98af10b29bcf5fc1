// Device functions: enumeration of attached scanners through libudev, opening a camera by node
// path or by vendor id, product id and ordinal, capture, register and flash access. A handle is
// a V4L2Camera* owned by the caller from the open to the matching close. Failures are printed as
// lines on standard output.
#pragma once

#include <string>
#include <vector>

#include "qv_export.h"
#include "v4l2camera.h"

// One enumerated camera.
struct dev_id_t {
    int vid;         // USB "idVendor", read as hexadecimal
    int pid;         // USB "idProduct", read as hexadecimal
    char name[260];  // USB "product", NUL-terminated (empty when absent)
    char path[260];  // the video node, e.g. /dev/video0
};

typedef V4L2Camera* QvHandle;
typedef int (*QvOpenCallback)(QvHandle handle, void* ctx);

extern "C" {
// Replaces list with every node that has a USB device above it and answers the controller's
// probe. Returns the count, or -1 when libudev cannot be used.
QV_EXPORT int QvEnumDevice(std::vector<dev_id_t>& list);
// Opens path for capture: MJPEG at width x height, 30 frames per second, grey, streaming.
// 0 (also when *handle is already set); -1 and *handle NULL on failure.
QV_EXPORT int FvOpenDevice(const char* path, int width, int height, QvHandle* handle);
QV_EXPORT int QvOpenDevice(int vid, int pid, int width, int height, int nth, bool grey, QvHandle* handle);
QV_EXPORT int QvOpenDeviceEx(int vid, int pid, int width, int height, int nth, bool grey, QvOpenCallback callback,
                             void* ctx, QvHandle* handle);
// A handle for controller access only (no format, buffer or streaming). -2 no such device;
// -1 the node cannot be opened.
QV_EXPORT int QvOpenFlash(int vid, int pid, int nth, QvHandle* handle);
QV_EXPORT int QvCheckDevValid(int vid, int pid, int nth);
QV_EXPORT int QvCloseDevice(QvHandle handle);
QV_EXPORT int QvCloseFlash(QvHandle handle);
// Grey (width x height bytes) or RGB24 by the handle's grey flag.
QV_EXPORT int QvCaptureImage(QvHandle handle, unsigned char* buffer);
QV_EXPORT int QvReadFlash(QvHandle handle, int address, int length, unsigned char* buffer);
QV_EXPORT int QvGetRegister(QvHandle handle, int reg, unsigned int* value);
QV_EXPORT int QvSetRegister(QvHandle handle, int reg, int value);
QV_EXPORT int QvGetCurVidPid(QvHandle handle, int* vid, int* pid);
// Placeholders of the interface: they do nothing and return 0.
QV_EXPORT int QvGetProperty(QvHandle handle, int property, int* value);
QV_EXPORT int QvSetProperty(QvHandle handle, int property, int value);
QV_EXPORT int QvWriteFlash(QvHandle handle, int address, int length, unsigned char* buffer);
QV_EXPORT int QvEraseFlash(QvHandle handle, int address, int length);
}

// The nth (0-based) entry of list with this vid and pid into out: 0, or -1 when there is none.
QV_EXPORT int FindDestDev(std::vector<dev_id_t> list, int vid, int pid, int nth, dev_id_t& out);

// Enumeration as QvEnumDevice, except that with a non-empty supported text ("vvvv:pppp,...")
// only nodes whose "%04x:%04x" key occurs in it are probed and listed, so other makers'
// cameras never receive the controller's command.
int enum_devices(std::vector<dev_id_t>& list, const std::string& supported);
