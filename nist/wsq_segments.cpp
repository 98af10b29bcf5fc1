// WSQ stream segments on streams and memory.
#include "wsq_segments.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "nist_huff.h"
#include "nist_io.h"
#include "qv_decode_budget.h"
#include "qv_owners.h"
#include "wsq_medium.h"

void init_wsq_decoder_tables(wsq_transform_table* dtt, wsq_quant_table* dqt, wsq_huff_table* dht) {
    if (dtt) memset(dtt, 0, sizeof *dtt);
    if (dqt) memset(dqt, 0, sizeof *dqt);
    if (dht) memset(dht, 0, sizeof(wsq_huff_table) * kMaxDhtTables);
}

void free_wsq_decoder_tables(wsq_transform_table* dtt) {
    free(dtt->lofilt);
    dtt->lofilt = nullptr;
    free(dtt->hifilt);
    dtt->hifilt = nullptr;
    dtt->lodef = dtt->hidef = 0;
}

int scale_decimal(double a, double limit, unsigned char* oscale, unsigned int* ovalue) {
    if (a == 0.0) {
        *oscale = 0;
        *ovalue = 0;
        return 0;
    }
    if (!(a > 0.0) || !(a < limit)) return -1;
    int count = 0;
    while (a < limit) {
        a *= 10.0;
        count++;
    }
    if (count - 1 > 255) return -1;
    *oscale = static_cast<unsigned char>(count - 1);
    *ovalue = static_cast<unsigned int>(a / 10.0 + 0.5);
    return 0;
}

float unscale_decimal(unsigned char scale, unsigned int value) {
    float v = static_cast<float>(value);
    for (int i = 0; i < scale; i++) v = v / 10.0f;
    return v;
}

