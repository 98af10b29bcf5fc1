// umockdev-backed sysfs tree for the udev fixture.
#include "udev_fixture.h"

#include <dlfcn.h>

#include <atomic>
#include <cstdlib>
#include <map>
#include <string>

#ifdef QV_HAVE_UMOCKDEV
#include <umockdev.h>
#endif

namespace sim {
namespace {
// Node syspath -> the USB device above it, for remove().
std::map<std::string, std::string>& parents() {
    static auto* m = new std::map<std::string, std::string>;
    return *m;
}
}  // namespace

#ifdef QV_HAVE_UMOCKDEV

namespace {
std::atomic<bool> g_making{false};  // inside umockdev_testbed_new
std::atomic<int> g_addedWhileMaking{0};
}  // namespace

int UdevBed::variables_added_while_made() { return g_addedWhileMaking; }

}  // namespace sim

// Every setenv of the process comes here first: one that adds a variable while a testbed is being
// made is counted (see UdevBed::UdevBed).
extern "C" __attribute__((visibility("default"))) int setenv(const char* name, const char* value, int overwrite) {
    using setenv_fn = int (*)(const char*, const char*, int);
    static const setenv_fn real = reinterpret_cast<setenv_fn>(dlsym(RTLD_NEXT, "setenv"));
    if (sim::g_making && name != nullptr && getenv(name) == nullptr) sim::g_addedWhileMaking++;
    return real(name, value, overwrite);
}

namespace sim {

#ifdef __SANITIZE_THREAD__
// GLib and umockdev are not built with ThreadSanitizer, so their own locking is invisible to it:
// ignore what their threads do (the testbed's worker thread answers the preload library). The
// preload library also opens and closes descriptors past ThreadSanitizer, so a number that the
// command runner's pipe had on one thread looks unsynchronised when it comes back on another for a
// log file or the camera: reports with the command runner in a stack are hidden too.
extern "C" __attribute__((visibility("default"))) const char* __tsan_default_suppressions() {
    return "called_from_lib:libglib-2.0.so\n"
           "called_from_lib:libumockdev.so\n"
           "called_from_lib:libumockdev-preload.so\n"
           "race:run_argv\n";
}
#endif

// umockdev_in_mock_environment() answers false here even under the preload, so look for the
// preload library among the loaded objects instead.
bool UdevBed::available() {
    void* h = dlopen("libumockdev-preload.so.0", RTLD_NOW | RTLD_NOLOAD);
    if (!h) return false;
    dlclose(h);
    return true;
}

// umockdev starts the testbed's worker thread and only then sets UMOCKDEV_DIR. Adding a variable
// can move the environment array and free the old one under a getenv of that thread (GObject
// reads G_ENABLE_DIAGNOSTIC there), which crashed a test child once. With the variable present
// already, umockdev's setenv only replaces its value; an empty directory redirects no path.
UdevBed::UdevBed() {
    if (!available()) return;
    setenv("UMOCKDEV_DIR", "", 0);
    g_making = true;
    bed_ = umockdev_testbed_new();
    g_making = false;
}

UdevBed::~UdevBed() {
    if (bed_) g_object_unref(static_cast<UMockdevTestbed*>(bed_));
    parents().clear();
}

static std::string take(gchar* s) {
    std::string r = s ? s : "";
    g_free(s);
    return r;
}

std::string UdevBed::add_camera(const char* vid, const char* pid, const char* product, const char* node) {
    if (!bed_) return "";
    auto* tb = static_cast<UMockdevTestbed*>(bed_);
    std::string port = "1-" + std::to_string(next_port_++);
    const char* attrs[8];
    int n = 0;
    if (vid) attrs[n++] = "idVendor", attrs[n++] = vid;
    if (pid) attrs[n++] = "idProduct", attrs[n++] = pid;
    if (product) attrs[n++] = "product", attrs[n++] = product;
    attrs[n] = nullptr;
    const char* props[] = {"DEVTYPE", "usb_device", nullptr};
    std::string usb = take(umockdev_testbed_add_devicev(tb, "usb", port.c_str(), nullptr, const_cast<gchar**>(attrs),
                                                        const_cast<gchar**>(props)));
    std::string ifname = port + ":1.0";
    std::string intf = take(umockdev_testbed_add_device(tb, "usb", ifname.c_str(), usb.c_str(), "bInterfaceClass", "0e",
                                                        nullptr, "DEVTYPE", "usb_interface", nullptr));
    std::string devname = std::string("/dev/") + node;
    std::string video =
        take(umockdev_testbed_add_device(tb, "video4linux", node, intf.c_str(), "name", product ? product : "camera",
                                         nullptr, "DEVNAME", devname.c_str(), nullptr));
    parents()[video] = usb;
    return video;
}

std::string UdevBed::add_orphan_node(const char* node) {
    if (!bed_) return "";
    auto* tb = static_cast<UMockdevTestbed*>(bed_);
    std::string devname = std::string("/dev/") + node;
    return take(umockdev_testbed_add_device(tb, "video4linux", node, nullptr, "name", "virtual", nullptr, "DEVNAME",
                                            devname.c_str(), nullptr));
}

void UdevBed::remove(const std::string& syspath) {
    if (!bed_) return;
    auto* tb = static_cast<UMockdevTestbed*>(bed_);
    auto it = parents().find(syspath);
    // Removing the USB device removes the interface and the node below it.
    umockdev_testbed_remove_device(tb, it != parents().end() ? it->second.c_str() : syspath.c_str());
    if (it != parents().end()) parents().erase(it);
}

#else  // without umockdev every test that needs the tree skips

bool UdevBed::available() { return false; }
int UdevBed::variables_added_while_made() { return 0; }
UdevBed::UdevBed() {}
UdevBed::~UdevBed() {}
std::string UdevBed::add_camera(const char*, const char*, const char*, const char*) { return ""; }
std::string UdevBed::add_orphan_node(const char*) { return ""; }
void UdevBed::remove(const std::string&) {}

#endif

Scanner& UdevBed::add_scanner(const char* vid, const char* pid, const char* node, const char* product) {
    Owned o;
    o.syspath = add_camera(vid, pid, product, node);
    o.scanner.reset(new Scanner(std::string("/dev/") + node));
    owned_.push_back(std::move(o));
    return *owned_.back().scanner;
}

void UdevBed::unplug_scanner(Scanner& scanner) {
    scanner.unplug();
    for (auto& o : owned_)
        if (o.scanner.get() == &scanner && !o.syspath.empty()) {
            remove(o.syspath);
            o.syspath.clear();
        }
}

}  // namespace sim
