// Checksums, the ZPF container and the whole-file functions, against independent references.
#include <gtest/gtest.h>
#include <unistd.h>
#include <zlib.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "imagelib.h"

namespace {

std::string TmpPath(const std::string& name) {
    return std::string(QV_TEST_TMPDIR) + "/sum_" + std::to_string(getpid()) + "_" + name;
}

std::string Hex(const void* data, int length, int mode) {
    unsigned char out[64];
    std::memset(out, '#', sizeof out);
    int n = CalcChecksum(data, length, out, mode);
    if (n < 0) return std::to_string(n);
    EXPECT_EQ(out[n], 0);
    return std::string(reinterpret_cast<char*>(out), static_cast<size_t>(n));
}

void WriteFile(const std::string& path, const std::string& bytes) {
    FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    if (!bytes.empty()) {
        ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
    }
    std::fclose(f);
}

// Bit-at-a-time references of the two short CRCs.
unsigned Crc16Bitwise(const std::string& s) {
    unsigned c = 0;
    for (unsigned char b : s) {
        c ^= static_cast<unsigned>(b) << 8;
        for (int k = 0; k < 8; ++k) c = (c & 0x8000) ? ((c << 1) ^ 0x1021) & 0xFFFF : (c << 1) & 0xFFFF;
    }
    return c;
}
unsigned Crc8Bitwise(const std::string& s) {
    unsigned c = 0;
    for (unsigned char b : s) {
        c ^= b;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0x8C : c >> 1;
    }
    return c;
}

std::string ToUpperHex(const std::string& s) {
    std::string r = s;
    for (char& c : r)
        if (c >= 'a' && c <= 'f') c = static_cast<char>(c - 32);
    return r;
}

}  // namespace

TEST(Checksum, KnownDigestsTable) {
    struct Case {
        const char* text;
        int mode;
        const char* want;
    } cases[] = {
        {"123456789", 0, "25F9E794323B453885F5181F1B624D0B"},
        {"123456789", 1, "2639F4CB"},
        {"123456789", 2, "C331"},
        {"123456789", 3, "A1"},
        {"123456789", 4, "F7C3BC1D808E04732ADF679965CCC34CA7AE3441"},
        {"abc", 0, "900150983CD24FB0D6963F7D28E17F72"},
        {"abc", 1, "C2412435"},
        {"abc", 4, "A9993E364706816ABA3E25717850C26C9CD0D89D"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", 0, "8215EF0796A20BCAAAE116D3876C664A"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", 4, "84983E441C3BD26EBAAE4AA1F95129E5E54670F1"},
        {"123456789", 0x204, "F7C3BC1D808E04732ADF679965CCC34CA7AE3441"},  // bits above 8 ignored
    };
    for (const Case& c : cases)
        EXPECT_EQ(Hex(c.text, static_cast<int>(std::strlen(c.text)), c.mode), c.want) << c.text << " " << c.mode;
    std::string million(1000000, 'a');
    EXPECT_EQ(Hex(million.data(), 1000000, 0), "7707D6AE4E027C70EEA2A935C2296F21");
    EXPECT_EQ(Hex(million.data(), 1000000, 4), "34AA973CD4C4DAA4F61EEB2BDBAD27316534016F");
}

TEST(Checksum, ShortCrcsMatchBitwiseReferencesAndZlib) {
    std::string data;
    for (int len = 1; len < 300; len += 7) {
        data.clear();
        for (int i = 0; i < len; ++i) data.push_back(static_cast<char>(i * 91 + len));
        unsigned char raw[4];
        ASSERT_EQ(CalcChecksum(data.data(), len, raw, 0x102), 2);
        EXPECT_EQ(raw[0] | (raw[1] << 8), static_cast<int>(Crc16Bitwise(data)));
        ASSERT_EQ(CalcChecksum(data.data(), len, raw, 0x103), 1);
        EXPECT_EQ(raw[0], Crc8Bitwise(data));
        ASSERT_EQ(CalcChecksum(data.data(), len, raw, 0x101), 4);
        const unsigned z =
            static_cast<unsigned>(crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(len)));
        EXPECT_EQ(raw[0] | (raw[1] << 8) | (raw[2] << 16) | (static_cast<unsigned>(raw[3]) << 24), z);
        // Chained updates give the CRC of the whole.
        const unsigned char* p = reinterpret_cast<const unsigned char*>(data.data());
        unsigned chained = Crc32Update(Crc32Update(0, p, len / 2), p + len / 2, len - len / 2);
        EXPECT_EQ(chained, z);
    }
    EXPECT_EQ(Crc32Update(0x1234, nullptr, 5), 0x1234u);
    EXPECT_EQ(Crc32Update(0x1234, reinterpret_cast<const unsigned char*>("x"), 0), 0x1234u);
}

