// Big-endian byte I/O and the stuffing bit writer.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "nist_io.h"
#include "nist_test_util.h"

TEST(NistBytes, BufferWritersAreBigEndianAndBounded) {
    unsigned char buf[8] = {0};
    int used = 0;
    ASSERT_EQ(putc_ushort(0xFFA0, buf, 8, &used), 0);
    EXPECT_EQ(used, 2);
    EXPECT_EQ(buf[0], 0xFF);
    EXPECT_EQ(buf[1], 0xA0);
    ASSERT_EQ(putc_uint(0x0102030Au, buf, 8, &used), 0);
    EXPECT_EQ(Bytes(buf + 2, buf + 6), (Bytes{1, 2, 3, 0x0A}));
    // Exactly filling the buffer works; one byte more fails and changes nothing.
    ASSERT_EQ(putc_bytes(reinterpret_cast<const unsigned char*>("xy"), 2, buf, 8, &used), 0);
    EXPECT_EQ(used, 8);
    EXPECT_EQ(putc_byte(1, buf, 8, &used), NIST_ERR_PUTC_BYTE);
    EXPECT_EQ(putc_bytes(buf, 1, buf, 8, &used), NIST_ERR_PUTC_BYTES);
    EXPECT_EQ(putc_ushort(1, buf, 8, &used), NIST_ERR_PUTC_BYTES);
    EXPECT_EQ(putc_uint(1, buf, 8, &used), NIST_ERR_PUTC_BYTES);
    EXPECT_EQ(used, 8);
    used = 0;
    EXPECT_EQ(putc_bytes(buf, -1, buf, 8, &used), NIST_ERR_PUTC_BYTES);
    EXPECT_EQ(used, 0);
}

TEST(NistBytes, MemoryReadersFailWholeAtTheEnd) {
    const Bytes data = {0x00, 0x00, 0x01, 0x2C, 0xAB};
    const unsigned char* cur = data.data();
    const unsigned char* end = data.data() + data.size();
    unsigned int u = 0;
    ASSERT_EQ(getc_uint(&u, &cur, end), 0);
    EXPECT_EQ(u, 300u);
    unsigned short s = 7;
    EXPECT_EQ(getc_ushort(&s, &cur, end), NIST_ERR_GETC_BYTES);
    EXPECT_EQ(s, 7);
    EXPECT_EQ(cur, data.data() + 4);
    unsigned char c = 0;
    ASSERT_EQ(getc_byte(&c, &cur, end), 0);
    EXPECT_EQ(c, 0xAB);
    EXPECT_EQ(getc_byte(&c, &cur, end), NIST_ERR_GETC_BYTE);
    EXPECT_EQ(getc_uint(&u, &cur, end), NIST_ERR_GETC_BYTES);
    unsigned char dst[4];
    unsigned char* d = dst;
    cur = data.data();
    EXPECT_EQ(getc_bytes(&d, -1, &cur, end), NIST_ERR_GETC_BYTES);
    EXPECT_EQ(getc_bytes(&d, 6, &cur, end), NIST_ERR_GETC_BYTES);
    EXPECT_EQ(cur, data.data());
    ASSERT_EQ(getc_bytes(&d, 3, &cur, end), 0);
    EXPECT_EQ(d, dst);
    EXPECT_EQ(dst[2], 0x01);
}

TEST(NistBytes, StreamReadersAndWriters) {
    FILE* fp = tmpfile();
    ASSERT_NE(fp, nullptr);
    ASSERT_EQ(write_byte(0x12, fp), 0);
    ASSERT_EQ(write_ushort(0xFFA0, fp), 0);
    ASSERT_EQ(write_uint(0xDEADBEEFu, fp), 0);
    rewind(fp);
    unsigned char c;
    unsigned short s;
    unsigned int u;
    ASSERT_EQ(read_byte(&c, fp), 0);
    ASSERT_EQ(read_ushort(&s, fp), 0);
    ASSERT_EQ(read_uint(&u, fp), 0);
    EXPECT_EQ(c, 0x12);
    EXPECT_EQ(s, 0xFFA0);
    EXPECT_EQ(u, 0xDEADBEEFu);
    EXPECT_EQ(read_byte(&c, fp), NIST_ERR_READ_BYTE);
    fclose(fp);

    struct Case {
        Bytes data;
        int ushort_rc, uint_rc;
    } cases[] = {{{}, NIST_ERR_READ_USHORT, NIST_ERR_READ_UINT},
                 {{1}, NIST_ERR_READ_USHORT, NIST_ERR_READ_UINT},
                 {{1, 2, 3}, 0, NIST_ERR_READ_UINT}};
    for (const auto& k : cases) {
        FILE* f1 = stream_of(k.data);
        EXPECT_EQ(read_ushort(&s, f1), k.ushort_rc);
        fclose(f1);
        FILE* f2 = stream_of(k.data);
        EXPECT_EQ(read_uint(&u, f2), k.uint_rc);
        fclose(f2);
    }
}

