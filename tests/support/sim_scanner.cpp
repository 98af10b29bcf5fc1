// Simulated scanner: the fake open/close/ioctl layer and its scripting interface.
#undef _FORTIFY_SOURCE
#include "sim_scanner.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/uvcvideo.h>
#include <linux/videodev2.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>

#include "jpeg_encode.h"

namespace sim {
namespace {

constexpr int kXuUnit = 3;
constexpr int kSelRegister = 1;
constexpr int kSelFlash = 3;
constexpr int kSetCur = 0x01;
constexpr int kGetCur = 0x81;
constexpr const char* kMemfdName = "qvsim-buffer";

struct Rule {
    int err;
    int times;  // < 0 for ever
    int after;  // calls still to pass first
};

struct Node {
    std::string path;
    bool registered = true;
    bool plugged = true;
    int generation = 0;  // bumped by unplug
    uint32_t caps = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING;
    uint32_t cfg_pixfmt = 0;
    int cfg_width = 0, cfg_height = 0, cfg_bpl = 0;
    bool has_xu = true;
    uint32_t buffer_size = 2 * 640 * 480;

    v4l2_pix_format fmt{};  // negotiated
    v4l2_fract timeperframe{1, 30};
    v4l2_jpegcompression jpegcomp{};
    bool buffers = false;
    bool queued = false;
    bool streaming = false;

    std::vector<std::vector<uint8_t>> frames;
    std::vector<uint8_t> idle;
    std::map<unsigned long, Rule> rules;
    std::map<int, uint8_t> regs;
    int armed_reg = 0;
    std::vector<uint8_t> flash;
    int flash_base = 0xF000;
    int flash_pos = 0;

    std::vector<Call> calls;
    std::vector<XuQuery> xu;
    std::vector<int> flags;
    int opens = 0, failed_opens = 0, closes = 0, live = 0;

