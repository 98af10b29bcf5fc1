// Controller access over the scanner's extension unit.
#include "sonix_ctrl.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/uvcvideo.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdint>

#include "qv_owners.h"
#include "qv_utils.h"

namespace {

constexpr uint8_t kXuUnit = 3;
constexpr uint8_t kSelRegister = 1;
constexpr uint8_t kSelFlash = 3;
constexpr uint16_t kRegBlock = 4;
constexpr uint16_t kFlashBlock = 11;
constexpr uint8_t kSetCur = 0x01;
constexpr uint8_t kGetCur = 0x81;
constexpr uint8_t kRegReadCmd = 0x81;
constexpr uint8_t kFlashReadCmd = 0x88;
constexpr int kFlashWindow = 0xF000;
constexpr int kRetryStepMs = 10;
constexpr int kFailureWindowS = 3;
constexpr int kRegEncrypt = 0x099E;

int xu_query(int fd, uint8_t selector, uint8_t query, uint8_t* data, uint16_t size) {
    uvc_xu_control_query q;
    memset(&q, 0, sizeof q);
    q.unit = kXuUnit;
    q.selector = selector;
    q.query = query;
    q.size = size;
    q.data = data;
    return sonix_ioctl(fd, UVCIOC_CTRL_QUERY, &q);
}

// One GET_CUR data query of the flash; the reply's 8 data bytes go to out[0..n-1].
int flash_data_query(int fd, int address, unsigned char* out, int n) {
    uint8_t block[kFlashBlock] = {};
    block[0] = address & 0xFF;
    block[1] = (address >> 8) & 0xFF;
    int r = xu_query(fd, kSelFlash, kGetCur, block, kFlashBlock);
    if (r != 0) return r;
    memcpy(out, block + 3, n);
    return 0;
}

}  // namespace

int sonix_ioctl(int fd, unsigned long request, void* argument) {
    int64_t stamp = 0;
    int64_t eagain_since = -1;
    for (;;) {
        int r = ioctl(fd, request, argument);
        if (r == 0) return 0;
        if (r == -1) {
            int e = errno;
            if (e == EAGAIN) {
                // A non-blocking node without a frame yet: wait, but not for ever.
                const int64_t now = get_millisecond();
                if (eagain_since < 0) eagain_since = now;
                if (now - eagain_since >= SONIX_EAGAIN_LIMIT_MS) return -1;
                qv_sleep(kRetryStepMs);
                continue;
            }
            if (e == ENOENT || e == ENOTTY) return -1;
            if (e == ENODEV || e == ESHUTDOWN) return -15;
        }
        if (is_timeout(stamp, kFailureWindowS) <= 0) return -1;
        qv_sleep(kRetryStepMs);
    }
}

int sonix_write_reg(int fd, int reg, int value) {
    uint8_t block[kRegBlock] = {static_cast<uint8_t>(reg & 0xFF), static_cast<uint8_t>((reg >> 8) & 0xFF),
                                static_cast<uint8_t>(value & 0xFF), 0};
    if (xu_query(fd, kSelRegister, kSetCur, block, kRegBlock) != 0) {
        perror("UVCIOC_CTRL_QUERY asic");
        printf("sonix_write_reg error.\n");
        return -1;
    }
    return 0;
}

int sonix_read_reg(int fd, int reg, unsigned int* value) {
    if (!value) return -1;
    const uint8_t lo = reg & 0xFF, hi = (reg >> 8) & 0xFF;
    uint8_t block[kRegBlock] = {lo, hi, kRegReadCmd, 0};
    if (xu_query(fd, kSelRegister, kSetCur, block, kRegBlock) != 0) {
        perror("UVCIOC_CTRL_QUERY asic");
        return -1;
    }
    uint8_t reply[kRegBlock] = {lo, hi, 0, 0};
    if (xu_query(fd, kSelRegister, kGetCur, reply, kRegBlock) != 0) {
        perror("UVCIOC_CTRL_QUERY asic");
        return -1;
    }
    *value = reply[2];
    return 0;
}

int sonix_encrypt(int fd, int value) {
    uint8_t block[kRegBlock] = {kRegEncrypt & 0xFF, (kRegEncrypt >> 8) & 0xFF, static_cast<uint8_t>(value & 0xFF), 0};
    if (xu_query(fd, kSelRegister, kSetCur, block, kRegBlock) != 0) {
        perror("UVCIOC_CTRL_QUERY asic");
        return -1;
    }
    return 0;
}

int sonix_start_reading(int fd, int address) {
    uint8_t block[kFlashBlock] = {};
    block[0] = address & 0xFF;
    block[1] = (address >> 8) & 0xFF;
    block[2] = kFlashReadCmd;
    return xu_query(fd, kSelFlash, kSetCur, block, kFlashBlock) == 0 ? 0 : -1;
}

int read_data_8byte(int fd, int address, unsigned char* out) {
    if (!out) return -1;
    int r = flash_data_query(fd, address, out, 8);
    if (r != 0) {
        printf("read_data_8byte error. nret = %d.\n", r);
        perror("UVCIOC_CTRL_QUERY");
        return -1;
    }
    return 0;
}

int read_data_byte(int fd, unsigned char* out, int n) {
    // One reply holds 8 bytes; more would read past it.
    if (!out || n < 1 || n > 8) return -1;
    if (flash_data_query(fd, 0, out, n) != 0) {
        perror("UVCIOC_CTRL_QUERY");
        return -1;
    }
    return 0;
}

int sonix_read_flash(int fd, int address, unsigned char* buffer, int length) {
    if (!buffer && length > 0) return -1;
    if (address <= 0xEFFF) address += kFlashWindow;
    if (sonix_start_reading(fd, address) != 0) return -1;
    if (length <= 0) return 0;
    if (length <= 7) return read_data_byte(fd, buffer, length);
    const int blocks = length / 8;
    for (int k = 0; k < blocks; ++k)
        if (read_data_8byte(fd, address, buffer + 8 * k) != 0) return -1;
    if (length % 8 != 0) return read_data_byte(fd, buffer + 8 * blocks, length % 8);
    return 0;
}

int sonix_dev_valid(const char* path) {
    if (!path) return -1;
    qv::UniqueFd fd(open(path, O_RDWR | O_CLOEXEC));
    if (!fd.valid()) return -1;
    return sonix_start_reading(fd.get(), 0);
}