TEST(Checksum, DigestsMatchPythonHashlibAcrossBlockBoundaries) {
    if (std::system("python3 -c 'import hashlib' >/dev/null 2>&1") != 0) GTEST_SKIP() << "no python3";
    const int lens[] = {1, 55, 56, 57, 63, 64, 65, 119, 120, 128, 1000};
    std::vector<std::string> datas, paths;
    std::string args;
    for (int len : lens) {
        std::string data;
        for (int i = 0; i < len; ++i) data.push_back(static_cast<char>((i * 131 + len) & 0xFF));
        paths.push_back(TmpPath("hashlib" + std::to_string(len) + ".bin"));
        WriteFile(paths.back(), data);
        datas.push_back(data);
        args += " " + paths.back();
    }
    // One interpreter for every file: starting python costs more than all the digests.
    const std::string cmd =
        "python3 -c \"import hashlib,sys\n"
        "for f in sys.argv[1:]:\n "
        "d=open(f,'rb').read();print(hashlib.md5(d).hexdigest(),hashlib.sha1(d).hexdigest())\"" +
        args;
    FILE* p = popen(cmd.c_str(), "r");
    ASSERT_NE(p, nullptr);
    for (size_t k = 0; k < paths.size(); ++k) {
        const int len = lens[k];
        char md5[64] = {0}, sha1[64] = {0};
        ASSERT_EQ(std::fscanf(p, "%63s %63s", md5, sha1), 2) << len;
        EXPECT_EQ(Hex(datas[k].data(), len, 0), ToUpperHex(md5)) << len;
        EXPECT_EQ(Hex(datas[k].data(), len, 4), ToUpperHex(sha1)) << len;
        EXPECT_EQ(Hex(paths[k].c_str(), 0, 4), ToUpperHex(sha1)) << len;  // the same, read from the file
    }
    pclose(p);
    for (const std::string& path : paths) std::remove(path.c_str());
}

TEST(Checksum, OutputModesAndErrors) {
    unsigned char raw[4];
    EXPECT_EQ(CalcChecksum("123456789", 9, raw, 0x101), 4);
    const unsigned char want[4] = {0x26, 0x39, 0xF4, 0xCB};
    EXPECT_EQ(std::memcmp(raw, want, 4), 0);
    EXPECT_EQ(CalcChecksum("abc", 3, nullptr, 0), 32);
    EXPECT_EQ(CalcChecksum("abc", 3, nullptr, 0x100), 16);
    EXPECT_EQ(CalcChecksum("abc", 3, nullptr, 4), 40);
    EXPECT_EQ(CalcChecksum("abc", 3, nullptr, 3), 2);
    EXPECT_EQ(CalcChecksum("123456789", 9, raw, 5), -12);
    EXPECT_EQ(CalcChecksum(nullptr, 9, raw, 0), -3);
    const std::string empty = TmpPath("empty");
    WriteFile(empty, "");
    EXPECT_EQ(CalcChecksum(empty.c_str(), 0, raw, 0), -18);
    EXPECT_EQ(CalcChecksum("", 0, raw, 0), -18);
    EXPECT_EQ(CalcChecksum("/nonexistent-dir/f", -1, raw, 0), -18);
    std::remove(empty.c_str());
}