    Node() {
        fmt.pixelformat = V4L2_PIX_FMT_MJPEG;
        fmt.width = 640;
        fmt.height = 480;
        fmt.field = V4L2_FIELD_NONE;
        jpegcomp.quality = 80;
    }
};

struct Desc {
    std::shared_ptr<Node> node;
    int generation;
};

struct State {
    std::mutex mu;
    std::map<std::string, std::shared_ptr<Node>> nodes;
    std::map<int, Desc> fds;
};

State& st() {
    static State* s = new State;  // never destroyed: the fake may be called during exit
    return *s;
}

std::shared_ptr<Node> node_of(const std::string& path) {
    auto it = st().nodes.find(path);
    return it == st().nodes.end() ? nullptr : it->second;
}

// Everything else passes straight on: the next definitions are kept in atomics, and which paths
// and descriptors are the simulator's is known without the lock. A sanitizer opens and closes
// files in the middle of a report (ThreadSanitizer's symbolizer opens /proc/self/exe), where any
// wait for the lock, and any plain read of memory another thread wrote, can deadlock it.
template <typename F>
F next_fn(std::atomic<F>& slot, const char* name) {
    F f = slot.load(std::memory_order_relaxed);
    if (f == nullptr) {
        f = reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
        slot.store(f, std::memory_order_relaxed);
    }
    return f;
}

using open_fn = int (*)(const char*, int, ...);
using openat_fn = int (*)(int, const char*, int, ...);
using open2_fn = int (*)(const char*, int);
using close_fn = int (*)(int);
using ioctl_fn = int (*)(int, unsigned long, ...);

std::atomic<open_fn> g_open{nullptr}, g_open64{nullptr};
std::atomic<open2_fn> g_open_2{nullptr}, g_open64_2{nullptr};
std::atomic<openat_fn> g_openat{nullptr}, g_openat64{nullptr};
std::atomic<close_fn> g_close{nullptr};
std::atomic<ioctl_fn> g_ioctl{nullptr};

int real_close(int fd) { return next_fn(g_close, "close")(fd); }

int real_ioctl(int fd, unsigned long req, void* arg) { return next_fn(g_ioctl, "ioctl")(fd, req, arg); }

// Registered paths. A slot's text is written once, under the lock, before the slot is counted;
// a path registered again takes its old slot, so a text is never rewritten.
struct OwnedPath {
    std::atomic<bool> registered{false};
    char path[64];
};
constexpr int kMaxOwnedPaths = 64;
OwnedPath g_paths[kMaxOwnedPaths];
std::atomic<int> g_path_count{0};

// Descriptors of simulated nodes, one bit each; set and cleared under the lock while the
// descriptor is open. Higher descriptors are looked up under the lock.
constexpr int kOwnedFdLimit = 4096;
std::atomic<uint64_t> g_fds[kOwnedFdLimit / 64];

// Not instrumented: called from inside a sanitizer's report, where a plain read of a slot's text
// would be taken for a race.
__attribute__((no_sanitize("thread"))) bool same_text(const char* a, const char* b) {
    while (*a != 0 && *a == *b) {
        ++a;
        ++b;
    }
    return *a == *b;
}

bool owns_path(const char* path) {
    const int n = g_path_count.load(std::memory_order_acquire);
    for (int i = 0; i < n; ++i)
        if (g_paths[i].registered.load(std::memory_order_acquire) && same_text(g_paths[i].path, path)) return true;
    return false;
}

// Under the lock.
void set_path_registered(const std::string& path, bool registered) {
    const int n = g_path_count.load(std::memory_order_relaxed);
    int i = 0;
    while (i < n && path != g_paths[i].path) ++i;
    if (i == n) {
        if (!registered) return;
        if (n == kMaxOwnedPaths || path.size() >= sizeof g_paths[i].path) {
            fprintf(stderr, "sim: cannot register %s (at most %d paths of %zu bytes)\n", path.c_str(), kMaxOwnedPaths,
                    sizeof g_paths[i].path - 1);
            abort();
        }
        memcpy(g_paths[i].path, path.c_str(), path.size() + 1);
        g_path_count.store(n + 1, std::memory_order_release);
    }
    g_paths[i].registered.store(registered, std::memory_order_release);
}

bool owns_fd(int fd) {
    if (fd < 0) return false;
    if (fd >= kOwnedFdLimit) return true;
    return (g_fds[fd / 64].load(std::memory_order_acquire) >> (fd % 64)) & 1;
}

// Under the lock.
void set_fd_owned(int fd, bool owned) {
    if (fd < 0 || fd >= kOwnedFdLimit) return;
    const uint64_t bit = uint64_t{1} << (fd % 64);
    if (owned)
        g_fds[fd / 64].fetch_or(bit, std::memory_order_release);
    else
        g_fds[fd / 64].fetch_and(~bit, std::memory_order_release);
}

// A descriptor that survives exec would hand the camera to every program the driver starts
// (the sound player during an enrolment): such an open fails the test at once.
void require_cloexec(const char* path, int flags) {
    if (flags & O_CLOEXEC) return;
    fprintf(stderr, "sim: %s opened without O_CLOEXEC (flags 0%o)\n", path, static_cast<unsigned>(flags));
    abort();
}

// The same for whatever else the driver library itself opens (logs, configuration). Its file is
// named libveinsdk*; only opens without the flag are looked up.
void require_cloexec_of_driver(const char* path, int flags, void* caller) {
    if (flags & O_CLOEXEC) return;
    Dl_info info{};
    if (dladdr(caller, &info) == 0 || info.dli_fname == nullptr) return;
    const char* base = strrchr(info.dli_fname, '/');
    base = base ? base + 1 : info.dli_fname;
    if (strncmp(base, "libveinsdk", 10) == 0) require_cloexec(path ? path : "(null)", flags);
}

// Opens a simulated node: -2 when path is not one, else the fake's answer.
int sim_open(const char* path, int flags) {
    if (!path || !owns_path(path)) return -2;
    require_cloexec(path, flags);
    std::lock_guard<std::mutex> lk(st().mu);
    auto n = node_of(path);
    if (!n) return -2;
    if (!n->plugged) {
        n->failed_opens++;
        errno = ENOENT;
        return -1;
    }
    int fd = memfd_create(kMemfdName, MFD_CLOEXEC);
    if (fd < 0) return -1;
    if (ftruncate(fd, n->buffer_size) != 0) {
        real_close(fd);
        return -1;
    }
    st().fds[fd] = Desc{n, n->generation};
    set_fd_owned(fd, true);
    n->opens++;
    n->live++;
    n->flags.push_back(flags);
    return fd;
}

int sim_openat(int dirfd, const char* path, int flags) {
    if (!path || (path[0] != '/' && dirfd != AT_FDCWD)) return -2;
    return sim_open(path, flags);
}

int fail_with(int err) {
    errno = err;
    return -1;
}

int handle_xu(Node& n, uvc_xu_control_query* q, XuQuery& rec) {
    rec.unit = q->unit;
    rec.selector = q->selector;
    rec.query = q->query;
    if (!q->data) return EFAULT;
    rec.sent.assign(q->data, q->data + q->size);
    if (!n.has_xu || q->unit != kXuUnit) return ENOENT;
    if (q->selector == kSelRegister) {
        if (q->size != 4) return EINVAL;
        int addr = q->data[0] | (q->data[1] << 8);
        if (q->query == kSetCur) {
            if (q->data[2] == 0x81)
                n.armed_reg = addr;
            else
                n.regs[addr] = q->data[2];
            return 0;
        }
        if (q->query == kGetCur) {
            q->data[0] = n.armed_reg & 0xFF;
            q->data[1] = (n.armed_reg >> 8) & 0xFF;
            q->data[2] = n.regs.count(n.armed_reg) ? n.regs[n.armed_reg] : 0;
            q->data[3] = 0;
            rec.reply.assign(q->data, q->data + 4);
            return 0;
        }
        return EINVAL;
    }
    if (q->selector == kSelFlash) {
        if (q->size != 11) return EINVAL;
        if (q->query == kSetCur) {
            if (q->data[2] == 0x88) n.flash_pos = q->data[0] | (q->data[1] << 8);
            return 0;
        }
        if (q->query == kGetCur) {
            q->data[0] = n.flash_pos & 0xFF;
            q->data[1] = (n.flash_pos >> 8) & 0xFF;
            q->data[2] = 0;
            for (int i = 0; i < 8; ++i) {
                long idx = static_cast<long>(n.flash_pos) + i - n.flash_base;
                q->data[3 + i] = (idx >= 0 && idx < static_cast<long>(n.flash.size())) ? n.flash[idx] : 0xFF;
            }
            n.flash_pos += 8;
            rec.reply.assign(q->data, q->data + 11);
            return 0;
        }
        return EINVAL;
    }
    return ENOENT;
}

int handle_v4l2(Node& n, int fd, unsigned long req, void* arg) {
    switch (req) {
    case VIDIOC_QUERYCAP: {
        auto* c = static_cast<v4l2_capability*>(arg);
        memset(c, 0, sizeof(*c));
        snprintf(reinterpret_cast<char*>(c->driver), sizeof(c->driver), "uvcvideo");
        snprintf(reinterpret_cast<char*>(c->card), sizeof(c->card), "Simulated scanner");
        c->capabilities = n.caps | V4L2_CAP_DEVICE_CAPS;
        c->device_caps = n.caps;
        return 0;
    }
    case VIDIOC_S_FMT: {
        auto* f = static_cast<v4l2_format*>(arg);
        if (f->type != V4L2_BUF_TYPE_VIDEO_CAPTURE) return EINVAL;
        if (n.streaming || n.buffers) return EBUSY;
        v4l2_pix_format p{};
        p.pixelformat = n.cfg_pixfmt ? n.cfg_pixfmt : f->fmt.pix.pixelformat;
        p.width = n.cfg_width ? n.cfg_width : f->fmt.pix.width;
        p.height = n.cfg_height ? n.cfg_height : f->fmt.pix.height;
        p.bytesperline = n.cfg_bpl;
        p.sizeimage = n.buffer_size;
        p.field = V4L2_FIELD_NONE;
        p.colorspace = V4L2_COLORSPACE_SRGB;
        n.fmt = p;
        f->fmt.pix = p;
        return 0;
    }
    case VIDIOC_G_FMT: {
        auto* f = static_cast<v4l2_format*>(arg);
        if (f->type != V4L2_BUF_TYPE_VIDEO_CAPTURE) return EINVAL;
        f->fmt.pix = n.fmt;
        return 0;
    }
    case VIDIOC_S_PARM:
    case VIDIOC_G_PARM: {
        auto* p = static_cast<v4l2_streamparm*>(arg);
        if (p->type != V4L2_BUF_TYPE_VIDEO_CAPTURE) return EINVAL;
        if (req == VIDIOC_S_PARM && p->parm.capture.timeperframe.numerator && p->parm.capture.timeperframe.denominator)
            n.timeperframe = p->parm.capture.timeperframe;
        memset(&p->parm, 0, sizeof(p->parm));
        p->parm.capture.capability = V4L2_CAP_TIMEPERFRAME;
        p->parm.capture.timeperframe = n.timeperframe;
        return 0;
    }
    case VIDIOC_G_JPEGCOMP: *static_cast<v4l2_jpegcompression*>(arg) = n.jpegcomp; return 0;
    case VIDIOC_S_JPEGCOMP: n.jpegcomp = *static_cast<v4l2_jpegcompression*>(arg); return 0;
    case VIDIOC_REQBUFS: {
        auto* r = static_cast<v4l2_requestbuffers*>(arg);
        if (r->type != V4L2_BUF_TYPE_VIDEO_CAPTURE || r->memory != V4L2_MEMORY_MMAP) return EINVAL;
        if (n.streaming) return EBUSY;
        n.buffers = r->count > 0;
        n.queued = false;
        r->count = n.buffers ? 1 : 0;
        return 0;
    }
    case VIDIOC_QUERYBUF:
    case VIDIOC_QBUF: {
        auto* b = static_cast<v4l2_buffer*>(arg);
        if (b->type != V4L2_BUF_TYPE_VIDEO_CAPTURE || b->memory != V4L2_MEMORY_MMAP || b->index != 0 || !n.buffers)
            return EINVAL;
        if (req == VIDIOC_QBUF) {
            if (n.queued) return EINVAL;
            n.queued = true;
        }
        b->length = n.buffer_size;
        b->m.offset = 0;
        b->flags = n.queued ? V4L2_BUF_FLAG_QUEUED : 0;
        return 0;
    }
    case VIDIOC_DQBUF: {
        auto* b = static_cast<v4l2_buffer*>(arg);
        if (b->type != V4L2_BUF_TYPE_VIDEO_CAPTURE || b->memory != V4L2_MEMORY_MMAP) return EINVAL;
        if (!n.streaming) return EINVAL;
        if (!n.queued) return EAGAIN;
        const std::vector<uint8_t>* fr = nullptr;
        std::vector<uint8_t> taken;
        if (!n.frames.empty()) {
            taken = std::move(n.frames.front());
            n.frames.erase(n.frames.begin());
            fr = &taken;
        } else if (!n.idle.empty()) {
            fr = &n.idle;
        } else {
            return EAGAIN;
        }
        size_t len = fr->size() < n.buffer_size ? fr->size() : n.buffer_size;
        if (len && pwrite(fd, fr->data(), len, 0) != static_cast<ssize_t>(len)) return EIO;
        n.queued = false;
        memset(b, 0, sizeof(*b));
        b->index = 0;
        b->type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        b->memory = V4L2_MEMORY_MMAP;
        b->bytesused = static_cast<uint32_t>(len);
        b->length = n.buffer_size;
        b->field = V4L2_FIELD_NONE;
        b->flags = V4L2_BUF_FLAG_DONE;
        return 0;
    }
    case VIDIOC_STREAMON:
    case VIDIOC_STREAMOFF: {
        if (*static_cast<int*>(arg) != V4L2_BUF_TYPE_VIDEO_CAPTURE) return EINVAL;
        if (req == VIDIOC_STREAMON) {
            if (!n.buffers) return EINVAL;
            n.streaming = true;
        } else {
            n.streaming = false;
            n.queued = false;
        }
        return 0;
    }
    default: return ENOTTY;
    }
}

// Answers a request on a simulated descriptor: -2 when fd is not one.
int sim_ioctl(int fd, unsigned long req, void* arg) {
    if (!owns_fd(fd)) return -2;
    std::unique_lock<std::mutex> lk(st().mu);
    auto it = st().fds.find(fd);
    if (it == st().fds.end()) return -2;
    Node& n = *it->second.node;
    bool alive = n.registered && n.plugged && it->second.generation == n.generation;
    Call call{fd, req, 0, {}};
    if (arg && _IOC_SIZE(req)) {
        auto* p = static_cast<const uint8_t*>(arg);
        call.arg.assign(p, p + _IOC_SIZE(req));
    }
    int err = 0;
    auto rule = n.rules.find(req);
    if (!alive) {
        err = ENODEV;
    } else if (rule != n.rules.end()) {
        if (rule->second.after > 0) {
            rule->second.after--;
        } else {
            err = rule->second.err;
            if (rule->second.times > 0 && --rule->second.times == 0) n.rules.erase(rule);
        }
    }
    if (err == 0 && !arg) err = EFAULT;
    if (req == UVCIOC_CTRL_QUERY) {
        XuQuery rec{0, 0, 0, {}, {}, 0};
        if (arg) {
            auto* q = static_cast<uvc_xu_control_query*>(arg);
            rec.unit = q->unit;
            rec.selector = q->selector;
            rec.query = q->query;
            if (q->data) rec.sent.assign(q->data, q->data + q->size);
        }
        if (err == 0) err = handle_xu(n, static_cast<uvc_xu_control_query*>(arg), rec);
        rec.err = err;
        n.xu.push_back(rec);
    } else if (err == 0) {
        err = handle_v4l2(n, fd, req, arg);
    }
    call.err = err;
    n.calls.push_back(std::move(call));
    if (err) return fail_with(err);
    return 0;
}

// Forgets a simulated descriptor: true when fd was one.
bool sim_close(int fd) {
    if (!owns_fd(fd)) return false;
    std::lock_guard<std::mutex> lk(st().mu);
    auto it = st().fds.find(fd);
    if (it == st().fds.end()) return false;
    Node& n = *it->second.node;
    n.closes++;
    n.live--;
    if (it->second.generation == n.generation) {
        // Closing the node ends streaming and frees the buffers, as the driver does.
        n.streaming = false;
        n.queued = false;
        n.buffers = false;
    }
    st().fds.erase(it);
    set_fd_owned(fd, false);
    return true;
}

mode_t mode_arg(int flags, va_list ap) {
    return (flags & (O_CREAT | O_TMPFILE)) ? static_cast<mode_t>(va_arg(ap, int)) : 0;
}

}  // namespace

std::string request_name(unsigned long r) {
    static const std::map<unsigned long, const char*> names = {
        {VIDIOC_QUERYCAP, "VIDIOC_QUERYCAP"},     {VIDIOC_S_FMT, "VIDIOC_S_FMT"},
        {VIDIOC_G_FMT, "VIDIOC_G_FMT"},           {VIDIOC_S_PARM, "VIDIOC_S_PARM"},
        {VIDIOC_G_PARM, "VIDIOC_G_PARM"},         {VIDIOC_G_JPEGCOMP, "VIDIOC_G_JPEGCOMP"},
        {VIDIOC_S_JPEGCOMP, "VIDIOC_S_JPEGCOMP"}, {VIDIOC_REQBUFS, "VIDIOC_REQBUFS"},
        {VIDIOC_QUERYBUF, "VIDIOC_QUERYBUF"},     {VIDIOC_QBUF, "VIDIOC_QBUF"},
        {VIDIOC_DQBUF, "VIDIOC_DQBUF"},           {VIDIOC_STREAMON, "VIDIOC_STREAMON"},
        {VIDIOC_STREAMOFF, "VIDIOC_STREAMOFF"},   {UVCIOC_CTRL_QUERY, "UVCIOC_CTRL_QUERY"},
    };
    auto it = names.find(r);
    if (it != names.end()) return it->second;
    char buf[32];
    snprintf(buf, sizeof buf, "0x%lx", r);
    return buf;
}

Scanner::Scanner(const std::string& path) : path_(path) {
    std::lock_guard<std::mutex> lk(st().mu);
    auto n = std::make_shared<Node>();
    n->path = path;
    st().nodes[path] = n;
    set_path_registered(path, true);
}

Scanner::~Scanner() {
    std::lock_guard<std::mutex> lk(st().mu);
    auto n = node_of(path_);
    if (n) n->registered = false;
    st().nodes.erase(path_);
    set_path_registered(path_, false);
}

#define WITH_NODE                            \
    std::lock_guard<std::mutex> lk(st().mu); \
    auto np = node_of(path_);                \
    Node& n = *np

void Scanner::set_caps(uint32_t caps) {
    WITH_NODE;
    n.caps = caps;
}
void Scanner::set_format(uint32_t pixfmt, int width, int height, int bytesperline) {
    WITH_NODE;
    n.cfg_pixfmt = pixfmt;
    n.cfg_width = width;
    n.cfg_height = height;
    n.cfg_bpl = bytesperline;
}
void Scanner::set_extension_unit(bool present) {
    WITH_NODE;
    n.has_xu = present;
}
void Scanner::set_buffer_size(uint32_t bytes) {
    WITH_NODE;
    n.buffer_size = bytes;
}
void Scanner::push_frame(std::vector<uint8_t> frame) {
    WITH_NODE;
    n.frames.push_back(std::move(frame));
}
void Scanner::set_idle_frame(std::vector<uint8_t> frame) {
    WITH_NODE;
    n.idle = std::move(frame);
}
void Scanner::clear_frames() {
    WITH_NODE;
    n.frames.clear();
    n.idle.clear();
}
void Scanner::fail(unsigned long request, int err, int times, int after) {
    WITH_NODE;
    if (times == 0)
        n.rules.erase(request);
    else
        n.rules[request] = Rule{err, times, after < 0 ? 0 : after};
}
void Scanner::unplug() {
    WITH_NODE;
    n.plugged = false;
    n.generation++;
    n.streaming = false;
    n.queued = false;
    n.buffers = false;
}
void Scanner::replug() {
    WITH_NODE;
    n.plugged = true;
}
void Scanner::set_register(int reg, uint8_t value) {
    WITH_NODE;
    n.regs[reg] = value;
}
uint8_t Scanner::reg(int reg) const {
    WITH_NODE;
    auto it = n.regs.find(reg);
    return it == n.regs.end() ? 0 : it->second;
}
void Scanner::set_flash(std::vector<uint8_t> image, int base) {
    WITH_NODE;
    n.flash = std::move(image);
    n.flash_base = base;
}
std::vector<Call> Scanner::calls() const {
    WITH_NODE;
    return n.calls;
}
std::vector<std::string> Scanner::call_names() const {
    WITH_NODE;
    std::vector<std::string> out;
    for (const auto& c : n.calls) out.push_back(request_name(c.request));
    return out;
}
std::vector<XuQuery> Scanner::xu_queries() const {
    WITH_NODE;
    return n.xu;
}
std::vector<int> Scanner::open_flags() const {
    WITH_NODE;
    return n.flags;
}
int Scanner::opens() const {
    WITH_NODE;
    return n.opens;
}
int Scanner::failed_opens() const {
    WITH_NODE;
    return n.failed_opens;
}
int Scanner::closes() const {
    WITH_NODE;
    return n.closes;
}
int Scanner::open_descriptors() const {
    WITH_NODE;
    return n.live;
}
bool Scanner::streaming() const {
    WITH_NODE;
    return n.streaming;
}
void Scanner::clear_records() {
    WITH_NODE;
    n.calls.clear();
    n.xu.clear();
    n.flags.clear();
    n.opens = n.failed_opens = n.closes = 0;
}
#undef WITH_NODE

int live_mappings() {
    FILE* f = fopen("/proc/self/maps", "re");
    if (!f) return -1;
    char line[1024];
    int count = 0;
    while (fgets(line, sizeof line, f))
        if (strstr(line, kMemfdName)) count++;
    fclose(f);
    return count;
}

std::vector<uint8_t> mjpeg_from_grey(const uint8_t* grey, int width, int height, int quality, bool strip_dht) {
    jpeg_test::JpegSettings settings;
    settings.quality = quality;
    std::vector<uint8_t> frame = jpeg_test::encode_jpeg(grey, 1, width, height, settings);
    return strip_dht ? jpeg_test::strip_dht(frame) : frame;
}

}  // namespace sim