namespace {

// Failure codes of the segment readers (stream, memory) and writers (stream, buffer).
constexpr WsqCodes kNoSoi{-70, -88};
constexpr WsqCodes kNoTableOrFrame{-71, -89};
constexpr WsqCodes kNoTableOrBlock{-72, -90};
constexpr WsqCodes kNoMarker{-73, -91};
constexpr int kStreamMarkerOutOfRange = -74;  // the memory reader accepts any 0xFFxx
constexpr WsqCodes kBadMarkerClass{-75, -92};
constexpr WsqCodes kBadTableMarker{-75, -93};
constexpr WsqCodes kNoMemLowPass{-76, -94};
constexpr WsqCodes kNoMemHighPass{-77, -95};
constexpr WsqCodes kNoMemFirstGroup{-78, -96};
constexpr WsqCodes kNoMemSecondGroup{-79, -97};
constexpr WsqCodes kLowPassTooHigh{-80, -82};
constexpr WsqCodes kHighPassTooHigh{-81, -83};
constexpr WsqCodes kBinWidthTooHigh{-84, -86};
constexpr WsqCodes kZeroBinTooHigh{-85, -87};

using FetList = qv::CPtr<FET, freefet>;

int alternating_sign(int i) { return (i == 0) ? 1 : ((i % 2) ? -1 : 1); }

template <class M>
int marker_of_class(unsigned short* omarker, int type, M m) {
    unsigned short marker;
    int ret = m.u16(&marker);
    if (ret) return ret;
    switch (type) {
    case SOI_WSQ:
        if (marker != SOI_WSQ) {
            diag_fprintf(stderr, "ERROR : read_marker_wsq : No SOI marker. {%u}\n", marker);
            return M::code(kNoSoi);
        }
        break;
    case TBLS_N_SOF:
        if (marker != DTT_WSQ && marker != DQT_WSQ && marker != DHT_WSQ && marker != SOF_WSQ && marker != COM_WSQ) {
            diag_fprintf(stderr, "ERROR : read_marker_wsq : No SOF, Table, or comment markers.\n");
            return M::code(kNoTableOrFrame);
        }
        break;
    case TBLS_N_SOB:
        if (marker != DTT_WSQ && marker != DQT_WSQ && marker != DHT_WSQ && marker != SOB_WSQ && marker != COM_WSQ) {
            diag_fprintf(stderr, "ERROR : read_marker_wsq : No SOB, Table, or comment markers.\n");
            return M::code(kNoTableOrBlock);
        }
        break;
    case ANY_WSQ:
        if ((marker & 0xFF00) != 0xFF00) {
            diag_fprintf(stderr, "ERROR : read_marker_wsq : no marker found {%04X}\n", marker);
            return M::code(kNoMarker);
        }
        if (M::kFile && (marker < SOI_WSQ || marker > COM_WSQ)) {
            diag_fprintf(stderr, "ERROR : read_marker_wsq : {%04X} not a valid marker\n", marker);
            return kStreamMarkerOutOfRange;
        }
        break;
    default:
        diag_fprintf(stderr, "ERROR : read_marker_wsq : Invalid marker -> {%4X}\n", marker);
        return M::code(kBadMarkerClass);
    }
    *omarker = marker;
    return 0;
}

template <class M>
int transform_table(wsq_transform_table* dtt, M m) {
    // A later table replaces an earlier one.
    free_wsq_decoder_tables(dtt);
    unsigned short len;
    unsigned char l0, l1;
    int ret;
    if ((ret = m.u16(&len)) || (ret = m.u8(&l0)) || (ret = m.u8(&l1))) return ret;
    if (l0 == 0 || l1 == 0) {
        diag_fprintf(stderr, "ERROR : read_transform_table : filter of 0 taps\n");
        return kErrFilterTaps;
    }
    if (l0 > kMaxFilterTaps || l1 > kMaxFilterTaps) {
        diag_fprintf(stderr, "ERROR : read_transform_table : filters of %d and %d taps\n", l0, l1);
        return kErrLongFilter;
    }
    const int a0 = (l0 + 1) / 2, a1 = (l1 + 1) / 2;
    if (len != 4 + 6 * (a0 + a1)) {
        diag_fprintf(stderr, "ERROR : read_transform_table : length %u for %d and %d taps\n", len, l0, l1);
        return kErrSegLength;
    }
    dtt->hisz = l0;
    dtt->losz = l1;
    // The table takes the two filters only when the whole segment has been read.
    qv::HeapArray<float> lofilt = qv::heap_zeroed<float>(l1);
    if (!lofilt) {
        diag_fprintf(stderr, "ERROR : read_transform_table : calloc : lofilt\n");
        return M::code(kNoMemLowPass);
    }
    qv::HeapArray<float> hifilt = qv::heap_zeroed<float>(l0);
    if (!hifilt) {
        diag_fprintf(stderr, "ERROR : read_transform_table : calloc : hifilt\n");
        return M::code(kNoMemHighPass);
    }
    qv::HeapArray<float> a_first = qv::heap_zeroed<float>(static_cast<size_t>(a0));
    if (!a_first) {
        diag_fprintf(stderr, "ERROR : read_transform_table : calloc : a_lofilt\n");
        return M::code(kNoMemFirstGroup);
    }
    qv::HeapArray<float> a_second = qv::heap_zeroed<float>(static_cast<size_t>(a1));
    if (!a_second) {
        diag_fprintf(stderr, "ERROR : read_transform_table : calloc : a_hifilt\n");
        return M::code(kNoMemSecondGroup);
    }
    auto read_group = [&](float* a, int n) {
        for (int i = 0; i < n; i++) {
            unsigned char sign, scale;
            unsigned int v;
            int r;
            if ((r = m.u8(&sign)) || (r = m.u8(&scale)) || (r = m.u32(&v))) return r;
            a[i] = unscale_decimal(scale, v);
            if (sign) a[i] = -a[i];
        }
        return 0;
    };
    if ((ret = read_group(a_first.get(), a0)) || (ret = read_group(a_second.get(), a1))) return ret;
    // The first group is the synthesis high-pass filter, the second the synthesis low-pass one.
    auto fill = [](float* g, const float* c, int len_taps, bool highpass) {
        const int a = (len_taps + 1) / 2;
        if (len_taps % 2) {
            for (int i = 0; i < a; i++) {
                g[(a - 1) + i] = static_cast<float>(alternating_sign(i)) * c[i];
                if (i > 0) g[(a - 1) - i] = g[(a - 1) + i];
            }
        } else {
            for (int i = 0; i < a; i++) {
                if (highpass) {
                    g[a + i] = static_cast<float>(alternating_sign(i)) * c[i];
                    g[(a - 1) - i] = -g[a + i];
                } else {
                    g[a + i] = static_cast<float>(alternating_sign(i + 1)) * c[i];
                    g[(a - 1) - i] = g[a + i];
                }
            }
        }
    };
    fill(hifilt.get(), a_first.get(), l0, true);
    fill(lofilt.get(), a_second.get(), l1, false);
    dtt->lofilt = lofilt.release();
    dtt->hifilt = hifilt.release();
    dtt->lodef = dtt->hidef = 1;
    return 0;
}

template <class M>
int quantization_table(wsq_quant_table* dqt, M m) {
    unsigned short len, v;
    unsigned char scale;
    int ret;
    if ((ret = m.u16(&len))) return ret;
    if (len != 389) {
        diag_fprintf(stderr, "ERROR : read_quantization_table : length %u\n", len);
        return kErrSegLength;
    }
    wsq_quant_table t = *dqt;
    if ((ret = m.u8(&scale)) || (ret = m.u16(&v))) return ret;
    t.bin_center = unscale_decimal(scale, v);
    for (int k = 0; k < kMaxSubbands; k++) {
        if ((ret = m.u8(&scale)) || (ret = m.u16(&v))) return ret;
        t.q_bin[k] = unscale_decimal(scale, v);
        if ((ret = m.u8(&scale)) || (ret = m.u16(&v))) return ret;
        t.z_bin[k] = unscale_decimal(scale, v);
    }
    t.dqt_def = 1;
    *dqt = t;
    return 0;
}

template <class M>
int huffman_tables(wsq_huff_table* dht, M m) {
    int bytes_left = 0;
    bool first = true;
    do {
        unsigned char id;
        unsigned char *bits_raw = nullptr, *values_raw = nullptr;
        int ret;
        if constexpr (M::kFile)
            ret = read_huffman_table(&id, &bits_raw, &values_raw, kMaxHuffCounts, m.fp, first, &bytes_left);
        else
            ret = getc_huffman_table(&id, &bits_raw, &values_raw, kMaxHuffCounts, m.cur, m.end, first, &bytes_left);
        qv::HeapArray<unsigned char> bits(bits_raw), values(values_raw);
        if (ret) return ret;
        if (id >= kMaxDhtTables) {
            ret = kErrTableId;
            diag_fprintf(stderr, "ERROR : read_huffman_table_wsq : table id %d\n", id);
        } else if (huff_code_space(bits.get()) > (1L << 16)) {
            ret = kErrCodeSpace;
            diag_fprintf(stderr, "ERROR : read_huffman_table_wsq : code lengths over-fill table %d\n", id);
        } else if (!first && dht[id].tabdef) {
            ret = -2;
            diag_fprintf(stderr, "ERROR : read_huffman_table_wsq : huffman table ID = %d already defined\n", id);
        }
        if (ret) return ret;
        memcpy(dht[id].huffbits, bits.get(), 16);
        memcpy(dht[id].huffvalues, values.get(), kMaxHuffValues);
        dht[id].tabdef = 1;
        first = false;
    } while (bytes_left != 0);
    return 0;
}

template <class M>
int frame_header(wsq_frame_header* frm, M m) {
    unsigned short len;
    unsigned char scale;
    unsigned short v;
    wsq_frame_header f{};
    int ret;
    if ((ret = m.u16(&len))) return ret;
    if (len != 17) {
        diag_fprintf(stderr, "ERROR : read_frame_header_wsq : length %u\n", len);
        return kErrSegLength;
    }
    if ((ret = m.u8(&f.black)) || (ret = m.u8(&f.white)) || (ret = m.u16(&f.height)) || (ret = m.u16(&f.width)))
        return ret;
    if ((ret = m.u8(&scale)) || (ret = m.u16(&v))) return ret;
    f.m_shift = unscale_decimal(scale, v);
    if ((ret = m.u8(&scale)) || (ret = m.u16(&v))) return ret;
    f.r_scale = unscale_decimal(scale, v);
    if ((ret = m.u8(&f.wsq_encoder)) || (ret = m.u16(&f.software))) return ret;
    if (!qv::decode_size_allowed(f.width, f.height)) {
        diag_fprintf(stderr, "ERROR : read_frame_header_wsq : frame %u x %u\n", f.width, f.height);
        return kErrFrameSize;
    }
    *frm = f;
    return 0;
}

template <class M>
int block_header(unsigned char* huff_table, M m) {
    unsigned short len;
    unsigned char id;
    int ret;
    if ((ret = m.u16(&len))) return ret;
    if (len != 3) {
        diag_fprintf(stderr, "ERROR : read_block_header : length %u\n", len);
        return kErrSegLength;
    }
    if ((ret = m.u8(&id))) return ret;
    if (id >= kMaxDhtTables) {
        diag_fprintf(stderr, "ERROR : read_block_header : table id %d\n", id);
        return kErrTableId;
    }
    *huff_table = id;
    return 0;
}

template <class M>
int table_dispatch(unsigned short marker, wsq_transform_table* dtt, wsq_quant_table* dqt, wsq_huff_table* dht, M m) {
    switch (marker) {
    case DTT_WSQ: return transform_table(dtt, m);
    case DQT_WSQ: return quantization_table(dqt, m);
    case DHT_WSQ: return huffman_tables(dht, m);
    case COM_WSQ: {
        unsigned char* text = nullptr;
        int ret;
        if constexpr (M::kFile)
            ret = read_comment(&text, m.fp);
        else
            ret = getc_comment(&text, m.cur, m.end);
        qv::HeapArray<unsigned char> dropped(text);
        return ret;
    }
    default:
        diag_fprintf(stderr, "ERROR: read_table_wsq : Invalid table defined -> {%u}\n", marker);
        return M::code(kBadTableMarker);
    }
}

// Writers share one byte sink: the output buffer or a stream.
struct BufSink {
    unsigned char* odata;
    int oalloc;
    int* olen;
    int u8(unsigned char v) { return putc_byte(v, odata, oalloc, olen); }
    int u16(unsigned short v) { return putc_ushort(v, odata, oalloc, olen); }
    int u32(unsigned int v) { return putc_uint(v, odata, oalloc, olen); }
    static constexpr int code(WsqCodes c) { return c.mem; }
};

struct FileSink {
    FILE* fp;
    int u8(unsigned char v) { return write_byte(v, fp); }
    int u16(unsigned short v) { return write_ushort(v, fp); }
    int u32(unsigned int v) { return write_uint(v, fp); }
    static constexpr int code(WsqCodes c) { return c.file; }
};

template <class S>
int put_transform_table(const float* lofilt, int losz, const float* hifilt, int hisz, S s) {
    if (losz < 1 || losz > 255 || hisz < 1 || hisz > 255) return kErrFilterTaps;
    const int n0 = losz - losz / 2, n1 = hisz - hisz / 2;
    unsigned char scales[2][128];
    unsigned int values[2][128];
    unsigned char signs[2][128];
    for (int g = 0; g < 2; g++) {
        const float* f = g ? hifilt : lofilt;
        const int start = g ? hisz / 2 : losz / 2, n = g ? n1 : n0;
        for (int i = 0; i < n; i++) {
            double c = f[start + i];
            signs[g][i] = c < 0.0 ? 1 : 0;
            if (scale_decimal(std::fabs(c), 4294967295.0, &scales[g][i], &values[g][i])) {
                diag_fprintf(stderr, "ERROR: putc_transform_table : %s[%d] to high at %f\n", g ? "hifilt" : "lofilt",
                             start + i, c);
                return S::code(g ? kHighPassTooHigh : kLowPassTooHigh);
            }
        }
    }
    int ret;
    if ((ret = s.u16(DTT_WSQ)) || (ret = s.u16(static_cast<unsigned short>(4 + 6 * (n0 + n1)))) ||
        (ret = s.u8(static_cast<unsigned char>(losz))) || (ret = s.u8(static_cast<unsigned char>(hisz))))
        return ret;
    for (int g = 0; g < 2; g++)
        for (int i = 0; i < (g ? n1 : n0); i++)
            if ((ret = s.u8(signs[g][i])) || (ret = s.u8(scales[g][i])) || (ret = s.u32(values[g][i]))) return ret;
    return 0;
}

template <class S>
int put_quantization_table(const float* q, const float* z, S s) {
    unsigned char qs[kMaxSubbands] = {0}, zs[kMaxSubbands] = {0};
    unsigned int qv[kMaxSubbands] = {0}, zv[kMaxSubbands] = {0};
    for (int k = 0; k < kNumSubbands; k++) {
        if (q[k] == 0.0f) continue;
        if (scale_decimal(q[k], 65535.0, &qs[k], &qv[k])) {
            diag_fprintf(stderr, "ERROR : putc_quantization_table : Q[%d] to high at %f\n", k, q[k]);
            return S::code(kBinWidthTooHigh);
        }
        if (scale_decimal(z[k], 65535.0, &zs[k], &zv[k])) {
            diag_fprintf(stderr, "ERROR : putc_quantization_table : Z[%d] to high at %f\n", k, z[k]);
            return S::code(kZeroBinTooHigh);
        }
    }
    int ret;
    if ((ret = s.u16(DQT_WSQ)) || (ret = s.u16(389)) || (ret = s.u8(2)) || (ret = s.u16(44))) return ret;
    for (int k = 0; k < kMaxSubbands; k++)
        if ((ret = s.u8(qs[k])) || (ret = s.u16(static_cast<unsigned short>(qv[k]))) || (ret = s.u8(zs[k])) ||
            (ret = s.u16(static_cast<unsigned short>(zv[k]))))
            return ret;
    return 0;
}

template <class S>
int put_frame_header(int width, int height, float m_shift, float r_scale, S s) {
    if (width < 1 || width > 65535 || height < 1 || height > 65535) return kErrFrameSize;
    unsigned char ms, rs;
    unsigned int mv, rv;
    if (scale_decimal(m_shift, 65535.0, &ms, &mv) || scale_decimal(r_scale, 65535.0, &rs, &rv)) return kErrScaleRange;
    int ret;
    if ((ret = s.u16(SOF_WSQ)) || (ret = s.u16(17)) || (ret = s.u8(0)) || (ret = s.u8(255)) ||
        (ret = s.u16(static_cast<unsigned short>(height))) || (ret = s.u16(static_cast<unsigned short>(width))) ||
        (ret = s.u8(ms)) || (ret = s.u16(static_cast<unsigned short>(mv))) || (ret = s.u8(rs)) ||
        (ret = s.u16(static_cast<unsigned short>(rv))) || (ret = s.u8(0)) || (ret = s.u16(0)))
        return ret;
    return 0;
}

template <class S>
int put_block_header(int table, S s) {
    int ret;
    if ((ret = s.u16(SOB_WSQ)) || (ret = s.u16(3)) || (ret = s.u8(static_cast<unsigned char>(table)))) return ret;
    return 0;
}

bool is_nist_text(const unsigned char* p) { return memcmp(p, "NIST_COM", 8) == 0; }

}  // namespace

