// Coefficient entropy coding: the alphabet, table generation, block coding and the bounded decoder.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <random>

#include "nist_io.h"
#include "nist_test_util.h"
#include "wsq_entropy.h"

namespace {

// A code table in which every symbol's code is its own value in 8 bits: coded bytes read as symbols.
std::vector<HUFFCODE> identity_codes() {
    std::vector<HUFFCODE> t(257);
    for (int s = 0; s < 257; s++) t[s] = {8, static_cast<unsigned>(s)};
    return t;
}

Bytes code_with_identity(const std::vector<short>& coeffs) {
    auto codes = identity_codes();
    std::vector<unsigned char> out(coeffs.size() * 4 + 16);
    int n = -1;
    EXPECT_EQ(compress_block(out.data(), static_cast<int>(out.size()), &n, coeffs.data(),
                             static_cast<int>(coeffs.size()), kMaxCoeff, kMaxZRun, codes.data()),
              0);
    return Bytes(out.begin(), out.begin() + (n < 0 ? 0 : n));
}

// Tables, headers and coded blocks as the encoder lays them out after the frame header.
Bytes encode_blocks(const std::vector<short>& sym, int s1, int s2, int s3) {
    Bytes out;
    const int sizes[3] = {s1, s2, s3};
    const short* p = sym.data();
    for (int group = 0; group < 2; group++) {
        HUFFCODE* table;
        unsigned char *bits, *values;
        int gsizes[2] = {sizes[group], group ? sizes[2] : 0};
        EXPECT_EQ(gen_block_hufftable(&table, &bits, &values, p, gsizes, group ? 2 : 1), 0);
        std::vector<unsigned char> buf(1 << 20);
        int used = 0;
        EXPECT_EQ(putc_huffman_table(DHT_WSQ, static_cast<unsigned char>(group), bits, values, buf.data(),
                                     static_cast<int>(buf.size()), &used),
                  0);
        for (int b = 0; b < (group ? 2 : 1); b++) {
            const int n = sizes[group + b];
            EXPECT_EQ(putc_block_header(group, buf.data(), static_cast<int>(buf.size()), &used), 0);
            int coded = 0;
            std::vector<unsigned char> area(static_cast<size_t>(n) * 4 + 16);
            EXPECT_EQ(
                compress_block(area.data(), static_cast<int>(area.size()), &coded, p, n, kMaxCoeff, kMaxZRun, table),
                0);
            EXPECT_EQ(putc_bytes(area.data(), coded, buf.data(), static_cast<int>(buf.size()), &used), 0);
            p += n;
        }
        out.insert(out.end(), buf.begin(), buf.begin() + used);
        free(table);
        free(bits);
        free(values);
    }
    out.push_back(0xFF);
    out.push_back(0xA1);
    return out;
}

// Decodes with both media; expects the same result from each (codes mapped per medium).
int decode_both(const Bytes& data, size_t room, std::vector<short>* out, int file_rc_expect = 1) {
    wsq_transform_table dtt;
    wsq_quant_table dqt;
    wsq_huff_table dht[8];
    init_wsq_decoder_tables(&dtt, &dqt, dht);
    out->assign(room, 0x5555);
    const unsigned char* cur = data.data();
    int rm = huffman_decode_data_mem(out->data(), room, &dtt, &dqt, dht, &cur, data.data() + data.size());
    free_wsq_decoder_tables(&dtt);
    init_wsq_decoder_tables(&dtt, &dqt, dht);
    std::vector<short> fout(room, 0x5555);
    FILE* fp = stream_of(data);
    int rf = huffman_decode_data_file(fout.data(), room, &dtt, &dqt, dht, fp);
    fclose(fp);
    free_wsq_decoder_tables(&dtt);
    if (file_rc_expect == 1) {
        EXPECT_EQ(rf, rm);
        if (rm == 0) {
            EXPECT_EQ(fout, *out);
        }
    } else {
        EXPECT_EQ(rf, file_rc_expect);
    }
    return rm;
}

std::vector<short> zeros(int n) { return std::vector<short>(static_cast<size_t>(n), 0); }

}  // namespace

TEST(WsqEntropy, SymbolAlphabet) {
    struct Case {
        std::vector<short> coeffs;
        Bytes bytes;  // symbols and extra bits, as the identity table writes them
    } cases[] = {
        {zeros(100), {100}},
        {zeros(101), {105, 0x65}},
        {zeros(256), {106, 0x01, 0x00}},
        {zeros(65536), {106, 0xFF, 0x00, 0xFF, 0x00, 1}},
        {{74}, {254}},
        {{-73}, {107}},
        {{75}, {101, 0x4B}},
        {{-74}, {102, 0x4A}},
        {{255}, {101, 0xFF, 0x00}},
        {{256}, {103, 0x01, 0x00}},
        {{-256}, {104, 0x01, 0x00}},
        {{-32768}, {104, 0x80, 0x00}},
        {{1, 0, 0, -1}, {181, 2, 179}},
        {{}, {}},
    };
    for (const auto& c : cases) EXPECT_EQ(code_with_identity(c.coeffs), c.bytes) << c.coeffs.size();
}