// ---- the system-call boundary ----
// Visible to the shared libraries of the process (the build hides symbols by default).
#define SIM_BOUNDARY __attribute__((visibility("default")))

extern "C" {

SIM_BOUNDARY int open(const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    mode_t mode = sim::mode_arg(flags, ap);
    va_end(ap);
    int r = sim::sim_open(path, flags);
    if (r != -2) return r;
    sim::require_cloexec_of_driver(path, flags, __builtin_return_address(0));
    sim::open_fn f = sim::next_fn(sim::g_open, "open");
    return f(path, flags, mode);
}

SIM_BOUNDARY int open64(const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    mode_t mode = sim::mode_arg(flags, ap);
    va_end(ap);
    int r = sim::sim_open(path, flags);
    if (r != -2) return r;
    sim::require_cloexec_of_driver(path, flags, __builtin_return_address(0));
    sim::open_fn f = sim::next_fn(sim::g_open64, "open64");
    return f(path, flags, mode);
}

SIM_BOUNDARY int __open_2(const char* path, int flags) {
    int r = sim::sim_open(path, flags);
    if (r != -2) return r;
    sim::require_cloexec_of_driver(path, flags, __builtin_return_address(0));
    sim::open2_fn f = sim::next_fn(sim::g_open_2, "__open_2");
    return f(path, flags);
}

SIM_BOUNDARY int __open64_2(const char* path, int flags) {
    int r = sim::sim_open(path, flags);
    if (r != -2) return r;
    sim::require_cloexec_of_driver(path, flags, __builtin_return_address(0));
    sim::open2_fn f = sim::next_fn(sim::g_open64_2, "__open64_2");
    return f(path, flags);
}

SIM_BOUNDARY int openat(int dirfd, const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    mode_t mode = sim::mode_arg(flags, ap);
    va_end(ap);
    int r = sim::sim_openat(dirfd, path, flags);
    if (r != -2) return r;
    sim::require_cloexec_of_driver(path, flags, __builtin_return_address(0));
    sim::openat_fn f = sim::next_fn(sim::g_openat, "openat");
    return f(dirfd, path, flags, mode);
}

SIM_BOUNDARY int openat64(int dirfd, const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    mode_t mode = sim::mode_arg(flags, ap);
    va_end(ap);
    int r = sim::sim_openat(dirfd, path, flags);
    if (r != -2) return r;
    sim::require_cloexec_of_driver(path, flags, __builtin_return_address(0));
    sim::openat_fn f = sim::next_fn(sim::g_openat64, "openat64");
    return f(dirfd, path, flags, mode);
}

SIM_BOUNDARY int close(int fd) {
    sim::sim_close(fd);
    return sim::real_close(fd);
}

SIM_BOUNDARY int ioctl(int fd, unsigned long request, ...) {
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    int r = sim::sim_ioctl(fd, request, arg);
    if (r != -2) return r;
    return sim::real_ioctl(fd, request, arg);
}

}  // extern "C"
