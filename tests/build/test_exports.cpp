// The deliverables load and carry the names their users link against.
#include <dlfcn.h>
#include <gtest/gtest.h>

TEST(Deliverables, LibrariesLoad) {
    void* sdk = dlopen(VEINSDK_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(sdk, nullptr) << dlerror();
    dlclose(sdk);
    void* alg = dlopen(VEINALG_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(alg, nullptr) << dlerror();
    dlclose(alg);
}
