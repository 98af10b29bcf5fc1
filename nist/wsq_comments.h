// Comment segments of whole WSQ buffers: add one, drop them all, print them through the silent gate,
// and the size of a stream's fixed parts. New buffers are malloc'd and owned by the caller.
#pragma once

// Bytes of every stream's fixed parts: SOI, the NIST comment's marker and length, DTT, DQT, SOF, two DHT
// segments without values, three SOB segments and EOI.
constexpr int kWsqFixedBytes = 535;

// A copy with a COM segment of the text after the comments that follow SOI: -2 empty text, -3 no memory,
// -4 a text too long for a segment, or the readers' codes.
int add_comment_wsq(unsigned char** ostr, int* olen, const unsigned char* idata, int ilen, const char* comment_text);
// A copy without COM segments: -2 no memory, or the readers' codes.
int delete_comments_wsq(unsigned char** ostr, int* olen, const unsigned char* idata, int ilen);
// Passes the text of every COM segment before the first SOB to the print gate.
int print_comments_wsq(const unsigned char* idata, int ilen);
// base plus the values of two tables (16 length counts each) plus the fixed parts.
int header_size_estimate(int base_size, const unsigned char* huffbits1, const unsigned char* huffbits2);
