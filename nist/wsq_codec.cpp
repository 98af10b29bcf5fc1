// WSQ codec entries: encoder, memory and stream decoders, buffer-to-file writer.
#include "wsq.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "nist_io.h"
#include "qv_decode_budget.h"
#include "qv_owners.h"
#include "wsq_entropy.h"
#include "wsq_segments.h"
#include "wsq_transform.h"

namespace {

constexpr int kErrEncSmall = -14;
constexpr int kErrEncLarge = -15;
constexpr int kErrDecSmall = -23;

}  // namespace

int wsq_encode_1(unsigned char** odata, int* olen, float r_bitrate, const unsigned char* idata, int w, int h, int d,
                 int ppi, const char* comment_text) {
    if (idata == nullptr || w < 1 || h < 1 || !std::isfinite(r_bitrate) || !(r_bitrate > 0.0f)) return -1;
    if (w < kMinWsqSide || h < kMinWsqSide) return kErrEncSmall;
    // nothing the decoders would refuse
    if (!qv::decode_size_allowed(w, h)) return kErrEncLarge;
    const size_t npix = static_cast<size_t>(w) * h;
    const int alloc = static_cast<int>(npix);
    int ret;

    qv::HeapArray<float> fdata = qv::heap_alloc<float>(npix);
    if (!fdata) {
        diag_fprintf(stderr, "ERROR : wsq_encode_1 : malloc : fdata\n");
        return -10;
    }
    float m_shift, r_scale;
    image_to_float(fdata.get(), &m_shift, &r_scale, idata, alloc);
    wavelet_tree_node w_tree[W_TREELEN];
    subband_rect q_tree[Q_TREELEN];
    build_transform_trees(w_tree, W_TREELEN, q_tree, Q_TREELEN, w, h);
    if ((ret = wsq_decompose(fdata.get(), w, h, w_tree, W_TREELEN, kWsqHiFilt, 7, kWsqLoFilt, 9))) return ret;

    wsq_quant_params qp;
    memset(&qp, 0, sizeof qp);
    qp.r = r_bitrate;
    subband_variance(&qp, q_tree, Q_TREELEN, fdata.get(), w);
    short* sip_raw = nullptr;
    int num_sym = 0;
    if ((ret = quantize(&sip_raw, &num_sym, &qp, q_tree, Q_TREELEN, fdata.get(), w, h))) return ret;
    qv::HeapArray<short> sip(sip_raw);
    fdata.reset();

    int sizes[3];
    quantized_block_sizes(&sizes[0], &sizes[1], &sizes[2], &qp, w_tree, W_TREELEN, q_tree, Q_TREELEN);
    if (sizes[0] + sizes[1] + sizes[2] != num_sym || sizes[0] < 0 || sizes[1] < 0 || sizes[2] < 0) {
        diag_fprintf(stderr, "ERROR : wsq_encode_1 : problem w/quantization block sizes\n");
        return -11;
    }

    qv::HeapArray<unsigned char> out = qv::heap_alloc<unsigned char>(npix);
    if (!out) {
        diag_fprintf(stderr, "ERROR : wsq_encode_1 : malloc : wsq_data\n");
        return -12;
    }
    int used = 0;
    unsigned char* o = out.get();
    if ((ret = putc_ushort(SOI_WSQ, o, alloc, &used))) return ret;
    if ((ret = putc_nistcom_wsq(comment_text, w, h, d, ppi, 1, r_bitrate, o, alloc, &used))) return ret;
    if ((ret = putc_transform_table(kWsqLoFilt, 9, kWsqHiFilt, 7, o, alloc, &used))) return ret;
    if ((ret = putc_quantization_table(qp.q, qp.z, o, alloc, &used))) return ret;
    if ((ret = putc_frame_header_wsq(w, h, m_shift, r_scale, o, alloc, &used))) return ret;

    qv::HeapArray<unsigned char> area = qv::heap_alloc<unsigned char>(npix);
    if (!area) {
        diag_fprintf(stderr, "ERROR : wsq_encode_1 : malloc : huff_buf\n");
        return -13;
    }
    int hsize[3] = {0, 0, 0};
    const short* p = sip.get();
    for (int group = 0; group < 2; group++) {
        HUFFCODE* table_raw = nullptr;
        unsigned char *bits = nullptr, *values = nullptr;
        const int gsizes[2] = {sizes[group], group ? sizes[2] : 0};
        if ((ret = gen_block_hufftable(&table_raw, &bits, &values, p, gsizes, group ? 2 : 1))) return ret;
        qv::HeapArray<HUFFCODE> table(table_raw);
        ret = putc_huffman_table(DHT_WSQ, static_cast<unsigned char>(group), bits, values, o, alloc, &used);
        free(bits);
        free(values);
        if (ret) return ret;
        for (int b = group; b < (group ? 3 : 1); b++) {
            if ((ret = compress_block(area.get(), alloc, &hsize[b], p, sizes[b], kMaxCoeff, kMaxZRun, table.get())))
                return ret;
            p += sizes[b];
            if ((ret = putc_block_header(group, o, alloc, &used))) return ret;
            if ((ret = putc_bytes(area.get(), hsize[b], o, alloc, &used))) return ret;
        }
    }
    sip.reset();
    area.reset();
    if ((ret = putc_ushort(EOI_WSQ, o, alloc, &used))) return ret;
    diag_fprintf(stderr, "hsize1 = %d :: hsize2 = %d :: hsize3 = %d\n", hsize[0], hsize[1], hsize[2]);
    diag_fprintf(stderr, "r = %.2f :: complen = %d :: ratio = %.1f\n", r_bitrate, used,
                 static_cast<double>(npix) / used);
    if (olen) *olen = used;
    if (odata) *odata = out.release();
    return 0;
}