TEST(WsqEntropy, CountsAndLimits) {
    int* counts = nullptr;
    auto z = zeros(50);
    ASSERT_EQ(count_block(&counts, 256, z.data(), 50, kMaxCoeff, kMaxZRun), 0);
    for (int i = 0; i < 257; i++) EXPECT_EQ(counts[i], (i == 50 || i == 256) ? 1 : 0) << i;
    free(counts);
    EXPECT_EQ(count_block(&counts, 256, z.data(), 50, -1, kMaxZRun), -42);
    EXPECT_EQ(count_block(&counts, 256, z.data(), 50, kMaxCoeff, 70000), -43);
    auto codes = identity_codes();
    unsigned char out[8];
    int n;
    EXPECT_EQ(compress_block(out, 8, &n, z.data(), 50, 65536, kMaxZRun, codes.data()), -42);
    // A symbol without a code is refused, not written.
    codes[50].size = 0;
    EXPECT_EQ(compress_block(out, 8, &n, z.data(), 50, kMaxCoeff, kMaxZRun, codes.data()), kErrNoCodeForSymbol);
}

TEST(WsqEntropy, CoderStaysInItsArea) {
    auto codes = identity_codes();
    std::vector<short> c = {1, 2, 3, 4, 5};
    unsigned char area[8];
    memset(area, 0xEE, sizeof area);
    int n = -1;
    EXPECT_EQ(compress_block(area, 4, &n, c.data(), 5, kMaxCoeff, kMaxZRun, codes.data()), NIST_ERR_BITS_OVERFLOW);
    for (int i = 4; i < 8; i++) EXPECT_EQ(area[i], 0xEE);
    EXPECT_EQ(compress_block(area, 5, &n, c.data(), 5, kMaxCoeff, kMaxZRun, codes.data()), 0);
    EXPECT_EQ(n, 5);
}

TEST(WsqEntropy, CoefficientsSurviveCodingAndDecoding) {
    std::mt19937 rng(77);
    for (int round = 0; round < 12; round++) {
        const int s1 = 1 + static_cast<int>(rng() % 3000), s2 = static_cast<int>(rng() % 5000),
                  s3 = static_cast<int>(rng() % 4000);
        std::vector<short> sym(static_cast<size_t>(s1 + s2 + s3));
        for (auto& v : sym) {
            const unsigned r = rng() % 100;
            if (r < 60)
                v = 0;
            else if (r < 90)
                v = static_cast<short>(static_cast<int>(rng() % 21) - 10);
            else if (r < 97)
                v = static_cast<short>(static_cast<int>(rng() % 600) - 300);
            else
                v = static_cast<short>(static_cast<int>(rng() % 65536) - 32768);
        }
        if (round == 0) std::fill(sym.begin() + s1, sym.end(), 0);  // long runs and empty-ish tables
        if (round == 1) std::fill(sym.begin(), sym.end(), 0);
        Bytes stream = encode_blocks(sym, s1, s2, s3);
        std::vector<short> out;
        ASSERT_EQ(decode_both(stream, sym.size(), &out), 0) << round;
        EXPECT_EQ(out, sym) << round;
    }
}

TEST(WsqEntropy, WideAlphabetNeedsLongCodes) {
    // Skewed counts over the whole alphabet force codes past 16 bits before limiting.
    std::vector<short> sym;
    int reps = 1;
    for (int v = 1; v <= 74; v++) {
        for (int k = 0; k < reps; k++) sym.push_back(static_cast<short>(v));
        if (v % 3 == 0 && reps < 20000) reps = reps * 2;
    }
    for (int v = -73; v < 0; v++) sym.push_back(static_cast<short>(v));
    std::vector<short> out;
    Bytes stream = encode_blocks(sym, static_cast<int>(sym.size()), 0, 0);
    ASSERT_EQ(decode_both(stream, sym.size(), &out), 0);
    EXPECT_EQ(out, sym);
}

