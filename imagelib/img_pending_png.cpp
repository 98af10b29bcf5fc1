// PNG entries until the codec is built: they fail cleanly and free what they must.
#include "img_buffer.h"
#include "img_codec.h"

int WritePng(const char* path, const unsigned char*, int, int, int, int, int, unsigned char** buf, int* length) {
    if (!(path && *path)) FreeImgBuffLen(buf, length);
    return 0;
}

int ReadPng(const char*, unsigned char** img, int*, int*, int*, int*, int, const unsigned char*, int) {
    FreeImgData(img);
    return 0;
}
