// Access to the scanner's Sonix camera controller (registers, flash) over its UVC extension unit,
// and the one ioctl wrapper with the device layer's retry rules that every Video4Linux request uses.
// All buffers belong to the caller. Results: 0 success, -1 failure (sonix_ioctl also -15: device gone).
#pragma once

#include "qv_export.h"

// Longest time a request that keeps answering EAGAIN is repeated before it fails (ms).
constexpr int SONIX_EAGAIN_LIMIT_MS = 1000;

extern "C" {
// ioctl with retries: EAGAIN every 10 ms up to SONIX_EAGAIN_LIMIT_MS; ENOENT/ENOTTY -1 at once;
// ENODEV/ESHUTDOWN -15 at once; other failures every 10 ms until 3 whole seconds have passed.
QV_EXPORT int sonix_ioctl(int fd, unsigned long request, void* argument);
// 0 when the node at path answers the controller's flash start command.
QV_EXPORT int sonix_dev_valid(const char* path);
// length bytes of flash from address (addresses up to 0xEFFF are moved up by 0xF000).
QV_EXPORT int sonix_read_flash(int fd, int address, unsigned char* buffer, int length);
QV_EXPORT int sonix_write_reg(int fd, int reg, int value);
// On success *value is the register's byte; on failure it is left unchanged.
QV_EXPORT int sonix_read_reg(int fd, int reg, unsigned int* value);
}

QV_EXPORT int sonix_encrypt(int fd, int value);                          // writes value to register 0x099E
QV_EXPORT int sonix_start_reading(int fd, int address);                  // flash start command, address as given
QV_EXPORT int read_data_8byte(int fd, int address, unsigned char* out);  // next 8 flash bytes
QV_EXPORT int read_data_byte(int fd, unsigned char* out, int n);         // first n (1..8) of the next 8
