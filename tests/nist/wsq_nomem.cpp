// The WSQ codec when one allocation fails: every failure is a negative code, nothing is handed
// out and nothing leaks. malloc, calloc, realloc and free are wrapped at link time (-Wl,--wrap),
// so only the codec's own allocations are failed and counted.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <set>
#include <string>

#include "nist_test_util.h"
#include "wsq.h"
#include "wsq_fixture.h"

namespace {

int g_countdown = -1;  // the allocation (0-based, from arming) that fails; -1: none
long g_live = 0;       // allocations less frees of non-null pointers

bool fail_this_one() {
    if (g_countdown < 0) return false;
    return g_countdown-- == 0;
}

}  // namespace

extern "C" {
void* __real_malloc(size_t size);
void* __real_calloc(size_t count, size_t size);
void* __real_realloc(void* p, size_t size);
void __real_free(void* p);

void* __wrap_malloc(size_t size) {
    if (fail_this_one()) return nullptr;
    void* p = __real_malloc(size);
    if (p) ++g_live;
    return p;
}
void* __wrap_calloc(size_t count, size_t size) {
    if (fail_this_one()) return nullptr;
    void* p = __real_calloc(count, size);
    if (p) ++g_live;
    return p;
}
void* __wrap_realloc(void* p, size_t size) {
    if (fail_this_one()) return nullptr;
    void* q = __real_realloc(p, size);
    if (q && !p) ++g_live;
    return q;
}
void __wrap_free(void* p) {
    if (p) --g_live;
    __real_free(p);
}
}

namespace {

// A textured 128 x 96 image: large enough for the transform, small enough to fail every
// allocation of its coding in turn.
Bytes small_finger() {
    const Bytes f = finger_320(2);
    Bytes img(128 * 96);
    for (int y = 0; y < 96; y++) memcpy(&img[y * 128], &f[(y + 70) * 320 + 100], 128);
    return img;
}

// Runs call with allocation n failing, for n = 0, 1, ... until the call makes fewer than n + 1
// allocations. check(rc) sees every result; nothing may stay allocated after a failed call.
// Returns the codes of the failed calls.
template <class Call, class Check>
std::set<int> fail_each_allocation(Call call, Check check) {
    std::set<int> codes;
    for (int n = 0;; n++) {
        SCOPED_TRACE("allocation " + std::to_string(n));
        g_live = 0;
        g_countdown = n;
        const int rc = call();
        const bool failed = g_countdown < 0;
        g_countdown = -1;
        check(rc, failed);
        if (!failed) return codes;
        if (rc != 0) {
            EXPECT_LT(rc, 0);
            EXPECT_EQ(g_live, 0) << "leak after code " << rc;
            codes.insert(rc);
        }
        if (n > 5000) {
            ADD_FAILURE() << "no end to the allocations";
            return codes;
        }
    }
}

TEST(WsqWithoutMemory, EncodingHandsOutNothingAndKeepsNothing) {
    const Bytes img = small_finger();
    struct Case {
        const char* comment;
    } cases[] = {{"Kestrilon"}, {"NIST_COM 3\nSD_ID 7\nPPI 500"}, {nullptr}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.comment ? c.comment : "(none)");
        unsigned char* out = nullptr;
        int len = -7;
        std::set<int> codes = fail_each_allocation(
            [&] { return wsq_encode_1(&out, &len, 0.75f, img.data(), 128, 96, 8, 500, c.comment); },
            [&](int rc, bool failed) {
                if (rc == 0) {
                    // Success hands out exactly one buffer, the stream.
                    EXPECT_EQ(g_live, 1);
                    ASSERT_NE(out, nullptr);
                    EXPECT_GT(len, 0);
                    free(out);
                    out = nullptr;
                    len = -7;
                    if (failed) ADD_FAILURE() << "an allocation failure was ignored";
                } else {
                    EXPECT_EQ(out, nullptr);
                    EXPECT_EQ(len, -7);
                }
            });
        // The named failures of the encoder itself are among them.
        for (int code : {-10, -12, -13}) EXPECT_EQ(codes.count(code), 1u) << code;
    }
}

TEST(WsqWithoutMemory, DecodingHandsOutNothingAndKeepsNothing) {
    const Bytes img = small_finger();
    unsigned char* raw = nullptr;
    int len = 0;
    ASSERT_EQ(wsq_encode_1(&raw, &len, 0.75f, img.data(), 128, 96, 8, 500, "Kestrilon"), 0);
    const Bytes stream(raw, raw + len);
    free(raw);

    struct Case {
        const char* name;
        bool from_file;
        std::set<int> named;  // the transform table's allocations, the symbols and the pixels
    } cases[] = {
        {"memory", false, {-94, -95, -96, -97, -20, -21}},
        {"stream", true, {-76, -77, -78, -79, -20, -21}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        unsigned char* px = nullptr;
        int w = -7, ppi = -7;
        std::set<int> codes = fail_each_allocation(
            [&] {
                if (!c.from_file)
                    return wsq_decode_mem(&px, &w, nullptr, nullptr, &ppi, nullptr, stream.data(),
                                          static_cast<int>(stream.size()));
                FILE* fp = stream_of(stream);
                const int rc = wsq_decode_file(&px, &w, nullptr, nullptr, &ppi, nullptr, fp);
                fclose(fp);
                return rc;
            },
            [&](int rc, bool failed) {
                if (rc == 0) {
                    EXPECT_EQ(g_live, 1);
                    ASSERT_NE(px, nullptr);
                    EXPECT_EQ(w, 128);
                    EXPECT_EQ(ppi, 500);
                    free(px);
                    px = nullptr;
                    w = ppi = -7;
                    if (failed) ADD_FAILURE() << "an allocation failure was ignored";
                } else {
                    EXPECT_EQ(px, nullptr);
                    EXPECT_EQ(w, -7);
                }
            });
        for (int code : c.named) EXPECT_EQ(codes.count(code), 1u) << code;
    }
}

}  // namespace