TEST(Zpf, PackAndUnpackRoundTrip) {
    std::vector<unsigned char> zeros(1000, 0);
    const int need = ZpfPack(9, nullptr, 0, zeros.data(), 1000);
    EXPECT_EQ(need, static_cast<int>(compressBound(1000)) + 16);
    std::vector<unsigned char> box(static_cast<size_t>(need));
    const int n = ZpfPack(9, box.data(), need, zeros.data(), 1000);
    ASSERT_GT(n, 16);
    EXPECT_EQ(std::memcmp(box.data(), "ZPF\0", 4), 0);
    const unsigned char* c = box.data() + 4;
    EXPECT_EQ(ReadLe32(&c), 1000u);
    EXPECT_EQ(ReadLe32(&c), static_cast<unsigned>(n - 16));
    EXPECT_EQ(ReadLe32(&c), 0u);
    EXPECT_EQ(ZpfPack(0, nullptr, 0, box.data(), n), 1000);
    std::vector<unsigned char> back(1000, 7);
    EXPECT_EQ(ZpfPack(0, back.data(), 1000, box.data(), n), 1000);
    EXPECT_EQ(back, zeros);
    // The stream is plain zlib: zlib's own uncompress reads it.
    uLongf got = 1000;
    std::vector<unsigned char> z(1000, 9);
    EXPECT_EQ(uncompress(z.data(), &got, box.data() + 16, static_cast<uLong>(n - 16)), Z_OK);
    EXPECT_EQ(got, 1000u);
    EXPECT_EQ(z, zeros);
}