int read_marker_wsq(unsigned short* omarker, int type, FILE* infp) {
    return marker_of_class(omarker, type, WsqFileMedium{infp});
}
int getc_marker_wsq(unsigned short* omarker, int type, const unsigned char** cbufptr, const unsigned char* ebufptr) {
    return marker_of_class(omarker, type, WsqMemMedium{cbufptr, ebufptr});
}

int read_table_wsq(unsigned short marker, wsq_transform_table* dtt, wsq_quant_table* dqt, wsq_huff_table* dht,
                   FILE* infp) {
    return table_dispatch(marker, dtt, dqt, dht, WsqFileMedium{infp});
}
int getc_table_wsq(unsigned short marker, wsq_transform_table* dtt, wsq_quant_table* dqt, wsq_huff_table* dht,
                   const unsigned char** cbufptr, const unsigned char* ebufptr) {
    return table_dispatch(marker, dtt, dqt, dht, WsqMemMedium{cbufptr, ebufptr});
}

int read_transform_table(wsq_transform_table* dtt, FILE* infp) { return transform_table(dtt, WsqFileMedium{infp}); }
int getc_transform_table(wsq_transform_table* dtt, const unsigned char** cbufptr, const unsigned char* ebufptr) {
    return transform_table(dtt, WsqMemMedium{cbufptr, ebufptr});
}
int write_transform_table(const float* lofilt, int losz, const float* hifilt, int hisz, FILE* outfp) {
    return put_transform_table(lofilt, losz, hifilt, hisz, FileSink{outfp});
}
int putc_transform_table(const float* lofilt, int losz, const float* hifilt, int hisz, unsigned char* odata, int oalloc,
                         int* olen) {
    return put_transform_table(lofilt, losz, hifilt, hisz, BufSink{odata, oalloc, olen});
}

