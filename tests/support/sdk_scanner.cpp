// Driver scenarios in a child with the simulated scanner attached.
#include "sdk_scanner.h"

#include <dlfcn.h>

#include <cstdio>

#include "finger_gen.h"
#include "udev_fixture.h"

namespace qvtest {

std::vector<uint8_t> frame_of(int finger, int capture) {
    std::vector<unsigned char> grey = fingergen::finger_image(finger, capture);
    return sim::mjpeg_from_grey(grey.data(), fingergen::kWidth, fingergen::kHeight);
}

ScannerRig::ScannerRig(const char* config, const char* work_tag) : d(config) { work = make_temp_dir(work_tag); }

ScannerRig::ScannerRig(DriverDir::Installed installed) : d(installed) { work = make_temp_dir("alg"); }

ScannerRig::~ScannerRig() { remove_tree(work); }

ChildResult ScannerRig::run_on_scanner(const std::function<void(void*, sim::Scanner&)>& body,
                                       const ScannerChild& how) const {
    std::string path = bin.path_env();
    Env env{{"PATH", path.c_str()}, {"LANG", "en_US.UTF-8"}, {"QV_FAKE_ALG", work.c_str()}};
    env.insert(env.end(), how.env.begin(), how.env.end());
    return run_child(
        [&] {
            if (!sim::UdevBed::available()) return 77;
            sim::UdevBed bed;
            bed.add_camera("3a5c", "0610", "Quvera QVR610", "video0");
            sim::Scanner cam("/dev/video0");
            if (how.idle_frame) cam.set_idle_frame(frame_of(99, 0));
            cam.set_register(kFingerReg, 0);
            if (how.before_load) how.before_load();
            void* h = load_driver(d);
            body(h, cam);
            fflush(stdout);
            dlclose(h);
            return 0;
        },
        env);
}

std::string clip(const std::string& out) {
    if (out.size() <= 8000) return out;
    return out.substr(0, 4000) + "\n[...]\n" + out.substr(out.size() - 4000);
}

}  // namespace qvtest