namespace {

struct BitWriter {
    unsigned char buf[16];
    unsigned char* p = buf;
    unsigned char* end;
    int outbit = 7, bytes = 0;
    unsigned char bits = 0;
    explicit BitWriter(int room = 16) : end(buf + room) { memset(buf, 0xEE, sizeof buf); }
    int put(unsigned short code, int size) { return write_code_bits(&p, end, code, size, &outbit, &bits, &bytes); }
    int flush() { return flush_code_bits(&p, end, &outbit, &bits, &bytes); }
    Bytes out() const { return Bytes(static_cast<const unsigned char*>(buf), static_cast<const unsigned char*>(p)); }
};

}  // namespace

TEST(NistBits, StuffingAndFill) {
    {
        BitWriter w;
        ASSERT_EQ(w.put(0xFF, 8), 0);
        EXPECT_EQ(w.out(), (Bytes{0xFF, 0x00}));
        EXPECT_EQ(w.bytes, 2);
        EXPECT_EQ(w.outbit, 7);
        ASSERT_EQ(w.flush(), 0);  // nothing pending: nothing stored
        EXPECT_EQ(w.bytes, 2);
        EXPECT_EQ(w.out().size(), 2u);
    }
    {
        BitWriter w;
        ASSERT_EQ(w.put(0x5, 3), 0);
        ASSERT_EQ(w.flush(), 0);
        EXPECT_EQ(w.out(), (Bytes{0xBF}));
        EXPECT_EQ(w.bytes, 1);
    }
    {
        BitWriter w;
        ASSERT_EQ(w.put(0x7F, 7), 0);
        ASSERT_EQ(w.flush(), 0);
        EXPECT_EQ(w.out(), (Bytes{0xFF, 0x00}));
        EXPECT_EQ(w.bytes, 2);
    }
    {
        // Codes spanning bytes, MSB first; a size of 0 writes nothing.
        BitWriter w;
        ASSERT_EQ(w.put(0x1, 0), 0);
        ASSERT_EQ(w.put(0x2AB, 10), 0);
        ASSERT_EQ(w.put(0x3, 6), 0);
        EXPECT_EQ(w.out(), (Bytes{0xAA, 0xC3}));
        EXPECT_EQ(w.outbit, 7);
    }
}

TEST(NistBits, WriterStopsAtItsEnd) {
    BitWriter w(2);
    ASSERT_EQ(w.put(0xAB, 8), 0);
    // An 0xFF needs two bytes with its stuffed zero; only one is left.
    EXPECT_EQ(w.put(0xFF, 8), NIST_ERR_BITS_OVERFLOW);
    EXPECT_EQ(w.buf[1], 0xEE);
    BitWriter v(1);
    ASSERT_EQ(v.put(0x12, 8), 0);
    ASSERT_EQ(v.put(0x1, 1), 0);
    EXPECT_EQ(v.flush(), NIST_ERR_BITS_OVERFLOW);
    EXPECT_EQ(v.buf[1], 0xEE);
}

TEST(NistMisc, Crc32AndGate) {
    const char* s = "123456789";
    EXPECT_EQ(crc32_update(0, reinterpret_cast<const unsigned char*>(s), 9), 0xCBF43926u);
    EXPECT_EQ(crc32_update(0x1234, nullptr, 5), 0x1234u);
    testing::internal::CaptureStderr();
    EXPECT_EQ(diag_fprintf(stderr, "%s", "anything"), 0);
    report_fatal_error("a", "b", "c");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(NistMisc, WholeFiles) {
    const std::string path = testing::TempDir() + "nist_ascii.txt";
    FILE* fp = fopen(path.c_str(), "wb");
    ASSERT_NE(fp, nullptr);
    fputs("NIST_COM 1", fp);
    fclose(fp);
    EXPECT_EQ(filesize(path.c_str()), 10);
    char* text = nullptr;
    ASSERT_EQ(read_ascii_file(path.c_str(), &text), 0);
    EXPECT_STREQ(text, "NIST_COM 1");
    free(text);
    remove(path.c_str());
    EXPECT_EQ(filesize(path.c_str()), -2);
    EXPECT_EQ(read_ascii_file(path.c_str(), &text), -2);
}
