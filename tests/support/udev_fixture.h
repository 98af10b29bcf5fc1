// udev's view of attached scanners for tests: a sysfs tree built in-process with umockdev.
//
// The real libudev enumerates it when the test runs under umockdev's preload
// library (ctest sets LD_PRELOAD for the executables that include
// sim_env.cmake). Pair each camera with a sim::Scanner at the same node path
// so that opening the node reaches the simulated scanner.
//
//   QV_REQUIRE_UDEV_BED();                    // skips the test without umockdev
//   sim::UdevBed bed;
//   bed.add_camera("abcd", "1234", "Quvera QVR610", "video0");   // /dev/video0
//   sim::Scanner cam("/dev/video0");
// or, both at once, the scanner owned by the bed:
//   sim::Scanner& cam = bed.add_scanner("3a5c", "0610", "video0");
//   cam.set_idle_frame(sim::mjpeg_from_grey(img, 320, 240));
//   bed.unplug_scanner(cam);                  // gone for udev and for open/ioctl
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "sim_scanner.h"

namespace sim {

class UdevBed {
public:
    UdevBed();  // an empty tree; the previous bed of the process must be gone
    ~UdevBed();
    UdevBed(const UdevBed&) = delete;
    UdevBed& operator=(const UdevBed&) = delete;

    // True when libudev of this process sees umockdev's tree (the preload is active).
    static bool available();
    // How many variables were added to the environment while a testbed was being made, when
    // its worker thread may read the environment: none may be.
    static int variables_added_while_made();

    // A USB device with the attributes "idVendor", "idProduct" and "product"
    // (nullptr leaves an attribute out), an interface below it and the
    // video4linux node "node" below that, with DEVNAME /dev/<node>. Returns the
    // node's sysfs path.
    std::string add_camera(const char* vid, const char* pid, const char* product, const char* node = "video0");
    // A video4linux node with no USB device above it.
    std::string add_orphan_node(const char* node);
    // Removes a node made by add_camera (with its USB device) or add_orphan_node.
    void remove(const std::string& syspath);

    // add_camera plus a sim::Scanner at /dev/<node>, owned by the bed (destroyed with it).
    Scanner& add_scanner(const char* vid, const char* pid, const char* node = "video0",
                         const char* product = "Quvera QVR610");
    // The scanner is unplugged (Scanner::unplug) and its node leaves udev's tree.
    void unplug_scanner(Scanner& scanner);

private:
    struct Owned {
        std::string syspath;
        std::unique_ptr<Scanner> scanner;
    };
    void* bed_ = nullptr;  // UMockdevTestbed*
    int next_port_ = 1;
    std::vector<Owned> owned_;
};

}  // namespace sim

#define QV_REQUIRE_UDEV_BED()                                                      \
    do {                                                                           \
        if (!sim::UdevBed::available())                                            \
            GTEST_SKIP() << "umockdev preload not active (run through ctest with " \
                            "LD_PRELOAD=libumockdev-preload.so.0)";                \
    } while (0)