int read_quantization_table(wsq_quant_table* dqt, FILE* infp) { return quantization_table(dqt, WsqFileMedium{infp}); }
int getc_quantization_table(wsq_quant_table* dqt, const unsigned char** cbufptr, const unsigned char* ebufptr) {
    return quantization_table(dqt, WsqMemMedium{cbufptr, ebufptr});
}
int write_quantization_table(const float* q, const float* z, FILE* outfp) {
    return put_quantization_table(q, z, FileSink{outfp});
}
int putc_quantization_table(const float* q, const float* z, unsigned char* odata, int oalloc, int* olen) {
    return put_quantization_table(q, z, BufSink{odata, oalloc, olen});
}

int read_huffman_table_wsq(wsq_huff_table* dht, FILE* infp) { return huffman_tables(dht, WsqFileMedium{infp}); }
int getc_huffman_table_wsq(wsq_huff_table* dht, const unsigned char** cbufptr, const unsigned char* ebufptr) {
    return huffman_tables(dht, WsqMemMedium{cbufptr, ebufptr});
}

int read_frame_header_wsq(wsq_frame_header* frm, FILE* infp) { return frame_header(frm, WsqFileMedium{infp}); }
int getc_frame_header_wsq(wsq_frame_header* frm, const unsigned char** cbufptr, const unsigned char* ebufptr) {
    return frame_header(frm, WsqMemMedium{cbufptr, ebufptr});
}
int write_frame_header_wsq(int width, int height, float m_shift, float r_scale, FILE* outfp) {
    return put_frame_header(width, height, m_shift, r_scale, FileSink{outfp});
}
int putc_frame_header_wsq(int width, int height, float m_shift, float r_scale, unsigned char* odata, int oalloc,
                          int* olen) {
    return put_frame_header(width, height, m_shift, r_scale, BufSink{odata, oalloc, olen});
}

