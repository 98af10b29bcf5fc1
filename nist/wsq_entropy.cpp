// WSQ coefficient entropy coding and decoding.
#include "wsq_entropy.h"

#include <cstdlib>
#include <cstring>

#include "nist_io.h"
#include "qv_owners.h"
#include "wsq_medium.h"

namespace {

// Failure codes of the block decoders (stream, memory).
constexpr WsqCodes kNoStuffedZero{NIST_ERR_STUFF_FILE, NIST_ERR_STUFF_MEM};
constexpr WsqCodes kUndefinedTable{-53, -51};
constexpr WsqCodes kInvalidSymbol{-54, -52};

// Walks the coefficients with the coder's two states and hands each symbol (with its extra bits) to emit.
template <class Emit>
int walk_symbols(const short* sip, int n, int MaxCoeff, int MaxZRun, Emit emit) {
    const int lo_max = 1 - MaxCoeff;
    int ret;
    auto emit_coeff = [&](int x) {
        if (x > MaxCoeff) return x > 255 ? emit(103, 16, x) : emit(101, 8, x);
        if (x < lo_max) return x < -255 ? emit(104, 16, -x) : emit(102, 8, -x);
        return emit(x + 180, 0, 0);
    };
    auto emit_run = [&](int run) {
        if (run <= MaxZRun) return emit(run, 0, 0);
        return run < 256 ? emit(105, 8, run) : emit(106, 16, run);
    };
    bool in_run = false;
    int run = 0;
    for (int i = 0; i < n; i++) {
        const int x = sip[i];
        if (!in_run) {
            if (x == 0) {
                run = 1;
                in_run = true;
            } else if ((ret = emit_coeff(x))) {
                return ret;
            }
        } else if (x != 0 || run == 65535) {
            if ((ret = emit_run(run))) return ret;
            if (x != 0) {
                if ((ret = emit_coeff(x))) return ret;
                in_run = false;
            } else {
                run = 1;
            }
        } else {
            run++;
        }
    }
    if (in_run && (ret = emit_run(run))) return ret;
    return 0;
}

// The alphabet is built for MaxCoeff 74 and MaxZRun 100; larger limits would leave it.
int check_limits(int MaxCoeff, int MaxZRun) {
    if (MaxCoeff < 0 || MaxCoeff > kMaxCoeff) {
        diag_fprintf(stderr, "ERROR : compress_block : MaxCoeff out of range.\n");
        return -42;
    }
    if (MaxZRun < 0 || MaxZRun > kMaxZRun) {
        diag_fprintf(stderr, "ERROR : compress_block : MaxZRun out of range.\n");
        return -43;
    }
    return 0;
}

}  // namespace

int count_block(int** ocounts, int max_huffcounts, const short* sip, int sip_siz, int MaxCoeff, int MaxZRun) {
    int ret = check_limits(MaxCoeff, MaxZRun);
    if (ret) return ret;
    qv::HeapArray<int> counts = qv::heap_zeroed<int>(static_cast<size_t>(max_huffcounts) + 1);
    if (!counts) {
        diag_fprintf(stderr, "ERROR : count_block : calloc : counts\n");
        return -48;
    }
    counts[max_huffcounts] = 1;
    ret = walk_symbols(sip, sip_siz, MaxCoeff, MaxZRun, [&](int sym, int, int) {
        if (sym > max_huffcounts) return -42;
        counts[sym]++;
        return 0;
    });
    if (ret) return ret;
    *ocounts = counts.release();
    return 0;
}

int check_all_ones_huffcode(const HUFFCODE* table, int last_size) {
    for (int i = 0; i < last_size; i++) {
        const unsigned int ones = (1u << table[i].size) - 1u;
        if (table[i].size > 0 && (table[i].code & ones) == ones) {
            diag_fprintf(stderr,
                         "WARNING: A code in the hufftable contains an all 1's code.\n"
                         "         This image may still be decodable.\n"
                         "         WSQ codes must never be all 1's, so other decoders may refuse it.\n");
            return -1;
        }
    }
    return 0;
}

