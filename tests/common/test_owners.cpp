// The descriptor owner: each descriptor is closed exactly once, and never one it still holds.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <utility>

#include "qv_owners.h"

namespace {

bool is_open(int fd) { return fcntl(fd, F_GETFD) != -1; }

int open_null() { return open("/dev/null", O_RDONLY | O_CLOEXEC); }

TEST(UniqueFd, ClosesWhatItHoldsOnceAndNothingElse) {
    const int a = open_null(), b = open_null();
    ASSERT_GE(a, 0);
    ASSERT_GE(b, 0);
    {
        qv::UniqueFd fd(a);
        fd.reset(fd.get());  // the same descriptor again: kept, not closed
        EXPECT_TRUE(is_open(a));
        EXPECT_EQ(fd.get(), a);
        fd.reset(b);  // another one: the old one goes
        EXPECT_FALSE(is_open(a));
        EXPECT_TRUE(is_open(b));

        qv::UniqueFd moved(std::move(fd));
        EXPECT_FALSE(fd.valid());
        EXPECT_EQ(moved.get(), b);
        EXPECT_TRUE(is_open(b));
    }
    EXPECT_FALSE(is_open(b));  // closed when its owner went
}

TEST(UniqueFd, ReleaseHandsTheDescriptorOver) {
    const int a = open_null();
    ASSERT_GE(a, 0);
    int taken = -1;
    {
        qv::UniqueFd fd(a);
        taken = fd.release();
        EXPECT_FALSE(fd.valid());
    }
    EXPECT_EQ(taken, a);
    EXPECT_TRUE(is_open(a));
    close(a);
}

}  // namespace