int read_block_header(unsigned char* huff_table, FILE* infp) { return block_header(huff_table, WsqFileMedium{infp}); }
int getc_block_header(unsigned char* huff_table, const unsigned char** cbufptr, const unsigned char* ebufptr) {
    return block_header(huff_table, WsqMemMedium{cbufptr, ebufptr});
}
int write_block_header(int table, FILE* outfp) { return put_block_header(table, FileSink{outfp}); }
int putc_block_header(int table, unsigned char* odata, int oalloc, int* olen) {
    return put_block_header(table, BufSink{odata, oalloc, olen});
}

int read_skip_marker_segment(unsigned short marker, FILE* infp) {
    unsigned short len;
    int ret = read_ushort(&len, infp);
    if (ret) return ret;
    if (len < 2 || fseek(infp, static_cast<long>(len - 2), SEEK_CUR) != 0) {
        diag_fprintf(stderr, "ERROR : read_skip_marker_segment : marker %d segment of length %d\n", marker, len);
        return -2;
    }
    return 0;
}

int getc_skip_marker_segment(unsigned short marker, const unsigned char** cbufptr, const unsigned char* ebufptr) {
    unsigned short len;
    int ret = getc_ushort(&len, cbufptr, ebufptr);
    if (ret) return ret;
    if (len < 2 || (ebufptr - *cbufptr) <= static_cast<long>(len - 2)) {
        diag_fprintf(stderr, "ERROR : getc_skip_marker_segment : marker %d segment of length %d\n", marker, len);
        return -2;
    }
    *cbufptr += len - 2;
    return 0;
}

