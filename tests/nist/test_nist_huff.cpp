// Huffman table construction: the standard's rules and the invariants every encoder table must keep.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <random>

#include "nist_huff.h"
#include "nist_io.h"
#include "nist_test_util.h"
#include "wsq_entropy.h"

namespace {

struct Built {
    int rc = 0;
    Bytes bits;                   // 32 length counts
    Bytes values;                 // symbols by code length
    std::vector<int> sizes;       // sizes before limiting
    std::vector<HUFFCODE> codes;  // code list
};

// The encoder's calling order on a frequency table of M + 1 entries.
Built build(std::vector<int> freq) {
    Built b;
    const int m = static_cast<int>(freq.size()) - 1;
    int* sizes = nullptr;
    unsigned char* bits = nullptr;
    unsigned char* values = nullptr;
    HUFFCODE* list = nullptr;
    int adjust = 0, last = 0;
    if ((b.rc = find_huff_sizes(&sizes, freq.data(), m))) return b;
    b.sizes.assign(sizes, sizes + m + 1);
    if ((b.rc = find_num_huff_sizes(&bits, &adjust, sizes, m))) {
        free(sizes);
        return b;
    }
    if (adjust) b.rc = sort_huffbits(bits);
    if (b.rc == 0) b.rc = sort_code_sizes(&values, sizes, m);
    if (b.rc == 0) b.rc = build_huffsizes(&list, &last, bits, m);
    if (b.rc == 0) {
        assign_huffcodes(list);
        b.bits.assign(bits, bits + 32);
        b.values.assign(values, values + last);
        b.codes.assign(list, list + last);
    }
    free(sizes);
    free(bits);
    free(values);
    free(list);
    return b;
}

// Every present symbol has a code of at most 16 bits, the codes are prefix-free and one point stays free.
void expect_sound(const Built& b, const std::vector<int>& freq) {
    ASSERT_EQ(b.rc, 0);
    const int m = static_cast<int>(freq.size()) - 1;
    int present = 0;
    for (int i = 0; i < m; i++) present += freq[i] > 0;
    int total = 0;
    for (int i = 0; i < 16; i++) total += b.bits[i];
    for (int i = 16; i < 32; i++) EXPECT_EQ(b.bits[i], 0);
    EXPECT_EQ(total, present);
    EXPECT_LT(huff_code_space(b.bits.data()), 1L << 16);
    EXPECT_EQ(check_all_ones_huffcode(b.codes.data(), static_cast<int>(b.codes.size())), 0);
    for (size_t i = 1; i < b.codes.size(); i++) {
        // Canonical codes of non-decreasing length: each code above the previous one's extension.
        const auto& p = b.codes[i - 1];
        const auto& c = b.codes[i];
        EXPECT_GE(c.size, p.size);
        EXPECT_GE(c.code, (p.code + 1) << (c.size - p.size));  // no earlier code is a prefix
        EXPECT_LT(c.code, 1u << c.size);
    }
    std::vector<bool> seen(m, false);
    for (auto v : b.values) {
        EXPECT_GT(freq[v], 0);
        EXPECT_FALSE(seen[v]);
        seen[v] = true;
    }
}

}  // namespace

TEST(NistHuffman, OneSymbolGetsTheOneBitCodeZero) {
    std::vector<int> freq(257, 0);
    freq[42] = 9;
    freq[256] = 1;
    Built b = build(freq);
    ASSERT_EQ(b.rc, 0);
    EXPECT_EQ(b.bits[0], 1);
    ASSERT_EQ(b.values.size(), 1u);
    EXPECT_EQ(b.values[0], 42);
    EXPECT_EQ(b.codes[0].size, 1);
    EXPECT_EQ(b.codes[0].code, 0u);
}

TEST(NistHuffman, NoSymbolGivesAnEmptyTable) {
    std::vector<int> freq(257, 0);
    freq[256] = 1;
    Built b = build(freq);
    ASSERT_EQ(b.rc, 0);
    for (auto c : b.bits) EXPECT_EQ(c, 0);
    EXPECT_TRUE(b.codes.empty());
    HUFFCODE empty[1] = {{0, 0}};
    assign_huffcodes(empty);
    EXPECT_EQ(empty[0].size, 0);
}

TEST(NistHuffman, TiesTakeTheLargerSymbol) {
    std::vector<int> freq(257, 0);
    for (int s : {3, 7, 9, 12}) freq[s] = 5;
    freq[20] = 50;
    int v1, v2;
    find_two_least_freq(&v1, &v2, freq.data(), 256);
    EXPECT_EQ(v1, 12);
    EXPECT_EQ(v2, 9);
    freq.assign(257, 0);
    freq[4] = 2;
    find_two_least_freq(&v1, &v2, freq.data(), 256);
    EXPECT_EQ(v1, 4);
    EXPECT_EQ(v2, -1);
}

