// The driver tests' children: a sanitizer's finding in a forked child fails the parent's test,
// whatever the child's status and even though the child ends with _exit.
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <functional>
#include <thread>

#include "sdk_harness.h"

namespace {

__attribute__((noinline)) void lose_blocks() {
    for (int i = 0; i < 4; ++i) {
        volatile char* p = static_cast<char*>(malloc(100));
        p[0] = 1;
    }
}

int leaks() {
    lose_blocks();
    return 0;
}

int overflows() {
    volatile int big = INT_MAX;
    volatile int sum = big + 1;
    return sum == 0;
}

int shared_value = 0;

int races() {
    std::thread t([] { shared_value++; });
    usleep(200 * 1000);
    shared_value++;
    t.join();
    return 0;
}

#if defined(QV_SANITIZED_BUILD)
constexpr bool kAddressAndUndefined = true;
#else
constexpr bool kAddressAndUndefined = false;
#endif
#if defined(__SANITIZE_THREAD__)
constexpr bool kThread = true;
#else
constexpr bool kThread = false;
#endif

TEST(Harness, SanitizerFindingsInAChildFailTheTest) {
    struct Case {
        const char* what;
        bool checked;  // the sanitizer that finds it is in this build
        int (*child)();
    };
    const Case cases[] = {
        {"a leak, found by the check before _exit", kAddressAndUndefined, leaks},
        {"a signed overflow", kAddressAndUndefined, overflows},
        {"a data race", kThread, races},
    };
    bool any = false;
    for (const Case& c : cases) {
        if (!c.checked) continue;
        any = true;
        SCOPED_TRACE(c.what);
        EXPECT_NONFATAL_FAILURE(qvtest::run_child(c.child), "a sanitizer reported in a child process");
    }
    if (!any) GTEST_SKIP() << "no sanitizer in this build";
}

}  // namespace