int getc_nistcom_wsq(FET** onistcom, const unsigned char* idata, int ilen) {
    const unsigned char* cur = idata;
    const unsigned char* end = idata + (ilen > 0 ? ilen : 0);
    unsigned short marker;
    int ret;
    if ((ret = getc_marker_wsq(&marker, SOI_WSQ, &cur, end))) return ret;
    if ((ret = getc_marker_wsq(&marker, ANY_WSQ, &cur, end))) return ret;
    while (marker != SOB_WSQ) {
        if (marker == COM_WSQ && end - cur >= 10 && ((cur[0] << 8) | cur[1]) >= 10 && is_nist_text(cur + 2)) {
            unsigned char* raw = nullptr;
            if ((ret = getc_comment(&raw, &cur, end))) return ret;
            qv::HeapArray<unsigned char> text(raw);
            return string2fet(onistcom, reinterpret_cast<char*>(text.get()));
        }
        if ((ret = getc_skip_marker_segment(marker, &cur, end))) return ret;
        if ((ret = getc_marker_wsq(&marker, ANY_WSQ, &cur, end))) return ret;
    }
    *onistcom = nullptr;
    return 0;
}

int read_nistcom_wsq(FET** onistcom, FILE* infp) {
    unsigned short marker;
    int ret;
    if ((ret = read_marker_wsq(&marker, SOI_WSQ, infp))) return ret;
    if ((ret = read_marker_wsq(&marker, ANY_WSQ, infp))) return ret;
    while (marker != SOB_WSQ) {
        if (marker == COM_WSQ) {
            long pos = ftell(infp);
            if (pos < 0) {
                diag_fprintf(stderr, "ERROR : read_nistcom_wsq : ftell : unable to determine current position\n");
                return -3;
            }
            if (fseek(infp, 2L, SEEK_CUR) != 0) return -4;
            unsigned char head[8] = {0};
            size_t n = fread(head, 1, 8, infp);
            if (n != 8) {
                diag_fprintf(stderr, "ERROR : read_nistcom_wsq : fread : only %d of %d bytes read\n",
                             static_cast<int>(n), 8);
                return -5;
            }
            if (fseek(infp, pos, SEEK_SET) != 0) return -6;
            if (is_nist_text(head)) {
                unsigned char* raw = nullptr;
                if ((ret = read_comment(&raw, infp))) return ret;
                qv::HeapArray<unsigned char> text(raw);
                return string2fet(onistcom, reinterpret_cast<char*>(text.get()));
            }
        }
        if ((ret = read_skip_marker_segment(marker, infp))) return ret;
        if ((ret = read_marker_wsq(&marker, ANY_WSQ, infp))) return ret;
    }
    *onistcom = nullptr;
    return 0;
}

