// Fuzzes the WSQ readers and decoders: segment walk, NIST comment lookup, block decoding and the whole
// decoder, from memory and from streams.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "qv_decode_budget.h"
#include "wsq.h"
#include "wsq_entropy.h"
#include "wsq_segments.h"

namespace {

template <class Marker, class Table, class Frame, class Blocks>
void walk(Marker marker, Table table, Frame frame, Blocks blocks) {
    wsq_transform_table dtt;
    wsq_quant_table dqt;
    wsq_huff_table dht[kMaxDhtTables];
    wsq_frame_header frm{};
    init_wsq_decoder_tables(&dtt, &dqt, dht);
    unsigned short m;
    if (marker(&m, SOI_WSQ) == 0 && marker(&m, TBLS_N_SOF) == 0) {
        int rc = 0;
        while (rc == 0 && m != SOF_WSQ) {
            rc = table(m, &dtt, &dqt, dht);
            if (rc == 0) rc = marker(&m, TBLS_N_SOF);
        }
        if (rc == 0 && frame(&frm) == 0) {
            std::vector<short> sym(static_cast<size_t>(frm.width) * frm.height);
            blocks(sym.data(), sym.size(), &dtt, &dqt, dht);
        }
    }
    free_wsq_decoder_tables(&dtt);
}

}  // namespace

// A megapixel keeps every input fast (the decoder's work follows the frame's pixels, not the data);
// the budget's own edges are the regression tests' business.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    qv::set_decode_pixel_limit_for_fuzzing(uint64_t{1} << 20);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1u << 20)) return 0;
    const unsigned char* begin = data;
    const unsigned char* end = data + size;
    const unsigned char* cur = begin;
    int ppi, w, h, d, lossy;
    unsigned char* px = nullptr;
    if (wsq_decode_mem(&px, &w, &h, &d, &ppi, &lossy, begin, static_cast<int>(size)) == 0) free(px);
    getc_ppi_wsq(&ppi, begin, static_cast<int>(size));
    walk([&](unsigned short* m, int type) { return getc_marker_wsq(m, type, &cur, end); },
         [&](unsigned short m, wsq_transform_table* t, wsq_quant_table* q, wsq_huff_table* h) {
             return getc_table_wsq(m, t, q, h, &cur, end);
         },
         [&](wsq_frame_header* f) { return getc_frame_header_wsq(f, &cur, end); },
         [&](short* ip, size_t room, wsq_transform_table* t, wsq_quant_table* q, wsq_huff_table* h) {
             return huffman_decode_data_mem(ip, room, t, q, h, &cur, end);
         });

    if (size == 0) return 0;
    FILE* fp = fmemopen(const_cast<uint8_t*>(data), size, "rb");
    if (fp == nullptr) return 0;
    read_ppi_wsq(&ppi, fp);
    rewind(fp);
    px = nullptr;
    if (wsq_decode_file(&px, &w, &h, &d, &ppi, &lossy, fp) == 0) free(px);
    rewind(fp);
    walk([&](unsigned short* m, int type) { return read_marker_wsq(m, type, fp); },
         [&](unsigned short m, wsq_transform_table* t, wsq_quant_table* q, wsq_huff_table* h) {
             return read_table_wsq(m, t, q, h, fp);
         },
         [&](wsq_frame_header* f) { return read_frame_header_wsq(f, fp); },
         [&](short* ip, size_t room, wsq_transform_table* t, wsq_quant_table* q, wsq_huff_table* h) {
             return huffman_decode_data_file(ip, room, t, q, h, fp);
         });
    fclose(fp);
    return 0;
}