TEST(Zpf, RefusesWhatItCannotTrust) {
    std::string text(500, 'q');
    for (size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>('a' + i % 17);
    const unsigned char* in = reinterpret_cast<const unsigned char*>(text.data());
    std::vector<unsigned char> box(static_cast<size_t>(ZpfPack(6, nullptr, 0, in, 500)));
    EXPECT_EQ(ZpfPack(6, box.data(), 20, in, 500), 0);  // capacity below the bound
    const int n = ZpfPack(6, box.data(), 0, in, 500);   // 0: the caller guarantees room
    ASSERT_GT(n, 16);
    EXPECT_EQ(ZpfPack(6, box.data(), 0, nullptr, 500), 0);
    EXPECT_EQ(ZpfPack(6, box.data(), 0, in, 0), 0);
    EXPECT_EQ(ZpfPack(10, box.data(), 0, in, 500), 0);
    EXPECT_EQ(ZpfPack(-1, box.data(), 0, in, 500), 0);

    std::vector<unsigned char> out(1000);
    EXPECT_EQ(ZpfPack(0, out.data(), 0, box.data(), n), 0);         // no capacity: the header is not trusted
    EXPECT_EQ(ZpfPack(0, out.data(), 499, box.data(), n), 0);       // too small
    EXPECT_EQ(ZpfPack(0, out.data(), 1000, box.data(), n - 1), 0);  // truncated stream
    EXPECT_EQ(ZpfPack(0, out.data(), 1000, box.data(), 15), 0);
    std::vector<unsigned char> bad(box.begin(), box.begin() + n);
    bad[0] = 'X';
    EXPECT_EQ(ZpfPack(0, out.data(), 1000, bad.data(), n), 0);
    struct Case {
        unsigned plain, packed;
    } lies[] = {
        {499, static_cast<unsigned>(n - 16)},
        {501, static_cast<unsigned>(n - 16)},
        {500, 0xFFFFFFF0u},
        {0x80000000u, static_cast<unsigned>(n - 16)},
    };
    for (const Case& l : lies) {
        bad.assign(box.begin(), box.begin() + n);
        unsigned char* c = bad.data() + 4;
        WriteLe32(&c, l.plain);
        WriteLe32(&c, l.packed);
        EXPECT_EQ(ZpfPack(0, out.data(), 1000, bad.data(), n), 0) << l.plain << " " << l.packed;
    }
}

TEST(ImgFile, WholeFileFunctions) {
    const std::string path = TmpPath("ten.bin");
    ASSERT_EQ(ImgWriteFile(path.c_str(), reinterpret_cast<const unsigned char*>("0123456789"), 10, 0), 10);
    EXPECT_EQ(ImgFileSize(path.c_str()), 10);
    unsigned char* buf = static_cast<unsigned char*>(std::malloc(3));
    EXPECT_EQ(ImgReadFile(path.c_str(), &buf, 1), 10);
    EXPECT_EQ(std::memcmp(buf, "0123456789", 10), 0);
    EXPECT_EQ(buf[10], 0);
    std::free(buf);
    ASSERT_EQ(ImgWriteFile(path.c_str(), reinterpret_cast<const unsigned char*>("ab"), 2, 1), 2);
    int size = 0;
    buf = ImgReadFileBuf(path.c_str(), -4, &size);
    ASSERT_NE(buf, nullptr);
    EXPECT_EQ(size, 12);
    EXPECT_EQ(std::memcmp(buf, "0123456789ab", 12), 0);
    std::free(buf);
    unsigned char head[4];
    EXPECT_EQ(ImgReadFileHead(path.c_str(), head, 4), 4);
    EXPECT_EQ(std::memcmp(head, "0123", 4), 0);
    EXPECT_EQ(ImgReadFileHead(path.c_str(), head, 0), 0);
    ASSERT_EQ(ImgWriteFile(path.c_str(), reinterpret_cast<const unsigned char*>("z"), 1, 0), 1);  // replaces
    EXPECT_EQ(ImgFileSize(path.c_str()), 1);

    const std::string empty = TmpPath("empty.bin");
    WriteFile(empty, "");
    buf = static_cast<unsigned char*>(std::malloc(3));
    EXPECT_EQ(ImgReadFile(empty.c_str(), &buf, 0), 0);
    EXPECT_EQ(buf, nullptr);  // released on failure
    EXPECT_EQ(ImgReadFileBuf("/nonexistent-dir/x", 0, &size), nullptr);
    EXPECT_EQ(size, 0);
    EXPECT_EQ(ImgFileSize(""), -3);
    EXPECT_EQ(ImgFileSize(nullptr), -3);
    EXPECT_EQ(ImgFileSize("/nonexistent-dir/x"), -18);
    EXPECT_EQ(ImgWriteFile("", head, 1, 0), 0);
    EXPECT_EQ(ImgWriteFile(path.c_str(), nullptr, 1, 0), 0);
    EXPECT_EQ(ImgWriteFile(path.c_str(), head, 0, 0), 0);
    EXPECT_EQ(ImgWriteFile("/nonexistent-dir/x", head, 1, 0), 0);
    EXPECT_EQ(ImgReadFile(path.c_str(), nullptr, 0), 0);
    EXPECT_EQ(ImgReadFile(path.c_str(), &buf, INT_MAX), 0);  // size + extra would not fit an int
    std::remove(path.c_str());
    std::remove(empty.c_str());
}

// The size query reports only what the data can hold: zlib expands a byte at most 1,032 times, and
// nothing beyond 4 bytes a pixel of the decode budget (and 1 MiB of headers) is packed or unpacked.
TEST(Zpf, StoredLengthsBeyondTheCodingOrTheBudgetAreRefused) {
    const std::vector<unsigned char> zeros(1 << 20, 0);
    std::vector<unsigned char> box(static_cast<size_t>(ZpfPack(9, nullptr, 0, zeros.data(), 1 << 20)));
    const int n = ZpfPack(9, box.data(), 0, zeros.data(), 1 << 20);
    ASSERT_GT(n, 16);
    EXPECT_GT((1 << 20) / (n - 16), 1000);  // the most zlib makes of a byte
    auto claim = [&](unsigned plain, unsigned packed, size_t data) {
        std::vector<unsigned char> c(16 + data, 0);
        memcpy(c.data(), "ZPF", 4);
        unsigned char* p = c.data() + 4;
        WriteLe32(&p, plain);
        WriteLe32(&p, packed);
        return c;
    };
    const unsigned limit = (64u << 20) + (1u << 20);
    struct Case {
        const char* what;
        std::vector<unsigned char> file;
        int size;
    } cases[] = {
        {"a 16-byte header claiming 2^31-1 bytes (was reported as is)", claim(0x7FFFFFFF, 0, 0), 0},
        {"100,000 bytes from 10", claim(100000, 10, 10), 0},
        {"1,032 times the packed bytes", claim(10320, 10, 10), 10320},
        {"beyond the budget, from enough packed bytes", claim(limit + 1, 70000, 70000), 0},
        {"zeros at zlib level 9", std::vector<unsigned char>(box.begin(), box.begin() + n), 1 << 20},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ZpfPack(0, nullptr, 0, c.file.data(), static_cast<int>(c.file.size())), c.size) << c.what;
    std::vector<unsigned char> back(1 << 20, 1);
    EXPECT_EQ(ZpfPack(0, back.data(), static_cast<int>(back.size()), box.data(), n), 1 << 20);
    EXPECT_EQ(back, zeros);
    // the packer writes nothing the unpacker refuses
    const std::vector<unsigned char> large(limit + 1, 0);
    EXPECT_EQ(ZpfPack(9, nullptr, 0, large.data(), static_cast<int>(large.size())), 0);
    EXPECT_GT(ZpfPack(9, nullptr, 0, large.data(), static_cast<int>(limit)), 0);
}