int putc_nistcom_wsq(const char* comment_text, int w, int h, int d, int ppi, int lossyflag, float r_bitrate,
                     unsigned char* odata, int oalloc, int* olen) {
    FET* list = nullptr;
    const char* other = nullptr;
    int ret;
    if (comment_text != nullptr) {
        if (strncmp(comment_text, "NIST_COM", 8) == 0) {
            if ((ret = string2fet(&list, comment_text))) return ret;
        } else {
            other = comment_text;
        }
    }
    // The list may be replaced, and is emptied when the call released it itself.
    ret = combine_wsq_nistcom(&list, w, h, d, ppi, lossyflag, r_bitrate);
    FetList nistcom(list);
    if (ret) return ret;
    char* raw = nullptr;
    if ((ret = fet2string(&raw, nistcom.get()))) return ret;
    qv::HeapArray<char> text(raw);
    nistcom.reset();
    size_t n = strlen(text.get());
    ret = putc_comment(COM_WSQ, reinterpret_cast<unsigned char*>(text.get()),
                       n > kMaxCommentText ? -1 : static_cast<int>(n), odata, oalloc, olen);
    if (ret) return ret;
    if (other != nullptr) {
        size_t m = strlen(other);
        ret = putc_comment(COM_WSQ, reinterpret_cast<const unsigned char*>(other),
                           m > kMaxCommentText ? -1 : static_cast<int>(m), odata, oalloc, olen);
        if (ret) return ret;
    }
    return 0;
}

namespace {

// Takes the list over.
int ppi_from_list(int* oppi, FetList nistcom) {
    if (!nistcom) {
        *oppi = -1;
        return 0;
    }
    char* raw = nullptr;
    int ret = lookupfet(&raw, "PPI", nistcom.get());
    qv::HeapArray<char> value(raw);
    if (ret < 0) return ret;
    // A comment without PPI costs only the resolution, never the image.
    *oppi = (ret == 1 && value) ? atoi(value.get()) : -1;
    return 0;
}

}  // namespace

int getc_ppi_wsq(int* oppi, const unsigned char* idata, int ilen) {
    FET* nistcom = nullptr;
    int ret = getc_nistcom_wsq(&nistcom, idata, ilen);
    if (ret) return ret;
    return ppi_from_list(oppi, FetList(nistcom));
}

int read_ppi_wsq(int* oppi, FILE* infp) {
    long pos = ftell(infp);
    if (pos < 0) return -2;
    if (fseek(infp, 0L, SEEK_SET) != 0) return -3;
    FET* nistcom = nullptr;
    int ret = read_nistcom_wsq(&nistcom, infp);
    if (ret) {
        if (fseek(infp, pos, SEEK_SET) != 0) return -4;
        return ret;
    }
    int ppi;
    ret = ppi_from_list(&ppi, FetList(nistcom));
    if (ret) {
        if (fseek(infp, pos, SEEK_SET) != 0) return -5;
        return ret;
    }
    if (fseek(infp, pos, SEEK_SET) != 0) return -6;
    *oppi = ppi;
    return 0;
}