int gen_block_hufftable(HUFFCODE** ohufftable, unsigned char** ohuffbits, unsigned char** ohuffvalues, const short* sip,
                        const int* block_sizes, int num_sizes) {
    // Each array is taken over as soon as it is made; only a complete table leaves.
    int* raw_counts = nullptr;
    int ret = count_block(&raw_counts, kMaxHuffCounts, sip, block_sizes[0], kMaxCoeff, kMaxZRun);
    qv::HeapArray<int> counts(raw_counts);
    if (ret) return ret;
    if (num_sizes > 1) {
        int* raw_counts2 = nullptr;
        ret = count_block(&raw_counts2, kMaxHuffCounts, sip + block_sizes[0], block_sizes[1], kMaxCoeff, kMaxZRun);
        qv::HeapArray<int> counts2(raw_counts2);
        if (ret) return ret;
        for (int i = 0; i <= kMaxHuffCounts; i++) counts[i] += counts2[i];
    }
    int present = 0;
    for (int i = 0; i < kMaxHuffCounts; i++) present += counts[i] > 0;

    int* raw_codesize = nullptr;
    ret = find_huff_sizes(&raw_codesize, counts.get(), kMaxHuffCounts);
    qv::HeapArray<int> codesize(raw_codesize);
    counts.reset();
    if (ret) return ret;
    unsigned char* raw_bits = nullptr;
    int adjust = 0;
    ret = find_num_huff_sizes(&raw_bits, &adjust, codesize.get(), kMaxHuffCounts);
    qv::HeapArray<unsigned char> bits(raw_bits);
    if (ret) return ret;
    if (adjust && (ret = sort_huffbits(bits.get()))) return ret;
    unsigned char* raw_values = nullptr;
    ret = sort_code_sizes(&raw_values, codesize.get(), kMaxHuffCounts);
    qv::HeapArray<unsigned char> values(raw_values);
    if (ret) return ret;
    HUFFCODE* raw_list = nullptr;
    int last_size = 0;
    ret = build_huffsizes(&raw_list, &last_size, bits.get(), kMaxHuffCounts);
    qv::HeapArray<HUFFCODE> list(raw_list);
    if (ret) return ret;
    assign_huffcodes(list.get());
    // Every symbol present must keep a code, and one code point must stay free.
    int total = 0, beyond = 0;
    for (int i = 0; i < kMaxHuffBits; i++) total += bits[i];
    for (int i = kMaxHuffBits; i < kMaxHuffCodeSize; i++) beyond += bits[i];
    if (total != present || beyond != 0 || huff_code_space(bits.get()) >= (1L << 16)) {
        diag_fprintf(stderr, "ERROR : gen_block_hufftable : table codes %d of %d symbols\n", total, present);
        return kErrTableInvariant;
    }
    if (check_all_ones_huffcode(list.get(), last_size)) {
        diag_fprintf(stderr, "ERROR : gen_block_hufftable : all 1's code is an error for the encoder\n");
        return -1;
    }
    HUFFCODE* table = nullptr;
    if ((ret = build_huffcode_table(&table, list.get(), last_size, values.get(), kMaxHuffCounts))) return ret;
    *ohufftable = table;
    *ohuffbits = bits.release();
    *ohuffvalues = values.release();
    return 0;
}

int compress_block(unsigned char* outbuf, int outalloc, int* obytes, const short* sip, int sip_siz, int MaxCoeff,
                   int MaxZRun, const HUFFCODE* codes) {
    int ret = check_limits(MaxCoeff, MaxZRun);
    if (ret) return ret;
    unsigned char* optr = outbuf;
    unsigned char* end = outbuf + (outalloc > 0 ? outalloc : 0);
    int outbit = 7, bytes = 0;
    unsigned char bits = 0;
    ret = walk_symbols(sip, sip_siz, MaxCoeff, MaxZRun, [&](int sym, int nextra, int extra) {
        if (sym > kMaxHuffCounts || codes[sym].size == 0) {
            diag_fprintf(stderr, "ERROR : compress_block : no code for symbol %d\n", sym);
            return kErrNoCodeForSymbol;
        }
        int r = write_code_bits(&optr, end, static_cast<unsigned short>(codes[sym].code), codes[sym].size, &outbit,
                                &bits, &bytes);
        if (r == 0 && nextra)
            r = write_code_bits(&optr, end, static_cast<unsigned short>(extra), nextra, &outbit, &bits, &bytes);
        return r;
    });
    if (ret) return ret;
    if ((ret = flush_code_bits(&optr, end, &outbit, &bits, &bytes))) return ret;
    *obytes = bytes;
    return 0;
}

