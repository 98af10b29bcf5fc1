// Demonstration of an installed driver folder on the simulated scanner: enrols a generated finger,
// captures it again and matches, then captures another finger and matches again.
//
//   umockdev-wrapper demo <driver folder> [<frames folder>]
//
// The scanner is simulated in this program (udev tree from umockdev, system calls answered here),
// so the driver folder's own libveinsdk.so and recognition library run unchanged. Every callback
// is printed with its text, every result with its message; each frame shown to the scanner is
// written as a PNG file into the frames folder (default: this program's folder), and the driver's
// log lines go to driver-log.txt there. The last line sums up the four results. Exit status 0 when
// they are the expected ones, 1 otherwise, 2 for a folder that cannot be used, 77 without umockdev.
#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <png.h>
#include <stdio.h>
#include <unistd.h>

#include <csetjmp>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "finger_gen.h"
#include "jpeg_grey.h"
#include "qvbio_api_define.h"
#include "sim_scanner.h"
#include "udev_fixture.h"

namespace {

// The finger enrolled and captured again, and the other finger captured afterwards, in the
// generator's scanner-like style. The enrolment takes captures 0 to 2 of its finger, the capture
// after it capture 3.
constexpr int kFinger = 1;
constexpr int kOtherFinger = 2;
constexpr fingergen::Style kStyle = fingergen::Style::kRealistic;
constexpr int kFingerRegister = 0x1005;  // bit 0: a finger lies on the sensor
constexpr unsigned char kEmptySensor = 16;
constexpr int kThreshold = 70;  // the driver's default: this program gives it no settings

FILE* g_out = stdout;  // this program's lines; standard output itself carries the driver's log

// The driver's interface, looked up in the library the driver folder holds.
struct Driver {
    void* handle = nullptr;
    decltype(&qvbio_init) init = nullptr;
    decltype(&qvbio_free) free_ = nullptr;
    decltype(&qvbio_open_device) open = nullptr;
    decltype(&qvbio_enroll_templet) enroll = nullptr;
    decltype(&qvbio_capture_feature) capture = nullptr;
    decltype(&qvbio_match_feature) match = nullptr;
    decltype(&qvbio_get_code_info) code_info = nullptr;

    ~Driver() {
        if (handle == nullptr) return;
        fflush(stdout);  // the driver's last log lines, before its library goes
        dlclose(handle);
    }
    bool load(const std::string& lib) {
        handle = dlopen(lib.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) {
            fprintf(g_out, "demo: cannot load %s: %s\n", lib.c_str(), dlerror());
            return false;
        }
        return find(init, "qvbio_init") && find(free_, "qvbio_free") && find(open, "qvbio_open_device") &&
               find(enroll, "qvbio_enroll_templet") && find(capture, "qvbio_capture_feature") &&
               find(match, "qvbio_match_feature") && find(code_info, "qvbio_get_code_info");
    }
    template <class F>
    bool find(F& f, const char* name) {
        f = reinterpret_cast<F>(dlsym(handle, name));
        if (f == nullptr) fprintf(g_out, "demo: the driver has no %s\n", name);
        return f != nullptr;
    }
    // The configured message of a result code.
    std::string message(int code) const {
        char text[256] = {0};
        code_info(code, text);
        return text;
    }
};

struct PngFile {
    FILE* f;
    ~PngFile() {
        if (f != nullptr) fclose(f);
    }
};

// Writes 8-bit grey pixels as a PNG file.
bool write_grey_png(const std::string& path, const std::vector<unsigned char>& grey, int width, int height) {
    PngFile file{fopen(path.c_str(), "wb")};
    if (file.f == nullptr) return false;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
    if (info == nullptr || setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_init_io(png, file.f);
    png_set_IHDR(png, info, width, height, 8, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (int y = 0; y < height; ++y) png_write_row(png, grey.data() + static_cast<size_t>(y) * width);
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    int closed = fclose(file.f);
    file.f = nullptr;
    return closed == 0;
}

// The hand over the simulated scanner: places a finger when the driver asks for it (each time a
// new capture of it), lifts it when asked to and when the operation has ended.
struct Hand {
    sim::Scanner* cam;
    std::string frames_dir;
    std::string operation;  // names the frame files
    int finger = kFinger;
    int next_capture = 0;
    int presses = 0;
    std::vector<uint8_t> empty;

    void place() {
        std::vector<unsigned char> img = fingergen::finger_image(finger, next_capture, nullptr, kStyle);
        std::vector<uint8_t> frame = sim::mjpeg_from_grey(img.data(), fingergen::kWidth, fingergen::kHeight);
        cam->set_idle_frame(frame);
        cam->set_register(kFingerRegister, 1);
        ++presses;
        std::string name = operation + "-" + std::to_string(presses) + ".png";
        int w = 0, h = 0;
        std::vector<unsigned char> grey;
        bool saved = jpeg_grey(frame, grey, w, h) && write_grey_png(frames_dir + name, grey, w, h);
        fprintf(g_out, "demo:     finger %d (capture %d) placed; the frame: %s%s\n", finger, next_capture, name.c_str(),
                saved ? "" : " (not written)");
        ++next_capture;
    }
    void lift() {
        cam->set_register(kFingerRegister, 0);
        cam->set_idle_frame(empty);
    }
    void start(const char* name, int finger_id, int first_capture) {
        operation = name;
        finger = finger_id;
        next_capture = first_capture;
        presses = 0;
    }
};

void on_progress(int code, const char* msg, void* ctx) {
    Hand* hand = static_cast<Hand*>(ctx);
    fprintf(g_out, "demo:   callback %d \"%s\"\n", code, msg != nullptr ? msg : "");
    if (code == 1000)
        hand->place();
    else
        hand->lift();
}

void result(const Driver& drv, const char* what, int r, const std::string& detail = "") {
    fprintf(g_out, "demo: %s %d \"%s\"%s\n", what, r, drv.message(r).c_str(), detail.c_str());
}

// The length of a returned text (the buffers start zeroed).
std::string text_length(const std::vector<char>& text, const char* what) {
    if (text[0] == 0) return "";
    return std::string(" (") + what + ": " + std::to_string(strlen(text.data())) + " Base64 characters)";
}

// The score of the last match, from the driver's log line (its log goes to log_path).
std::string last_score(const std::string& log_path) {
    fflush(stdout);
    FILE* f = fopen(log_path.c_str(), "r");
    if (f == nullptr) return "";
    std::string log;
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, f)) > 0;) log.append(buf, n);
    fclose(f);
    const std::string key = "veinalg_match nscore = [";
    size_t at = log.rfind(key);
    if (at == std::string::npos) return "";
    return " (score " + std::to_string(atoi(log.c_str() + at + key.size())) + ", threshold " +
           std::to_string(kThreshold) + ")";
}