TEST(NistHuffman, DeepTreesAreLimitedWithoutLosingASymbol) {
    // Doubling counts drive codes far past 16 bits; the reserved count is 1 (one block) or 2 (two blocks).
    for (int reserved : {1, 2}) {
        for (int n : {18, 24, 30}) {
            std::vector<int> freq(257, 0);
            for (int i = 0; i < n; i++) freq[100 + i] = 1 << i;  // a chain: one level per symbol
            freq[256] = reserved;
            Built built = build(freq);
            SCOPED_TRACE(testing::Message() << "reserved " << reserved << " n " << n);
            int deepest = 0;
            for (int i = 0; i < 256; i++) deepest = std::max(deepest, built.sizes[i]);
            EXPECT_GT(deepest, 16);
            expect_sound(built, freq);
        }
    }
}

TEST(NistHuffman, SharedTableWithReservedCountTwoKeepsEverySymbol) {
    // Eight rare symbols under a doubling chain: they sink to 17 bits while the reserved entry (count 2, as
    // in the table of two blocks) stays at 16, so limiting recreates no code point and must take none back.
    std::vector<int> freq(257, 0);
    for (int i = 0; i < 8; i++) freq[i] = 1;
    for (int i = 0; i < 13; i++) freq[8 + i] = 8 << i;
    freq[256] = 2;
    Built b = build(freq);
    ASSERT_EQ(b.rc, 0);
    EXPECT_EQ(b.sizes[256], 16);
    EXPECT_EQ(*std::max_element(b.sizes.begin(), b.sizes.end() - 1), 17);
    expect_sound(b, freq);
    EXPECT_EQ(b.values.size(), 21u);
}

TEST(NistHuffman, RandomTablesKeepTheInvariants) {
    std::mt19937 rng(1234);
    for (int round = 0; round < 400; round++) {
        std::vector<int> freq(257, 0);
        const int kind = round % 4;
        const int nsym = 1 + static_cast<int>(rng() % 256);
        for (int i = 0; i < nsym; i++) {
            int s = static_cast<int>(rng() % 256);
            switch (kind) {
            case 0: freq[s] += 1 + static_cast<int>(rng() % 5); break;
            case 1: freq[s] += 1 + static_cast<int>(rng() % 100000); break;
            case 2: freq[s] += 1 << (rng() % 24); break;  // very skewed
            default: freq[s] = static_cast<int>(rng() % 2); break;
            }
        }
        freq[256] = 1 + static_cast<int>(rng() % 2);
        SCOPED_TRACE(round);
        expect_sound(build(freq), freq);
    }
}

TEST(NistHuffman, CodeListAndDecodeTables) {
    // Counts: two codes of length 2, one of 3, two of 4.
    unsigned char bits[16] = {0, 2, 1, 2};
    HUFFCODE* list;
    int last;
    ASSERT_EQ(build_huffsizes(&list, &last, bits, 256), 0);
    ASSERT_EQ(last, 5);
    EXPECT_EQ(list[5].size, 0);
    assign_huffcodes(list);
    const unsigned int expect[] = {0x0, 0x1, 0x4, 0xA, 0xB};
    for (int i = 0; i < 5; i++) EXPECT_EQ(list[i].code, expect[i]);
    int maxc[17], minc[17], valp[17];
    build_decode_table(maxc, minc, valp, bits, list);
    EXPECT_EQ(maxc[1], -1);
    EXPECT_EQ(minc[2], 0);
    EXPECT_EQ(maxc[2], 1);
    EXPECT_EQ(valp[3], 2);
    EXPECT_EQ(minc[4], 0xA);
    EXPECT_EQ(valp[4], 3);
    const unsigned char values[] = {7, 8, 9, 10, 11};
    HUFFCODE* table;
    ASSERT_EQ(build_huffcode_table(&table, list, last, values, 256), 0);
    EXPECT_EQ(table[9].size, 3);
    EXPECT_EQ(table[9].code, 0x4u);
    EXPECT_EQ(table[0].size, 0);
    free(table);
    free(list);
}

