// Owners of the driver library's resources: malloc'd arrays, file descriptors and C library
// objects (libudev's, for instance), each released exactly once when its owner goes, so an early
// return frees whatever the function holds. Memory that leaves through an exported interface
// leaves with release() and stays malloc'd: its receiver frees it with free().
#pragma once

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <type_traits>

namespace qv {

struct FreeDeleter {
    void operator()(void* p) const noexcept { std::free(p); }
};

// An array from malloc or calloc; empty when the memory could not be had. No constructor or
// destructor runs, so only for types that need none and that malloc aligns.
template <class T>
using HeapArray = std::unique_ptr<T[], FreeDeleter>;

template <class T>
constexpr bool kHeapStorable = alignof(T) <= alignof(std::max_align_t) && std::is_trivial_v<T>;

// count uninitialised elements; empty also when count * sizeof(T) overflows.
template <class T>
HeapArray<T> heap_alloc(size_t count) {
    static_assert(kHeapStorable<T>, "heap_alloc holds plain data only");
    if (count > SIZE_MAX / sizeof(T)) return nullptr;
    return HeapArray<T>(static_cast<T*>(std::malloc(count ? count * sizeof(T) : 1)));
}

// count zeroed elements.
template <class T>
HeapArray<T> heap_zeroed(size_t count) {
    static_assert(kHeapStorable<T>, "heap_zeroed holds plain data only");
    return HeapArray<T>(static_cast<T*>(std::calloc(count ? count : 1, sizeof(T))));
}

// A C object released by its library's function, e.g. CPtr<udev_device, udev_device_unref>.
// The release function's result, if any, is ignored.
template <auto Release>
struct CallRelease {
    template <class T>
    void operator()(T* p) const noexcept {
        Release(p);
    }
};
template <class T, auto Release>
using CPtr = std::unique_ptr<T, CallRelease<Release>>;

// A file descriptor, closed when the owner goes; move-only. -1 is "none"; 0 is a descriptor.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    // The caller takes the descriptor over: dropping the result would leak it.
    [[nodiscard]] int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    // Closes what it holds unless that is fd itself, then keeps fd.
    void reset(int fd = -1) {
        if (fd_ >= 0 && fd_ != fd) ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

}  // namespace qv