namespace {

const unsigned char kBitMask[9] = {0x00, 0x01, 0x03, 0x07, 0x0F, 0x1F, 0x3F, 0x7F, 0xFF};

template <class M>
int next_bits(unsigned short* obits, unsigned short* marker, M m, wsq_bit_reader* br, int bits_req, bool marker_ok) {
    int ret;
    if (br->bit_count == 0) {
        if ((ret = m.u8(&br->code))) return ret;
        br->bit_count = 8;
        if (br->code == 0xFF) {
            if ((ret = m.u8(&br->code2))) return ret;
            if (br->code2 != 0x00) {
                if (marker_ok && bits_req == 1) {
                    *marker = static_cast<unsigned short>(0xFF00 | br->code2);
                    *obits = 1;
                    return 0;
                }
                diag_fprintf(stderr, "ERROR: nextbits_wsq : No stuffed zeros\n");
                return M::code(kNoStuffedZero);
            }
        }
    }
    if (bits_req <= br->bit_count) {
        *obits = static_cast<unsigned short>((br->code >> (br->bit_count - bits_req)) & kBitMask[bits_req]);
        br->bit_count -= bits_req;
        br->code &= kBitMask[br->bit_count];
        return 0;
    }
    const int needed = bits_req - br->bit_count;
    const unsigned int hi = static_cast<unsigned int>(br->code) << needed;
    br->bit_count = 0;
    unsigned short lo;
    if ((ret = next_bits(&lo, marker, m, br, needed, false))) return ret;
    *obits = static_cast<unsigned short>(hi | lo);
    return 0;
}

// One bit of a code: the common case straight from the current byte.
template <class M>
inline int code_bit(unsigned short* bit, unsigned short* marker, M m, wsq_bit_reader* br) {
    if (br->bit_count > 0) {
        br->bit_count--;
        *bit = static_cast<unsigned short>((br->code >> br->bit_count) & 1);
        br->code &= kBitMask[br->bit_count];
        return 0;
    }
    return next_bits(bit, marker, m, br, 1, true);
}

template <class M>
int one_code(int* onodeptr, const int* mincode, const int* maxcode, const int* valptr, const unsigned char* huffvalues,
             int nvalues, M m, wsq_bit_reader* br, unsigned short* marker) {
    unsigned short bit;
    int ret;
    if ((ret = code_bit(&bit, marker, m, br))) return ret;
    if (*marker != 0) {
        *onodeptr = -1;
        return 0;
    }
    int code = bit, len = 1;
    while (code > maxcode[len]) {
        if (++len > kMaxHuffBits) {
            diag_fprintf(stderr, "ERROR : decode_one_code : no code within 16 bits\n");
            return kErrNoCode;
        }
        if ((ret = code_bit(&bit, marker, m, br))) return ret;
        if (*marker != 0) {
            *onodeptr = -1;
            return 0;
        }
        code = ((code << 1) + bit) & 0xFFFF;
    }
    const int idx = valptr[len] + code - mincode[len];
    if (code < mincode[len] || idx < 0 || idx >= nvalues) {
        diag_fprintf(stderr, "ERROR : decode_one_code : code %d of length %d not in table\n", code, len);
        return kErrNoCode;
    }
    *onodeptr = huffvalues[idx];
    return 0;
}

template <class M>
int decode_data(short* ip, size_t room, wsq_transform_table* dtt, wsq_quant_table* dqt, wsq_huff_table* dht, M m) {
    auto read_marker = [&](unsigned short* mk) {
        if constexpr (M::kFile)
            return read_marker_wsq(mk, TBLS_N_SOB, m.fp);
        else
            return getc_marker_wsq(mk, TBLS_N_SOB, m.cur, m.end);
    };
    auto read_table = [&](unsigned short mk) {
        if constexpr (M::kFile)
            return read_table_wsq(mk, dtt, dqt, dht, m.fp);
        else
            return getc_table_wsq(mk, dtt, dqt, dht, m.cur, m.end);
    };
    auto read_sob = [&](unsigned char* id) {
        if constexpr (M::kFile)
            return read_block_header(id, m.fp);
        else
            return getc_block_header(id, m.cur, m.end);
    };
    unsigned short marker;
    int ret;
    if ((ret = read_marker(&marker))) return ret;
    size_t pos = 0;
    int maxcode[kMaxHuffBits + 1], mincode[kMaxHuffBits + 1], valptr[kMaxHuffBits + 1];
    for (;;) {
        if (marker == EOI_WSQ) return 0;
        while (marker != SOB_WSQ) {
            if ((ret = read_table(marker))) return ret;
            if ((ret = read_marker(&marker))) return ret;
        }
        unsigned char id;
        if ((ret = read_sob(&id))) return ret;
        if (!dht[id].tabdef) {
            diag_fprintf(stderr, "ERROR : huffman_decode_data : huffman table {%d} undefined.\n", id);
            return M::code(kUndefinedTable);
        }
        HUFFCODE* list;
        int last_size;
        if ((ret = build_huffsizes(&list, &last_size, dht[id].huffbits, kMaxHuffCounts))) return ret;
        assign_huffcodes(list);
        if (check_all_ones_huffcode(list, last_size)) diag_fprintf(stderr, "hufftable_id = %d\n", id);
        build_decode_table(maxcode, mincode, valptr, dht[id].huffbits, list);
        free(list);
        wsq_bit_reader br{};
        marker = 0;
        for (;;) {
            int s;
            if ((ret = one_code(&s, mincode, maxcode, valptr, dht[id].huffvalues, last_size, m, &br, &marker)))
                return ret;
            if (s == -1) break;
            size_t zeros = 0;
            bool coeff = false;
            int value = 0;
            unsigned short v;
            if (s >= 1 && s <= 100) {
                zeros = static_cast<size_t>(s);
            } else if (s == 101 || s == 102) {
                if ((ret = next_bits(&v, &marker, m, &br, 8, false))) return ret;
                coeff = true;
                value = s == 101 ? v : -static_cast<int>(v);
            } else if (s == 103 || s == 104) {
                if ((ret = next_bits(&v, &marker, m, &br, 16, false))) return ret;
                if (v > (s == 103 ? 32767 : 32768)) {
                    diag_fprintf(stderr, "ERROR : huffman_decode_data : magnitude %u out of range\n", v);
                    return kErrMagnitude;
                }
                coeff = true;
                value = s == 103 ? v : -static_cast<int>(v);
            } else if (s == 105 || s == 106) {
                if ((ret = next_bits(&v, &marker, m, &br, s == 105 ? 8 : 16, false))) return ret;
                zeros = v;
            } else if (s >= 107 && s <= 254) {
                coeff = true;
                value = s - 180;
            } else {
                diag_fprintf(stderr, "ERROR : huffman_decode_data : Invalid code %d (%x).\n", s, s);
                return M::code(kInvalidSymbol);
            }
            if (coeff) {
                if (pos >= room) return kErrTooManyCoeffs;
                ip[pos++] = static_cast<short>(value);
            } else if (zeros > 0) {
                if (zeros > room - pos) return kErrTooManyCoeffs;
                memset(ip + pos, 0, zeros * sizeof(short));
                pos += zeros;
            }
        }
    }
}

}  // namespace