namespace {

Bytes dht_body(int lh, std::initializer_list<Bytes> tables) {
    Bytes b = {static_cast<unsigned char>(lh >> 8), static_cast<unsigned char>(lh)};
    for (const auto& t : tables) b.insert(b.end(), t.begin(), t.end());
    return b;
}

Bytes table_bytes(unsigned char id, const std::vector<int>& counts, unsigned char first_value) {
    Bytes t = {id};
    int sum = 0;
    for (int i = 0; i < 16; i++) {
        int c = i < static_cast<int>(counts.size()) ? counts[i] : 0;
        t.push_back(static_cast<unsigned char>(c));
        sum += c;
    }
    for (int i = 0; i < sum; i++) t.push_back(static_cast<unsigned char>(first_value + i));
    return t;
}

// Reads with both media, checks they agree and returns the memory result.
int read_both(const Bytes& seg, int flag, int* bytes_left, unsigned char* id, Bytes* values) {
    int left_mem = *bytes_left, left_file = *bytes_left;
    unsigned char *bits = nullptr, *vals = nullptr;
    const unsigned char* cur = seg.data();
    int rm = getc_huffman_table(id, &bits, &vals, 256, &cur, seg.data() + seg.size(), flag, &left_mem);
    if (rm == 0) {
        int sum = 0;
        for (int i = 0; i < 16; i++) sum += bits[i];
        values->assign(vals, vals + sum);
        free(bits);
        free(vals);
    }
    FILE* fp = stream_of(seg);
    unsigned char id2;
    int rf = read_huffman_table(&id2, &bits, &vals, 256, fp, flag, &left_file);
    fclose(fp);
    if (rf == 0) {
        free(bits);
        free(vals);
    }
    if (rm == NIST_ERR_GETC_BYTE || rm == NIST_ERR_GETC_BYTES) {
        EXPECT_TRUE(rf == NIST_ERR_READ_BYTE || rf == NIST_ERR_READ_USHORT) << rf;
    } else {
        EXPECT_EQ(rf, rm);
    }
    if (rm == 0) {
        EXPECT_EQ(left_mem, left_file);
    }
    *bytes_left = left_mem;
    return rm;
}

}  // namespace

TEST(NistHuffman, TableSegmentReading) {
    unsigned char id;
    Bytes values;
    int left = 0;
    // Counts summing to M + 2 are refused; exactly M + 1 is accepted.
    std::vector<int> over = {0, 0, 0, 0, 0, 0, 0, 0, 255, 3};
    std::vector<int> full = {0, 0, 0, 0, 0, 0, 0, 0, 255, 2};
    Bytes seg = dht_body(19 + 258, {table_bytes(1, over, 0)});
    EXPECT_EQ(read_both(seg, 1, &left, &id, &values), -4);
    seg = dht_body(19 + 257, {table_bytes(1, full, 0)});
    left = 0;
    ASSERT_EQ(read_both(seg, 1, &left, &id, &values), 0);
    EXPECT_EQ(values.size(), 257u);
    EXPECT_EQ(left, 0);
    // Lh of 2: nothing after the length.
    left = 0;
    EXPECT_EQ(read_both(Bytes{0, 2}, 1, &left, &id, &values), -2);
    // Two tables in one segment: two calls, bytes left ends at 0.
    Bytes t0 = table_bytes(0, {1, 1}, 10), t1 = table_bytes(3, {0, 3}, 20);
    seg = dht_body(2 + static_cast<int>(t0.size() + t1.size()), {t0, t1});
    const unsigned char* cur = seg.data();
    unsigned char *bits, *vals;
    left = 0;
    ASSERT_EQ(getc_huffman_table(&id, &bits, &vals, 256, &cur, seg.data() + seg.size(), 1, &left), 0);
    EXPECT_EQ(id, 0);
    EXPECT_EQ(vals[1], 11);
    free(bits);
    free(vals);
    ASSERT_GT(left, 0);
    ASSERT_EQ(getc_huffman_table(&id, &bits, &vals, 256, &cur, seg.data() + seg.size(), 0, &left), 0);
    EXPECT_EQ(id, 3);
    EXPECT_EQ(vals[2], 22);
    EXPECT_EQ(left, 0);
    free(bits);
    free(vals);
    // A truncated segment fails with the byte reader's code.
    seg = dht_body(19 + 2, {table_bytes(0, {2}, 0)});
    seg.pop_back();
    left = 0;
    EXPECT_EQ(read_both(seg, 1, &left, &id, &values), NIST_ERR_GETC_BYTES);
}

TEST(NistHuffman, TableSegmentWriting) {
    unsigned char bits[16] = {0, 2, 1};
    const unsigned char values[] = {5, 6, 7};
    unsigned char buf[64];
    int used = 0;
    ASSERT_EQ(putc_huffman_table(0xFFA6, 1, bits, values, buf, sizeof buf, &used), 0);
    Bytes expect = {0xFF, 0xA6, 0x00, 22, 1, 0, 2, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 5, 6, 7};
    EXPECT_EQ(Bytes(buf, buf + used), expect);
    used = 0;
    EXPECT_EQ(putc_huffman_table(0xFFA6, 1, bits, values, buf, 10, &used), NIST_ERR_PUTC_BYTE);
    FILE* fp = tmpfile();
    ASSERT_EQ(write_huffman_table(0xFFA6, 1, bits, values, fp), 0);
    EXPECT_EQ(ftell(fp), 24);
    fclose(fp);
}