TEST(WsqEntropy, BitReader) {
    struct Case {
        Bytes data;
        int bits;
        bool marker_ok;
        int rc;
        unsigned value;
        unsigned short marker;
    } cases[] = {
        {{0xFF, 0x00}, 8, false, 0, 0xFF, 0},  {{0xFF, 0x00, 0x12}, 16, false, 0, 0xFF12, 0},
        {{0xFF, 0xA3}, 1, true, 0, 1, 0xFFA3}, {{0xFF, 0xA3}, 8, false, NIST_ERR_STUFF_MEM, 0, 0},
        {{0xAB}, 8, false, 0, 0xAB, 0},        {{}, 1, true, NIST_ERR_GETC_BYTE, 0, 0},
    };
    for (const auto& c : cases) {
        wsq_bit_reader br{};
        unsigned short v = 0, m = 0;
        const unsigned char* cur = c.data.data();
        EXPECT_EQ(getc_nextbits_wsq(&v, &m, &cur, c.data.data() + c.data.size(), &br, c.bits, c.marker_ok), c.rc);
        if (c.rc == 0) {
            EXPECT_EQ(v, c.value);
            EXPECT_EQ(m, c.marker);
        }
        wsq_bit_reader bf{};
        FILE* fp = stream_of(c.data);
        int rf = nextbits_wsq(&v, &m, fp, &bf, c.bits, c.marker_ok);
        fclose(fp);
        EXPECT_EQ(rf, c.rc == NIST_ERR_STUFF_MEM   ? NIST_ERR_STUFF_FILE
                      : c.rc == NIST_ERR_GETC_BYTE ? NIST_ERR_READ_BYTE
                                                   : c.rc);
    }
    // A marker that interrupts a split request, even one bit short, is no marker.
    const Bytes d = {0xFE, 0xFF, 0xA1};
    wsq_bit_reader br{};
    unsigned short v, m = 0;
    const unsigned char* cur = d.data();
    ASSERT_EQ(getc_nextbits_wsq(&v, &m, &cur, d.data() + 3, &br, 7, false), 0);
    EXPECT_EQ(getc_nextbits_wsq(&v, &m, &cur, d.data() + 3, &br, 2, false), NIST_ERR_STUFF_MEM);
}

namespace {

// DHT with id 0 holding the given symbols as 8-bit codes in order: symbol values[i] gets code (first + i).
Bytes dht_8bit(std::vector<unsigned char> values) {
    Bytes t = {0xFF, 0xA6};
    const unsigned len = static_cast<unsigned>(19 + values.size());
    t.push_back(static_cast<unsigned char>(len >> 8));
    t.push_back(static_cast<unsigned char>(len));
    t.push_back(0);
    for (int i = 0; i < 16; i++) t.push_back(i == 7 ? static_cast<unsigned char>(values.size()) : 0);
    t.insert(t.end(), values.begin(), values.end());
    return t;
}

const Bytes kSob0 = {0xFF, 0xA3, 0x00, 0x03, 0x00};
const Bytes kEoi = {0xFF, 0xA1};

}  // namespace

TEST(WsqEntropy, DecoderRefusesHostileBlocks) {
    // Table: code 0 -> 100 (zero run), 1 -> 101, 2 -> 103, 3 -> 104, 4 -> 0, 5 -> 106, 6 -> 200.
    const Bytes dht = dht_8bit({100, 101, 103, 104, 0, 106, 200});
    struct Case {
        const char* what;
        Bytes data;
        size_t room;
        int rc;
        int file_rc;  // 1: same as memory
    } cases[] = {
        {"fits", concat({dht, kSob0, {0, 6}, kEoi}), 101, 0, 1},
        {"run beyond room", concat({dht, kSob0, {0, 6}, kEoi}), 100, kErrTooManyCoeffs, 1},
        {"long run beyond room", concat({dht, kSob0, {5, 0x01, 0x00}, kEoi}), 255, kErrTooManyCoeffs, 1},
        {"magnitude beyond int16", concat({dht, kSob0, {2, 0x80, 0x00}, kEoi}), 10, kErrMagnitude, 1},
        {"negative int16 limit", concat({dht, kSob0, {3, 0x80, 0x00}, kEoi}), 10, 0, 1},
        {"symbol 0", concat({dht, kSob0, {4}, kEoi}), 10, -52, -54},
        {"undefined table", concat({kSob0, {0}, kEoi}), 10, -51, -53},
        {"marker inside extra bits", concat({dht, kSob0, {1, 0xFF, 0xA1}}), 10, NIST_ERR_STUFF_MEM,
         NIST_ERR_STUFF_FILE},
        {"code not within 16 bits", concat({dht, kSob0, {0xFE, 0xFE, 0xFE}, kEoi}), 10, kErrNoCode, 1},
        {"end before EOI", concat({dht, kSob0, {0, 0}}), 300, NIST_ERR_GETC_BYTE, NIST_ERR_READ_BYTE},
        {"block ends on a foreign marker", concat({dht, kSob0, {0}, Bytes{0xFF, 0xA2}}), 300, -93, -75},
        {"sob with table id 9", concat({dht, Bytes{0xFF, 0xA3, 0x00, 0x03, 0x09}, kEoi}), 10, kErrTableId, 1},
    };
    for (const auto& c : cases) {
        std::vector<short> out;
        EXPECT_EQ(decode_both(c.data, c.room, &out, c.file_rc), c.rc) << c.what;
    }
    // FF 00 in coded data is the single byte 0xFF: here 8 bits of the magnitude of symbol 101.
    std::vector<short> out;
    ASSERT_EQ(decode_both(concat({dht, kSob0, {1, 0xFF, 0x00}, kEoi}), 4, &out), 0);
    EXPECT_EQ(out[0], 255);
    // Symbol 105 with a zero length writes nothing; blocks may name any defined slot, tables between them.
    const Bytes dht105 = dht_8bit({105, 200});
    ASSERT_EQ(decode_both(concat({dht105, kSob0, {0, 0, 1}, dht, kSob0, {6}, kEoi}), 3, &out), 0);
    EXPECT_EQ(out[0], 20);
    EXPECT_EQ(out[1], 20);
}