int getc_nextbits_wsq(unsigned short* obits, unsigned short* marker, const unsigned char** cbufptr,
                      const unsigned char* ebufptr, wsq_bit_reader* br, int bits_req, bool marker_ok) {
    return next_bits(obits, marker, WsqMemMedium{cbufptr, ebufptr}, br, bits_req, marker_ok);
}

int nextbits_wsq(unsigned short* obits, unsigned short* marker, FILE* infp, wsq_bit_reader* br, int bits_req,
                 bool marker_ok) {
    return next_bits(obits, marker, WsqFileMedium{infp}, br, bits_req, marker_ok);
}

int decode_one_code_mem(int* onodeptr, const int* mincode, const int* maxcode, const int* valptr,
                        const unsigned char* huffvalues, int nvalues, const unsigned char** cbufptr,
                        const unsigned char* ebufptr, wsq_bit_reader* br, unsigned short* marker) {
    return one_code(onodeptr, mincode, maxcode, valptr, huffvalues, nvalues, WsqMemMedium{cbufptr, ebufptr}, br,
                    marker);
}

int decode_one_code_file(int* onodeptr, const int* mincode, const int* maxcode, const int* valptr,
                         const unsigned char* huffvalues, int nvalues, FILE* infp, wsq_bit_reader* br,
                         unsigned short* marker) {
    return one_code(onodeptr, mincode, maxcode, valptr, huffvalues, nvalues, WsqFileMedium{infp}, br, marker);
}

int huffman_decode_data_mem(short* ip, size_t room, wsq_transform_table* dtt, wsq_quant_table* dqt, wsq_huff_table* dht,
                            const unsigned char** cbufptr, const unsigned char* ebufptr) {
    return decode_data(ip, room, dtt, dqt, dht, WsqMemMedium{cbufptr, ebufptr});
}

int huffman_decode_data_file(short* ip, size_t room, wsq_transform_table* dtt, wsq_quant_table* dqt,
                             wsq_huff_table* dht, FILE* infp) {
    return decode_data(ip, room, dtt, dqt, dht, WsqFileMedium{infp});
}