std::string own_folder() {
    char path[PATH_MAX] = {0};
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    std::string p(path, n > 0 ? static_cast<size_t>(n) : 0);
    size_t slash = p.rfind('/');
    return slash == std::string::npos ? "./" : p.substr(0, slash + 1);
}

bool is_folder(const std::string& path) { return access((path + "/.").c_str(), F_OK) == 0; }

int run(const std::string& driver_dir, const std::string& frames_dir, const std::string& log) {
    sim::UdevBed bed;
    bed.add_camera("3a5c", "0610", "Quvera QVR610", "video0");
    sim::Scanner cam("/dev/video0");
    std::vector<unsigned char> nothing(fingergen::kPixels, kEmptySensor);
    Hand hand{&cam,
              frames_dir,
              "",
              kFinger,
              0,
              0,
              sim::mjpeg_from_grey(nothing.data(), fingergen::kWidth, fingergen::kHeight)};
    hand.lift();
    fprintf(g_out, "demo: simulated scanner 3a5c:0610 \"Quvera QVR610\" at /dev/video0, no finger on it\n");

    Driver drv;
    if (!drv.load(driver_dir + "libveinsdk.so")) return 2;
    result(drv, "init", drv.init(nullptr, nullptr));
    int opened = drv.open();
    result(drv, "open device", opened);

    std::vector<char> tmpl(3996, 0), same(34384, 0), other(34384, 0);
    int enrol = -1, capture = -1, capture_other = -1, match_same = -1, match_other = -1;
    if (opened == 0) {
        fprintf(g_out, "demo: enrol finger %d\n", kFinger);
        hand.start("enrol", kFinger, 0);
        enrol = drv.enroll(tmpl.data(), on_progress, &hand);
        result(drv, "enrol", enrol, text_length(tmpl, "template"));

        fprintf(g_out, "demo: capture finger %d again\n", kFinger);
        hand.start("capture-same-finger", kFinger, 3);
        capture = drv.capture(same.data(), on_progress, &hand);
        result(drv, "capture", capture, text_length(same, "feature"));
        match_same = drv.match(tmpl.data(), same.data());
        result(drv, "match same finger", match_same, last_score(log));

        fprintf(g_out, "demo: capture finger %d\n", kOtherFinger);
        hand.start("capture-other-finger", kOtherFinger, 0);
        capture_other = drv.capture(other.data(), on_progress, &hand);
        result(drv, "capture", capture_other, text_length(other, "feature"));
        match_other = drv.match(tmpl.data(), other.data());
        result(drv, "match other finger", match_other, last_score(log));
    }
    drv.free_();

    if (capture == 0) capture = capture_other;
    fprintf(g_out, "demo: enrol %d, capture %d, match same finger %d, match other finger %d\n", enrol, capture,
            match_same, match_other);
    return enrol == 0 && capture == 0 && match_same == 0 && match_other == -7 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        fprintf(stderr, "usage: umockdev-wrapper %s <driver folder> [<frames folder>]\n", argv[0]);
        return 2;
    }
    std::string driver_dir = std::string(argv[1]) + "/";
    std::string frames_dir = argc == 3 ? std::string(argv[2]) + "/" : own_folder();
    if (!sim::UdevBed::available()) {
        fprintf(stderr, "demo: the simulated scanner needs umockdev: run it as umockdev-wrapper %s ...\n", argv[0]);
        return 77;
    }
    if (!is_folder(driver_dir) || !is_folder(frames_dir)) {
        fprintf(stderr, "demo: %s or %s is not a folder\n", driver_dir.c_str(), frames_dir.c_str());
        return 2;
    }
    // The driver prints its log lines on standard output: they go to a file, this program's own
    // lines to the original standard output.
    std::string log = frames_dir + "driver-log.txt";
    int log_fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int own = dup(STDOUT_FILENO);
    g_out = own >= 0 ? fdopen(own, "w") : nullptr;
    if (log_fd < 0 || g_out == nullptr || dup2(log_fd, STDOUT_FILENO) < 0) {
        fprintf(stderr, "demo: cannot write %s\n", log.c_str());
        return 2;
    }
    close(log_fd);
    setvbuf(g_out, nullptr, _IOLBF, 0);
    fprintf(g_out, "demo: driver folder %s\n", driver_dir.c_str());
    fprintf(g_out, "demo: frames and the driver's log lines (driver-log.txt) in %s\n", frames_dir.c_str());
    int status = run(driver_dir, frames_dir, log);
    fclose(g_out);
    return status;
}
