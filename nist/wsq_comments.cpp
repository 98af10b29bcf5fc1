// Comment segments of whole WSQ buffers.
#include "wsq_comments.h"

#include <cstdlib>
#include <cstring>

#include "nist_fet.h"
#include "nist_io.h"
#include "wsq_segments.h"

namespace {

// End of the segment whose marker ends at cur (length-delimited, or a block's coded data).
int segment_end(unsigned short marker, const unsigned char* cur, const unsigned char* end, const unsigned char** oend) {
    if (marker == SOI_WSQ || marker == EOI_WSQ) {
        *oend = cur;
        return 0;
    }
    const unsigned char* p = cur;
    unsigned short len;
    int ret = getc_ushort(&len, &p, end);
    if (ret) return ret;
    if (len < 2 || end - cur < len) return -2;
    p = cur + len;
    if (marker == SOB_WSQ) {
        // Coded data runs to the next marker: 0xFF followed by a byte other than the stuffed 0x00.
        while (p < end && !(p[0] == 0xFF && p + 1 < end && p[1] != 0x00)) p += (p[0] == 0xFF) ? 2 : 1;
        if (p > end) p = end;
    }
    *oend = p;
    return 0;
}

}  // namespace

int add_comment_wsq(unsigned char** ostr, int* olen, const unsigned char* idata, int ilen, const char* comment_text) {
    if (comment_text == nullptr || comment_text[0] == '\0') return -2;
    const size_t n = strlen(comment_text);
    if (n > static_cast<size_t>(kMaxCommentText)) return -4;
    if (idata == nullptr || ilen < 2) return NIST_ERR_GETC_BYTES;
    const unsigned char* cur = idata;
    const unsigned char* end = idata + ilen;
    unsigned short marker;
    int ret;
    if ((ret = getc_marker_wsq(&marker, SOI_WSQ, &cur, end))) return ret;
    // Past the comments that directly follow SOI.
    for (;;) {
        const unsigned char* at = cur;
        if ((ret = getc_marker_wsq(&marker, ANY_WSQ, &cur, end))) return ret;
        if (marker != COM_WSQ) {
            cur = at;
            break;
        }
        if ((ret = segment_end(marker, cur, end, &cur))) return ret;
    }
    const size_t head = static_cast<size_t>(cur - idata);
    const size_t total = static_cast<size_t>(ilen) + 4 + n;
    if (total > static_cast<size_t>(2147483647)) return -4;
    unsigned char* out = static_cast<unsigned char*>(malloc(total));
    if (out == nullptr) return -3;
    memcpy(out, idata, head);
    int used = static_cast<int>(head);
    putc_comment(COM_WSQ, reinterpret_cast<const unsigned char*>(comment_text), static_cast<int>(n), out,
                 static_cast<int>(total), &used);
    memcpy(out + used, cur, static_cast<size_t>(end - cur));
    *ostr = out;
    *olen = static_cast<int>(total);
    return 0;
}

int delete_comments_wsq(unsigned char** ostr, int* olen, const unsigned char* idata, int ilen) {
    if (idata == nullptr || ilen < 2) return NIST_ERR_GETC_BYTES;
    unsigned char* out = static_cast<unsigned char*>(malloc(static_cast<size_t>(ilen)));
    if (out == nullptr) return -2;
    const unsigned char* cur = idata;
    const unsigned char* end = idata + ilen;
    size_t used = 0;
    unsigned short marker;
    int ret = getc_marker_wsq(&marker, SOI_WSQ, &cur, end);
    while (ret == 0) {
        const unsigned char* at = cur - 2;
        const unsigned char* seg_end;
        if ((ret = segment_end(marker, cur, end, &seg_end))) break;
        if (marker != COM_WSQ) {
            memcpy(out + used, at, static_cast<size_t>(seg_end - at));
            used += static_cast<size_t>(seg_end - at);
        }
        cur = seg_end;
        if (marker == EOI_WSQ || cur >= end) break;
        ret = getc_marker_wsq(&marker, ANY_WSQ, &cur, end);
    }
    if (ret) {
        free(out);
        return ret;
    }
    *ostr = out;
    *olen = static_cast<int>(used);
    return 0;
}

int print_comments_wsq(const unsigned char* idata, int ilen) {
    if (idata == nullptr || ilen < 2) return NIST_ERR_GETC_BYTES;
    const unsigned char* cur = idata;
    const unsigned char* end = idata + ilen;
    unsigned short marker;
    int ret;
    if ((ret = getc_marker_wsq(&marker, SOI_WSQ, &cur, end))) return ret;
    if ((ret = getc_marker_wsq(&marker, ANY_WSQ, &cur, end))) return ret;
    while (marker != SOB_WSQ && marker != EOI_WSQ) {
        if (marker == COM_WSQ) {
            unsigned char* text;
            if ((ret = getc_comment(&text, &cur, end))) return ret;
            diag_fprintf(stderr, "COMMENT:\n%s\n\n", reinterpret_cast<char*>(text));
            free(text);
        } else if ((ret = getc_skip_marker_segment(marker, &cur, end))) {
            return ret;
        }
        if ((ret = getc_marker_wsq(&marker, ANY_WSQ, &cur, end))) return ret;
    }
    return 0;
}

int header_size_estimate(int base_size, const unsigned char* huffbits1, const unsigned char* huffbits2) {
    int size = base_size + kWsqFixedBytes;
    for (int i = 0; i < 16; i++) size += (huffbits1 ? huffbits1[i] : 0) + (huffbits2 ? huffbits2[i] : 0);
    return size;
}
