// WSQ entries until the codec is built: they fail cleanly and free what they must.
#include "img_buffer.h"
#include "img_codec.h"

int ImgWsqEncode(unsigned char**, int*, float, const unsigned char*, int, int, int, int, const char*) { return -1; }

int ImgWsqDecodeMem(unsigned char**, int*, int*, int*, int*, int*, const unsigned char*, int) { return -1; }

int ImgWsqDecodeFile(unsigned char**, int*, int*, int*, int*, int*, FILE*) { return -1; }

int ImgWsqWriteFile(const char*, const unsigned char*, int) { return 0; }
