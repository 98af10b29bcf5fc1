// WSQ entries of the format dispatch: thin glue to the NIST codec, which allocates with malloc like the library.
#include "img_codec.h"
#include "wsq.h"

int ImgWsqEncode(unsigned char** out, int* length, float bitRate, const unsigned char* grey, int width, int height,
                 int depth, int ppi, const char* comment) {
    return wsq_encode_1(out, length, bitRate, grey, width, height, depth, ppi, comment);
}

int ImgWsqDecodeMem(unsigned char** pixels, int* width, int* height, int* depth, int* ppi, int* lossy,
                    const unsigned char* data, int length) {
    return wsq_decode_mem(pixels, width, height, depth, ppi, lossy, data, length);
}

int ImgWsqDecodeFile(unsigned char** pixels, int* width, int* height, int* depth, int* ppi, int* lossy, FILE* file) {
    return wsq_decode_file(pixels, width, height, depth, ppi, lossy, file);
}

int ImgWsqWriteFile(const char* path, const unsigned char* buf, int size) { return write_buffer_file(path, buf, size); }