namespace {

// The shared decoder; Medium supplies the stream's or the buffer's readers.
template <class Readers>
int decode(unsigned char** odata, int* ow, int* oh, int* od, int* oppi, int* lossyflag, Readers rd) {
    wsq_transform_table dtt;
    wsq_quant_table dqt;
    wsq_huff_table dht[kMaxDhtTables];
    init_wsq_decoder_tables(&dtt, &dqt, dht);
    struct TablesGuard {
        wsq_transform_table* t;
        ~TablesGuard() { free_wsq_decoder_tables(t); }
    } guard{&dtt};

    unsigned short marker;
    int ret;
    if ((ret = rd.marker(&marker, SOI_WSQ))) return ret;
    if ((ret = rd.marker(&marker, TBLS_N_SOF))) return ret;
    while (marker != SOF_WSQ) {
        if ((ret = rd.table(marker, &dtt, &dqt, dht))) return ret;
        if ((ret = rd.marker(&marker, TBLS_N_SOF))) return ret;
    }
    wsq_frame_header frm;
    if ((ret = rd.frame(&frm))) return ret;
    const int w = frm.width, h = frm.height;
    if (w < kMinWsqSide || h < kMinWsqSide) {
        diag_fprintf(stderr, "ERROR : wsq_decode : image %d x %d too small for the transform\n", w, h);
        return kErrDecSmall;
    }
    const size_t npix = static_cast<size_t>(w) * h;
    int ppi;
    if ((ret = rd.ppi(&ppi))) return ret;
    wavelet_tree_node w_tree[W_TREELEN];
    subband_rect q_tree[Q_TREELEN];
    build_transform_trees(w_tree, W_TREELEN, q_tree, Q_TREELEN, w, h);
    qv::HeapArray<short> sym = qv::heap_zeroed<short>(npix);
    if (!sym) {
        diag_fprintf(stderr, "ERROR: wsq_decode : malloc : qdata1\n");
        return -20;
    }
    if ((ret = rd.blocks(sym.get(), npix, &dtt, &dqt, dht))) return ret;
    float* fip_raw = nullptr;
    if ((ret = unquantize(&fip_raw, &dqt, q_tree, Q_TREELEN, sym.get(), static_cast<int>(npix), w, h))) return ret;
    qv::HeapArray<float> fip(fip_raw);
    sym.reset();
    if ((ret = wsq_reconstruct(fip.get(), w, h, w_tree, W_TREELEN, &dtt))) return ret;
    qv::HeapArray<unsigned char> pixels = qv::heap_alloc<unsigned char>(npix);
    if (!pixels) {
        diag_fprintf(stderr, "ERROR: wsq_decode : malloc : cdata\n");
        return -21;
    }
    float_to_image(pixels.get(), fip.get(), w, h, frm.m_shift, frm.r_scale);
    if (ow) *ow = w;
    if (oh) *oh = h;
    if (od) *od = 8;
    if (oppi) *oppi = ppi;
    if (lossyflag) *lossyflag = 1;
    if (odata) *odata = pixels.release();
    return 0;
}

struct MemReaders {
    const unsigned char* begin;
    int len;
    const unsigned char* cur;
    const unsigned char* end;
    int marker(unsigned short* m, int type) { return getc_marker_wsq(m, type, &cur, end); }
    int table(unsigned short m, wsq_transform_table* t, wsq_quant_table* q, wsq_huff_table* h) {
        return getc_table_wsq(m, t, q, h, &cur, end);
    }
    int frame(wsq_frame_header* f) { return getc_frame_header_wsq(f, &cur, end); }
    int ppi(int* p) { return getc_ppi_wsq(p, begin, len); }
    int blocks(short* s, size_t room, wsq_transform_table* t, wsq_quant_table* q, wsq_huff_table* h) {
        return huffman_decode_data_mem(s, room, t, q, h, &cur, end);
    }
};

struct FileReaders {
    FILE* fp;
    int marker(unsigned short* m, int type) { return read_marker_wsq(m, type, fp); }
    int table(unsigned short m, wsq_transform_table* t, wsq_quant_table* q, wsq_huff_table* h) {
        return read_table_wsq(m, t, q, h, fp);
    }
    int frame(wsq_frame_header* f) { return read_frame_header_wsq(f, fp); }
    int ppi(int* p) { return read_ppi_wsq(p, fp); }
    int blocks(short* s, size_t room, wsq_transform_table* t, wsq_quant_table* q, wsq_huff_table* h) {
        return huffman_decode_data_file(s, room, t, q, h, fp);
    }
};

}  // namespace

int wsq_decode_mem(unsigned char** odata, int* ow, int* oh, int* od, int* oppi, int* lossyflag,
                   const unsigned char* idata, int ilen) {
    if (idata == nullptr || ilen < 1) return -1;
    return decode(odata, ow, oh, od, oppi, lossyflag, MemReaders{idata, ilen, idata, idata + ilen});
}

int wsq_decode_file(unsigned char** odata, int* ow, int* oh, int* od, int* oppi, int* lossyflag, FILE* infp) {
    if (infp == nullptr) return -1;
    return decode(odata, ow, oh, od, oppi, lossyflag, FileReaders{infp});
}

int write_buffer_file(const char* path, const unsigned char* buf, int size) {
    if (path == nullptr || buf == nullptr || size <= 0) return 0;
    FILE* fp = fopen(path, "wbe");
    if (fp == nullptr) return 0;
    const size_t n = fwrite(buf, 1, static_cast<size_t>(size), fp);
    const int closed = fclose(fp);
    if (n != static_cast<size_t>(size) || closed != 0) {
        // A truncated image is worse than none.
        remove(path);
        return 0;
    }
    return 1;
}
